"""Background delivery (quorbel_batch) against direct delivery: its targets, in one run.

Measures (each a ratio of two figures taken in this run, on one redis-server of its own on
127.0.0.1 and a free port, persistence off):
  native_over_sync    records/s of one thread logging through logger.info until every record
                      is in the stream: get_logger(client=BatchClient(url)) over the
                      synchronous handler (get_logger(client=redis.Redis(...))).
  ceiling_over_bench  BatchClient(url).xadd of a precomputed payload in a loop, until all are
                      in the stream, over `redis-benchmark -c 1 -P 64` of the same XADD MAXLEN ~.
  client_over_sync    the client engine (BatchClient(client=redis.Redis(...))) over the
                      synchronous handler, records/s as above.
  spool_over_native   the native engine with the durable spool (spool_dir= a fresh folder
                      under --spool-root, spool_bytes as large as the buffer) over the native
                      engine with its memory buffer, records/s as above.
  stall_p99           logging at --rate records/s from one thread while the server is stopped
                      (SIGSTOP) for --stall seconds: p99 of a logging call over the same run
                      with the server running; and how many records are missing from the
                      stream once it has resumed and the client has flushed (0 is the target).
  instructions        bench/instructions.py --only batch (callgrind; skipped with
                      --no-instructions or without valgrind): BatchClient(url) over a null
                      client, and (spool_instructions) the spool over the memory buffer.
Beside them, for diagnosis, "null": the same logger.info through a client whose xadd does
nothing, the most any background delivery could reach; native/null says how near it is.

Throughput figures are medians over --reps repetitions run in rotated order, each ratio the
median of per-repetition ratios, so that drift of the machine is shared. Every record of a
run is checked into the stream (XINFO STREAM's entries-added), and a run that lost any is
reported, not counted. The throughput runs use a buffer large enough for the whole run
(--buffer-mb), so that they measure delivery, not the full-buffer policy.

    PYTHONPATH="$(bash scripts/dev.sh)" .venvs/3.13/bin/python bench/batch.py \\
        [--records 200000] [--sync-records 20000] [--reps 5] [--no-instructions]
"""

import argparse
import itertools
import json
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(1, os.path.join(HERE, os.pardir, "tests"))

import quorbel  # noqa: E402
import redis  # noqa: E402
from quorbel_batch import BatchClient  # noqa: E402

from redis_proc import RedisProcess  # noqa: E402
from workloads import (DEFAULT_LABELS, MAXLEN, SMALL_CTX, NullClient,  # noqa: E402
                       info_calls, payload_text, repeat)

TARGETS = {"instructions": ("<=", 1.10), "native_over_sync": (">=", 5.0),
           "ceiling_over_bench": (">=", 0.6), "client_over_sync": (">=", 3.0),
           "stall_p99": ("<=", 1.5), "stall_lost": ("<=", 0),
           "spool_instructions": ("<=", 1.25), "spool_over_native": (">=", 0.8)}
_names = itertools.count()


