// RedisStreamHandler.emit: one record to one stream entry, or to the fallback file.
//
//     def emit(self, record) -> "None":
//         try:
//             labels = _merge_labels(plain(self.default_labels),
//                                    plain(getattr(record, "labels", None)))
//             ctx = getattr(record, "ctx", None) or {}
//             payload_json = json.dumps({"ts": _now_ns(), "level": str(record.levelname).lower(),
//                                        "msg": record.getMessage(), "labels": labels,
//                                        "ctx": ctx}, ensure_ascii=False, separators=(",", ":"))
//             if self._client is not None:
//                 try:
//                     if self.maxlen:
//                         reply = self._client.xadd(self.stream_key, {"payload": payload_json},
//                                                   maxlen=self.maxlen, approximate=True)
//                     else:
//                         reply = self._client.xadd(self.stream_key, {"payload": payload_json})
//                     if hasattr(type(reply), "__await__"):   # an asyncio client: nothing sent
//                         reply.close()
//                         raise TypeError(...)
//                     return
//                 except Exception:
//                     pass
//             if self._fallback is not None:
//                 try:
//                     self._fallback.emit(logging.LogRecord(
//                         name=record.name, level=record.levelno, pathname=record.pathname,
//                         lineno=record.lineno, msg=payload_json, args=(), exc_info=None))
//                     return
//                 except Exception:
//                     <the cause>
//         except Exception:
//             <the cause>
//         if not self.drop_on_error:
//             <report the loss through self.handleError(record), with its cause>
//
// with each surrogate code point in payload_json written as a JSON escape, plain(x) the plain
// dict of a dict subclass's items (else x), and a record logged from inside emit on the same
// thread, beyond a fixed depth, lost (a client that logs through its own handler would
// otherwise recurse until the stack runs out).
#include "handler/emit.h"

#include "handler/clock.h"
#include "handler/handler.h"
#include "handler/labels.h"
#include "handler/payload.h"
#include "handler/shared_names.h"
#include "module/names.h"
#include "module/namespace.h"
#include "module/traceback.h"
#include "module/vectorcall.h"

