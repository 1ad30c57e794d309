"""get_logger: one call that sets a logger's level and replaces its stream handler."""

import _thread
import logging
import pathlib
import threading

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

        def __init__(self, *args, **kwargs):
            Recorder.calls.append((args, list(kwargs.items())))
            super().__init__()

    monkeypatch.setattr(quorbel, "RedisStreamHandler", Recorder)
    return Recorder


class CloseRecorder(quorbel.RedisStreamHandler):
    """A stream handler that remembers whether anyone closed or flushed it."""

    closed = flushed = False

    def close(self):
        self.closed = True
        super().close()

    def flush(self):
        self.flushed = True
        super().flush()


@pytest.mark.parametrize("before, kept", [
    (["a", "stream", "b", "stream", "c"], ["a", "b", "c"]),
    (["a", "subclass", "b"], ["a", "b"]),
    (["stream", "subclass"], []),
    (["a", "b"], ["a", "b"]),
    ([], []),
])
def test_only_stream_handlers_are_detached_and_others_keep_order(logger_name, tmp_path, before,
                                                                 kept):
    logger = logging.getLogger(logger_name)
    made, detached = {}, []
    for i, kind in enumerate(before):
        if kind == "stream":
            h = quorbel.RedisStreamHandler(fallback_file_path=str(tmp_path / ("%d.log" % i)))
            detached.append(h)
        elif kind == "subclass":
            h = made[i] = CloseRecorder(client=RecordingClient())
        else:
            h = made[kind] = logging.StreamHandler()
        logger.addHandler(h)

    assert quorbel.get_logger(logger_name, client=RecordingClient()) is logger

    *others, new = logger.handlers
    assert others == [made[k] for k in kept]
    assert type(new) is quorbel.RedisStreamHandler
    # Detached only: neither closed nor flushed, their fallback files open and usable.
    assert not any(h.closed or h.flushed for h in made.values() if isinstance(h, CloseRecorder))
    for h in detached:
        assert h._fallback.stream is not None and not h._fallback.stream.closed
        h.handle(logging.makeLogRecord({"msg": "still works", "levelname": "INFO"}))
        h._fallback.close()
        assert "still works" in pathlib.Path(h._fallback.baseFilename).read_text()


CLIENT, LABELS = object(), {"app": "api"}
GIVEN = dict(redis_url="redis://127.0.0.1:1/0", client=CLIENT, stream_key="k", maxlen=7,
             timeout_ms=9, default_labels=LABELS)
# get_logger's arguments -> the keywords RedisStreamHandler gets other than DEFAULT_KWARGS.
PASSED = {
    "defaults": ({}, {}),
    "given": (dict(GIVEN, enable_fallback_file=False, fallback_path="/nonexistent/x.log",
                   level=logging.WARNING), GIVEN),
    "fallback file": ({"enable_fallback_file": True}, {"fallback_file_path": "/var/log/app.log"}),
    "fallback file at a path": ({"enable_fallback_file": True, "fallback_path": "/tmp/q.log"},
                                {"fallback_file_path": "/tmp/q.log"}),
}


@pytest.mark.parametrize("case", sorted(PASSED))
def test_arguments_reach_the_handler_as_keywords(logger_name, recorder, case):
    given, passed = PASSED[case]
    logger = quorbel.get_logger(logger_name, **given)
    [(args, kwargs)] = recorder.calls
    assert (args, dict(kwargs)) == ((), dict(DEFAULT_KWARGS, **passed))
    if "client" in passed:
        assert dict(kwargs)["client"] is CLIENT and dict(kwargs)["default_labels"] is LABELS
    assert logger.level == given.get("level", logging.INFO)
    assert logger.handlers[0].level == logging.NOTSET


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
