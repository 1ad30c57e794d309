"""RedisStreamHandler.emit with fake clients: the append, fallback and loss (the payload's
text: test_payload.py)."""

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

from fakes import (FakeFallback, NullClient, RaisingClient, RecordingClient, ReportingHandler,
                   asyncio_redis, emitted_payload, make_record)

# --- the append ---------------------------------------------------------------------


def test_xadd_call_shape():
    # The keywords for other maxlen values: test_attributes_reassigned_between_records.
    client = RecordingClient()
    h = RedisStreamHandler(client=client, stream_key="app:logs", maxlen=1000)
    assert h.emit(make_record()) is None and h.emit(make_record()) is None
    [(args, kw), (again, _)] = client.calls
    assert len(args) == 2 and args[0] == "app:logs"
    assert type(args[1]) is dict and list(args[1]) == ["payload"]
    assert type(args[1]["payload"]) is str
    assert args[1] is not again[1]  # a fields dict of its own per record
    assert list(kw.items()) == [("maxlen", 1000), ("approximate", True)]
    assert kw["approximate"] is True


# --- records that reach no destination -------------------------------------------------


FAILURE = type("Fails", (Exception,), {})("no text")


class RefusesText:
    def __str__(self):
        raise FAILURE


def circular():
    ctx = {"a": 1}
    ctx["self"] = ctx
    return ctx


# Records that cannot be encoded, one case a stage (each ctx the encoder refuses, and the
# error reported for it: test_json_encoder.py): the record's parts, and a call that raises the
# cause as Python does for the same input ("defaults" reassigns default_labels; "levelname"
# None deletes it).
UNENCODABLE = {
    "ctx contains itself": (dict(ctx=circular()), lambda: json.dumps(circular())),
    "labels are a list": (dict(labels=[("k", "v")]),
                          lambda: quorbel._merge_labels({}, [("k", "v")])),
    "a label value refuses str()": (dict(labels={"k": RefusesText()}), FAILURE),
    "default labels are a list": (dict(defaults=[("app", "api")]),
                                  lambda: quorbel._merge_labels([("app", "api")], None)),
    "default labels are text": (dict(defaults="app=api"),
                                lambda: quorbel._merge_labels("app=api", None)),
    "a default label refuses str()": (dict(defaults={"app": RefusesText()}), FAILURE),
    "args do not fit the message": (dict(msg="%d", args=("x",)), lambda: logging.LogRecord(
        "x", logging.INFO, "p", 1, "%d", ("x",), None).getMessage()),
    "the message refuses str()": (dict(msg=RefusesText()), FAILURE),
    "no levelname": (dict(levelname=None), lambda: without_levelname().levelname),
}


def without_levelname():
    record = make_record()
    del record.levelname
    return record


def raised_by(cause):
    if isinstance(cause, Exception):
        return cause
    try:
        cause()
    except Exception as exc:
        return exc
    raise AssertionError("the cause raised nothing")


@pytest.mark.parametrize("drop_on_error", [True, False])
@pytest.mark.parametrize("destinations", ["client", "client and fallback", "fallback", "none"])
@pytest.mark.parametrize("loss", sorted(UNENCODABLE))
def test_unencodable_record_reaches_nothing_and_is_reported_with_its_cause(
        capsys, loss, destinations, drop_on_error):
    parts, cause = UNENCODABLE[loss]
    parts = dict(parts)
    msg, args, defaults = parts.pop("msg", "m"), parts.pop("args", ()), parts.pop("defaults", {})
    client = RecordingClient() if "client" in destinations else None
    fallback = FakeFallback() if "fallback" in destinations else None
    h = ReportingHandler(client=client, drop_on_error=drop_on_error)
    h._fallback, h.default_labels = fallback, defaults
    record = make_record(msg, args, **parts)
    if "levelname" in parts:
        del record.levelname
    assert h.emit(record) is None
    assert (client.calls if client else [], fallback.records if fallback else []) == ([], [])
    assert capsys.readouterr() == ("", "")
    if drop_on_error:
        assert h.reports == []
        return
    [(reported, got)] = h.reports
    want = raised_by(cause)
    assert reported is record
    if want is FAILURE:
        assert got is FAILURE
    else:
        assert (type(got), str(got)) == (type(want), str(want))


def down():
    return RaisingClient(ConnectionError("down"))


# Delivery: (client, fallback, where the record ends up, what drop_on_error=False reports):
# None when the record was delivered, else the exception being handled ("client": the
# client's own; "fallback": the fallback's own; a type: one of that type, whose text names
# the missing client).
DELIVERY = {
    "appended": (RecordingClient, FakeFallback, "client", None),
    "appended, xadd returned None": (NullClient, FakeFallback, "client", None),
    "no client, fallback": (None, FakeFallback, "fallback", None),
    "append failed, fallback": (down, FakeFallback, "fallback", None),
    "append failed, fallback raised": (down, lambda: FakeFallback(OSError("full")), "fallback",
                                       "fallback"),
    "no client, no fallback": (None, None, None, ConnectionError),
    "connection refused": (lambda: RaisingClient(ConnectionError("refused")), None, None,
                           "client"),
    "timed out": (lambda: RaisingClient(TimeoutError("slow")), None, None, "client"),
    "reply error": (lambda: RaisingClient(ValueError("WRONGTYPE")), None, None, "client"),
}


