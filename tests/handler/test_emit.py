"""RedisStreamHandler.emit with fake clients: the append, fallback and loss (the payload's
text: test_payload.py)."""

import asyncio
import datetime
import gc
import json
import logging
import sys
import threading
import types

import pytest

import quorbel
from quorbel import RedisStreamHandler

from fakes import NullClient, RaisingClient, RecordingClient, make_record

TS = "1700000000123456789"


@pytest.fixture
def fixed_ts(monkeypatch):
    monkeypatch.setattr(quorbel, "_now_ns", lambda: TS)


def sent_text(client, index=0):
    args, _ = client.calls[index]
    return args[1]["payload"]


class FakeFallback:
    """Stands in for the fallback file handler: records what reaches emit."""

    def __init__(self, exc=None):
        self.records = []
        self.exc = exc

    def emit(self, record):
        self.records.append(record)
        if self.exc is not None:
            raise self.exc

    def handle(self, record):
        raise AssertionError("the fallback handler must be given records through emit")


class ReportingHandler(RedisStreamHandler):
    """Records each handleError call with the exception being handled at that moment."""

    def handleError(self, record):
        self.reports = getattr(self, "reports", [])
        self.reports.append((record, sys.exc_info()))


def reports(h):
    return getattr(h, "reports", [])


# --- the append ---------------------------------------------------------------------


@pytest.mark.parametrize("maxlen, kwargs", [
    (0, {}), (-3, {}),
    (1000, {"maxlen": 1000, "approximate": True}),
    (1, {"maxlen": 1, "approximate": True}),
])
def test_xadd_call_shape(maxlen, kwargs):
    client = RecordingClient()
    h = RedisStreamHandler(client=client, stream_key="app:logs", maxlen=maxlen)
    assert h.emit(make_record()) is None
    [(args, kw)] = client.calls
    assert len(args) == 2 and args[0] == "app:logs"
    assert type(args[1]) is dict and list(args[1]) == ["payload"]
    assert type(args[1]["payload"]) is str
    assert list(kw.items()) == list(kwargs.items())
    if kwargs:
        assert kw["approximate"] is True


def test_fields_dict_is_new_per_record():
    client = RecordingClient()
    h = RedisStreamHandler(client=client)
    h.emit(make_record("a"))
    h.emit(make_record("b"))
    assert client.calls[0][0][1] is not client.calls[1][0][1]


# --- the payload (its text is tested in test_payload.py) ---------------------------------


class EncodedJson:
    @staticmethod
    def dumps(*args, **kwargs):
        return "ENCODED"


def test_rebound_json_used_for_stream_and_fallback(monkeypatch):
    monkeypatch.setattr(quorbel, "json", EncodedJson)
    client = RecordingClient()
    h = RedisStreamHandler(client=client)
    h.emit(make_record())
    h._client = None
    h._fallback = FakeFallback()
    h.emit(make_record())
    assert sent_text(client) == "ENCODED"
    assert h._fallback.records[0].getMessage() == "ENCODED"


# --- records that are dropped -------------------------------------------------------


class Unprintable:
    def __str__(self):
        raise ValueError("no text")


# One case a stage; what else the encoder refuses is in test_json_encoder.py.
DROPPED = {
    "datetime ctx": dict(ctx={"at": datetime.datetime(2024, 1, 1)}),
    "labels list": dict(labels=[("env", "prod")]),
    "label value str raises": dict(labels={"env": Unprintable()}),
    "getMessage raises": dict(msg="%d items", args=("many",)),
    "msg str raises": dict(msg=Unprintable()),
}


@pytest.mark.parametrize("attrs", list(DROPPED.values()), ids=list(DROPPED))
def test_unencodable_record_dropped_without_fallback_line(attrs):
    attrs = dict(attrs)
    msg, args = attrs.pop("msg", "m"), attrs.pop("args", ())
    client, fallback = RecordingClient(), FakeFallback()
    h = ReportingHandler(client=client)
    h._fallback = fallback
    assert h.emit(make_record(msg, args, **attrs)) is None
    assert client.calls == [] and fallback.records == [] and reports(h) == []


@pytest.mark.parametrize("defaults", [[("app", "api")], "app=api", {"app": Unprintable()}])
def test_bad_reassigned_default_labels_drop(defaults):
    client = RecordingClient()
    h = RedisStreamHandler(client=client)
    h.default_labels = defaults
    h._fallback = FakeFallback()
    assert h.emit(make_record()) is None
    assert client.calls == [] and h._fallback.records == []


