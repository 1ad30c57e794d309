// Traceback entries named after the module's callables.
//
// The limited API has no PyFrame_New, so a real frame is made by evaluating a tiny code object,
// "_getframe()", compiled under our file name and renamed; PyTraceBack_Here then puts that
// frame in front of the pending exception's traceback, as the interpreter does for Python code.
// Every frame hands its globals to Python code (tb_frame.f_globals), so each evaluation gets a
// new globals dict, filled from what was captured here: nothing Python can reach is read back.
#include "module/traceback.h"

#include "module/facts.h"
#include "module/import.h"
#include "module/names.h"

namespace quorbel::module {

namespace {

const Name kGetframe{"_getframe"};
const Name kReplace{"replace"};
const Name kCoQualname{"co_qualname"};

// Every code object of the module is made from two templates, compiled once: the compiler is
// what can fail (on 3.7 and 3.13.0 even crash) when memory runs out, so it runs as little as
// possible, and never after the import.
struct {
    Kept frame_code;    // "_getframe()"
    Kept function_code; // `def f(): pass` (3.8+)
    Kept getframe;      // sys._getframe
    Kept builtins;      // the builtins module
    Kept frame_type;    // types.FrameType: what the evaluation must return
    Kept code_type;     // types.CodeType, for 3.7, which has no code.replace
} state;

// code.replace(**changes), with co_qualname=qualname where the interpreter has it (3.11+).
// `changes` is a new dict, or empty when making it failed.
Ref replace_code(PyObject *code, Ref changes, PyObject *qualname) noexcept {
    if (!changes ||
        (facts.code_qualname && PyDict_SetItem(changes.get(), kCoQualname, qualname) < 0))
        return {};
    Ref replace = Ref::steal(PyObject_GetAttr(code, kReplace));
    if (!replace)
        return {};
    Ref empty = Ref::steal(PyTuple_New(0));
    if (!empty)
        return {};
    return Ref::steal(PyObject_Call(replace.get(), empty.get(), changes.get()));
}

// 3.7: types.CodeType(argcount, kwonlyargcount, nlocals, stacksize, flags, code, consts,
// names, varnames, filename, name, firstlineno, lnotab, freevars, cellvars).
Ref rebuild_code_37(PyObject *code, PyObject *name) noexcept {
    static const char *const fields[] = {
        "co_argcount", "co_kwonlyargcount", "co_nlocals", "co_stacksize", "co_flags",
        "co_code",     "co_consts",         "co_names",   "co_varnames",  "co_filename",
        nullptr,       "co_firstlineno",    "co_lnotab",  "co_freevars",  "co_cellvars"};
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
    return Ref::steal(PyObject_CallObject(state.code_type.get(), args.get()));
}

// CO_OPTIMIZED | CO_NEWLOCALS | CO_NOFREE, and "LOAD_CONST 0 (None); RETURN_VALUE" in 3.7's
// bytecode: what 3.7 compiles `def f(a, b): pass` to.
constexpr int kFunctionFlags37 = 0x43;
const Name kCoArgcount{"co_argcount"};
const Name kCoNlocals{"co_nlocals"};
const Name kCoVarnames{"co_varnames"};
const Name kCoFirstlineno{"co_firstlineno"};
constexpr char kReturnNone37[] = {'d', 0, 'S', 0};

// Compiles one of the module's own fixed sources. They are valid, so a failure is a failed
// allocation, reported as MemoryError: 3.7's parser says SyntaxError then, and later parsers
// can fail without setting anything.
Ref compile_source(const char *text, int start) noexcept {
    Ref code = Ref::steal(Py_CompileString(text, kSourceFile, start));
    if (!code && (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_SyntaxError))) {
        PyErr_Clear();
        PyErr_NoMemory();
    }
    return code;
}

// The frame of `code` evaluated against a globals dict of its own.
Ref entry_frame(PyObject *code) noexcept {
    Ref globals = Ref::steal(PyDict_New());
    if (!globals || PyDict_SetItem(globals.get(), kGetframe, state.getframe.get()) < 0 ||
        PyDict_SetItem(globals.get(), kBuiltins, state.builtins.get()) < 0)
        return {};
    return Ref::steal(PyEval_EvalCode(code, globals.get(), nullptr));
}

} // namespace

