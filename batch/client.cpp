// BatchClient: the object an application hands to the handler as its client.
//
// Equivalent Python (the surface; the work is native):
//     class BatchClient:
//         def __init__(self, url=None, client=None, batch_size=256, linger_ms=5,
//                      buffer_bytes=8388608, timeout_ms=1000, spill_path=None,
//                      spill_after_ms=2000, close_timeout_ms=2000, spool_dir=None,
//                      spool_bytes=67108864, sync_ms=500): ...
//         def xadd(self, name, fields, maxlen=None, approximate=False) -> None: ...
//         def flush(self, timeout=None) -> bool: ...
//         def close(self, timeout=None) -> None: ...
//         def stats(self) -> dict: ...
//         def __enter__(self): return self
//         def __exit__(self, *exc_info): self.close()
#include "batch/client.h"

#include <cstring>

#include "batch/construct.h"
#include "batch/control.h"
#include "batch/engine.h"
#include "batch/lifecycle.h"
#include "batch/signature.h"
#include "module/binder.h"
#include "module/facts.h"
#include "module/names.h"

namespace quorbel::batch {

namespace {

using module::Bound;
using module::Kind;
using module::Name;
using module::Param;
using module::Signature;

const Name kPayload{"payload"};

struct Client {
    PyObject_HEAD
    Engine *engine;
    PyObject *key;        // the last stream key given (a str); with a spill file, the only one
    PyObject *key_utf8;   // bytes holding key's UTF-8 where the interpreter keeps none
    const char *key_data; // key's UTF-8
    Py_ssize_t key_len;
    bool one_key; // a spill file holds one stream's payloads
    std::size_t buffer_bytes;
};

PyObject *buffer_error(Client *c, Buffer::Append result, const CommandParts &parts) noexcept {
    Spool *spool = c->engine->spool;
    if (result == Buffer::Append::SpoolFailed && spool->error() != 0)
        return PyErr_Format(PyExc_BufferError, "the spool cannot take the record: %s",
                            std::strerror(spool->error()));
    const char *what = spool != nullptr ? "spool_bytes" : "buffer_bytes";
    const std::size_t limit = spool != nullptr ? spool->limit() : c->buffer_bytes;
    if (Buffer::footprint(parts) > limit)
        return PyErr_Format(PyExc_BufferError, "a record of %zu bytes does not fit in %s=%zu",
                            Buffer::footprint(parts), what, limit);
    return PyErr_Format(PyExc_BufferError, "the %s is full (%s=%zu)",
                        spool != nullptr ? "spool" : "buffer", what, limit);
}

Client *as_client(PyObject *self) noexcept { return reinterpret_cast<Client *>(self); }

PyTypeObject *client_type_object = nullptr;

// A callable's binding: its table, and the names and defaults made from it once.
struct Binding {
    const Signature &sig;
    PyObject *names = nullptr;
    PyObject *defaults = nullptr;

