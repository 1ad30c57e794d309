// Native encoder for the stream payload. Equivalent Python, for payloads made only of exact
// dicts, lists, tuples, strs, ints, floats, bools and None:
//
//     text = json.dumps(payload, ensure_ascii=False, separators=(",", ":"))
//     text = "".join("\\u%04x" % ord(c) if 0xD800 <= ord(c) <= 0xDFFF else c for c in text)
//
// The text must be exactly what json's C encoder writes (escapes, float repr, key conversions,
// order), so anything outside that set is left to json.dumps itself.
#include "handler/json_encoder.h"

#include "module/facts.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace quorbel::handler {

namespace {

// 3.7 to 3.9: PyUnicode_AsUTF8AndSize is outside the limited API. From 3.10 it is in the stable
// ABI, so it is looked up by name and used only there: it hands out the UTF-8 that the str caches
// (for ASCII, its own data) instead of a fresh bytes copy.
using AsUtf8AndSize = const char *(*)(PyObject *, Py_ssize_t *);
AsUtf8AndSize as_utf8_and_size = nullptr;

// Beyond this depth the payload goes to json.dumps, which then either manages or raises
// RecursionError as it always did. Also bounds the path kept for the circular check.
constexpr int kMaxDepth = 100;
// Strings up to this many code points are copied out on the stack when read as UCS4.
constexpr Py_ssize_t kStackChars = 256;
// 3.7 to 3.9: strings up to this many code points are read as UCS4, longer ones as UTF-8.
constexpr Py_ssize_t kShortChars = 32;

const char kHex[] = "0123456789abcdef";

// For each byte: 0 when it is written as is, else the letter after the backslash ('u' for the
// \u00XX form). Bytes >= 0x80 are parts of UTF-8 sequences and written as is.
struct EscapeTable {
    char letter[256] = {};
    constexpr EscapeTable() {
        for (int c = 0; c < 0x20; ++c)
            letter[c] = 'u';
        letter['\b'] = 'b';
        letter['\f'] = 'f';
        letter['\n'] = 'n';
        letter['\r'] = 'r';
        letter['\t'] = 't';
        letter['"'] = '"';
        letter['\\'] = '\\';
    }
};
constexpr EscapeTable kEscape;

// Growable output bytes: inline storage for the common payload, PyMem beyond it.
class Buffer {
  public:
    Buffer() noexcept = default;
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    ~Buffer() {
        if (data_ != inline_)
            PyMem_Free(data_);
    }

    // Makes room for n more bytes; false with MemoryError set when that fails.
    bool reserve(Py_ssize_t n) noexcept { return cap_ - len_ >= n || grow(n); }
    // The unchecked writers below need a reserve() that covered them.
    void put(char c) noexcept { data_[len_++] = c; }
    void put(const char *p, Py_ssize_t n) noexcept {
        memcpy(data_ + len_, p, static_cast<size_t>(n));
        len_ += n;
    }
    bool append(const char *p, Py_ssize_t n) noexcept {
        if (!reserve(n))
            return false;
        put(p, n);
        return true;
    }
    template <size_t N> bool append(const char (&literal)[N]) noexcept {
        return append(literal, static_cast<Py_ssize_t>(N - 1));
    }

    // Direct writes into reserved room: tail() is where they start, commit() where they ended.
    char *tail() noexcept { return data_ + len_; }
    void commit(char *end) noexcept { len_ = end - data_; }

    const char *data() const noexcept { return data_; }
    Py_ssize_t size() const noexcept { return len_; }

  private:
    bool grow(Py_ssize_t n) noexcept {
        if (n > PY_SSIZE_T_MAX - len_) {
            PyErr_NoMemory();
            return false;
        }
        Py_ssize_t cap = cap_;
        while (cap - len_ < n)
            cap = cap > PY_SSIZE_T_MAX / 2 ? PY_SSIZE_T_MAX : cap * 2;
        char *p;
        if (data_ == inline_) {
            p = static_cast<char *>(PyMem_Malloc(static_cast<size_t>(cap)));
            if (p)
                memcpy(p, inline_, static_cast<size_t>(len_));
        } else {
            p = static_cast<char *>(PyMem_Realloc(data_, static_cast<size_t>(cap)));
        }
        if (!p) {
            PyErr_NoMemory();
            return false;
        }
        data_ = p;
        cap_ = cap;
        return true;
    }

