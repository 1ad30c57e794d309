"""Names the module's calls look up when they run: a replacement made after the import, between
two calls or (in a child interpreter) before the import is what the next call uses, and the
original is used again once it is restored. Each case says what it replaces and what of the
calls' observable results (observe below) changes; everything else must stay as it was."""

import ast
import builtins
import json
import json.encoder
import logging
import logging.handlers
import pathlib
import re
import time
import types

import pytest

import quorbel
from quorbel import RedisStreamHandler

from child import run_child
from fakes import FakeFallback, RecordingClient, emitted_payload, make_record

MARK = '{"encoded":"by the replacement"}'
DEFAULTS = {"app": "api"}
LABELS = {"env": "dev"}
TEXTS = ("stream", "bare", "fallback", "opaque")


Opaque = type("Opaque", (), {})  # an object json has no form for


class Rebound(RedisStreamHandler):
    """What quorbel.RedisStreamHandler is rebound to."""


def normal(text):
    """The text with a reading of the real clock as "now"."""
    return text if text is None else re.sub(r'"ts":"\d{19}"', '"ts":"now"', text)


def outcome(call):
    try:
        call()
        return "returned"
    except Exception as exc:
        return "raises " + type(exc).__name__


def observe(tmp_path, logger_name):
    """What the module's calls make at this moment, each as text: the payloads of a record
    with labels and ctx (to the client, then to the fallback), of a bare record and of one
    whose ctx holds an Opaque (None when nothing is sent); the type of the record the
    fallback gets; _now_ns(); the client from a URL; the fallback file handler and its
    formatter; what get_logger does to a logger holding a RedisStreamHandler and a Rebound."""
    handler = RedisStreamHandler(default_labels=DEFAULTS)
    records = {
        "stream": make_record(labels=LABELS, ctx={"user": "u1"}),
        "bare": make_record("bare"),
        "opaque": make_record(labels=LABELS, ctx={"n": [1, 2.5, None], "obj": Opaque()}),
    }
    seen = {name: normal(emitted_payload(handler, r)) for name, r in records.items()}
    handler._client, handler._fallback = None, FakeFallback()
    handler.emit(records["stream"])
    [record] = handler._fallback.records

    file_handler = RedisStreamHandler(fallback_file_path=str(tmp_path / "fallback.log"))._fallback
    file_handler.close()
    logger = logging.getLogger(logger_name)
    logger.handlers = [RedisStreamHandler(), Rebound()]
    got_logger = outcome(lambda: quorbel.get_logger(logger_name, client=RecordingClient()))
    after_get_logger = " ".join(type(h).__name__ for h in logger.handlers)
    logger.handlers = []
    now_ns = quorbel._now_ns()
    return {
        **seen,
        "fallback": normal(record.getMessage()), "fallback record": type(record).__name__,
        "now_ns": "now" if re.fullmatch(r"\d{19}", now_ns) else now_ns,
        "client from a URL": type(RedisStreamHandler(redis_url="redis://127.0.0.1:1/0")._client
                                  ).__name__,
        "fallback file": "%s with %s" % (type(file_handler).__name__,
                                         type(file_handler.formatter).__name__),
        "get_logger": "%s, leaving %s" % (got_logger, after_get_logger),
    }


# --- the replacements ---------------------------------------------------------------------


def source(code):
    """A replacement of a json or time name written as source (with mp the monkeypatch), so
    that a child interpreter can run it before it imports the module."""

    def change(mp):
        exec(code, {"mp": mp, "json": json, "time": time, "MARK": MARK})

    change.source = code
    return change


# Runs with json's globals, where JSONEncoder is defined.
DUMPS_CODE = """
def dumps(obj, *, skipkeys=False, ensure_ascii=True, check_circular=True, allow_nan=True,
          cls=None, indent=None, separators=None, default=None, sort_keys=False, **kw):
    return "replaced " + JSONEncoder(ensure_ascii=ensure_ascii, separators=separators,
                                     sort_keys=True).encode(obj)
mp.setattr(json.dumps, "__code__", dumps.__code__)
"""


def encoder_init_replaced(mp):
    init = json.JSONEncoder.__init__

    def patched(self, *args, **kwargs):
        init(self, *args, **kwargs)
        self.encode = lambda o: MARK

    mp.setattr(json.JSONEncoder, "__init__", patched)


