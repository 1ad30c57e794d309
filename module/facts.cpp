// Facts about the running interpreter, probed once.
#include "module/facts.h"

#include <dlfcn.h>

#include <cstdlib>

namespace quorbel::module {

namespace {
Facts probed;

template <typename F> F find(const char *symbol) noexcept {
    // The interpreter's own symbols are global, whether it links libpython or is static.
    return reinterpret_cast<F>(dlsym(RTLD_DEFAULT, symbol));
}
} // namespace

const Facts &facts = probed;

void probe_facts() noexcept {
    if (probed.minor != 0)
        return;
    // Py_GetVersion() begins with "3.minor.": reading it allocates nothing and cannot fail.
    Facts f;
    f.minor = std::atoi(Py_GetVersion() + 2);
    f.code_replace = f.minor >= 8;
    f.code_qualname = f.minor >= 11;
    f.method_descriptor_flag = f.minor >= 8 ? 1UL << 17 : 0;
    f.immutable_type_flag = f.minor >= 10 ? 1UL << 8 : 0;
    if (f.minor >= 10)
        f.as_utf8_and_size = find<decltype(f.as_utf8_and_size)>("PyUnicode_AsUTF8AndSize");
    if (f.minor >= 12) {
        f.vectorcall_flag = 1UL << 11;
        f.vectorcall = find<VectorcallFunc>("PyObject_Vectorcall");
        f.vectorcall_method = find<VectorcallFunc>("PyObject_VectorcallMethod");
    }
    if (f.minor >= 13)
        f.get_optional_attr = find<decltype(f.get_optional_attr)>("PyObject_GetOptionalAttr");
    probed = f;
}

} // namespace quorbel::module
