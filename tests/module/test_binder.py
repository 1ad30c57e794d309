"""Argument binding shared by every callable: counts, keywords, conversions, exact types."""
import collections
import contextlib
import decimal
import enum
import fractions
import itertools
import logging
import logging.config

import sys

import pytest

import quorbel
from fakes import RecordingLogger
from signatures import LEVEL_METHODS, typed_parameters

RSH = quorbel.RedisStreamHandler
RAL = quorbel.RedisAppLogger


def vid(value):
    """A test id without memory addresses, so ids stay stable between runs."""
    text = repr(value)
    return type(value).__name__ if " at 0x" in text else text


def app(logger=None):
    return RAL(RecordingLogger() if logger is None else logger)


def qualified(tp):
    return tp.__qualname__ if tp.__module__ == "builtins" else tp.__module__ + "." + tp.__qualname__


def type_error(param, expected, value):
    return "Argument '%s' has incorrect type (expected %s, got %s)" % (
        param, expected, qualified(type(value)))


# ---------------------------------------------------------------- counts

def _count(name, words, number, given):
    return "%s() takes %s %d positional argument%s (%d given)" % (
        name, words, number, "" if number == 1 else "s", given)


COUNT_CASES = [
    (lambda: quorbel._merge_labels(), _count("_merge_labels", "exactly", 2, 0)),
    (lambda: quorbel._merge_labels(None), _count("_merge_labels", "exactly", 2, 1)),
    (lambda: quorbel._merge_labels(None, None, None), _count("_merge_labels", "exactly", 2, 3)),
    (lambda: quorbel._merge_labels(None, None, None, base=None),
     _count("_merge_labels", "exactly", 2, 3)),
    # A missing required parameter reports how many required ones were filled before it.
    (lambda: quorbel._merge_labels(base=None), _count("_merge_labels", "exactly", 2, 1)),
    (lambda: quorbel._merge_labels(extra=None), _count("_merge_labels", "exactly", 2, 0)),
    (lambda: RSH().emit(), _count("emit", "exactly", 2, 1)),
    (lambda: RSH().emit(1, 2), _count("emit", "exactly", 2, 3)),
    (lambda: RSH.emit(), _count("emit", "exactly", 2, 0)),
    (lambda: RSH.emit(record=None), _count("emit", "exactly", 2, 0)),
    (lambda: RAL(), _count("__init__", "exactly", 2, 1)),
    (lambda: RAL(1, 2), _count("__init__", "exactly", 2, 3)),
    (lambda: RAL.__init__(), _count("__init__", "exactly", 2, 0)),
    (lambda: RSH(*range(11)), _count("__init__", "at most", 11, 12)),
    (lambda: RSH(*range(11), stream_key="k"), _count("__init__", "at most", 11, 12)),
    (lambda: RSH.__init__(), _count("__init__", "at least", 1, 0)),
    (lambda: RSH.__init__(redis_url=None), _count("__init__", "at least", 1, 0)),
    (lambda: quorbel.get_logger(), _count("get_logger", "at least", 1, 0)),
    (lambda: quorbel.get_logger(redis_url=None), _count("get_logger", "at least", 1, 0)),
    (lambda: quorbel.get_logger(*range(11)), _count("get_logger", "at most", 10, 11)),
    (lambda: quorbel.get_logger(*range(11), name="x"), _count("get_logger", "at most", 10, 11)),
    (lambda: quorbel._now_ns(1), "_now_ns() takes no arguments (1 given)"),
    (lambda: quorbel._now_ns(1, 2), "_now_ns() takes no arguments (2 given)"),
    (lambda: quorbel._now_ns(x=2), "_now_ns() takes no keyword arguments"),
    (lambda: quorbel._now_ns(1, x=2), "_now_ns() takes no keyword arguments"),
]
for _m in LEVEL_METHODS:
    COUNT_CASES += [
        (lambda m=_m: getattr(app(), m)(), _count(_m, "at least", 2, 1)),
        (lambda m=_m: getattr(app(), m)(1, 2, 3, 4), _count(_m, "at most", 4, 5)),
        (lambda m=_m: getattr(app(), m)(labels=None), _count(_m, "at least", 2, 1)),
        (lambda m=_m: getattr(RAL, m)(), _count(_m, "at least", 2, 0)),
        (lambda m=_m: getattr(RAL, m)(msg="x"), _count(_m, "at least", 2, 0)),
    ]


