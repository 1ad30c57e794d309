// The module's execution step.
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
#include "module/setup.h"

#include <initializer_list>

#include "facade/app_logger.h"
#include "facade/get_logger.h"
#include "handler/clock.h"
#include "handler/emit.h"
#include "handler/handler.h"
#include "handler/labels.h"
#include "handler/payload.h"
#include "module/binder.h"
#include "module/callable.h"
#include "module/facts.h"
#include "module/names.h"
#include "module/namespace.h"
#include "module/traceback.h"
#include "module/vectorcall.h"

namespace quorbel::module {

namespace {

// The namespace, in binding order.
const Name kJson{"json"};
const Name kLogging{"logging"};
const Name kTime{"time"};
const Name kRotatingFileHandler{"RotatingFileHandler"};
const Name kAny{"Any"};
const Name kDict{"Dict"};
const Name kOptional{"Optional"};
const Name kRedis{"redis"};
const Name kHasRedis{"HAS_REDIS"};
const Name kNowNs{"_now_ns"};
const Name kMergeLabels{"_merge_labels"};
const Name kRedisStreamHandler{"RedisStreamHandler"};
const Name kRedisAppLogger{"RedisAppLogger"};
const Name kGetLogger{"get_logger"};
const Name kTest{"__test__"};
// Read during the import.
const Name kBuiltins{"__builtins__"};
const Name kInfo{"INFO"};

PyObject *init_code = nullptr;    // the "init quorbel" traceback entry
// sys.modules of the interpreter that set the module up, held so that its address stays its
// own: an interpreter finalised and made again (an embedding application) can otherwise get
// its new sys.modules where the old one was, and be handed the finalised module.
PyObject *home_modules = nullptr;

// Work that does not depend on the module object; once per process. Each step keeps only what
// it finished, so an import that failed (a MemoryError) can be tried again.
int init_process() noexcept {
    probe_facts();
    if (init_names() < 0 || init_traceback() < 0 || init_callable_type() < 0 ||
        handler::init_clock() < 0 || handler::init_payload() < 0 || handler::init_emit() < 0)
        return -1;
    if (init_code == nullptr) {
        Ref code = make_traceback_code("init quorbel");
        if (!code)
            return -1;
        init_code = code.release();
    }
    return 0;
}

Ref import_absolute(PyObject *name, PyObject *fromlist) noexcept {
    return Ref::steal(PyImport_ImportModuleLevelObject(name, nullptr, nullptr, fromlist, 0));
}

Ref import_name(PyObject *from, PyObject *name) noexcept {
    Ref value = Ref::steal(PyObject_GetAttr(from, name));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    }
    return value;
}

// `from <module> import a, b, ...`, binding each name in order.
int import_from(const char *module, std::initializer_list<PyObject *> attrs) noexcept {
    Ref fromlist = make_tuple(attrs.begin(), static_cast<Py_ssize_t>(attrs.size()));
    if (!fromlist)
        return -1;
    Ref name = Ref::steal(PyUnicode_FromString(module));
    if (!name)
        return -1;
    Ref from = import_absolute(name.get(), fromlist.get());
    if (!from)
        return -1;
    for (PyObject *attr : attrs)
        if (bind(attr, import_name(from.get(), attr)) < 0)
            return -1;
    return 0;
}

int import_standard_modules() noexcept {
    for (PyObject *name : std::initializer_list<PyObject *>{kJson, kLogging, kTime})
        if (bind(name, import_absolute(name, nullptr)) < 0)
            return -1;
    return 0;
}

int import_rotating_file_handler() noexcept {
    return import_from("logging.handlers", {kRotatingFileHandler});
}

int import_typing_names() noexcept {
    return import_from("typing", {kAny, kDict, kOptional});
}

// The client library is optional: any Exception from its import means "absent". Anything else
// (KeyboardInterrupt, SystemExit) fails the import. The exception being handled by the
// importing thread is kept either way.
int import_redis() noexcept {
    HandledScope keep_handled;
    Ref redis = import_absolute(kRedis, nullptr);
    if (!redis) {
        if (!PyErr_ExceptionMatches(PyExc_Exception))
            return -1;
        PyErr_Clear();
        if (bind(kRedis, Ref::borrow(Py_None)) < 0)
            return -1;
        return bind(kHasRedis, Ref::borrow(Py_False));
    }
    // Binding can only fail for want of memory: that fails the import, as it would in Python.
    if (bind(kRedis, std::move(redis)) < 0)
        return -1;
    return bind(kHasRedis, Ref::borrow(Py_True));
}

int define_helpers() noexcept {
    if (bind(kNowNs, handler::make_now_ns()) < 0)
        return -1;
    return bind(kMergeLabels, handler::make_merge_labels());
}

int define_stream_handler() noexcept {
    return bind(kRedisStreamHandler, handler::make_stream_handler_class());
}

int define_app_logger() noexcept {
    return bind(kRedisAppLogger, facade::make_app_logger_class());
}

// get_logger's level default: logging.INFO as it is now, kept for every later call.
int define_get_logger() noexcept {
    Ref logging = lookup(kLogging);
    if (!logging)
        return -1;
    Ref info = Ref::steal(PyObject_GetAttr(logging.get(), kInfo));
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

// Functions created against this namespace see the builtins on every version (3.7-3.9 give
// code run against a globals dict without __builtins__ a builtins of just None).
int add_builtins(PyObject *m) noexcept {
    PyObject *dict = PyModule_GetDict(m);
    if (PyDict_GetItemWithError(dict, kBuiltins) != nullptr)
        return 0;
    if (PyErr_Occurred())
        return -1;
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins)
        return -1;
    return PyDict_SetItem(dict, kBuiltins, builtins.get());
}

int run_body(PyObject *m) noexcept {
    if (add_builtins(m) < 0)
        return -1;
    if (import_standard_modules() < 0)
        return -1;
    if (import_rotating_file_handler() < 0)
        return -1;
    if (import_typing_names() < 0)
        return -1;
    if (import_redis() < 0)
        return -1;
    if (define_helpers() < 0)
        return -1;
    if (define_stream_handler() < 0)
        return -1;
    if (define_app_logger() < 0)
        return -1;
    if (define_get_logger() < 0)
        return -1;
    return define_test_dict();
}

} // namespace

PyObject *create_module(PyObject *spec, PyModuleDef *) noexcept {
    PyObject *existing = module_object();
    if (existing != nullptr && PyImport_GetModuleDict() == home_modules) {
        Py_INCREF(existing);
        return existing;
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name)
        return nullptr;
    return PyModule_NewObject(name.get());
}

int exec_module(PyObject *m) noexcept {
    PyObject *existing = module_object();
    if (existing == m)
        return 0;
    if (existing != nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "Module 'quorbel' has already been imported. "
                                            "Re-initialisation is not supported.");
        return -1;
    }
    if (init_process() < 0)
        return -1;
    set_module(m);
    home_modules = Ref::borrow(PyImport_GetModuleDict()).release();
    if (run_body(m) < 0) {
        add_traceback_entry(init_code);
        set_module(nullptr);
        Py_CLEAR(home_modules);
        return -1;
    }
    return 0;
}

} // namespace quorbel::module
