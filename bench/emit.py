"""Cost of one logging call through RedisStreamHandler.

Three modes, measured side by side in one run:
  null     logger.info(...) through a real logger, the handler holding a client whose
           xadd does nothing: the handler's own cost (labels, payload, JSON, the call).
  handler  the same logger.info(...) against a throwaway local redis-server via redis-py.
  bare     client.xadd(key, {"payload": text}, maxlen=..., approximate=True) on the very
           same redis-py client: the floor that the handler adds its work to.

Each repetition runs every mode once, the order rotated by one per repetition so that
no mode always runs first or last; the figures are medians over the repetitions.
Prints a table, then one JSON line. Bounded: a few seconds normally, never past --budget.

    PYTHONPATH=build/dev .venvs/3.11/bin/python bench/emit.py [--reps 5]
"""

import argparse
import json
import logging
import os
import platform
import shutil
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "tests"))

import quorbel  # noqa: E402

MAXLEN = 10000
LABELS = {"route": "/login", "status": "200"}
CTX = {"user_id": 42, "request_id": "9f2c1e7a", "elapsed_ms": 12.5}


class NullClient:
    def xadd(self, *args, **kwargs):
        return None


def make_logger(name, handler):
    log = logging.getLogger("quorbel.bench." + name)
    log.propagate = False
    log.setLevel(logging.INFO)
    for old in list(log.handlers):
        log.removeHandler(old)
    log.addHandler(handler)
    return log


def logger_call(log):
    extra = {"labels": LABELS, "ctx": CTX}

    def call(i):
        log.info("request %s done", i, extra=extra)

    return call


def bare_call(client, key, text):
    fields = {"payload": text}

    def call(i):
        client.xadd(key, fields, maxlen=MAXLEN, approximate=True)

    return call


def timed_run(call, n):
    """Per-call durations in ns, and the wall time of the whole run in ns."""
    clock = time.perf_counter_ns
    durations = [0] * n
    start = clock()
    for i in range(n):
        t0 = clock()
        call(i)
        durations[i] = clock() - t0
    return durations, clock() - start


def summarise(durations, wall):
    durations = sorted(durations)
    n = len(durations)
    return {
        "ns_per_call": wall / n,
        "records_per_s": n * 1e9 / wall,
        "p50_us": durations[n // 2] / 1000.0,
        "p99_us": durations[min(n - 1, (n * 99) // 100)] / 1000.0,
    }


def median_of(runs):
    return {key: statistics.median(run[key] for run in runs) for key in runs[0]}


def sample_payload():
    """A payload of the size and shape that the handler writes for the logger calls."""
    payload = {"ts": str(time.time_ns()), "level": "info", "msg": "request 12345 done",
               "labels": dict(LABELS), "ctx": CTX}
    return json.dumps(payload, separators=(",", ":"), ensure_ascii=False)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--null-calls", type=int, default=20000)
    parser.add_argument("--redis-calls", type=int, default=2000)
    parser.add_argument("--budget", type=float, default=50.0, help="seconds, at most")
    opts = parser.parse_args()
    reps = max(5, opts.reps)
    deadline = time.monotonic() + opts.budget

    modes = {"null": (opts.null_calls, logger_call(make_logger(
        "null", quorbel.RedisStreamHandler(client=NullClient(), maxlen=MAXLEN))))}
    server = client = None
    note = ""
    if not quorbel.HAS_REDIS:
        note = "redis client library missing: redis modes skipped"
    elif shutil.which("redis-server") is None:
        note = "redis-server not installed: redis modes skipped"
    else:
        from redis_proc import RedisProcess
        import redis

        server = RedisProcess().start()
        client = redis.Redis(host=server.host, port=server.port,
                             socket_timeout=1.0, socket_connect_timeout=1.0)
        client.ping()
        modes["handler"] = (opts.redis_calls, logger_call(make_logger(
            "redis", quorbel.RedisStreamHandler(client=client, stream_key="bench:handler",
                                                maxlen=MAXLEN))))
        modes["bare"] = (opts.redis_calls, bare_call(client, "bench:bare", sample_payload()))

    runs = {name: [] for name in modes}
    names = list(modes)
    try:
        for name in names:  # warm-up: connection, caches, first-call costs
            modes[name][1](-1)
            timed_run(modes[name][1], 200)
        for rep in range(reps):
            if rep and time.monotonic() > deadline:
                note = (note + "; " if note else "") + "budget reached after %d reps" % rep
                break
            order = names[rep % len(names):] + names[:rep % len(names)]
            for name in order:
                n, call = modes[name]
                runs[name].append(summarise(*timed_run(call, n)))
    finally:
        if client is not None:
            client.close()
        if server is not None:
            server.stop()

    results = {name: dict(median_of(runs[name]), calls=modes[name][0], reps=len(runs[name]))
               for name in names}
    labels = {"null": "logger.info, null client", "handler": "logger.info, redis",
              "bare": "bare client.xadd, redis"}
    print("python %s  quorbel %s" % (platform.python_version(), quorbel.__file__))
    print("%-26s %9s %11s %12s %9s %9s" % ("mode", "calls/rep", "ns/call", "records/s",
                                           "p50 us", "p99 us"))
    for name in names:
        r = results[name]
        print("%-26s %9d %11.0f %12.0f %9.1f %9.1f" % (
            labels[name], r["calls"], r["ns_per_call"], r["records_per_s"], r["p50_us"],
            r["p99_us"]))
    if "handler" in results:
        extra_us = results["handler"]["p50_us"] - results["bare"]["p50_us"]
        print("handler over bare xadd: %+.1f us at p50, %.2fx records/s" % (
            extra_us, results["bare"]["records_per_s"] / results["handler"]["records_per_s"]))
    if note:
        print("note: " + note)
    print(json.dumps({"bench": "emit", "python": platform.python_version(),
                      "reps": min(r["reps"] for r in results.values()),
                      "results": results, "note": note}, sort_keys=True))


if __name__ == "__main__":
    main()
