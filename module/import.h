// Imports made by native code: a module, or one attribute of it; and the module an import of
// ours creates.
#pragma once

#include "module/ref.h"

namespace quorbel::module {

// import <name> (dotted: the leaf module), through the import hook builtins.__import__, as
// PyImport_Import calls it.
Ref import_module(const char *name) noexcept;
Ref import_module(PyObject *name) noexcept;

// getattr(import_module(module), attr).
Ref import_attribute(const char *module, const char *attr) noexcept;
Ref import_attribute(PyObject *module, PyObject *attr) noexcept;

// Py_mod_create: `existing` (a new reference) when not null, so that a later import gets the
// module already set up; otherwise a new module named as the import spec says.
PyObject *create_module(PyObject *spec, PyObject *existing) noexcept;

} // namespace quorbel::module
