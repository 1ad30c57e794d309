// The client engine's transport: once per batch the shipper takes the GIL and sends the batch
// through client.pipeline(transaction=False), one xadd per record.
//
//     pipe = client.pipeline(transaction=False)
//     for record in batch:
//         pipe.execute_command("XADD", key, [b"MAXLEN", [b"~",] n,] b"*", b"payload", payload)
//     results = pipe.execute(raise_on_error=False)  # an exception instance: that entry failed
//
// The arguments are bytes cut from the encoded command, which a redis-py pipeline sends as
// they are (a quarter less of its work per record than through its xadd()). A pipeline
// without execute_command() gets pipe.xadd(key, {"payload": payload}[, maxlen=n,
// approximate=flag]) instead, with the str or bytes the application gave.
#include <cstdio>
#include <cstring>
#include <new>

#include "batch/command.h"
#include "batch/lifecycle.h"
#include "batch/transport.h"
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

// Copies str(exception) of the pending exception into out and clears it.
void take_error(char (&out)[256], const char *context) noexcept {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref t = Ref::steal(type), v = Ref::steal(value), trace = Ref::steal(tb);
    Ref text = v ? Ref::steal(PyObject_Str(v.get())) : Ref();
    Ref utf8 = text ? Ref::steal(PyUnicode_AsUTF8String(text.get())) : Ref();
    char *data = nullptr;
    Py_ssize_t len = 0;
    if (!utf8 || PyBytes_AsStringAndSize(utf8.get(), &data, &len) < 0) {
        data = const_cast<char *>("an exception");
        len = static_cast<Py_ssize_t>(std::strlen(data));
    }
    PyErr_Clear();
    std::snprintf(out, sizeof out, "%s: %.*s", context, static_cast<int>(len), data);
}

Ref keywords(PyObject *name, PyObject *value) noexcept {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict || PyDict_SetItem(dict.get(), name, value) < 0)
        return {};
    return dict;
}

class ClientTransport final : public Transport {
  public:
    explicit ClientTransport(PyObject *client) noexcept : client_(Ref::borrow(client)) {}
    // Without the GIL the reference cannot be dropped: left to the process (release_python
    // has normally dropped it already).
    ~ClientTransport() override { client_.release(); }

    bool connected() const noexcept override { return true; }
    bool connect() noexcept override { return true; }
    Sent send(const Batch &b, unsigned char *ok) noexcept override {
        PyGILState_STATE gil;
        if (!enter_python(gil)) {
            std::snprintf(error_, sizeof error_, "the interpreter is exiting");
            return Sent::Unknown;
        }
        const Sent sent = client_ ? send_with_gil(b, ok) : Sent::Unknown;
        leave_python(gil);
        return sent;
    }
    const char *error() const noexcept override { return error_; }
    const char *entry_error() const noexcept override { return entry_error_; }
    void release_python() noexcept override { client_ = Ref(); }
    bool uses_python() const noexcept override { return true; }

  private:
    Sent send_with_gil(const Batch &b, unsigned char *ok) noexcept;
    // Queues the batch's commands through pipe.execute_command, or (pipe_xadd) pipe.xadd;
    // false with an exception set.
    bool queue(const Batch &b, PyObject *execute_command) noexcept;
    bool queue_xadd(const Batch &b, PyObject *xadd) noexcept;

    Ref client_;
    char error_[256] = {};
    char entry_error_[256] = {};
};

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
        if (parts.maxlen >= 0 && (!kwargs || parts.maxlen != last.maxlen ||
                                  parts.approximate != last.approximate)) {
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

Transport::Sent ClientTransport::send_with_gil(const Batch &b, unsigned char *ok) noexcept {
    entry_error_[0] = '\0';
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
    const bool list = PyList_Check(results.get());
    if (!(list || PyTuple_Check(results.get())) ||
        (list ? PyList_Size(results.get()) : PyTuple_Size(results.get())) !=
            static_cast<Py_ssize_t>(b.count)) {
        std::snprintf(error_, sizeof error_, "execute() did not return one result per command");
        return Sent::Unknown;
    }
    for (std::size_t i = 0; i < b.count; ++i) {
        const auto at = static_cast<Py_ssize_t>(i);
        PyObject *r = list ? PyList_GetItem(results.get(), at) : PyTuple_GetItem(results.get(), at);
        ok[i] = r != nullptr && !PyExceptionInstance_Check(r);
        if (!ok[i] && entry_error_[0] == '\0' && r != nullptr) {
            PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(r)), r);
            take_error(entry_error_, "xadd");
        }
    }
    return Sent::Ok;
}

} // namespace

Transport *make_client_transport(PyObject *client) noexcept {
    Transport *t = new (std::nothrow) ClientTransport(client);
    if (t == nullptr)
        PyErr_NoMemory();
    return t;
}

} // namespace quorbel::batch
