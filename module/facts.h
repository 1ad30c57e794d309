// Facts about the running interpreter, probed once: the one binary is built against the 3.7
// headers, so compile-time version macros always say 3.7.
#pragma once

#include "module/ref.h"

namespace quorbel::module {

// The vectorcall protocol; the 3.7 headers do not declare it.
using VectorcallFunc = PyObject *(*)(PyObject *, PyObject *const *, size_t, PyObject *);

struct Facts {
    int minor = 0;              // 3.minor
    bool code_replace = false;  // code.replace() (3.8+); 3.7 rebuilds through types.CodeType
    bool code_qualname = false; // co_qualname (3.11+)
    // Type flags that exist only on later interpreters, 0 where the bit means nothing.
    unsigned long method_descriptor_flag = 0; // Py_TPFLAGS_METHOD_DESCRIPTOR (3.8+)
    unsigned long immutable_type_flag = 0;    // Py_TPFLAGS_IMMUTABLETYPE (3.10+)
    unsigned long vectorcall_flag = 0;        // Py_TPFLAGS_HAVE_VECTORCALL (3.12+ in the ABI)
    // Stable-ABI functions added after 3.7, found in the running interpreter (nullptr before).
    VectorcallFunc vectorcall = nullptr;        // PyObject_Vectorcall (3.12)
    VectorcallFunc vectorcall_method = nullptr; // PyObject_VectorcallMethod (3.12)
    // PyObject_GetOptionalAttr (3.13): an attribute, or none without making an AttributeError.
    int (*get_optional_attr)(PyObject *, PyObject *, PyObject **) = nullptr;
    // PyUnicode_AsUTF8AndSize (3.10); it caches a UTF-8 copy inside non-ASCII strs.
    const char *(*as_utf8_and_size)(PyObject *, Py_ssize_t *) = nullptr;
};

extern const Facts &facts;

// Probes the interpreter; cannot fail, and repeats nothing once done.
void probe_facts() noexcept;

} // namespace quorbel::module
