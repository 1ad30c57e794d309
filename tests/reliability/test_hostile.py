"""Hostile records through both roads, a real stream and a real fallback file.

Whatever an application puts into the message, its arguments, the labels, the ctx or
the level name, emit returns normally (only exceptions that do not derive from
Exception pass), the process survives, and a record that json.dumps can encode is
delivered exactly once, as exactly the text json.dumps makes of it (lone surrogates
written as \\udcxx escapes). Each stream entry and each fallback line is one valid
UTF-8 JSON text without raw CR or LF. A record that cannot be encoded leaves no trace.

Inputs are generated as plans and built twice: once for the handler, once for the
reference (plain Python doing what emit does), so objects that change themselves
while being converted start out the same for both.

The second half turns on the module itself, as a hostile program would: the globals
behind its traceback entries, signal handlers that raise while a call fails, labels of
a dict subclass, a client that logs from inside its append, and the type of the module's
callables. Names the module looks up at call time, replaced before or after the import,
are tests/handler/test_rebinding.py's.
"""

import collections
import itertools
import json
import logging
import os
import re
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quorbel
import reference
from child import run_child

TS = re.compile(rb'^\{"ts":"(\d+)",')
DEFAULTS = {"app": "api", "env": "prod"}
_keys = itertools.count()


class Refuses:
    """str(), repr() and format() all raise."""

    def __str__(self):
        raise ValueError("no text for you")

    __repr__ = __str__

    def __format__(self, spec):
        raise ValueError("no format for you")


class Opaque:
    """Not JSON; its text is the same for every instance, unlike object()'s."""

    def __repr__(self):
        return "<opaque>"


class Halt(BaseException):
    """Not an Exception: must pass through emit."""


class HaltsOnStr:
    def __str__(self):
        raise Halt()


class HaltsOnTruth:
    def __bool__(self):
        raise Halt()


class Pokes:
    """While converted to text, changes a dict that the record holds (its owner)."""

    def __init__(self, owner, action):
        self.owner, self.action = owner, action

    def __str__(self):
        d = self.owner
        if self.action == "grow":
            d["grown-%d" % len(d)] = "x"
        elif self.action == "clear":
            d.clear()
        elif self.action == "swap":
            # Same size afterwards: one key out, another in.
            for k in list(d):
                if d[k] is not self:
                    del d[k]
                    break
            d["swapped-%d" % len(d)] = "y"
        elif self.action == "self":
            d["loop"] = d
        return "poked"

    __repr__ = __str__


class ItemsMutate(dict):
    """A dict subclass whose items() empties it and adds a key, handing out the old items."""

    def items(self):
        old = list(dict.items(self))
        self.clear()
        self["late"] = 1
        return old


# Code points where encoders go wrong: controls, quote and backslash, line separators,
# every edge of the surrogate range, BOM, non-characters, the last code point.
SPECIAL = [0x00, 0x01, 0x08, 0x09, 0x0A, 0x0C, 0x0D, 0x1F, 0x20, 0x22, 0x25, 0x5C, 0x7F,
           0x80, 0x85, 0xA0, 0xE9, 0x7FF, 0x800, 0x2028, 0x2029, 0xD7FF, 0xD800, 0xDBFF,
           0xDC00, 0xDC80, 0xDCFF, 0xDFFF, 0xE000, 0xFEFF, 0xFFFE, 0xFFFF, 0x10000, 0x10FFFF]

code_points = st.one_of(st.sampled_from(SPECIAL), st.integers(0x20, 0x7E),
                        st.integers(0, 0x10FFFF))
texts = st.lists(code_points, max_size=24).map(lambda cps: "".join(map(chr, cps)))
# Ints of as many digits as the int-to-text limit of newer Pythons (4300) and more:
# past it, str(int) and json.dumps both raise there. Built from ("digits", n) plans,
# since such ints cannot even be shown in a failure report.
huge_ints = st.sampled_from([("digits", 4299), ("digits", -4300), ("digits", 4301),
                             ("digits", 5000)])