# ---------------------------------------------------------------- keywords

def _multiple(name, kw):
    return "%s() got multiple values for keyword argument '%s'" % (name, kw)


def _unexpected(name, kw):
    return "%s() got an unexpected keyword argument '%s'" % (name, kw)


KEYWORD_CASES = [
    (lambda: quorbel._merge_labels(None, base=None), _multiple("_merge_labels", "base")),
    (lambda: quorbel._merge_labels(None, None, foo=1), _unexpected("_merge_labels", "foo")),
    # A stray keyword is reported before the missing parameter it could have been.
    (lambda: quorbel._merge_labels(None, foo=1), _unexpected("_merge_labels", "foo")),
    # Left-over keywords are scanned in the caller's order.
    (lambda: quorbel._merge_labels(None, zzz=1, base=2), _unexpected("_merge_labels", "zzz")),
    (lambda: quorbel._merge_labels(None, base=2, zzz=1), _multiple("_merge_labels", "base")),
    (lambda: app().info("m", foo=1), _unexpected("info", "foo")),
    (lambda: app().info("m", msg="x"), _multiple("info", "msg")),
    (lambda: app().error("m", self=1), _multiple("error", "self")),
    (lambda: RSH(foo=1), _unexpected("__init__", "foo")),
    (lambda: RSH(None, redis_url=None), _multiple("__init__", "redis_url")),
    (lambda: RSH().emit(rec=1), _unexpected("emit", "rec")),
    (lambda: RSH().emit(None, record=None), _multiple("emit", "record")),
    (lambda: RAL(logger=1, log=2), _unexpected("__init__", "log")),
    (lambda: quorbel.get_logger("n", name="n"), _multiple("get_logger", "name")),
    (lambda: quorbel.get_logger("n", lvl=10), _unexpected("get_logger", "lvl")),
]


NON_STR_KEYWORD_CALLS = [
    lambda: quorbel._merge_labels(**{1: 2}),
    lambda: quorbel._merge_labels(None, None, **{1: 2}),
    lambda: quorbel._merge_labels(None, **{None: 2, "extra": None}),
    lambda: RSH(**{1: 2}),
    lambda: RSH().emit(None, **{b"record": 1}),
    lambda: RAL(**{1: 2}),
    lambda: app().info("m", **{1: 2}),
    lambda: quorbel.get_logger("n", **{(): 2}),
    lambda: quorbel.get_logger(**{1: 2}),
]


@pytest.mark.parametrize("call", NON_STR_KEYWORD_CALLS)
def test_non_str_keyword_keys_are_refused(call):
    with pytest.raises(TypeError):
        call()


def test_now_ns_refuses_any_keyword_mapping_but_accepts_an_empty_one():
    with pytest.raises(TypeError) as info:
        quorbel._now_ns(**{1: 2})
    # From 3.12 the interpreter itself refuses a non-str key before the call, as it does for
    # every function and builtin.
    expected = ("keywords must be strings" if sys.version_info >= (3, 12)
                else "_now_ns() takes no keyword arguments")
    assert str(info.value) == expected
    assert quorbel._now_ns(*(), **{}).isdigit()


def test_every_parameter_binds_by_keyword_including_self():
    assert quorbel._merge_labels(extra={"b": 2}, base={"a": 1}) == {"a": "1", "b": "2"}
    assert quorbel._merge_labels(None, None, **{}) == {}
    fake = RecordingLogger()
    a = RAL(logger=fake)
    assert RAL.warning(self=a, msg="m", ctx={"c": 1}) is None
    assert fake.calls == [("warning", ("m",), [("extra", {"labels": {}, "ctx": {"c": 1}})])]
    h = RSH.__new__(RSH)
    assert RSH.__init__(self=h, stream_key="k") is None
    assert h.stream_key == "k"


# ---------------------------------------------------------------- int conversion

ConversionBoom = type("ConversionBoom", (Exception,), {})

# What int() takes or refuses, beside the built-in numbers.
IndexOnly = type("IndexOnly", (), {"__index__": lambda self: 7})
IntOnly = type("IntOnly", (), {"__int__": lambda self: 8})
FloatOnly = type("FloatOnly", (), {"__float__": lambda self: 2.5})
IndexNotInt = type("IndexNotInt", (), {"__index__": lambda self: "7"})


class RaisingIndex:
    def __index__(self):
        raise ConversionBoom("index")


