// What an application asks of a client besides xadd: flush, close and its counts.
#include "batch/control.h"

#include <cstring>

#include "batch/engine.h"
#include "batch/lifecycle.h"
#include "module/binder.h"
#include "module/names.h"

namespace quorbel::batch {

namespace {

// timeout in seconds, None for none: the CLOCK_MONOTONIC deadline, or `fallback` for None.
int deadline_of(PyObject *timeout, std::int64_t fallback, std::int64_t &deadline) noexcept {
    if (timeout == Py_None) {
        deadline = fallback;
        return 0;
    }
    if (!PyLong_Check(timeout) && !PyFloat_Check(timeout)) {
        module::raise_incorrect_type("timeout", &PyFloat_Type, "float", timeout);
        return -1;
    }
    const double seconds = PyFloat_AsDouble(timeout);
    if (seconds == -1.0 && PyErr_Occurred())
        return -1;
    if (!(seconds >= 0)) {
        PyErr_SetString(PyExc_ValueError, "timeout must be a non-negative number");
        return -1;
    }
    const std::int64_t now = now_ns();
    const double left = static_cast<double>(INT64_MAX - now);
    deadline = seconds * 1e9 >= left ? INT64_MAX : now + static_cast<std::int64_t>(seconds * 1e9);
    return 0;
}

// Waits with the GIL released, in slices, so that a signal (Ctrl-C) is seen: 1 when the
// records are retired, 0 at the deadline, -1 with the signal handler's exception.
int wait_retired(Engine *e, std::uint64_t target, std::int64_t deadline) noexcept {
    constexpr std::int64_t kSliceNs = 100 * kNsPerMs;
    for (;;) {
        const std::int64_t now = now_ns();
        const std::int64_t slice = deadline - now > kSliceNs ? now + kSliceNs : deadline;
        bool done;
        Py_BEGIN_ALLOW_THREADS
        done = e->wait_retired(target, slice);
        Py_END_ALLOW_THREADS
        if (done)
            return 1;
        if (PyErr_CheckSignals() < 0)
            return -1;
        if (now_ns() >= deadline)
            return 0;
    }
}

} // namespace

PyObject *flush_engine(Engine *e, PyObject *timeout) noexcept {
    std::int64_t deadline;
    if (deadline_of(timeout, INT64_MAX, deadline) < 0)
        return nullptr;
    const std::uint64_t dropped = e->dropped();
    const int done = wait_retired(e, e->request_flush(), deadline);
    if (done < 0)
        return nullptr;
    return PyBool_FromLong(done == 1 && e->dropped() == dropped);
}

PyObject *close_engine(Engine *e, PyObject *timeout) noexcept {
    std::int64_t deadline;
    if (deadline_of(timeout, now_ns() + e->options.close_timeout_ms * kNsPerMs, deadline) < 0)
        return nullptr;
    e->begin_close(deadline);
    Py_BEGIN_ALLOW_THREADS
    e->finish_close(deadline);
    Py_END_ALLOW_THREADS
    unregister_engine(e);
    Py_RETURN_NONE;
}

namespace {

const module::Name kAccepted{"accepted"};
const module::Name kSent{"sent"};
const module::Name kSpilled{"spilled"};
const module::Name kDropped{"dropped"};
const module::Name kResent{"resent"};
const module::Name kPending{"pending"};
const module::Name kPendingBytes{"pending_bytes"};
const module::Name kLastError{"last_error"};
const module::Name kSpooled{"spooled"};
const module::Name kAdopted{"adopted"};
const module::Name kCorrupt{"corrupt"};

} // namespace

PyObject *engine_stats(Engine *e) noexcept {
    char last_error[sizeof Buffer::last_error];
    const Counts n = e->counts(last_error);
    Ref dict = Ref::steal(PyDict_New());
    if (!dict)
        return nullptr;
    const struct {
        PyObject *key;
        std::uint64_t value;
    } counts[] = {{kAccepted, n.accepted},
                  {kSent, n.sent},
                  {kSpilled, n.spilled},
                  {kDropped, n.dropped},
                  {kResent, n.resent},
                  {kPending, n.pending},
                  {kPendingBytes, n.pending_bytes},
                  {kSpooled, n.spooled},
                  {kAdopted, n.adopted},
                  {kCorrupt, n.corrupt}};
    for (const auto &c : counts) {
        Ref value = Ref::steal(PyLong_FromUnsignedLongLong(c.value));
        if (!value || PyDict_SetItem(dict.get(), c.key, value.get()) < 0)
            return nullptr;
    }
    // The last connection or server error, as text (None before any).
    Ref error =
        last_error[0]
            ? Ref::steal(PyUnicode_DecodeUTF8(last_error, std::strlen(last_error), "replace"))
            : Ref::borrow(Py_None);
    if (!error || PyDict_SetItem(dict.get(), kLastError, error.get()) < 0)
        return nullptr;
    return dict.release();
}

} // namespace quorbel::batch