numbers = st.one_of(
    st.integers(), st.integers(-2 ** 70, 2 ** 70),
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([float("nan"), float("inf"), float("-inf"), -0.0, 5e-324, 1.7976931348623157e308,
                     1e16, 1e-7, 0.1, 123456789012345678.0]))
scalars = st.one_of(texts, numbers, st.booleans(), st.none())
hostile_leaf = st.sampled_from([("refuses",), ("bytes",), ("set",), ("object",)])
leaf_plans = st.one_of(scalars.map(lambda v: ("v", v)), hostile_leaf, huge_ints)
key_plans = st.one_of(
    st.one_of(texts, st.integers(), st.floats(), st.booleans(), st.none()).map(lambda v: ("v", v)),
    st.sampled_from([("v", (1, 2)), ("refuses",)]))


def containers(children):
    return st.one_of(
        st.lists(children, max_size=4).map(lambda xs: ("list", xs)),
        st.lists(children, max_size=3).map(lambda xs: ("tuple", xs)),
        st.lists(st.tuples(key_plans, children), max_size=4).map(lambda kv: ("dict", kv)),
        st.lists(st.tuples(texts.map(lambda k: ("v", k)), children), min_size=1,
                 max_size=3).map(lambda kv: ("items-mutate", kv)),
        st.just(("self",)),
    )


value_plans = st.recursive(leaf_plans, containers, max_leaves=12)
label_value_plans = st.one_of(
    leaf_plans, value_plans,
    st.sampled_from([("poke", "labels", a) for a in ("grow", "clear", "swap")]))
labels_plans = st.one_of(
    st.just(("v", None)),
    st.lists(st.tuples(key_plans, label_value_plans), max_size=5).map(lambda kv: ("dict", kv)),
    st.just(("list", [])))
ctx_plans = st.one_of(st.just(("v", None)), st.just(("v", 0)), value_plans,
                      st.lists(st.tuples(key_plans, value_plans), max_size=5)
                      .map(lambda kv: ("dict", kv)))
arg_plans = st.one_of(leaf_plans, value_plans,
                      st.sampled_from([("poke", "ctx", a) for a in ("grow", "clear", "self")]))
formats = st.lists(st.one_of(texts, st.sampled_from(["%s", "%r", "%d", "%x", "%%", "%", "%(k)s",
                                                     "%5.2f", "%c"])),
                   max_size=6).map("".join)
msg_plans = st.one_of(
    st.tuples(formats, st.lists(arg_plans, max_size=3).map(lambda xs: ("tuple", xs))),
    st.tuples(formats, st.lists(st.tuples(st.just(("v", "k")), arg_plans), min_size=1,
                                max_size=2).map(lambda kv: ("mapping", kv))),
    st.tuples(st.one_of(leaf_plans, value_plans), st.just(("tuple", []))))
level_plans = st.one_of(
    st.sampled_from(["INFO", "WARNING", "CRITICAL", "Level 25", "NOTICE"]).map(lambda v: ("v", v)),
    texts.map(lambda v: ("v", v)), st.integers().map(lambda v: ("v", v)),
    st.sampled_from([("v", None), ("refuses",), ("v", b"bytes")]))

# Plans whose mutation the native label merge may see differently from Python's dict
# iteration (which notices a same-size change only sometimes): the outcome is checked for
# "at most once, well formed", not for equality with the reference.
TOLERATED = ("swap",)


