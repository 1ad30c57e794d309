// The composition root: the module body, which names the handler and the facade.
//
// Equivalent Python, in order:
//     import json, logging, time
//     from logging.handlers import RotatingFileHandler
//     from typing import Any, Dict, Optional
//     try:
//         import redis; HAS_REDIS = True
//     except Exception:
//         redis = None; HAS_REDIS = False
//     def _now_ns() -> "str": ...
//     def _merge_labels(base, extra) -> "Dict[str, str]": ...
//     class RedisStreamHandler(logging.Handler): ...
//     class RedisAppLogger: ...
//     def get_logger(name, ..., level=logging.INFO) -> "logging.Logger": ...
//     __test__ = {}
//
// module/setup.cpp runs these steps inside the import; module/entry.cpp defines the module.
#include <initializer_list>

#include "facade/app_logger.h"
#include "facade/get_logger.h"
#include "handler/clock.h"
#include "handler/emit.h"
#include "handler/handler.h"
#include "handler/labels.h"
#include "handler/payload.h"
#include "handler/shared_names.h"
#include "module/binder.h"
#include "module/names.h"
#include "module/namespace.h"
#include "module/setup.h"

namespace quorbel::module {

namespace global = handler::global;

namespace {

// The namespace's other names, in binding order.
const Name kAny{"Any"};
const Name kDict{"Dict"};
const Name kOptional{"Optional"};
const Name kGetLogger{"get_logger"};
const Name kTest{"__test__"};
// Read during the import.
const Name kInfo{"INFO"};

int import_standard_modules() noexcept {
    for (PyObject *name :
         std::initializer_list<PyObject *>{global::json, global::logging, global::time})
        if (bind(name, import_absolute(name)) < 0)
            return -1;
    return 0;
}

int import_rotating_file_handler() noexcept {
    return import_from("logging.handlers", {global::rotating_file_handler});
}

int import_typing_names() noexcept { return import_from("typing", {kAny, kDict, kOptional}); }

// The client library is optional: any Exception from its import means "absent". Anything else
// (KeyboardInterrupt, SystemExit) fails the import. The exception being handled by the
// importing thread is kept either way.
int import_redis() noexcept {
    HandledScope keep_handled;
    Ref redis = import_absolute(global::redis);
    if (!redis) {
        if (catch_exception() < 0)
            return -1;
        if (bind(global::redis, Ref::borrow(Py_None)) < 0)
            return -1;
        return bind(global::has_redis, Ref::borrow(Py_False));
    }
    // Binding can only fail for want of memory: that fails the import, as it would in Python.
    if (bind(global::redis, std::move(redis)) < 0)
        return -1;
    return bind(global::has_redis, Ref::borrow(Py_True));
}

int define_helpers() noexcept {
    if (bind(global::now_ns, handler::make_now_ns()) < 0)
        return -1;
    return bind(global::merge_labels, handler::make_merge_labels());
}

int define_stream_handler() noexcept {
    return bind(global::stream_handler, handler::make_stream_handler_class());
}

int define_app_logger() noexcept {
    return bind(global::app_logger, facade::make_app_logger_class());
}

// get_logger's level default: logging.INFO as it is now, kept for every later call.
int define_get_logger() noexcept {
    Ref info = lookup_attribute(global::logging, kInfo);
    if (!info)
        return -1;
    if (info.get() != Py_None && !PyLong_CheckExact(info.get())) {
        const int number = has_number_protocol(info.get());
        if (number < 0)
            return -1;
        if (!number) {
            Ref got = type_qualname(Py_TYPE(info.get()));
            if (got)
                PyErr_Format(PyExc_TypeError, "Expected %.200s, got %U", "int", got.get());
            return -1;
        }
        info = Ref::steal(PyNumber_Long(info.get()));
        if (!info)
            return -1;
    }
    return bind(kGetLogger, facade::make_get_logger(info.get()));
}

int define_test_dict() noexcept { return bind(kTest, Ref::steal(PyDict_New())); }

// The body's steps, in order.
int (*const kSteps[])() noexcept = {
    import_standard_modules, import_rotating_file_handler, import_typing_names, import_redis,
    define_helpers,          define_stream_handler,        define_app_logger,   define_get_logger,
    define_test_dict,
};

} // namespace

int prepare_body() noexcept {
    if (handler::init_clock() < 0 || handler::init_payload() < 0 || handler::init_emit() < 0)
        return -1;
    return 0;
}

int run_body() noexcept {
    for (auto step : kSteps)
        if (step() < 0)
            return -1;
    return 0;
}

} // namespace quorbel::module