def test_missing_levelname_drops():
    record = make_record()
    del record.levelname
    client = RecordingClient()
    assert RedisStreamHandler(client=client).emit(record) is None
    assert client.calls == []


# --- the fallback path --------------------------------------------------------------


@pytest.mark.parametrize("client", [
    None, RaisingClient(ConnectionError("refused")), RaisingClient(TimeoutError),
    RaisingClient(ValueError("WRONGTYPE")),
], ids=["no client", "connection", "timeout", "reply error"])
def test_failed_append_writes_one_fallback_line(tmp_path, fixed_ts, client):
    expected = RecordingClient()
    record = make_record("50%% of %s é", ("disk",), labels={"env": "prod"}, ctx={"a": 1})
    RedisStreamHandler(client=expected).emit(record)

    path = tmp_path / "fallback.log"
    h = RedisStreamHandler(client=client, fallback_file_path=str(path))
    try:
        assert h.emit(record) is None
    finally:
        h._fallback.close()
    assert path.read_bytes().decode("utf-8") == sent_text(expected) + "\n"
    if client is not None:
        assert len(client.calls) == 1


async def never_sent(*args, **kwargs):
    raise AssertionError("awaited")


def asyncio_redis():
    redis_asyncio = pytest.importorskip("redis.asyncio")
    # Older redis-py binds its locks to the thread's current loop, which an earlier
    # asyncio.run() leaves unset: give it one of its own for the construction.
    loop = asyncio.new_event_loop()
    try:
        asyncio.set_event_loop(loop)
        return redis_asyncio.Redis(host="127.0.0.1")
    finally:
        asyncio.set_event_loop(None)
        loop.close()


@pytest.mark.parametrize("client", [lambda: types.SimpleNamespace(xadd=never_sent), asyncio_redis],
                         ids=["fake", "redis"])
@pytest.mark.parametrize("fallback", [True, False], ids=["fallback", "no fallback"])
def test_awaitable_from_xadd_is_a_failed_append(tmp_path, recwarn, client, fallback):
    path = tmp_path / "fallback.log"
    h = ReportingHandler(client=client(), drop_on_error=False,
                         fallback_file_path=str(path) if fallback else None)
    record = make_record()
    assert h.emit(record) is None
    gc.collect()
    # Closed, not left unawaited (what other tests left for this collection may warn too).
    assert [str(w.message) for w in recwarn if "never awaited" in str(w.message)] == []
    if fallback:
        h._fallback.close()
        assert json.loads(path.read_text())["msg"] == "hello" and reports(h) == []
    else:
        [(reported, (etype, value, tb))] = reports(h)
        assert reported is record and etype is TypeError and "synchronous" in str(value)


def test_fallback_record_fields(fixed_ts, monkeypatch):
    made = []

    def record_factory(*args, **kwargs):
        made.append((args, list(kwargs)))
        return logging.LogRecord(*args, **kwargs)

    class LoggingProxy:
        LogRecord = staticmethod(record_factory)

        def __getattr__(self, name):
            return getattr(logging, name)

    monkeypatch.setattr(quorbel, "logging", LoggingProxy())
    fallback = FakeFallback()
    h = RedisStreamHandler()
    h._fallback = fallback
    record = make_record("100% done", level=logging.WARNING)
    h.emit(record)
    assert made == [((), ["name", "level", "pathname", "lineno", "msg", "args", "exc_info"])]
    [fb] = fallback.records
    assert (fb.name, fb.levelno, fb.pathname, fb.lineno) == ("app.test", 30, "/src/app.py", 42)
    assert fb.args == () and fb.exc_info is None
    assert fb.getMessage() == fb.msg == (
        '{"ts":"' + TS + '","level":"warning","msg":"100% done","labels":{},"ctx":{}}')


def test_successful_append_never_touches_fallback():
    client = RecordingClient()
    h = RedisStreamHandler(client=client)
    h._fallback = FakeFallback(AssertionError("fallback used after a successful append"))
    for i in range(3):
        assert h.emit(make_record("m%d" % i)) is None
    assert len(client.calls) == 3 and h._fallback.records == []