MyInt = type("MyInt", (int,), {})
MyFloat = type("MyFloat", (float,), {})
Level = enum.IntEnum("Level", {"LOUD": 35})


NUMBER_VALUES = [
    2.7, -1.5, True, False, fractions.Fraction(7, 2), decimal.Decimal("9.9"), IndexOnly(),
    IntOnly(), MyInt(5), MyFloat(4.5), Level.LOUD, 1e20, 2 ** 70,
    float("nan"), float("inf"), float("-inf"), 1j, FloatOnly(), IndexNotInt(), RaisingIndex(),
]


def _int_outcome(value):
    """What the host's own int() makes of the value: ('ok', n) or ('raise', type, text)."""
    try:
        return ("ok", int(value))
    except Exception as exc:  # the conversion's own error is what callers must see
        return ("raise", type(exc), str(exc))


# Those int() refuses: every int parameter must raise the same (below, past the exact types).
INT_REFUSED = [v for v in NUMBER_VALUES if _int_outcome(v)[0] == "raise"]


INT_TARGETS = {
    # parameter -> (call with the value, read back the converted int)
    "get_logger.level": (lambda v, n: quorbel.get_logger(n, level=v), lambda lg: lg.level),
    "RedisStreamHandler.timeout_ms": (
        lambda v, n: RSH(timeout_ms=v), lambda h: h._timeout),
}


@pytest.mark.parametrize("value", [v for v in NUMBER_VALUES if v not in INT_REFUSED], ids=vid)
@pytest.mark.parametrize("target", sorted(INT_TARGETS))
def test_int_parameters_convert_numbers_like_int(target, value, logger_name):
    call, read = INT_TARGETS[target]
    result = read(call(value, logger_name))
    if target == "get_logger.level":
        assert type(result) is int and result == int(value)
    else:
        assert result == max(0.001, (int(value) or 1) / 1000.0)


Plain = type("Plain", (), {})


# ---------------------------------------------------------------- bool conversion

BoolBoom = type("BoolBoom", (Exception,), {})


class RaisingBool:
    def __init__(self, tag="bool"):
        self.tag = tag

    def __bool__(self):
        raise BoolBoom(self.tag)


# What bool() takes or refuses, beside the built-in values.
Falsy = type("Falsy", (), {"__bool__": lambda self: False})
EmptyLen = type("EmptyLen", (), {"__len__": lambda self: 0})
BoolNotBool = type("BoolNotBool", (), {"__bool__": lambda self: 1})


BOOL_TARGETS = {
    # parameter -> (call with the value, read back the truth value it was taken as)
    "RedisStreamHandler.drop_on_error": (lambda v, n, path: RSH(drop_on_error=v),
                                         lambda h: h.drop_on_error),
    "get_logger.enable_fallback_file": (
        lambda v, n, path: quorbel.get_logger(n, enable_fallback_file=v, fallback_path=path),
        lambda lg: lg.handlers[-1]._fallback is not None),
}


@pytest.mark.parametrize("value", [None, 0, 0.0, "", "no", [], [0], Falsy(), EmptyLen(), 1j,
                                   object(), RaisingBool(), BoolNotBool()], ids=vid)
@pytest.mark.parametrize("target", sorted(BOOL_TARGETS))
def test_bool_parameters_take_the_truth_value(target, value, logger_name, tmp_path):
    call, read = BOOL_TARGETS[target]
    path = str(tmp_path / "fallback.log")
    try:
        expected = bool(value)
    except Exception as exc:
        with pytest.raises(type(exc)) as info:
            call(value, logger_name, path)
        assert str(info.value) == str(exc)
        return
    assert read(call(value, logger_name, path)) is expected


# ---------------------------------------------------------------- exact types

S = type("S", (str,), {})
OddModule = type("OddModule", (), {"__module__": 42})


class Outer:
    class Inner:
        pass


def with_qualname(name, read):
    """A class whose __qualname__ reads as read() does."""

    class Meta(type):
        def __getattribute__(cls, attr):
            return read() if attr == "__qualname__" else super().__getattribute__(attr)

    return Meta(name, (), {})


def no_qualname():
    raise AttributeError("__qualname__")


NoQualname = with_qualname("NoQualname", no_qualname)
IntQualname = with_qualname("IntQualname", lambda: 5)


