"""Memory stays flat: a million records leak nothing, and neither does any callable of the
module on its success path or on its refusal path (one row per callable, and a test that
fails when a callable has no row).

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
import itertools
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


_serial = itertools.count()


def own(text):
    """A str that belongs to the caller: made at run time, so neither interned nor shared."""
    return "%s:%d" % (text, next(_serial))


class NullClient:
    def xadd(self, *args, **kwargs):
        return None


def own_client(cls):
    """An instance of a class of the caller's own, so that the class's count is the caller's."""
    return type(cls.__name__, (cls,), {})()


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
        record = logging.LogRecord("memory", logging.INFO, __file__, i, own("record %d of %s"),
                                   (i, "pool"), None)
        kind = i % 4
        if kind == 0:
            # "app" replaces the handler's default of that name.
            record.labels = {"env": own("prod"), "app": own("web"), "n": i}
            record.ctx = {"seq": i, "user": "u-%d" % i}
        elif kind == 1:
            record.labels = {1: 2.5, "none": None}
            record.ctx = {"f": i / 7, "nested": [1, [2, {"x": None}]], 3: True}
        elif kind == 2:
            record.msg = own("caf\u00e9 \udc80 line\nbreak %s %s")
            record.labels = {"k\u00e9": own("v\u2028")}
            record.ctx = {"s": "\ud800" * (i + 1)}
        # kind 3: no labels or ctx attributes at all
        records.append(record)
    return records


def refcounts(objects):
    return [sys.getrefcount(o) for o in objects]


def watched(handler, records):
    """The objects whose reference counts must not move: everything emit touches that
    belongs to the test alone. A shared object (an interned name, a constant, a class
    other code uses) moves whenever other code, another thread or the collector takes or
    drops a reference to it, and would make the comparison depend on them."""
    objs = [handler, handler.__dict__, handler.default_labels, handler.stream_key]
    if handler._client is not None:
        objs += [handler._client, type(handler._client)]
    for r in records:
        objs += [r, r.__dict__, r.msg, r.args]
        objs += [v for v in (getattr(r, "labels", None), getattr(r, "ctx", None)) if v]
    return objs


def label_texts(handler, records):
    """The label values, the test's own strs: the encoder's cache of recent strs may come to
    hold one reference to each, but a leak would add one a record."""
    labels = [handler.default_labels] + [getattr(r, "labels", None) for r in records]
    return [v for d in labels if d for v in d.values() if type(v) is str]


def measure(step, count, warmup=WARMUP, traced=TRACED):
    for i in range(warmup):
        step(i)
    gc.collect()
    blocks, objects, resident = sys.getallocatedblocks(), len(gc.get_objects()), rss()
    started = time.perf_counter()
    for i in range(count):
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
        for i in range(min(warmup, traced)):
            step(i)
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        for i in range(traced):
            step(i)
        gc.collect()
        growth["traced"] = tracemalloc.get_traced_memory()[0] - before
        growth["traced calls"] = traced
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
            growth["gc objects"], growth["rss"] / 1e6, growth["traced"], growth["traced calls"])


# Each road: (its number of calls, the handler's options for a tmp_path). Steps call
# handler.emit directly, so the figures show the module's own allocations rather than logging's.
ROADS = {
    "stream": (RECORDS, lambda tmp_path: dict(client=own_client(NullClient),
                                              default_labels={"app": own("api")})),
    # Rotation keeps the disk use bounded; the rotating itself is part of the road.
    "fallback file": (SHORT, lambda tmp_path: dict(
        client=own_client(RefusingClient), default_labels={"app": own("api")},
        fallback_file_path=str(tmp_path / "fallback.log"), fallback_max_bytes=1024 * 1024,
        fallback_backup_count=1)),
    "unencodable, dropped": (SHORT, lambda tmp_path: dict(client=own_client(NullClient))),
    "no client, loss reported": (SHORT, lambda tmp_path: dict(drop_on_error=False)),
}


@pytest.mark.slow
@pytest.mark.parametrize("road", sorted(ROADS))
def test_emit_leaks_nothing(road, tmp_path, monkeypatch, figures):
    # The reported loss goes to handleError, which prints nothing with this off.
    monkeypatch.setattr(logging, "raiseExceptions", False)
    count, options = ROADS[road]
    handler = quorbel.RedisStreamHandler(stream_key=own("memory"), **options(tmp_path))
    records = pool_of_records()
    if road == "unencodable, dropped":
        for r in records:
            r.ctx = {"when": datetime.datetime(2020, 1, 1), "set": {1}}
    objs, texts = watched(handler, records), label_texts(handler, records)
    emit = handler.emit
    size = len(records)
    counts, text_counts = refcounts(objs), refcounts(texts)
    growth, elapsed = measure(lambda i: emit(records[i % size]), count)
    assert refcounts(objs) == counts
    assert all(0 <= after - before <= 1 for before, after in zip(text_counts, refcounts(texts)))
    if handler._fallback is not None:
        handler._fallback.close()
    report(figures, "emit via " + road, count, growth, elapsed)
    assert not leaks(growth), leaks(growth)