    char inline_[512];
    char *data_ = inline_;
    Py_ssize_t len_ = 0;
    Py_ssize_t cap_ = sizeof(inline_);
};

// Owner of the PyMem block that PyUnicode_AsUCS4Copy returns.
class Ucs4Copy {
  public:
    explicit Ucs4Copy(PyObject *s) noexcept : p_(PyUnicode_AsUCS4Copy(s)) {}
    Ucs4Copy(const Ucs4Copy &) = delete;
    Ucs4Copy &operator=(const Ucs4Copy &) = delete;
    ~Ucs4Copy() { PyMem_Free(p_); }
    const Py_UCS4 *get() const noexcept { return p_; }

  private:
    Py_UCS4 *p_;
};

// Writes the code points with UTF-8, surrogates as "\udxxx" and, when json_escapes is set, the
// characters json escapes in their escaped form. Returns false with MemoryError set.
bool put_code_points(Buffer &out, const Py_UCS4 *u, Py_ssize_t n, bool json_escapes,
                     bool *ascii) noexcept {
    // Six bytes is the longest form of one code point ("\u001f", "\udc80").
    if (n > (PY_SSIZE_T_MAX - 2) / 6) {
        PyErr_NoMemory();
        return false;
    }
    if (!out.reserve(6 * n + 2))
        return false;
    // A local cursor: stores through char* could alias the buffer's own length otherwise.
    char *w = out.tail();
    bool wide = false;
    for (const Py_UCS4 *end = u + n; u < end; ++u) {
        Py_UCS4 c = *u;
        if (c < 0x80) {
            char letter = json_escapes ? kEscape.letter[c] : 0;
            if (!letter) {
                *w++ = static_cast<char>(c);
            } else if (letter != 'u') {
                *w++ = '\\';
                *w++ = letter;
            } else {
                memcpy(w, "\\u00", 4);
                w[4] = kHex[c >> 4];
                w[5] = kHex[c & 0xf];
                w += 6;
            }
            continue;
        }
        wide = true;
        if (c < 0x800) {
            *w++ = static_cast<char>(0xc0 | (c >> 6));
            *w++ = static_cast<char>(0x80 | (c & 0x3f));
        } else if (c >= 0xd800 && c <= 0xdfff) {
            w[0] = '\\';
            w[1] = 'u';
            w[2] = kHex[c >> 12];
            w[3] = kHex[(c >> 8) & 0xf];
            w[4] = kHex[(c >> 4) & 0xf];
            w[5] = kHex[c & 0xf];
            w += 6;
        } else if (c < 0x10000) {
            *w++ = static_cast<char>(0xe0 | (c >> 12));
            *w++ = static_cast<char>(0x80 | ((c >> 6) & 0x3f));
            *w++ = static_cast<char>(0x80 | (c & 0x3f));
        } else {
            *w++ = static_cast<char>(0xf0 | (c >> 18));
            *w++ = static_cast<char>(0x80 | ((c >> 12) & 0x3f));
            *w++ = static_cast<char>(0x80 | ((c >> 6) & 0x3f));
            *w++ = static_cast<char>(0x80 | (c & 0x3f));
        }
    }
    out.commit(w);
    if (wide)
        *ascii = false;
    return true;
}

// Writes the code points of str s as put_code_points does.
bool put_str_code_points(Buffer &out, PyObject *s, bool json_escapes, bool *ascii) noexcept {
    Py_ssize_t n = PyUnicode_GetLength(s);
    if (n < 0)
        return false;
    if (n <= kStackChars) {
        Py_UCS4 stack[kStackChars];
        if (n && !PyUnicode_AsUCS4(s, stack, kStackChars, 0))
            return false;
        return put_code_points(out, stack, n, json_escapes, ascii);
    }
    Ucs4Copy copy(s);
    if (!copy.get())
        return false;
    return put_code_points(out, copy.get(), n, json_escapes, ascii);
}

// True when some byte of the 8 in w needs an escape: < 0x20, '"' or '\\'. Exact for "any byte"
// (a borrow can only follow a byte that really matches), which is all the caller asks.
inline bool word_needs_escape(uint64_t w) noexcept {
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    constexpr uint64_t kHigh = 0x8080808080808080ull;
    uint64_t quote = w ^ (kOnes * '"');
    uint64_t backslash = w ^ (kOnes * '\\');
    uint64_t hits = ((w - kOnes * 0x20) & ~w) | ((quote - kOnes) & ~quote) |
                    ((backslash - kOnes) & ~backslash);
    return (hits & kHigh) != 0;
}

// Writes one byte that needs an escape; room for it must have been reserved.
inline char *put_escape(char *w, unsigned char c) noexcept {
    char letter = kEscape.letter[c];
    *w++ = '\\';
    if (letter != 'u') {
        *w++ = letter;
        return w;
    }
    memcpy(w, "u00", 3);
    w[3] = kHex[c >> 4];
    w[4] = kHex[c & 0xf];
    return w + 5;
}

// Writes valid UTF-8 (no surrogates) as the body of a JSON string, and the closing quote. Runs
// that need no escape are copied whole; most texts are one such run.
bool put_utf8_escaped(Buffer &out, const char *text, Py_ssize_t n, bool *ascii) noexcept {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    const unsigned char *end = p + n;
    uint64_t seen = 0; // OR of every byte looked at, for the non-ASCII test
    if (n < 16) {
        // Short texts (keys, labels, levels): tested as two words that may overlap, or as
        // bytes below 8; copied into room for the longest form, which is small here.
        if (!out.reserve(6 * n + 1))
            return false;
        char *w = out.tail();
        bool plain;
        if (n >= 8) {
            uint64_t head, tail;
            memcpy(&head, p, 8);
            memcpy(&tail, end - 8, 8);
            plain = !word_needs_escape(head) && !word_needs_escape(tail);
            seen = head | tail;
        } else {
            plain = true;
            for (const unsigned char *q = p; q < end; ++q) {
                plain = plain && !kEscape.letter[*q];
                seen |= *q;
            }
        }
        if (plain) {
            memcpy(w, p, static_cast<size_t>(n));
            w += n;
        } else {
            for (; p < end; ++p) {
                unsigned char c = *p;
                if (kEscape.letter[c])
                    w = put_escape(w, c);
                else
                    *w++ = static_cast<char>(c);
            }
        }
        *w++ = '"';
        out.commit(w);
        if (seen & 0x8080808080808080ull)
            *ascii = false;
        return true;
    }
    if (!out.reserve(n + 1))
        return false;
    while (p < end) {
        const unsigned char *run = p;
        while (end - p >= 8) {
            uint64_t w;
            memcpy(&w, p, 8);
            if (word_needs_escape(w))
                break;
            seen |= w;
            p += 8;
        }
        while (p < end && !kEscape.letter[*p]) {
            seen |= *p;
            ++p;
        }
        if (p > run) {
            // Escapes grow the text beyond the n bytes reserved, so this run is checked.
            if (!out.append(reinterpret_cast<const char *>(run), p - run))
                return false;
        }
        if (p == end)
            break;
        if (!out.reserve(6))
            return false;
        out.commit(put_escape(out.tail(), *p++));
    }
    if (!out.reserve(1))
        return false;
    out.put('"');
    if (seen & 0x8080808080808080ull)
        *ascii = false;
    return true;
}

// Writes str s as a JSON string.
bool put_str(Buffer &out, PyObject *s, bool *ascii) noexcept {
    if (!out.reserve(1))
        return false;
    out.put('"');
    if (as_utf8_and_size) {
        Py_ssize_t n;
        const char *p = as_utf8_and_size(s, &n);
        if (p)
            return put_utf8_escaped(out, p, n, ascii);
        // A lone surrogate cannot be UTF-8: written code point by code point instead.
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError))
            return false;
        PyErr_Clear();
        if (!put_str_code_points(out, s, true, ascii))
            return false;
    } else {
        // 3.7 to 3.9: a copy either way. Short strings go to the stack as UCS4, which saves
        // allocating a bytes object; long ones are scanned faster as UTF-8.
        Py_ssize_t n = PyUnicode_GetLength(s);
        if (n < 0)
            return false;
        if (n > kShortChars) {
            Ref bytes = Ref::steal(PyUnicode_AsUTF8String(s));
            if (bytes) {
                char *p;
                Py_ssize_t size;
                if (PyBytes_AsStringAndSize(bytes.get(), &p, &size) < 0)
                    return false;
                return put_utf8_escaped(out, p, size, ascii);
            }
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError))
                return false;
            PyErr_Clear(); // a lone surrogate, as above
        }
        if (!put_str_code_points(out, s, true, ascii))
            return false;
    }
    if (!out.reserve(1))
        return false;
    out.put('"');
    return true;
}

