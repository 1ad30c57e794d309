// Call-time bindings with a native fast path.
#include "module/binding.h"

#include <cstring>

#include "module/namespace.h"

namespace quorbel::module {

namespace {
int test_found(StandardTest test, Found *out) noexcept {
    if (!out->object)
        return -1;
    const int standard = test(out->object.get());
    if (standard < 0)
        return -1;
    out->standard = standard == 1;
    return 0;
}
} // namespace

int resolve(const Name &name, StandardTest test, Found *out) noexcept {
    out->object = lookup(name);
    return test_found(test, out);
}

int resolve_attr(PyObject *owner, const Name &attr, StandardTest test, Found *out) noexcept {
    // A plain module's attributes are its dict entries (the names asked for here are no
    // attributes of ModuleType itself), so the dict is read directly; anything else, and a name
    // missing there (a module __getattr__), takes the full protocol.
    if (Py_TYPE(owner) == &PyModule_Type) {
        PyObject *value = PyDict_GetItemWithError(PyModule_GetDict(owner), attr);
        if (value != nullptr) {
            out->object = Ref::borrow(value);
            return test_found(test, out);
        }
        if (PyErr_Occurred())
            return -1;
    }
    out->object = Ref::steal(PyObject_GetAttr(owner, attr));
    return test_found(test, out);
}

PyCFunction builtin_of(PyObject *module, const char *name) noexcept {
    if (!PyModule_Check(module))
        return nullptr;
    // A module written in Python has no definition (nullptr, and no error for a module).
    PyModuleDef *def = PyModule_GetDef(module);
    if (def == nullptr)
        return nullptr;
    for (PyMethodDef *m = def->m_methods; m != nullptr && m->ml_name != nullptr; ++m)
        if (std::strcmp(m->ml_name, name) == 0)
            return m->ml_meth;
    return nullptr;
}

bool runs_builtin(PyObject *callee, PyCFunction fn) noexcept {
    return fn != nullptr && PyCFunction_Check(callee) && PyCFunction_GetFunction(callee) == fn;
}

} // namespace quorbel::module