@pytest.mark.parametrize("exc", [OSError("disk full"), ValueError("x"), RuntimeError("y")])
def test_fallback_emit_raising_is_discarded(exc):
    h = ReportingHandler(client=RaisingClient(ConnectionError("down")))
    h._fallback = FakeFallback(exc)
    assert h.emit(make_record()) is None
    assert len(h._fallback.records) == 1 and reports(h) == []


# --- exceptions that are not ordinary errors ------------------------------------------


class InterruptingClient:
    """xadd raises the given exception once, then records like RecordingClient."""

    def __init__(self, exc):
        self.exc = exc
        self.calls = []

    def xadd(self, *args, **kwargs):
        if self.exc is not None:
            exc, self.exc = self.exc, None
            raise exc
        self.calls.append((args, kwargs))


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit])
def test_base_exception_in_xadd_propagates_and_releases_lock(logger, exc):
    client = InterruptingClient(exc())
    h = RedisStreamHandler(client=client)
    h._fallback = FakeFallback()
    logger.addHandler(h)
    with pytest.raises(exc):
        logger.info("first")
    assert h._fallback.records == []

    # The lock is re-entrant, so only another thread can tell whether it was released.
    worker = threading.Thread(target=logger.info, args=("second",), daemon=True)
    worker.start()
    worker.join(10)
    assert not worker.is_alive()
    assert [json.loads(a[1]["payload"])["msg"] for a, _ in client.calls] == ["second"]


class Interrupting:
    def __str__(self):
        raise KeyboardInterrupt


@pytest.mark.parametrize("where", ["fallback", "message", "label"])
def test_keyboard_interrupt_elsewhere_propagates(where):
    h = RedisStreamHandler()
    h._fallback = FakeFallback(KeyboardInterrupt() if where == "fallback" else None)
    record = make_record(Interrupting() if where == "message" else "m",
                         labels={"k": Interrupting()} if where == "label" else None)
    with pytest.raises(KeyboardInterrupt):
        h.emit(record)


# --- the exception being handled by the caller ----------------------------------------


@pytest.mark.parametrize("client, fallback, attrs", [
    (RecordingClient(), None, {}),
    (RaisingClient(ConnectionError("down")), None, {}),
    (RaisingClient(ConnectionError("down")), FakeFallback(OSError("full")), {}),
    (None, FakeFallback(), {}),
    (RecordingClient(), None, {"ctx": {"at": datetime.date(2024, 1, 1)}}),
    (RecordingClient(), None, {"labels": []}),
], ids=["delivered", "append raised", "fallback raised", "fallback", "encode", "labels"])
@pytest.mark.parametrize("drop_on_error", [True, False])
def test_handled_exception_unchanged(client, fallback, attrs, drop_on_error):
    h = ReportingHandler(client=client, drop_on_error=drop_on_error)
    h._fallback = fallback
    try:
        raise LookupError("the caller's own")
    except LookupError as outer:
        tb = outer.__traceback__
        assert h.emit(make_record(**attrs)) is None
        assert sys.exc_info()[0] is LookupError and sys.exc_info()[1] is outer
        assert outer.__traceback__ is tb and outer.__context__ is None


def test_no_exception_leaks_after_emit_outside_except():
    h = ReportingHandler(client=RaisingClient(ConnectionError("down")), drop_on_error=False)
    h.emit(make_record())
    assert len(reports(h)) == 1
    assert sys.exc_info() == (None, None, None)


# --- attributes read for every record -------------------------------------------------


def test_attributes_reassigned_between_records():
    first, second = RecordingClient(), RecordingClient()
    h = RedisStreamHandler(client=first, maxlen=10)
    h.emit(make_record("1"))
    h.maxlen = None
    h.stream_key = "other"
    h.default_labels = {"x": "y"}
    h.emit(make_record("2"))
    h.maxlen = 5
    h._client = second
    h.emit(make_record("3"))
    h._client = None
    h._fallback = FakeFallback()
    h.emit(make_record("4"))
    h.maxlen = "7"  # reassignments are not validated
    h._client = first
    h.emit(make_record("5"))
    h.maxlen = 0
    h.emit(make_record("6"))

    assert [(a[0], k) for a, k in first.calls] == [
        ("logs:stream", {"maxlen": 10, "approximate": True}),
        ("other", {}),
        ("other", {"maxlen": "7", "approximate": True}),
        ("other", {}),
    ]
    assert [p["labels"] for p in first.payloads()] == [{}, {"x": "y"}, {"x": "y"}, {"x": "y"}]
    assert [(a[0], k) for a, k in second.calls] == [("other", {"maxlen": 5, "approximate": True})]
    assert [json.loads(r.msg)["msg"] for r in h._fallback.records] == ["4"]