class Bench:
    def __init__(self, server, opts):
        self.server = server
        self.opts = opts
        self.admin = server.client(decode_responses=False)
        self.buffer_bytes = opts.buffer_mb << 20

    def redis_client(self):
        return redis.Redis(host=self.server.host, port=self.server.port, socket_timeout=5,
                           socket_connect_timeout=5)

    def fresh_key(self):
        key = "bench:%d" % next(_names)
        self.admin.delete(key)
        return key

    def added(self, key):
        return self.admin.xinfo_stream(key)["entries-added"]

    def logging_rate(self, engine, n):
        """records/s of n logger.info calls until all are in the stream (None if any is lost)."""
        key = self.fresh_key()
        if engine == "sync":
            client = self.redis_client()
        elif engine == "null":
            client = NullClient()
        elif engine == "native":
            client = BatchClient(self.server.url, buffer_bytes=self.buffer_bytes)
        elif engine == "spool":
            spool_dir = tempfile.mkdtemp(prefix="quorbel-spool-", dir=self.opts.spool_root)
            client = BatchClient(self.server.url, spool_dir=spool_dir,
                                 spool_bytes=self.buffer_bytes)
        else:
            client = BatchClient(client=self.redis_client(), buffer_bytes=self.buffer_bytes)
        log = quorbel.get_logger("bench.batch.%d" % next(_names), client=client, stream_key=key,
                                 maxlen=MAXLEN, default_labels=dict(DEFAULT_LABELS))
        run = info_calls(log, SMALL_CTX)
        try:
            warm = min(2000, n // 10)
            run(warm)
            flush = getattr(client, "flush", lambda timeout: True)
            if not flush(timeout=60):
                return None
            t0 = time.perf_counter()
            run(n)
            delivered = flush(timeout=120)
            elapsed = time.perf_counter() - t0
        finally:
            for h in list(log.handlers):
                log.removeHandler(h)
            getattr(client, "close", lambda: None)()
            if engine == "spool":
                shutil.rmtree(spool_dir, ignore_errors=True)
        if engine == "null":
            return n / elapsed
        return n / elapsed if delivered and self.added(key) >= warm + n else None

    def ceiling_rate(self, n):
        """records/s of BatchClient(url).xadd in a loop until all are in the stream."""
        key = self.fresh_key()
        fields = {"payload": payload_text(SMALL_CTX)}
        with BatchClient(self.server.url, buffer_bytes=self.buffer_bytes) as client:
            xadd = client.xadd
            xadd(key, fields, maxlen=MAXLEN, approximate=True)
            if not client.flush(timeout=60):
                return None
            t0 = time.perf_counter()
            for _ in repeat(n):
                xadd(key, fields, maxlen=MAXLEN, approximate=True)
            delivered = client.flush(timeout=120)
            elapsed = time.perf_counter() - t0
        return n / elapsed if delivered and self.added(key) >= n + 1 else None

    def benchmark_rate(self, n):
        """redis-benchmark -c 1 -P 64 of the same XADD, requests/s."""
        key = self.fresh_key()
        out = subprocess.run(
            [self.opts.redis_benchmark, "-h", self.server.host, "-p", str(self.server.port),
             "-c", "1", "-P", "64", "-n", str(n), "-q", "XADD", key, "MAXLEN", "~",
             str(MAXLEN), "*", "payload", payload_text(SMALL_CTX)],
            check=True, stdout=subprocess.PIPE, universal_newlines=True, timeout=120).stdout
        return float(re.findall(r"([0-9.]+) requests per second", out)[-1])

    def paced_run(self, stall):
        """Logs at opts.rate for opts.paced seconds through the native engine, the server
        stopped for `stall` seconds from the first second on: (p99 of a call in us, records
        missing from the stream after the flush)."""
        opts = self.opts
        key = self.fresh_key()
        client = BatchClient(self.server.url)
        log = quorbel.get_logger("bench.batch.%d" % next(_names), client=client, stream_key=key,
                                 maxlen=10 ** 9, default_labels=dict(DEFAULT_LABELS))
        info = log.info
        clock = time.perf_counter
        n = int(opts.rate * opts.paced)
        latencies = []
        paused = resumed = False
        try:
            info("warm up")
            client.flush(timeout=10)
            t0 = clock()
            for i in range(n):
                due = t0 + i / opts.rate
                now = clock()
                if stall and not paused and now - t0 >= 1.0:
                    self.server.pause()
                    paused = True
                if paused and not resumed and now - t0 >= 1.0 + stall:
                    self.server.resume()
                    resumed = True
                if due > now:
                    time.sleep(due - now)
                start = clock()
                info("paced %d", i, extra={"ctx": SMALL_CTX})
                latencies.append(clock() - start)
        finally:
            self.server.resume()
            client.flush(timeout=60)
            for h in list(log.handlers):
                log.removeHandler(h)
            getattr(client, "close", lambda: None)()
        seen = {json.loads(p[b"payload"])["msg"]
                for _, p in self.admin.xrange(key, "-", "+")}
        missing = sum("paced %d" % i not in seen for i in range(n))
        latencies.sort()
        return latencies[int(len(latencies) * 0.99)] * 1e6, missing


def instruction_ratio(opts):
    """bench/instructions.py --only batch: BatchClient(url) over a null client, or None."""
    if opts.no_instructions or shutil.which("valgrind") is None:
        return None, "instructions skipped (--no-instructions or no valgrind)"
    out = subprocess.run([sys.executable, os.path.join(HERE, "instructions.py"), "--only",
                          "batch", "--calls", str(opts.instr_calls)],
                         stdout=subprocess.PIPE, universal_newlines=True, timeout=1800)
    for line in out.stdout.splitlines():
        if line.startswith("INSTR_JSON "):
            found = json.loads(line[len("INSTR_JSON "):])
            return (found["batch_over_null"], found["spool_over_batch"]), ""
    return None, "instructions.py failed (exit %d)" % out.returncode


def median_ratio(rates, a, b):
    pairs = [(x, y) for x, y in zip(rates[a], rates[b]) if x and y]
    return statistics.median(x / y for x, y in pairs) if pairs else None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", type=int, default=200000,
                        help="records per native and ceiling run")
    parser.add_argument("--sync-records", type=int, default=20000,
                        help="records per synchronous run (its rate does not need more)")
    parser.add_argument("--client-records", type=int, default=50000,
                        help="records per client-engine run")
    parser.add_argument("--reps", type=int, default=5, help="repetitions, median taken")
    parser.add_argument("--rate", type=float, default=5000.0, help="paced runs: records/s")
    parser.add_argument("--paced", type=float, default=4.0, help="paced runs: seconds")
    parser.add_argument("--stall", type=float, default=2.0, help="seconds the server is stopped")
    parser.add_argument("--buffer-mb", type=int, default=256, help="throughput runs' buffer")
    parser.add_argument("--instr-calls", type=int, default=2000)
    parser.add_argument("--no-instructions", action="store_true")
    parser.add_argument("--spool-root", default=None,
                        help="where the spool runs make their folders (default: the temp dir)")
    opts = parser.parse_args()
    opts.redis_benchmark = shutil.which("redis-benchmark")
    if opts.redis_benchmark is None:
        sys.exit("batch.py: redis-benchmark not found (Debian: apt-get install redis-tools)")
    started = time.monotonic()
    notes = []

    instructions, note = instruction_ratio(opts)
    notes += [note] if note else []
    instructions, spool_instructions = instructions or (None, None)
    rates = {m: [] for m in ("sync", "native", "spool", "client", "null", "ceiling",
                             "benchmark")}
    with RedisProcess() as server:
        bench = Bench(server, opts)
        runs = [("sync", lambda: bench.logging_rate("sync", opts.sync_records)),
                ("native", lambda: bench.logging_rate("native", opts.records)),
                ("spool", lambda: bench.logging_rate("spool", opts.records)),
                ("client", lambda: bench.logging_rate("client", opts.client_records)),
                ("null", lambda: bench.logging_rate("null", opts.client_records)),
                ("ceiling", lambda: bench.ceiling_rate(opts.records)),
                ("benchmark", lambda: bench.benchmark_rate(opts.records))]
        for rep in range(opts.reps):
            shift = rep % len(runs)
            for name, run in runs[shift:] + runs[:shift]:
                rates[name].append(run())
        p99_running, lost_running = bench.paced_run(0)
        p99_stalled, lost_stalled = bench.paced_run(opts.stall)
    for name, values in rates.items():
        if None in values:
            notes.append("%s: %d run(s) lost records, not counted" % (name, values.count(None)))

    results = {
        "instructions": instructions,
        "native_over_sync": median_ratio(rates, "native", "sync"),
        "ceiling_over_bench": median_ratio(rates, "ceiling", "benchmark"),
        "client_over_sync": median_ratio(rates, "client", "sync"),
        "stall_p99": p99_stalled / p99_running,
        "stall_lost": lost_stalled + lost_running,
        "spool_instructions": spool_instructions,
        "spool_over_native": median_ratio(rates, "spool", "native"),
    }
    print("python %s  %s  %d repetitions, %.0f s" % (
        platform.python_version(), quorbel.__file__, opts.reps, time.monotonic() - started))
    for name, values in rates.items():
        good = [v for v in values if v]
        print("%-10s %10s records/s   (%s)" % (
            name, "%.0f" % statistics.median(good) if good else "-",
            " ".join("%.0f" % v if v else "lost" for v in values)))
    print("native / null %.2f, client / null %.2f, null / sync %.2f" % tuple(
        median_ratio(rates, a, b) or 0 for a, b in (("native", "null"), ("client", "null"),
                                                    ("null", "sync"))))
    print("paced at %.0f/s: p99 %.1f us running, %.1f us with the server stopped %.1f s; "
          "missing %d and %d" % (opts.rate, p99_running, p99_stalled, opts.stall,
                                 lost_running, lost_stalled))
    print()
    print("%-20s %10s %10s" % ("measure", "value", "target"))
    for key, (op, goal) in TARGETS.items():
        value = results[key]
        if value is None:
            print("%-20s %10s %7s %g" % (key, "-", op, goal))
            continue
        met = value <= goal if op == "<=" else value >= goal
        print("%-20s %10.3f %7s %g  %s" % (key, value, op, goal, "met" if met else "MISSED"))
    for note in notes:
        print("note: " + note)
    print("BATCH_JSON " + json.dumps({
        "python": platform.python_version(), "results": results,
        "records_per_s": rates, "p99_us": [p99_running, p99_stalled], "notes": notes},
        sort_keys=True))


if __name__ == "__main__":
    main()
