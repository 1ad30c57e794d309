// The nanosecond wall clock: _now_ns.
#pragma once

#include "module/binder.h"

namespace quorbel::handler {

// Captures the standard clock once per process, so that calls can skip the Python round trip
// while the module's `time` binding is still the standard module.
int init_clock() noexcept;

// _now_ns: builds the callable.
Ref make_now_ns() noexcept;
// Calls the module's `_now_ns` as emit does: directly when it is still ours.
Ref call_now_ns() noexcept;

} // namespace quorbel::handler
