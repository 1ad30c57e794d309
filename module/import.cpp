// Imports made by native code: a module, or one attribute of it; and the module an import of
// ours creates.
#include "module/import.h"

namespace quorbel::module {

Ref import_module(const char *name) noexcept { return Ref::steal(PyImport_ImportModule(name)); }

Ref import_module(PyObject *name) noexcept { return Ref::steal(PyImport_Import(name)); }

Ref import_attribute(const char *module, const char *attr) noexcept {
    Ref m = import_module(module);
    return m ? Ref::steal(PyObject_GetAttrString(m.get(), attr)) : Ref();
}

Ref import_attribute(PyObject *module, PyObject *attr) noexcept {
    Ref m = import_module(module);
    return m ? Ref::steal(PyObject_GetAttr(m.get(), attr)) : Ref();
}

PyObject *create_module(PyObject *spec, PyObject *existing) noexcept {
    if (existing != nullptr) {
        Py_INCREF(existing);
        return existing;
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    return name ? PyModule_NewObject(name.get()) : nullptr;
}

} // namespace quorbel::module
