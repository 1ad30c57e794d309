// get_logger: one-call setup of a logger with a fresh RedisStreamHandler.
//
//     def get_logger(name, redis_url=None, client=None, stream_key="logs:stream",
//                    maxlen=1000000, timeout_ms=5, default_labels=None,
//                    enable_fallback_file=False, fallback_path="/var/log/app.log",
//                    level=logging.INFO) -> "logging.Logger":
//         logger = logging.getLogger(name)
//         logger.setLevel(level)
//         for h in list(logger.handlers):
//             if isinstance(h, RedisStreamHandler):
//                 logger.removeHandler(h)
//         handler = RedisStreamHandler(
//             redis_url=redis_url, client=client, stream_key=stream_key, maxlen=maxlen,
//             timeout_ms=timeout_ms, default_labels=default_labels, drop_on_error=True,
//             fallback_file_path=fallback_path if enable_fallback_file else None)
//         logger.addHandler(handler)
//         return logger
#include "facade/get_logger.h"

#include "module/callable.h"
#include "module/names.h"
#include "module/namespace.h"

namespace quorbel::facade {

using module::Default;
using module::Kind;
using module::names;

namespace {

constexpr const char *kDoc =
    "\n"
    "    Configure and return a logger with RedisStreamHandler attached.\n"
    "\n"
    "    Example:\n"
    "        default_labels = {\"app\": \"velmora_core\", \"env\": \"TST\", \"instance\": "
    "\"core-01\"}\n"
    "        logger = get_logger(\n"
    "            \"vx.core\",\n"
    "            redis_url=\"redis://localhost:6379/0\",\n"
    "            default_labels=default_labels,\n"
    "            enable_fallback_file=True,\n"
    "            fallback_path=\"/var/log/vx/core.log\",\n"
    "        )\n"
    "    ";

enum : int {
    kName,
    kRedisUrl,
    kClient,
    kStreamKey,
    kMaxlen,
    kTimeoutMs,
    kDefaultLabels,
    kEnableFallback,
    kFallbackPath,
    kLevel,
};

Ref get_logger_body(const module::Bound &args) noexcept;

const module::Param kParams[] = {
    {"name", "str", Kind::Str, Default::Required},
    {"redis_url", "Optional[str]", Kind::OptStr, Default::None},
    {"client", "Any", Kind::Any, Default::None},
    {"stream_key", "str", Kind::Str, Default::Str, 0, "logs:stream"},
    {"maxlen", "int", Kind::Int, Default::Int, 1000000},
    {"timeout_ms", "int", Kind::Int, Default::Int, 5},
    {"default_labels", "Optional[Dict[str, Any]]", Kind::OptDict, Default::None, 0, nullptr,
     true},
    {"enable_fallback_file", "bool", Kind::Bool, Default::False},
    {"fallback_path", "str", Kind::Str, Default::Str, 0, "/var/log/app.log"},
    {"level", "int", Kind::Int, Default::Stored},
};

const module::Signature kGetLogger{"get_logger", "get_logger", kParams, 10, "logging.Logger",
                                   kDoc, get_logger_body};

// Detaches every handler that is an instance of the class bound as RedisStreamHandler now.
int detach_stream_handlers(PyObject *logger) noexcept {
    Ref handlers = Ref::steal(PyObject_GetAttr(logger, names.handlers));
    if (!handlers)
        return -1;
    Ref snapshot = Ref::steal(PySequence_List(handlers.get()));
    if (!snapshot)
        return -1;
    for (Py_ssize_t i = 0; i < PyList_Size(snapshot.get()); ++i) {
        PyObject *handler = PyList_GetItem(snapshot.get(), i);
        Ref cls = module::lookup(names.RedisStreamHandler);
        if (!cls)
            return -1;
        int is_stream = PyObject_IsInstance(handler, cls.get());
        if (is_stream < 0)
            return -1;
        if (is_stream) {
            Ref r = Ref::steal(
                PyObject_CallMethodObjArgs(logger, names.removeHandler, handler, nullptr));
            if (!r)
                return -1;
        }
    }
    return 0;
}

Ref new_handler(const module::Bound &a) noexcept {
    Ref cls = module::lookup(names.RedisStreamHandler);
    Ref kwargs = Ref::steal(PyDict_New());
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!cls || !kwargs || !no_args)
        return {};
    PyObject *fallback = a.truth(kEnableFallback) ? a[kFallbackPath] : Py_None;
    struct {
        PyObject *keyword, *value;
    } const items[] = {{names.redis_url, a[kRedisUrl]},
                       {names.client, a[kClient]},
                       {names.stream_key, a[kStreamKey]},
                       {names.maxlen, a[kMaxlen]},
                       {names.timeout_ms, a[kTimeoutMs]},
                       {names.default_labels, a[kDefaultLabels]},
                       {names.drop_on_error, Py_True},
                       {names.fallback_file_path, fallback}};
    for (const auto &item : items)
        if (PyDict_SetItem(kwargs.get(), item.keyword, item.value) < 0)
            return {};
    return Ref::steal(PyObject_Call(cls.get(), no_args.get(), kwargs.get()));
}

Ref get_logger_body(const module::Bound &a) noexcept {
    Ref logging = module::lookup(names.logging);
    if (!logging)
        return {};
    Ref logger =
        Ref::steal(PyObject_CallMethodObjArgs(logging.get(), names.getLogger, a[kName], nullptr));
    if (!logger)
        return {};
    Ref r = Ref::steal(
        PyObject_CallMethodObjArgs(logger.get(), names.setLevel, a[kLevel], nullptr));
    if (!r || detach_stream_handlers(logger.get()) < 0)
        return {};
    Ref handler = new_handler(a);
    if (!handler)
        return {};
    r = Ref::steal(
        PyObject_CallMethodObjArgs(logger.get(), names.addHandler, handler.get(), nullptr));
    if (!r)
        return {};
    return logger;
}

} // namespace

Ref make_get_logger(PyObject *level_default) noexcept {
    Ref defaults = module::make_defaults(kGetLogger, level_default);
    if (!defaults)
        return {};
    return module::make_callable(kGetLogger, defaults.get());
}

} // namespace quorbel::facade
