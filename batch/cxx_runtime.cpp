// The few pieces of the C++ runtime that std::string and `new` reach, defined here so that the
// static libstdc++ links none of its exception machinery into this module.
//
// The build has no exceptions, yet libstdc++'s string code calls these out of line; its own
// definitions would bring in the throwing and unwinding code, which needs glibc 2.32 to 2.36 and
// so would keep the wheel from loading on older systems. Without exceptions a failure here
// would end the process in std::terminate anyway: it ends it in abort() directly. Nothing here
// is exported (the version script keeps every symbol but PyInit_quorbel_batch local).
#include <cstdlib>
#include <new>

void *operator new(std::size_t n) {
    void *p = std::malloc(n != 0 ? n : 1);
    if (p == nullptr)
        std::abort();
    return p;
}
void *operator new[](std::size_t n) { return operator new(n); }
void *operator new(std::size_t n, const std::nothrow_t &) noexcept {
    return std::malloc(n != 0 ? n : 1);
}
void *operator new[](std::size_t n, const std::nothrow_t &) noexcept {
    return std::malloc(n != 0 ? n : 1);
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t) noexcept { std::free(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { std::free(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { std::free(p); }

namespace std {
const nothrow_t nothrow{};
// Where basic_string's assertions fail (they are on: see CMakeLists.txt).
[[noreturn]] void __glibcxx_assert_fail(const char *, int, const char *, const char *) noexcept {
    std::abort();
}
[[noreturn]] void __throw_length_error(const char *) { std::abort(); }
[[noreturn]] void __throw_logic_error(const char *) { std::abort(); }
[[noreturn]] void __throw_out_of_range(const char *) { std::abort(); }
[[noreturn]] void __throw_out_of_range_fmt(const char *, ...) { std::abort(); }
[[noreturn]] void __throw_bad_alloc() { std::abort(); }
[[noreturn]] void __throw_bad_array_new_length() { std::abort(); }
} // namespace std
