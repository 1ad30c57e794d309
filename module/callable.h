// The module's one callable type: native functions that look like plain Python functions.
#pragma once

#include "module/binder.h"

namespace quorbel::module {

// Creates the callable type; once per process.
int init_callable_type() noexcept;

// A callable for sig whose __defaults__ (and the defaults that binding uses) is `defaults`
// (borrowed: a tuple or None), so that several callables can share one tuple.
Ref make_callable(const Signature &sig, PyObject *defaults) noexcept;

// Whether obj is the callable made for sig.
bool is_callable_for(PyObject *obj, const Signature &sig) noexcept;

// obj(*args) for obj one of the module's callables, without the generic call machinery: the
// same binding, body and traceback entry as any call of it.
Ref call_callable(PyObject *obj, PyObject *const *args, Py_ssize_t nargs) noexcept;

} // namespace quorbel::module
