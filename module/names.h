// Interned Python strings: each concept declares the names it uses, and the module interns them
// all once, when it first executes.
#pragma once

#include "module/ref.h"

namespace quorbel::module {

// One interned str, declared at namespace scope beside the code that uses it:
//     const module::Name kLower{"lower"};
// Declaring it registers it; init_names() interns every registered name, so no call builds a
// name at run time. Until then it converts to nullptr.
class Name {
  public:
    explicit Name(const char *text) noexcept;
    Name(const Name &) = delete;
    Name &operator=(const Name &) = delete;

    operator PyObject *() const noexcept { return object_; }
    // For variadic C calls, which take no conversion.
    PyObject *get() const noexcept { return object_; }

  private:
    friend int init_names() noexcept;
    const char *text_;
    mutable PyObject *object_ = nullptr; // interned at init; the process keeps it
    const Name *next_;
};

// A tuple of names, made after the names themselves: keyword names for vectorcall-style calls.
class NameTuple {
  public:
    static constexpr int kMax = 8;
    template <typename... Names>
    explicit NameTuple(const Names &...names) noexcept
        : items_{&names...}, count_(sizeof...(Names)), next_(link(this)) {
        static_assert(sizeof...(Names) <= kMax, "too many names for one tuple");
    }
    NameTuple(const NameTuple &) = delete;
    NameTuple &operator=(const NameTuple &) = delete;

    operator PyObject *() const noexcept { return object_; }

  private:
    friend int init_names() noexcept;
    // Puts self at the head of the registry; returns the old head.
    static const NameTuple *link(const NameTuple *self) noexcept;
    const Name *items_[kMax];
    int count_;
    mutable PyObject *object_ = nullptr;
    const NameTuple *next_;
};

// Names that files of several concepts use, declared once.
inline const Name kModuleName{"quorbel"}; // the module's __name__, the __module__ of its objects
inline const Name kBuiltins{"__builtins__"};
inline const Name kDunderModule{"__module__"};
inline const Name kDunderQualname{"__qualname__"};
inline const Name kDunderInit{"__init__"};
inline const Name kCoName{"co_name"};

// Interns every declared name, then makes every declared tuple. -1 with an exception set on
// failure; what was made stays made, so a later call finishes the work.
int init_names() noexcept;

} // namespace quorbel::module