// Short strs written recently, keyed by identity: the same key and label objects come back in
// record after record. A str never changes, and the entry's own reference keeps the object, and
// so its address, from being reused while the entry holds it. Only the interpreter's lock
// guards it, as it guards every object here.
struct StrCacheEntry {
    PyObject *str = nullptr;
    unsigned char len = 0;
    bool ascii = true;
    char text[54]; // the JSON string, quotes included
};
constexpr size_t kStrCacheSize = 256;
StrCacheEntry str_cache[kStrCacheSize];

StrCacheEntry &cache_slot(PyObject *s) noexcept {
    auto p = reinterpret_cast<uintptr_t>(s);
    return str_cache[((p >> 4) ^ (p >> 12)) & (kStrCacheSize - 1)];
}

// put_str for exact strs, through the cache.
bool put_str_cached(Buffer &out, PyObject *s, bool *ascii) noexcept {
    StrCacheEntry &e = cache_slot(s);
    if (e.str == s) {
        if (!out.append(e.text, e.len))
            return false;
        if (!e.ascii)
            *ascii = false;
        return true;
    }
    const Py_ssize_t start = out.size();
    bool own_ascii = true;
    if (!put_str(out, s, &own_ascii))
        return false;
    if (!own_ascii)
        *ascii = false;
    const Py_ssize_t len = out.size() - start;
    if (len <= static_cast<Py_ssize_t>(sizeof e.text)) {
        PyObject *old = e.str;
        Py_INCREF(s);
        e.str = s;
        e.len = static_cast<unsigned char>(len);
        e.ascii = own_ascii;
        memcpy(e.text, out.data() + start, static_cast<size_t>(len));
        Py_XDECREF(old); // an exact str: its deallocation runs no Python code
    }
    return true;
}

