// Calls on the hot paths: vectorcall where the stable ABI has it (3.12+), tuple and dict before.
//
// PyObject_Vectorcall skips the argument tuple and the keyword dict, which the callee would only
// take apart again; the module is built against the 3.7 headers, so it is found at run time.
#include "module/vectorcall.h"

namespace quorbel::module {

Ref make_tuple(PyObject *const *items, Py_ssize_t n) noexcept {
    Ref tuple = Ref::steal(PyTuple_New(n));
    if (!tuple)
        return {};
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyTuple_SetItem(tuple.get(), i, Ref::borrow(items[i]).release()) < 0) // steals
            return {};
    return tuple;
}

int pack_args(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, Ref *tuple,
              Ref *kwargs) noexcept {
    if (!(*tuple = make_tuple(args, nargs)))
        return -1;
    const Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
    if (nkw == 0)
        return 0;
    *kwargs = Ref::steal(PyDict_New());
    if (!*kwargs)
        return -1;
    for (Py_ssize_t k = 0; k < nkw; ++k)
        if (PyDict_SetItem(kwargs->get(), PyTuple_GetItem(kwnames, k), args[nargs + k]) < 0)
            return -1;
    return 0;
}

Ref call(PyObject *f, CallArgs &a, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    PyObject **args = a.args();
    if (facts.vectorcall)
        return Ref::steal(
            facts.vectorcall(f, args, static_cast<size_t>(nargs) | kArgumentsOffset, kwnames));
    Ref tuple, kwargs;
    if (pack_args(args, nargs, kwnames, &tuple, &kwargs) < 0)
        return {};
    return Ref::steal(PyObject_Call(f, tuple.get(), kwargs.get()));
}

Ref call_method(PyObject *obj, PyObject *name, CallArgs &a, Py_ssize_t nargs,
                PyObject *kwnames) noexcept {
    if (facts.vectorcall_method) {
        a.slots[0] = obj;
        return Ref::steal(
            facts.vectorcall_method(name, a.slots, static_cast<size_t>(nargs) + 1, kwnames));
    }
    Ref f = Ref::steal(PyObject_GetAttr(obj, name));
    if (!f)
        return {};
    return call(f.get(), a, nargs, kwnames);
}

} // namespace quorbel::module