    int bind(PyObject *args, PyObject *kwargs, Bound &out) const noexcept {
        return module::bind_args(sig, names, defaults, args, kwargs, out);
    }
    int bind(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
             Bound &out) const noexcept {
        return module::bind_vector(sig, names, defaults, args, nargs, kwnames, out);
    }
};

constexpr Param kXaddParams[] = {
    Param::any("name", "str"),
    Param::any("fields", "Dict[str, Union[str, bytes]]"),
    Param::optional("maxlen", Kind::Any),
    Param::flag("approximate", false),
};
constexpr Param kTimeoutParams[] = {Param::optional("timeout", Kind::Any)};

const Signature kXaddSig("xadd", "BatchClient.xadd", kXaddParams, "None", nullptr, nullptr);
const Signature kFlushSig("flush", "BatchClient.flush", kTimeoutParams, "bool", nullptr, nullptr);
const Signature kCloseSig("close", "BatchClient.close", kTimeoutParams, "None", nullptr, nullptr);

Binding xadd_binding{kXaddSig};
Binding flush_binding{kFlushSig};
Binding close_binding{kCloseSig};

// The stream key's UTF-8, kept with the key: the handler passes the same str every time.
int remember_key(Client *c, PyObject *name) noexcept {
    Ref utf8;
    const char *data;
    Py_ssize_t len;
    if (module::facts.as_utf8_and_size != nullptr) {
        data = module::facts.as_utf8_and_size(name, &len);
        if (data == nullptr)
            return -1;
    } else {
        // 3.7 to 3.9: no UTF-8 kept inside the str.
        utf8 = Ref::steal(PyUnicode_AsUTF8String(name));
        char *bytes;
        if (!utf8 || PyBytes_AsStringAndSize(utf8.get(), &bytes, &len) < 0)
            return -1;
        data = bytes;
    }
    Py_INCREF(name);
    Py_XDECREF(c->key);
    Py_XDECREF(c->key_utf8);
    c->key = name;
    c->key_utf8 = utf8.release();
    c->key_data = data;
    c->key_len = len;
    return 0;
}

int check_key(Client *c, PyObject *name) noexcept {
    if (name == c->key)
        return 0;
    if (c->key != nullptr && c->one_key) {
        const int same = PyUnicode_Compare(name, c->key);
        if (same == 0)
            return 0;
        if (same == -1 && PyErr_Occurred())
            return -1;
        PyErr_Format(PyExc_ValueError,
                     "this BatchClient writes a spill file, which holds one stream: it serves "
                     "%R, not %R",
                     c->key, name);
        return -1;
    }
    return remember_key(c, name);
}

// The payload's UTF-8 into parts; `holder` keeps what owns the bytes.
int payload_text(Client *c, PyObject *value, Ref &holder, CommandParts &parts) noexcept {
    char *data = nullptr;
    Py_ssize_t len = 0;
    if (PyUnicode_CheckExact(value)) {
        if (module::facts.as_utf8_and_size != nullptr) {
            data = const_cast<char *>(module::facts.as_utf8_and_size(value, &len));
            if (data == nullptr)
                return -1;
        } else {
            holder = Ref::steal(PyUnicode_AsUTF8String(value));
            if (!holder || PyBytes_AsStringAndSize(holder.get(), &data, &len) < 0)
                return -1;
        }
    } else if (PyBytes_CheckExact(value)) {
        if (PyBytes_AsStringAndSize(value, &data, &len) < 0)
            return -1;
        if (!valid_utf8(data, static_cast<std::size_t>(len))) {
            PyErr_SetString(PyExc_ValueError, "the payload is not valid UTF-8");
            return -1;
        }
        parts.payload_bytes = true;
    } else {
        Ref got = module::type_qualname(Py_TYPE(value));
        if (got)
            PyErr_Format(PyExc_TypeError, "the payload must be str or bytes, not %U", got.get());
        return -1;
    }
    if (c->one_key && (std::memchr(data, '\n', static_cast<std::size_t>(len)) != nullptr ||
                       std::memchr(data, '\r', static_cast<std::size_t>(len)) != nullptr)) {
        PyErr_SetString(PyExc_ValueError,
                        "the payload holds a line break, which a spill file cannot keep");
        return -1;
    }
    parts.payload = data;
    parts.payload_len = static_cast<std::size_t>(len);
    return 0;
}

PyObject *xadd_bound(Client *c, const Bound &b) noexcept {
    PyObject *name = b[0], *fields = b[1], *maxlen = b[2];
    if (!PyUnicode_CheckExact(name)) {
        module::raise_incorrect_type("name", &PyUnicode_Type, "str", name);
        return nullptr;
    }
    if (!PyDict_CheckExact(fields)) {
        module::raise_incorrect_type("fields", &PyDict_Type, "dict", fields);
        return nullptr;
    }
    CommandParts parts;
    if (maxlen != Py_None) {
        if (!PyLong_CheckExact(maxlen)) {
            module::raise_incorrect_type("maxlen", &PyLong_Type, "int", maxlen);
            return nullptr;
        }
        int overflow = 0;
        parts.maxlen = PyLong_AsLongLongAndOverflow(maxlen, &overflow);
        if (parts.maxlen == -1 && overflow == 0 && PyErr_Occurred())
            return nullptr;
        if (overflow != 0 || parts.maxlen < 0) {
            PyErr_Format(PyExc_ValueError, "maxlen must be a non-negative integer, not %R", maxlen);
            return nullptr;
        }
        parts.approximate = b.truth(3);
    }
    PyObject *found =
        PyDict_Size(fields) == 1 ? PyDict_GetItemWithError(fields, kPayload) : nullptr;
    if (found == nullptr) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_ValueError, "fields must hold exactly one entry, \"payload\"");
        return nullptr;
    }
    Ref value = Ref::borrow(found);
    Ref holder;
    if (check_key(c, name) < 0 || payload_text(c, value.get(), holder, parts) < 0)
        return nullptr;
    parts.key = c->key_data;
    parts.key_len = static_cast<std::size_t>(c->key_len);
    for (;;) {
        const Buffer::Append result = c->engine->append(parts);
        switch (result) {
        case Buffer::Append::Ok:
            Py_RETURN_NONE;
        case Buffer::Append::NoThread:
            // The shipper starts with the first record (of this process).
            if (start_shipper(c->engine) < 0)
                return nullptr;
            continue;
        case Buffer::Append::Closed:
            PyErr_SetString(PyExc_BufferError, "the BatchClient is closed");
            return nullptr;
        case Buffer::Append::Full:
        case Buffer::Append::SpoolFailed:
            return buffer_error(c, result, parts);
        case Buffer::Append::NoMemory:
            return PyErr_NoMemory();
        }
    }
}

