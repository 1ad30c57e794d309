"""What the benchmarks run: the records, clients and loggers of each hot path, and the loops.

Shared by bench/emit.py (wall clock) and bench/instructions.py (instruction counts), so that
both measure the same calls. A mode is (name, run): run(n) makes n calls of the thing
measured, in a loop as tight as the thing allows, so that the loop adds the same small cost
to both sides of a ratio. The loops iterate over itertools.repeat, as timeit does: an int
from range would be a new object from 257 on, whose allocation costs more or less with the
heap's layout. The first mode of every list is quorbel's.
"""

import itertools
import logging
import os

import quorbel

import baseline

MAXLEN = 10000
DEFAULT_LABELS = {"app": "api"}
RECORD_LABELS = {"route": "/login", "status": 200}
SMALL_CTX = {"user_id": 42, "request_id": "9f2c1e7a", "elapsed_ms": 12.5}
WRAPPER_LABELS = {"route": "/login"}
WRAPPER_CTX = {"user_id": 42}


def nested_ctx():
    """30 entries: flat strs, ints and floats, small dicts and lists, one non-ASCII text."""
    ctx = {}
    for i in range(30):
        kind = i % 5
        if kind == 0:
            ctx["field_%d" % i] = "value number %d" % i
        elif kind == 1:
            ctx["count_%d" % i] = i * 1009
        elif kind == 2:
            ctx["ratio_%d" % i] = i / 7.0
        elif kind == 3:
            ctx["obj_%d" % i] = {"id": i, "name": "item-%d" % i, "ok": i % 2 == 0, "tags": ["a", "b"]}
        else:
            ctx["list_%d" % i] = [i, "x%d" % i, None, 2.5]
    ctx["field_0"] = "café ☕ naïve"
    return ctx


class NullClient:
    def xadd(self, *args, **kwargs):
        return None


class DownClient:
    def xadd(self, *args, **kwargs):
        raise ConnectionError("Error 111 connecting to 127.0.0.1:6379. Connection refused.")


class RecordingClient:
    text = None

    def xadd(self, key, fields, **kwargs):
        self.text = fields["payload"]


def make_record(ctx, msg="request %s done", args=(12345,)):
    record = logging.LogRecord("bench", logging.INFO, __file__, 1, msg, args, None)
    record.labels = RECORD_LABELS
    record.ctx = ctx
    return record


def make_logger(name, handler):
    log = logging.getLogger("quorbel.bench." + name)
    log.propagate = False
    log.setLevel(logging.INFO)
    for old in list(log.handlers):
        log.removeHandler(old)
    log.addHandler(handler)
    return log


def payload_text(ctx):
    """The text quorbel's handler sends for make_record(ctx): the baselines' fixed payload."""
    client = RecordingClient()
    quorbel.RedisStreamHandler(client=client, default_labels=DEFAULT_LABELS).emit(
        make_record(ctx))
    return client.text


# --- loops ----------------------------------------------------------------------------------

def repeat(n):
    return itertools.repeat(None, n)


def one_arg_calls(func, arg):
    def run(n):
        for _ in repeat(n):
            func(arg)
    return run


def emit_calls(handler, record):
    return one_arg_calls(handler.emit, record)


def info_calls(log, ctx, msg="request %s done", arg=12345):
    extra = {"labels": RECORD_LABELS, "ctx": ctx}
    info = log.info

    def run(n):
        for _ in repeat(n):
            info(msg, arg, extra=extra)
    return run


def text_info_calls(log, text):
    return one_arg_calls(log.info, text)


def bare_xadd_calls(client, key, text):
    xadd = client.xadd

    def run(n):
        for _ in repeat(n):
            xadd(key, {"payload": text}, maxlen=MAXLEN, approximate=True)
    return run


def direct_calls(log, msg, labels, ctx):
    info = log.info

    def run(n):
        for _ in repeat(n):
            info(msg, extra={"labels": labels, "ctx": ctx})
    return run


def wrapper_calls(wrapper, msg, labels, ctx):
    # As applications write it: the method looked up on each call, keywords.
    def run(n):
        for _ in repeat(n):
            wrapper.info(msg, labels=labels, ctx=ctx)
    return run


# --- the modes of each path -----------------------------------------------------------------

