// get_logger: one-call setup of a logger with a fresh RedisStreamHandler.
//
//     def get_logger(name, redis_url=None, client=None, stream_key="logs:stream",
//                    maxlen=1000000, timeout_ms=5, default_labels=None,
//                    enable_fallback_file=False, fallback_path="/var/log/app.log",
//                    level=logging.INFO) -> "logging.Logger":
//         logger = logging.getLogger(name)
//         logger.setLevel(level)
//         lock = getattr(logging, "_lock", None)
//         if lock is not None:
//             lock.acquire()
//         try:
//             for h in list(logger.handlers):
//                 if isinstance(h, RedisStreamHandler):
//                     logger.removeHandler(h)
//             handler = RedisStreamHandler(
//                 redis_url=redis_url, client=client, stream_key=stream_key, maxlen=maxlen,
//                 timeout_ms=timeout_ms, default_labels=default_labels, drop_on_error=True,
//                 fallback_file_path=fallback_path if enable_fallback_file else None)
//             logger.addHandler(handler)
//         finally:
//             if lock is not None:
//                 lock.release()
//         return logger
//
// logging._lock is the module's own reentrant lock, which addHandler and removeHandler take
// too. Opening the fallback file lets other threads run between the snapshot of the handlers
// and addHandler; under that lock concurrent calls for one name leave exactly one handler.
#include "facade/get_logger.h"

#include "handler/handler.h"
#include "handler/shared_names.h"
#include "module/callable.h"
#include "module/names.h"
#include "module/namespace.h"

namespace quorbel::facade {

using handler::OptionParams;
using module::Kind;
using module::Name;
using module::Param;

namespace {

const Name kGetLogger{"getLogger"};
const Name kSetLevel{"setLevel"};
const Name kHandlers{"handlers"};
const Name kRemoveHandler{"removeHandler"};
const Name kAddHandler{"addHandler"};
const Name kLock{"_lock"};
const Name kAcquire{"acquire"};
const Name kRelease{"release"};

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

// Positions of the bound arguments.
namespace arg {
enum : int {
    name,
    redis_url,
    client,
    stream_key,
    maxlen,
    timeout_ms,
    default_labels,
    enable_fallback,
    fallback_path,
    level,
};
} // namespace arg

Ref get_logger_body(const module::Bound &args) noexcept;

constexpr Param kParams[] = {
    Param::required("name", Kind::Str),
    OptionParams::redis_url,
    OptionParams::client,
    OptionParams::stream_key,
    OptionParams::maxlen,
    OptionParams::timeout_ms,
    OptionParams::default_labels,
    Param::flag("enable_fallback_file", false),
    Param::text("fallback_path", "/var/log/app.log"),
    Param::stored("level", Kind::Int),
};

constexpr module::Signature kGetLoggerSignature{"get_logger",     "get_logger", kParams,
                                                "logging.Logger", kDoc,         get_logger_body};

// Detaches every handler that is an instance of the class bound as RedisStreamHandler now.
int detach_stream_handlers(PyObject *logger) noexcept {
    Ref handlers = Ref::steal(PyObject_GetAttr(logger, kHandlers));
    if (!handlers)
        return -1;
    Ref snapshot = Ref::steal(PySequence_List(handlers.get()));
    if (!snapshot)
        return -1;
    for (Py_ssize_t i = 0; i < PyList_Size(snapshot.get()); ++i) {
        PyObject *handler = PyList_GetItem(snapshot.get(), i);
        Ref cls = module::lookup(handler::global::stream_handler);
        if (!cls)
            return -1;
        int is_stream = PyObject_IsInstance(handler, cls.get());
        if (is_stream < 0)
            return -1;
        if (is_stream) {
            Ref r =
                Ref::steal(PyObject_CallMethodObjArgs(logger, kRemoveHandler, handler, nullptr));
            if (!r)
                return -1;
        }
    }
    return 0;
}

Ref new_handler(const module::Bound &a) noexcept {
    Ref cls = module::lookup(handler::global::stream_handler);
    if (!cls)
        return {};
    Ref kwargs = Ref::steal(PyDict_New());
    if (!kwargs)
        return {};
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!no_args)
        return {};
    PyObject *fallback = a.truth(arg::enable_fallback) ? a[arg::fallback_path] : Py_None;
    struct {
        PyObject *keyword, *value;
    } const items[] = {{handler::option::redis_url, a[arg::redis_url]},
                       {handler::option::client, a[arg::client]},
                       {handler::option::stream_key, a[arg::stream_key]},
                       {handler::option::maxlen, a[arg::maxlen]},
                       {handler::option::timeout_ms, a[arg::timeout_ms]},
                       {handler::option::default_labels, a[arg::default_labels]},
                       {handler::option::drop_on_error, Py_True},
                       {handler::option::fallback_file_path, fallback}};
    for (const auto &item : items)
        if (PyDict_SetItem(kwargs.get(), item.keyword, item.value) < 0)
            return {};
    return Ref::steal(PyObject_Call(cls.get(), no_args.get(), kwargs.get()));
}

// The logger's RedisStreamHandler instances replaced by a new one.
int replace_stream_handler(PyObject *logger, const module::Bound &a) noexcept {
    if (detach_stream_handlers(logger) < 0)
        return -1;
    Ref handler = new_handler(a);
    if (!handler)
        return -1;
    Ref r = Ref::steal(PyObject_CallMethodObjArgs(logger, kAddHandler, handler.get(), nullptr));
    return r ? 0 : -1;
}

// lock.release() in a finally clause after `outcome`: a failure of the release replaces the
// pending one, which becomes its context.
int release(PyObject *lock, int outcome) noexcept {
    Cause failed;
    if (outcome < 0)
        failed.take();
    if (!Ref::steal(PyObject_CallMethodObjArgs(lock, kRelease, nullptr))) {
        if (failed) {
            Cause now;
            now.take();
            now.chain(failed);
            now.restore();
        }
        return -1;
    }
    if (failed)
        failed.restore();
    return outcome;
}

Ref get_logger_body(const module::Bound &a) noexcept {
    Ref logging = module::lookup(handler::global::logging);
    if (!logging)
        return {};
    Ref logger =
        Ref::steal(PyObject_CallMethodObjArgs(logging.get(), kGetLogger, a[arg::name], nullptr));
    if (!logger)
        return {};
    Ref r = Ref::steal(PyObject_CallMethodObjArgs(logger.get(), kSetLevel, a[arg::level], nullptr));
    if (!r)
        return {};
    // A logging without the lock (missing, or None) runs the steps without it.
    Ref lock = module::attribute_or_none(logging.get(), kLock);
    if (!lock)
        return {};
    if (lock.get() == Py_None)
        return replace_stream_handler(logger.get(), a) < 0 ? Ref() : std::move(logger);
    if (!Ref::steal(PyObject_CallMethodObjArgs(lock.get(), kAcquire, nullptr)))
        return {};
    if (release(lock.get(), replace_stream_handler(logger.get(), a)) < 0)
        return {};
    return logger;
}

} // namespace

Ref make_get_logger(PyObject *level_default) noexcept {
    Ref defaults = module::make_defaults(kGetLoggerSignature, level_default);
    if (!defaults)
        return {};
    return module::make_callable(kGetLoggerSignature, defaults.get());
}

} // namespace quorbel::facade
