"""Memory stays flat: a million records, and a hundred thousand refused calls, leak nothing.

Each road runs a warm-up first (caches, interned names, the file handler's buffers),
then the measured run. Growth is read four ways: blocks held by the object allocator
(sys.getallocatedblocks), objects tracked by the garbage collector, resident memory,
and, over a shorter run, tracemalloc. A leaked reference to one object per record
shows up as at least one block per record; the control at the end leaks exactly that
(through the C API, as a forgotten decref in the module would) and must be caught.

QUORBEL_MEMORY_RECORDS sets the length of the main run (default 1,000,000).
"""

import ctypes
import datetime
import gc
import logging
import os
import sys
import time
import tracemalloc

import pytest

import quorbel

RECORDS = int(os.environ.get("QUORBEL_MEMORY_RECORDS", "1000000"))
# The other roads, and each tracemalloc run, are shorter: they are slower per record and
# a leak of one object per record is as plain after 20,000 as after a million.
SHORT = max(1000, min(RECORDS, 100000))
TRACED = max(1000, min(RECORDS, 20000))
WARMUP = max(1000, min(RECORDS // 20, 20000))

# Bounds for the measured run. A one-object-per-record leak grows blocks by `count`,
# traced memory by >= 32 bytes per record, resident memory by tens of MB per million.
MAX_BLOCKS = 2000
MAX_GC_OBJECTS = 500
MAX_RSS = 24 * 1024 * 1024
MAX_TRACED = 64 * 1024


class NullClient:
    def xadd(self, *args, **kwargs):
        return None


class RefusingClient:
    def xadd(self, *args, **kwargs):
        raise ConnectionError("no server")


class LeakingClient:
    """Keeps one extra reference to the fields dict of every append, like a missing Py_DECREF."""

    def xadd(self, key, fields, **kwargs):
        ctypes.pythonapi.Py_IncRef(ctypes.py_object(fields))


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def pool_of_records(size=64):
    """Records that take different paths through the payload encoder."""
    records = []
    for i in range(size):
        record = logging.LogRecord("memory", logging.INFO, __file__, i, "record %d of %s",
                                   (i, "pool"), None)
        kind = i % 4
        if kind == 0:
            record.labels, record.ctx = {"env": "prod"}, {"seq": i, "user": "u-%d" % i}
        elif kind == 1:
            record.labels = {1: 2.5, "none": None}
            record.ctx = {"f": i / 7, "nested": [1, [2, {"x": None}]], 3: True}
        elif kind == 2:
            record.msg = "caf\u00e9 \udc80 line\nbreak %s %s"
            record.labels, record.ctx = {"k\u00e9": "v\u2028"}, {"s": "\ud800" * (i + 1)}
        # kind 3: no labels or ctx attributes at all
        records.append(record)
    return records


def refcounts(objects):
    # Shared singletons (None: any code anywhere holds it) and immortal objects (3.12+)
    # have no count worth comparing.
    return [sys.getrefcount(o) for o in objects
            if o is not None and sys.getrefcount(o) < 1 << 30]


def watched(handler, records):
    """The objects whose reference counts must not move: everything emit touches."""
    objs = [handler, handler.__dict__, handler.default_labels, handler.stream_key,
            handler._client, type(handler._client)]
    for r in records:
        objs += [r, r.__dict__, r.msg, r.args]
        objs += [v for v in (getattr(r, "labels", None), getattr(r, "ctx", None)) if v]
    return objs


def measure(step, count, warmup=WARMUP):
    step_range = range(count)
    for i in range(warmup):
        step(i)
    gc.collect()
    blocks, objects, resident = sys.getallocatedblocks(), len(gc.get_objects()), rss()
    started = time.perf_counter()
    for i in step_range:
        step(i)
    elapsed = time.perf_counter() - started
    gc.collect()
    growth = {
        "blocks": sys.getallocatedblocks() - blocks,
        "gc objects": len(gc.get_objects()) - objects,
        "rss": rss() - resident,
    }
    # tracemalloc slows every allocation down, so it watches a shorter run of its own.
    tracemalloc.start()
    try:
        for i in range(min(warmup, TRACED)):
            step(i)
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        for i in range(TRACED):
            step(i)
        gc.collect()
        growth["traced"] = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    return growth, elapsed


def leaks(growth):
    """What in the growth figures points at a leak ([] when memory stayed flat)."""
    found = []
    # With PYTHONMALLOC=malloc (the sanitizer run) the object allocator is bypassed and
    # reports no blocks, and resident memory follows the sanitizer's quarantine of freed
    # blocks rather than the program: tracemalloc and the object counts still watch.
    pymalloc = sys.getallocatedblocks() > 0
    if pymalloc and growth["blocks"] > MAX_BLOCKS:
        found.append("blocks +%d" % growth["blocks"])
    if growth["gc objects"] > MAX_GC_OBJECTS:
        found.append("gc objects +%d" % growth["gc objects"])
    if pymalloc and growth["rss"] > MAX_RSS:
        found.append("rss +%.1f MB" % (growth["rss"] / 1e6))
    if growth["traced"] > MAX_TRACED:
        found.append("traced +%d bytes" % growth["traced"])
    return found


def report(figures, road, count, growth, elapsed):
    figures("[memory] %s: %d calls in %.1f s (%.2f us each); growth after warm-up: "
            "blocks %+d, gc objects %+d, rss %+.2f MB, traced %+d bytes over %d",
            road, count, elapsed, elapsed / count * 1e6, growth["blocks"],
            growth["gc objects"], growth["rss"] / 1e6, growth["traced"], TRACED)


def handler_road(road, tmp_path):
    """A handler and the records for one road; steps call handler.emit directly, so the
    figures show the module's own allocations rather than logging's."""
    if road == "stream":
        handler = quorbel.RedisStreamHandler(client=NullClient(), default_labels={"app": "api"})
    elif road == "fallback file":
        # Rotation keeps the disk use bounded; the rotating itself is part of the road.
        handler = quorbel.RedisStreamHandler(
            client=RefusingClient(), default_labels={"app": "api"},
            fallback_file_path=str(tmp_path / "fallback.log"),
            fallback_max_bytes=1024 * 1024, fallback_backup_count=1)
    elif road == "unencodable, dropped":
        handler = quorbel.RedisStreamHandler(client=NullClient())
    elif road == "no client, loss reported":
        handler = quorbel.RedisStreamHandler(drop_on_error=False)
    else:
        raise AssertionError(road)
    records = pool_of_records()
    if road == "unencodable, dropped":
        for r in records:
            r.ctx = {"when": datetime.datetime(2020, 1, 1), "set": {1}}
    return handler, records


ROADS = [("stream", RECORDS), ("fallback file", SHORT), ("unencodable, dropped", SHORT),
         ("no client, loss reported", SHORT)]


@pytest.mark.slow
@pytest.mark.parametrize("road, count", ROADS, ids=[r for r, _ in ROADS])
def test_emit_leaks_nothing(road, count, tmp_path, monkeypatch, figures):
    # The reported loss goes to handleError, which prints nothing with this off.
    monkeypatch.setattr(logging, "raiseExceptions", False)
    handler, records = handler_road(road, tmp_path)
    objs = watched(handler, records)
    emit = handler.emit
    size = len(records)
    counts = refcounts(objs)
    growth, elapsed = measure(lambda i: emit(records[i % size]), count)
    assert refcounts(objs) == counts
    if handler._fallback is not None:
        handler._fallback.close()
    report(figures, "emit via " + road, count, growth, elapsed)
    assert not leaks(growth), leaks(growth)


def bad_calls():
    handler = quorbel.RedisStreamHandler(client=NullClient())
    app = quorbel.RedisAppLogger(logging.getLogger("quorbel.memory.refusals"))
    record = logging.LogRecord("memory", logging.INFO, __file__, 1, "m", (), None)
    return [
        lambda: handler.emit(),
        lambda: handler.emit(record, record),
        lambda: handler.emit(record, extra=1),
        lambda: handler.emit(record=record, nope=2),
        lambda: quorbel.RedisStreamHandler(maxlen="5"),
        lambda: quorbel.RedisStreamHandler(stream_key=None),
        lambda: quorbel.RedisStreamHandler(default_labels=[("a", "b")]),
        lambda: quorbel.RedisStreamHandler(None, None, "k", 1, 1, None, True, None, 1, 1, 1),
        lambda: quorbel.get_logger(None),
        lambda: quorbel.get_logger("x", level="INFO"),
        lambda: quorbel.get_logger(),
        lambda: app.info(b"bytes"),
        lambda: app.error("m", labels=[]),
        lambda: app.warning("m", ctx="c"),
        lambda: app.debug(),
        lambda: quorbel._merge_labels([], None),
        lambda: quorbel._merge_labels(None),
        lambda: quorbel._now_ns(1),
    ]


@pytest.mark.slow
def test_refused_calls_leak_nothing(figures):
    calls = bad_calls()
    size = len(calls)

    def step(i):
        try:
            calls[i % size]()
        except TypeError:
            return
        raise AssertionError("call %d was not refused" % (i % size))

    count = SHORT
    growth, elapsed = measure(step, count)
    report(figures, "refused calls (TypeError)", count, growth, elapsed)
    assert not leaks(growth), leaks(growth)


@pytest.mark.slow
def test_app_logger_road_leaks_nothing(figures):
    logger = logging.getLogger("quorbel.memory.app")
    logger.propagate = False
    logger.setLevel(logging.INFO)
    handler = quorbel.RedisStreamHandler(client=NullClient(), default_labels={"app": "api"})
    logger.addHandler(handler)
    app = quorbel.RedisAppLogger(logger)
    labels, ctx = {"env": "prod"}, {"user": 42}
    counts = refcounts([logger, app, handler, labels, ctx])
    try:
        growth, elapsed = measure(lambda i: app.info("hello", labels, ctx), SHORT)
        assert refcounts([logger, app, handler, labels, ctx]) == counts
    finally:
        logger.removeHandler(handler)
    report(figures, "RedisAppLogger.info -> logger -> handler", SHORT, growth, elapsed)
    assert not leaks(growth), leaks(growth)


def test_a_leak_of_one_object_per_record_is_caught(figures):
    # The same measurement with a client that leaks the fields dict of every append.
    handler = quorbel.RedisStreamHandler(client=LeakingClient())
    records = pool_of_records()
    size = len(records)
    count = 20000
    growth, elapsed = measure(lambda i: handler.emit(records[i % size]), count, warmup=1000)
    found = leaks(growth)
    figures("[memory] control, one leaked dict per record: %d calls; growth blocks %+d, "
            "traced %+d bytes over %d; flagged: %s", count, growth["blocks"], growth["traced"],
            TRACED, ", ".join(found))
    assert found
    if sys.getallocatedblocks():
        assert growth["blocks"] >= count
    assert growth["traced"] >= 32 * TRACED
