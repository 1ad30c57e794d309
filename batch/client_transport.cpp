// The client engine's transport: once per batch the shipper takes the GIL and sends the batch
// through the redis-py client.
//
// A plain redis.Redis (a Sentinel master_for(...) included) whose pipeline() is redis-py's own
// gets what its non-transaction pipeline puts on the wire, from the bytes the application
// thread encoded, without redis-py's packing:
//
//     conn = client.connection_pool.get_connection()
//     conn.send_packed_command([b"".join(commands)])
//     for each command: conn.read_response()   # ResponseError: that entry failed
//     client.connection_pool.release(conn)     # after conn.disconnect() on any other error
//
// Any other client (RedisCluster, a wrapper) goes through its pipeline, with bytes cut from
// the encoded command (or pipe.xadd(key, {"payload": payload}, ...) without execute_command):
//
//     pipe = client.pipeline(transaction=False)
//     for record in batch:
//         pipe.execute_command("XADD", key, [b"MAXLEN", [b"~",] n,] b"*", b"payload", payload)
//     results = pipe.execute(raise_on_error=False)  # an exception instance: that entry failed
//
// An entry refused for the server's state (READONLY, OOM, TRYAGAIN, ...) leaves the batch's
// fate unknown, so that it is retried whole, as in the native engine.
#include <cstdio>
#include <cstring>
#include <new>

#include "batch/command.h"
#include "batch/lifecycle.h"
#include "batch/resp.h"
#include "batch/transport.h"
#include "module/import.h"
#include "module/names.h"

namespace quorbel::batch {

namespace {

using module::Name;

const Name kPipeline{"pipeline"};
const Name kXadd{"xadd"};
const Name kExecute{"execute"};
const Name kExecuteCommand{"execute_command"};
const Name kXaddCommand{"XADD"};
const Name kTransaction{"transaction"};
const Name kRaiseOnError{"raise_on_error"};
const Name kMaxlen{"maxlen"};
const Name kApproximate{"approximate"};
const Name kPayload{"payload"};
const Name kRedis{"Redis"};
const Name kResponseError{"ResponseError"};
const Name kConnectionPool{"connection_pool"};
const Name kGetConnection{"get_connection"};
const Name kSendPackedCommand{"send_packed_command"};
const Name kReadResponse{"read_response"};
const Name kRelease{"release"};
const Name kDisconnect{"disconnect"};

// redis-py's exceptions for error replies that speak of the server's state, where it strips
// the error code from the text (the others keep it, and is_server_state_error reads it).
const char *const kStateErrors[] = {"ReadOnlyError", "OutOfMemoryError", "BusyLoadingError",
                                    "TryAgainError", "ClusterDownError", "MovedError",
                                    "AskError",      "MasterDownError"};

using Text = char[256];

// "context: str(exc)" into out; returns where str(exc) begins there.
std::size_t describe(PyObject *exc, Text &out, const char *context) noexcept {
    Ref text = Ref::steal(PyObject_Str(exc));
    Ref utf8 = text ? Ref::steal(PyUnicode_AsUTF8String(text.get())) : Ref();
    char *data = nullptr;
    Py_ssize_t len = 0;
    if (!utf8 || PyBytes_AsStringAndSize(utf8.get(), &data, &len) < 0) {
        PyErr_Clear();
        data = const_cast<char *>("an exception");
        len = static_cast<Py_ssize_t>(std::strlen(data));
    }
    const int begins = std::snprintf(out, sizeof out, "%s: ", context);
    std::snprintf(out + begins, sizeof out - begins, "%.*s", static_cast<int>(len), data);
    return static_cast<std::size_t>(begins);
}

// The pending exception, taken and cleared.
Ref take_exception() noexcept {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref t = Ref::steal(type), trace = Ref::steal(tb);
    return value != nullptr ? Ref::steal(value) : Ref::borrow(Py_None);
}

// Describes the pending exception into out and clears it.
void take_error(Text &out, const char *context) noexcept {
    describe(take_exception().get(), out, context);
}

Ref keywords(PyObject *name, PyObject *value) noexcept {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict || PyDict_SetItem(dict.get(), name, value) < 0)
        return {};
    return dict;
}

Ref call(PyObject *on, PyObject *name, PyObject *arg = nullptr) noexcept {
    return Ref::steal(PyObject_CallMethodObjArgs(on, name, arg, nullptr));
}

// module.name, or an empty Ref with nothing pending when the module or the name is missing
// (any other failure stays pending: `failed` tells).
Ref optional_attribute(const char *module_name, PyObject *name, bool &failed) noexcept {
    Ref module = module::import_module(module_name);
    Ref value = module ? Ref::steal(PyObject_GetAttr(module.get(), name)) : Ref();
    failed = !value && catch_pending(module ? PyExc_AttributeError : PyExc_ImportError) < 0;
    return value;
}

class ClientTransport final : public Transport {
  public:
    explicit ClientTransport(PyObject *client) noexcept : client_(Ref::borrow(client)) {}
    // Without the GIL the references cannot be dropped: left to the process (release_python
    // has normally dropped them already).
    ~ClientTransport() override {
        client_.release();
        response_error_.release();
        state_errors_.release();
    }

