// The nanosecond wall clock: _now_ns.
//
//     def _now_ns() -> "str":
//         try:
//             return str(time.time_ns())
//         except AttributeError:
//             return str(int(time.time() * 1000000000))
#include "handler/clock.h"

#include <ctime>

#include "handler/digits.h"
#include "handler/shared_names.h"
#include "module/binding.h"
#include "module/callable.h"
#include "module/import.h"
#include "module/names.h"
#include "module/namespace.h"

namespace quorbel::handler {

namespace {

const module::Name kTimeNs{"time_ns"};

PyCFunction std_time_ns = nullptr; // what the time module's own time_ns runs
Kept billion;                      // the int 1000000000

Ref now_ns_body(const module::Bound &) noexcept;

constexpr auto kNowNsSignature = module::Signature::nullary("_now_ns", "str", now_ns_body);

// time.time_ns() reads CLOCK_REALTIME; reading it here gives the same value without a call.
long long native_now() noexcept {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

int is_standard_time_ns(PyObject *fn) noexcept { return module::runs_builtin(fn, std_time_ns); }

// str(time.time_ns()), as *ns alone while time.time_ns is the standard clock.
int read_time_ns(long long *ns, Ref *text) noexcept {
    Ref time = module::lookup(global::time);
    if (!time)
        return -1;
    module::Found fn;
    if (module::resolve_attr(time.get(), kTimeNs, is_standard_time_ns, &fn) < 0)
        return -1;
    if (fn.standard) {
        *ns = native_now();
        return 0;
    }
    Ref value = Ref::steal(PyObject_CallObject(fn.object.get(), nullptr));
    if (!value)
        return -1;
    *text = Ref::steal(PyObject_Str(value.get()));
    return *text ? 0 : -1;
}

// Fallback for a `time` without time_ns: seconds as a float, times 10**9, truncated.
Ref now_from_time() noexcept {
    Ref time = module::lookup(global::time);
    if (!time)
        return {};
    Ref seconds = Ref::steal(PyObject_CallMethodObjArgs(time.get(), global::time.get(), nullptr));
    if (!seconds)
        return {};
    Ref product = Ref::steal(PyNumber_Multiply(seconds.get(), billion.get()));
    if (!product)
        return {};
    Ref whole = Ref::steal(PyNumber_Long(product.get()));
    if (!whole)
        return {};
    return Ref::steal(PyObject_Str(whole.get()));
}

// The body of _now_ns: *text, or *ns alone when the standard clock was read.
int read_now(long long *ns, Ref *text) noexcept {
    if (read_time_ns(ns, text) == 0)
        return 0;
    if (catch_pending(PyExc_AttributeError) < 0)
        return -1;
    *text = now_from_time();
    return *text ? 0 : -1;
}

Ref now_ns() noexcept {
    long long ns = 0;
    Ref text;
    if (read_now(&ns, &text) < 0)
        return {};
    return text ? std::move(text) : digits_text(ns);
}

Ref now_ns_body(const module::Bound &) noexcept { return now_ns(); }

int is_own_now_ns(PyObject *fn) noexcept { return module::is_callable_for(fn, kNowNsSignature); }

} // namespace

int init_clock() noexcept {
    if (billion)
        return 0;
    // The time module is built in: its method table says what its own time_ns runs, however
    // the module's attributes have been changed since.
    Ref time = module::import_module("time");
    if (!time)
        return -1;
    std_time_ns = module::builtin_of(time.get(), "time_ns");
    return billion.set(Ref::steal(PyLong_FromLong(1000000000L)));
}

Ref make_now_ns() noexcept { return module::make_callable(kNowNsSignature, Py_None); }

int read_now_ns(long long *ns, Ref *text) noexcept {
    module::Found fn;
    if (module::resolve(global::now_ns, is_own_now_ns, &fn) < 0)
        return -1;
    if (fn.standard)
        return read_now(ns, text);
    *text = Ref::steal(PyObject_CallObject(fn.object.get(), nullptr));
    return *text ? 0 : -1;
}

} // namespace quorbel::handler
