"""Cost of quorbel's hot paths, each against a baseline measured in the same run.

Groups (every ratio is quorbel's time over its baseline's; lower is better):
  emit_small     handler.emit(record), client whose xadd does nothing; 3 labels, 3 ctx entries.
                 Baseline: a pure-Python handler doing the same work (bench/baseline.py).
  emit_nested30  the same with a 30-entry nested ctx.
  redis          logger.info(...) end to end through a local redis-server and redis-py.
                 Baselines: a handler whose emit only calls client.xadd with a payload text
                 computed beforehand, and a bare client.xadd loop on the same client; the
                 pure-Python handler is measured beside them for reference.
  fallback       the client raises and a fallback file is set. Baseline: a plain
                 RotatingFileHandler writing the same text, set up as the fallback file is;
                 measured per logging call and per emit. Beside it, the floor of the path
                 itself: a handler whose emit only makes the failing call and hands the file
                 handler a LogRecord of a text computed beforehand.
  wrapper        log.info(msg, labels=..., ctx=...) through RedisAppLogger, over calling
                 logger.info(msg, extra=...) directly, against a pure-Python wrapper doing
                 the same ("overhead" = extra time over the direct call), a NullHandler
                 attached.
  wrapper_off    the same with INFO disabled on the logger, so that logging's own work
                 does not bury the wrappers' overhead.

Each repetition runs every mode of a group in chunks, interleaved, the order rotated by one
per repetition, so that drift of the machine is shared; a figure is the median over the
repetitions of the per-repetition ratio (beside it, each mode's median time, whose ratio
may differ from it). Prints a table, then one JSON line. Bounded: the
group loops stop at --budget seconds, and the redis-server it starts (127.0.0.1, free port)
is stopped on the way out.

    PYTHONPATH=build/dev .venvs/3.13/bin/python bench/emit.py [--reps 7] [--scale 1.0]
"""

import argparse
import gc
import json
import logging
import os
import platform
import shutil
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(1, os.path.join(HERE, os.pardir, "tests"))

import quorbel  # noqa: E402

import baseline  # noqa: E402
from workloads import (DEFAULT_LABELS, MAXLEN, SMALL_CTX, FallbackModes,  # noqa: E402
                       bare_xadd_calls, emit_modes, info_calls, make_logger, nested_ctx,
                       payload_text, wrapper_modes)


# --- measuring ----------------------------------------------------------------------------