def emit_modes(ctx):
    """handler.emit(record) for quorbel's handler and the pure-Python one, null clients. A
    ctx of None stands for a record as a plain logging call makes it: no labels, no ctx."""
    record = make_record(ctx)
    if ctx is None:
        del record.labels, record.ctx
    q = quorbel.RedisStreamHandler(client=NullClient(), maxlen=MAXLEN,
                                   default_labels=dict(DEFAULT_LABELS))
    p = baseline.PyStreamHandler(NullClient(), maxlen=MAXLEN,
                                 default_labels=dict(DEFAULT_LABELS))
    return [("quorbel", emit_calls(q, record)), ("python", emit_calls(p, record))]


class FallbackModes:
    """The client raises and a fallback file is set (files in tmp): quorbel per logging call,
    a plain RotatingFileHandler writing quorbel's text, the floor of the path (the failing
    call, then a LogRecord of a text computed beforehand for the file handler), and quorbel
    and the plain handler per emit. close() closes the files."""

    def __init__(self, tmp):
        text = payload_text(SMALL_CTX)
        q = quorbel.RedisStreamHandler(client=DownClient(), maxlen=MAXLEN,
                                       default_labels=dict(DEFAULT_LABELS),
                                       fallback_file_path=os.path.join(tmp, "quorbel.log"))
        q_emit = quorbel.RedisStreamHandler(
            client=DownClient(), maxlen=MAXLEN, default_labels=dict(DEFAULT_LABELS),
            fallback_file_path=os.path.join(tmp, "quorbel-emit.log"))
        self.plain = baseline.plain_file_handler(os.path.join(tmp, "plain.log"))
        self.plain_emit = baseline.plain_file_handler(os.path.join(tmp, "plain-emit.log"))
        self.floor = baseline.FallbackOnlyHandler(DownClient(), text,
                                                  os.path.join(tmp, "floor.log"), maxlen=MAXLEN)
        self.handlers = [q, q_emit]
        text_record = logging.LogRecord("bench", logging.INFO, __file__, 1, text, (), None)
        self.modes = [
            ("quorbel", info_calls(make_logger("fallback.q", q), SMALL_CTX)),
            ("rotating_file", text_info_calls(make_logger("fallback.p", self.plain), text)),
            ("fallback_only", info_calls(make_logger("fallback.f", self.floor), SMALL_CTX)),
            ("quorbel_emit", emit_calls(q_emit, make_record(SMALL_CTX))),
            ("rotating_file_emit", emit_calls(self.plain_emit, text_record)),
        ]

    def close(self):
        for h in (self.plain, self.plain_emit, self.floor.fallback):
            h.close()
        for h in self.handlers:
            if h._fallback is not None:
                h._fallback.close()


def wrapper_modes(name, level):
    """RedisAppLogger.info(msg, labels=, ctx=), the pure-Python wrapper and the direct
    logger.info(msg, extra=) they both make, on a logger at `level` with a NullHandler."""
    log = make_logger(name, logging.NullHandler())
    log.setLevel(level)
    args = ("done", WRAPPER_LABELS, WRAPPER_CTX)
    return [
        ("quorbel", wrapper_calls(quorbel.RedisAppLogger(log), *args)),
        ("python", wrapper_calls(baseline.PyAppLogger(log), *args)),
        ("direct", direct_calls(log, *args)),
    ]


def batch_modes(url, spool_dir):
    """RedisAppLogger.info(msg, labels=, ctx=) through get_logger(client=BatchClient(url)),
    the same with the durable spool in spool_dir, and the same through a client whose xadd
    returns None."""
    from quorbel_batch import BatchClient

    def app_logger(name, client):
        log = quorbel.get_logger("quorbel.bench." + name, client=client, maxlen=MAXLEN,
                                 default_labels=dict(DEFAULT_LABELS))
        log.propagate = False
        return quorbel.RedisAppLogger(log)

    args = ("done", WRAPPER_LABELS, WRAPPER_CTX)
    spool = BatchClient(url, spool_dir=spool_dir)
    return [("batch", wrapper_calls(app_logger("batch", BatchClient(url)), *args)),
            ("spool", wrapper_calls(app_logger("spool", spool), *args)),
            ("null", wrapper_calls(app_logger("null", NullClient()), *args))]
