// The module's execution step: everything an import does, once, in order.
#pragma once

#include "module/ref.h"

namespace quorbel::module {

// Facts about the running interpreter, probed once (the binary is built against 3.7's headers,
// so compile-time version macros always say 3.7).
struct Facts {
    int minor = 0; // 3.minor
};
extern Facts facts;

// Py_mod_create: a later import in the same interpreter gets the module already set up.
PyObject *create_module(PyObject *spec, PyModuleDef *def) noexcept;
// Py_mod_exec.
int exec_module(PyObject *m) noexcept;

} // namespace quorbel::module
