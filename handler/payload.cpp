// The payload text of a stream entry (and of a fallback line).
#include "handler/payload.h"

#include "handler/json_encoder.h"
#include "module/names.h"
#include "module/namespace.h"

namespace quorbel::handler {

using module::names;

namespace {

PyObject *std_json = nullptr;
PyObject *std_dumps = nullptr;
PyObject *std_encoder = nullptr;

// The native encoder's output equals json.dumps only while nothing in the json module that
// dumps relies on has been replaced.
bool json_is_standard(PyObject *json) noexcept {
    if (json != std_json)
        return false;
    PyObject *dict = PyModule_GetDict(json);
    return PyDict_GetItemWithError(dict, names.dumps) == std_dumps &&
           PyDict_GetItemWithError(dict, names.JSONEncoder) == std_encoder;
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
    if (!json)
        return -1;
    Ref dumps = Ref::steal(PyObject_GetAttr(json.get(), names.dumps));
    Ref encoder = Ref::steal(PyObject_GetAttr(json.get(), names.JSONEncoder));
    if (!dumps || !encoder)
        return -1;
    std_dumps = dumps.release();
    std_encoder = encoder.release();
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
