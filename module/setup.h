// The module's execution step: the frame's part of what an import does, once, in order.
#pragma once

#include <initializer_list>

#include "module/ref.h"

namespace quorbel::module {

// Py_mod_create: a later import in the same interpreter gets the module already set up.
PyObject *create_module(PyObject *spec, PyModuleDef *def) noexcept;
// Py_mod_exec: the frame's preparation, then the body's, then the body's steps.
int exec_module(PyObject *m) noexcept;

// Defined by the composition root (quorbel.cpp), which names the handler and the facade.
// What the body's steps need made once per process; repeats nothing once done.
int prepare_body() noexcept;
// The module body: each step binds into the namespace, in order.
int run_body() noexcept;

// For the body's steps. `import <name>`, absolute, by the import system itself.
Ref import_absolute(PyObject *name) noexcept;
// `from <module> import a, b, ...`, binding each name in order; a name that the module lacks
// raises ImportError "cannot import name ...".
int import_from(const char *module, std::initializer_list<PyObject *> attrs) noexcept;

} // namespace quorbel::module