# Every callable with typed parameters: a call taking a keyword mapping, the valid keywords it
# needs besides, and its typed parameters in the order they are checked (signatures.py).
SIGNATURES = {
    "get_logger": (lambda kw: quorbel.get_logger(**kw), {"name": "n"}),
    "RedisStreamHandler.__init__": (lambda kw: RSH(**kw), {}),
    "_merge_labels": (lambda kw: quorbel._merge_labels(**kw), {"base": None, "extra": None}),
}
for _m in LEVEL_METHODS:
    SIGNATURES["RedisAppLogger." + _m] = (lambda kw, m=_m: getattr(app(), m)(**kw), {"msg": "m"})
SIGNATURES = {name: (call, base, typed_parameters(name))
              for name, (call, base) in SIGNATURES.items()}

EXPECTED = {"str": "str", "optstr": "str", "dict": "dict", "int": "int"}


def call_with(callable_name, kwargs):
    call, base, _ = SIGNATURES[callable_name]
    return call(dict(base, **kwargs))


def typed(values):
    """(callable, parameter, kind, value) for each parameter of a kind in values, and each
    of that kind's values."""
    return [pytest.param(name, param, kind, value, id="%s-%s-%s" % (name, param, vid(value)))
            for name, (_, _, params) in SIGNATURES.items() for param, kind in params
            for value in values.get(kind, ())]


REFUSED = {
    "str": [None, b"x", 1],
    "optstr": [b"x", 1, ["x"]],
    "dict": [[("a", "b")], "a=b", 0, frozenset()],
    "int": ["100", "5", b"1", None, [], {}, (), Plain(), object(), bytearray(b"1")],
}


@pytest.mark.parametrize("name, param, kind, value", typed(REFUSED))
def test_exact_type_errors(name, param, kind, value):
    with pytest.raises(TypeError) as info:
        call_with(name, {param: value})
    assert str(info.value) == type_error(param, EXPECTED[kind], value)


@pytest.mark.parametrize("name, param", [
    (n, p) for n, (_, _, params) in SIGNATURES.items() for p, k in params if k == "int"])
@pytest.mark.parametrize("value", INT_REFUSED, ids=vid)
def test_int_conversion_errors_propagate_unchanged(name, param, value):
    expected = _int_outcome(value)
    with pytest.raises(Exception) as info:
        call_with(name, {param: value})
    assert (type(info.value), str(info.value)) == expected[1:]


TYPE_NAME_CASES = [
    (lambda: app().info("m", labels=Outer.Inner()),
     "Argument 'labels' has incorrect type (expected dict, got %s.Outer.Inner)" % __name__),
    (lambda: app().info(OddModule()),
     "Argument 'msg' has incorrect type (expected str, got OddModule)"),
    (lambda: app().info(NoQualname()), "Argument 'msg' has incorrect type (expected str, got ?)"),
    (lambda: RSH(maxlen=NoQualname()),
     "Argument 'maxlen' has incorrect type (expected int, got ?)"),
    # A __qualname__ that is not text reads as unknown too.
    (lambda: app().info(IntQualname()), "Argument 'msg' has incorrect type (expected str, got ?)"),
    (lambda: RSH(timeout_ms=IntQualname()),
     "Argument 'timeout_ms' has incorrect type (expected int, got ?)"),
]


@pytest.mark.parametrize("call, message", COUNT_CASES + KEYWORD_CASES + TYPE_NAME_CASES)
def test_count_keyword_and_type_name_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


class ConvertingLabels(logging.config.ConvertingDict):
    """Only ConvertingDict itself is taken for default_labels (tests/ecosystem/test_config.py)."""


SUBCLASSES = {"str": [S("x")], "optstr": [S("x")],
              "dict": [collections.OrderedDict(a=1), collections.defaultdict(list),
                       collections.Counter(), ConvertingLabels(a=1)]}


def test_subclass_of_the_expected_type_gets_one_fixed_note():
    notes = set()
    for case in typed(SUBCLASSES):
        name, param, kind, value = case.values
        with pytest.raises(TypeError) as info:
            call_with(name, {param: value})
        text, prefix = str(info.value), type_error(param, EXPECTED[kind], value) + ". "
        assert text.startswith(prefix) and text[len(prefix):].strip(), (case.id, text)
        notes.add(text[len(prefix):])
    assert len(notes) == 1, notes


# ---------------------------------------------------------------- order of the two passes