class Group:
    def __init__(self, name, calls, chunks, modes):
        self.name = name
        self.calls = calls      # per mode per repetition
        self.chunks = chunks    # interleaved pieces of a repetition
        self.modes = modes      # [(mode name, run)], the first is quorbel's
        self.ns = {m: [] for m, _ in modes}

    def repetition(self, rep):
        names = [m for m, _ in self.modes]
        runs = dict(self.modes)
        shift = rep % len(names)
        order = names[shift:] + names[:shift]
        per_chunk = max(1, self.calls // self.chunks)
        total = dict.fromkeys(names, 0)
        clock = time.perf_counter_ns
        for _ in range(self.chunks):
            for m in order:
                t0 = clock()
                runs[m](per_chunk)
                total[m] += clock() - t0
        for m in names:
            self.ns[m].append(total[m] / (per_chunk * self.chunks))

    def median_ns(self, mode):
        return statistics.median(self.ns[mode])

    def ratio(self, mode, base):
        """Median over repetitions of mode's time over base's in the same repetition."""
        return statistics.median(a / b for a, b in zip(self.ns[mode], self.ns[base]))

    def overhead_ratio(self, mode, base, floor):
        """(mode - floor) / (base - floor), per repetition, median."""
        return statistics.median((a - f) / (b - f) for a, b, f in
                                 zip(self.ns[mode], self.ns[base], self.ns[floor]))


def warm(group):
    for _, run in group.modes:
        run(max(50, group.calls // 20))


def build_groups(opts, tmp, client):
    """The groups, and the fallback files to close at the end."""
    scale = opts.scale
    groups = [Group("emit_small", int(40000 * scale), 8, emit_modes(SMALL_CTX)),
              Group("emit_nested30", int(20000 * scale), 8, emit_modes(nested_ctx()))]

    if client is not None:
        text = payload_text(SMALL_CTX)
        q = quorbel.RedisStreamHandler(client=client, stream_key="bench:quorbel", maxlen=MAXLEN,
                                       default_labels=dict(DEFAULT_LABELS))
        x = baseline.XaddOnlyHandler(client, "bench:xadd_only", text, maxlen=MAXLEN)
        p = baseline.PyStreamHandler(client, stream_key="bench:python", maxlen=MAXLEN,
                                     default_labels=dict(DEFAULT_LABELS))
        # Short chunks: a round trip varies with the machine's load from second to second.
        groups.append(Group("redis", int(3000 * scale), 15, [
            ("quorbel", info_calls(make_logger("redis.q", q), SMALL_CTX)),
            ("xadd_only", info_calls(make_logger("redis.x", x), SMALL_CTX)),
            ("bare_xadd", bare_xadd_calls(client, "bench:bare", text)),
            ("python", info_calls(make_logger("redis.p", p), SMALL_CTX)),
        ]))

    fallback = FallbackModes(tmp)
    groups.append(Group("fallback", int(10000 * scale), 5, fallback.modes))
    for name, level, calls in (("wrapper", logging.INFO, 40000),
                               ("wrapper_off", logging.WARNING, 400000)):
        groups.append(Group(name, int(calls * scale), 8, wrapper_modes(name, level)))
    return groups, fallback


# (group, mode, baseline, kind): kind "ratio" or "overhead" (time beyond the group's direct).
MEASURES = [
    ("emit_small", "quorbel", "python", "ratio"),
    ("emit_nested30", "quorbel", "python", "ratio"),
    ("redis", "quorbel", "xadd_only", "ratio"),
    ("redis", "quorbel", "bare_xadd", "ratio"),
    ("redis", "xadd_only", "bare_xadd", "ratio"),
    ("redis", "python", "xadd_only", "ratio"),
    ("fallback", "quorbel", "rotating_file", "ratio"),
    ("fallback", "quorbel_emit", "rotating_file_emit", "ratio"),
    ("fallback", "fallback_only", "rotating_file", "ratio"),
    ("fallback", "quorbel", "fallback_only", "ratio"),
    ("wrapper", "quorbel", "python", "overhead"),
    ("wrapper", "quorbel", "python", "ratio"),
    ("wrapper_off", "quorbel", "python", "overhead"),
    ("wrapper_off", "quorbel", "python", "ratio"),
]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=7, help="repetitions, at least 5")
    parser.add_argument("--scale", type=float, default=1.0, help="calls per repetition, scaled")
    parser.add_argument("--budget", type=float, default=120.0, help="seconds, at most")
    parser.add_argument("--groups", default="", help="comma-separated subset of the groups")
    opts = parser.parse_args()
    reps = max(5, opts.reps)
    started = time.monotonic()
    deadline = started + opts.budget

    note = []
    server = client = fallback = None
    tmp = tempfile.mkdtemp(prefix="quorbel-bench-")
    try:
        if not quorbel.HAS_REDIS:
            note.append("redis client library missing: redis group skipped")
        elif shutil.which("redis-server") is None:
            note.append("redis-server not installed: redis group skipped")
        else:
            import redis
            from redis_proc import RedisProcess

            server = RedisProcess().start()
            client = redis.Redis(host=server.host, port=server.port, socket_timeout=1.0,
                                 socket_connect_timeout=1.0)
            client.ping()
        groups, fallback = build_groups(opts, tmp, client)
        if opts.groups:
            wanted = set(opts.groups.split(","))
            groups = [g for g in groups if g.name in wanted]
        for g in groups:
            warm(g)
        done = 0
        for rep in range(reps):
            if rep >= 5 and time.monotonic() > deadline:
                note.append("budget reached after %d repetitions" % rep)
                break
            for g in groups:
                g.repetition(rep)
            done = rep + 1
            gc.collect()
    finally:
        if client is not None:
            client.close()
        if server is not None:
            server.stop()
        if fallback is not None:
            fallback.close()
        shutil.rmtree(tmp, ignore_errors=True)

    by_name = {g.name: g for g in groups}
    print("python %s  %s  %d repetitions, %.1f s" % (
        platform.python_version(), quorbel.__file__, done, time.monotonic() - started))
    print("%-14s %-19s %12s" % ("group", "mode", "ns/call"))
    for g in groups:
        for m, _ in g.modes:
            print("%-14s %-19s %12.0f" % (g.name, m, g.median_ns(m)))
    print()
    # A ratio is the median of the per-repetition ratios, which need not equal the ratio of
    # the two medians beside it: both are printed, and only the first is the figure.
    print("%-14s %-40s %8s %12s %12s" % ("group", "measure", "ratio", "mode ns", "base ns"))
    ratios = {}
    for group, mode, base, kind in MEASURES:
        g = by_name.get(group)
        if g is None:
            continue
        mode_ns, base_ns = g.median_ns(mode), g.median_ns(base)
        if kind == "overhead":
            value = g.overhead_ratio(mode, base, "direct")
            label = "overhead %s / %s (over direct)" % (mode, base)
            mode_ns, base_ns = mode_ns - g.median_ns("direct"), base_ns - g.median_ns("direct")
        else:
            value = g.ratio(mode, base)
            label = "%s / %s" % (mode, base)
        key = "%s.%s%s/%s" % (group, "overhead." if kind == "overhead" else "", mode, base)
        ratios[key] = round(value, 4)
        print("%-14s %-40s %8.3f %12.0f %12.0f" % (group, label, value, mode_ns, base_ns))
    if note:
        print("note: " + "; ".join(note))
    print(json.dumps({
        "bench": "emit", "python": platform.python_version(), "reps": done,
        "ratios": ratios,
        "ns_per_call": {g.name: {m: round(g.median_ns(m), 1) for m, _ in g.modes}
                        for g in groups},
        "note": "; ".join(note),
    }, sort_keys=True))


if __name__ == "__main__":
    main()
