"""Writing a record leaves the application's strings as they were: no UTF-8 copy (or any other
cache) is attached to a str the encoder reads, wherever the str sits in the record."""

import collections
import json
import sys

import pytest

import quorbel

from fakes import emitted_payload, make_record

# One code point of each width a str can store, and a surrogate, which has no UTF-8 form.
PIECES = {
    "ascii": "a",
    "latin-1": "\u00e9",
    "bmp": "\u2615",
    "astral": "\U0001f600",
    "surrogate": "\udc80\u00e9",
    "escapes": "\"\\\n\x01",
}
# Cached whole, written from a stack copy, written from a heap copy.
LENGTHS = [3, 100, 1000]


def fresh(piece, length):
    """A new str, built at run time, that nothing has asked for its UTF-8 yet."""
    return "".join(["k", piece * length, str(length)])


# Where the str sits: (record.msg, record.args, record labels, default labels, ctx) built
# around it.
PLACES = {
    "message": lambda s: (s, (), None, None, None),
    # getMessage() makes a new str, which only the handler holds.
    "message argument": lambda s: ("<%s>", (s,), None, None, None),
    "ctx key": lambda s: ("m", (), None, None, {s: 1}),
    "ctx value": lambda s: ("m", (), None, None, {"k": s}),
    "label key": lambda s: ("m", (), {s: "v"}, None, None),
    "label value": lambda s: ("m", (), {"k": s}, None, None),
    "default label key": lambda s: ("m", (), None, {s: 1}, None),
    "default label value": lambda s: ("m", (), None, {"k": s}, None),
    "nested value": lambda s: ("m", (), None, None, {"a": [{"b": (1, s)}]}),
    "nested key": lambda s: ("m", (), None, None, {"a": [{s: None}]}),
    # An OrderedDict is left to json.dumps, whose text is then checked for surrogates.
    "beside json.dumps": lambda s: ("m", (), None, None,
                                    {"k": s, "o": collections.OrderedDict()}),
}


def emit(msg, args, labels, defaults, ctx):
    attrs = {k: v for k, v in (("labels", labels), ("ctx", ctx)) if v is not None}
    return emitted_payload(quorbel.RedisStreamHandler(default_labels=defaults),
                           make_record(msg, args, **attrs))


@pytest.mark.parametrize("length", LENGTHS)
@pytest.mark.parametrize("piece", sorted(PIECES))
@pytest.mark.parametrize("place", sorted(PLACES))
def test_logging_a_str_leaves_its_size_unchanged(place, piece, length):
    s = fresh(PIECES[piece], length)
    size = sys.getsizeof(s)
    # Twice: the second record may take the cached road for the same object.
    for _ in range(2):
        payload = emit(*PLACES[place](s))
        assert sys.getsizeof(s) == size
    written = json.dumps(s, ensure_ascii=False)[1:-1].replace("\udc80", "\\udc80")
    assert written in payload