int init_traceback() noexcept {
    if (state.getframe)
        return 0;
    Ref getframe = import_attribute("sys", "_getframe");
    if (!getframe)
        return -1;
    Ref frame_type = import_attribute("types", "FrameType");
    if (!frame_type)
        return -1;
    Ref code_type = import_attribute("types", "CodeType");
    if (!code_type)
        return -1;
    Ref builtins = import_module("builtins");
    if (!builtins)
        return -1;
    Ref frame_code = compile_source("_getframe()", Py_eval_input);
    if (!frame_code)
        return -1;
    Ref function = Ref::borrow(Py_None);
    if (facts.code_replace) {
        Ref module_code = compile_source("def f(): pass\n", Py_file_input);
        if (!module_code)
            return -1;
        Ref consts = Ref::steal(PyObject_GetAttrString(module_code.get(), "co_consts"));
        if (!consts)
            return -1;
        PyObject *first = PyTuple_GetItem(consts.get(), 0);
        if (first == nullptr)
            return -1;
        function = Ref::borrow(first);
    }
    state.frame_code.reset(std::move(frame_code));
    state.function_code.reset(std::move(function));
    state.frame_type.reset(std::move(frame_type));
    state.code_type.reset(std::move(code_type));
    state.builtins.reset(std::move(builtins));
    state.getframe.reset(std::move(getframe));
    return 0;
}

namespace {

// 3.7: made without the compiler, whose out-of-memory paths can abort the process on 3.7.
Ref function_code_37(const char *name, PyObject *params, int line) noexcept {
    const Py_ssize_t n = PyTuple_Size(params);
    if (n < 0)
        return {};
    const int count = static_cast<int>(n);
    Ref args = Ref::steal(
        Py_BuildValue("(iiiiiy#(O)()Ossiy#()())", count, 0, count, 1, kFunctionFlags37,
                      kReturnNone37, static_cast<Py_ssize_t>(sizeof kReturnNone37), Py_None, params,
                      kSourceFile, name, line, "", static_cast<Py_ssize_t>(0)));
    if (!args)
        return {};
    return Ref::steal(PyObject_CallObject(state.code_type.get(), args.get()));
}

} // namespace

Ref function_code(const char *name, const char *qualname, PyObject *params, int line) noexcept {
    if (!facts.code_replace)
        return function_code_37(name, params, line);
    const Py_ssize_t n = PyTuple_Size(params);
    if (n < 0)
        return {};
    Ref qualname_text = Ref::steal(PyUnicode_FromString(qualname));
    if (!qualname_text)
        return {};
    Ref changes = Ref::steal(Py_BuildValue("{O:n, O:n, O:O, O:i, O:s}", kCoArgcount.get(), n,
                                           kCoNlocals.get(), n, kCoVarnames.get(), params,
                                           kCoFirstlineno.get(), line, kCoName.get(), name));
    return replace_code(state.function_code.get(), std::move(changes), qualname_text.get());
}

namespace {

// The code object renamed: co_name, and co_qualname where the interpreter has it.
Ref rename_code(PyObject *code, PyObject *name, PyObject *qualname) noexcept {
    if (!facts.code_replace)
        return rebuild_code_37(code, name);
    return replace_code(code, Ref::steal(Py_BuildValue("{O:O}", kCoName.get(), name)), qualname);
}

} // namespace

Ref make_traceback_code(const char *name) noexcept {
    Ref text = Ref::steal(PyUnicode_FromString(name));
    if (!text)
        return {};
    return rename_code(state.frame_code.get(), text.get(), text.get());
}

void add_traceback_entry(PyObject *code) noexcept {
    if (!PyErr_Occurred())
        return;
    Cause pending;
    pending.take();
    Ref frame = entry_frame(code);
    if (!frame) {
        // What the evaluation raised goes on, as in Python code, with the first as context.
        Cause raised;
        raised.take();
        if (raised)
            raised.chain(pending);
        else
            raised = std::move(pending);
        raised.restore();
        return;
    }
    pending.restore();
    if (reinterpret_cast<PyObject *>(Py_TYPE(frame.get())) == state.frame_type.get())
        PyTraceBack_Here(reinterpret_cast<struct _frame *>(frame.get()));
}

} // namespace quorbel::module
