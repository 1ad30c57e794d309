// The argument binder shared by every callable of the module.
#include "module/binder.h"

#include "module/names.h"
#include "module/vectorcall.h"

namespace quorbel::module {

namespace {

const Name kIndex{"__index__"};

constexpr const char *kSubclassNote = "Note that quorbel refuses subclasses of built-in types.";

void raise_count(const Signature &sig, const char *words, Py_ssize_t number,
                 Py_ssize_t given) noexcept {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 sig.name, words, number, number == 1 ? "" : "s", given);
}

// Too few or too many positional arguments, with the words the count rule uses.
void raise_count_for(const Signature &sig, int required, bool too_few, Py_ssize_t given) noexcept {
    if (required == sig.count)
        raise_count(sig, "exactly", sig.count, given);
    else if (too_few)
        raise_count(sig, "at least", required, given);
    else
        raise_count(sig, "at most", sig.count, given);
}

int convert(const Param &p, PyObject *&value, Ref &owned) noexcept {
    if (p.kind == Kind::Int) {
        if (PyLong_CheckExact(value))
            return 0;
        const int number = has_number_protocol(value);
        if (number < 0)
            return -1;
        if (!number) {
            Ref got = type_qualname(Py_TYPE(value));
            if (got)
                PyErr_Format(PyExc_TypeError,
                             "Argument '%.200s' has incorrect type (expected %.200s, got %U)",
                             p.name, "int", got.get());
            return -1;
        }
        owned = Ref::steal(PyNumber_Long(value));
        if (!owned)
            return -1;
        value = owned.get();
    } else if (p.kind == Kind::Bool) {
        if (value == Py_True || value == Py_False)
            return 0;
        int truth = value == Py_None ? 0 : PyObject_IsTrue(value);
        if (truth < 0)
            return -1;
        value = truth ? Py_True : Py_False;
    }
    return 0;
}

// The exact-type pass for one value its kind does not take at sight: the row's conversion, if
// it has one, else the refusal. Out of line: inlined, it costs finish()'s fast path
// instructions on every call.
[[gnu::noinline]] int check(const Param &p, PyObject *&value, Ref &owned) noexcept {
    bool ok = true;
    PyTypeObject *expected = &PyUnicode_Type;
    const char *expected_name = "str";
    switch (p.kind) {
    case Kind::Str:
        ok = PyUnicode_CheckExact(value);
        break;
    case Kind::OptStr:
        ok = value == Py_None || PyUnicode_CheckExact(value);
        break;
    case Kind::OptDict:
        ok = value == Py_None || PyDict_CheckExact(value);
        expected = &PyDict_Type;
        expected_name = "dict";
        break;
    case Kind::Int:
        ok = PyLong_CheckExact(value);
        expected = &PyLong_Type;
        expected_name = "int";
        break;
    case Kind::Any:
    case Kind::Bool:
        break;
    }
    if (ok)
        return 0;
    if (p.adapt != nullptr) {
        Ref adapted;
        if (p.adapt(value, adapted) < 0)
            return -1;
        if (adapted) {
            owned = std::move(adapted);
            value = owned.get();
            return 0;
        }
    }
    raise_incorrect_type(p.name, expected, expected_name, value);
    return -1;
}

// Scans the caller's keywords in order for the first one that the parameters did not take.
void raise_keyword_error(const Signature &sig, PyObject *names_tuple, PyObject *kwargs,
                         Py_ssize_t positional) noexcept {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", sig.name);
            return;
        }
        int index = -1;
        for (int i = 0; i < sig.count; ++i) {
            if (PyUnicode_Compare(key, PyTuple_GetItem(names_tuple, i)) == 0) {
                index = i;
                break;
            }
        }
        if (index >= positional)
            continue;
        if (index >= 0)
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         sig.name, key);
        else
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name,
                         key);
        return;
    }
    // Every key matched after all (a key compared equal without being one of ours).
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument", sig.name);
}

} // namespace

// 3.7: PyNumber_Check ignores __index__, so look for it on the type ourselves.
int has_number_protocol(PyObject *v) noexcept {
    if (PyNumber_Check(v) || PyComplex_Check(v))
        return 1;
    Ref index = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject *>(Py_TYPE(v)), kIndex));
    if (index)
        return 1;
    return catch_pending(PyExc_AttributeError);
}

