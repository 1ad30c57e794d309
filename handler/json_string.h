// JSON strings: a str written as json writes it, and the cache of recently written short strs.
#pragma once

#include "handler/json_buffer.h"

namespace quorbel::handler {

// The writers read an application's str only through copies of their own (PyUnicode_AsUCS4
// into scratch space, or a fresh UTF-8 bytes object): PyUnicode_AsUTF8AndSize would leave a
// permanent UTF-8 copy inside every non-ASCII str it reads. Each clears *ascii when it writes a
// byte outside ASCII, and returns false with an exception set on failure.

// Writes str s quoted, with json's escapes, and every surrogate code point as "\udxxx" (a lone
// surrogate has no UTF-8 form, so the raw text could reach neither Redis nor a file).
bool put_str(Buffer &out, PyObject *s, bool *ascii) noexcept;

// put_str for an exact str whose one reference is the caller's own (not one borrowed from a
// container): no other code can reach it, so from 3.10 its UTF-8 form is read in place, and
// whatever that caches goes away with the caller's reference.
bool put_str_owned(Buffer &out, PyObject *s, bool *ascii) noexcept;

// put_str for an exact str that is likely to come back (a key, a label, a level): its text is
// remembered for the same object.
bool put_str_cached(Buffer &out, PyObject *s, bool *ascii) noexcept;

// Writes the code points of str s unquoted and without json's escapes, except surrogates as
// "\udxxx": for a text json.dumps already wrote.
bool put_surrogates_escaped(Buffer &out, PyObject *s, bool *ascii) noexcept;

// 1 when str s holds a surrogate code point, 0 when not, -1 with an exception set.
int has_surrogate(PyObject *s) noexcept;

// Looks up what put_str_owned needs from the running interpreter. Returns -1 with an exception
// set on failure.
int json_string_init() noexcept;

} // namespace quorbel::handler
