// RedisStreamHandler.emit: one record to one stream entry, or to the fallback file.
//
//     def emit(self, record) -> "None":
//         try:
//             labels = _merge_labels(self.default_labels, getattr(record, "labels", None))
//             ctx = getattr(record, "ctx", None) or {}
//             payload_json = json.dumps({"ts": _now_ns(), "level": str(record.levelname).lower(),
//                                        "msg": record.getMessage(), "labels": labels,
//                                        "ctx": ctx}, ensure_ascii=False, separators=(",", ":"))
//             if self._client is not None:
//                 try:
//                     if self.maxlen:
//                         self._client.xadd(self.stream_key, {"payload": payload_json},
//                                           maxlen=self.maxlen, approximate=True)
//                     else:
//                         self._client.xadd(self.stream_key, {"payload": payload_json})
//                     return
//                 except Exception:
//                     pass
//             if self._fallback is not None:
//                 try:
//                     self._fallback.emit(logging.LogRecord(
//                         name=record.name, level=record.levelno, pathname=record.pathname,
//                         lineno=record.lineno, msg=payload_json, args=(), exc_info=None))
//                 except Exception:
//                     pass
//                 return
//             if not self.drop_on_error:
//                 <report the loss through self.handleError(record)>
//         except Exception:
//             pass
//
// with each surrogate code point in payload_json written as a JSON escape.
#include "handler/emit.h"

#include "handler/clock.h"
#include "handler/labels.h"
#include "handler/payload.h"
#include "module/names.h"
#include "module/namespace.h"
#include "module/traceback.h"
#include "module/vectorcall.h"

namespace quorbel::handler {

using module::CallArgs;
using module::Default;
using module::Kind;
using module::call;
using module::kwnames;
using module::names;

namespace {

Ref emit_body(const module::Bound &args) noexcept;

const module::Param kParams[] = {
    {"self", nullptr, Kind::Any, Default::Required},
    {"record", "logging.LogRecord", Kind::Any, Default::Required},
};

const module::Signature kEmit{"emit", "RedisStreamHandler.emit", kParams, 2, "None", nullptr,
                              emit_body};

// A pending exception taken out of the way, to be reported later as the cause of a loss.
struct Cause {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    Cause() = default;
    Cause(const Cause &) = delete;
    Cause &operator=(const Cause &) = delete;
    ~Cause() {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
    }
    void take() noexcept {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
        PyErr_Fetch(&type, &value, &tb);
    }
};

// getattr(obj, name, None): only AttributeError counts as missing.
Ref optional_attr(PyObject *obj, PyObject *name) noexcept {
    Ref value = Ref::steal(PyObject_GetAttr(obj, name));
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError))
        return value;
    PyErr_Clear();
    return Ref::borrow(Py_None);
}

// str(record.levelname).lower(); logging hands every record the same few name objects, so the
// last one seen is remembered with its lower-case form.
Ref level_text(PyObject *record) noexcept {
    static PyObject *last_name = nullptr;
    static PyObject *last_text = nullptr;
    Ref name = Ref::steal(PyObject_GetAttr(record, names.levelname));
    if (!name)
        return {};
    if (name.get() == last_name)
        return Ref::borrow(last_text);
    Ref text = PyUnicode_CheckExact(name.get()) ? Ref::borrow(name.get())
                                                : Ref::steal(PyObject_Str(name.get()));
    if (!text)
        return {};
    Ref lower = Ref::steal(PyObject_CallMethodObjArgs(text.get(), names.lower, nullptr));
    if (!lower)
        return {};
    if (PyUnicode_CheckExact(name.get()) && PyUnicode_CheckExact(lower.get())) {
        Py_XDECREF(last_name);
        Py_XDECREF(last_text);
        last_name = Ref::borrow(name.get()).release();
        last_text = Ref::borrow(lower.get()).release();
    }
    return lower;
}

Ref build_payload_text(PyObject *self, PyObject *record) noexcept {
    Ref defaults = Ref::steal(PyObject_GetAttr(self, names.default_labels));
    if (!defaults)
        return {};
    Ref record_labels = optional_attr(record, names.labels);
    if (!record_labels)
        return {};
    Ref labels = call_merge_labels(defaults.get(), record_labels.get());
    if (!labels)
        return {};
    Ref ctx = optional_attr(record, names.ctx);
    if (!ctx)
        return {};
    int has_ctx = PyObject_IsTrue(ctx.get());
    if (has_ctx < 0)
        return {};
    if (!has_ctx && !(ctx = Ref::steal(PyDict_New())))
        return {};
    Ref ts = call_now_ns();
    if (!ts)
        return {};
    Ref level = level_text(record);
    if (!level)
        return {};
    Ref msg = Ref::steal(PyObject_CallMethodObjArgs(record, names.getMessage, nullptr));
    if (!msg)
        return {};
    return encode_payload_text(ts.get(), level.get(), msg.get(), labels.get(), ctx.get());
}

