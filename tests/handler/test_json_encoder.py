"""The native encoder: the payload text is byte for byte the reference's, json.dumps(...,
ensure_ascii=False, separators=(",", ":")) with surrogates escaped, whatever it holds."""

import collections
import datetime
import decimal
import enum
import inspect
import json
import re
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quorbel
import reference

from fakes import ReportingHandler, emitted_payload, make_record

DEFAULTS = {"app": "api"}
TS_PREFIX = re.compile(r'\{"ts":"\d+",')


def assert_same_as_reference(ctx, msg="m", labels=None, defaults=DEFAULTS):
    """Returns the payload text the handler sends for one record, or None when nothing was
    sent, after checking it against the reference."""
    handler = quorbel.RedisStreamHandler(default_labels=defaults)
    record = make_record(msg, labels=labels, ctx=ctx)
    sent = emitted_payload(handler, record)
    expected = reference.payload_text(handler, record)
    assert (sent is None) == (expected is None)
    if sent is not None:
        # The clock is read twice; everything after it must be the same text.
        assert TS_PREFIX.sub("", sent) == TS_PREFIX.sub("", expected)
        sent.encode("utf-8")  # fit for the wire and the fallback file: no lone surrogate left
    return sent


# --- differential: generated payloads ------------------------------------------------

# Every code point, surrogates included (the keyword's name changed across hypothesis releases).
ALL_CODE_POINTS = ({"exclude_categories": ()}
                   if "exclude_categories" in inspect.signature(st.characters).parameters
                   else {"blacklist_categories": ()})
# Generated text rarely hits these by chance: the escapes, the surrogates, multi-byte forms.
specials = st.sampled_from(['"', "\\", "\n", "\r\t", "\b\f", "\x00", "\x1f", "\x7f", "/",
                            "\ud800", "\udfff", "\udc80x", "\ud83d\ude00", "é", "\u2028", "\U0001f600"])


pieces = st.lists(st.one_of(st.text(st.characters(**ALL_CODE_POINTS), max_size=20), specials),
                  max_size=3).map("".join)
texts = st.one_of(
    pieces,
    # Long enough for every way of reading a str (short copies, long copies, heap buffers).
    st.tuples(pieces, st.integers(2, 40)).map(lambda piece_count: piece_count[0] * piece_count[1]),
)
ints = st.one_of(
    st.integers(-2 ** 70, 2 ** 70),
    st.sampled_from([0, -1, 2 ** 63 - 1, 2 ** 63, -2 ** 63, -2 ** 63 - 1, 2 ** 64, 10 ** 18]),
    # Well under the 3.11+ limit on int-to-str digits; that limit has its own case below.
    st.integers(-10 ** 600, 10 ** 600),
)
floats = st.one_of(st.floats(), st.sampled_from(
    [-0.0, 1e16, 1e15, 1e-7, 1e-4, 1e-5, 5e-324, 1.7976931348623157e308, 0.1, 2.0 ** 53]))
constants = st.sampled_from([True, False, None])
scalars = st.one_of(texts, ints, floats, constants)
values = st.recursive(
    scalars,
    lambda inner: st.one_of(
        st.lists(inner, max_size=4),
        st.lists(inner, max_size=4).map(tuple),
        st.dictionaries(scalars, inner, max_size=4),
    ),
    max_leaves=12,
)
label_sets = st.one_of(st.none(), st.dictionaries(scalars, st.one_of(texts, ints, st.none()),
                                                  max_size=3))


# Four records per example: 10,000 payloads per run, at a quarter of hypothesis's own cost per
# example, which dominates on the older interpreters.
RECORDS_PER_EXAMPLE = 4
records = st.fixed_dictionaries({"ctx": values, "msg": texts, "labels": label_sets,
                                 "defaults": label_sets})


@settings(max_examples=10000 // RECORDS_PER_EXAMPLE, deadline=None,
          suppress_health_check=list(HealthCheck))
@given(batch=st.lists(records, min_size=RECORDS_PER_EXAMPLE, max_size=RECORDS_PER_EXAMPLE))
def test_generated_payloads_match_json(batch):
    for record in batch:
        assert_same_as_reference(record["ctx"], msg=record["msg"], labels=record["labels"],
                            defaults=record["defaults"])


# --- chosen payloads at the edges of the native encoder -------------------------------

def circular_dict():
    d = {"a": 1}
    d["self"] = d
    return d


def circular_through_tuple():
    inner = []
    outer = {"t": (1, inner)}
    inner.append(outer)
    return outer


def nested(depth, leaf="x"):
    value = leaf
    for i in range(depth):
        value = [value] if i % 2 else {"k": value}
    return value


def cycle_past_depth_cap():
    head = {}
    tail = head
    for _ in range(150):
        tail["n"] = {}
        tail = tail["n"]
    tail["back"] = head
    return head


Colour = enum.IntEnum("Colour", {"RED": 1})
Text = type("Text", (str,), {})
Number = type("Number", (float,), {})


shared = [1, "x"]

