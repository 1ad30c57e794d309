// The RedisStreamHandler class and its initialiser.
//
//     class RedisStreamHandler(logging.Handler):
//         def __init__(self, redis_url=None, client=None, stream_key="logs:stream",
//                      maxlen=1000000, timeout_ms=5, default_labels=None, drop_on_error=True,
//                      fallback_file_path=None, fallback_max_bytes=5242880,
//                      fallback_backup_count=3) -> "None":
//             super().__init__()
//             self.stream_key = stream_key
//             self.maxlen = int(maxlen) if maxlen and maxlen > 0 else None
//             self.default_labels = default_labels or {}
//             self.drop_on_error = bool(drop_on_error)
//             self._client = None
//             self._timeout = max(0.001, (timeout_ms or 1) / 1000.0)
//             if client is not None:
//                 self._client = client
//             elif redis_url and HAS_REDIS:
//                 try:
//                     self._client = redis.Redis.from_url(
//                         redis_url, socket_connect_timeout=self._timeout,
//                         socket_timeout=self._timeout, retry_on_timeout=True)
//                 except Exception:
//                     self._client = None
//             self._fallback = None
//             if fallback_file_path:
//                 self._fallback = RotatingFileHandler(
//                     fallback_file_path, maxBytes=fallback_max_bytes,
//                     backupCount=fallback_backup_count, encoding="utf-8")
//                 self._fallback.setFormatter(logging.Formatter("%(message)s"))
#include "handler/handler.h"

#include <initializer_list>

#include "handler/emit.h"
#include "handler/shared_names.h"
#include "module/class_builder.h"
#include "module/names.h"
#include "module/namespace.h"

namespace quorbel::handler {

using module::Kind;
using module::Name;
using module::Param;

namespace {

const Name kHandler{"Handler"};
const Name kFormatter{"Formatter"};
const Name kMessageFormat{"%(message)s"};
const Name kSetFormatter{"setFormatter"};
const Name kMaxBytes{"maxBytes"};
const Name kBackupCount{"backupCount"};
const Name kEncoding{"encoding"};
const Name kUtf8{"utf-8"};
const Name kRedisClass{"Redis"};
const Name kFromUrl{"from_url"};
const Name kSocketConnectTimeout{"socket_connect_timeout"};
const Name kSocketTimeout{"socket_timeout"};
const Name kRetryOnTimeout{"retry_on_timeout"};
const Name kTimeout{"_timeout"};

// The class object, for the initialiser's super() (a class body's __class__ cell).
Kept handler_class;

constexpr const char *kDoc =
    "\n"
    "    Logging handler that enqueues log records to a Redis Stream as compact JSON payloads.\n"
    "\n"
    "    Schema (payload field in Redis XADD):\n"
    "        {\n"
    "          \"ts\": \"<ns>\",\n"
    "          \"level\": \"info|warn|error|debug\",\n"
    "          \"msg\": \"<message>\",\n"
    "          \"labels\": { ...low-cardinality labels... },\n"
    "          \"ctx\": { ...high-cardinality context... }\n"
    "        }\n"
    "\n"
    "    Notes:\n"
    "    - Non-blocking best effort: short socket timeouts, swallows Redis errors by default.\n"
    "    - Optional file fallback via RotatingFileHandler.\n"
    "    ";

// Positions of the bound arguments.
namespace arg {
enum : int {
    self,
    redis_url,
    client,
    stream_key,
    maxlen,
    timeout_ms,
    default_labels,
    drop_on_error,
    fallback_path,
    fallback_max_bytes,
    fallback_backup_count,
};
} // namespace arg

Ref init_body(const module::Bound &args) noexcept;

constexpr Param kParams[] = {
    Param::self(),
    OptionParams::redis_url,
    OptionParams::client,
    OptionParams::stream_key,
    OptionParams::maxlen,
    OptionParams::timeout_ms,
    OptionParams::default_labels,
    Param::flag("drop_on_error", true),
    Param::optional("fallback_file_path", Kind::OptStr),
    Param::integer("fallback_max_bytes", 5242880),
    Param::integer("fallback_backup_count", 3),
};

constexpr module::Signature kInit{
    "__init__", "RedisStreamHandler.__init__", kParams, "None", nullptr, init_body};

int set(PyObject *self, PyObject *name, PyObject *value) noexcept {
    return PyObject_SetAttr(self, name, value);
}

int run_base_init(PyObject *self) noexcept {
    Ref super = Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject *>(&PySuper_Type),
                                                        handler_class.get(), self, nullptr));
    if (!super)
        return -1;
    Ref result = Ref::steal(PyObject_CallMethodObjArgs(super.get(), module::kDunderInit, nullptr));
    return result ? 0 : -1;
}

// int(maxlen) when maxlen > 0, else None: 0 and negatives disable trimming.
Ref maxlen_value(PyObject *maxlen) noexcept {
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero)
        return {};
    int positive = PyObject_RichCompareBool(maxlen, zero.get(), Py_GT);
    if (positive < 0)
        return {};
    return Ref::borrow(positive ? maxlen : Py_None);
}

// max(0.001, (timeout_ms or 1) / 1000.0)
Ref timeout_value(PyObject *timeout_ms) noexcept {
    int truth = PyObject_IsTrue(timeout_ms);
    if (truth < 0)
        return {};
    double ms = truth ? PyLong_AsDouble(timeout_ms) : 1.0;
    if (ms == -1.0 && PyErr_Occurred())
        return {};
    double seconds = ms / 1000.0;
    return Ref::steal(PyFloat_FromDouble(seconds > 0.001 ? seconds : 0.001));
}