def test_failing_client_is_tried_again():
    client = InterruptingClient(ConnectionError("blip"))
    h = RedisStreamHandler(client=client)
    h._fallback = FakeFallback()
    h.emit(make_record("lost"))
    h.emit(make_record("kept"))
    assert len(h._fallback.records) == 1 and len(client.calls) == 1
    assert h._client is client


def test_through_a_logger(logger):
    client = NullClient()
    h = RedisStreamHandler(client=client, default_labels={"app": "api"})
    logger.addHandler(h)
    logger.info("user %s", "ann", extra={"labels": {"env": "dev"}, "ctx": {"id": 3}})
    logger.debug("plain")
    [first, second] = [json.loads(a[1]["payload"]) for a, _ in client.calls]
    assert first["msg"] == "user ann" and first["labels"] == {"app": "api", "env": "dev"}
    assert first["ctx"] == {"id": 3}
    assert second["level"] == "debug" and second["ctx"] == {} and second["labels"] == {"app": "api"}


# --- reporting a lost record when drop_on_error is false ---------------------------------


def test_no_client_no_fallback_reports_loss():
    h = ReportingHandler(drop_on_error=False)
    record = make_record()
    assert h.emit(record) is None
    [(reported, (etype, value, tb))] = reports(h)
    assert reported is record
    assert issubclass(etype, ConnectionError) and isinstance(value, etype)
    assert "client" in str(value).lower()


@pytest.mark.parametrize("exc", [ConnectionError("refused"), TimeoutError("slow"),
                                 ValueError("WRONGTYPE")])
def test_failed_append_without_fallback_reports_the_cause(exc):
    h = ReportingHandler(client=RaisingClient(exc), drop_on_error=False)
    record = make_record()
    assert h.emit(record) is None
    [(reported, (etype, value, tb))] = reports(h)
    assert reported is record and value is exc and etype is type(exc) and tb is not None


@pytest.mark.parametrize("client", [None, RaisingClient(ConnectionError("down"))],
                         ids=["no client", "append raised"])
def test_drop_on_error_true_is_silent(client, capsys):
    h = ReportingHandler(client=client)
    assert h.emit(make_record()) is None
    assert reports(h) == []
    assert capsys.readouterr() == ("", "")


@pytest.mark.parametrize("client, fallback", [
    (RecordingClient(), None), (None, FakeFallback()),
    (RaisingClient(ConnectionError("down")), FakeFallback()),
])
def test_delivered_record_is_not_reported(client, fallback):
    h = ReportingHandler(client=client, drop_on_error=False)
    h._fallback = fallback
    h.emit(make_record())
    assert reports(h) == []


def test_drop_on_error_read_for_every_record():
    h = ReportingHandler()
    h.emit(make_record())
    h.drop_on_error = False
    h.emit(make_record())
    h.drop_on_error = True
    h.emit(make_record())
    assert len(reports(h)) == 1


@pytest.mark.parametrize("client, cause", [
    (RaisingClient(ConnectionError("server went away")), "server went away"),
    (None, "ConnectionError"),
], ids=["append raised", "no client"])
@pytest.mark.parametrize("raise_exceptions", [True, False])
def test_standard_handle_error_governs_printing(monkeypatch, capsys, raise_exceptions,
                                               client, cause):
    monkeypatch.setattr(logging, "raiseExceptions", raise_exceptions)
    h = RedisStreamHandler(client=client, drop_on_error=False)
    assert h.emit(make_record("lost %s", ("record",))) is None
    err = capsys.readouterr().err
    if raise_exceptions:
        # The standard report walks the cause's traceback and ends with the message.
        assert err.startswith("--- Logging error ---\n") and cause in err
        assert "Message: 'lost %s'\nArguments: ('record',)" in err
    else:
        assert err == ""


def test_handle_error_raising_does_not_escape():
    class Failing(RedisStreamHandler):
        def handleError(self, record):
            raise RuntimeError("reporting failed")

    h = Failing(drop_on_error=False)
    assert h.emit(make_record()) is None
    assert sys.exc_info() == (None, None, None)
