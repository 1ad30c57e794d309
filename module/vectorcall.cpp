// Calls on the hot paths: vectorcall where the stable ABI has it (3.12+), tuple and dict before.
#include "module/vectorcall.h"

#include <dlfcn.h>

#include <initializer_list>

#include "module/names.h"
#include "module/setup.h"

namespace quorbel::module {

KwNames kwnames;

namespace {

// PyObject_Vectorcall is in the stable ABI from 3.12; the module is built against the 3.7
// headers, so it is looked up by name and used only there. It skips the argument tuple and the
// keyword dict, which the callee would only take apart again.
VectorcallFunc vectorcall = nullptr;
// PyObject_VectorcallMethod(name, args, nargsf, kwnames), likewise; args[0] is the object whose
// method is called.
VectorcallFunc vectorcall_method = nullptr;

Ref make_names(std::initializer_list<PyObject *> items) noexcept {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!tuple)
        return {};
    Py_ssize_t i = 0;
    for (PyObject *item : items) {
        Py_INCREF(item);
        if (PyTuple_SetItem(tuple.get(), i++, item) < 0) // steals
            return {};
    }
    return tuple;
}

} // namespace

int pack_args(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, Ref *tuple,
              Ref *kwargs) noexcept {
    *tuple = Ref::steal(PyTuple_New(nargs));
    if (!*tuple)
        return -1;
    for (Py_ssize_t i = 0; i < nargs; ++i)
        if (PyTuple_SetItem(tuple->get(), i, Ref::borrow(args[i]).release()) < 0) // steals
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

Ref call(PyObject *f, CallArgs &a, Py_ssize_t nargs, PyObject *kwnames_tuple) noexcept {
    PyObject **args = a.args();
    if (vectorcall)
        return Ref::steal(vectorcall(f, args, static_cast<size_t>(nargs) | kArgumentsOffset,
                                     kwnames_tuple));
    Ref tuple, kwargs;
    if (pack_args(args, nargs, kwnames_tuple, &tuple, &kwargs) < 0)
        return {};
    return Ref::steal(PyObject_Call(f, tuple.get(), kwargs.get()));
}

Ref call_method(PyObject *obj, PyObject *name, CallArgs &a, Py_ssize_t nargs,
                PyObject *kwnames_tuple) noexcept {
    if (vectorcall_method) {
        a.slots[0] = obj;
        return Ref::steal(vectorcall_method(name, a.slots, static_cast<size_t>(nargs) + 1,
                                            kwnames_tuple));
    }
    Ref f = Ref::steal(PyObject_GetAttr(obj, name));
    if (!f)
        return {};
    return call(f.get(), a, nargs, kwnames_tuple);
}

int init_vectorcall() noexcept {
    if (kwnames.maxlen_approximate != nullptr)
        return 0;
    vectorcall = vectorcall_method = nullptr;
    if (facts.minor >= 12) {
        // The interpreter's own symbols are global, whether it links libpython or is static.
        vectorcall = reinterpret_cast<VectorcallFunc>(dlsym(RTLD_DEFAULT, "PyObject_Vectorcall"));
        vectorcall_method = reinterpret_cast<VectorcallFunc>(
            dlsym(RTLD_DEFAULT, "PyObject_VectorcallMethod"));
    }
    Ref a = make_names({names.maxlen, names.approximate});
    Ref b = make_names({names.extra});
    Ref c = make_names({names.extra, names.exc_info});
    Ref d = make_names({names.name, names.level, names.pathname, names.lineno, names.msg,
                        names.args, names.exc_info});
    if (!a || !b || !c || !d)
        return -1;
    kwnames.extra = b.release();
    kwnames.extra_exc_info = c.release();
    kwnames.fallback_record = d.release();
    kwnames.maxlen_approximate = a.release();
    return 0;
}

} // namespace quorbel::module
