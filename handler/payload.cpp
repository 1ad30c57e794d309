// The payload text of a stream entry (and of a fallback line).
#include "handler/payload.h"

#include "handler/json_encoder.h"
#include "module/names.h"
#include "module/namespace.h"

namespace quorbel::handler {

using module::names;

namespace {

// What json.dumps(payload, ensure_ascii=False, separators=...) runs through: json.dumps builds a
// JSONEncoder, whose encode and iterencode hand the work to json.encoder's c_make_encoder with
// encode_basestring for strs. The native encoder's output equals json.dumps only while every one
// of these is the object captured at import. (JSONEncoder.default is not among them: it is only
// called for objects the native encoder leaves to json.dumps.)
struct Dependency {
    PyObject *holder; // a module's dict, JSONEncoder's own dict, or the class itself
    PyObject *name;
    PyObject *value;
};

PyObject *std_json = nullptr;
Dependency deps[7];
int deps_count = 0;

// The entry as it is now, compared by identity only (the captured value keeps it alive).
PyObject *current(const Dependency &dep) noexcept {
    if (PyDict_CheckExact(dep.holder))
        return PyDict_GetItemWithError(dep.holder, dep.name);
    // A class whose own dict could not be reached: its attribute.
    Ref value = Ref::steal(PyObject_GetAttr(dep.holder, dep.name));
    if (!value)
        PyErr_Clear();
    return value.get();
}

// The dict behind cls.__dict__, which an instance's method lookup reads first: a dict lookup is
// cheaper than a class attribute lookup. The mapping proxy refers to nothing else, so it is its
// one referent. Where that does not hold, the class itself, whose attributes are then compared.
Ref own_dict(PyObject *cls) noexcept {
    Ref proxy = Ref::steal(PyObject_GetAttr(cls, names.dunder_dict));
    Ref gc = Ref::steal(PyImport_ImportModule("gc"));
    if (!proxy || !gc)
        return {};
    Ref referents = Ref::steal(PyObject_CallMethod(gc.get(), "get_referents", "O", proxy.get()));
    if (!referents)
        return {};
    if (PyList_Check(referents.get()) && PyList_Size(referents.get()) == 1) {
        PyObject *dict = PyList_GetItem(referents.get(), 0);
        if (PyDict_CheckExact(dict) && PyObject_Length(proxy.get()) == PyDict_Size(dict))
            return Ref::borrow(dict);
    }
    return Ref::borrow(cls);
}

bool json_is_standard(PyObject *json) noexcept {
    if (json != std_json)
        return false;
    for (int i = 0; i < deps_count; ++i)
        if (current(deps[i]) != deps[i].value)
            return false;
    return true;
}

Ref dumps_payload(PyObject *json, PyObject *ts, PyObject *level, PyObject *msg,
                  PyObject *labels, PyObject *ctx) noexcept {
    Ref payload = Ref::steal(PyDict_New());
    if (!payload || PyDict_SetItem(payload.get(), names.ts, ts) < 0 ||
        PyDict_SetItem(payload.get(), names.level, level) < 0 ||
        PyDict_SetItem(payload.get(), names.msg, msg) < 0 ||
        PyDict_SetItem(payload.get(), names.labels, labels) < 0 ||
        PyDict_SetItem(payload.get(), names.ctx, ctx) < 0)
        return {};
    Ref dumps = Ref::steal(PyObject_GetAttr(json, names.dumps));
    if (!dumps)
        return {};
    Ref args = Ref::steal(PyTuple_Pack(1, payload.get()));
    Ref separators = Ref::steal(PyTuple_Pack(2, names.comma, names.colon));
    Ref kwargs = Ref::steal(PyDict_New());
    if (!args || !separators || !kwargs ||
        PyDict_SetItem(kwargs.get(), names.ensure_ascii, Py_False) < 0 ||
        PyDict_SetItem(kwargs.get(), names.separators, separators.get()) < 0)
        return {};
    Ref text = Ref::steal(PyObject_Call(dumps.get(), args.get(), kwargs.get()));
    if (!text)
        return {};
    return escape_surrogates(text.get());
}

} // namespace

int init_payload() noexcept {
    if (std_json != nullptr)
        return 0;
    Ref json = Ref::steal(PyImport_ImportModule("json"));
    Ref encoder_module = Ref::steal(PyImport_ImportModule("json.encoder"));
    if (!json || !encoder_module)
        return -1;
    Ref encoder = Ref::steal(PyObject_GetAttr(json.get(), names.JSONEncoder));
    if (!encoder)
        return -1;
    // A module's dict stays the same object for the module's life, and so does a class's.
    PyObject *json_dict = PyModule_GetDict(json.get());
    PyObject *encoder_module_dict = PyModule_GetDict(encoder_module.get());
    Ref encoder_dict = own_dict(encoder.get());
    if (!encoder_dict)
        return -1;
    const struct {
        PyObject *holder;
        const char *name;
    } wanted[] = {
        {json_dict, "dumps"},
        {json_dict, "JSONEncoder"},
        {encoder_dict.get(), "__init__"},
        {encoder_dict.get(), "encode"},
        {encoder_dict.get(), "iterencode"},
        {encoder_module_dict, "c_make_encoder"},
        {encoder_module_dict, "encode_basestring"},
    };
    static_assert(sizeof wanted / sizeof wanted[0] == sizeof deps / sizeof deps[0]);
    deps_count = 0; // a failed earlier attempt may have filled some
    for (const auto &w : wanted) {
        Ref name = Ref::steal(PyUnicode_InternFromString(w.name));
        if (!name)
            return -1;
        PyObject *holder = w.holder;
        Ref value = Ref::steal(PyDict_CheckExact(holder) ? PyObject_GetItem(holder, name.get())
                                                         : PyObject_GetAttr(holder, name.get()));
        if (!value)
            return -1;
        deps[deps_count++] = {w.holder, name.release(), value.release()};
    }
    // The holders stay alive for the process, with the values captured from them.
    encoder_dict.release();
    encoder.release();
    encoder_module.release();
    std_json = json.release();
    return json_encoder_init();
}

Ref encode_payload_text(PyObject *ts, PyObject *level, PyObject *msg, PyObject *labels,
                        PyObject *ctx) noexcept {
    Ref json = module::lookup(names.json);
    if (!json)
        return {};
    if (json_is_standard(json.get())) {
        Ref out;
        switch (encode_payload(ts, level, msg, labels, ctx, &out)) {
        case Encoded::Ok:
            return out;
        case Encoded::Error:
            return {};
        case Encoded::Unsupported:
            break;
        }
    } else if (PyErr_Occurred()) {
        return {};
    }
    return dumps_payload(json.get(), ts, level, msg, labels, ctx);
}

} // namespace quorbel::handler
