// JSON numbers: exact ints and floats written as json writes them (int.__repr__, float.__repr__).
#pragma once

#include "handler/json_buffer.h"

namespace quorbel::handler {

// Writes the decimal text of v. False with MemoryError set.
bool put_digits(Buffer &out, long long v) noexcept;

// Writes the decimal text of exact int o. False with an exception set: MemoryError, or the
// ValueError of the 3.11+ limit on int-to-str digits, which json.dumps raises as well.
bool put_int(Buffer &out, PyObject *o) noexcept;

// Writes exact float o: its repr, or NaN, Infinity, -Infinity. False with an exception set.
bool put_float(Buffer &out, PyObject *o) noexcept;

} // namespace quorbel::handler