def _bad(kind, param):
    """A bad value for one parameter and a check that the error is the one it causes."""
    if kind == "bool":
        value = RaisingBool(param)

        def check(exc):
            return isinstance(exc, BoolBoom) and exc.args == (param,)
    else:
        value = {"int": "x", "str": b"x", "optstr": 1, "dict": []}[kind]

        def check(exc):
            return isinstance(exc, TypeError) and str(exc) == type_error(
                param, EXPECTED[kind], value)
    return value, check


# Any permutation of the expected order inverts at least one adjacent pair (a parameter bad
# on its own: test_exact_type_errors and the conversion tests above).
ORDER_CASES = [(name, pair) for name, (_, _, seq) in SIGNATURES.items()
               for pair in zip(seq, seq[1:])]


@pytest.mark.parametrize("callable_name, bad", ORDER_CASES,
                         ids=["%s-%s" % (c, "+".join(p for p, _ in b)) for c, b in ORDER_CASES])
def test_first_failure_in_order_wins(callable_name, bad):
    kwargs = {}
    checks = []
    for param, kind in bad:
        kwargs[param], check = _bad(kind, param)
        checks.append(check)
    with pytest.raises(Exception) as info:
        call_with(callable_name, kwargs)
    assert checks[0](info.value), repr(info.value)


# ---------------------------------------------------------------- no effect when refused

def test_refused_handler_init_leaves_the_instance_untouched():
    h = RSH.__new__(RSH)
    for kwargs in ({"maxlen": "x"}, {"stream_key": None}, {"drop_on_error": RaisingBool()},
                   {"fallback_backup_count": float("nan")}, {"bogus": 1}):
        with pytest.raises(Exception):
            RSH.__init__(h, **kwargs)
        assert vars(h) == {}


def test_refused_level_method_neither_reads_nor_calls_the_logger():
    fake = RecordingLogger()
    a = RAL(fake)
    for call in (lambda: a.info(None), lambda: a.debug("m", []),
                 lambda: a.exception("m", None, collections.OrderedDict())):
        with pytest.raises(TypeError):
            call()
    assert fake.calls == []
    del a._log
    with pytest.raises(TypeError):
        a.error(b"m")


def test_refused_get_logger_touches_no_logger(logger_name):
    refused = ({"maxlen": "x"}, {"level": "INFO"}, {"default_labels": []},
               {"enable_fallback_file": RaisingBool()})
    for kwargs in refused:
        with pytest.raises(Exception):
            quorbel.get_logger(logger_name, **kwargs)
    assert logger_name not in logging.Logger.manager.loggerDict
    logger = quorbel.get_logger(logger_name, client=object(), level=logging.ERROR)
    handlers = list(logger.handlers)
    for kwargs in refused:
        with pytest.raises(Exception):
            quorbel.get_logger(logger_name, **kwargs)
    assert logger.level == logging.ERROR and logger.handlers == handlers


# ---------------------------------------------------------------- defaults

def test_level_default_is_fixed_at_import(logger_name, monkeypatch):
    monkeypatch.setattr(logging, "INFO", 30)
    with contextlib.suppress(AttributeError, TypeError):  # a read-only one would do as well
        monkeypatch.setattr(quorbel.get_logger, "__defaults__",
                            quorbel.get_logger.__defaults__[:-1] + (40,))
    assert quorbel.get_logger(logger_name).level == 20


# ---------------------------------------------------------------- hostile arguments

class ClearsOnConvert:
    """Empties the keyword mapping it sits in while being converted."""

    def __init__(self, mapping, result):
        self.mapping = mapping
        self.result = result

    def __int__(self):
        self.mapping.clear()
        return self.result

    def __bool__(self):
        self.mapping.clear()
        return False


def _unique(text):
    return "".join(itertools.chain(text, "-x"))


def test_values_survive_a_conversion_that_empties_the_keyword_mapping():
    # Older interpreters hand a `**mapping` call the caller's own dict; a conversion
    # may then drop the only other reference to the bound values.
    d = {"stream_key": _unique("key"), "default_labels": {_unique("a"): _unique("b")}}
    d["maxlen"] = ClearsOnConvert(d, 7)
    h = RSH(**d)
    assert (h.stream_key, h.default_labels, h.maxlen) == ("key-x", {"a-x": "b-x"}, 7)
    d = {"stream_key": _unique("other"), "client": [_unique("c")]}
    d["drop_on_error"] = ClearsOnConvert(d, 0)
    h = RSH(**d)
    assert (h.stream_key, h._client, h.drop_on_error) == ("other-x", ["c-x"], False)