// redis.Redis.from_url(url, socket_connect_timeout=t, socket_timeout=t, retry_on_timeout=True)
Ref client_from_url(PyObject *self, PyObject *url) noexcept {
    Ref cls = module::lookup_attribute(global::redis, kRedisClass);
    if (!cls)
        return {};
    Ref from_url = Ref::steal(PyObject_GetAttr(cls.get(), kFromUrl));
    if (!from_url)
        return {};
    Ref args = Ref::steal(PyTuple_Pack(1, url));
    if (!args)
        return {};
    Ref kwargs = Ref::steal(PyDict_New());
    if (!kwargs)
        return {};
    for (PyObject *key : {kSocketConnectTimeout.get(), kSocketTimeout.get()}) {
        Ref timeout = Ref::steal(PyObject_GetAttr(self, kTimeout));
        if (!timeout || PyDict_SetItem(kwargs.get(), key, timeout.get()) < 0)
            return {};
    }
    if (PyDict_SetItem(kwargs.get(), kRetryOnTimeout, Py_True) < 0)
        return {};
    return Ref::steal(PyObject_Call(from_url.get(), args.get(), kwargs.get()));
}

// A client given wins; otherwise one is made from the URL when the library is there. Making
// it may fail in any ordinary way: the handler then simply has no client.
int choose_client(PyObject *self, PyObject *url, PyObject *client) noexcept {
    if (client != Py_None)
        return set(self, stored::client, client);
    if (url == Py_None || PyUnicode_GetLength(url) == 0)
        return 0;
    Ref has_redis = module::lookup(global::has_redis);
    if (!has_redis)
        return -1;
    int truth = PyObject_IsTrue(has_redis.get());
    if (truth <= 0)
        return truth;
    Ref made = client_from_url(self, url);
    if (made && set(self, stored::client, made.get()) == 0)
        return 0;
    if (catch_exception() < 0)
        return -1;
    return set(self, stored::client, Py_None);
}

int open_fallback(PyObject *self, PyObject *path, PyObject *max_bytes,
                  PyObject *backup_count) noexcept {
    Ref cls = module::lookup(global::rotating_file_handler);
    if (!cls)
        return -1;
    Ref args = Ref::steal(PyTuple_Pack(1, path));
    if (!args)
        return -1;
    Ref kwargs = Ref::steal(PyDict_New());
    if (!kwargs || PyDict_SetItem(kwargs.get(), kMaxBytes, max_bytes) < 0 ||
        PyDict_SetItem(kwargs.get(), kBackupCount, backup_count) < 0 ||
        PyDict_SetItem(kwargs.get(), kEncoding, kUtf8) < 0)
        return -1;
    Ref fallback = Ref::steal(PyObject_Call(cls.get(), args.get(), kwargs.get()));
    if (!fallback || set(self, stored::fallback, fallback.get()) < 0)
        return -1;
    // self._fallback.setFormatter(logging.Formatter("%(message)s")), in evaluation order.
    Ref stored = Ref::steal(PyObject_GetAttr(self, stored::fallback));
    if (!stored)
        return -1;
    Ref set_formatter = Ref::steal(PyObject_GetAttr(stored.get(), kSetFormatter));
    if (!set_formatter)
        return -1;
    Ref logging = module::lookup(global::logging);
    if (!logging)
        return -1;
    Ref formatter = Ref::steal(
        PyObject_CallMethodObjArgs(logging.get(), kFormatter.get(), kMessageFormat.get(), nullptr));
    if (!formatter)
        return -1;
    Ref result =
        Ref::steal(PyObject_CallFunctionObjArgs(set_formatter.get(), formatter.get(), nullptr));
    return result ? 0 : -1;
}

Ref init_body(const module::Bound &a) noexcept {
    PyObject *self = a[arg::self];
    if (run_base_init(self) < 0 || set(self, option::stream_key, a[arg::stream_key]) < 0)
        return {};
    Ref maxlen = maxlen_value(a[arg::maxlen]);
    if (!maxlen || set(self, option::maxlen, maxlen.get()) < 0)
        return {};
    PyObject *labels = a[arg::default_labels];
    Ref default_labels = (labels != Py_None && PyDict_Size(labels) > 0) ? Ref::borrow(labels)
                                                                        : Ref::steal(PyDict_New());
    if (!default_labels || set(self, option::default_labels, default_labels.get()) < 0)
        return {};
    if (set(self, option::drop_on_error, a.truth(arg::drop_on_error) ? Py_True : Py_False) < 0 ||
        set(self, stored::client, Py_None) < 0)
        return {};
    Ref timeout = timeout_value(a[arg::timeout_ms]);
    if (!timeout || set(self, kTimeout, timeout.get()) < 0)
        return {};
    if (choose_client(self, a[arg::redis_url], a[arg::client]) < 0 ||
        set(self, stored::fallback, Py_None) < 0)
        return {};
    PyObject *path = a[arg::fallback_path];
    if (path != Py_None && PyUnicode_GetLength(path) > 0 &&
        open_fallback(self, path, a[arg::fallback_max_bytes], a[arg::fallback_backup_count]) < 0)
        return {};
    return Ref::borrow(Py_None);
}

} // namespace

Ref make_stream_handler_class() noexcept {
    Ref base = module::lookup_attribute(global::logging, kHandler);
    if (!base)
        return {};
    module::ClassBuilder body(global::stream_handler, base.get(), kDoc);
    if (body.begin() < 0)
        return {};
    Ref init_defaults = module::make_defaults(kInit, nullptr);
    if (!init_defaults || body.add(kInit, init_defaults.get()) < 0 ||
        body.add(emit_signature(), Py_None) < 0)
        return {};
    Ref cls = body.finish();
    if (!cls)
        return {};
    handler_class.reset(Ref::borrow(cls.get()));
    return cls;
}

} // namespace quorbel::handler
