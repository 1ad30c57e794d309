// JSON strings: a str written as json writes it, and the cache of recently written short strs.
#include "handler/json_string.h"

#include <cstdint>

#include "module/facts.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quorbel::handler {

namespace {

// PyUnicode_AsUTF8AndSize where the interpreter has it in the stable ABI (3.10+).
const char *(*as_utf8_and_size)(PyObject *, Py_ssize_t *) = nullptr;

// Strings up to this many code points are copied out on the stack as UCS4 (no allocation);
// longer ones are read from a UTF-8 bytes copy, whose scan takes eight bytes at a time.
constexpr Py_ssize_t kStackChars = 256;

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

// Most texts are printable ASCII without '"' or '\\', each code point written as its one byte.
// Writes such a leading run, several code points a step where the processor allows, and
// returns its length; the general loop takes over from there.
#if defined(__SSE2__)
bool plain4(const Py_UCS4 *u, __m128i *v) noexcept {
    // Code points are at most 0x10ffff, so signed compares are exact.
    *v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(u));
    __m128i ascii = _mm_and_si128(_mm_cmpgt_epi32(*v, _mm_set1_epi32(0x1f)),
                                  _mm_cmplt_epi32(*v, _mm_set1_epi32(0x80)));
    __m128i escaped = _mm_or_si128(_mm_cmpeq_epi32(*v, _mm_set1_epi32('"')),
                                   _mm_cmpeq_epi32(*v, _mm_set1_epi32('\\')));
    return _mm_movemask_epi8(_mm_andnot_si128(escaped, ascii)) == 0xffff;
}

void store4(char *w, __m128i v) noexcept {
    __m128i halves = _mm_packs_epi32(v, v);
    int32_t bytes = _mm_cvtsi128_si32(_mm_packus_epi16(halves, halves));
    memcpy(w, &bytes, 4);
}

Py_ssize_t put_plain_prefix(char *w, const Py_UCS4 *u, Py_ssize_t n) noexcept {
    Py_ssize_t i = 0;
    __m128i v;
    for (; i + 4 <= n; i += 4) {
        if (!plain4(u + i, &v))
            return i;
        store4(w + i, v);
    }
    // The last few: the last four again, overlapping what was written.
    if (i < n && n >= 4 && plain4(u + n - 4, &v)) {
        store4(w + n - 4, v);
        return n;
    }
    return i;
}
#else
Py_ssize_t put_plain_prefix(char *w, const Py_UCS4 *u, Py_ssize_t n) noexcept {
    Py_ssize_t i = 0;
    for (; i < n && u[i] < 0x80 && !kEscape.letter[u[i]]; ++i)
        w[i] = static_cast<char>(u[i]);
    return i;
}
#endif