class Builder:
    """Turns plans into fresh objects; pokes refer to the record's own dicts."""

    def __init__(self):
        self.owners = {}

    def build(self, plan, parent=None):
        kind = plan[0]
        if kind == "v":
            return plan[1]
        if kind == "refuses":
            return Refuses()
        if kind == "digits":
            n = abs(plan[1])
            return (1 if plan[1] > 0 else -1) * 10 ** (n - 1)
        if kind == "nested":
            # Built without recursion: thousands of levels deep.
            value = 1
            for _ in range(plan[2]):
                value = [value] if plan[1] == "list" else {"k": value}
            return value
        if kind == "bytes":
            return b"\xff\xfe"
        if kind == "set":
            return {1, 2}
        if kind == "object":
            return Opaque()
        if kind == "self":
            return parent if parent is not None else ("self", "without container")
        if kind == "poke":
            return Pokes(self.owners.setdefault(plan[1], {}), plan[2])
        if kind in ("list", "tuple"):
            out = []
            for child in plan[1]:
                out.append(self.build(child, out))
            return out if kind == "list" else tuple(out)
        if kind in ("dict", "items-mutate", "mapping"):
            out = ItemsMutate() if kind == "items-mutate" else {}
            for k, v in plan[1]:
                out[self.build(k)] = self.build(v, out)
            return out
        raise AssertionError(plan)

    def owned_dict(self, name, plan):
        """Builds a dict plan into the dict that pokes of `name` change."""
        if plan[0] != "dict":
            return self.build(plan)
        out = self.owners.setdefault(name, {})
        for k, v in plan[1]:
            try:
                out[self.build(k)] = self.build(v, out)
            except TypeError:  # unhashable generated key: leave it out
                pass
        return out


def make_record(plans):
    """A fresh LogRecord for the plans, or None when Python itself cannot build it."""
    b = Builder()
    try:
        labels = b.owned_dict("labels", plans["labels"])
        ctx = b.owned_dict("ctx", plans["ctx"])
        fmt, args_plan = plans["msg"]
        if args_plan[0] == "mapping":
            args = (b.build(args_plan),)
        else:
            args = tuple(b.build(a) for a in args_plan[1])
        msg = fmt if isinstance(fmt, str) else b.build(fmt)
        record = logging.LogRecord("hostile", logging.INFO, __file__, 7, msg, args, None)
    except TypeError:  # an unhashable key generated into a dict: not a record at all
        return None
    record.levelname = b.build(plans["level"])
    record.labels = labels
    record.ctx = ctx
    return record


class Roads(collections.namedtuple("Roads", "client directory")):
    """One handler per record, on the stream road (a live server) or the fallback road."""

    def deliver(self, road, record):
        """Emits the record; returns [(place, raw bytes)] of everything that arrived."""
        n = next(_keys)
        key = "hostile:%d:%d" % (os.getpid(), n)
        path = os.path.join(self.directory, "fallback-%d.log" % n)
        handler = quorbel.RedisStreamHandler(
            client=self.client if road == "stream" else None, stream_key=key, maxlen=0,
            default_labels=dict(DEFAULTS), fallback_file_path=path, fallback_max_bytes=0)
        try:
            assert handler.handle(record) is not None  # handle returns the filter verdict
        finally:
            handler._fallback.close()
        arrived = [("stream", fields[b"payload"])
                   for _, fields in self.client.xrange(key, "-", "+")]
        self.client.delete(key)
        with open(path, "rb") as f:
            data = f.read()
        os.remove(path)
        if data:
            # One record, one line: the only LF is the terminator, and no CR at all.
            assert data.count(b"\n") == 1 and data.endswith(b"\n"), data[:200]
            arrived.append(("fallback", data[:-1]))
        for _, raw in arrived:
            assert b"\n" not in raw and b"\r" not in raw
            json.loads(raw.decode("utf-8"))  # strict UTF-8, parseable JSON
        return arrived


@pytest.fixture(scope="module")
def roads(redis_server, tmp_path_factory):
    # Generous timeouts and no retries: a megabyte entry must not time out into a
    # duplicate, so each record is either appended once or not at all.
    client = redis_server.client(decode_responses=False, socket_timeout=10,
                                 socket_connect_timeout=10)
    yield Roads(client, str(tmp_path_factory.mktemp("hostile")))
    client.close()