Ref type_qualname(PyTypeObject *type) noexcept {
    PyObject *t = reinterpret_cast<PyObject *>(type);
    Ref qualname = Ref::steal(PyObject_GetAttr(t, kDunderQualname));
    if (!qualname || !PyUnicode_Check(qualname.get())) {
        if (!qualname && !PyErr_ExceptionMatches(PyExc_AttributeError))
            return {};
        PyErr_Clear();
        return Ref::steal(PyUnicode_FromString("?"));
    }
    Ref module = Ref::steal(PyObject_GetAttr(t, kDunderModule));
    if (!module)
        return catch_pending(PyExc_AttributeError) < 0 ? Ref() : std::move(qualname);
    if (!PyUnicode_Check(module.get()) ||
        PyUnicode_CompareWithASCIIString(module.get(), "builtins") == 0)
        return qualname;
    return Ref::steal(PyUnicode_FromFormat("%U.%U", module.get(), qualname.get()));
}

void raise_incorrect_type(const char *param, PyTypeObject *expected, const char *expected_name,
                          PyObject *value) noexcept {
    Ref got = type_qualname(Py_TYPE(value));
    if (!got)
        return;
    bool subclass = PyObject_TypeCheck(value, expected);
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %s, got %U)%s%s",
                 param, expected_name, got.get(), subclass ? ". " : "",
                 subclass ? kSubclassNote : "");
}

int bind_args(const Signature &sig, PyObject *names_tuple, PyObject *defaults, PyObject *args,
              PyObject *kwargs, Bound &out) noexcept {
    Py_ssize_t nargs = PyTuple_Size(args);
    Py_ssize_t nkw = kwargs ? PyDict_Size(kwargs) : 0;
    if (sig.no_args) {
        if (nkw > 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", sig.name);
            return -1;
        }
        if (nargs > 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", sig.name,
                         nargs);
            return -1;
        }
        return 0;
    }
    const int required = sig.required;
    if (nargs > sig.count || (nkw == 0 && nargs < required)) {
        raise_count_for(sig, required, nargs < required, nargs);
        return -1;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i)
        out.values_[i] = PyTuple_GetItem(args, i);
    if (nkw > 0) {
        Py_ssize_t matched = 0;
        for (int i = static_cast<int>(nargs); i < sig.count; ++i) {
            PyObject *v = PyDict_GetItemWithError(kwargs, PyTuple_GetItem(names_tuple, i));
            if (v == nullptr) {
                if (PyErr_Occurred())
                    return -1;
                continue;
            }
            // Owned: a key's __eq__ run by a later lookup could mutate the caller's dict.
            out.values_[i] = out.keep(Ref::borrow(v));
            ++matched;
        }
        if (matched < nkw) {
            raise_keyword_error(sig, names_tuple, kwargs, nargs);
            return -1;
        }
        for (int i = 0; i < required; ++i) {
            if (out.values_[i] == nullptr) {
                raise_count(sig, required == sig.count ? "exactly" : "at least", required, i);
                return -1;
            }
        }
    }
    return out.finish(sig, defaults, required);
}

int Bound::finish(const Signature &sig, PyObject *defaults, int required) noexcept {
    for (int i = required; i < sig.count; ++i) {
        if (values_[i] == nullptr)
            values_[i] = PyTuple_GetItem(defaults, i - required);
    }
    if (sig.converts) {
        for (int i = 0; i < sig.count; ++i) {
            Ref owned;
            if (convert(sig.params[i], values_[i], owned) < 0)
                return -1;
            if (owned)
                keep(std::move(owned));
        }
    }
    for (int i = 0; i < sig.count; ++i) {
        // The values that calls pass almost always; check() decides the rest.
        PyObject *v = values_[i];
        const Kind kind = sig.params[i].kind;
        if (kind == Kind::Any || (kind == Kind::Str && PyUnicode_CheckExact(v)) ||
            (kind == Kind::OptDict && (v == Py_None || PyDict_CheckExact(v))))
            continue;
        Ref owned;
        if (check(sig.params[i], values_[i], owned) < 0)
            return -1;
        if (owned)
            keep(std::move(owned));
    }
    return 0;
}