// self._client.xadd(self.stream_key, {"payload": text}[, maxlen=self.maxlen, approximate=True])
int append(PyObject *self, PyObject *text) noexcept {
    Ref maxlen = Ref::steal(PyObject_GetAttr(self, names.maxlen));
    if (!maxlen)
        return -1;
    int trim = PyObject_IsTrue(maxlen.get());
    if (trim < 0)
        return -1;
    Ref client = Ref::steal(PyObject_GetAttr(self, names.client_attr));
    if (!client)
        return -1;
    Ref xadd = Ref::steal(PyObject_GetAttr(client.get(), names.xadd));
    if (!xadd)
        return -1;
    Ref key = Ref::steal(PyObject_GetAttr(self, names.stream_key));
    if (!key)
        return -1;
    Ref fields = Ref::steal(PyDict_New());
    if (!fields || PyDict_SetItem(fields.get(), names.payload, text) < 0)
        return -1;
    CallArgs a;
    a.args()[0] = key.get();
    a.args()[1] = fields.get();
    Ref result;
    if (trim) {
        Ref limit = Ref::steal(PyObject_GetAttr(self, names.maxlen));
        if (!limit)
            return -1;
        a.args()[2] = limit.get();
        a.args()[3] = Py_True;
        result = call(xadd.get(), a, 2, kwnames.maxlen_approximate);
    } else {
        result = call(xadd.get(), a, 2, nullptr);
    }
    return result ? 0 : -1;
}

// self._fallback.emit(logging.LogRecord(name=..., level=..., pathname=..., lineno=...,
//                                       msg=text, args=(), exc_info=None))
int write_fallback(PyObject *self, PyObject *record, PyObject *text) noexcept {
    Ref fallback = Ref::steal(PyObject_GetAttr(self, names.fallback_attr));
    if (!fallback)
        return -1;
    Ref fallback_emit = Ref::steal(PyObject_GetAttr(fallback.get(), names.emit));
    if (!fallback_emit)
        return -1;
    Ref logging = module::lookup(names.logging);
    if (!logging)
        return -1;
    Ref record_cls = Ref::steal(PyObject_GetAttr(logging.get(), names.LogRecord));
    if (!record_cls)
        return -1;
    // The keywords in kwnames.fallback_record's order: name, level, pathname, lineno, then
    // msg, args and exc_info.
    Ref copied[4];
    PyObject *const attributes[] = {names.name, names.levelno, names.pathname, names.lineno};
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
    Ref line = call(record_cls.get(), a, 0, kwnames.fallback_record);
    if (!line)
        return -1;
    CallArgs b;
    b.args()[0] = line.get();
    Ref result = call(fallback_emit.get(), b, 1, nullptr);
    return result ? 0 : -1;
}

// The traceback entry that gives a "no client" cause a frame, so handleError can print the
// call stack of the logging call as it does for any other error.
PyObject *emit_entry_code() noexcept {
    static PyObject *code = nullptr;
    if (code == nullptr)
        code = module::make_traceback_code("quorbel.RedisStreamHandler.emit").release();
    return code;
}

// With drop_on_error false, a record that reached neither the stream nor a fallback file is
// reported the standard way: self.handleError(record) while the cause is being handled.
int report_loss(PyObject *self, PyObject *record, Cause &cause) noexcept {
    Ref drop = Ref::steal(PyObject_GetAttr(self, names.drop_on_error));
    if (!drop)
        return -1;
    int truth = PyObject_IsTrue(drop.get());
    if (truth != 0)
        return truth < 0 ? -1 : 0;
    if (cause.type == nullptr) {
        PyObject *code = emit_entry_code();
        if (code == nullptr)
            return -1;
        PyErr_SetString(PyExc_ConnectionError, "RedisStreamHandler has no Redis client");
        module::add_traceback_entry(code);
        cause.take();
    }
    PyErr_NormalizeException(&cause.type, &cause.value, &cause.tb);
    if (cause.tb != nullptr && cause.value != nullptr)
        PyException_SetTraceback(cause.value, cause.tb);
    HandledScope keep_handled;
    // steals: the three references move into the thread's handled exception.
    PyErr_SetExcInfo(cause.type, cause.value, cause.tb);
    cause.type = cause.value = cause.tb = nullptr;
    Ref result = Ref::steal(PyObject_CallMethodObjArgs(self, names.handleError, record, nullptr));
    return result ? 0 : -1;
}

// Everything of emit inside its catch-all; -1 with the exception to be filtered set.
int emit_record(PyObject *self, PyObject *record) noexcept {
    Ref text = build_payload_text(self, record);
    if (!text)
        return -1;
    Cause cause;
    Ref client = Ref::steal(PyObject_GetAttr(self, names.client_attr));
    if (!client)
        return -1;
    if (client.get() != Py_None) {
        if (append(self, text.get()) == 0)
            return 0;
        if (!PyErr_ExceptionMatches(PyExc_Exception))
            return -1;
        cause.take();
    }
    Ref fallback = Ref::steal(PyObject_GetAttr(self, names.fallback_attr));
    if (!fallback)
        return -1;
    if (fallback.get() != Py_None) {
        if (write_fallback(self, record, text.get()) < 0) {
            if (!PyErr_ExceptionMatches(PyExc_Exception))
                return -1;
            PyErr_Clear();
        }
        return 0;
    }
    return report_loss(self, record, cause);
}

Ref emit_body(const module::Bound &a) noexcept {
    if (emit_record(a[0], a[1]) < 0) {
        // Only what does not derive from Exception (KeyboardInterrupt, SystemExit) leaves emit.
        if (!PyErr_ExceptionMatches(PyExc_Exception))
            return {};
        PyErr_Clear();
    }
    return Ref::borrow(Py_None);
}

} // namespace

const module::Signature &emit_signature() noexcept { return kEmit; }

} // namespace quorbel::handler