// Writes the decimal text of exact int o, as int.__repr__ (and so json) does.
Encoded put_int(Buffer &out, PyObject *o) noexcept {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (!overflow) {
        if (v == -1 && PyErr_Occurred())
            return Encoded::Error;
        char digits[24];
        char *end = digits + sizeof(digits);
        char *p = end;
        unsigned long long m = v < 0 ? 0ull - static_cast<unsigned long long>(v)
                                     : static_cast<unsigned long long>(v);
        do {
            *--p = static_cast<char>('0' + m % 10);
            m /= 10;
        } while (m);
        if (v < 0)
            *--p = '-';
        return out.append(p, end - p) ? Encoded::Ok : Encoded::Error;
    }
    // json calls int.__repr__ too, so its failure (the 3.11+ limit on digits, ValueError) is
    // json.dumps's failure on this payload as well.
    Ref text = Ref::steal(PyObject_Repr(o));
    if (!text)
        return Encoded::Error;
    if (as_utf8_and_size) {
        Py_ssize_t n;
        const char *p = as_utf8_and_size(text.get(), &n);
        if (!p)
            return Encoded::Error;
        return out.append(p, n) ? Encoded::Ok : Encoded::Error;
    }
    Ref bytes = Ref::steal(PyUnicode_AsUTF8String(text.get()));
    char *p;
    Py_ssize_t n;
    if (!bytes || PyBytes_AsStringAndSize(bytes.get(), &p, &n) < 0)
        return Encoded::Error;
    return out.append(p, n) ? Encoded::Ok : Encoded::Error;
}

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

