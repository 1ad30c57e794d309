// The module namespace: binding names at import and looking them up at call time.
#include "module/namespace.h"

#include "module/facts.h"

namespace quorbel::module {

namespace {
Kept the_module;
PyObject *the_dict = nullptr; // borrowed from the_module
} // namespace

PyObject *module_object() noexcept { return the_module.get(); }
PyObject *module_dict() noexcept { return the_dict; }

void set_module(PyObject *m) noexcept {
    the_dict = m ? PyModule_GetDict(m) : nullptr;
    the_module.reset(Ref::borrow(m));
}

int bind(PyObject *name, Ref value) noexcept {
    if (!value)
        return -1;
    return PyObject_SetAttr(the_module.get(), name, value.get());
}

Ref attribute(PyObject *owner, PyObject *name) noexcept {
    // A plain module's attributes are its dict entries (the names asked for are no attributes
    // of ModuleType itself), so the dict is read directly; anything else, and a name missing
    // there (a module __getattr__), takes the full protocol.
    if (Py_TYPE(owner) == &PyModule_Type) {
        PyObject *dict = owner == the_module.get() ? the_dict : PyModule_GetDict(owner);
        PyObject *value = PyDict_GetItemWithError(dict, name);
        if (value != nullptr)
            return Ref::borrow(value);
        if (PyErr_Occurred())
            return {};
    }
    return Ref::steal(PyObject_GetAttr(owner, name));
}

Ref attribute_or_none(PyObject *owner, PyObject *name) noexcept {
    // From 3.13 the interpreter can say "missing" without making the AttributeError, which
    // costs more than the rest of a record's attribute reads together.
    if (facts.get_optional_attr) {
        PyObject *value = nullptr;
        if (facts.get_optional_attr(owner, name, &value) < 0)
            return {};
        return value ? Ref::steal(value) : Ref::borrow(Py_None);
    }
    Ref value = Ref::steal(PyObject_GetAttr(owner, name));
    if (value || catch_pending(PyExc_AttributeError) < 0)
        return value;
    return Ref::borrow(Py_None);
}

Ref lookup(PyObject *name) noexcept {
    Ref value = attribute(the_module.get(), name);
    if (value || catch_pending(PyExc_AttributeError) < 0)
        return value;
    PyObject *builtins = PyEval_GetBuiltins();
    PyObject *found = builtins ? PyDict_GetItemWithError(builtins, name) : nullptr;
    if (found != nullptr)
        return Ref::borrow(found);
    if (!PyErr_Occurred())
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

} // namespace quorbel::module
