// The module's execution step: the frame's part of what an import does.
//
// The body's steps, which name the handler and the facade, are the composition root's
// (quorbel.cpp); this file runs them inside the import, once, and keeps the module that they
// filled for later imports.
#include "module/setup.h"

#include "module/callable.h"
#include "module/facts.h"
#include "module/import.h"
#include "module/names.h"
#include "module/namespace.h"
#include "module/traceback.h"
#include "module/vectorcall.h"

namespace quorbel::module {

namespace {

Kept init_code; // the "init quorbel" traceback entry
// sys.modules of the interpreter that set the module up, held so that its address stays its
// own: an interpreter finalised and made again (an embedding application) can otherwise get
// its new sys.modules where the old one was, and be handed the finalised module.
Kept home_modules;

// Work that does not depend on the module object; once per process. Each step keeps only what
// it finished, so an import that failed (a MemoryError) can be tried again.
int init_process() noexcept {
    probe_facts();
    if (init_names() < 0 || init_traceback() < 0 || init_callable_type() < 0 || prepare_body() < 0)
        return -1;
    if (init_code)
        return 0;
    return init_code.set(make_traceback_code("init quorbel"));
}

Ref import_level0(PyObject *name, PyObject *fromlist) noexcept {
    return Ref::steal(PyImport_ImportModuleLevelObject(name, nullptr, nullptr, fromlist, 0));
}

Ref import_name(PyObject *from, PyObject *name) noexcept {
    Ref value = Ref::steal(PyObject_GetAttr(from, name));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    }
    return value;
}

// Functions created against this namespace see the builtins on every version (3.7-3.9 give
// code run against a globals dict without __builtins__ a builtins of just None).
int add_builtins(PyObject *m) noexcept {
    PyObject *dict = PyModule_GetDict(m);
    if (PyDict_GetItemWithError(dict, kBuiltins) != nullptr)
        return 0;
    if (PyErr_Occurred())
        return -1;
    Ref builtins = import_module("builtins");
    if (!builtins)
        return -1;
    return PyDict_SetItem(dict, kBuiltins, builtins.get());
}

} // namespace

Ref import_absolute(PyObject *name) noexcept { return import_level0(name, nullptr); }

int import_from(const char *module, std::initializer_list<PyObject *> attrs) noexcept {
    Ref fromlist = make_tuple(attrs.begin(), static_cast<Py_ssize_t>(attrs.size()));
    if (!fromlist)
        return -1;
    Ref name = Ref::steal(PyUnicode_FromString(module));
    if (!name)
        return -1;
    Ref from = import_level0(name.get(), fromlist.get());
    if (!from)
        return -1;
    for (PyObject *attr : attrs)
        if (bind(attr, import_name(from.get(), attr)) < 0)
            return -1;
    return 0;
}

PyObject *create_module(PyObject *spec, PyModuleDef *) noexcept {
    bool same_interpreter = PyImport_GetModuleDict() == home_modules.get();
    return module::create_module(spec, same_interpreter ? module_object() : nullptr);
}

int exec_module(PyObject *m) noexcept {
    PyObject *existing = module_object();
    if (existing == m)
        return 0;
    if (existing != nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "Module 'quorbel' has already been imported. "
                                            "Re-initialisation is not supported.");
        return -1;
    }
    if (init_process() < 0)
        return -1;
    set_module(m);
    home_modules.reset(Ref::borrow(PyImport_GetModuleDict()));
    if (add_builtins(m) < 0 || run_body() < 0) {
        add_traceback_entry(init_code.get());
        set_module(nullptr);
        home_modules.reset(Ref());
        return -1;
    }
    return 0;
}

} // namespace quorbel::module
