"""The payload text and its five members (the encoder, label merge and clock it is made with,
looked up at call time: test_rebinding.py). Every case runs against the native module and
the reference."""

import json
import logging

import pytest

from quorbel import RedisStreamHandler

from fakes import make_record

def text(impl, record, **handler_kwargs):
    return impl.payload_text(RedisStreamHandler(**handler_kwargs), record)


def member(impl, name, record, **handler_kwargs):
    return json.loads(text(impl, record, **handler_kwargs))[name]


def test_exact_payload_text_is_compact_and_unescaped(impl, fixed_ts):
    record = make_record("login %s é", ("ok",), labels={"env": "prod"},
                         ctx={"user_id": 42, "k": ["x", 1.5, None, True], "q": 'a"\\\n'})
    assert text(impl, record, default_labels={"app": "api"}) == (
        '{"ts":"%s","level":"info","msg":"login ok é","labels":{"app":"api","env":"prod"},'
        '"ctx":{"user_id":42,"k":["x",1.5,null,true],"q":"a\\"\\\\\\n"}}' % fixed_ts)


LoudStr = type("LoudStr", (str,), {"lower": lambda self: "not lowered by str.lower"})
Named = type("Named", (), {"__str__": lambda self: "AUDIT"})


@pytest.mark.parametrize("attrs, name", [
    ({"level": logging.DEBUG}, "debug"), ({"level": logging.INFO}, "info"),
    ({"level": logging.WARNING}, "warning"), ({"level": logging.ERROR}, "error"),
    ({"level": logging.CRITICAL}, "critical"), ({"level": 25}, "level 25"),
    ({"levelname": "NoTiCe"}, "notice"), ({"levelname": 42}, "42"),
    ({"levelname": Named()}, "audit"), ({"levelname": LoudStr("WARN")}, "warn"),
    ({"levelname": None}, "none"),
], ids=repr)
def test_level(impl, attrs, name):
    assert member(impl, "level", make_record(**attrs)) == name


@pytest.mark.parametrize("msg, args, expected", [
    ("100% sure", (), "100% sure"),
    ("%d%% of %s", (50, "disk"), "50% of disk"),
    ("%(user)s in", ({"user": "ann"},), "ann in"),
    (12345, (), "12345"),
    ("tab\there \"quoted\" back\\slash", (), "tab\there \"quoted\" back\\slash"),
    ("café ☕ 日本", (), "café ☕ 日本"),
])
def test_message(impl, msg, args, expected):
    assert member(impl, "msg", make_record(msg, args)) == expected


@pytest.mark.parametrize("msg, expected", [
    ("a\ud800b", '"a\\ud800b"'),
    ("\udcff", '"\\udcff"'),
    ('q"\\\n\x00\x1f\x7f', '"q\\"\\\\\\n\\u0000\\u001f\x7f"'),
    ("é\U0001f600", '"é\U0001f600"'),
])
def test_message_text_escapes(impl, msg, expected):
    sent = text(impl, make_record(msg))
    assert sent.split(',"msg":', 1)[1].split(',"labels":', 1)[0] == expected


class Mutating:
    """A message argument whose str() changes the label dicts after they were merged."""

    def __init__(self, *dicts):
        self.dicts = dicts

    def __str__(self):
        for d in self.dicts:
            d.clear()
            d["late"] = "added"
        return "m"


def test_labels_are_merged_before_the_message_is_made(impl):
    defaults, labels = {"app": "api", "n": 1}, {"env": "dev"}
    record = make_record("%s", (Mutating(defaults, labels),), labels=labels)
    assert list(member(impl, "labels", record, default_labels=defaults).items()) == [
        ("app", "api"), ("n", "1"), ("env", "dev")]


Gone = type("Gone", (AttributeError,), {})


def raising(exc):
    def get(self):
        raise exc
    return property(get)


def dynamic_labels(self, name):
    if name == "labels":
        return {"dyn": 1}
    raise AttributeError(name)


@pytest.mark.parametrize("attrs, labels, ctx", [
    ({"labels": raising(AttributeError("labels"))}, '{"app":"api"}', "{}"),
    ({"ctx": raising(Gone("ctx"))}, '{"app":"api"}', "{}"),
    ({}, '{"app":"api"}', "{}"),
    ({"labels": property(lambda self: {"p": "v"})}, '{"app":"api","p":"v"}', "{}"),
    ({"__getattr__": dynamic_labels}, '{"app":"api","dyn":"1"}', "{}"),
    ({"ctx": raising(ValueError("broken"))}, None, None),
    ({"labels": raising(LookupError("broken"))}, None, None),
], ids=["AttributeError", "its subclass", "absent", "property", "__getattr__", "ValueError",
        "LookupError"])
def test_labels_and_ctx_read_as_getattr_with_a_default(impl, attrs, labels, ctx):
    record = make_record()
    record.__class__ = type("Record", (logging.LogRecord,), attrs)
    sent = text(impl, record, default_labels={"app": "api"})
    if labels is None:
        assert sent is None
    else:
        assert sent.endswith(',"labels":%s,"ctx":%s}' % (labels, ctx))


@pytest.mark.parametrize("ctx, expected", [
    (None, "{}"), ({}, "{}"), (0, "{}"), ([], "{}"), ("", "{}"), (False, "{}"),
    ([1, "a"], '[1,"a"]'), ({"id": [1, 2]}, '{"id":[1,2]}'), ("x", '"x"'),
    ({"b": 1, "a": 2}, '{"b":1,"a":2}'),
    ({"v": float("nan"), "w": float("-inf")}, '{"v":NaN,"w":-Infinity}'),
])
def test_ctx(impl, ctx, expected):
    assert text(impl, make_record(ctx=ctx)).endswith(',"ctx":%s}' % expected)


def test_formatter_has_no_effect(impl, fixed_ts):
    h = RedisStreamHandler()
    h.setFormatter(logging.Formatter("[%(levelname)s] %(name)s: %(message)s"))
    record = make_record("m %s", ("x",))
    assert impl.payload_text(h, record) == text(impl, record)
