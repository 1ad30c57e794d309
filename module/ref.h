// Owning reference to a Python object: the one way this module holds a new reference.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quorbel {

// Move-only owner of one strong reference. Every new reference lives in a Ref;
// a raw PyObject* is always borrowed. An empty Ref returned from a function means
// that an exception is set.
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

// Keeps the pending exception intact across code that may raise and clear its own.
class ErrorScope {
  public:
    ErrorScope() noexcept { PyErr_Fetch(&type_, &value_, &tb_); }
    ErrorScope(const ErrorScope &) = delete;
    ErrorScope &operator=(const ErrorScope &) = delete;
    ~ErrorScope() { PyErr_Restore(type_, value_, tb_); } // steals all three

  private:
    PyObject *type_ = nullptr, *value_ = nullptr, *tb_ = nullptr;
};

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
