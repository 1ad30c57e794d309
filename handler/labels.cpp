// Label merging: _merge_labels.
//
//     def _merge_labels(base, extra) -> "Dict[str, str]":
//         out = {}
//         for src in (base, extra):
//             if src:
//                 for k, v in src.items():
//                     if v is not None:
//                         v = v if type(v) is str else str(v)
//                         out[k if type(k) is str else str(k)] = v
//         return out
#include "handler/labels.h"

#include <initializer_list>

#include "handler/digits.h"
#include "handler/shared_names.h"
#include "module/binding.h"
#include "module/callable.h"
#include "module/names.h"

namespace quorbel::handler {

using module::Kind;
using module::Param;

namespace {

Ref merge_labels_body(const module::Bound &args) noexcept;

constexpr Param kParams[] = {
    Param::required("base", Kind::OptDict),
    Param::required("extra", Kind::OptDict),
};

constexpr module::Signature kMergeLabels{"_merge_labels",  "_merge_labels", kParams,
                                         "Dict[str, str]", nullptr,         merge_labels_body};

// An exact int within long long, read into *n: 1; another object: 0; -1 with an error.
int small_int(PyObject *v, long long *n) noexcept {
    if (!PyLong_CheckExact(v))
        return 0;
    int overflow = 0;
    *n = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (*n == -1 && PyErr_Occurred())
        return -1;
    return overflow ? 0 : 1;
}

Ref text_of(PyObject *v) noexcept {
    if (PyUnicode_CheckExact(v))
        return Ref::borrow(v);
    // str() of an exact int (a status code, an id) without the general conversion.
    long long n;
    const int small = small_int(v, &n);
    if (small != 0)
        return small > 0 ? digits_text(n) : Ref();
    return Ref::steal(PyObject_Str(v));
}

// Walks src's items into out. str() of a key or value may run code that resizes src, which
// the walk reports as Python's dict iteration does.
int merge_into(PyObject *out, PyObject *src) noexcept {
    const Py_ssize_t size = PyDict_Size(src);
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(src, &pos, &k, &v)) {
        if (v != Py_None) {
            // Owned: converting may drop src's references to them.
            Ref key = Ref::borrow(k);
            Ref value = text_of(v);
            if (!value)
                return -1;
            Ref key_text = text_of(key.get());
            if (!key_text || PyDict_SetItem(out, key_text.get(), value.get()) < 0)
                return -1;
        }
        if (PyDict_Size(src) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return -1;
        }
    }
    return 0;
}

// The body, for inputs already known to be None or exact dicts.
Ref merge(PyObject *base, PyObject *extra) noexcept {
    Ref out = Ref::steal(PyDict_New());
    if (!out)
        return {};
    for (PyObject *src : {base, extra}) {
        if (src != Py_None && PyDict_Size(src) > 0 && merge_into(out.get(), src) < 0)
            return {};
    }
    return out;
}

Ref merge_labels_body(const module::Bound &args) noexcept { return merge(args[0], args[1]); }

int is_own_merge_labels(PyObject *fn) noexcept { return module::is_callable_for(fn, kMergeLabels); }

} // namespace

int merge_labels(PyObject *base, PyObject *extra, MergedLabels *out) noexcept {
    module::Found fn;
    if (module::resolve(global::merge_labels, is_own_merge_labels, &fn) < 0)
        return -1;
    PyObject *const args[] = {base, extra};
    if (!fn.standard) {
        out->object_ =
            Ref::steal(PyObject_CallFunctionObjArgs(fn.object.get(), base, extra, nullptr));
        return out->object_ ? 0 : -1;
    }
    // Plain input is merged here, entry by entry; nothing in that runs Python code, so
    // giving up half-way leaves no trace. Anything else goes to the merge itself.
    int plain = out->add_plain(base);
    if (plain == 1)
        plain = out->add_plain(extra);
    if (plain < 0)
        return -1;
    if (plain == 0) {
        out->clear();
        out->object_ = module::call_callable(fn.object.get(), args, 2);
        return out->object_ ? 0 : -1;
    }
    return 0;
}

// src merged into the entries when it is None, or an exact dict of exact str keys whose values
// are None, exact strs or ints within long long, and the entries have room: 1; otherwise 0; -1
// with an exception set. A later key takes the place of an equal earlier one, as assignment into
// the merged dict does.
int MergedLabels::add_plain(PyObject *src) noexcept {
    if (src == Py_None)
        return 1;
    if (!PyDict_CheckExact(src))
        return 0;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(src, &pos, &k, &v)) {
        if (!PyUnicode_CheckExact(k))
            return 0;
        if (v == Py_None)
            continue;
        long long number = 0;
        if (!PyUnicode_CheckExact(v)) {
            const int small = small_int(v, &number);
            if (small <= 0)
                return small;
        }
        const Py_hash_t hash = PyObject_Hash(k); // a str's: cached, and never fails
        Entry *e = entries_;
        Entry *const last = entries_ + size_;
        while (e != last &&
               !(e->hash == hash && (e->key == k || PyUnicode_Compare(e->key, k) == 0)))
            ++e;
        if (e == last) {
            if (size_ == kMaxEntries)
                return 0;
            Py_INCREF(k);
            *e = {k, nullptr, 0, hash};
            ++size_;
        }
        PyObject *old = e->text;
        e->text = PyUnicode_CheckExact(v) ? Ref::borrow(v).release() : nullptr;
        e->number = number;
        Py_XDECREF(old);
    }
    return 1;
}

void MergedLabels::clear() noexcept {
    for (; size_ > 0; --size_) {
        Py_DECREF(entries_[size_ - 1].key);
        Py_XDECREF(entries_[size_ - 1].text);
    }
}

Ref MergedLabels::object() const noexcept {
    if (object_)
        return Ref::borrow(object_.get());
    Ref dict = Ref::steal(PyDict_New());
    if (!dict)
        return {};
    for (const Entry &e : *this) {
        Ref value = e.text ? Ref::borrow(e.text) : digits_text(e.number);
        if (!value || PyDict_SetItem(dict.get(), e.key, value.get()) < 0)
            return {};
    }
    return dict;
}

Ref make_merge_labels() noexcept { return module::make_callable(kMergeLabels, Py_None); }

} // namespace quorbel::handler
