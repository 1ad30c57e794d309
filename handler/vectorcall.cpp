// Calls on the hot paths: vectorcall where the stable ABI has it (3.12+), tuple and dict before.
#include "handler/vectorcall.h"

#include <dlfcn.h>

#include <initializer_list>

#include "module/names.h"
#include "module/setup.h"

namespace quorbel::handler {

using module::names;

KwNames kwnames;

namespace {

// PyObject_Vectorcall is in the stable ABI from 3.12; the module is built against the 3.7
// headers, so it is looked up by name and used only there. It skips the argument tuple and the
// keyword dict, which the callee would only take apart again.
using Vectorcall = PyObject *(*)(PyObject *, PyObject *const *, size_t, PyObject *);
Vectorcall vectorcall = nullptr;
// PyObject_VectorcallMethod(name, args, nargsf, kwnames), likewise; args[0] is the object whose
// method is called.
Vectorcall vectorcall_method = nullptr;
// PY_VECTORCALL_ARGUMENTS_OFFSET: the slot before args[0] may be used by the callee.
constexpr size_t kArgumentsOffset = static_cast<size_t>(1) << (8 * sizeof(size_t) - 1);

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

Ref call(PyObject *f, CallArgs &a, Py_ssize_t nargs, PyObject *kwnames_tuple) noexcept {
    PyObject **args = a.args();
    if (vectorcall)
        return Ref::steal(vectorcall(f, args, static_cast<size_t>(nargs) | kArgumentsOffset,
                                     kwnames_tuple));
    Ref tuple = Ref::steal(PyTuple_New(nargs));
    if (!tuple)
        return {};
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        Py_INCREF(args[i]);
        PyTuple_SetItem(tuple.get(), i, args[i]); // steals; cannot fail on a new tuple
    }
    Ref kwargs;
    if (kwnames_tuple) {
        if (!(kwargs = Ref::steal(PyDict_New())))
            return {};
        for (Py_ssize_t i = 0, n = PyTuple_Size(kwnames_tuple); i < n; ++i) {
            if (PyDict_SetItem(kwargs.get(), PyTuple_GetItem(kwnames_tuple, i), args[nargs + i]) <
                0)
                return {};
        }
    }
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
    if (module::facts.minor >= 12) {
        // The interpreter's own symbols are global, whether it links libpython or is static.
        vectorcall = reinterpret_cast<Vectorcall>(dlsym(RTLD_DEFAULT, "PyObject_Vectorcall"));
        vectorcall_method = reinterpret_cast<Vectorcall>(
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

} // namespace quorbel::handler