namespace quorbel::handler {

using module::call;
using module::CallArgs;
using module::Name;
using module::Param;

namespace {

const Name kLevelname{"levelname"};
const Name kLower{"lower"};
const Name kGetMessage{"getMessage"};
const Name kXadd{"xadd"};
const Name kPayload{"payload"};
const Name kApproximate{"approximate"};
const Name kEmit{"emit"};
const Name kLogRecord{"LogRecord"};
const Name kName{"name"};
const Name kLevelno{"levelno"};
const Name kPathname{"pathname"};
const Name kLineno{"lineno"};
const Name kArgs{"args"};
const Name kHandleError{"handleError"};
const Name kAwait{"__await__"};
const Name kClose{"close"};

const module::NameTuple kTrimKeywords{option::maxlen, kApproximate};
// LogRecord's keywords, in the order the fallback record passes them.
const module::NameTuple kRecordKeywords{kName,      field::level, kPathname,      kLineno,
                                        field::msg, kArgs,        field::exc_info};

// How deep emit may run inside itself on one thread.
constexpr int kMaxReentry = 8;
thread_local int reentry_depth = 0;

Ref emit_body(const module::Bound &args) noexcept;

constexpr Param kParams[] = {Param::self(), Param::any("record", "logging.LogRecord")};

constexpr module::Signature kEmitSignature{
    "emit", "RedisStreamHandler.emit", kParams, "None", nullptr, emit_body};

// str(record.levelname).lower(); logging hands every record the same few name objects, so the
// last one seen is remembered with its lower-case form.
Ref level_text(PyObject *record) noexcept {
    static Kept last_name, last_text;
    Ref name = Ref::steal(PyObject_GetAttr(record, kLevelname));
    if (!name)
        return {};
    if (name.get() == last_name.get())
        return Ref::borrow(last_text.get());
    Ref text = PyUnicode_CheckExact(name.get()) ? Ref::borrow(name.get())
                                                : Ref::steal(PyObject_Str(name.get()));
    if (!text)
        return {};
    Ref lower = Ref::steal(PyObject_CallMethodObjArgs(text.get(), kLower, nullptr));
    if (!lower)
        return {};
    if (PyUnicode_CheckExact(name.get()) && PyUnicode_CheckExact(lower.get())) {
        last_name.reset(Ref::borrow(name.get()));
        last_text.reset(Ref::borrow(lower.get()));
    }
    return lower;
}

// A dict subclass (an OrderedDict, a defaultdict) as the plain dict of its items, as dict(v)
// makes it; anything else as it is, for _merge_labels to take or refuse.
Ref plain(Ref v) noexcept {
    if (!v || PyDict_CheckExact(v.get()) || !PyDict_Check(v.get()))
        return v;
    Ref copy = Ref::steal(PyDict_New());
    if (!copy || PyDict_Merge(copy.get(), v.get(), 1) < 0)
        return {};
    return copy;
}

Ref build_payload_text(PyObject *self, PyObject *record) noexcept {
    Ref defaults = plain(Ref::steal(PyObject_GetAttr(self, option::default_labels)));
    if (!defaults)
        return {};
    Ref record_labels = plain(module::attribute_or_none(record, field::labels));
    if (!record_labels)
        return {};
    MergedLabels labels;
    if (merge_labels(defaults.get(), record_labels.get(), &labels) < 0)
        return {};
    Ref ctx = module::attribute_or_none(record, field::ctx);
    if (!ctx)
        return {};
    int has_ctx = PyObject_IsTrue(ctx.get());
    if (has_ctx < 0)
        return {};
    if (!has_ctx && !(ctx = Ref::steal(PyDict_New())))
        return {};
    long long ts_ns = 0;
    Ref ts;
    if (read_now_ns(&ts_ns, &ts) < 0)
        return {};
    Ref level = level_text(record);
    if (!level)
        return {};
    Ref msg = Ref::steal(PyObject_CallMethodObjArgs(record, kGetMessage, nullptr));
    if (!msg)
        return {};
    return encode_payload_text(ts.get(), ts_ns, level.get(), msg.get(), labels, ctx.get());
}

// An asyncio client's xadd returns a coroutine and sends nothing until it is awaited, which emit
// cannot do: the append failed. The coroutine is closed, so that the interpreter does not warn
// that it was never awaited. -1 with the exception set for an awaitable, else 0.
int refuse_awaitable(PyObject *reply) noexcept {
    // What synchronous clients reply, told apart without an attribute lookup.
    if (reply == Py_None || PyBytes_CheckExact(reply) || PyUnicode_CheckExact(reply))
        return 0;
    Ref await = module::attribute_or_none(reinterpret_cast<PyObject *>(Py_TYPE(reply)), kAwait);
    if (!await)
        return -1;
    if (await.get() == Py_None)
        return 0;
    Ref close = module::attribute_or_none(reply, kClose);
    if (!close)
        return -1;
    if (close.get() != Py_None && !Ref::steal(PyObject_CallObject(close.get(), nullptr)))
        return -1;
    PyErr_SetString(PyExc_TypeError,
                    "the client's xadd returned an awaitable, and nothing was sent: "
                    "RedisStreamHandler needs a synchronous client");
    return -1;
}

// self._client.xadd(self.stream_key, {"payload": text}[, maxlen=self.maxlen, approximate=True])
int append(PyObject *self, PyObject *text) noexcept {
    Ref maxlen = Ref::steal(PyObject_GetAttr(self, option::maxlen));
    if (!maxlen)
        return -1;
    int trim = PyObject_IsTrue(maxlen.get());
    if (trim < 0)
        return -1;
    Ref xadd = module::attribute_path(self, stored::client, kXadd);
    if (!xadd)
        return -1;
    Ref key = Ref::steal(PyObject_GetAttr(self, option::stream_key));
    if (!key)
        return -1;
    Ref fields = Ref::steal(PyDict_New());
    if (!fields || PyDict_SetItem(fields.get(), kPayload, text) < 0)
        return -1;
    CallArgs a;
    a.args()[0] = key.get();
    a.args()[1] = fields.get();
    Ref result;
    if (trim) {
        Ref limit = Ref::steal(PyObject_GetAttr(self, option::maxlen));
        if (!limit)
            return -1;
        a.args()[2] = limit.get();
        a.args()[3] = Py_True;
        result = call(xadd.get(), a, 2, kTrimKeywords);
    } else {
        result = call(xadd.get(), a, 2, nullptr);
    }
    return result ? refuse_awaitable(result.get()) : -1;
}

// self._fallback.emit(logging.LogRecord(name=..., level=..., pathname=..., lineno=...,
//                                       msg=text, args=(), exc_info=None))
int write_fallback(PyObject *self, PyObject *record, PyObject *text) noexcept {
    Ref fallback_emit = module::attribute_path(self, stored::fallback, kEmit);
    if (!fallback_emit)
        return -1;
    Ref record_cls = module::lookup_attribute(global::logging, kLogRecord);
    if (!record_cls)
        return -1;
    // The keywords in kRecordKeywords's order: name, level, pathname, lineno, then
    // msg, args and exc_info.
    Ref copied[4];
    PyObject *const attributes[] = {kName, kLevelno, kPathname, kLineno};
    CallArgs a;
    for (int i = 0; i < 4; ++i) {
        if (!(copied[i] = Ref::steal(PyObject_GetAttr(record, attributes[i]))))
            return -1;
        a.args()[i] = copied[i].get();
    }
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!no_args)
        return -1;
    a.args()[4] = text;
    a.args()[5] = no_args.get();
    a.args()[6] = Py_None;
    Ref line = call(record_cls.get(), a, 0, kRecordKeywords);
    if (!line)
        return -1;
    CallArgs b;
    b.args()[0] = line.get();
    Ref result = call(fallback_emit.get(), b, 1, nullptr);
    return result ? 0 : -1;
}

// The traceback entry that gives a loss without an exception a frame, so handleError can print
// the call stack of the logging call as it does for any other error. Made at import: compiling
// where memory may run out is what to avoid on the hot path.
Kept emit_entry_code;

// Raises `type` with `message` from emit's own traceback entry.
void raise_loss(PyObject *type, const char *message) noexcept {
    PyErr_SetString(type, message);
    module::add_traceback_entry(emit_entry_code.get());
}

// With drop_on_error false, a record that reached neither the stream nor a fallback file is
// reported the standard way: self.handleError(record) while its cause is being handled. An
// empty cause is made here, only when it is needed.
int report_loss(PyObject *self, PyObject *record, Cause &cause, PyObject *empty_type,
                const char *empty_message) noexcept {
    Ref drop = Ref::steal(PyObject_GetAttr(self, option::drop_on_error));
    if (!drop)
        return -1;
    int truth = PyObject_IsTrue(drop.get());
    if (truth != 0)
        return truth < 0 ? -1 : 0;
    if (!cause) {
        raise_loss(empty_type, empty_message);
        cause.take();
    }
    cause.normalize();
    HandledScope keep_handled;
    PyObject *type, *value, *tb;
    cause.release(&type, &value, &tb);
    PyErr_SetExcInfo(type, value, tb); // steals
    Ref result = Ref::steal(PyObject_CallMethodObjArgs(self, kHandleError, record, nullptr));
    return result ? 0 : -1;
}

// The record to the stream, else to the fallback file: 0 when it reached one of them, 1 when it
// reached neither, with the reason in `cause` (empty: there was no client), -1 with an
// exception set (the reason, or one that must leave emit).
int deliver(PyObject *self, PyObject *record, Cause &cause) noexcept {
    Ref text = build_payload_text(self, record);
    if (!text)
        return -1;
    Ref client = Ref::steal(PyObject_GetAttr(self, stored::client));
    if (!client)
        return -1;
    if (client.get() != Py_None) {
        if (append(self, text.get()) == 0)
            return 0;
        if (catch_exception(&cause) < 0)
            return -1;
    }
    Ref fallback = Ref::steal(PyObject_GetAttr(self, stored::fallback));
    if (!fallback)
        return -1;
    if (fallback.get() == Py_None)
        return 1;
    return write_fallback(self, record, text.get());
}

Ref emit_body(const module::Bound &a) noexcept {
    PyObject *self = a[0], *record = a[1];
    struct Depth {
        Depth() noexcept { ++reentry_depth; }
        ~Depth() { --reentry_depth; }
    } depth;
    Cause cause;
    int outcome = 1;
    PyObject *empty_type = PyExc_ConnectionError;
    const char *empty_message = "RedisStreamHandler has no Redis client";
    if (reentry_depth > kMaxReentry) {
        empty_type = PyExc_RecursionError;
        empty_message = "RedisStreamHandler.emit re-entered too deeply; the record is dropped";
    } else {
        outcome = deliver(self, record, cause);
        if (outcome == 0)
            return Ref::borrow(Py_None);
        if (outcome < 0) {
            // Only what does not derive from Exception (KeyboardInterrupt, SystemExit) leaves.
            if (catch_exception(&cause) < 0)
                return {};
        }
    }
    if (report_loss(self, record, cause, empty_type, empty_message) < 0 && catch_exception() < 0)
        return {};
    return Ref::borrow(Py_None);
}

} // namespace

const module::Signature &emit_signature() noexcept { return kEmitSignature; }

int init_emit() noexcept {
    if (emit_entry_code)
        return 0;
    return emit_entry_code.set(module::make_traceback_code("quorbel.RedisStreamHandler.emit"));
}

} // namespace quorbel::handler
