"""RedisAppLogger: level methods that pass labels and ctx to a logger through `extra`."""

import copy
import inspect
import json
import logging
import logging.handlers

import pytest

import quorbel
from quorbel import RedisAppLogger
from fakes import RecordingLogger
from signatures import LEVEL_METHODS

# The wrapped logger's method each level method calls, and the keywords it passes.
TARGET = {"debug": "debug", "info": "info", "warning": "warning", "error": "error",
          "exception": "error"}


@pytest.fixture
def real_logger(logger):
    """The test's DEBUG logger and the list of records it handles."""
    capture = logging.handlers.BufferingHandler(capacity=1000)  # keeps them all in .buffer
    logger.addHandler(capture)
    return logger, capture.buffer


@pytest.mark.parametrize("method", LEVEL_METHODS)
@pytest.mark.parametrize("labels, ctx", [
    (None, None), ({}, {}), ({"env": "prod"}, None), (None, {"user": 1}),
    ({"a": "b"}, {"c": [1, 2]}), ({}, {"k": None}),
])
def test_non_empty_dicts_pass_as_themselves_empty_ones_are_replaced(method, labels, ctx):
    rec = RecordingLogger()
    snapshot = copy.deepcopy((labels, ctx))
    assert getattr(RedisAppLogger(rec), method)("m", labels, ctx) is None

    ((called, args, kwargs),) = rec.calls
    assert called == TARGET[method] and args == ("m",)
    # exception logs through error, with exc_info=True.
    assert kwargs[1:] == ([("exc_info", True)] if method == "exception" else [])
    assert kwargs[0][0] == "extra" and list(kwargs[0][1]) == ["labels", "ctx"]
    extra = kwargs[0][1]
    for key, given in (("labels", labels), ("ctx", ctx)):
        if given:
            assert extra[key] is given
        else:
            assert extra[key] == {} and type(extra[key]) is dict and extra[key] is not given
    assert extra["labels"] is not extra["ctx"]
    assert (labels, ctx) == snapshot  # never mutated


def test_empty_dicts_are_fresh_on_every_call():
    rec = RecordingLogger()
    app = RedisAppLogger(rec)
    app.info("one")
    app.info("two")
    [first, second] = [kwargs[0][1] for _, _, kwargs in rec.calls]
    assert first is not second
    assert first["labels"] is not second["labels"] and first["ctx"] is not second["ctx"]


@pytest.mark.parametrize("methods, failing", [
    (("info",), {"debug", "warning", "error", "exception"}),
    (("error",), {"debug", "info", "warning"}),
    # exception goes through error, never through the logger's own exception.
    (("debug", "info", "warning", "exception"), {"error", "exception"}),
])
def test_only_the_level_method_whose_target_is_missing_fails(methods, failing):
    rec = RecordingLogger(methods)
    app = RedisAppLogger(rec)
    for method in LEVEL_METHODS:
        if method in failing:
            with pytest.raises(AttributeError):
                getattr(app, method)("m")
        else:
            assert getattr(app, method)("m") is None
    assert [c[0] for c in rec.calls] == [TARGET[m] for m in LEVEL_METHODS if m not in failing]


def test_the_logger_is_read_from_log_at_every_call():
    first, second = RecordingLogger(), RecordingLogger()
    app = RedisAppLogger(first)
    assert app._log is first
    app.info("a")
    app._log = second
    app.info("b")
    assert [c[1] for c in first.calls] == [("a",)]
    assert [c[1] for c in second.calls] == [("b",)]
    del app._log
    with pytest.raises(AttributeError):
        app.error("x")


def test_exception_attaches_the_handled_exception_if_any(real_logger):
    logger, capture = real_logger
    app = RedisAppLogger(logger)
    try:
        raise KeyError("missing")
    except KeyError as exc:
        app.exception("failed")
        raised = exc
    app.exception("no exception here")
    logger.error("reference", exc_info=True)
    inside, outside, reference = capture
    assert inside.levelname == "ERROR" and inside.exc_info[1] is raised
    assert outside.levelname == "ERROR" and outside.exc_info == reference.exc_info


@pytest.mark.parametrize("method", LEVEL_METHODS)
def test_records_carry_labels_ctx_the_unexpanded_message_and_the_calling_line(real_logger,
                                                                             method):
    logger, capture = real_logger
    labels, ctx = {"env": "prod"}, {"user": 7}
    here = inspect.currentframe()
    getattr(RedisAppLogger(logger), method)("100% done %s %(x)d", labels, ctx)
    line = here.f_lineno - 1
    (record,) = capture
    assert record.getMessage() == "100% done %s %(x)d"
    assert record.labels is labels and record.ctx is ctx
    assert record.levelno == getattr(logging, TARGET[method].upper())
    assert (record.pathname, record.lineno, record.funcName) == (
        here.f_code.co_filename, line, here.f_code.co_name)


def test_end_to_end_through_redis(redis_url, redis_client, logger_name):
    logger = quorbel.get_logger(
        logger_name, redis_url=redis_url, stream_key="e2e:stream", maxlen=100,
        # A busy test machine can miss the 5 ms default; this test is about the data.
        timeout_ms=2000, default_labels={"app": "api", "env": "dev"},
    )
    app = RedisAppLogger(logger)
    app.debug("not at INFO")
    app.warning("disk 95% full", labels={"env": "prod", "host": "h1", "drop": None},
                ctx={"used": 95.5, "note": "größer"})
    # The payload's form on the wire: tests/handler/test_stream.py.
    (entry_id, fields), = redis_client.xrange("e2e:stream")
    payload = json.loads(fields["payload"])
    assert payload["level"] == "warning" and payload["msg"] == "disk 95% full"
    assert list(payload["labels"].items()) == [("app", "api"), ("env", "prod"), ("host", "h1")]
    assert payload["ctx"] == {"used": 95.5, "note": "größer"}
