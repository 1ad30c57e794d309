// Call-time bindings with a native fast path.
#include "module/binding.h"

#include <cstring>

#include "module/namespace.h"

namespace quorbel::module {

namespace {
int test_found(StandardTest test, Found *out) noexcept {
    if (!out->object)
        return -1;
    const int standard = test(out->object.get());
    if (standard < 0)
        return -1;
    out->standard = standard == 1;
    return 0;
}
} // namespace

int resolve(const Name &name, StandardTest test, Found *out) noexcept {
    out->object = lookup(name);
    return test_found(test, out);
}

int resolve_attr(PyObject *owner, const Name &attr, StandardTest test, Found *out) noexcept {
    out->object = attribute(owner, attr);
    return test_found(test, out);
}

PyCFunction builtin_of(PyObject *module, const char *name) noexcept {
    if (!PyModule_Check(module))
        return nullptr;
    // A module written in Python has no definition (nullptr, and no error for a module).
    PyModuleDef *def = PyModule_GetDef(module);
    if (def == nullptr)
        return nullptr;
    for (PyMethodDef *m = def->m_methods; m != nullptr && m->ml_name != nullptr; ++m)
        if (std::strcmp(m->ml_name, name) == 0)
            return m->ml_meth;
    return nullptr;
}

bool runs_builtin(PyObject *callee, PyCFunction fn) noexcept {
    return fn != nullptr && PyCFunction_Check(callee) && PyCFunction_GetFunction(callee) == fn;
}

} // namespace quorbel::module
