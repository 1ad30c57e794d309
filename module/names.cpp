// Interned Python strings used by the module.
#include "module/names.h"

namespace quorbel::module {

Names names;

int init_names() noexcept {
    static bool done = false;
    if (done)
        return 0;
#define QUORBEL_NAME_INIT(field, text)                                                             \
    if ((names.field = PyUnicode_InternFromString(text)) == nullptr)                               \
        return -1;
    QUORBEL_NAMES(QUORBEL_NAME_INIT)
#undef QUORBEL_NAME_INIT
    done = true;
    return 0;
}

} // namespace quorbel::module