PyObject *client_xadd(PyObject *self, PyObject *args, PyObject *kwargs) noexcept {
    Bound b;
    if (xadd_binding.bind(args, kwargs, b) < 0)
        return nullptr;
    return xadd_bound(as_client(self), b);
}

// The same without an argument tuple and a keyword dict, where the interpreter calls methods
// so (3.10+): the handler's call then builds neither.
PyObject *client_xadd_fast(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                           PyObject *kwnames) noexcept {
    Bound b;
    if (xadd_binding.bind(args, nargs, kwnames, b) < 0)
        return nullptr;
    return xadd_bound(as_client(self), b);
}

// METH_FASTCALL, in the stable ABI from 3.10 with this value.
constexpr int kMethFastcall = 0x0080;

PyObject *client_flush(PyObject *self, PyObject *args, PyObject *kwargs) noexcept {
    Bound b;
    if (flush_binding.bind(args, kwargs, b) < 0)
        return nullptr;
    return flush_engine(as_client(self)->engine, b[0]);
}

PyObject *client_close(PyObject *self, PyObject *args, PyObject *kwargs) noexcept {
    Bound b;
    if (close_binding.bind(args, kwargs, b) < 0)
        return nullptr;
    return close_engine(as_client(self)->engine, b[0]);
}

PyObject *client_stats(PyObject *self, PyObject *) noexcept {
    return engine_stats(as_client(self)->engine);
}

PyObject *client_enter(PyObject *self, PyObject *) noexcept {
    Py_INCREF(self);
    return self;
}

PyObject *client_exit(PyObject *self, PyObject *) noexcept {
    Ref none = Ref::steal(PyTuple_New(0));
    return none ? client_close(self, none.get(), nullptr) : nullptr;
}

PyObject *client_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) noexcept {
    Engine *engine = make_engine(args, kwargs);
    if (engine == nullptr)
        return nullptr;
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject *self = alloc(type, 0);
    if (self == nullptr) {
        engine->detach();
        engine->release();
        return nullptr;
    }
    Client *c = as_client(self);
    c->engine = engine;
    c->one_key = engine->spill != nullptr;
    c->buffer_bytes = engine->options.buffer_bytes;
    register_engine(engine);
    if (engine->adopted() != 0) {
        // A gone owner's records go now, not with this process's first.
        if (start_shipper(engine) < 0) {
            Py_DECREF(self);
            return nullptr;
        }
    }
    return self;
}

void client_dealloc(PyObject *self) noexcept {
    Client *c = as_client(self);
    if (c->engine != nullptr) {
        // Records still pending are delivered by the shipper, which then exits.
        if (c->engine->detach()) {
            c->engine->transport->release_python();
            unregister_engine(c->engine);
        }
        c->engine->release();
    }
    Py_XDECREF(c->key);
    Py_XDECREF(c->key_utf8);
    PyTypeObject *type = Py_TYPE(self);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
    Py_DECREF(type);
}

#define QUORBEL_TIMEOUT_DOC(name, what) name "($self, timeout=None)\n--\n\n" what

