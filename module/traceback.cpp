// Traceback entries named after the module's callables.
//
// The limited API has no PyFrame_New, so a real frame is made by evaluating a tiny code object,
// "_getframe()", compiled under our file name and renamed; PyTraceBack_Here then puts that
// frame in front of the pending exception's traceback, as the interpreter does for Python code.
#include "module/traceback.h"

#include "module/names.h"

namespace quorbel::module {

namespace {

struct {
    PyObject *globals = nullptr;   // {"_getframe": sys._getframe, "__builtins__": builtins}
    PyObject *code_type = nullptr; // types.CodeType, for 3.7, which has no code.replace
    bool has_replace = false;      // 3.8+
    bool has_qualname = false;     // 3.11+: co_qualname
} state;

// 3.7: types.CodeType(argcount, kwonlyargcount, nlocals, stacksize, flags, code, consts,
// names, varnames, filename, name, firstlineno, lnotab, freevars, cellvars).
Ref rebuild_code_37(PyObject *code, PyObject *name) noexcept {
    static const char *const fields[] = {
        "co_argcount", "co_kwonlyargcount", "co_nlocals",   "co_stacksize", "co_flags",
        "co_code",     "co_consts",         "co_names",     "co_varnames",  "co_filename",
        nullptr,       "co_firstlineno",    "co_lnotab",    "co_freevars",  "co_cellvars"};
    constexpr Py_ssize_t n = sizeof(fields) / sizeof(fields[0]);
    Ref args = Ref::steal(PyTuple_New(n));
    if (!args)
        return {};
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref value =
            fields[i] ? Ref::steal(PyObject_GetAttrString(code, fields[i])) : Ref::borrow(name);
        if (!value || PyTuple_SetItem(args.get(), i, value.release()) < 0) // steals
            return {};
    }
    return Ref::steal(PyObject_CallObject(state.code_type, args.get()));
}

} // namespace

int init_traceback() noexcept {
    if (state.globals != nullptr)
        return 0;
    Ref sys = Ref::steal(PyImport_ImportModule("sys"));
    Ref types = Ref::steal(PyImport_ImportModule("types"));
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!sys || !types || !builtins)
        return -1;
    Ref getframe = Ref::steal(PyObject_GetAttrString(sys.get(), "_getframe"));
    Ref code_type = Ref::steal(PyObject_GetAttrString(types.get(), "CodeType"));
    Ref globals = Ref::steal(PyDict_New());
    if (!getframe || !code_type || !globals ||
        PyDict_SetItemString(globals.get(), "_getframe", getframe.get()) < 0 ||
        PyDict_SetItem(globals.get(), names.builtins, builtins.get()) < 0)
        return -1;
    Ref probe = Ref::steal(Py_CompileString("0", kSourceFile, Py_eval_input));
    if (!probe)
        return -1;
    state.has_replace = PyObject_HasAttrString(probe.get(), "replace") == 1;
    state.has_qualname = PyObject_HasAttrString(probe.get(), "co_qualname") == 1;
    state.code_type = code_type.release();
    state.globals = globals.release();
    return 0;
}

Ref rename_code(PyObject *code, PyObject *name, PyObject *qualname) noexcept {
    if (!state.has_replace)
        return rebuild_code_37(code, name);
    Ref replace = Ref::steal(PyObject_GetAttrString(code, "replace"));
    Ref empty = Ref::steal(PyTuple_New(0));
    Ref kwargs = Ref::steal(PyDict_New());
    if (!replace || !empty || !kwargs || PyDict_SetItemString(kwargs.get(), "co_name", name) < 0)
        return {};
    if (state.has_qualname && PyDict_SetItemString(kwargs.get(), "co_qualname", qualname) < 0)
        return {};
    return Ref::steal(PyObject_Call(replace.get(), empty.get(), kwargs.get()));
}

Ref make_traceback_code(const char *name) noexcept {
    Ref code = Ref::steal(Py_CompileString("_getframe()", kSourceFile, Py_eval_input));
    Ref text = Ref::steal(PyUnicode_FromString(name));
    if (!code || !text)
        return {};
    return rename_code(code.get(), text.get(), text.get());
}

void add_traceback_entry(PyObject *code) noexcept {
    Ref frame;
    {
        ErrorScope keep;
        frame = Ref::steal(PyEval_EvalCode(code, state.globals, nullptr));
        if (!frame)
            PyErr_Clear();
    }
    if (frame)
        PyTraceBack_Here(reinterpret_cast<struct _frame *>(frame.get()));
}

} // namespace quorbel::module
