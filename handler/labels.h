// Label merging: _merge_labels.
#pragma once

#include "module/binder.h"

namespace quorbel::handler {

// _merge_labels: builds the callable.
Ref make_merge_labels() noexcept;
// Calls the module's `_merge_labels(base, extra)` as emit does: directly when it is still ours.
Ref call_merge_labels(PyObject *base, PyObject *extra) noexcept;

} // namespace quorbel::handler
