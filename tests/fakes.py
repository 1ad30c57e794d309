"""Client stand-ins for unit tests (anything with an xadd method may serve as a client), an
asyncio client, a fallback stand-in, a handler that keeps what it reports, a logger that
records its calls, and the records and payloads the handler tests share."""

import asyncio
import json
import logging
import sys

import pytest

import quorbel


class RecordingClient:
    """Records each xadd call as (args, kwargs) and returns an entry id."""

    def __init__(self):
        self.calls = []

    def xadd(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return "1-0"

    def payloads(self):
        """The decoded "payload" field of every recorded call, in order."""
        out = []
        for args, kwargs in self.calls:
            fields = args[1] if len(args) > 1 else kwargs["fields"]
            out.append(json.loads(fields["payload"]))
        return out


class RaisingClient(RecordingClient):
    """xadd raises the given exception (an instance or a class): every time, or the first
    `times` times and then records as RecordingClient does."""

    def __init__(self, exc, times=None):
        super().__init__()
        self.exc, self.times = exc, times

    def xadd(self, *args, **kwargs):
        if self.times is None or self.times > 0:
            self.times = None if self.times is None else self.times - 1
            self.calls.append((args, kwargs))
            raise self.exc
        return super().xadd(*args, **kwargs)


class NullClient(RecordingClient):
    """Records as RecordingClient does, and xadd returns None."""

    def xadd(self, *args, **kwargs):
        super().xadd(*args, **kwargs)


class FakeFallback:
    """Stands in for the fallback file handler: records what reaches emit, then raises exc."""

    def __init__(self, exc=None):
        self.records = []
        self.exc = exc

    def emit(self, record):
        self.records.append(record)
        if self.exc is not None:
            raise self.exc

    def handle(self, record):
        raise AssertionError("the fallback handler must be given records through emit")


class ReportingHandler(quorbel.RedisStreamHandler):
    """Keeps each handleError call in reports as (record, the exception being handled)."""

    def handleError(self, record):
        self.__dict__.setdefault("reports", []).append((record, sys.exc_info()[1]))

    @property
    def reports(self):
        return self.__dict__.setdefault("reports", [])


class RecordingLogger:
    """Answers the given logger methods: records each call as (method, args, [(keyword,
    value)]) and returns a value that a wrapper must discard."""

    def __init__(self, methods=("debug", "info", "warning", "error", "exception")):
        self.calls = []
        for m in methods:
            setattr(self, m, self._recorder(m))

    def _recorder(self, method):
        def call(*args, **kwargs):
            self.calls.append((method, args, list(kwargs.items())))
            return "ignored"
        return call


def asyncio_redis(**options):
    """A redis.asyncio client (skipped without it). Older redis-py binds its locks to the
    thread's current event loop, which an earlier asyncio.run() leaves unset (3.8 and 3.9
    then refuse to make one): it gets a loop of its own for the construction."""
    redis_asyncio = pytest.importorskip("redis.asyncio")
    loop = asyncio.new_event_loop()
    try:
        asyncio.set_event_loop(loop)
        return redis_asyncio.Redis(**options)
    finally:
        asyncio.set_event_loop(None)
        loop.close()


def make_record(msg="hello", args=(), level=logging.INFO, **attrs):
    """A record as a logger at /src/app.py:42 makes it, with attrs set on it."""
    record = logging.LogRecord("app.test", level, "/src/app.py", 42, msg, args, None)
    for name, value in attrs.items():
        setattr(record, name, value)
    return record


def emitted_payload(handler, record):
    """The payload text the handler's emit appends for the record (to a recording client it
    installs as the handler's client), or None when it drops the record."""
    client = RecordingClient()
    handler._client = client
    assert handler.emit(record) is None
    return client.calls[0][0][1]["payload"] if client.calls else None
