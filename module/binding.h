// Call-time bindings with a native fast path.
//
// The module's code reads module-level names (and attributes of their values) when it runs, as
// its Python equivalent would, so an application or a test may replace any of them. Where native
// code stands in for a call, it does so only while the object found is the standard one, decided
// by what the object is, never by what happened to be there at import: a replacement made before
// or after the import is then called exactly as the equivalent Python would call it.
#pragma once

#include "module/names.h"

namespace quorbel::module {

// 1 when native code may stand in for calling `callee`, else 0; -1 with an exception set.
using StandardTest = int (*)(PyObject *callee) noexcept;

// An object found at call time, and whether it is the standard object.
struct Found {
    Ref object;
    bool standard = false;
};

// The module-level `name`, as the module's functions look it up (NameError when unbound).
int resolve(const Name &name, StandardTest test, Found *out) noexcept;
// getattr(owner, attr).
int resolve_attr(PyObject *owner, const Name &attr, StandardTest test, Found *out) noexcept;

// The C function behind a built-in function named `name` in the method table of the extension
// module `module`, or nullptr (no exception) when the module has no such entry.
PyCFunction builtin_of(PyObject *module, const char *name) noexcept;
// Whether callee is a built-in function running `fn`.
bool runs_builtin(PyObject *callee, PyCFunction fn) noexcept;

} // namespace quorbel::module
