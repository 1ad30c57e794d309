// The module namespace: binding names at import and looking them up at call time.
#pragma once

#include "module/ref.h"

namespace quorbel::module {

// The module object once its execution step has started, else nullptr (borrowed).
PyObject *module_object() noexcept;
// Its __dict__ (borrowed), or nullptr.
PyObject *module_dict() noexcept;

// Records m as the module being set up (holds a reference); nullptr forgets it.
void set_module(PyObject *m) noexcept;

// Binds name in the module namespace, in call order; -1 with an exception set on failure.
int bind(PyObject *name, Ref value) noexcept;

// getattr(owner, name), reading a plain module's dict directly.
Ref attribute(PyObject *owner, PyObject *name) noexcept;

// getattr(owner, name, None): only AttributeError counts as missing.
Ref attribute_or_none(PyObject *owner, PyObject *name) noexcept;

// getattr(getattr(owner, first), second). Inline: emit calls it on every record.
inline Ref attribute_path(PyObject *owner, PyObject *first, PyObject *second) noexcept {
    Ref middle = Ref::steal(PyObject_GetAttr(owner, first));
    return middle ? Ref::steal(PyObject_GetAttr(middle.get(), second)) : Ref();
}

// Looks a module-level name up as the module's functions do at call time: the module
// attribute first, then the builtins; NameError "name '...' is not defined" when neither has it.
Ref lookup(PyObject *name) noexcept;

// getattr(<module-level name>, attr), the name looked up as lookup() does. Inline: a caller
// on a per-call path pays no call for it.
inline Ref lookup_attribute(PyObject *name, PyObject *attr) noexcept {
    Ref owner = lookup(name);
    return owner ? Ref::steal(PyObject_GetAttr(owner.get(), attr)) : Ref();
}

} // namespace quorbel::module
