// default_labels from dictConfig: logging.config's ConvertingDict taken as a plain dict.
#include "handler/config_dict.h"

#include "module/names.h"

namespace quorbel::handler {

namespace {
const module::Name kConvertingDict{"ConvertingDict"};
const module::Name kLoggingConfig{"logging.config"};
} // namespace

// Only an imported logging.config can have made one, so the module is looked up, never
// imported.
int copy_config_dict(PyObject *v, Ref &copy) noexcept {
    if (!PyDict_Check(v))
        return 0;
    PyObject *modules = PyImport_GetModuleDict(); // borrowed; the interpreter's own dict
    PyObject *found = PyDict_GetItemWithError(modules, kLoggingConfig);
    if (found == nullptr)
        return PyErr_Occurred() ? -1 : 0;
    Ref config = Ref::borrow(found);
    Ref cls = Ref::steal(PyObject_GetAttr(config.get(), kConvertingDict));
    if (!cls)
        return catch_pending(PyExc_AttributeError);
    if (reinterpret_cast<PyObject *>(Py_TYPE(v)) != cls.get())
        return 0;
    Ref result = Ref::steal(PyDict_New());
    if (!result)
        return -1;
    Ref keys = Ref::steal(PyMapping_Keys(v));
    if (!keys)
        return -1;
    Ref iter = Ref::steal(PyObject_GetIter(keys.get()));
    if (!iter)
        return -1;
    while (Ref key = Ref::steal(PyIter_Next(iter.get()))) {
        Ref value = Ref::steal(PyObject_GetItem(v, key.get()));
        if (!value || PyDict_SetItem(result.get(), key.get(), value.get()) < 0)
            return -1;
    }
    if (PyErr_Occurred())
        return -1;
    copy = std::move(result);
    return 0;
}

} // namespace quorbel::handler
