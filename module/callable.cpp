// The module's one callable type.
//
// Every function and method of the module is an instance of this type: binding through the
// table-driven binder, __get__ that binds like a function, a real code object as __code__ so
// that inspect.signature reads the parameters, and a traceback entry named after the callable
// for every exception that leaves it. No Python frame of its own runs, so logging's caller
// location stays the application's.
#include "module/callable.h"

#include <cstddef>

#include <structmember.h>

#include "module/facts.h"
#include "module/import.h"
#include "module/names.h"
#include "module/namespace.h"
#include "module/traceback.h"
#include "module/vectorcall.h"

namespace quorbel::module {

namespace {

struct Callable {
    PyObject_HEAD
    VectorcallFunc vectorcall; // used from 3.12 on
    const Signature *sig;
    PyObject *param_names;    // tuple of interned names, for keyword matching
    PyObject *bound_defaults; // what binding uses; fixed at creation
    PyObject *defaults;       // __defaults__, as callers see and may reassign it
    PyObject *kwdefaults;
    PyObject *annotations;
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    PyObject *code;    // __code__
    PyObject *tb_code; // evaluated to make the traceback entry
};

Kept callable_type;
Kept method_type; // types.MethodType

PyTypeObject *the_type() noexcept { return reinterpret_cast<PyTypeObject *>(callable_type.get()); }

Callable *as_callable(PyObject *self) noexcept { return reinterpret_cast<Callable *>(self); }

PyObject *callable_call(PyObject *self, PyObject *args, PyObject *kwargs) noexcept {
    Callable *c = as_callable(self);
    Bound bound;
    Ref result;
    if (bind_args(*c->sig, c->param_names, c->bound_defaults, args, kwargs, bound) == 0)
        result = c->sig->body(bound);
    if (!result)
        add_traceback_entry(c->tb_code);
    return result.release();
}

// The same call without the argument tuple and keyword dict (3.12+).
PyObject *callable_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf,
                              PyObject *kwnames) noexcept {
    Callable *c = as_callable(self);
    Bound bound;
    Ref result;
    const auto nargs = static_cast<Py_ssize_t>(nargsf & ~kArgumentsOffset);
    if (bind_vector(*c->sig, c->param_names, c->bound_defaults, args, nargs, kwnames, bound) == 0)
        result = c->sig->body(bound);
    if (!result)
        add_traceback_entry(c->tb_code);
    return result.release();
}

// Binds like a function: through an instance a method object, through the class itself.
PyObject *callable_get(PyObject *self, PyObject *obj, PyObject *) noexcept {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    Ref args = Ref::steal(PyTuple_Pack(2, self, obj));
    if (!args)
        return nullptr;
    return PyObject_Call(method_type.get(), args.get(), nullptr);
}

PyObject *callable_repr(PyObject *self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_callable(self)->qualname, self);
}

// Pickled by reference, as functions are.
PyObject *callable_reduce(PyObject *self, PyObject *) noexcept {
    Py_INCREF(as_callable(self)->qualname);
    return as_callable(self)->qualname;
}

PyObject *callable_new(PyTypeObject *, PyObject *, PyObject *) noexcept {
    PyErr_SetString(PyExc_TypeError, "cannot create 'quorbel.function' instances");
    return nullptr;
}

void callable_dealloc(PyObject *self) noexcept {
    Callable *c = as_callable(self);
    Py_XDECREF(c->param_names);
    Py_XDECREF(c->bound_defaults);
    Py_XDECREF(c->defaults);
    Py_XDECREF(c->kwdefaults);
    Py_XDECREF(c->annotations);
    Py_XDECREF(c->name);
    Py_XDECREF(c->qualname);
    Py_XDECREF(c->module);
    Py_XDECREF(c->doc);
    Py_XDECREF(c->code);
    Py_XDECREF(c->tb_code);
    PyTypeObject *type = Py_TYPE(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

// Function attributes: what each may be set to, with the messages functions use.
enum class Rule { Str, TupleOrNone, DictOrNone, Any, ReadOnly };

struct Attribute {
    std::size_t offset;
    Rule rule;
    const char *message;
};

const Attribute kName{offsetof(Callable, name), Rule::Str,
                      "__name__ must be set to a string object"};
const Attribute kQualname{offsetof(Callable, qualname), Rule::Str,
                          "__qualname__ must be set to a string object"};
const Attribute kDefaults{offsetof(Callable, defaults), Rule::TupleOrNone,
                          "__defaults__ must be set to a tuple object"};
const Attribute kKwdefaults{offsetof(Callable, kwdefaults), Rule::DictOrNone,
                            "__kwdefaults__ must be set to a dict object"};
const Attribute kAnnotations{offsetof(Callable, annotations), Rule::DictOrNone,
                             "__annotations__ must be set to a dict object"};
const Attribute kModule{offsetof(Callable, module), Rule::Any, nullptr};
const Attribute kDoc{offsetof(Callable, doc), Rule::Any, nullptr};
const Attribute kCode{offsetof(Callable, code), Rule::ReadOnly, nullptr};

PyObject *&field(PyObject *self, const Attribute *a) noexcept {
    return *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self) + a->offset);
}