def merge_naming_its_arguments(*args, **kwargs):
    names = {id(DEFAULTS): "defaults", id(LABELS): "labels"}
    words = [names.get(id(a), repr(a)) for a in args] + ["%s=" % k for k in kwargs]
    return {"args": " ".join(words)}


class LockRaising(types.SimpleNamespace):
    _lock = property(lambda self: 1 / 0)


def own_logging(namespace=types.SimpleNamespace, **names):
    """A stand-in for the logging module with the names the module's calls use, or others."""
    names = dict(dict(LogRecord=logging.LogRecord, Formatter=logging.Formatter,
                      getLogger=logging.getLogger), **names)
    return namespace(**names)


def subclass(name, base):
    return type(name, (base,), {})


def redis_of_its_own(mp):
    made = subclass("Made", object)
    mp.setattr(quorbel, "redis", types.SimpleNamespace(
        Redis=types.SimpleNamespace(from_url=lambda *args, **kwargs: made())))
    mp.setattr(quorbel, "HAS_REDIS", True)


def time_from_builtins(mp):
    mp.delattr(quorbel, "time")
    mp.setattr(builtins, "time", types.SimpleNamespace(time_ns=lambda: 7), raising=False)


def setter(target, name, value):
    return lambda mp: mp.setattr(target, name, value)


# --- what each replacement changes ----------------------------------------------------------


def texts(change):
    """The observation with change(text) made of each payload text that was sent."""
    return lambda seen: dict(seen, **{n: seen[n] and change(seen[n]) for n in TEXTS})


def compact(text, **options):
    return json.dumps(json.loads(text), ensure_ascii=False, separators=(",", ":"), **options)


def labels(labelled, bare):
    """The observation with other labels in the payloads of the labelled records and the bare."""
    def change(seen):
        return dict(seen, **{n: seen[n] and re.sub(r'"labels":\{[^}]*\}', '"labels":' + (
            bare if n == "bare" else labelled), seen[n]) for n in TEXTS})
    return change


def parts(**changed):
    return lambda seen: dict(seen, **changed)


# A replaced encoder encodes even what json has no form for.
MARKED = parts(**{n: MARK for n in TEXTS})


def ts(text):
    return lambda seen: dict(texts(lambda t: t.replace('"ts":"now"', '"ts":"%s"' % text))(seen),
                             now_ns=text)


# what: (its replacement, what that changes of the observation)
REPLACED = {
    "json.dumps": (source('mp.setattr(json, "dumps", lambda *args, **kwargs: MARK)'), MARKED),
    "json.dumps.__kwdefaults__": (
        source('mp.setitem(json.dumps.__kwdefaults__, "sort_keys", True)'),
        texts(lambda t: compact(t, sort_keys=True))),
    "json.dumps.__code__": (source(DUMPS_CODE),
                            texts(lambda t: "replaced " + compact(t, sort_keys=True))),
    "json.JSONEncoder": (setter(json, "JSONEncoder", type(
        "Encoder", (json.JSONEncoder,), {"encode": lambda self, o: MARK})), MARKED),
    "json.JSONEncoder.encode": (
        source('mp.setattr(json.JSONEncoder, "encode", lambda self, o: MARK)'), MARKED),
    "json.JSONEncoder.iterencode": (setter(json.JSONEncoder, "iterencode",
                                           lambda self, o, _one_shot=False: [MARK]), MARKED),
    "json.JSONEncoder.__init__": (encoder_init_replaced, MARKED),
    # Every str then comes out as "x", keys included.
    "json.encoder.encode_basestring": (setter(json.encoder, "encode_basestring", lambda s: '"x"'),
                                       texts(lambda t: re.sub(r'"(?:[^"\\]|\\.)*"', '"x"', t))),
    # default is only ever asked about objects json has no form for.
    "json.JSONEncoder.default": (setter(json.JSONEncoder, "default", lambda self, o: "via default"),
                                 parts(opaque=(
        '{"ts":"now","level":"info","msg":"hello","labels":{"app":"api","env":"dev"},'
        '"ctx":{"n":[1,2.5,null],"obj":"via default"}}'))),
    "time.time_ns": (source('mp.setattr(time, "time_ns", lambda: 42)'), ts("42")),
    "quorbel.json": (setter(quorbel, "json", types.SimpleNamespace(dumps=lambda *a, **kw: MARK)),
                     MARKED),
    "quorbel.time": (setter(quorbel, "time", types.SimpleNamespace(time_ns=lambda: 5)), ts("5")),
    "quorbel.time deleted, builtins.time set": (time_from_builtins, ts("7")),
    "quorbel._now_ns": (setter(quorbel, "_now_ns", lambda: "77"), ts("77")),
    "quorbel._merge_labels": (setter(quorbel, "_merge_labels", merge_naming_its_arguments),
                              labels('{"args":"defaults labels"}', '{"args":"defaults None"}')),
    "quorbel.logging": (setter(quorbel, "logging", own_logging(
        LogRecord=subclass("OwnRecord", logging.LogRecord), _lock=logging._lock,
        Formatter=subclass("OwnFormatter", logging.Formatter))), parts(**{
            "fallback record": "OwnRecord",
            "fallback file": "RotatingFileHandler with OwnFormatter"})),
    "quorbel.logging without _lock": (setter(quorbel, "logging", own_logging()), parts()),
    "quorbel.logging whose _lock is None": (setter(quorbel, "logging", own_logging(_lock=None)),
                                            parts()),
    "quorbel.logging whose _lock raises": (setter(quorbel, "logging", own_logging(LockRaising)),
                                           parts(get_logger="raises ZeroDivisionError, leaving "
                                                            "RedisStreamHandler Rebound")),
    "quorbel.redis": (redis_of_its_own, parts(**{"client from a URL": "Made"})),
    "quorbel.HAS_REDIS": (setter(quorbel, "HAS_REDIS", False),
                          parts(**{"client from a URL": "NoneType"})),
    "quorbel.RotatingFileHandler": (setter(quorbel, "RotatingFileHandler", subclass(
        "Rotating", logging.handlers.RotatingFileHandler)), parts(**{
            "fallback file": "Rotating with Formatter"})),
    # Only instances of the class bound now are replaced; the class object itself still works.
    "quorbel.RedisStreamHandler": (setter(quorbel, "RedisStreamHandler", Rebound), parts(
        get_logger="returned, leaving RedisStreamHandler Rebound")),
    "quorbel.RedisStreamHandler as None": (setter(quorbel, "RedisStreamHandler", None), parts(
        get_logger="raises TypeError, leaving RedisStreamHandler Rebound")),
}


