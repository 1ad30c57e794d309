// Imports made by native code: a module, or one attribute of it.
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

} // namespace quorbel::module