// Writes the code points with UTF-8 and surrogates as "\udxxx". With json set, also quoted and
// with json's escapes. Returns false with MemoryError set.
bool put_code_points(Buffer &out, const Py_UCS4 *u, Py_ssize_t n, bool json, bool *ascii) noexcept {
    // Six bytes is the longest form of one code point ("\u001f", "\udc80").
    if (n > (PY_SSIZE_T_MAX - 2) / 6) {
        PyErr_NoMemory();
        return false;
    }
    if (!out.reserve(6 * n + 2))
        return false;
    char *w = out.tail();
    if (json) {
        *w++ = '"';
        Py_ssize_t done = put_plain_prefix(w, u, n);
        w += done;
        u += done;
        n -= done;
    }
    bool wide = false;
    for (const Py_UCS4 *end = u + n; u < end; ++u) {
        Py_UCS4 c = *u;
        if (c < 0x80) {
            char letter = json ? kEscape.letter[c] : 0;
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
    if (json)
        *w++ = '"';
    out.commit(w);
    if (wide)
        *ascii = false;
    return true;
}

// put_code_points for str s, of n code points, from a copy of its own.
bool put_str_code_points(Buffer &out, PyObject *s, Py_ssize_t n, bool json, bool *ascii) noexcept {
    if (n <= kStackChars) {
        Py_UCS4 stack[kStackChars];
        if (n && !PyUnicode_AsUCS4(s, stack, kStackChars, 0))
            return false;
        return put_code_points(out, stack, n, json, ascii);
    }
    Ucs4Copy copy(s);
    if (!copy.get())
        return false;
    return put_code_points(out, copy.get(), n, json, ascii);
}

// True when some byte of the 8 in w needs an escape: < 0x20, '"' or '\\'. Exact for "any byte"
// (a borrow can only follow a byte that really matches), which is all the caller asks.
inline bool word_needs_escape(uint64_t w) noexcept {
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    constexpr uint64_t kHigh = 0x8080808080808080ull;
    uint64_t quote = w ^ (kOnes * '"');
    uint64_t backslash = w ^ (kOnes * '\\');
    uint64_t hits =
        ((w - kOnes * 0x20) & ~w) | ((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash);
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

// Short strs written recently, keyed by identity: the same key and label objects come back in
// record after record. The entry's own reference keeps its str alive, so the address cannot be
// reused by another object while the entry holds it, and a str never changes (nor can it be
// resized in place while shared). Only the interpreter's lock guards it, as it guards every
// object here.
struct StrCacheEntry {
    PyObject *str = nullptr;
    unsigned char len = 0;
    bool ascii = true;
    char text[64 - sizeof(PyObject *) - 2]; // the JSON string, quotes included
};
static_assert(sizeof(StrCacheEntry) == 64, "one cache line per entry");

// Two entries a set, the newer first, so that two strs of one record landing in the same set do
// not evict each other record after record. Heap addresses share their low bits and cluster, so
// the set comes from a multiplicative (Fibonacci) hash of the address, whose top bits mix all of
// it.
struct StrCacheSet {
    StrCacheEntry way[2];
};
constexpr int kStrCacheSetBits = 9;
StrCacheSet str_cache[1 << kStrCacheSetBits];

StrCacheSet &cache_set(PyObject *s) noexcept {
    auto p = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(s)) >> 4; // 16-byte aligned
    return str_cache[(p * 0x9e3779b97f4a7c15ull) >> (64 - kStrCacheSetBits)];
}

} // namespace

bool put_str(Buffer &out, PyObject *s, bool *ascii) noexcept {
    Py_ssize_t n = PyUnicode_GetLength(s);
    if (n < 0)
        return false;
    if (n > kStackChars) {
        // A fresh bytes object: nothing is left behind on s.
        Ref bytes = Ref::steal(PyUnicode_AsUTF8String(s));
        if (bytes) {
            char *p;
            Py_ssize_t size;
            if (PyBytes_AsStringAndSize(bytes.get(), &p, &size) < 0 || !out.reserve(1))
                return false;
            out.put('"');
            return put_utf8_escaped(out, p, size, ascii);
        }
        // A lone surrogate has no UTF-8 form: written code point by code point instead.
        if (catch_pending(PyExc_UnicodeEncodeError) < 0)
            return false;
    }
    return put_str_code_points(out, s, n, true, ascii);
}

bool put_str_owned(Buffer &out, PyObject *s, bool *ascii) noexcept {
    if (!as_utf8_and_size || Py_REFCNT(s) != 1)
        return put_str(out, s, ascii);
    Py_ssize_t n;
    const char *p = as_utf8_and_size(s, &n);
    if (!p) {
        if (catch_pending(PyExc_UnicodeEncodeError) < 0) // else a lone surrogate
            return false;
        return put_str(out, s, ascii);
    }
    if (!out.reserve(1))
        return false;
    out.put('"');
    return put_utf8_escaped(out, p, n, ascii);
}

bool put_str_cached(Buffer &out, PyObject *s, bool *ascii) noexcept {
    StrCacheSet &set = cache_set(s);
    const StrCacheEntry *hit = set.way[0].str == s   ? &set.way[0]
                               : set.way[1].str == s ? &set.way[1]
                                                     : nullptr;
    if (hit) {
        // The whole array at once: a fixed-size copy is a few moves, the length only moves the
        // end.
        if (!out.reserve(sizeof hit->text))
            return false;
        char *w = out.tail();
        memcpy(w, hit->text, sizeof hit->text);
        out.commit(w + hit->len);
        if (!hit->ascii)
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
    if (len <= static_cast<Py_ssize_t>(sizeof hit->text)) {
        PyObject *old = set.way[1].str;
        set.way[1] = set.way[0];
        StrCacheEntry &e = set.way[0];
        Py_INCREF(s);
        e.str = s;
        e.len = static_cast<unsigned char>(len);
        e.ascii = own_ascii;
        memcpy(e.text, out.data() + start, static_cast<size_t>(len));
        Py_XDECREF(old); // an exact str: its deallocation runs no Python code
    }
    return true;
}

bool put_surrogates_escaped(Buffer &out, PyObject *s, bool *ascii) noexcept {
    Py_ssize_t n = PyUnicode_GetLength(s);
    if (n < 0)
        return false;
    return put_str_code_points(out, s, n, false, ascii);
}

int has_surrogate(PyObject *s) noexcept {
    // Only a strict UTF-8 encoding tells, through the stable ABI; the copy is dropped at once.
    Ref bytes = Ref::steal(PyUnicode_AsUTF8String(s));
    if (bytes)
        return 0;
    return catch_pending(PyExc_UnicodeEncodeError) < 0 ? -1 : 1;
}

int json_string_init() noexcept {
    as_utf8_and_size = module::facts.as_utf8_and_size;
    return 0;
}

} // namespace quorbel::handler
