// Decimal digits of a machine integer: the one routine behind every text that holds one.
#pragma once

#include "module/ref.h"

namespace quorbel::handler {

// Room for the text of any long long, its sign included ("-9223372036854775808").
inline constexpr int kMaxDigits = 20;

// Writes the decimal text of v so that it ends just before `end`; returns where it begins.
inline char *write_digits(long long v, char *end) noexcept {
    // Two digits a step: a nanosecond timestamp has 19.
    static constexpr char kPairs[] =
        "00010203040506070809101112131415161718192021222324252627282930"
        "31323334353637383940414243444546474849505152535455565758596061"
        "6263646566676869707172737475767778798081828384858687888990919293"
        "949596979899";
    char *p = end;
    unsigned long long m =
        v < 0 ? 0ull - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
    while (m >= 100) {
        const char *pair = kPairs + 2 * (m % 100);
        m /= 100;
        *--p = pair[1];
        *--p = pair[0];
    }
    if (m >= 10) {
        *--p = kPairs[2 * m + 1];
        *--p = kPairs[2 * m];
    } else {
        *--p = static_cast<char>('0' + m);
    }
    if (v < 0)
        *--p = '-';
    return p;
}

// str(v) for an int within long long.
inline Ref digits_text(long long v) noexcept {
    char digits[kMaxDigits];
    char *end = digits + kMaxDigits;
    char *begin = write_digits(v, end);
    return Ref::steal(PyUnicode_FromStringAndSize(begin, end - begin));
}

} // namespace quorbel::handler
