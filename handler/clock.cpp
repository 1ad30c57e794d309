// The nanosecond wall clock: _now_ns.
//
//     def _now_ns() -> "str":
//         try:
//             return str(time.time_ns())
//         except AttributeError:
//             return str(int(time.time() * 1000000000))
#include "handler/clock.h"

#include <charconv>
#include <ctime>

#include "module/callable.h"
#include "module/names.h"
#include "module/namespace.h"

namespace quorbel::handler {

using module::names;

namespace {

PyObject *std_time = nullptr;    // the standard time module
PyObject *std_time_ns = nullptr; // its time_ns
PyObject *billion = nullptr;     // the int 1000000000

Ref now_ns_body(const module::Bound &) noexcept;

const module::Signature kNowNs{"_now_ns", "_now_ns", nullptr, 0, "str", nullptr, now_ns_body,
                               true};

// time.time_ns() reads CLOCK_REALTIME; reading it here gives the same value without a call.
Ref native_now() noexcept {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    long long ns = static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, ns).ptr;
    return Ref::steal(PyUnicode_FromStringAndSize(digits, end - digits));
}

// True when the module's `time` is the standard module with its own time_ns.
bool clock_is_standard(PyObject *time) noexcept {
    if (time != std_time)
        return false;
    PyObject *fn = PyDict_GetItemWithError(PyModule_GetDict(time), names.time_ns);
    return fn == std_time_ns;
}

Ref now_from_time_ns() noexcept {
    Ref time = module::lookup(names.time);
    if (!time)
        return {};
    if (clock_is_standard(time.get()))
        return native_now();
    if (PyErr_Occurred())
        return {};
    Ref fn = Ref::steal(PyObject_GetAttr(time.get(), names.time_ns));
    if (!fn)
        return {};
    Ref ns = Ref::steal(PyObject_CallObject(fn.get(), nullptr));
    if (!ns)
        return {};
    return Ref::steal(PyObject_Str(ns.get()));
}

// Fallback for a `time` without time_ns: seconds as a float, times 10**9, truncated.
Ref now_from_time() noexcept {
    Ref time = module::lookup(names.time);
    if (!time)
        return {};
    Ref seconds = Ref::steal(PyObject_CallMethodObjArgs(time.get(), names.time, nullptr));
    if (!seconds)
        return {};
    Ref product = Ref::steal(PyNumber_Multiply(seconds.get(), billion));
    if (!product)
        return {};
    Ref whole = Ref::steal(PyNumber_Long(product.get()));
    if (!whole)
        return {};
    return Ref::steal(PyObject_Str(whole.get()));
}

Ref now_ns() noexcept {
    Ref text = now_from_time_ns();
    if (text || !PyErr_ExceptionMatches(PyExc_AttributeError))
        return text;
    PyErr_Clear();
    return now_from_time();
}

Ref now_ns_body(const module::Bound &) noexcept { return now_ns(); }

} // namespace

int init_clock() noexcept {
    if (std_time != nullptr)
        return 0;
    Ref time = Ref::steal(PyImport_ImportModule("time"));
    if (!time)
        return -1;
    Ref fn = Ref::steal(PyObject_GetAttr(time.get(), names.time_ns));
    Ref n = Ref::steal(PyLong_FromLong(1000000000L));
    if (!fn || !n)
        return -1;
    std_time_ns = fn.release();
    billion = n.release();
    std_time = time.release();
    return 0;
}

Ref make_now_ns() noexcept { return module::make_callable(kNowNs, Py_None); }

Ref call_now_ns() noexcept {
    Ref fn = module::lookup(names.now_ns);
    if (!fn)
        return {};
    if (module::is_callable_for(fn.get(), kNowNs))
        return now_ns();
    return Ref::steal(PyObject_CallObject(fn.get(), nullptr));
}

} // namespace quorbel::handler
