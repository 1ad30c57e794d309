// The nanosecond wall clock: _now_ns.
#pragma once

#include "module/binder.h"

namespace quorbel::handler {

// Captures the standard clock once per process, so that calls can skip the Python round trip
// while the module's `time` binding is still the standard module.
int init_clock() noexcept;

// _now_ns: builds the callable.
Ref make_now_ns() noexcept;
// The module's `_now_ns()` as emit calls it: *text, its result, or, while `_now_ns` and
// `time.time_ns` are the standard ones, *ns alone (the text would be its digits, which the
// payload encoder writes without a str in between). -1 with an exception set.
int read_now_ns(long long *ns, Ref *text) noexcept;

} // namespace quorbel::handler