@pytest.mark.parametrize("drop_on_error", [True, False])
@pytest.mark.parametrize("case", sorted(DELIVERY))
def test_a_lost_record_is_reported_only_without_drop_on_error(capsys, case, drop_on_error):
    client, fallback, where, cause = DELIVERY[case]
    h = ReportingHandler(client=client and client(), drop_on_error=drop_on_error)
    h._fallback = fallback and fallback()
    record = make_record()
    assert h.emit(record) is None
    assert capsys.readouterr() == ("", "") and sys.exc_info() == (None, None, None)
    # One append tried, never again; the fallback used only when the append failed.
    assert len(h._client.calls if h._client else []) == (client is not None)
    assert len(h._fallback.records if h._fallback else []) == (where == "fallback")
    if drop_on_error or cause is None:
        assert h.reports == []
        return
    [(reported, got)] = h.reports
    assert reported is record and got.__traceback__ is not None
    if cause == "client":
        assert got is h._client.exc
    elif cause == "fallback":
        assert got is h._fallback.exc
    else:
        assert type(got) is cause and "client" in str(got).lower()


# --- the fallback path --------------------------------------------------------------


# Which failures count as a failed append: the delivery table above.
@pytest.mark.parametrize("client", [None, RaisingClient(ConnectionError("refused"))],
                         ids=["no client", "append raised"])
def test_failed_append_writes_one_fallback_line(tmp_path, fixed_ts, client):
    record = make_record("50%% of %s é", ("disk",), labels={"env": "prod"}, ctx={"a": 1})
    expected = emitted_payload(RedisStreamHandler(), record)

    path = tmp_path / "fallback.log"
    h = RedisStreamHandler(client=client, fallback_file_path=str(path))
    try:
        assert h.emit(record) is None
    finally:
        h._fallback.close()
    assert path.read_bytes().decode("utf-8") == expected + "\n"
    if client is not None:
        assert len(client.calls) == 1


async def never_sent(*args, **kwargs):
    raise AssertionError("awaited")


@pytest.mark.parametrize("client", [lambda: types.SimpleNamespace(xadd=never_sent),
                                    lambda: asyncio_redis(host="127.0.0.1")],
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
        assert json.loads(path.read_text())["msg"] == "hello" and h.reports == []
    else:
        [(reported, cause)] = h.reports
        assert reported is record and type(cause) is TypeError and "synchronous" in str(cause)


def test_fallback_record_fields(fixed_ts):
    fallback = FakeFallback()
    h = RedisStreamHandler()
    h._fallback = fallback
    record = make_record("100% done", level=logging.WARNING)
    h.emit(record)
    [fb] = fallback.records
    assert (fb.name, fb.levelno, fb.pathname, fb.lineno) == ("app.test", 30, "/src/app.py", 42)
    assert fb.args == () and fb.exc_info is None
    assert fb.getMessage() == fb.msg == emitted_payload(RedisStreamHandler(), record)


# --- exceptions that are not ordinary errors ------------------------------------------


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit])
def test_base_exception_in_xadd_propagates_and_releases_lock(logger, exc):
    client = RaisingClient(exc(), times=1)
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
    assert [p["msg"] for p in client.payloads()[1:]] == ["second"]


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


# --- attributes read for every record -------------------------------------------------


def test_attributes_reassigned_between_records():
    first, second = RecordingClient(), RecordingClient()
    h = ReportingHandler(client=first, maxlen=10)
    h.emit(make_record("1"))
    h.maxlen = None
    h.stream_key = "other"
    h.default_labels = {"x": "y"}
    h.emit(make_record("2"))
    h.maxlen = 1
    h._client = second
    h.emit(make_record("3"))
    h._client = None
    h._fallback = fallback = FakeFallback()
    h.emit(make_record("4"))
    h.maxlen = "7"  # reassignments are not validated
    h._client = first
    h.emit(make_record("5"))
    h.maxlen = 0
    h.emit(make_record("6"))
    h._client = h._fallback = None  # lost from here on: reported only without drop_on_error
    h.emit(make_record("7"))
    h.drop_on_error = False
    h.emit(make_record("8"))
    h.drop_on_error = True
    h.emit(make_record("9"))

    assert [(a[0], k) for a, k in first.calls] == [
        ("logs:stream", {"maxlen": 10, "approximate": True}),
        ("other", {}),
        ("other", {"maxlen": "7", "approximate": True}),
        ("other", {}),
    ]
    assert [p["labels"] for p in first.payloads()] == [{}, {"x": "y"}, {"x": "y"}, {"x": "y"}]
    assert [(a[0], k) for a, k in second.calls] == [("other", {"maxlen": 1, "approximate": True})]
    assert [json.loads(r.msg)["msg"] for r in fallback.records] == ["4"]
    assert [r.getMessage() for r, _ in h.reports] == ["8"]


def test_failing_client_is_tried_again():
    client = RaisingClient(ConnectionError("blip"), times=1)
    h = RedisStreamHandler(client=client)
    h._fallback = FakeFallback()
    h.emit(make_record("lost"))
    h.emit(make_record("kept"))
    assert len(h._fallback.records) == 1 and [p["msg"] for p in client.payloads()] == [
        "lost", "kept"]
    assert h._client is client


# --- reporting a lost record when drop_on_error is false ---------------------------------


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
