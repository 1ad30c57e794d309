// JSON strings: a str written as json writes it, and the cache of recently written short strs.
#pragma once

#include "handler/json_buffer.h"

namespace quorbel::handler {

// Each writer clears *ascii when it writes a byte outside ASCII, and returns false with an
// exception set on failure.

// Writes str s quoted, with json's escapes, and every surrogate code point as "\udxxx" (a lone
// surrogate has no UTF-8 form, so the raw text could reach neither Redis nor a file).
bool put_str(Buffer &out, PyObject *s, bool *ascii) noexcept;

// put_str for an exact str that is likely to come back (a key, a label, a level): its text is
// remembered for the same object.
bool put_str_cached(Buffer &out, PyObject *s, bool *ascii) noexcept;

// Writes the code points of str s unquoted and without json's escapes, except surrogates as
// "\udxxx": for a text json.dumps already wrote.
bool put_surrogates_escaped(Buffer &out, PyObject *s, bool *ascii) noexcept;

// 1 when str s holds a surrogate code point, 0 when not, -1 with an exception set.
int has_surrogate(PyObject *s) noexcept;

// Probes the running interpreter once, at module exec. Returns -1 with an exception
// set on failure.
int json_string_init() noexcept;

} // namespace quorbel::handler
