// Description of a callable's signature, and the one binder that turns (args, kwargs) into values.
#pragma once

#include <cstddef>

#include "module/ref.h"

namespace quorbel::module {

// How a parameter is converted and tested.
enum class Kind : unsigned char {
    Any,     // untested
    Str,     // exactly str
    OptStr,  // exactly str, or None
    OptDict, // exactly dict, or None
    Int,     // numbers converted with int(), then exactly int
    Bool,    // reduced to True or False
};

// The default of a parameter; Stored is a value computed at import and passed in.
enum class Default : unsigned char { Required, None, True, False, Int, Str, Stored };

// A conversion that a parameter's row asks for, tried on a value its kind refuses: `adapted` is
// set to a value of the kind to bind instead, or left empty (no exception) to refuse it. -1 with
// an exception set when the conversion itself failed.
using Adapt = int (*)(PyObject *value, Ref &adapted) noexcept;

// One row of a signature table, made by the named constructors below. The annotation text
// follows from the kind, except for Any, whose text is given (none for self).
struct Param {
    const char *name;
    const char *annotation; // nullptr: no entry in __annotations__
    Kind kind;
    Default def;
    long long int_value = 0;
    const char *str_value = nullptr;
    Adapt adapt = nullptr;

    static constexpr Param self() { return {"self", nullptr, Kind::Any, Default::Required}; }
    // Required, of any type; `annotation` is its text.
    static constexpr Param any(const char *name, const char *annotation) {
        return {name, annotation, Kind::Any, Default::Required};
    }
    static constexpr Param required(const char *name, Kind kind) {
        return {name, annotation_of(kind), kind, Default::Required};
    }
    // Defaults to None (an Any parameter is annotated "Any").
    static constexpr Param optional(const char *name, Kind kind) {
        return {name, annotation_of(kind), kind, Default::None};
    }
    static constexpr Param integer(const char *name, long long value) {
        return {name, annotation_of(Kind::Int), Kind::Int, Default::Int, value};
    }
    static constexpr Param text(const char *name, const char *value) {
        return {name, annotation_of(Kind::Str), Kind::Str, Default::Str, 0, value};
    }
    static constexpr Param flag(const char *name, bool value) {
        return {name, annotation_of(Kind::Bool), Kind::Bool,
                value ? Default::True : Default::False};
    }
    // The default is the value passed to make_defaults as `stored`.
    static constexpr Param stored(const char *name, Kind kind) {
        return {name, annotation_of(kind), kind, Default::Stored};
    }
    // The same row, with `adapt` tried on what its kind refuses.
    constexpr Param adapted_by(Adapt f) const {
        Param p = *this;
        p.adapt = f;
        return p;
    }

    static constexpr const char *annotation_of(Kind kind) {
        switch (kind) {
        case Kind::Str:
            return "str";
        case Kind::OptStr:
            return "Optional[str]";
        case Kind::OptDict:
            return "Optional[Dict[str, Any]]";
        case Kind::Int:
            return "int";
        case Kind::Bool:
            return "bool";
        case Kind::Any:
            break;
        }
        return "Any";
    }
};

class Bound;
using Body = Ref (*)(const Bound &);

inline constexpr int kMaxParams = 12;

// Everything about a callable that is fixed when the module is built: introspection
// attributes and binding behaviour both come from here, so they cannot drift apart.
struct Signature {
    const char *name;     // __name__, and the name in binding messages
    const char *qualname; // __qualname__; the traceback entry is "quorbel." + qualname
    const Param *params;
    int count;
    const char *returns; // return annotation, nullptr for none
    const char *doc;     // __doc__, nullptr for None
    Body body;
    bool no_args = false;  // "takes no arguments" style messages (_now_ns)
    int required = 0;      // the leading parameters without a default
    bool converts = false; // some parameter is converted (int(), truth) before the type checks

