// Classes made as a class statement makes them, from native methods.
#pragma once

#include "module/binder.h"

namespace quorbel::module {

// class <name>(<base>):  __doc__ = doc; <methods>
// The namespace comes from the metaclass's __prepare__, which may make any mapping; the class
// from calling the metaclass (type(base), or type for no base). Each step returns -1 (finish:
// an empty Ref) with an exception set; a builder that failed makes nothing.
class ClassBuilder {
  public:
    // base: nullptr for none (borrowed); doc: nullptr for None.
    ClassBuilder(PyObject *name, PyObject *base, const char *doc) noexcept
        : name_(name), base_(base), doc_(doc) {}
    ClassBuilder(const ClassBuilder &) = delete;
    ClassBuilder &operator=(const ClassBuilder &) = delete;

    // The namespace, with __module__, __qualname__ and __doc__ in it.
    int begin() noexcept;
    // namespace[sig.name] = a callable for sig with `defaults` (see make_callable).
    int add(const Signature &sig, PyObject *defaults) noexcept;
    // The class.
    Ref finish() noexcept;

  private:
    int store(PyObject *key, Ref value) noexcept;
    PyObject *name_;
    PyObject *base_;
    const char *doc_;
    Ref meta_, bases_, ns_;
};

} // namespace quorbel::module