// Writes exact float o as json does: float.__repr__, or its tokens for NaN and the infinities.
// repr takes the shortest digits that read back as the same double (what to_chars gives, at a
// fraction of the cost of PyOS_double_to_string) and lays them out in fixed notation when the
// decimal point falls within -4 < point <= 16, otherwise as d.ddde+XX.
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

class Encoder {
  public:
    Buffer out;
    bool ascii = true;

    // Off for the texts that are new in every record (ts, msg), which would only evict.
    bool cache_strs = true;

    Encoded value(PyObject *o) noexcept {
        if (PyUnicode_CheckExact(o))
            return ok(cache_strs ? put_str_cached(out, o, &ascii) : put_str(out, o, &ascii));
        if (PyLong_CheckExact(o)) // exact: excludes bool
            return put_int(out, o);
        if (PyFloat_CheckExact(o))
            return ok(put_float(out, o));
        if (o == Py_True)
            return ok(out.append("true"));
        if (o == Py_False)
            return ok(out.append("false"));
        if (o == Py_None)
            return ok(out.append("null"));
        if (PyDict_CheckExact(o))
            return dict(o);
        if (PyList_CheckExact(o))
            return list(o);
        if (PyTuple_CheckExact(o))
            return tuple(o);
        return Encoded::Unsupported;
    }

  private:
    static Encoded ok(bool done) noexcept { return done ? Encoded::Ok : Encoded::Error; }

    // Pushes container o on the current path. json raises for a container met again on its own
    // path (a cycle); a container that merely appears twice elsewhere is written twice.
    Encoded enter(PyObject *o) noexcept {
        if (depth_ == kMaxDepth)
            return Encoded::Unsupported;
        for (int i = 0; i < depth_; ++i) {
            if (path_[i] == o)
                return Encoded::Unsupported;
        }
        path_[depth_++] = o;
        return Encoded::Ok;
    }

    // Writes a dict key the way json converts it, quoted.
    Encoded key(PyObject *k) noexcept {
        if (PyUnicode_CheckExact(k))
            return ok(put_str_cached(out, k, &ascii));
        Encoded r;
        if (!out.append("\""))
            return Encoded::Error;
        // The order of json's own tests: float, then the constants, then int.
        if (PyFloat_CheckExact(k))
            r = ok(put_float(out, k));
        else if (k == Py_True)
            r = ok(out.append("true"));
        else if (k == Py_False)
            r = ok(out.append("false"));
        else if (k == Py_None)
            r = ok(out.append("null"));
        else if (PyLong_CheckExact(k))
            r = put_int(out, k);
        else
            return Encoded::Unsupported;
        if (r != Encoded::Ok)
            return r;
        return ok(out.append("\""));
    }

    Encoded dict(PyObject *d) noexcept {
        if (PyDict_Size(d) == 0)
            return ok(out.append("{}"));
        Encoded r = enter(d);
        if (r != Encoded::Ok)
            return r;
        if (!out.append("{"))
            return Encoded::Error;
        // Our own references: nothing below runs Python code, but a borrowed pointer must not
        // depend on that.
        Ref hold = Ref::borrow(d);
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        bool first = true;
        while (PyDict_Next(d, &pos, &k, &v)) {
            Ref key_ref = Ref::borrow(k), value_ref = Ref::borrow(v);
            if (!first && !out.append(","))
                return Encoded::Error;
            first = false;
            if ((r = key(k)) != Encoded::Ok)
                return r;
            if (!out.append(":"))
                return Encoded::Error;
            if ((r = value(v)) != Encoded::Ok)
                return r;
        }
        --depth_;
        return ok(out.append("}"));
    }

