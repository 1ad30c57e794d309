// The payload text of a stream entry (and of a fallback line).
//
//     json.dumps({"ts": ts, "level": level, "msg": msg, "labels": labels, "ctx": ctx},
//                ensure_ascii=False, separators=(",", ":"))
//
// The native encoder writes the same text without json's per-call machinery, but only while the
// `dumps` that the module's `json` binding has is the standard one: the json package's own
// function, with its code and defaults untouched, running against the standard JSONEncoder and
// its C helpers. Anything else is called exactly as above.
#include "handler/payload.h"

#include "handler/clock.h"
#include "handler/digits.h"
#include "handler/json_encoder.h"
#include "handler/shared_names.h"
#include "module/binding.h"
#include "module/import.h"
#include "module/namespace.h"

namespace quorbel::handler {

using module::Name;

namespace {

const Name kDumps{"dumps"};
const Name kEnsureAscii{"ensure_ascii"};
const Name kSeparators{"separators"};
const Name kComma{","};
const Name kColon{":"};
const Name kTs{"ts"};
const Name kCode{"__code__"};
const Name kKwdefaults{"__kwdefaults__"};
const Name kGlobals{"__globals__"};
const Name kJSONEncoder{"JSONEncoder"};
const Name kEncode{"encode"};
const Name kIterencode{"iterencode"};
const Name kCMakeEncoder{"c_make_encoder"};
const Name kEncodeBasestring{"encode_basestring"};
const Name kFile{"__file__"};
const Name kCoFilename{"co_filename"};
const Name kDict{"__dict__"};
// dumps's keyword-only parameters and their defaults, in order.
const Name kSkipkeys{"skipkeys"};
const Name kCheckCircular{"check_circular"};
const Name kAllowNan{"allow_nan"};
const Name kCls{"cls"};
const Name kIndent{"indent"};
const Name kDefault{"default"};
const Name kSortKeys{"sort_keys"};
const struct {
    const Name &name;
    PyObject *value;
} kDumpsKwdefaults[] = {
    {kSkipkeys, Py_False},  {kEnsureAscii, Py_True}, {kCheckCircular, Py_True},
    {kAllowNan, Py_True},   {kCls, Py_None},         {kIndent, Py_None},
    {kSeparators, Py_None}, {kDefault, Py_None},     {kSortKeys, Py_False},
};

// The standard objects, found once, or all nullptr when they could not be: then every payload
// goes through json.dumps. A function is the standard library's when its code was compiled
// from the standard library's file under the function's own name: a wrapper, or a function
// given another's code, was not.
struct {
    Kept function_type;                      // types.FunctionType
    Kept json_file;                          // the json package's __init__.py
    Kept encoder;                            // json.encoder.JSONEncoder
    Kept encoder_dict;                       // its own dict, which method lookup reads first
    Kept methods[3];                         // its __init__, encode and iterencode
    Kept encoder_globals;                    // the globals those methods read (json.encoder's)
    Kept make_encoder;                       // _json.make_encoder
    PyCFunction encode_basestring = nullptr; // what _json.encode_basestring runs
} std_json;

const Name *const kMethodNames[] = {&module::kDunderInit, &kEncode, &kIterencode};

// The last dumps found standard, and its globals (a function's __globals__ cannot be rebound).
Kept seen_dumps;
Kept seen_globals;
Kept seen_code; // a code object found to be the json package's dumps

int entry_is(PyObject *dict, PyObject *key, PyObject *expected) noexcept {
    PyObject *value = PyDict_GetItemWithError(dict, key);
    if (value == nullptr && PyErr_Occurred())
        return -1;
    return value == expected;
}

// Whether f's code was compiled from `file` under the name `name`: 1, 0, or -1 with an error.
int has_code_from(PyObject *f, PyObject *file, PyObject *name, Ref *code_out) noexcept {
    Ref code = Ref::steal(PyObject_GetAttr(f, kCode));
    if (!code)
        return -1;
    Ref code_name = Ref::steal(PyObject_GetAttr(code.get(), module::kCoName));
    if (!code_name)
        return -1;
    int same = PyObject_RichCompareBool(code_name.get(), name, Py_EQ);
    if (same == 1) {
        Ref filename = Ref::steal(PyObject_GetAttr(code.get(), kCoFilename));
        if (!filename)
            return -1;
        same = PyObject_RichCompareBool(filename.get(), file, Py_EQ);
    }
    if (same == 1 && code_out != nullptr)
        *code_out = std::move(code);
    return same;
}

int code_is_standard(PyObject *dumps) noexcept {
    Ref code = Ref::steal(PyObject_GetAttr(dumps, kCode));
    if (!code)
        return -1;
    if (code.get() == seen_code.get())
        return 1;
    Ref checked;
    const int standard = has_code_from(dumps, std_json.json_file.get(), kDumps, &checked);
    if (standard == 1)
        seen_code.reset(std::move(checked));
    return standard;
}

// Its keyword-only defaults (the payload is always passed, so __defaults__ never applies).
int defaults_are_standard(PyObject *dumps) noexcept {
    Ref kwdefaults = Ref::steal(PyObject_GetAttr(dumps, kKwdefaults));
    if (!kwdefaults)
        return -1;
    PyObject *d = kwdefaults.get();
    constexpr Py_ssize_t n = sizeof kDumpsKwdefaults / sizeof kDumpsKwdefaults[0];
    if (!PyDict_CheckExact(d) || PyDict_Size(d) != n)
        return 0;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    for (const auto &expected : kDumpsKwdefaults) {
        if (!PyDict_Next(d, &pos, &key, &value) || key != expected.name || value != expected.value)
            return 0;
    }
    return 1;
}

// The globals that dumps runs with: JSONEncoder there, and what the class's methods read.
int environment_is_standard(PyObject *globals) noexcept {
    int ok = entry_is(globals, kJSONEncoder, std_json.encoder.get());
    for (int i = 0; ok == 1 && i < 3; ++i)
        ok = entry_is(std_json.encoder_dict.get(), *kMethodNames[i], std_json.methods[i].get());
    if (ok == 1)
        ok = entry_is(std_json.encoder_globals.get(), kCMakeEncoder, std_json.make_encoder.get());
    if (ok != 1)
        return ok;
    PyObject *basestring =
        PyDict_GetItemWithError(std_json.encoder_globals.get(), kEncodeBasestring);
    if (basestring == nullptr)
        return PyErr_Occurred() ? -1 : 0;
    return module::runs_builtin(basestring, std_json.encode_basestring);
}

int is_standard_dumps(PyObject *dumps) noexcept {
    if (!std_json.json_file ||
        reinterpret_cast<PyObject *>(Py_TYPE(dumps)) != std_json.function_type.get())
        return 0;
    int ok = code_is_standard(dumps);
    if (ok == 1)
        ok = defaults_are_standard(dumps);
    if (ok != 1)
        return ok;
    if (dumps != seen_dumps.get()) {
        Ref globals = Ref::steal(PyObject_GetAttr(dumps, kGlobals));
        if (!globals)
            return -1;
        if (!PyDict_Check(globals.get()))
            return 0;
        seen_dumps.reset(Ref::borrow(dumps));
        seen_globals.reset(std::move(globals));
    }
    return environment_is_standard(seen_globals.get());
}

Ref dumps_payload(PyObject *dumps, PyObject *ts, PyObject *level, PyObject *msg, PyObject *labels,
                  PyObject *ctx) noexcept {
    Ref payload = Ref::steal(PyDict_New());
    if (!payload || PyDict_SetItem(payload.get(), kTs, ts) < 0 ||
        PyDict_SetItem(payload.get(), field::level, level) < 0 ||
        PyDict_SetItem(payload.get(), field::msg, msg) < 0 ||
        PyDict_SetItem(payload.get(), field::labels, labels) < 0 ||
        PyDict_SetItem(payload.get(), field::ctx, ctx) < 0)
        return {};
    Ref args = Ref::steal(PyTuple_Pack(1, payload.get()));
    if (!args)
        return {};
    Ref separators = Ref::steal(PyTuple_Pack(2, kComma.get(), kColon.get()));
    if (!separators)
        return {};
    Ref kwargs = Ref::steal(PyDict_New());
    if (!kwargs || PyDict_SetItem(kwargs.get(), kEnsureAscii, Py_False) < 0 ||
        PyDict_SetItem(kwargs.get(), kSeparators, separators.get()) < 0)
        return {};
    Ref text = Ref::steal(PyObject_Call(dumps, args.get(), kwargs.get()));
    if (!text)
        return {};
    return escape_surrogates(text.get());
}

// Finds the standard objects. -1 with an exception set only where the failure is no answer
// ("cannot tell") but a real error: memory, or an exception that is no Exception.
int find_standard_json() noexcept {
    Ref function_type = module::import_attribute("types", "FunctionType");
    if (!function_type)
        return -1;
    Ref json = module::import_module("json");
    if (!json)
        return -1;
    Ref encoder_module = module::import_module("json.encoder");
    if (!encoder_module)
        return -1;
    Ref c_json = module::import_module("_json");
    if (!c_json)
        return -1;
    Ref json_file = Ref::steal(PyObject_GetAttr(json.get(), kFile));
    if (!json_file || !PyUnicode_Check(json_file.get()))
        return 0;
    Ref encoder_file = Ref::steal(PyObject_GetAttr(encoder_module.get(), kFile));
    if (!encoder_file || !PyUnicode_Check(encoder_file.get()))
        return 0;
    Ref encoder = Ref::steal(PyObject_GetAttr(encoder_module.get(), kJSONEncoder));
    if (!encoder || !PyType_Check(encoder.get()))
        return 0;
    Ref proxy = Ref::steal(PyObject_GetAttr(encoder.get(), kDict));
    if (!proxy)
        return 0;
    Ref methods[3];
    for (int i = 0; i < 3; ++i) {
        methods[i] = Ref::steal(PyObject_GetItem(proxy.get(), *kMethodNames[i]));
        if (!methods[i] ||
            has_code_from(methods[i].get(), encoder_file.get(), *kMethodNames[i], nullptr) != 1)
            return 0;
    }
    // The mapping proxy's one referent is the class's own dict, which instance method lookup
    // reads first; checking entries there is cheaper than a class attribute lookup.
    Ref gc = module::import_module("gc");
    if (!gc)
        return -1;
    Ref referents = Ref::steal(PyObject_CallMethod(gc.get(), "get_referents", "O", proxy.get()));
    if (!referents || !PyList_Check(referents.get()) || PyList_Size(referents.get()) != 1)
        return 0;
    PyObject *encoder_dict = PyList_GetItem(referents.get(), 0);
    if (!PyDict_CheckExact(encoder_dict))
        return 0;
    Ref make_encoder = Ref::steal(PyObject_GetAttrString(c_json.get(), "make_encoder"));
    if (!make_encoder)
        return 0;
    Ref encoder_globals = Ref::steal(PyObject_GetAttr(methods[2].get(), kGlobals));
    if (!encoder_globals || !PyDict_Check(encoder_globals.get()))
        return 0;
    std_json.function_type.reset(std::move(function_type));
    std_json.encoder_dict.reset(Ref::borrow(encoder_dict));
    for (int i = 0; i < 3; ++i)
        std_json.methods[i].reset(std::move(methods[i]));
    std_json.encoder_globals.reset(std::move(encoder_globals));
    std_json.make_encoder.reset(std::move(make_encoder));
    std_json.encode_basestring = module::builtin_of(c_json.get(), "encode_basestring");
    std_json.encoder.reset(std::move(encoder));
    std_json.json_file.reset(std::move(json_file));
    return 0;
}

} // namespace

int init_payload() noexcept {
    if (std_json.json_file)
        return 0;
    if (find_standard_json() < 0)
        return -1;
    // "Cannot tell" leaves the native encoder unused; a real failure fails the import.
    if (PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError) || catch_exception() < 0)
            return -1;
    }
    return json_encoder_init();
}

Ref encode_payload_text(PyObject *ts, long long ts_ns, PyObject *level, PyObject *msg,
                        const MergedLabels &labels, PyObject *ctx) noexcept {
    Ref json = module::lookup(global::json);
    if (!json)
        return {};
    module::Found dumps;
    if (module::resolve_attr(json.get(), kDumps, is_standard_dumps, &dumps) < 0)
        return {};
    if (dumps.standard) {
        Ref out;
        switch (encode_payload(ts, ts_ns, level, msg, labels, ctx, &out)) {
        case Encoded::Ok:
            return out;
        case Encoded::Error:
            return {};
        case Encoded::Unsupported:
            break;
        }
    }
    Ref ts_text = ts != nullptr ? Ref::borrow(ts) : digits_text(ts_ns);
    if (!ts_text)
        return {};
    Ref labels_dict = labels.object();
    if (!labels_dict)
        return {};
    return dumps_payload(dumps.object.get(), ts_text.get(), level, msg, labels_dict.get(), ctx);
}

} // namespace quorbel::handler
