// Owning reference to a Python object: the one way this module holds a new reference.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quorbel {

// Move-only owner of one strong reference. Every new reference lives in a Ref, or, held by a
// static for the rest of the process, in a Kept; a raw PyObject* is borrowed, except in three
// places: the fields of our own object structs, which their tp_dealloc releases (as the C API
// has it); an interned Name's object, which the process keeps; and the entries of the str
// cache (handler/json_string.cpp), which move between its ways as plain memory. An empty Ref
// returned from a function means that an exception is set.
class Ref {
  public:
    Ref() noexcept = default;
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref &operator=(Ref &&other) noexcept {
        if (this != &other) {
            PyObject *old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a new reference (possibly NULL, when the producing call failed).
    static Ref steal(PyObject *p) noexcept { return Ref(p); }
    // Adds a reference of our own to a borrowed pointer.
    static Ref borrow(PyObject *p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject *get() const noexcept { return p_; }
    // Hands the reference back to C (for APIs that steal).
    PyObject *release() noexcept {
        PyObject *p = p_;
        p_ = nullptr;
        return p;
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }

  private:
    explicit Ref(PyObject *p) noexcept : p_(p) {}
    PyObject *p_ = nullptr;
};

// A static's reference, kept for the rest of the process once set: nothing releases it at exit,
// where the interpreter may already be gone. Set only with a finished value, so that a step
// that failed caches nothing and runs again.
class Kept {
  public:
    constexpr Kept() noexcept = default;
    Kept(const Kept &) = delete;
    Kept &operator=(const Kept &) = delete;

    PyObject *get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Holds r instead; what was held is dropped after, so that code its release runs sees r.
    void reset(Ref r) noexcept {
        Ref old = Ref::steal(p_);
        p_ = r.release();
    }
    // Holds r, the result of a step: -1 (holding what it held) when the step failed.
    int set(Ref r) noexcept {
        if (!r)
            return -1;
        reset(std::move(r));
        return 0;
    }

  private:
    PyObject *p_ = nullptr;
};

// An exception taken out of the way (PyErr_Fetch), owned until it is restored or dropped.
class Cause {
  public:
    Cause() noexcept = default;
    Cause(const Cause &) = delete;
    Cause &operator=(const Cause &) = delete;
    Cause &operator=(Cause &&other) noexcept {
        if (this != &other) {
            clear();
            other.release(&type_, &value_, &tb_);
        }
        return *this;
    }
    ~Cause() { clear(); }

    // Takes the pending exception (none: the Cause stays empty), dropping any held before.
    void take() noexcept {
        clear();
        PyErr_Fetch(&type_, &value_, &tb_);
    }
    // Makes it pending again; the Cause is then empty.
    void restore() noexcept {
        PyErr_Restore(type_, value_, tb_); // steals all three
        type_ = value_ = tb_ = nullptr;
    }
    // As a normalized exception instance carrying its traceback, for handing on.
    void normalize() noexcept {
        PyErr_NormalizeException(&type_, &value_, &tb_);
        if (tb_ != nullptr && value_ != nullptr)
            PyException_SetTraceback(value_, tb_);
    }
    // Makes `context` (emptied) the __context__ of this exception; both end normalized.
    void chain(Cause &context) noexcept {
        normalize();
        context.normalize();
        if (value_ != nullptr && context.value_ != nullptr) {
            PyException_SetContext(value_, context.value_); // steals
            context.value_ = nullptr;
        }
        context.clear();
    }
    // Moves the three references out (to PyErr_SetExcInfo, which steals them).
    void release(PyObject **type, PyObject **value, PyObject **tb) noexcept {
        *type = type_;
        *value = value_;
        *tb = tb_;
        type_ = value_ = tb_ = nullptr;
    }
    explicit operator bool() const noexcept { return type_ != nullptr; }

  private:
    void clear() noexcept {
        Py_CLEAR(type_);
        Py_CLEAR(value_);
        Py_CLEAR(tb_);
    }
    PyObject *type_ = nullptr, *value_ = nullptr, *tb_ = nullptr;
};

// The body of `except <type>:` for the pending exception: 0 when it matches, taken into `cause`
// (or dropped, for none); -1 when it must go on, left pending.
inline int catch_pending(PyObject *type, Cause *cause = nullptr) noexcept {
    if (!PyErr_ExceptionMatches(type))
        return -1;
    if (cause != nullptr)
        cause->take();
    else
        PyErr_Clear();
    return 0;
}

// `except Exception:`, which lets what must reach the caller's guard (KeyboardInterrupt,
// SystemExit) go on.
inline int catch_exception(Cause *cause = nullptr) noexcept {
    return catch_pending(PyExc_Exception, cause);
}

// Keeps the exception that the thread is handling (sys.exc_info()) across a block.
class HandledScope {
  public:
    HandledScope() noexcept { PyErr_GetExcInfo(&type_, &value_, &tb_); }
    HandledScope(const HandledScope &) = delete;
    HandledScope &operator=(const HandledScope &) = delete;
    ~HandledScope() { PyErr_SetExcInfo(type_, value_, tb_); } // steals all three

  private:
    PyObject *type_ = nullptr, *value_ = nullptr, *tb_ = nullptr;
};

} // namespace quorbel
