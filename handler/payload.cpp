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
// encode_basestring for strs, and call default for anything else. The native encoder's output
// equals json.dumps only while every one of these is the object captured at import.
struct Dependency {
    PyObject *holder; // a module's dict, or the JSONEncoder class
    PyObject *name;
    PyObject *value;
};

PyObject *std_json = nullptr;
Dependency deps[8];
int deps_count = 0;

// The entry as it is now, compared by identity only (the captured value keeps it alive).
PyObject *current(const Dependency &dep) noexcept {
    if (PyDict_CheckExact(dep.holder))
        return PyDict_GetItemWithError(dep.holder, dep.name);
    // A class attribute: found through the interpreter's type cache.
    Ref value = Ref::steal(PyObject_GetAttr(dep.holder, dep.name));
    if (!value)
        PyErr_Clear();
    return value.get();
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
    // A module's dict stays the same object for the module's life.
    PyObject *json_dict = PyModule_GetDict(json.get());
    PyObject *encoder_module_dict = PyModule_GetDict(encoder_module.get());
    const struct {
        PyObject *holder;
        const char *name;
    } wanted[] = {
        {json_dict, "dumps"},
        {json_dict, "JSONEncoder"},
        {encoder.get(), "__init__"},
        {encoder.get(), "encode"},
        {encoder.get(), "iterencode"},
        {encoder.get(), "default"},
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
