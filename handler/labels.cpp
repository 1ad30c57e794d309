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

#include "module/binding.h"
#include "module/callable.h"
#include "module/names.h"

namespace quorbel::handler {

using module::Kind;
using module::Param;

namespace {

const module::Name kMergeLabelsName{"_merge_labels"};

Ref merge_labels_body(const module::Bound &args) noexcept;

constexpr Param kParams[] = {
    Param::required("base", Kind::OptDict),
    Param::required("extra", Kind::OptDict),
};

constexpr module::Signature kMergeLabels{"_merge_labels", "_merge_labels", kParams,
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

int is_own_merge_labels(PyObject *fn) noexcept {
    return module::is_callable_for(fn, kMergeLabels);
}

} // namespace

Ref make_merge_labels() noexcept { return module::make_callable(kMergeLabels, Py_None); }

Ref call_merge_labels(PyObject *base, PyObject *extra) noexcept {
    module::Found fn;
    if (module::resolve(kMergeLabelsName, is_own_merge_labels, &fn) < 0)
        return {};
    PyObject *const args[] = {base, extra};
    if (fn.standard)
        return module::call_callable(fn.object.get(), args, 2);
    return Ref::steal(PyObject_CallFunctionObjArgs(fn.object.get(), base, extra, nullptr));
}

} // namespace quorbel::handler
