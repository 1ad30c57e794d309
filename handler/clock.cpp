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

#include "module/binding.h"
#include "module/callable.h"
#include "module/names.h"
#include "module/namespace.h"

namespace quorbel::handler {

namespace {

const module::Name kTime{"time"};
const module::Name kTimeNs{"time_ns"};
const module::Name kNowNs{"_now_ns"};

PyCFunction std_time_ns = nullptr; // what the time module's own time_ns runs
PyObject *billion = nullptr;       // the int 1000000000

Ref now_ns_body(const module::Bound &) noexcept;

constexpr auto kNowNsSignature = module::Signature::nullary("_now_ns", "str", now_ns_body);

// time.time_ns() reads CLOCK_REALTIME; reading it here gives the same value without a call.
Ref native_now() noexcept {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    long long ns = static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, ns).ptr;
    return Ref::steal(PyUnicode_FromStringAndSize(digits, end - digits));
}

int is_standard_time_ns(PyObject *fn) noexcept { return module::runs_builtin(fn, std_time_ns); }

Ref now_from_time_ns() noexcept {
    Ref time = module::lookup(kTime);
    if (!time)
        return {};
    module::Found fn;
    if (module::resolve_attr(time.get(), kTimeNs, is_standard_time_ns, &fn) < 0)
        return {};
    if (fn.standard)
        return native_now();
    Ref ns = Ref::steal(PyObject_CallObject(fn.object.get(), nullptr));
    if (!ns)
        return {};
    return Ref::steal(PyObject_Str(ns.get()));
}

// Fallback for a `time` without time_ns: seconds as a float, times 10**9, truncated.
Ref now_from_time() noexcept {
    Ref time = module::lookup(kTime);
    if (!time)
        return {};
    Ref seconds = Ref::steal(PyObject_CallMethodObjArgs(time.get(), kTime, nullptr));
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

int is_own_now_ns(PyObject *fn) noexcept {
    return module::is_callable_for(fn, kNowNsSignature);
}

} // namespace

int init_clock() noexcept {
    if (billion != nullptr)
        return 0;
    // The time module is built in: its method table says what its own time_ns runs, however
    // the module's attributes have been changed since.
    Ref time = Ref::steal(PyImport_ImportModule("time"));
    if (!time)
        return -1;
    Ref n = Ref::steal(PyLong_FromLong(1000000000L));
    if (!n)
        return -1;
    std_time_ns = module::builtin_of(time.get(), "time_ns");
    billion = n.release();
    return 0;
}

Ref make_now_ns() noexcept { return module::make_callable(kNowNsSignature, Py_None); }

Ref call_now_ns() noexcept {
    module::Found fn;
    if (module::resolve(kNowNs, is_own_now_ns, &fn) < 0)
        return {};
    if (fn.standard)
        return now_ns();
    return Ref::steal(PyObject_CallObject(fn.object.get(), nullptr));
}

} // namespace quorbel::handler
