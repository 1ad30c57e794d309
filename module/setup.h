// The module's execution step: everything an import does, once, in order.
#pragma once

#include "module/ref.h"

namespace quorbel::module {

// Py_mod_create: a later import in the same interpreter gets the module already set up.
PyObject *create_module(PyObject *spec, PyModuleDef *def) noexcept;
// Py_mod_exec.
int exec_module(PyObject *m) noexcept;

} // namespace quorbel::module
