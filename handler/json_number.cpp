// JSON numbers: exact ints and floats written as json writes them (int.__repr__, float.__repr__).
#include "handler/json_number.h"

#include "handler/digits.h"

#include <charconv>
#include <cmath>

namespace quorbel::handler {

namespace {

// Most floats in logs have a few decimals (12.5, 0.25, 99.99). For |x| in [1e-4, 1e15), the
// decimal m / 10**k with the fewest places k that reads back as x is what repr writes: it has at
// most 15 significant digits, no two such decimals fit in one double's rounding interval, so it
// is both the shortest text that reads back as x and the nearest. Reading back is exact to test:
// m and 10**k are exact doubles, and their quotient is rounded as parsing the text would be.
// Writes it, or returns false (nothing written) when x has no such short form.
constexpr int kMaxPlaces = 8;
constexpr double kPow10[kMaxPlaces + 1] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8};

bool put_short_decimal(Buffer &out, double x) noexcept {
    double a = std::fabs(x);
    if (!(a >= 1e-4 && a < 1e15))
        return false;
    // A float with a short form is also round(a * 10**kMaxPlaces) / 10**kMaxPlaces (below 1e15
    // the product is off by far less than one half), so one test turns the others away.
    const double most = a * kPow10[kMaxPlaces];
    if (most < 1e15 && std::round(most) / kPow10[kMaxPlaces] != a)
        return false;
    for (int k = 0; k <= kMaxPlaces; ++k) {
        double scaled = a * kPow10[k];
        if (scaled >= 1e15)
            return false;
        double m = std::round(scaled);
        if (m / kPow10[k] != a)
            continue;
        char digits[24];
        char *end = digits + sizeof digits;
        char *d = end;
        for (auto v = static_cast<unsigned long long>(m); v; v /= 10)
            *--d = static_cast<char>('0' + v % 10);
        int len = static_cast<int>(end - d);
        // Longest: sign, "0.", seven zeros and 15 digits.
        if (!out.reserve(32))
            return false;
        char *w = out.tail();
        if (x < 0)
            *w++ = '-';
        if (k == 0) {
            memcpy(w, d, static_cast<size_t>(len));
            w += len;
            *w++ = '.';
            *w++ = '0';
        } else if (len > k) {
            memcpy(w, d, static_cast<size_t>(len - k));
            w += len - k;
            *w++ = '.';
            memcpy(w, d + len - k, static_cast<size_t>(k));
            w += k;
        } else {
            *w++ = '0';
            *w++ = '.';
            for (int i = len; i < k; ++i)
                *w++ = '0';
            memcpy(w, d, static_cast<size_t>(len));
            w += len;
        }
        out.commit(w);
        return true;
    }
    return false;
}

} // namespace

// Small ints (every int a log record usually holds) are written from a machine integer; the
// others through int.__repr__, as json does, so that its failure is json.dumps's failure too.
bool put_digits(Buffer &out, long long v) noexcept {
    char digits[kMaxDigits];
    char *end = digits + kMaxDigits;
    char *begin = write_digits(v, end);
    return out.append(begin, end - begin);
}

bool put_int(Buffer &out, PyObject *o) noexcept {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (!overflow) {
        if (v == -1 && PyErr_Occurred())
            return false;
        return put_digits(out, v);
    }
    Ref text = Ref::steal(PyObject_Repr(o));
    if (!text)
        return false;
    // The repr is a str of our own, so caching UTF-8 in it would be harmless, but 3.7 has no
    // PyUnicode_AsUTF8AndSize and a huge int is rare enough for a copy.
    Ref bytes = Ref::steal(PyUnicode_AsUTF8String(text.get()));
    char *p;
    Py_ssize_t n;
    if (!bytes || PyBytes_AsStringAndSize(bytes.get(), &p, &n) < 0)
        return false;
    return out.append(p, n);
}

namespace {

#if defined(__cpp_lib_to_chars)
// repr takes the shortest digits that read back as the same double (what to_chars gives, at a
// fraction of the cost of PyOS_double_to_string) and lays them out in fixed notation when the
// decimal point falls within -4 < point <= 16, otherwise as d.ddde+XX.
bool put_repr(Buffer &out, double x) noexcept {
    // [-]d[.ddd]e(+|-)dd[d]: at most 17 digits.
    char sci[32];
    const char *end = std::to_chars(sci, sci + sizeof(sci), x, std::chars_format::scientific).ptr;
    const char *p = sci;
    bool negative = *p == '-';
    if (negative)
        ++p;
    char digits[24];
    int count = 0;
    digits[count++] = *p++;
    if (*p == '.') {
        for (++p; *p != 'e'; ++p)
            digits[count++] = *p;
    }
    ++p; // 'e'
    bool negative_exp = *p++ == '-';
    int exp = 0;
    for (; p < end; ++p)
        exp = exp * 10 + (*p - '0');
    if (negative_exp)
        exp = -exp;
    int point = exp + 1; // digits before the decimal point

    // Longest: sign, "0.000" and 17 digits, or sign, 17 digits, '.', "e-324".
    if (!out.reserve(32))
        return false;
    char *w = out.tail();
    if (negative)
        *w++ = '-';
    if (point <= -4 || point > 16) {
        *w++ = digits[0];
        if (count > 1) {
            *w++ = '.';
            memcpy(w, digits + 1, static_cast<size_t>(count - 1));
            w += count - 1;
        }
        *w++ = 'e';
        *w++ = exp < 0 ? '-' : '+';
        int e = exp < 0 ? -exp : exp;
        if (e >= 100)
            *w++ = static_cast<char>('0' + e / 100);
        *w++ = static_cast<char>('0' + e / 10 % 10);
        *w++ = static_cast<char>('0' + e % 10);
    } else if (point <= 0) {
        *w++ = '0';
        *w++ = '.';
        for (int i = point; i < 0; ++i)
            *w++ = '0';
        memcpy(w, digits, static_cast<size_t>(count));
        w += count;
    } else if (point >= count) {
        memcpy(w, digits, static_cast<size_t>(count));
        w += count;
        for (int i = count; i < point; ++i)
            *w++ = '0';
        *w++ = '.';
        *w++ = '0';
    } else {
        memcpy(w, digits, static_cast<size_t>(point));
        w += point;
        *w++ = '.';
        memcpy(w, digits + point, static_cast<size_t>(count - point));
        w += count - point;
    }
    out.commit(w);
    return true;
}
#else
// libstdc++ before GCC 11 has no to_chars for double: the interpreter's own float repr, for
// floats without a short decimal form only (measured: 340 ns a float against 90 on 3.13).
bool put_repr(Buffer &out, double x) noexcept {
    char *text = PyOS_double_to_string(x, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (text == nullptr)
        return false;
    const bool done = out.append(text, static_cast<Py_ssize_t>(strlen(text)));
    PyMem_Free(text);
    return done;
}
#endif

} // namespace

bool put_float(Buffer &out, PyObject *o) noexcept {
    double x = PyFloat_AsDouble(o);
    if (std::isnan(x))
        return out.append("NaN");
    if (std::isinf(x))
        return x > 0 ? out.append("Infinity") : out.append("-Infinity");
    if (x == 0)
        return std::signbit(x) ? out.append("-0.0") : out.append("0.0");
    if (put_short_decimal(out, x))
        return true;
    if (PyErr_Occurred())
        return false;
    return put_repr(out, x);
}

} // namespace quorbel::handler