PyMethodDef client_methods[] = {
    {"xadd", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(client_xadd)),
     METH_VARARGS | METH_KEYWORDS,
     "xadd($self, name, fields, maxlen=None, approximate=False)\n--\n\n"
     "Copy one XADD command (fields: {\"payload\": str or bytes}) into the buffer and\n"
     "return None at once. BufferError when the record does not fit in buffer_bytes or\n"
     "the client is closed."},
    {"flush", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(client_flush)),
     METH_VARARGS | METH_KEYWORDS,
     QUORBEL_TIMEOUT_DOC("flush",
                         "Wait until every record accepted so far is in the stream or the spill\n"
                         "file: True when that happened within timeout seconds (None: no limit),\n"
                         "False otherwise or when some of them had to be dropped.")},
    {"close", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(client_close)),
     METH_VARARGS | METH_KEYWORDS,
     QUORBEL_TIMEOUT_DOC("close",
                         "Flush, then stop the shipper; later xadd calls raise BufferError. Waits\n"
                         "at most timeout seconds (None: close_timeout_ms); what is still pending\n"
                         "then goes to the spill file, or is dropped without one.")},
    {"stats", client_stats, METH_NOARGS,
     "stats($self, /)\n--\n\n"
     "Counts of records: accepted + adopted == sent + spilled + dropped + pending;\n"
     "resent counts records sent (or spilled) again after a round trip whose fate was\n"
     "unknown; spooled, adopted and corrupt count records written to the spool, taken\n"
     "over from gone processes, and found damaged there."},
    {"__enter__", client_enter, METH_NOARGS, "__enter__($self, /)\n--\n\n"},
    {"__exit__", client_exit, METH_VARARGS, "__exit__($self, *exc_info)\n--\n\nclose()"},
    {nullptr, nullptr, 0, nullptr},
};
#undef QUORBEL_TIMEOUT_DOC

// The constructor's parameters as its docstring and inspect show them.
#define QUORBEL_NEW_PARAMS                                                                         \
    "(url=None, client=None, batch_size=256, linger_ms=5, buffer_bytes=8388608, "                  \
    "timeout_ms=1000, spill_path=None, spill_after_ms=2000, close_timeout_ms=2000, "               \
    "spool_dir=None, spool_bytes=67108864, sync_ms=500)"

PyType_Slot client_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(client_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(client_dealloc)},
    {Py_tp_methods, nullptr}, // client_methods, with xadd's calling convention set at run time
    {Py_tp_doc,
     const_cast<char *>("BatchClient" QUORBEL_NEW_PARAMS "\n--\n\n"
                        "A client for RedisStreamHandler whose xadd returns at once: records are\n"
                        "copied into a bounded buffer and sent in batches by a thread of its own,\n"
                        "over its own connection (url) or through a redis-py client (client).\n"
                        "With spool_dir, each record is first written to a segment file of this\n"
                        "process there (at most spool_bytes, synced every sync_ms), so that a\n"
                        "killed process loses none: a client opened later on the folder delivers\n"
                        "what a gone process left.")},
    {0, nullptr},
};

PyType_Spec client_spec = {
    "quorbel_batch.BatchClient", sizeof(Client), 0, Py_TPFLAGS_DEFAULT, client_slots,
};

int init_binding(Binding &b) noexcept {
    if (b.names != nullptr)
        return 0;
    Ref names = module::make_param_names(b.sig);
    Ref defaults = names ? module::make_defaults(b.sig, Py_None) : Ref();
    if (!defaults)
        return -1;
    b.names = names.release();
    b.defaults = defaults.release();
    return 0;
}

} // namespace

int init_client_type() noexcept {
    if (init_binding(xadd_binding) < 0 || init_binding(flush_binding) < 0 ||
        init_binding(close_binding) < 0)
        return -1;
    if (client_type_object == nullptr) {
        if (module::facts.minor >= 10) {
            client_methods[0].ml_meth =
                reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(client_xadd_fast));
            client_methods[0].ml_flags = kMethFastcall | METH_KEYWORDS;
        }
        for (PyType_Slot &slot : client_slots)
            if (slot.slot == Py_tp_methods)
                slot.pfunc = client_methods;
        PyObject *type = PyType_FromSpec(&client_spec);
        if (type == nullptr)
            return -1;
        client_type_object = reinterpret_cast<PyTypeObject *>(type);
        if (keep_text_signature(type, QUORBEL_NEW_PARAMS) < 0) {
            client_type_object = nullptr;
            Py_DECREF(type);
            return -1;
        }
    }
    return 0;
}

PyObject *client_type() noexcept { return reinterpret_cast<PyObject *>(client_type_object); }

} // namespace quorbel::batch