    // Learns which road the client takes and how refusals read; -1 with an exception set.
    int probe() noexcept;

    bool connected() const noexcept override { return true; }
    bool connect() noexcept override { return true; }
    Sent send(const Batch &b, unsigned char *ok) noexcept override {
        PyGILState_STATE gil;
        if (!enter_python(gil)) {
            std::snprintf(error_, sizeof error_, "the interpreter is exiting");
            return Sent::Unknown;
        }
        entry_error_[0] = '\0';
        const Sent sent = !client_  ? Sent::Unknown
                          : direct_ ? send_direct(b, ok)
                                    : send_pipeline(b, ok);
        leave_python(gil);
        return sent;
    }
    const char *error() const noexcept override { return error_; }
    const char *entry_error() const noexcept override { return entry_error_; }
    void release_python() noexcept override {
        client_ = Ref();
        response_error_ = Ref();
        state_errors_ = Ref();
    }
    bool uses_python() const noexcept override { return true; }

  private:
    Sent send_direct(const Batch &b, unsigned char *ok) noexcept;
    Sent exchange(PyObject *conn, const Batch &b, unsigned char *ok) noexcept;
    Ref connection_from(PyObject *pool) noexcept;
    Sent send_pipeline(const Batch &b, unsigned char *ok) noexcept;
    // Queues the batch's commands through pipe.execute_command, or (pipe_xadd) pipe.xadd;
    // false with an exception set.
    bool queue(const Batch &b, PyObject *execute_command) noexcept;
    bool queue_xadd(const Batch &b, PyObject *xadd) noexcept;
    // Records the refusal of an entry (exc); true when it speaks of the server's state.
    bool refused(PyObject *exc) noexcept;
    // A batch with an entry refused for the server's state is retried whole.
    Sent settled(bool state) noexcept {
        if (!state)
            return Sent::Ok;
        std::snprintf(error_, sizeof error_, "the server refused the batch: %.200s", entry_error_);
        return Sent::Unknown;
    }

    Ref client_;
    Ref response_error_; // redis.exceptions.ResponseError (empty: none known)
    Ref state_errors_;   // a tuple of the kStateErrors redis-py has
    bool direct_ = false;
    bool name_connection_ = false; // redis-py before 5.3: get_connection(command_name)
    Text error_ = {};
    Text entry_error_ = {};
};

int ClientTransport::probe() noexcept {
    bool failed;
    response_error_ = optional_attribute("redis.exceptions", kResponseError, failed);
    if (failed)
        return -1;
    Ref found = Ref::steal(PyList_New(0));
    if (!found)
        return -1;
    for (const char *name : kStateErrors) {
        Ref key = Ref::steal(PyUnicode_InternFromString(name));
        Ref type = key ? optional_attribute("redis.exceptions", key.get(), failed) : Ref();
        if (!key || failed)
            return -1;
        if (type && PyType_Check(type.get()) && PyList_Append(found.get(), type.get()) < 0)
            return -1;
    }
    state_errors_ = Ref::steal(PyList_AsTuple(found.get()));
    if (!state_errors_)
        return -1;
    if (!response_error_ || !PyType_Check(response_error_.get())) {
        response_error_ = Ref();
        return 0;
    }
    // The direct road stands in for redis-py's own pipeline() only.
    Ref redis = optional_attribute("redis.client", kRedis, failed);
    if (failed)
        return -1;
    if (!redis || !PyType_Check(redis.get()))
        return 0;
    const int is_redis = PyObject_IsInstance(client_.get(), redis.get());
    if (is_redis <= 0)
        return is_redis;
    Ref own = Ref::steal(PyObject_GetAttr(redis.get(), kPipeline));
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(client_.get()));
    Ref used = own ? Ref::steal(PyObject_GetAttr(type, kPipeline)) : Ref();
    if (!used)
        return -1;
    direct_ = own.get() == used.get();
    return 0;
}

bool ClientTransport::refused(PyObject *exc) noexcept {
    Text text;
    const std::size_t words = describe(exc, text, "xadd");
    if (entry_error_[0] == '\0')
        std::memcpy(entry_error_, text, sizeof text);
    const int state = state_errors_ ? PyObject_IsInstance(exc, state_errors_.get()) : 0;
    if (state < 0)
        PyErr_Clear();
    return state > 0 || is_server_state_error(text + words);
}