class Owned:
    """The objects the rows below call with: the test's own, and their reference counts
    must not move. The level methods go through a logger to a handler with a null client."""

    def __init__(self):
        self.client = own_client(NullClient)
        self.labels, self.ctx = {own("env"): own("prod")}, {own("user"): 42}
        self.handler = quorbel.RedisStreamHandler(client=self.client, stream_key=own("memory"),
                                                  default_labels=self.labels)
        self.logger = logging.getLogger(own("quorbel.memory"))
        self.logger.propagate = False
        self.logger.setLevel(logging.DEBUG)
        self.logger.addHandler(self.handler)
        self.app = quorbel.RedisAppLogger(self.logger)
        self.record = pool_of_records(1)[0]
        self.name = own("quorbel.memory.get_logger")

    def watched(self):
        return [self.client, type(self.client), self.labels, self.ctx, self.handler,
                self.logger, self.app, self.record, self.name]


# Every callable: (its success path, the calls it refuses with TypeError), over an Owned.
ROWS = {
    "_now_ns": lambda o: (quorbel._now_ns, [lambda: quorbel._now_ns(1),
                                            lambda: quorbel._now_ns(x=1)]),
    "_merge_labels": lambda o: (lambda: quorbel._merge_labels(o.labels, {1: 2.5, "n": None}), [
        lambda: quorbel._merge_labels([], None), lambda: quorbel._merge_labels(None)]),
    "RedisStreamHandler.__init__": lambda o: (
        lambda: quorbel.RedisStreamHandler(client=o.client, default_labels=o.labels, maxlen=2.5),
        [lambda: quorbel.RedisStreamHandler(maxlen="5"),
         lambda: quorbel.RedisStreamHandler(default_labels=[("a", "b")]),
         lambda: quorbel.RedisStreamHandler(None, None, "k", 1, 1, None, True, None, 1, 1, 1)]),
    "RedisStreamHandler.emit": lambda o: (lambda: o.handler.emit(o.record), [
        lambda: o.handler.emit(), lambda: o.handler.emit(o.record, o.record),
        lambda: o.handler.emit(o.record, extra=1)]),
    "get_logger": lambda o: (
        lambda: quorbel.get_logger(o.name, client=o.client, default_labels=o.labels),
        [lambda: quorbel.get_logger(None), lambda: quorbel.get_logger(o.name, level="INFO"),
         lambda: quorbel.get_logger()]),
    "RedisAppLogger.__init__": lambda o: (lambda: quorbel.RedisAppLogger(o.logger), [
        lambda: quorbel.RedisAppLogger(), lambda: quorbel.RedisAppLogger(o.logger, log=1)]),
}
for _m in ("debug", "info", "warning", "error", "exception"):
    ROWS["RedisAppLogger." + _m] = lambda o, m=_m: (
        lambda: getattr(o.app, m)("hello", o.labels, o.ctx),
        [lambda: getattr(o.app, m)(b"m"), lambda: getattr(o.app, m)("m", labels=[]),
         lambda: getattr(o.app, m)()])

ROW_CALLS = 10000


def module_callables():
    """The qualified name of every callable the module exposes, found by introspection."""
    kind = type(quorbel.get_logger)
    found = set()
    for value in vars(quorbel).values():
        inside = vars(value).values() if isinstance(value, type) else ()
        found.update(f.__qualname__ for f in itertools.chain([value], inside) if type(f) is kind)
    return found


def test_every_callable_has_a_row():
    assert module_callables() == set(ROWS)


@pytest.mark.slow
@pytest.mark.parametrize("path", ["success", "refusal"])
@pytest.mark.parametrize("qualname", sorted(ROWS))
def test_callable_leaks_nothing(qualname, path, figures):
    owned = Owned()
    success, refusals = ROWS[qualname](owned)
    size = len(refusals)

    def refuse(i):
        try:
            refusals[i % size]()
        except TypeError:
            return
        raise AssertionError("call %d was not refused" % (i % size))

    step = (lambda i: success()) if path == "success" else refuse
    try:
        for i in range(100):
            step(i)
        gc.collect()
        counts = refcounts(owned.watched())
        growth, elapsed = measure(step, ROW_CALLS, warmup=2000, traced=ROW_CALLS)
        assert refcounts(owned.watched()) == counts
    finally:
        for logger in (owned.logger, logging.getLogger(owned.name)):
            for h in list(logger.handlers):
                logger.removeHandler(h)
    report(figures, "%s, %s path" % (qualname, path), ROW_CALLS, growth, elapsed)
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
            growth["traced calls"], ", ".join(found))
    assert found
    if sys.getallocatedblocks():
        assert growth["blocks"] >= count
    assert growth["traced"] >= 32 * TRACED
