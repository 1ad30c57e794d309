// Classes made as a class statement makes them, from native methods.
#include "module/class_builder.h"

#include "module/callable.h"
#include "module/names.h"

namespace quorbel::module {

namespace {
const Name kPrepare{"__prepare__"};
const Name kDoc{"__doc__"};
} // namespace

int ClassBuilder::store(PyObject *key, Ref value) noexcept {
    if (!value)
        return -1;
    return PyObject_SetItem(ns_.get(), key, value.get());
}

int ClassBuilder::begin() noexcept {
    bases_ = base_ ? Ref::steal(PyTuple_Pack(1, base_)) : Ref::steal(PyTuple_New(0));
    if (!bases_)
        return -1;
    meta_ = Ref::borrow(base_ ? reinterpret_cast<PyObject *>(Py_TYPE(base_))
                              : reinterpret_cast<PyObject *>(&PyType_Type));
    Ref ns;
    if (PyObject_HasAttr(meta_.get(), kPrepare))
        ns = Ref::steal(
            PyObject_CallMethodObjArgs(meta_.get(), kPrepare.get(), name_, bases_.get(), nullptr));
    else
        ns = Ref::steal(PyDict_New());
    if (!ns)
        return -1;
    ns_ = std::move(ns);
    Ref doc = doc_ ? Ref::steal(PyUnicode_FromString(doc_)) : Ref::borrow(Py_None);
    if (store(kDunderModule, Ref::borrow(kModuleName)) < 0 ||
        store(kDunderQualname, Ref::borrow(name_)) < 0 || store(kDoc, std::move(doc)) < 0)
        return -1;
    return 0;
}

int ClassBuilder::add(const Signature &sig, PyObject *defaults) noexcept {
    Ref key = Ref::steal(PyUnicode_InternFromString(sig.name));
    if (!key)
        return -1;
    return store(key.get(), make_callable(sig, defaults));
}

Ref ClassBuilder::finish() noexcept {
    return Ref::steal(
        PyObject_CallFunctionObjArgs(meta_.get(), name_, bases_.get(), ns_.get(), nullptr));
}

} // namespace quorbel::module
