// Description of a callable's signature, and the one binder that turns (args, kwargs) into values.
#pragma once

#include "module/ref.h"

namespace quorbel::module {

// How a parameter is converted and tested; decided by its annotation string.
enum class Kind : unsigned char {
    Any,     // "Any", "logging.LogRecord", "logging.Logger", self: untested
    Str,     // "str": exactly str
    OptStr,  // "Optional[str]": exactly str, or None
    OptDict, // "Optional[Dict[str, Any]]": exactly dict, or None
    Int,     // "int": numbers converted with int(), then exactly int
    Bool,    // "bool": reduced to True or False
};

// The default of a parameter; Stored is a value computed at import (get_logger's level).
enum class Default : unsigned char { Required, None, True, False, Int, Str, Stored };

struct Param {
    const char *name;
    const char *annotation; // nullptr: no entry in __annotations__
    Kind kind;
    Default def;
    long long int_value = 0;
    const char *str_value = nullptr;
    // OptDict only: also take logging.config.ConvertingDict, as a plain dict copy, so that
    // dictConfig users can pass a mapping.
    bool config_dict = false;
};

class Bound;
using Body = Ref (*)(const Bound &);

inline constexpr int kMaxParams = 11;

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
    bool no_args = false; // "takes no arguments" style messages (_now_ns)
};

// Bound arguments: borrowed values in parameter order. Converted values are owned here.
class Bound {
  public:
    PyObject *operator[](int i) const noexcept { return values_[i]; }
    // "bool" parameters hold Py_True or Py_False after binding.
    bool truth(int i) const noexcept { return values_[i] == Py_True; }

  private:
    friend int bind_args(const Signature &, PyObject *, PyObject *, PyObject *, PyObject *,
                         Bound &) noexcept;
    friend int bind_vector(const Signature &, PyObject *, PyObject *, PyObject *const *,
                           Py_ssize_t, PyObject *, Bound &) noexcept;
    // With every given argument in place: the defaults, then the conversion and exact-type
    // passes.
    int finish(const Signature &sig, PyObject *defaults, int required) noexcept;
    PyObject *values_[kMaxParams] = {};
    Ref owned_[kMaxParams];
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

// The exact-type refusal for one value ("Argument 'x' has incorrect type (...)"), shared with
// bodies that check a value themselves. expected_name is "str", "dict" or "int".
void raise_incorrect_type(const char *param, PyTypeObject *expected, const char *expected_name,
                          PyObject *value) noexcept;

// Whether int() may be tried on v: an integer, index or float conversion, or a complex number.
bool has_number_protocol(PyObject *v) noexcept;

// The qualified name of a type as messages show it ("str", "collections.OrderedDict").
Ref type_qualname(PyTypeObject *type) noexcept;

// The tuple of defaults of the trailing optional parameters, or None when there are none.
Ref make_defaults(const Signature &sig, PyObject *stored) noexcept;
// {parameter: annotation, ..., "return": annotation}, in parameter order.
Ref make_annotations(const Signature &sig) noexcept;
// The tuple of interned parameter names.
Ref make_param_names(const Signature &sig) noexcept;

} // namespace quorbel::module
