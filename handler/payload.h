// The payload text of a stream entry (and of a fallback line).
#pragma once

#include "handler/labels.h"

namespace quorbel::handler {

// Captures the standard json module and the parts of it that dumps runs through, once per process.
int init_payload() noexcept;

// The compact JSON text of {"ts", "level", "msg", "labels", "ctx"}: natively while the module's
// `json` binding is the standard one, otherwise through `json.dumps` exactly as called from
// Python. Either way each surrogate code point is written as a JSON escape, so the text can
// always be encoded as UTF-8.
// A null ts stands for the str of ts_ns's digits.
Ref encode_payload_text(PyObject *ts, long long ts_ns, PyObject *level, PyObject *msg,
                        const MergedLabels &labels, PyObject *ctx) noexcept;

} // namespace quorbel::handler