int bind_vector(const Signature &sig, PyObject *names_tuple, PyObject *defaults,
                PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, Bound &out) noexcept {
    const Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
    if (sig.no_args) {
        if (nargs == 0 && nkw == 0)
            return 0;
    } else if (nargs <= sig.count) {
        const int required = sig.required;
        bool in_place = true;
        for (Py_ssize_t i = 0; i < nargs; ++i)
            out.values_[i] = args[i];
        for (Py_ssize_t k = 0; k < nkw && in_place; ++k) {
            PyObject *key = PyTuple_GetItem(kwnames, k);
            // Keywords from Python code are the interned names themselves; an equal str made
            // at run time is found by comparing. A str subclass key may compare in its own
            // way: the dict path decides.
            int slot = -1;
            for (int i = static_cast<int>(nargs); i < sig.count && slot < 0; ++i)
                if (PyTuple_GetItem(names_tuple, i) == key)
                    slot = i;
            for (int i = static_cast<int>(nargs);
                 i < sig.count && slot < 0 && PyUnicode_CheckExact(key); ++i)
                if (PyUnicode_Compare(PyTuple_GetItem(names_tuple, i), key) == 0)
                    slot = i;
            if (slot < 0 || out.values_[slot] != nullptr)
                in_place = false;
            else
                out.values_[slot] = args[nargs + k];
        }
        for (int i = 0; i < required && in_place; ++i)
            in_place = out.values_[i] != nullptr;
        if (in_place)
            return out.finish(sig, defaults, required);
        for (PyObject *&v : out.values_)
            v = nullptr;
    }
    Ref tuple, kwargs;
    if (pack_args(args, nargs, kwnames, &tuple, &kwargs) < 0)
        return -1;
    return bind_args(sig, names_tuple, defaults, tuple.get(), kwargs.get(), out);
}

Ref make_defaults(const Signature &sig, PyObject *stored) noexcept {
    const int required = sig.required;
    if (required == sig.count)
        return Ref::borrow(Py_None);
    Ref tuple = Ref::steal(PyTuple_New(sig.count - required));
    if (!tuple)
        return {};
    for (int i = required; i < sig.count; ++i) {
        const Param &p = sig.params[i];
        Ref value;
        switch (p.def) {
        case Default::Required:
        case Default::None:
            value = Ref::borrow(Py_None);
            break;
        case Default::True:
            value = Ref::borrow(Py_True);
            break;
        case Default::False:
            value = Ref::borrow(Py_False);
            break;
        case Default::Int:
            value = Ref::steal(PyLong_FromLongLong(p.int_value));
            break;
        case Default::Str:
            value = Ref::steal(PyUnicode_InternFromString(p.str_value));
            break;
        case Default::Stored:
            value = Ref::borrow(stored);
            break;
        }
        if (!value || PyTuple_SetItem(tuple.get(), i - required, value.release()) < 0) // steals
            return {};
    }
    return tuple;
}

Ref make_annotations(const Signature &sig) noexcept {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict)
        return {};
    for (int i = 0; i < sig.count; ++i) {
        const Param &p = sig.params[i];
        if (p.annotation == nullptr)
            continue;
        Ref text = Ref::steal(PyUnicode_FromString(p.annotation));
        if (!text || PyDict_SetItemString(dict.get(), p.name, text.get()) < 0)
            return {};
    }
    if (sig.returns != nullptr) {
        Ref text = Ref::steal(PyUnicode_FromString(sig.returns));
        if (!text || PyDict_SetItemString(dict.get(), "return", text.get()) < 0)
            return {};
    }
    return dict;
}

Ref make_param_names(const Signature &sig) noexcept {
    Ref tuple = Ref::steal(PyTuple_New(sig.count));
    if (!tuple)
        return {};
    for (int i = 0; i < sig.count; ++i) {
        PyObject *name = PyUnicode_InternFromString(sig.params[i].name);
        if (name == nullptr || PyTuple_SetItem(tuple.get(), i, name) < 0) // steals
            return {};
    }
    return tuple;
}

} // namespace quorbel::module
