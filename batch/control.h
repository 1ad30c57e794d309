// What an application asks of a client besides xadd: flush, close and its counts.
#pragma once

#include "module/ref.h"

namespace quorbel::batch {

class Engine;

// flush(timeout): waits without the GIL (seeing signals) until every record accepted so far
// is retired; True when that happened within timeout (None: no limit) and none of them was
// dropped. nullptr with an exception set.
PyObject *flush_engine(Engine *e, PyObject *timeout) noexcept;

// close(timeout): no more records; waits without the GIL up to timeout (None: the client's
// close_timeout_ms) for the shipper to deliver them, then spills or drops what is left.
PyObject *close_engine(Engine *e, PyObject *timeout) noexcept;

// stats(): {"accepted": ..., "sent", "spilled", "dropped", "resent", "pending",
// "pending_bytes", "spooled", "adopted", "corrupt", "last_error": the last failure's text or
// None}.
PyObject *engine_stats(Engine *e) noexcept;

} // namespace quorbel::batch