Ref ClientTransport::connection_from(PyObject *pool) noexcept {
    if (!name_connection_) {
        Ref conn = call(pool, kGetConnection);
        if (conn || !PyErr_ExceptionMatches(PyExc_TypeError))
            return conn;
        PyErr_Clear();
        name_connection_ = true;
    }
    return call(pool, kGetConnection, kXaddCommand);
}

Transport::Sent ClientTransport::send_direct(const Batch &b, unsigned char *ok) noexcept {
    Ref pool = Ref::steal(PyObject_GetAttr(client_.get(), kConnectionPool));
    Ref conn = pool ? connection_from(pool.get()) : Ref();
    if (!conn) {
        take_error(error_, "get_connection");
        return Sent::Unknown;
    }
    const Sent sent = exchange(conn.get(), b, ok);
    // A connection left inside a reply stream must not serve again: redis-py's pipeline drops
    // it too. What these calls raise changes nothing of the batch's fate.
    if (sent != Sent::Ok && !call(conn.get(), kDisconnect))
        PyErr_Clear();
    if (!call(pool.get(), kRelease, conn.get()))
        PyErr_Clear();
    return sent;
}

Transport::Sent ClientTransport::exchange(PyObject *conn, const Batch &b,
                                          unsigned char *ok) noexcept {
    std::size_t total = 0;
    for (int i = 0; i < b.iovcnt; ++i)
        total += b.iov[i].iov_len;
    Ref blob = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total)));
    char *at = blob ? PyBytes_AsString(blob.get()) : nullptr;
    Ref packed = at ? Ref::steal(PyList_New(1)) : Ref();
    if (!packed) {
        take_error(error_, "send_packed_command");
        return Sent::Unknown;
    }
    for (int i = 0; i < b.iovcnt; ++i) {
        std::memcpy(at, b.iov[i].iov_base, b.iov[i].iov_len);
        at += b.iov[i].iov_len;
    }
    PyList_SetItem(packed.get(), 0, blob.release()); // steals
    if (!call(conn, kSendPackedCommand, packed.get())) {
        take_error(error_, "send_packed_command");
        return Sent::Unknown;
    }
    Ref read = Ref::steal(PyObject_GetAttr(conn, kReadResponse));
    bool state = false;
    for (std::size_t i = 0; i < b.count; ++i) {
        Ref reply = read ? Ref::steal(PyObject_CallFunctionObjArgs(read.get(), nullptr)) : Ref();
        ok[i] = reply ? 1 : 0;
        if (reply)
            continue;
        if (!PyErr_ExceptionMatches(response_error_.get())) {
            take_error(error_, "read_response");
            return Sent::Unknown;
        }
        Ref exc = take_exception();
        state = refused(exc.get()) || state;
    }
    return settled(state);
}

bool ClientTransport::queue(const Batch &b, PyObject *execute_command) noexcept {
    bool failed = false;
    // The arguments of the previous record, reused while they repeat (all but the payload).
    const char *last[kMaxArgs] = {};
    std::size_t last_len[kMaxArgs] = {};
    Ref made[kMaxArgs];
    b.for_each([&](std::size_t, const RecordView &rec) {
        const char *arg[kMaxArgs];
        std::size_t arg_len[kMaxArgs];
        const int argc = failed ? 0 : command_args(rec.command, rec.length, arg, arg_len);
        Ref args = argc != 0 ? Ref::steal(PyTuple_New(argc)) : Ref();
        if (!args) {
            if (!failed && !PyErr_Occurred())
                PyErr_SetString(PyExc_SystemError, "quorbel_batch: a damaged record");
            failed = true;
            return;
        }
        made[0] = Ref::borrow(kXaddCommand);
        for (int i = 1; i < argc; ++i) {
            if (i == argc - 1 || !made[i] || arg_len[i] != last_len[i] ||
                std::memcmp(arg[i], last[i], arg_len[i]) != 0) {
                made[i] = Ref::steal(
                    PyBytes_FromStringAndSize(arg[i], static_cast<Py_ssize_t>(arg_len[i])));
                if (!made[i]) {
                    failed = true;
                    return;
                }
            }
            last[i] = arg[i];
            last_len[i] = arg_len[i];
        }
        for (int i = 0; i < argc; ++i)
            PyTuple_SetItem(args.get(), i, Ref::borrow(made[i].get()).release()); // steals
        Ref queued = Ref::steal(PyObject_Call(execute_command, args.get(), nullptr));
        failed = !queued;
    });
    return !failed;
}

