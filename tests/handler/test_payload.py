"""The payload text: its five members, and the encoder, label merge and clock it is made
with, each looked up at call time. Every case runs against the native module and the
reference."""

import json
import logging
import re
import time
import types

import pytest

import quorbel
from quorbel import RedisStreamHandler

from fakes import make_record

TS = "1700000000123456789"
TS_PREFIX = re.compile(r'\{"ts":"\d+",')


@pytest.fixture
def fixed_ts(monkeypatch):
    monkeypatch.setattr(quorbel, "_now_ns", lambda: TS)


def text(impl, record, **handler_kwargs):
    return impl.payload_text(RedisStreamHandler(**handler_kwargs), record)


def member(impl, name, record, **handler_kwargs):
    return json.loads(text(impl, record, **handler_kwargs))[name]


def test_exact_payload_text(impl, fixed_ts):
    record = make_record("login %s", ("ok",), labels={"env": "prod"}, ctx={"user_id": 42})
    assert text(impl, record, default_labels={"app": "api"}) == (
        '{"ts":"%s","level":"info","msg":"login ok",'
        '"labels":{"app":"api","env":"prod"},"ctx":{"user_id":42}}' % TS)


def test_real_clock_timestamp(impl):
    before = time.time_ns()
    ts = member(impl, "ts", make_record())
    assert type(ts) is str and len(ts) == 19 and ts.isdigit()
    assert before <= int(ts) <= time.time_ns()


class LoudStr(str):
    def lower(self):
        return "not lowered by str.lower"


class Named:
    def __str__(self):
        return "AUDIT"


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


def test_text_is_compact_and_unescaped(impl, fixed_ts):
    record = make_record("é", ctx={"k": ["x", 1.5, None, True], "q": 'a"\\\n'})
    assert text(impl, record) == (
        '{"ts":"%s","level":"info","msg":"é","labels":{},'
        '"ctx":{"k":["x",1.5,null,true],"q":"a\\"\\\\\\n"}}' % TS)


def test_labels_merge(impl):
    record = make_record(labels={"env": "dev", "region": None, "n": True, "app": None})
    sent = text(impl, record, default_labels={"env": "prod", "app": "api", 7: 1.5})
    assert '"labels":{"env":"dev","app":"api","7":"1.5","n":"True"}' in sent


class Mutating:
    """A message argument whose str() changes the label dicts after they were merged."""

    def __init__(self, *dicts):
        self.dicts = dicts

    def __str__(self):
        for d in self.dicts:
            d.clear()
            d["late"] = "added"
        return "m"


def test_labels_are_merged_before_the_message_is_made(impl, monkeypatch):
    defaults, labels = {"app": "api", "n": 1}, {"env": "dev"}
    record = make_record("%s", (Mutating(defaults, labels),), labels=labels)
    assert member(impl, "labels", record, default_labels=defaults) == {
        "app": "api", "n": "1", "env": "dev"}
    fake_json = RecordingJson()
    monkeypatch.setattr(quorbel, "json", fake_json)
    defaults, labels = {"app": "api", "n": 1}, {"env": "dev"}
    record = make_record("%s", (Mutating(defaults, labels),), labels=labels)
    text(impl, record, default_labels=defaults)
    [((payload,), _)] = fake_json.calls
    assert list(payload["labels"].items()) == [("app", "api"), ("n", "1"), ("env", "dev")]


class Gone(AttributeError):
    pass


def raising(exc):
    def get(self):
        raise exc
    return property(get)


class DynamicRecord(logging.LogRecord):
    def __getattr__(self, name):
        if name == "labels":
            return {"dyn": 1}
        raise AttributeError(name)


@pytest.mark.parametrize("attrs, labels, ctx", [
    ({"labels": raising(AttributeError("labels"))}, '{"app":"api"}', "{}"),
    ({"ctx": raising(Gone("ctx"))}, '{"app":"api"}', "{}"),
    ({"labels": property(lambda self: {"p": "v"})}, '{"app":"api","p":"v"}', "{}"),
    ({"ctx": raising(ValueError("broken"))}, None, None),
    ({"labels": raising(LookupError("broken"))}, None, None),
], ids=["AttributeError", "its subclass", "property", "ValueError", "LookupError"])
def test_labels_and_ctx_read_as_getattr_with_a_default(impl, attrs, labels, ctx):
    record = make_record()
    record.__class__ = type("Record", (logging.LogRecord,), attrs)
    sent = text(impl, record, default_labels={"app": "api"})
    if labels is None:
        assert sent is None
    else:
        assert sent.endswith(',"labels":%s,"ctx":%s}' % (labels, ctx))


def test_labels_from_a_records_getattr(impl):
    record = make_record()
    record.__class__ = DynamicRecord
    assert text(impl, record).endswith(',"labels":{"dyn":"1"},"ctx":{}}')


@pytest.mark.parametrize("ctx, expected", [
    (None, "{}"), ({}, "{}"), (0, "{}"), ([], "{}"), ("", "{}"), (False, "{}"),
    ([1, "a"], '[1,"a"]'), ({"id": [1, 2]}, '{"id":[1,2]}'), ("x", '"x"'),
    ({"b": 1, "a": 2}, '{"b":1,"a":2}'),
    ({"v": float("nan"), "w": float("-inf")}, '{"v":NaN,"w":-Infinity}'),
])
def test_ctx(impl, ctx, expected):
    assert text(impl, make_record(ctx=ctx)).endswith(',"ctx":%s}' % expected)