PyObject *attribute_get(PyObject *self, void *closure) noexcept {
    PyObject *value = field(self, static_cast<const Attribute *>(closure));
    if (value == nullptr)
        value = Py_None;
    Py_INCREF(value);
    return value;
}

int attribute_set(PyObject *self, PyObject *value, void *closure) noexcept {
    const Attribute *a = static_cast<const Attribute *>(closure);
    bool ok = true;
    switch (a->rule) {
    case Rule::Str:
        ok = value != nullptr && PyUnicode_Check(value);
        break;
    case Rule::TupleOrNone:
        ok = value == nullptr || value == Py_None || PyTuple_Check(value);
        break;
    case Rule::DictOrNone:
        ok = value == nullptr || value == Py_None || PyDict_Check(value);
        break;
    case Rule::Any:
        break;
    case Rule::ReadOnly:
        PyErr_SetString(PyExc_AttributeError, "readonly attribute");
        return -1;
    }
    if (!ok) {
        PyErr_SetString(PyExc_TypeError, a->message);
        return -1;
    }
    Ref old = Ref::steal(field(self, a));
    field(self, a) = Ref::borrow(value ? value : Py_None).release();
    return 0;
}

PyObject *globals_get(PyObject *, void *) noexcept {
    PyObject *dict = module_dict();
    if (dict == nullptr)
        dict = Py_None;
    Py_INCREF(dict);
    return dict;
}

#define QUORBEL_ATTRIBUTE(pyname, attr)                                                            \
    {const_cast<char *>(pyname), attribute_get, attribute_set, nullptr,                            \
     const_cast<Attribute *>(&attr)}

