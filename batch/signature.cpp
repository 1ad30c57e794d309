// inspect.signature() of a type of ours where the interpreter drops its text signature.
//
// inspect reads a class's __signature__ before anything else. Ours is a descriptor that, on
// first use, makes the Signature of `def f<params>: pass`, so that importing the module
// imports nothing for it.
#include "batch/signature.h"

#include <string>

#include "module/import.h"
#include "module/names.h"

namespace quorbel::batch {

namespace {

const module::Name kTextSignature{"__text_signature__"};
const module::Name kSignatureAttr{"__signature__"};
const module::Name kInspect{"inspect"};
const module::Name kSignature{"signature"};
const module::Name kF{"f"};

struct LazySignature {
    PyObject_HEAD
    PyObject *params; // str
    PyObject *value;  // the Signature, once made
};

Ref make_signature(PyObject *params) noexcept {
    Ref source = Ref::steal(PyUnicode_FromFormat("def f%U: pass\n", params));
    Ref utf8 = source ? Ref::steal(PyUnicode_AsUTF8String(source.get())) : Ref();
    char *text = utf8 ? PyBytes_AsString(utf8.get()) : nullptr;
    Ref code = text ? Ref::steal(Py_CompileString(text, "<quorbel_batch>", Py_file_input)) : Ref();
    Ref globals = code ? Ref::steal(PyDict_New()) : Ref();
    if (!globals || PyDict_SetItem(globals.get(), module::kBuiltins, PyEval_GetBuiltins()) < 0)
        return {};
    Ref done = Ref::steal(PyEval_EvalCode(code.get(), globals.get(), globals.get()));
    PyObject *f = done ? PyDict_GetItemWithError(globals.get(), kF) : nullptr;
    if (f == nullptr) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "quorbel_batch: no signature function");
        return {};
    }
    Ref signature = module::import_attribute(kInspect, kSignature);
    return signature ? Ref::steal(PyObject_CallFunctionObjArgs(signature.get(), f, nullptr))
                     : Ref();
}

PyObject *lazy_get(PyObject *self, PyObject *, PyObject *) noexcept {
    auto *lazy = reinterpret_cast<LazySignature *>(self);
    if (lazy->value == nullptr) {
        Ref made = make_signature(lazy->params);
        if (!made)
            return nullptr;
        lazy->value = made.release();
    }
    Py_INCREF(lazy->value);
    return lazy->value;
}

void lazy_dealloc(PyObject *self) noexcept {
    auto *lazy = reinterpret_cast<LazySignature *>(self);
    Py_XDECREF(lazy->params);
    Py_XDECREF(lazy->value);
    PyTypeObject *type = Py_TYPE(self);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
    Py_DECREF(type);
}

PyType_Slot lazy_slots[] = {
    {Py_tp_descr_get, reinterpret_cast<void *>(lazy_get)},
    {Py_tp_dealloc, reinterpret_cast<void *>(lazy_dealloc)},
    {0, nullptr},
};

PyType_Spec lazy_spec = {"quorbel_batch._LazySignature", sizeof(LazySignature), 0,
                         Py_TPFLAGS_DEFAULT, lazy_slots};

} // namespace

int keep_text_signature(PyObject *type, const char *params) noexcept {
    Ref text = Ref::steal(PyObject_GetAttr(type, kTextSignature));
    if (!text)
        return -1;
    if (text.get() != Py_None)
        return 0;
    Ref lazy_type = Ref::steal(PyType_FromSpec(&lazy_spec));
    Ref params_text = lazy_type ? Ref::steal(PyUnicode_FromString(params)) : Ref();
    if (!params_text)
        return -1;
    auto *lazy_type_object = reinterpret_cast<PyTypeObject *>(lazy_type.get());
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(lazy_type_object, Py_tp_alloc));
    Ref lazy = Ref::steal(alloc(lazy_type_object, 0));
    if (!lazy)
        return -1;
    reinterpret_cast<LazySignature *>(lazy.get())->params = params_text.release();
    return PyObject_SetAttr(type, kSignatureAttr, lazy.get());
}

} // namespace quorbel::batch
