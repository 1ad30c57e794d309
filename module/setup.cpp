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

#include <cstdlib>
#include <initializer_list>

#include "facade/app_logger.h"
#include "facade/get_logger.h"
#include "handler/clock.h"
#include "handler/handler.h"
#include "handler/labels.h"
#include "handler/payload.h"
#include "module/binder.h"
#include "module/callable.h"
#include "module/names.h"
#include "module/namespace.h"
#include "module/traceback.h"
#include "module/vectorcall.h"

namespace quorbel::module {

Facts facts;

namespace {

PyObject *init_code = nullptr;      // the "init quorbel" traceback entry
PyObject *home_modules = nullptr;   // sys.modules of the interpreter that set the module up

int probe_facts() noexcept {
    // Py_GetVersion() begins with "3.minor."
    const char *version = Py_GetVersion();
    facts.minor = std::atoi(version + 2);
    return 0;
}

// Work that does not depend on the module object; done once per process.
int init_process() noexcept {
    static bool done = false;
    if (done)
        return 0;
    if (probe_facts() < 0 || init_names() < 0 || init_traceback() < 0 ||
        init_callable_type() < 0 || init_vectorcall() < 0 || handler::init_clock() < 0 ||
        handler::init_payload() < 0)
        return -1;
    if (init_code == nullptr) {
        Ref code = make_traceback_code("init quorbel");
        if (!code)
            return -1;
        init_code = code.release();
    }
    done = true;
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
    Ref fromlist = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(attrs.size())));
    if (!fromlist)
        return -1;
    Py_ssize_t i = 0;
    for (PyObject *attr : attrs)
        if (PyTuple_SetItem(fromlist.get(), i++, Ref::borrow(attr).release()) < 0) // steals
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
    for (PyObject *name : {names.json, names.logging, names.time})
        if (bind(name, import_absolute(name, nullptr)) < 0)
            return -1;
    return 0;
}

int import_rotating_file_handler() noexcept {
    return import_from("logging.handlers", {names.RotatingFileHandler});
}

int import_typing_names() noexcept {
    return import_from("typing", {names.Any, names.Dict, names.Optional});
}

// The client library is optional: any Exception from its import means "absent". Anything else
// (KeyboardInterrupt, SystemExit) fails the import. The exception being handled by the
// importing thread is kept either way.
int import_redis() noexcept {
    HandledScope keep_handled;
    Ref redis = import_absolute(names.redis, nullptr);
    if (redis && bind(names.redis, std::move(redis)) == 0 &&
        bind(names.HAS_REDIS, Ref::borrow(Py_True)) == 0)
        return 0;
    if (!PyErr_ExceptionMatches(PyExc_Exception))
        return -1;
    PyErr_Clear();
    if (bind(names.redis, Ref::borrow(Py_None)) < 0 ||
        bind(names.HAS_REDIS, Ref::borrow(Py_False)) < 0)
        return -1;
    return 0;
}

int define_helpers() noexcept {
    if (bind(names.now_ns, handler::make_now_ns()) < 0)
        return -1;
    return bind(names.merge_labels, handler::make_merge_labels());
}

int define_stream_handler() noexcept {
    return bind(names.RedisStreamHandler, handler::make_stream_handler_class());
}

int define_app_logger() noexcept {
    return bind(names.RedisAppLogger, facade::make_app_logger_class());
}

// get_logger's level default: logging.INFO as it is now, kept for every later call.
int define_get_logger() noexcept {
    Ref logging = lookup(names.logging);
    if (!logging)
        return -1;
    Ref info = Ref::steal(PyObject_GetAttr(logging.get(), names.INFO));
    if (!info)
        return -1;
    if (info.get() != Py_None && !PyLong_CheckExact(info.get())) {
        if (!has_number_protocol(info.get())) {
            Ref got = type_qualname(Py_TYPE(info.get()));
            if (got)
                PyErr_Format(PyExc_TypeError, "Expected %.200s, got %U", "int", got.get());
            return -1;
        }
        info = Ref::steal(PyNumber_Long(info.get()));
        if (!info)
            return -1;
    }
    return bind(names.get_logger, facade::make_get_logger(info.get()));
}

int define_test_dict() noexcept { return bind(names.test, Ref::steal(PyDict_New())); }

// Functions created against this namespace see the builtins on every version (3.7-3.9 give
// code run against a globals dict without __builtins__ a builtins of just None).
int add_builtins(PyObject *m) noexcept {
    PyObject *dict = PyModule_GetDict(m);
    if (PyDict_GetItemWithError(dict, names.builtins) != nullptr)
        return 0;
    if (PyErr_Occurred())
        return -1;
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins)
        return -1;
    return PyDict_SetItem(dict, names.builtins, builtins.get());
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
    home_modules = PyImport_GetModuleDict();
    if (run_body(m) < 0) {
        add_traceback_entry(init_code);
        set_module(nullptr);
        home_modules = nullptr;
        return -1;
    }
    return 0;
}

} // namespace quorbel::module