PyGetSetDef callable_getset[] = {
    QUORBEL_ATTRIBUTE("__name__", kName),
    QUORBEL_ATTRIBUTE("__qualname__", kQualname),
    QUORBEL_ATTRIBUTE("__module__", kModule),
    QUORBEL_ATTRIBUTE("__doc__", kDoc),
    QUORBEL_ATTRIBUTE("__defaults__", kDefaults),
    QUORBEL_ATTRIBUTE("__kwdefaults__", kKwdefaults),
    QUORBEL_ATTRIBUTE("__annotations__", kAnnotations),
    QUORBEL_ATTRIBUTE("__code__", kCode),
    {const_cast<char *>("__globals__"), globals_get, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef QUORBEL_ATTRIBUTE

// -Wcast-function-type: PyCFunction casts go through a generic function pointer.
template <typename F> PyCFunction as_cfunction(F f) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef callable_methods[] = {
    {"__reduce__", as_cfunction(callable_reduce), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef vectorcall_members[] = {
    {const_cast<char *>("__vectorcalloffset__"), T_PYSSIZET, offsetof(Callable, vectorcall),
     READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot callable_slots[] = {
    {Py_tp_call, reinterpret_cast<void *>(callable_call)},
    {Py_tp_descr_get, reinterpret_cast<void *>(callable_get)},
    {Py_tp_repr, reinterpret_cast<void *>(callable_repr)},
    {Py_tp_new, reinterpret_cast<void *>(callable_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(callable_dealloc)},
    {Py_tp_getset, callable_getset},
    {Py_tp_methods, callable_methods},
    {0, nullptr},
};

// The code object of `def name(params): pass` (as a method, inside its class), so that
// co_varnames, co_argcount and (3.11+) co_qualname match the callable.
Ref make_signature_code(const Signature &sig, PyObject *param_names) noexcept {
    bool method = false;
    for (const char *p = sig.qualname; *p; ++p)
        method = method || *p == '.';
    return function_code(sig.name, sig.qualname, param_names, method ? 2 : 1);
}

} // namespace

int init_callable_type() noexcept {
    if (callable_type)
        return 0;
    Ref method = import_attribute("types", "MethodType");
    if (!method)
        return -1;
    // The method-descriptor flag lets the interpreter call a method without making a bound
    // method first (our call already takes self first); an immutable type cannot have its
    // __call__ or anything else reassigned from Python, as a function's type cannot.
    unsigned long flags =
        Py_TPFLAGS_DEFAULT | facts.method_descriptor_flag | facts.immutable_type_flag;
    // The slots, and the vectorcall offset where the interpreter supports it for the type.
    constexpr std::size_t kSlots = sizeof callable_slots / sizeof callable_slots[0];
    PyType_Slot slots[kSlots + 1];
    for (std::size_t i = 0; i < kSlots; ++i)
        slots[i] = callable_slots[i];
    slots[kSlots] = {0, nullptr};
    if (facts.vectorcall_flag != 0) {
        flags |= facts.vectorcall_flag;
        slots[kSlots - 1] = {Py_tp_members, vectorcall_members};
    }
    PyType_Spec spec = {"quorbel.function", static_cast<int>(sizeof(Callable)), 0,
                        static_cast<unsigned int>(flags), slots};
    Ref type = Ref::steal(PyType_FromSpec(&spec));
    if (!type) {
        // 3.13.0 can fail here for want of memory without saying so.
        if (!PyErr_Occurred())
            PyErr_NoMemory();
        return -1;
    }
    callable_type.reset(std::move(type));
    method_type.reset(std::move(method));
    return 0;
}

Ref make_callable(const Signature &sig, PyObject *defaults) noexcept {
    Ref param_names = make_param_names(sig);
    if (!param_names)
        return {};
    Ref annotations = make_annotations(sig);
    if (!annotations)
        return {};
    Ref name = Ref::steal(PyUnicode_InternFromString(sig.name));
    if (!name)
        return {};
    Ref qualname = Ref::steal(PyUnicode_InternFromString(sig.qualname));
    if (!qualname)
        return {};
    Ref doc = sig.doc ? Ref::steal(PyUnicode_FromString(sig.doc)) : Ref::borrow(Py_None);
    if (!doc)
        return {};
    Ref code = make_signature_code(sig, param_names.get());
    if (!code)
        return {};
    Ref tb_name = Ref::steal(PyUnicode_FromFormat("quorbel.%s", sig.qualname));
    if (!tb_name)
        return {};
    Ref tb_bytes = Ref::steal(PyUnicode_AsUTF8String(tb_name.get()));
    if (!tb_bytes)
        return {};
    Ref tb_code = make_traceback_code(PyBytes_AsString(tb_bytes.get()));
    if (!tb_code)
        return {};
    Ref self = Ref::steal(PyType_GenericAlloc(the_type(), 0));
    if (!self)
        return {};
    Callable *c = as_callable(self.get());
    c->vectorcall = callable_vectorcall;
    c->sig = &sig;
    c->param_names = param_names.release();
    c->bound_defaults = Ref::borrow(defaults).release();
    c->defaults = Ref::borrow(defaults).release();
    c->kwdefaults = Ref::borrow(Py_None).release();
    c->annotations = annotations.release();
    c->name = name.release();
    c->qualname = qualname.release();
    c->module = Ref::borrow(kModuleName).release();
    c->doc = doc.release();
    c->code = code.release();
    c->tb_code = tb_code.release();
    return self;
}

bool is_callable_for(PyObject *obj, const Signature &sig) noexcept {
    return Py_TYPE(obj) == the_type() && as_callable(obj)->sig == &sig;
}

Ref call_callable(PyObject *obj, PyObject *const *args, Py_ssize_t nargs) noexcept {
    return Ref::steal(callable_vectorcall(obj, args, static_cast<size_t>(nargs), nullptr));
}

} // namespace quorbel::module
