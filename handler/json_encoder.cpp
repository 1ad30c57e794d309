// The payload walker: dicts, lists and tuples traversed in json's order, each scalar handed to
// its writer, and the text decoded once. Equivalent Python, for payloads made only of exact
// dicts, lists, tuples, strs, ints, floats, bools and None:
//
//     text = json.dumps(payload, ensure_ascii=False, separators=(",", ":"))
//     text = "".join("\\u%04x" % ord(c) if 0xD800 <= ord(c) <= 0xDFFF else c for c in text)
//
// The text must be exactly what json's C encoder writes (escapes, float repr, key conversions,
// order), so anything outside that set is left to json.dumps itself.
#include "handler/json_encoder.h"

#include "handler/json_buffer.h"
#include "handler/json_number.h"
#include "handler/json_string.h"

namespace quorbel::handler {

namespace {

// Beyond this depth the payload goes to json.dumps, which then either manages or raises
// RecursionError as it always did. Also bounds the path kept for the circular check.
constexpr int kMaxDepth = 100;

class Encoder {
  public:
    Buffer out;
    bool ascii = true;

    // Off for the texts that are new in every record (ts, msg), which would only evict.
    bool cache_strs = true;

    // value() for ts and msg, each held by the caller's own reference.
    Encoded owned(PyObject *o) noexcept {
        if (PyUnicode_CheckExact(o))
            return ok(put_str_owned(out, o, &ascii));
        return value(o);
    }

    Encoded value(PyObject *o) noexcept {
        if (PyUnicode_CheckExact(o))
            return ok(cache_strs ? put_str_cached(out, o, &ascii) : put_str(out, o, &ascii));
        if (PyLong_CheckExact(o)) // exact: excludes bool
            return ok(put_int(out, o));
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
            return array<true>(o);
        if (PyTuple_CheckExact(o))
            return array<false>(o);
        return Encoded::Unsupported;
    }

    // The merged labels: the object the merge returned, or its entries written as that dict.
    Encoded labels(const MergedLabels &l) noexcept {
        if (l.returned() != nullptr)
            return value(l.returned());
        char separator = '{';
        for (const MergedLabels::Entry &e : l) {
            if (!out.append(&separator, 1) || !put_str_cached(out, e.key, &ascii) ||
                !out.append(":"))
                return Encoded::Error;
            separator = ',';
            if (e.text ? !put_str_cached(out, e.text, &ascii)
                       : !(out.append("\"") && put_digits(out, e.number) && out.append("\"")))
                return Encoded::Error;
        }
        return ok(separator == '{' ? out.append("{}") : out.append("}"));
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
            r = ok(put_int(out, k));
        else
            return Encoded::Unsupported;
        if (r != Encoded::Ok)
            return r;
        return ok(out.append("\""));
    }

    // Enters container c and writes its opening bracket.
    Encoded open(PyObject *c, char bracket) noexcept {
        Encoded r = enter(c);
        if (r != Encoded::Ok)
            return r;
        return ok(out.append(&bracket, 1));
    }

    Encoded dict(PyObject *d) noexcept {
        if (PyDict_Size(d) == 0)
            return ok(out.append("{}"));
        Encoded r = open(d, '{');
        if (r != Encoded::Ok)
            return r;
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

    // A list or a tuple. A list's size is read again on each step, so the index never passes
    // the live end, and its items are held; a tuple's never change.
    template <bool kList> Encoded array(PyObject *a) noexcept {
        const Py_ssize_t tuple_size = kList ? 0 : PyTuple_Size(a);
        auto size = [&]() noexcept { return kList ? PyList_Size(a) : tuple_size; };
        if (size() == 0)
            return ok(out.append("[]"));
        Encoded r = open(a, '[');
        if (r != Encoded::Ok)
            return r;
        Ref hold = kList ? Ref::borrow(a) : Ref();
        for (Py_ssize_t i = 0; i < size(); ++i) {
            PyObject *item = kList ? PyList_GetItem(a, i) : PyTuple_GetItem(a, i);
            Ref item_hold = kList ? Ref::borrow(item) : Ref();
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

} // namespace

Encoded encode_payload(PyObject *ts, long long ts_ns, PyObject *level, PyObject *msg,
                       const MergedLabels &labels, PyObject *ctx, Ref *out) noexcept {
    Encoder enc;
    Encoded r;
    if (!enc.out.append("{\"ts\":"))
        return Encoded::Error;
    enc.cache_strs = false;
    if (ts == nullptr) {
        // The str of ts_ns would be its digits: written as the JSON string of them.
        if (!enc.out.append("\"") || !put_digits(enc.out, ts_ns) || !enc.out.append("\""))
            return Encoded::Error;
    } else if ((r = enc.owned(ts)) != Encoded::Ok) {
        return r;
    }
    if (!enc.out.append(",\"level\":"))
        return Encoded::Error;
    enc.cache_strs = true; // one of a few objects, the same in every record
    if ((r = enc.value(level)) != Encoded::Ok)
        return r;
    enc.cache_strs = false;
    if (!enc.out.append(",\"msg\":"))
        return Encoded::Error;
    if ((r = enc.owned(msg)) != Encoded::Ok)
        return r;
    enc.cache_strs = true;
    if (!enc.out.append(",\"labels\":"))
        return Encoded::Error;
    if ((r = enc.labels(labels)) != Encoded::Ok)
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

Ref escape_surrogates(PyObject *text) noexcept {
    if (!PyUnicode_Check(text))
        return Ref::borrow(text);
    int found = has_surrogate(text);
    if (found <= 0)
        return found < 0 ? Ref() : Ref::borrow(text);
    Buffer out;
    bool ascii = true;
    if (!put_surrogates_escaped(out, text, &ascii))
        return {};
    return decode(out, ascii);
}

int json_encoder_init() noexcept { return json_string_init(); }

} // namespace quorbel::handler
