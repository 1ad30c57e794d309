// Imports made by native code: a module, or one attribute of it.
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

} // namespace quorbel::module
