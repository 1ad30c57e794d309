// Calls on the hot paths: vectorcall where the stable ABI has it (3.12+), tuple and dict before.
#pragma once

#include "module/facts.h"

namespace quorbel::module {

// PY_VECTORCALL_ARGUMENTS_OFFSET: set in nargsf when the slot before args[0] may be used.
inline constexpr size_t kArgumentsOffset = static_cast<size_t>(1) << (8 * sizeof(size_t) - 1);

// Room for one slot before the arguments, which a vectorcall callee may borrow (a bound method
// puts its self there instead of copying the arguments).
struct CallArgs {
    static constexpr int kMax = 8;
    PyObject *slots[kMax + 1] = {};
    PyObject **args() noexcept { return slots + 1; }
};

// f(args[0], ..., args[nargs - 1], **dict(zip(kwnames, args[nargs:]))): kwnames is a tuple of
// interned strs, or nullptr for none. The arguments are borrowed.
Ref call(PyObject *f, CallArgs &a, Py_ssize_t nargs, PyObject *kwnames) noexcept;

// obj.<name>(args...) as call() takes them: from 3.12 without making a bound method first.
Ref call_method(PyObject *obj, PyObject *name, CallArgs &a, Py_ssize_t nargs,
                PyObject *kwnames) noexcept;

// The tuple-and-dict form of a vectorcall's arguments: *tuple = args[0..nargs), *kwargs = the
// values after them keyed by kwnames (left empty when there are none). -1 with an exception set.
int pack_args(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, Ref *tuple,
              Ref *kwargs) noexcept;

// A new tuple of the n borrowed items.
Ref make_tuple(PyObject *const *items, Py_ssize_t n) noexcept;

} // namespace quorbel::module