# json refuses these: the record is dropped, nothing is sent.
REFUSED = {
    "circular dict": circular_dict(),
    "circular through a tuple": circular_through_tuple(),
    "cycle deeper than any cap": cycle_past_depth_cap(),
    "tuple key": {"ok": 1, (1, 2): "v"},
    "frozenset key deep": {"a": [{"b": {frozenset(): 1}}]},
    "bytes key": {b"k": 1},
    "set value": {"tags": {"a"}},
    "datetime in a list": {"at": [1, datetime.datetime(2024, 1, 1)]},
    "decimal value": {"d": decimal.Decimal("1.5")},
    "object value": {"o": object()},
    "bytes value": [b"x"],
    "date value": {"at": datetime.date(2024, 1, 1)},
}
# json manages these; so must the payload.
MANAGED = {
    "shared, not circular": {"a": shared, "b": shared, "c": (shared, shared)},
    "nested 60": nested(60),
    "nested 200": nested(200),
    "dict subclass": collections.OrderedDict([("b", 1), ("a", 2)]),
    "int enum value and key": {"c": Colour.RED, Colour.RED: "k"},
    "str subclass with surrogate": {"s": Text("a\udc80b"), Text("k\ud800"): 1},
    "float subclass": {"f": Number(0.5), Number(2.0): 1},
    "keys that collide as text": {1: "int", "1": "str", 1.5: "f", "1.5": "s"},
    "constants as keys": {True: 1, None: None, float("nan"): 1, float("inf"): 2,
                          -float("inf"): 3, 2.5: 4, 10 ** 30: 5},
    "negative zero key": {-0.0: "z", "f": {False: 0}},
    "non-finite values": [float("nan"), float("inf"), -float("inf")],
    "empty containers": {"d": {}, "l": [], "t": (), "s": ""},
    "list ctx": [1, "two", None],
    "str ctx": "plain \udfff",
    "int ctx": 7,
    "huge ints": {"p": 10 ** 300, "n": -(10 ** 300), "k": {2 ** 64: -2 ** 63 - 1}},
    "every control char": {"c": "".join(map(chr, range(0x20))) + "\x7f\"\\"},
    "surrogate pair, unpaired": {"p": "\ud83d\ude00", "hi": "\ud800", "lo": "\udfff"},
    "astral and bmp": {"e": "\U0001f600 é ☃ \u2028\u2029"},
    "long strings": {"a" * 1000: "é" * 1000, "x": "\n" * 500 + "\udc00" * 300},
}


@pytest.mark.parametrize("ctx, refused", [(c, True) for c in REFUSED.values()] + [
    (c, False) for c in MANAGED.values()], ids=list(REFUSED) + list(MANAGED))
def test_edge_payloads_match_json(ctx, refused):
    # Guards the comparison against agreeing on None by accident.
    assert (assert_same_as_reference(ctx) is None) is refused
    if refused:
        # Reported, without drop_on_error, with the error json.dumps raises for it.
        handler = ReportingHandler(drop_on_error=False)
        handler.emit(make_record(ctx=ctx))
        [(_, got)] = handler.reports
        with pytest.raises(Exception) as expected:
            json.dumps(ctx)
        assert (type(got), str(got)) == (type(expected.value), str(expected.value))


@pytest.mark.skipif(not hasattr(sys, "set_int_max_str_digits"),
                    reason="this interpreter has no int-to-str digit limit (3.11; 3.7.14, "
                           "3.8.14, 3.9.14 and 3.10.7 have it too)")
@pytest.mark.parametrize("limit, sent", [(0, True), (4300, False), (6000, True)])
def test_int_digit_limit_as_json(limit, sent):
    old = sys.get_int_max_str_digits()
    sys.set_int_max_str_digits(limit)
    try:
        ctx = {"n": 10 ** 5000, "k": {-(10 ** 5000): 1}}
        assert (assert_same_as_reference(ctx) is not None) == sent
    finally:
        sys.set_int_max_str_digits(old)


# --- the shortcuts for common values ---------------------------------------------------

# Floats with few decimals take a short road; those around its edges must read as repr does.
SHORT_FLOATS = [0.0001, 0.00012345678, 0.000123456789, 9.99e-05, 12.5, -2.5, 0.1, 0.3,
                0.1 + 0.2, 123.456, 99.99, 1.0, -1.0, 1e14, 123456789012345.0,
                999999999999999.9, 1e15, 1e15 + 2, 2.0 ** 49 + 0.125, 1 / 3, 5e-5, 1e-4 * 0.999,
                0.12345678, 1.00000001, 1e7 + 0.5, 12345678.9, 9999999.99999999, 6 / 7]
# Texts of lengths around the word-sized tests, with the escape at each end.
BOUNDARY_TEXTS = ["a" * n for n in (0, 1, 7, 8, 9, 15, 16, 17)] + [
    e + "b" * n for n in (6, 7, 14, 15) for e in ('"', "\\", "\n", "\x01", "é")] + [
    "b" * n + e for n in (6, 7, 14, 15) for e in ('"', "\\", "\x1f", "\udc80", "€")]


@pytest.mark.parametrize("value", SHORT_FLOATS + [-v for v in SHORT_FLOATS], ids=repr)
def test_float_text_is_repr(value):
    assert_same_as_reference({"f": value, value: "as key"})


@pytest.mark.parametrize("text", BOUNDARY_TEXTS, ids=repr)
def test_text_around_word_boundaries(text):
    assert_same_as_reference({text: text, "l": [text]}, msg=text, labels={text: text})


def test_recently_written_texts_stay_right():
    # The same key objects come back record after record (remembered from the first), among
    # enough new texts to push the earlier ones out again.
    keys = ["k\u00e9", "plain", "q\"uote", "\ud800", "x" * 60]
    for round_ in range(3):
        for i in range(300):
            assert_same_as_reference({k: "%s-%d-%d" % (k, round_, i) for k in keys + ["n%d" % i]})
    # Only a remembered non-ASCII key in an otherwise ASCII record.
    key = "\u00fcber"
    for _ in range(2):
        assert_same_as_reference({key: 1}, msg="ascii", defaults={})