bool ClientTransport::queue_xadd(const Batch &b, PyObject *xadd) noexcept {
    bool failed = false;
    Ref key, kwargs;
    CommandParts last;
    b.for_each([&](std::size_t, const RecordView &rec) {
        if (failed)
            return;
        CommandParts parts;
        if (!decode_command(rec.command, rec.length, parts)) {
            PyErr_SetString(PyExc_SystemError, "quorbel_batch: a damaged record");
            failed = true;
            return;
        }
        if (!key || parts.key_len != last.key_len ||
            std::memcmp(parts.key, last.key, parts.key_len) != 0) {
            key = Ref::steal(PyUnicode_DecodeUTF8(parts.key, parts.key_len, nullptr));
            if (!key) {
                failed = true;
                return;
            }
            kwargs = Ref();
        }
        if (parts.maxlen >= 0 &&
            (!kwargs || parts.maxlen != last.maxlen || parts.approximate != last.approximate)) {
            Ref maxlen = Ref::steal(PyLong_FromLongLong(parts.maxlen));
            kwargs = maxlen ? keywords(kMaxlen, maxlen.get()) : Ref();
            if (!kwargs || PyDict_SetItem(kwargs.get(), kApproximate,
                                          parts.approximate ? Py_True : Py_False) < 0) {
                failed = true;
                return;
            }
        }
        last = parts;
        Ref payload = Ref::steal(
            rec.payload_bytes
                ? PyBytes_FromStringAndSize(parts.payload,
                                            static_cast<Py_ssize_t>(parts.payload_len))
                : PyUnicode_DecodeUTF8(parts.payload, static_cast<Py_ssize_t>(parts.payload_len),
                                       nullptr));
        Ref fields = payload ? keywords(kPayload, payload.get()) : Ref();
        Ref args = fields ? Ref::steal(PyTuple_Pack(2, key.get(), fields.get())) : Ref();
        Ref queued = args ? Ref::steal(PyObject_Call(xadd, args.get(),
                                                     parts.maxlen >= 0 ? kwargs.get() : nullptr))
                          : Ref();
        failed = !queued;
    });
    return !failed;
}

Transport::Sent ClientTransport::send_pipeline(const Batch &b, unsigned char *ok) noexcept {
    Ref no_transaction = keywords(kTransaction, Py_False);
    Ref pipeline = no_transaction ? Ref::steal(PyObject_GetAttr(client_.get(), kPipeline)) : Ref();
    Ref empty = pipeline ? Ref::steal(PyTuple_New(0)) : Ref();
    Ref pipe = empty ? Ref::steal(PyObject_Call(pipeline.get(), empty.get(), no_transaction.get()))
                     : Ref();
    Ref command = pipe ? Ref::steal(PyObject_GetAttr(pipe.get(), kExecuteCommand)) : Ref();
    bool queued = false;
    if (command) {
        queued = queue(b, command.get());
    } else if (pipe && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        Ref xadd = Ref::steal(PyObject_GetAttr(pipe.get(), kXadd));
        queued = xadd && queue_xadd(b, xadd.get());
    }
    if (!queued) {
        take_error(error_, "pipeline");
        return Sent::Unknown;
    }
    Ref execute = Ref::steal(PyObject_GetAttr(pipe.get(), kExecute));
    Ref no_raise = execute ? keywords(kRaiseOnError, Py_False) : Ref();
    Ref results =
        no_raise ? Ref::steal(PyObject_Call(execute.get(), empty.get(), no_raise.get())) : Ref();
    if (!results) {
        take_error(error_, "execute");
        return Sent::Unknown;
    }
    // A tuple or a list, read as a sequence of its own: a hostile execute() cannot resize it.
    Ref items = Ref::steal(PySequence_Tuple(results.get()));
    if (!items || !(PyList_Check(results.get()) || PyTuple_Check(results.get())) ||
        PyTuple_Size(items.get()) != static_cast<Py_ssize_t>(b.count)) {
        PyErr_Clear();
        std::snprintf(error_, sizeof error_, "execute() did not return one result per command");
        return Sent::Unknown;
    }
    bool state = false;
    for (std::size_t i = 0; i < b.count; ++i) {
        PyObject *r = PyTuple_GetItem(items.get(), static_cast<Py_ssize_t>(i));
        ok[i] = !PyExceptionInstance_Check(r);
        if (!ok[i])
            state = refused(r) || state;
    }
    return settled(state);
}

} // namespace

Transport *make_client_transport(PyObject *client) noexcept {
    auto *t = new (std::nothrow) ClientTransport(client);
    if (t == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    if (t->probe() < 0) {
        t->release_python();
        delete t;
        return nullptr;
    }
    return t;
}

} // namespace quorbel::batch
