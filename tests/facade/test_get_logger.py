"""get_logger: one call that sets a logger's level and replaces its stream handler."""

import _thread
import logging
import threading
import types

import pytest

import quorbel
from fakes import RecordingClient


DEFAULT_KWARGS = dict(redis_url=None, client=None, stream_key="logs:stream", maxlen=1000000,
                      timeout_ms=5, default_labels=None, drop_on_error=True,
                      fallback_file_path=None)


@pytest.fixture
def recorder(monkeypatch):
    """Binds quorbel.RedisStreamHandler to a subclass that records how it is built.

    The recorded arguments are not used for construction, so nothing is opened.
    """

    class Recorder(quorbel.RedisStreamHandler):
        calls = []
        original = quorbel.RedisStreamHandler

        def __init__(self, *args, **kwargs):
            Recorder.calls.append((args, list(kwargs.items())))
            super().__init__()

    monkeypatch.setattr(quorbel, "RedisStreamHandler", Recorder)
    return Recorder


class CloseRecorder(quorbel.RedisStreamHandler):
    """A stream handler that remembers whether anyone closed or flushed it."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.closed = self.flushed = False

    def close(self):
        self.closed = True
        super().close()

    def flush(self):
        self.flushed = True
        super().flush()


def test_second_call_replaces_the_handler_without_closing_it(logger_name, tmp_path):
    first_path = tmp_path / "first.log"
    logger = quorbel.get_logger(logger_name, enable_fallback_file=True,
                                fallback_path=str(first_path))
    assert logger is logging.getLogger(logger_name)
    (first,) = logger.handlers

    again = quorbel.get_logger(logger_name, client=RecordingClient())

    assert again is logger
    (second,) = again.handlers
    assert second is not first and type(second) is quorbel.RedisStreamHandler
    # Detached only: its fallback file stays open and usable.
    assert first._fallback.stream is not None and not first._fallback.stream.closed
    first.handle(logging.makeLogRecord({"msg": "still works", "levelno": 20, "levelname": "INFO"}))
    assert "still works" in first_path.read_text(encoding="utf-8")
    first._fallback.close()


def test_detached_handler_is_neither_closed_nor_flushed(logger_name):
    logger = logging.getLogger(logger_name)
    old = CloseRecorder(client=RecordingClient())
    logger.addHandler(old)
    quorbel.get_logger(logger_name, client=RecordingClient())
    assert old not in logger.handlers
    assert (old.closed, old.flushed) == (False, False)


@pytest.mark.parametrize(
    "before, kept",
    [
        (["console", "stream"], ["console"]),
        (["stream", "console"], ["console"]),
        (["a", "stream", "b", "stream", "c"], ["a", "b", "c"]),
        (["a", "subclass", "b"], ["a", "b"]),
        (["stream", "subclass"], []),
        (["a", "b"], ["a", "b"]),
        ([], []),
    ],
)
def test_only_stream_handlers_are_detached_and_others_keep_order(logger_name, before, kept):
    logger = logging.getLogger(logger_name)
    made = {}
    for i, kind in enumerate(before):
        if kind == "stream":
            h = quorbel.RedisStreamHandler(client=RecordingClient())
        elif kind == "subclass":
            h = CloseRecorder(client=RecordingClient())
        else:
            h = logging.StreamHandler()
            made[kind] = h
        logger.addHandler(h)

    quorbel.get_logger(logger_name, client=RecordingClient())

    *others, new = logger.handlers
    assert others == [made[k] for k in kept]
    assert type(new) is quorbel.RedisStreamHandler


def test_the_currently_bound_class_decides_what_is_replaced(logger_name, recorder):
    logger = logging.getLogger(logger_name)
    original = recorder.original(client=RecordingClient())
    rebound = recorder()
    recorder.calls.clear()
    logger.addHandler(original)
    logger.addHandler(rebound)

    quorbel.get_logger(logger_name)

    # The original class is no longer the one bound, so its instance stays.
    assert logger.handlers[0] is original
    assert len(logger.handlers) == 2 and type(logger.handlers[1]) is recorder
    assert len(recorder.calls) == 1


def test_defaults_reach_the_handler_as_keywords(logger_name, recorder):
    logger = quorbel.get_logger(logger_name)
    [(args, kwargs)] = recorder.calls
    assert (args, dict(kwargs)) == ((), DEFAULT_KWARGS)
    assert logger.level == logging.INFO
    assert logger.handlers[0].level == logging.NOTSET


def test_arguments_reach_the_handler_as_keywords(logger_name, recorder):
    client = object()
    labels = {"app": "api"}
    values = dict(
        redis_url="redis://127.0.0.1:1/0", client=client, stream_key="k", maxlen=7,
        timeout_ms=9, default_labels=labels, enable_fallback_file=False,
        fallback_path="/nonexistent/x.log", level=logging.WARNING,
    )
    logger = quorbel.get_logger(logger_name, **values)

    ((args, kwargs),) = recorder.calls
    got = dict(kwargs)
    assert args == () and set(got) == set(DEFAULT_KWARGS)
    assert got["client"] is client and got["default_labels"] is labels
    assert (got["redis_url"], got["stream_key"], got["maxlen"], got["timeout_ms"]) == (
        "redis://127.0.0.1:1/0", "k", 7, 9)
    assert got["drop_on_error"] is True and got["fallback_file_path"] is None
    assert logger.level == logging.WARNING
    assert logger.handlers[0].level == logging.NOTSET


@pytest.mark.parametrize("enable, fallback_path, expected", [
    (True, None, "/var/log/app.log"), (True, "/tmp/q.log", "/tmp/q.log"),
    (False, "/tmp/q.log", None),
])
def test_fallback_path_is_passed_only_when_enabled(logger_name, recorder, enable, fallback_path,
                                                   expected):
    kw = {} if fallback_path is None else {"fallback_path": fallback_path}
    quorbel.get_logger(logger_name, enable_fallback_file=enable, **kw)
    ((_, kwargs),) = recorder.calls
    assert dict(kwargs)["fallback_file_path"] == expected


def test_constructor_failure_keeps_new_level_and_detachment(logger_name, tmp_path):
    logger = logging.getLogger(logger_name)
    console = logging.StreamHandler()
    old = quorbel.RedisStreamHandler(client=RecordingClient())
    logger.addHandler(console)
    logger.addHandler(old)
    missing = tmp_path / "no-such-dir" / "app.log"

    with pytest.raises(FileNotFoundError):
        quorbel.get_logger(logger_name, enable_fallback_file=True, fallback_path=str(missing),
                           level=logging.WARNING)

    assert logger.level == logging.WARNING
    assert logger.handlers == [console]


def test_concurrent_calls_leave_one_stream_handler(logger_name, monkeypatch):
    # While the first call makes its handler, a second call runs until it is done or waits
    # for logging's lock: it must wait, or both calls attach a handler.
    go_on = threading.Event()

    class NoticingLock(_thread.RLock):
        def acquire(self, blocking=True, timeout=-1):
            if not super().acquire(False):
                go_on.set()
                return super().acquire(blocking, timeout)
            return True
        __enter__ = acquire

    class Interleaved(quorbel.RedisStreamHandler):
        def __init__(self, **kwargs):
            super().__init__(**kwargs)
            if second.ident is None:
                second.start()
                assert go_on.wait(30)

    second = threading.Thread(target=lambda: (quorbel.get_logger(logger_name), go_on.set()))
    monkeypatch.setattr(logging, "_lock", NoticingLock())
    monkeypatch.setattr(quorbel, "RedisStreamHandler", Interleaved)
    logger = quorbel.get_logger(logger_name)
    second.join(30)
    assert [type(h) for h in logger.handlers] == [Interleaved]


class LockRaising:
    getLogger = staticmethod(logging.getLogger)
    _lock = property(lambda self: 1 / 0)


@pytest.mark.parametrize("module_logging", [
    types.SimpleNamespace(getLogger=logging.getLogger),
    types.SimpleNamespace(getLogger=logging.getLogger, _lock=None), LockRaising(),
], ids=["missing", "None", "raising"])
def test_logging_without_its_lock(logger_name, monkeypatch, module_logging):
    monkeypatch.setattr(quorbel, "logging", module_logging)
    if isinstance(module_logging, LockRaising):
        pytest.raises(ZeroDivisionError, quorbel.get_logger, logger_name)
        assert logging.getLogger(logger_name).handlers == []
    else:
        assert len(quorbel.get_logger(logger_name).handlers) == 1


def test_configured_logger_delivers_records(logger_name):
    client = RecordingClient()
    logger = quorbel.get_logger(logger_name, client=client, stream_key="k", maxlen=50,
                                default_labels={"app": "api"}, level=logging.WARNING)
    logger.info("below the level")
    logger.warning("disk %s", "full")
    ((args, kwargs),) = client.calls
    assert args[0] == "k" and kwargs == {"maxlen": 50, "approximate": True}
    (payload,) = client.payloads()
    assert (payload["level"], payload["msg"], payload["labels"]) == ("warning", "disk full",
                                                                     {"app": "api"})


def test_propagation_and_other_loggers_are_untouched(logger_name):
    parent_name, child_name = logger_name, logger_name + ".child"
    child = logging.getLogger(child_name)
    child_handler = logging.NullHandler()
    child.addHandler(child_handler)
    try:
        parent = logging.getLogger(parent_name)
        parent.propagate = False
        quorbel.get_logger(parent_name, client=RecordingClient())
        assert parent.propagate is False
        assert child.handlers == [child_handler] and child.level == logging.NOTSET
    finally:
        child.removeHandler(child_handler)
