"""Pure-Python counterparts of quorbel's hot paths, for the benchmarks to measure against.

Each does the same work as the native code it stands beside, written the plain way:
  PyStreamHandler  the whole emit: labels merged, time.time_ns, json.dumps, xadd, fallback
  XaddOnlyHandler  an emit that only appends a text computed beforehand: the floor for
                   any handler that sends one entry per record through the same client
  FallbackOnlyHandler  the same floor for the fallback path: the failed call, then a
                   LogRecord of that text for the file handler
  PyAppLogger      the labelled wrapper: two dicts and one logging call
"""

import json
import logging
import logging.handlers
import os
import sys
import time

# The label merge is the tests' Python reference (tests/reference.py), the one copy of it.
TESTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests")
if TESTS not in sys.path:
    sys.path.append(TESTS)

from reference import _merge_labels as merge_labels  # noqa: E402

SEPARATORS = (",", ":")


def now_ns():
    return str(time.time_ns())


class PyStreamHandler(logging.Handler):
    def __init__(self, client, stream_key="logs:stream", maxlen=1000000, default_labels=None,
                 fallback_file_path=None, fallback_max_bytes=5242880,
                 fallback_backup_count=3):
        super().__init__()
        self._client = client
        self.stream_key = stream_key
        self.maxlen = maxlen
        self.default_labels = default_labels or {}
        self._fallback = None
        if fallback_file_path:
            self._fallback = logging.handlers.RotatingFileHandler(
                fallback_file_path, maxBytes=fallback_max_bytes,
                backupCount=fallback_backup_count, encoding="utf-8")
            self._fallback.setFormatter(logging.Formatter("%(message)s"))

    def emit(self, record):
        try:
            labels = merge_labels(self.default_labels, getattr(record, "labels", None))
            ctx = getattr(record, "ctx", None) or {}
            payload_json = json.dumps({"ts": now_ns(), "level": str(record.levelname).lower(),
                                       "msg": record.getMessage(), "labels": labels,
                                       "ctx": ctx}, ensure_ascii=False, separators=SEPARATORS)
            if self._client is not None:
                try:
                    if self.maxlen:
                        self._client.xadd(self.stream_key, {"payload": payload_json},
                                          maxlen=self.maxlen, approximate=True)
                    else:
                        self._client.xadd(self.stream_key, {"payload": payload_json})
                    return
                except Exception:
                    pass
            if self._fallback is not None:
                try:
                    self._fallback.emit(logging.LogRecord(
                        name=record.name, level=record.levelno, pathname=record.pathname,
                        lineno=record.lineno, msg=payload_json, args=(), exc_info=None))
                except Exception:
                    pass
        except Exception:
            pass


class XaddOnlyHandler(logging.Handler):
    def __init__(self, client, stream_key, text, maxlen=1000000):
        super().__init__()
        self.client = client
        self.stream_key = stream_key
        self.text = text
        self.maxlen = maxlen

    def emit(self, record):
        self.client.xadd(self.stream_key, {"payload": self.text}, maxlen=self.maxlen,
                         approximate=True)


class FallbackOnlyHandler(logging.Handler):
    """The floor of the fallback path as quorbel takes it: the client's call fails, then the
    file handler gets a new LogRecord holding a text computed beforehand."""

    def __init__(self, client, text, path, maxlen=1000000):
        super().__init__()
        self.client = client
        self.text = text
        self.maxlen = maxlen
        self.fallback = plain_file_handler(path)

    def emit(self, record):
        try:
            self.client.xadd("logs:stream", {"payload": self.text}, maxlen=self.maxlen,
                             approximate=True)
        except Exception:
            pass
        self.fallback.emit(logging.LogRecord(
            name=record.name, level=record.levelno, pathname=record.pathname,
            lineno=record.lineno, msg=self.text, args=(), exc_info=None))


class PyAppLogger:
    def __init__(self, logger):
        self._log = logger

    def info(self, msg, labels=None, ctx=None):
        self._log.info(msg, extra={"labels": labels or {}, "ctx": ctx or {}})


def plain_file_handler(path, max_bytes=5242880, backup_count=3):
    """A RotatingFileHandler set up as quorbel sets up its fallback file."""
    handler = logging.handlers.RotatingFileHandler(path, maxBytes=max_bytes,
                                                   backupCount=backup_count, encoding="utf-8")
    handler.setFormatter(logging.Formatter("%(message)s"))
    return handler
