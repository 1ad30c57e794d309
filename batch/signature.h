// inspect.signature() of a type of ours where the interpreter drops its text signature.
#pragma once

#include "module/ref.h"

namespace quorbel::batch {

// Where `type` has no __text_signature__ (3.7 to 3.9 drop it from a heap type's doc), gives it a
// __signature__, made on first use from `params` ("(a, b=None)"). 0, or -1 with an exception set.
int keep_text_signature(PyObject *type, const char *params) noexcept;

} // namespace quorbel::batch