def check(roads, road, plans):
    """Delivers one record built from the plans; returns what became of it."""
    expected_record = make_record(plans)
    if expected_record is None:
        return "not a record"
    # What emit would deliver (with ts "0"), or None for nothing.
    expected = reference.python_payload(DEFAULTS, expected_record, "0")
    arrived = roads.deliver(road, make_record(plans))
    if any(a in repr(plans) for a in TOLERATED):
        assert len(arrived) <= 1
        return "tolerated"
    if expected is None:
        assert arrived == []
        return "dropped"
    assert [(place, TS.sub(b'{"ts":"0",', raw, count=1)) for place, raw in arrived] == [
        (road, expected.encode("utf-8"))]
    return "delivered"


HYPOTHESIS = settings(max_examples=int(os.environ.get("QUORBEL_HOSTILE_EXAMPLES", "150")),
                      deadline=None, derandomize=True,
                      suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


@pytest.mark.parametrize("road", ["stream", "fallback"])
def test_generated_records(roads, road, figures):
    outcomes = collections.Counter()

    @HYPOTHESIS
    @given(data=st.fixed_dictionaries({"msg": msg_plans, "labels": labels_plans,
                                       "ctx": ctx_plans, "level": level_plans}))
    def run(data):
        outcomes[check(roads, road, data)] += 1

    run()
    figures("[hostile] generated records via %s: %s", road,
            ", ".join("%s %d" % kv for kv in sorted(outcomes.items())))
    # Both outcomes must really have been exercised, not only one of them.
    assert outcomes["delivered"] >= 20 and outcomes["dropped"] >= 10, outcomes


PLAIN = {"msg": ("m", ("tuple", [])), "labels": ("v", None), "ctx": ("v", None),
         "level": ("v", "INFO")}


def plan(**parts):
    return dict(PLAIN, **parts)


def nested(kind, depth):
    return ("nested", kind, depth)


MB = 1024 * 1024
NAMED = {
    # Deep nesting on both sides of the native encoder's depth limit, and far beyond
    # the interpreter's recursion limit (then nothing is delivered).
    **{"ctx %s depth %d" % (kind, depth): plan(ctx=("dict", [(("v", "deep"), nested(kind, depth))]))
       for kind in ("list", "dict") for depth in (98, 99, 100, 101, 500, 5000)},
    "label value nested 5000 deep": plan(labels=("dict", [(("v", "deep"), nested("list", 5000))])),
    "msg arg nested 5000 deep": plan(msg=("%s", ("tuple", [nested("dict", 5000)]))),
    # A megabyte of text in each place.
    "1 MB msg": plan(msg=("x" * MB, ("tuple", []))),
    "1 MB msg from args": plan(msg=("%s|%s", ("tuple", [("v", "\n" * MB), ("v", "é" * MB)]))),
    "1 MB label value": plan(labels=("dict", [(("v", "big"), ("v", "\r\n" * (MB // 2)))])),
    "1 MB label key": plan(labels=("dict", [(("v", "\u2028" * MB), ("v", "v"))])),
    "1 MB ctx value": plan(ctx=("dict", [(("v", "big"), ("v", "\x00\x1f\"\\" * (MB // 4)))])),
    "1 MB ctx of surrogates": plan(ctx=("dict", [(("v", "s"), ("v", "\udc80" * MB))])),
    "1 MB level name": plan(level=("v", "LEVEL\n" * (MB // 6))),
    # Recursive structures (a ctx that holds itself is test_json_encoder.py's).
    "label value contains itself": plan(labels=("dict", [(("v", "me"), ("list", [("self",)]))])),
    "msg arg made circular ctx": plan(msg=("%s", ("tuple", [("poke", "ctx", "self")])),
                                      ctx=("dict", [(("v", "a"), ("v", 1))])),
    "msg arg cleared ctx": plan(msg=("%s", ("tuple", [("poke", "ctx", "clear")])),
                                ctx=("dict", [(("v", "a"), ("v", 1))])),
    # Objects that refuse to become text.
    "msg refuses str": plan(msg=(("refuses",), ("tuple", []))),
    "msg arg refuses str": plan(msg=("%s", ("tuple", [("refuses",)]))),
    "msg arg refuses repr": plan(msg=("%r", ("tuple", [("refuses",)]))),
    "mapping arg refuses": plan(msg=("%(k)s", ("mapping", [(("v", "k"), ("refuses",))]))),
    "label value refuses": plan(labels=("dict", [(("v", "k"), ("refuses",))])),
    "label key refuses": plan(labels=("dict", [(("refuses",), ("v", "v"))])),
    "ctx value refuses": plan(ctx=("dict", [(("v", "k"), ("refuses",))])),
    "level refuses": plan(level=("refuses",)),
    # Dicts changed while they are being converted.
    "labels grow while merged": plan(labels=("dict", [(("v", "a"), ("poke", "labels", "grow")),
                                                      (("v", "b"), ("v", "2"))])),
    "labels cleared while merged": plan(labels=("dict", [(("v", "a"), ("v", "1")),
                                                         (("v", "b"), ("poke", "labels", "clear"))])),
    "labels swapped while merged": plan(labels=("dict", [(("v", "a"), ("poke", "labels", "swap")),
                                                         (("v", "b"), ("v", "2"))])),
    "ctx item mutates itself": plan(ctx=("dict", [(("v", "sub"), ("items-mutate",
                                                                   [(("v", "x"), ("v", 1))]))])),
    # Keys and numbers that become text in the labels (in a ctx they are
    # test_json_encoder.py's).
    "label non-str keys": plan(labels=("dict", [(("v", 1), ("v", 1)), (("v", None), ("v", 2)),
                                                (("v", (1, 2)), ("v", 3))])),
    "label int past the text limit": plan(labels=("dict", [(("v", "n"), ("digits", 4301))])),
    # Lone surrogates everywhere, each edge of the range: written as lower-case escapes.
    "lone surrogates everywhere": plan(
        msg=("m\udc80-%s-\udfff", ("tuple", [("v", "\ud800x")])),
        labels=("dict", [(("v", "k\udcff"), ("v", "v\udcab"))]),
        ctx=("dict", [(("v", "c\udc00"), ("list", [("v", "\udcef"),
                                                   ("dict", [(("v", "\udbff"), ("v", "ok"))])]))])),
    # Control characters and line breaks everywhere.
    "controls everywhere": plan(
        msg=("a\nb\rc\x00%s\x1b[31m\u2028\u2029\x85", ("tuple", [("v", "\r\n")])),
        labels=("dict", [(("v", "k\n"), ("v", "v\r"))]),
        ctx=("dict", [(("v", "\n"), ("v", "\r")), (("v", "t"), ("v", "\t\b\f\x7f"))]),
        level=("v", "WARN\nING")),
}


@pytest.mark.parametrize("road", ["stream", "fallback"])
@pytest.mark.parametrize("name", sorted(NAMED))
def test_named_hostile_records(roads, road, name):
    check(roads, road, NAMED[name])


# Where an error that is not an Exception comes from: a change to a plain record.
HALTS = {
    "msg": lambda r: setattr(r, "args", (HaltsOnStr(),)),
    "label value": lambda r: setattr(r, "labels", {"k": HaltsOnStr()}),
    "label key": lambda r: setattr(r, "labels", {HaltsOnStr(): "v"}),
    "ctx truth": lambda r: setattr(r, "ctx", HaltsOnTruth()),
    "level": lambda r: setattr(r, "levelname", HaltsOnStr()),
}


@pytest.mark.parametrize("where", sorted(HALTS))
def test_errors_that_are_not_exceptions_pass_and_leave_the_handler_working(roads, where):
    # That logging's handle releases its lock on the way out is test_emit.py's to check.
    record = logging.LogRecord("hostile", logging.INFO, __file__, 7, "%s", ("x",), None)
    HALTS[where](record)
    handler = quorbel.RedisStreamHandler(client=roads.client, stream_key="hostile:halt")
    with pytest.raises(Halt):
        handler.handle(record)
    handler.handle(logging.LogRecord("hostile", logging.INFO, __file__, 7, "after", (), None))
    assert roads.client.xlen("hostile:halt") == 1
    roads.client.delete("hostile:halt")


# --- Hostile programs: what a Python program can do to the module itself ---------------------
# Anything that may crash runs in a fresh interpreter (run_child): a crash is a failure that
# names the signal. The children take their fakes from tests/fakes.py, as the tests do.
FAKES = "import sys\nsys.path.append(%r)\n" % os.path.dirname(os.path.dirname(__file__))

# Each failing call, as the child script names it: quorbel's own refusals (before a body runs),
# an exception from a body, and the cause emit reports for a record with nowhere to go.
FAILING_CALLS = FAKES + r'''
import json, logging, sys
import quorbel
from fakes import ReportingHandler


class Refuses:
    def __str__(self):
        raise ValueError("no text for you")


LOSING = ReportingHandler(drop_on_error=False)
RECORD = logging.LogRecord("hostile", logging.INFO, "hostile.py", 7, "m", (), None)
APP = quorbel.RedisAppLogger(logging.getLogger("hostile"))


def emit_without_destination():
    LOSING.reports.clear()
    LOSING.emit(RECORD)
    [(_, cause)] = LOSING.reports
    raise cause


CALLS = {
    "_merge_labels refuses a list": lambda: quorbel._merge_labels([], None),
    "_merge_labels body raises": lambda: quorbel._merge_labels({"k": Refuses()}, None),
    "info refuses an int": lambda: APP.info(123),
    "_now_ns refuses an argument": lambda: quorbel._now_ns(1),
    "get_logger refuses bytes": lambda: quorbel.get_logger(b"x"),
    "emit reports a loss": emit_without_destination,
}


def outcome(call):
    """[exception type, text, names of the module's traceback entries]."""
    try:
        call()
    except Exception as exc:
        names, tb = [], exc.__traceback__
        while tb is not None:
            if tb.tb_frame.f_code.co_name.startswith("quorbel."):
                names.append(tb.tb_frame.f_code.co_name)
            tb = tb.tb_next
        return [type(exc).__name__, str(exc), names]
    return ["no exception"]
'''

ENTRY_GLOBALS = FAILING_CALLS + r'''

def entry_globals():
    """The globals of the frame behind a traceback entry of the module."""
    try:
        quorbel._merge_labels([], None)
    except TypeError as exc:
        tb = exc.__traceback__
    while not tb.tb_frame.f_code.co_name.startswith("quorbel."):
        tb = tb.tb_next
    return tb.tb_frame.f_globals


before = {name: outcome(call) for name, call in CALLS.items()}
exec(sys.argv[1], {"g": entry_globals()})
after = {name: [outcome(call), outcome(call)] for name, call in CALLS.items()}
print(json.dumps({"before": before, "after": after}))
'''

TAMPERINGS = {
    "_getframe returns an int": "g['_getframe'] = lambda: 42",
    "_getframe returns None": "g['_getframe'] = lambda: None",
    "_getframe returns a str": "g['_getframe'] = str",
    "_getframe is an int": "g['_getframe'] = 42",
    "_getframe raises": "def f():\n    raise KeyError('tampered')\ng['_getframe'] = f",
    "_getframe deleted": "g.pop('_getframe', None)",
    "__builtins__ deleted": "g.pop('__builtins__', None)",
    "__builtins__ emptied": "g['__builtins__'] = {}",
    "dict cleared": "g.clear()",
}


@pytest.mark.parametrize("tampering", sorted(TAMPERINGS))
def test_tampering_with_a_traceback_entry_changes_nothing(tampering):
    # A traceback hands out the frame of the module's entry, and with it that frame's globals.
    # Whatever a program does to them, later failing calls raise as before, entry included.
    result = json.loads(run_child(ENTRY_GLOBALS, TAMPERINGS[tampering]))
    for name, first in result["before"].items():
        assert first[0] != "no exception" and first[2], (name, first)
        assert result["after"][name] == [first, first], name


SIGNALLED = FAILING_CALLS + r'''
import signal


class Tick(BaseException):
    pass


class TickError(Exception):
    pass


EXCEPTIONS = {"KeyboardInterrupt": KeyboardInterrupt, "BaseException": Tick,
              "Exception": TickError}


def python_refuses(msg):
    if type(msg) is not str:
        raise TypeError("Argument 'msg' has incorrect type")


CALLS["python function"] = lambda: python_refuses(123)
call, tick, target = CALLS[sys.argv[1]], EXCEPTIONS[sys.argv[2]], int(sys.argv[3])
raised = caught = 0
armed = False


def on_alarm(signum, frame):
    # Raises only while the loop below is inside its try, at most once per pass of it: each
    # exception raised here must arrive at the except clause that counts it.
    global armed, raised
    if armed:
        armed = False
        raised += 1
        raise tick()


signal.signal(signal.SIGALRM, on_alarm)
signal.setitimer(signal.ITIMER_REAL, 0.0002, 0.0002)
while raised < target:
    try:
        armed = True
        try:
            call()
        except Exception as exc:
            if isinstance(exc, tick):
                raise
        armed = False
    except tick:
        caught += 1
signal.setitimer(signal.ITIMER_REAL, 0, 0)
print(json.dumps({"raised": raised, "caught": caught}))
'''


# emit discards every Exception raised inside it, a signal handler's too: only the others.
@pytest.mark.parametrize("call, raised", [
    (call, raised)
    for call in ["python function", "info refuses an int", "_merge_labels refuses a list",
                 "_merge_labels body raises", "emit reports a loss"]
    for raised in ["KeyboardInterrupt", "BaseException", "Exception"]
    if (call, raised) != ("emit reports a loss", "Exception")])
def test_exceptions_raised_by_signal_handlers_reach_the_caller(call, raised):
    # A signal handler raising every 0.2 ms lands, now and then, while the module adds the
    # traceback entry of a failing call. Like a Python function (the first case), the module
    # must hand each of those exceptions to the caller: none is lost (Ctrl-C always stops).
    result = json.loads(run_child(SIGNALLED, call, raised, 1000))
    assert result["raised"] == 1000
    assert result["caught"] == result["raised"], "%d of %d exceptions were lost" % (
        result["raised"] - result["caught"], result["raised"])


class LabelDict(dict):
    pass


SUBCLASS_ITEMS = [("env", "dev"), ("code", 7), ("skip", None)]
LABEL_SUBCLASSES = {
    "OrderedDict": lambda: collections.OrderedDict(SUBCLASS_ITEMS),
    "defaultdict": lambda: collections.defaultdict(str, SUBCLASS_ITEMS),
    "dict subclass": lambda: LabelDict(SUBCLASS_ITEMS),
}


@pytest.mark.parametrize("road", ["stream", "fallback"])
@pytest.mark.parametrize("kind", sorted(LABEL_SUBCLASSES))
def test_labels_of_a_dict_subclass_are_merged_as_a_plain_dict(roads, road, kind):
    # Called directly, _merge_labels refuses a subclass as the binder refuses any (its message
    # is test_binder.py's): emit merges the record's labels as the plain dict of their items.
    record = logging.LogRecord("hostile", logging.INFO, __file__, 7, "m", (), None)
    record.labels = LABEL_SUBCLASSES[kind]()
    [(place, raw)] = roads.deliver(road, record)
    # The defaults' key order, the record's values over them, its None values left out.
    labels = json.loads(raw.decode("utf-8"))["labels"]
    assert place == road
    assert list(labels.items()) == [("app", "api"), ("env", "dev"), ("code", "7")]
    assert list(record.labels.items()) == SUBCLASS_ITEMS


REENTRANT = FAKES + r'''
import json, logging, sys
import quorbel
from fakes import ReportingHandler

drop_on_error = sys.argv[1] == "True"
logger = logging.getLogger("reentrant")
logger.propagate = False
logger.setLevel(logging.INFO)


class Reentrant:
    """Logs one more record through the same logger from inside every append."""

    def __init__(self):
        self.delivered = []

    def xadd(self, key, fields, **kwargs):
        depth = json.loads(fields["payload"])["ctx"]["depth"]
        logger.info("nested", extra={"ctx": {"depth": depth + 1}})
        self.delivered.append(depth)


runs = []
for limit in (50000, 20000):
    sys.setrecursionlimit(limit)
    client = Reentrant()
    handler = ReportingHandler(client=client, drop_on_error=drop_on_error)
    logger.addHandler(handler)
    logger.info("outer", extra={"ctx": {"depth": 0}})
    logger.removeHandler(handler)
    reports = [[record.ctx["depth"], type(cause).__name__ if cause else None]
               for record, cause in handler.reports]
    runs.append({"delivered": client.delivered, "reports": reports})
print(json.dumps(runs))
'''


@pytest.mark.parametrize("drop_on_error", [False, True])
def test_reentry_through_the_client_is_bounded(drop_on_error):
    # Every append logs again through the same handler, with a recursion limit far above
    # what the C stack holds. The chain ends at a fixed depth, whatever the limit: the record
    # there is dropped (reported with drop_on_error=False), every shallower one delivered.
    runs = json.loads(run_child(REENTRANT, drop_on_error))
    depth = len(runs[0]["delivered"])
    for run in runs:
        assert sorted(run["delivered"]) == list(range(depth)) and depth >= 1
        if drop_on_error:
            assert run["reports"] == []
        else:
            [[reported, cause]] = run["reports"]
            assert reported == depth and cause is not None


IMMUTABLE = r'''
import json, sys
import quorbel

CALLABLES = [quorbel.get_logger, quorbel._now_ns, quorbel._merge_labels,
             quorbel.RedisStreamHandler.__init__, quorbel.RedisStreamHandler.emit,
             quorbel.RedisAppLogger.__init__, quorbel.RedisAppLogger.info]


def hijack(*args, **kwargs):
    return "hijacked"


verb, name = sys.argv[1].split()


def attempt(t):
    try:
        if verb == "set":
            setattr(t, name, hijack)
        else:
            delattr(t, name)
    except Exception as exc:
        return type(exc).__name__
    return "changed"


plain = attempt(type(lambda: 0))
ours = sorted({attempt(type(c)) for c in CALLABLES})
try:
    works = (quorbel._now_ns().isdigit()
             and quorbel._merge_labels({"a": 1}, None) == {"a": "1"}
             and "function" in repr(quorbel.get_logger))
except Exception as exc:
    works = repr(exc)
print(json.dumps({"plain function": plain, "ours": ours, "works": works}))
'''


@pytest.mark.skipif(sys.version_info < (3, 10), reason="a type is made immutable from 3.10 on")
@pytest.mark.parametrize("change", ["set __call__", "set __get__", "set __repr__",
                                    "set new_attribute", "delete __call__", "delete __repr__"])
def test_the_callable_type_refuses_changes_as_a_plain_function_type_does(change):
    result = json.loads(run_child(IMMUTABLE, change))
    assert result == {"plain function": "TypeError", "ours": ["TypeError"], "works": True}