    template <std::size_t N>
    constexpr Signature(const char *name, const char *qualname, const Param (&params)[N],
                        const char *returns, const char *doc, Body body)
        : name(name), qualname(qualname), params(params), count(static_cast<int>(N)),
          returns(returns), doc(doc), body(body) {
        static_assert(N <= kMaxParams, "more parameters than Bound holds");
        while (required < count && params[required].def == Default::Required)
            ++required;
        for (const Param &p : params)
            converts = converts || p.kind == Kind::Int || p.kind == Kind::Bool;
    }
    // A callable that takes no arguments at all.
    static constexpr Signature nullary(const char *name, const char *returns, Body body) {
        return Signature(name, returns, body);
    }

  private:
    constexpr Signature(const char *name, const char *returns, Body body)
        : name(name), qualname(name), params(nullptr), count(0), returns(returns), doc(nullptr),
          body(body), no_args(true) {}
};

// Bound arguments: borrowed values in parameter order. Converted values are owned here.
class Bound {
  public:
    Bound() noexcept = default;
    Bound(const Bound &) = delete;
    Bound &operator=(const Bound &) = delete;
    ~Bound() {
        for (int i = 0; i < kept_; ++i)
            Py_DECREF(owned_[i]);
    }
    PyObject *operator[](int i) const noexcept { return values_[i]; }
    // "bool" parameters hold Py_True or Py_False after binding.
    bool truth(int i) const noexcept { return values_[i] == Py_True; }

  private:
    friend int bind_args(const Signature &, PyObject *, PyObject *, PyObject *, PyObject *,
                         Bound &) noexcept;
    friend int bind_vector(const Signature &, PyObject *, PyObject *, PyObject *const *, Py_ssize_t,
                           PyObject *, Bound &) noexcept;
    // With every given argument in place: the defaults, then the conversion and exact-type
    // passes.
    int finish(const Signature &sig, PyObject *defaults, int required) noexcept;
    // Holds r's reference until the binding ends; returns its object.
    PyObject *keep(Ref r) noexcept {
        PyObject *p = r.release();
        owned_[kept_++] = p;
        return p;
    }
    PyObject *values_[kMaxParams] = {};
    // A keyword's value, then a converted value, at most, for each parameter.
    PyObject *owned_[2 * kMaxParams];
    int kept_ = 0;
};

// Binds args (a tuple) and kwargs (a dict or NULL) to sig's parameters: counts, keywords,
// defaults (the trailing values of `defaults`, a tuple or None), then the conversion pass and
// the exact-type pass. `names` is the tuple of interned parameter names. -1 with TypeError (or a
// conversion's own exception) set when the call is refused.
int bind_args(const Signature &sig, PyObject *names, PyObject *defaults, PyObject *args,
              PyObject *kwargs, Bound &out) noexcept;

// The same for a vectorcall: args[0..nargs) by position, then one value for each name of
// kwnames (a tuple, or NULL). What calls from Python pass (positions, then known keywords) is
// bound in place; anything else goes through bind_args, so that every refusal and its message
// comes from one code path.
int bind_vector(const Signature &sig, PyObject *names, PyObject *defaults, PyObject *const *args,
                Py_ssize_t nargs, PyObject *kwnames, Bound &out) noexcept;

// The exact-type refusal for one value ("Argument 'x' has incorrect type (expected <name>, got
// ...)"). Exported for quorbel_batch's bodies, which check some values themselves.
void raise_incorrect_type(const char *param, PyTypeObject *expected, const char *expected_name,
                          PyObject *value) noexcept;

// Whether int() may be tried on v: an integer, index or float conversion, or a complex number.
// 1 or 0; -1 with an exception set when the test itself failed.
int has_number_protocol(PyObject *v) noexcept;

// The qualified name of a type as messages show it ("str", "collections.OrderedDict").
Ref type_qualname(PyTypeObject *type) noexcept;

// The tuple of defaults of the trailing optional parameters, or None when there are none.
Ref make_defaults(const Signature &sig, PyObject *stored) noexcept;
// {parameter: annotation, ..., "return": annotation}, in parameter order.
Ref make_annotations(const Signature &sig) noexcept;
// The tuple of interned parameter names.
Ref make_param_names(const Signature &sig) noexcept;

} // namespace quorbel::module