    Encoded list(PyObject *l) noexcept {
        if (PyList_Size(l) == 0)
            return ok(out.append("[]"));
        Encoded r = enter(l);
        if (r != Encoded::Ok)
            return r;
        if (!out.append("["))
            return Encoded::Error;
        Ref hold = Ref::borrow(l);
        // The size is read again on each step, so the index never passes the live end.
        for (Py_ssize_t i = 0; i < PyList_Size(l); ++i) {
            Ref item = Ref::borrow(PyList_GetItem(l, i));
            if (!item)
                return Encoded::Error;
            if (i && !out.append(","))
                return Encoded::Error;
            if ((r = value(item.get())) != Encoded::Ok)
                return r;
        }
        --depth_;
        return ok(out.append("]"));
    }

    Encoded tuple(PyObject *t) noexcept {
        Py_ssize_t n = PyTuple_Size(t);
        if (n == 0)
            return ok(out.append("[]"));
        Encoded r = enter(t);
        if (r != Encoded::Ok)
            return r;
        if (!out.append("["))
            return Encoded::Error;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *item = PyTuple_GetItem(t, i); // a tuple's items never change
            if (!item)
                return Encoded::Error;
            if (i && !out.append(","))
                return Encoded::Error;
            if ((r = value(item)) != Encoded::Ok)
                return r;
        }
        --depth_;
        return ok(out.append("]"));
    }

    PyObject *path_[kMaxDepth];
    int depth_ = 0;
};

// The output is valid UTF-8 by construction; pure ASCII takes the decoder's cheapest road.
Ref decode(const Buffer &out, bool ascii) noexcept {
    if (ascii)
        return Ref::steal(PyUnicode_DecodeASCII(out.data(), out.size(), nullptr));
    return Ref::steal(PyUnicode_DecodeUTF8(out.data(), out.size(), nullptr));
}

} // namespace

Encoded encode_payload(PyObject *ts, PyObject *level, PyObject *msg, PyObject *labels,
                       PyObject *ctx, Ref *out) {
    Encoder enc;
    Encoded r;
    if (!enc.out.append("{\"ts\":"))
        return Encoded::Error;
    enc.cache_strs = false;
    if ((r = enc.value(ts)) != Encoded::Ok)
        return r;
    if (!enc.out.append(",\"level\":"))
        return Encoded::Error;
    enc.cache_strs = true; // one of a few objects, the same in every record
    if ((r = enc.value(level)) != Encoded::Ok)
        return r;
    enc.cache_strs = false;
    if (!enc.out.append(",\"msg\":"))
        return Encoded::Error;
    if ((r = enc.value(msg)) != Encoded::Ok)
        return r;
    enc.cache_strs = true;
    if (!enc.out.append(",\"labels\":"))
        return Encoded::Error;
    if ((r = enc.value(labels)) != Encoded::Ok)
        return r;
    if (!enc.out.append(",\"ctx\":"))
        return Encoded::Error;
    if ((r = enc.value(ctx)) != Encoded::Ok)
        return r;
    if (!enc.out.append("}"))
        return Encoded::Error;
    Ref text = decode(enc.out, enc.ascii);
    if (!text)
        return Encoded::Error;
    *out = std::move(text);
    return Encoded::Ok;
}

Ref escape_surrogates(PyObject *text) {
    if (!PyUnicode_Check(text))
        return Ref::borrow(text);
    // Whether the text has a surrogate is only visible through a strict UTF-8 encoding.
    if (as_utf8_and_size) {
        Py_ssize_t n;
        if (as_utf8_and_size(text, &n))
            return Ref::borrow(text);
    } else {
        Ref bytes = Ref::steal(PyUnicode_AsUTF8String(text));
        if (bytes)
            return Ref::borrow(text);
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError))
        return {};
    PyErr_Clear();
    Buffer out;
    bool ascii = true;
    if (!put_str_code_points(out, text, false, &ascii))
        return {};
    return decode(out, ascii);
}

int json_encoder_init() {
    as_utf8_and_size = module::facts.as_utf8_and_size;
    return 0;
}

} // namespace quorbel::handler