def test_record_without_labels_and_ctx(impl):
    sent = text(impl, make_record(), default_labels={"app": "api"})
    assert sent.endswith('"labels":{"app":"api"},"ctx":{}}')


def test_formatter_has_no_effect(impl, fixed_ts):
    h = RedisStreamHandler()
    h.setFormatter(logging.Formatter("[%(levelname)s] %(name)s: %(message)s"))
    record = make_record("m %s", ("x",))
    assert impl.payload_text(h, record) == text(impl, record)


# --- what the payload is made with ------------------------------------------------------


class RecordingJson:
    """Stands in for the json module: records dumps calls, then encodes for real."""

    def __init__(self):
        self.calls = []

    def dumps(self, *args, **kwargs):
        self.calls.append((args, list(kwargs.items())))
        return json.dumps(*args, **kwargs)


def test_encoder_call_and_payload_objects(impl, monkeypatch):
    fake_json = RecordingJson()
    monkeypatch.setattr(quorbel, "json", fake_json)
    ctx = {"user": 1}
    defaults = {"app": "api"}
    sent = text(impl, make_record(ctx=ctx), default_labels=defaults)
    [(args, kwargs)] = fake_json.calls
    assert kwargs == [("ensure_ascii", False), ("separators", (",", ":"))]
    [payload] = args
    assert type(payload) is dict and list(payload) == ["ts", "level", "msg", "labels", "ctx"]
    assert payload["ctx"] is ctx
    assert payload["labels"] == defaults and payload["labels"] is not defaults
    assert sent == json.dumps(payload, ensure_ascii=False, separators=(",", ":"))


def test_rebound_merge_labels_and_clock(impl, monkeypatch):
    seen = []

    def merge(*args, **kwargs):
        seen.append((args, kwargs))
        return {"from": "override"}

    monkeypatch.setattr(quorbel, "_merge_labels", merge)
    monkeypatch.setattr(quorbel, "_now_ns", lambda: "77")
    defaults = {"app": "api"}
    labels = {"env": "dev"}
    h = RedisStreamHandler(default_labels=defaults)
    first = json.loads(impl.payload_text(h, make_record(labels=labels)))
    impl.payload_text(h, make_record())
    assert seen[0][1] == {} and seen[0][0][0] is defaults and seen[0][0][1] is labels
    assert seen[1] == ((defaults, None), {})
    assert (first["labels"], first["ts"]) == ({"from": "override"}, "77")


MARK = '{"encoded":"by the replacement"}'


def patch_dumps(monkeypatch):
    monkeypatch.setattr(json, "dumps", lambda *a, **kw: MARK)


def rebind_to_module(monkeypatch):
    wrapper = types.ModuleType("json_wrapper")
    wrapper.dumps = lambda *a, **kw: MARK
    monkeypatch.setattr(quorbel, "json", wrapper)


def patch_encoder_class(monkeypatch):
    class Encoder(json.JSONEncoder):
        def encode(self, o):
            return MARK
    monkeypatch.setattr(json, "JSONEncoder", Encoder)


def patch_encode_method(monkeypatch):
    monkeypatch.setattr(json.JSONEncoder, "encode", lambda self, o: MARK)


def patch_iterencode_method(monkeypatch):
    monkeypatch.setattr(json.JSONEncoder, "iterencode", lambda self, o, _one_shot=False: [MARK])


def patch_init_method(monkeypatch):
    init = json.JSONEncoder.__init__

    def patched(self, *args, **kwargs):
        init(self, *args, **kwargs)
        self.encode = lambda o: MARK
    monkeypatch.setattr(json.JSONEncoder, "__init__", patched)


def patch_string_encoder(monkeypatch):
    import json.encoder
    monkeypatch.setattr(json.encoder, "encode_basestring", lambda s: '"x"')
    # Every str then comes out as "x", keys included: check the whole text.
    return '{"x":"x","x":"x","x":"x","x":{},"x":{"x":"x"}}'


@pytest.mark.parametrize("patch", [patch_dumps, rebind_to_module, patch_encoder_class,
                                   patch_encode_method, patch_iterencode_method,
                                   patch_init_method, patch_string_encoder])
def test_replaced_encoder_is_used(impl, monkeypatch, patch):
    record = make_record(ctx={"user": "u1"})
    before = text(impl, record)
    expected = patch(monkeypatch) or MARK
    assert text(impl, record) == expected
    monkeypatch.undo()
    assert TS_PREFIX.sub("", text(impl, record)) == TS_PREFIX.sub("", before)


def test_replaced_default_serves_what_json_cannot(impl, monkeypatch):
    # default is only ever asked about objects json has no form for.
    monkeypatch.setattr(json.JSONEncoder, "default", lambda self, o: "via default")
    sent = text(impl, make_record(ctx={"n": [1, 2.5, None], "obj": object()}))
    assert sent.endswith('"ctx":{"n":[1,2.5,null],"obj":"via default"}}')
