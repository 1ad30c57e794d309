// The payload walker: the compact JSON text json.dumps would give for the stream payload, without
// its per-call machinery.
#pragma once

#include "handler/labels.h"

namespace quorbel::handler {

enum class Encoded {
    Ok,          // *out holds the text
    Unsupported, // no exception set: the caller encodes with json.dumps instead
    Error,       // an exception is set, and json.dumps would have failed on the same input too
};

// Writes into *out, as a new str, the text of
//   json.dumps({"ts": ts, "level": level, "msg": msg, "labels": labels, "ctx": ctx},
//              ensure_ascii=False, separators=(",", ":"))
// except that every surrogate code point (U+D800..U+DFFF) is written as its JSON escape "\udxxx"
// (a lone surrogate cannot be encoded as UTF-8, so the raw text could reach neither Redis nor the
// fallback file). The arguments are borrowed; ts and msg must be held by references of the
// caller's own (a str nothing else refers to is read in place, see put_str_owned).
// Unsupported covers: any object whose type is not exactly dict, list, tuple, str, int, float, bool
// or None; a dict key json refuses; a container already on the path being encoded (json raises
// "Circular reference detected"); nesting deeper than a fixed cap (json may still manage it).
// A null ts stands for str(ts_ns), written without making that str.
Encoded encode_payload(PyObject *ts, long long ts_ns, PyObject *level, PyObject *msg,
                       const MergedLabels &labels, PyObject *ctx, Ref *out) noexcept;

// Returns text with every surrogate code point replaced by its JSON escape, or a new reference to
// text itself when it holds none (or is not a str). For the json.dumps path.
Ref escape_surrogates(PyObject *text) noexcept;

// The encoder's step in module exec. Returns -1 with an exception set on failure.
int json_encoder_init() noexcept;

} // namespace quorbel::handler
