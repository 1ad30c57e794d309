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

#include <charconv>
#include <initializer_list>

#include "module/callable.h"
#include "module/names.h"
#include "module/namespace.h"

namespace quorbel::handler {

using module::Default;
using module::Kind;
using module::names;

namespace {

Ref merge_labels_body(const module::Bound &args) noexcept;

const module::Param kParams[] = {
    {"base", "Optional[Dict[str, Any]]", Kind::OptDict, Default::Required},
    {"extra", "Optional[Dict[str, Any]]", Kind::OptDict, Default::Required},
};

const module::Signature kMergeLabels{"_merge_labels", "_merge_labels", kParams, 2,
                                     "Dict[str, str]", nullptr, merge_labels_body};

Ref text_of(PyObject *v) noexcept {
    if (PyUnicode_CheckExact(v))
        return Ref::borrow(v);
    if (PyLong_CheckExact(v)) {
        // str() of an exact int (a status code, an id) without the general conversion.
        int overflow = 0;
        long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (!overflow) {
            if (n == -1 && PyErr_Occurred())
                return {};
            char digits[24];
            char *end = std::to_chars(digits, digits + sizeof digits, n).ptr;
            return Ref::steal(PyUnicode_DecodeASCII(digits, end - digits, nullptr));
        }
    }
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

bool is_label_input(PyObject *v) noexcept { return v == Py_None || PyDict_CheckExact(v); }

} // namespace

Ref make_merge_labels() noexcept { return module::make_callable(kMergeLabels, Py_None); }

Ref call_merge_labels(PyObject *base, PyObject *extra) noexcept {
    Ref fn = module::lookup(names.merge_labels);
    if (!fn)
        return {};
    if (!module::is_callable_for(fn.get(), kMergeLabels))
        return Ref::steal(PyObject_CallFunctionObjArgs(fn.get(), base, extra, nullptr));
    // Our own function: the binder's exact-type pass, then the body, without an args tuple.
    if (!is_label_input(base)) {
        module::raise_incorrect_type("base", &PyDict_Type, "dict", base);
        return {};
    }
    if (!is_label_input(extra)) {
        module::raise_incorrect_type("extra", &PyDict_Type, "dict", extra);
        return {};
    }
    return merge(base, extra);
}

} // namespace quorbel::handler
