// RedisAppLogger: level methods that pass labels and ctx through the standard logging call.
//
//     class RedisAppLogger:
//         def __init__(self, logger: "logging.Logger"):
//             self._log = logger
//         def info(self, msg: "str", labels: "Optional[Dict[str, Any]]" = None,
//                  ctx: "Optional[Dict[str, Any]]" = None) -> "None":
//             self._log.info(msg, extra={"labels": labels or {}, "ctx": ctx or {}})
//         # debug, warning, error alike; exception calls error(..., exc_info=True)
//
// The methods run no Python frame, so the record's caller location is the application's.
#include "facade/app_logger.h"

#include "handler/shared_names.h"
#include "module/class_builder.h"
#include "module/names.h"
#include "module/vectorcall.h"

namespace quorbel::facade {

using module::Kind;
using module::Name;
using module::Param;

namespace {

const Name kLog{"_log"};
const Name kExtra{"extra"};
const Name kDebug{"debug"};
const Name kInfo{"info"};
const Name kWarning{"warning"};
const Name kError{"error"};

// The keyword names of the call on the wrapped logger.
const module::NameTuple kExtraKeywords{kExtra};
const module::NameTuple kExceptionKeywords{kExtra, handler::field::exc_info};

constexpr const char *kDoc =
    "\n"
    "    Thin wrapper to standardize passing labels and ctx through Python logging.\n"
    "    ";

Ref init_body(const module::Bound &a) noexcept {
    if (PyObject_SetAttr(a[0], kLog, a[1]) < 0)
        return {};
    return Ref::borrow(Py_None);
}

constexpr Param kInitParams[] = {Param::self(), Param::any("logger", "logging.Logger")};

constexpr module::Signature kInit{
    "__init__", "RedisAppLogger.__init__", kInitParams, nullptr, nullptr, init_body};

// labels or {} (and ctx or {}): a non-empty dict is passed on as the very object.
Ref dict_or_new(PyObject *d) noexcept {
    if (d != Py_None && PyDict_Size(d) > 0)
        return Ref::borrow(d);
    return Ref::steal(PyDict_New());
}

enum class Level { Debug, Info, Warning, Error, Exception };

// self._log.<method>(msg, extra={"labels": ..., "ctx": ...}[, exc_info=True])
template <Level L> Ref level_body(const module::Bound &a) noexcept {
    Ref log = Ref::steal(PyObject_GetAttr(a[0], kLog));
    if (!log)
        return {};
    Ref extra = Ref::steal(PyDict_New());
    if (!extra)
        return {};
    Ref labels = dict_or_new(a[2]);
    if (!labels || PyDict_SetItem(extra.get(), handler::field::labels, labels.get()) < 0)
        return {};
    Ref ctx = dict_or_new(a[3]);
    if (!ctx || PyDict_SetItem(extra.get(), handler::field::ctx, ctx.get()) < 0)
        return {};
    // The keyword mapping {"extra": extra[, "exc_info": True]}, passed as keyword names and
    // values: the logger method makes its own dict of them.
    PyObject *method = L == Level::Debug     ? kDebug
                       : L == Level::Info    ? kInfo
                       : L == Level::Warning ? kWarning
                                             : kError;
    module::CallArgs c;
    c.args()[0] = a[1];
    c.args()[1] = extra.get();
    c.args()[2] = Py_True;
    PyObject *keywords = L == Level::Exception ? kExceptionKeywords : kExtraKeywords;
    Ref result = module::call_method(log.get(), method, c, 1, keywords);
    if (!result)
        return {};
    return Ref::borrow(Py_None);
}

constexpr Param kLevelParams[] = {
    Param::self(),
    Param::required("msg", Kind::Str),
    Param::optional("labels", Kind::OptDict),
    Param::optional("ctx", Kind::OptDict),
};

constexpr module::Signature kLevels[] = {
    {"debug", "RedisAppLogger.debug", kLevelParams, "None", nullptr, level_body<Level::Debug>},
    {"info", "RedisAppLogger.info", kLevelParams, "None", nullptr, level_body<Level::Info>},
    {"warning", "RedisAppLogger.warning", kLevelParams, "None", nullptr,
     level_body<Level::Warning>},
    {"error", "RedisAppLogger.error", kLevelParams, "None", nullptr, level_body<Level::Error>},
    {"exception", "RedisAppLogger.exception", kLevelParams, "None", nullptr,
     level_body<Level::Exception>},
};

} // namespace

Ref make_app_logger_class() noexcept {
    module::ClassBuilder body(handler::global::app_logger, nullptr, kDoc);
    if (body.begin() < 0 || body.add(kInit, Py_None) < 0)
        return {};
    // The five level methods share one defaults tuple.
    Ref defaults = module::make_defaults(kLevels[0], nullptr);
    if (!defaults)
        return {};
    for (const module::Signature &sig : kLevels)
        if (body.add(sig, defaults.get()) < 0)
            return {};
    return body.finish();
}

} // namespace quorbel::facade