@pytest.mark.parametrize("what", sorted(REPLACED))
def test_a_name_replaced_between_calls_is_what_the_next_call_uses(tmp_path, logger_name,
                                                                  monkeypatch, what):
    change, changes = REPLACED[what]
    before = observe(tmp_path, logger_name)
    expected = changes(before)
    change(monkeypatch)
    assert observe(tmp_path, logger_name) == expected
    monkeypatch.undo()
    assert observe(tmp_path, logger_name) == before


CHILD = r"""
import json, sys, time
import pytest

exec(sys.argv[1], {"mp": pytest.MonkeyPatch(), "json": json, "time": time, "MARK": sys.argv[2]})
import quorbel
sys.path[:0] = sys.argv[3:]
import pathlib, shutil, tempfile, test_rebinding
tmp = tempfile.mkdtemp()
print(repr(test_rebinding.observe(pathlib.Path(tmp), "quorbel.test.rebinding")))
shutil.rmtree(tmp)
"""


@pytest.mark.parametrize("what", sorted(w for w, (c, _) in REPLACED.items()
                                         if hasattr(c, "source")))
def test_a_name_replaced_before_the_import_is_used(tmp_path, logger_name, what):
    change, changes = REPLACED[what]
    here = pathlib.Path(__file__).parent
    seen = run_child(CHILD, change.source, MARK, here, here.parent)
    assert ast.literal_eval(seen) == changes(observe(tmp_path, logger_name))


def test_the_encoder_gets_one_call_with_the_payload_objects(monkeypatch):
    calls = []

    def dumps(*args, **kwargs):
        calls.append((args, list(kwargs.items())))
        return json.dumps(*args, **kwargs)

    monkeypatch.setattr(quorbel, "json", types.SimpleNamespace(dumps=dumps))
    ctx = {"user": 1}
    sent = emitted_payload(RedisStreamHandler(default_labels=DEFAULTS), make_record(ctx=ctx))
    [((payload,), kwargs)] = calls
    assert kwargs == [("ensure_ascii", False), ("separators", (",", ":"))]
    assert type(payload) is dict and list(payload) == ["ts", "level", "msg", "labels", "ctx"]
    assert payload["ctx"] is ctx
    assert payload["labels"] == DEFAULTS and payload["labels"] is not DEFAULTS
    assert sent == json.dumps(payload, ensure_ascii=False, separators=(",", ":"))
