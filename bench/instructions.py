"""Instructions per call of quorbel's hot paths and their baselines, counted by callgrind.

The paths and baselines are bench/emit.py's; a count, unlike a time, does not move with the
machine's load.

Paths (every ratio is quorbel's count over its baseline's; lower is better):
  emit_small   handler.emit(record), client whose xadd returns None; 3 labels, 3 ctx entries.
               Baseline: the pure-Python handler doing the same work (bench/baseline.py).
  emit_large   the same with a 30-entry nested ctx.
  emit_bare    the same for a record with neither labels nor ctx (a plain logging call).
  fallback     logger.info(...) per logging call, the client raising ConnectionError, a fallback
               file set. Baselines: the floor of the path (a handler that only makes the
               failing call and hands the file handler a LogRecord of a text computed
               beforehand), and a plain RotatingFileHandler writing that text.
  wrapper_off  RedisAppLogger.info(msg, labels=, ctx=) on a logger with INFO disabled, the
               pure-Python wrapper, and the logger.info(msg, extra=) call both make. Compared:
               the overheads over that direct call.
  batch        RedisAppLogger.info(msg, labels=, ctx=) through get_logger(client=BatchClient(url))
               against a local redis-server, over the same call through a client whose xadd
               returns None; and the same with the durable spool (BatchClient(url, spool_dir=))
               over the memory buffer. Only the calling thread is counted (callgrind's
               --separate-threads): the shipper's work is not the application's.
  pieces       parts of what any emit must do, each called from a Python loop, the empty
               loop subtracted: record.getMessage(), time.time_ns(), the xadd call on a null
               client (fields dict included), the attribute reads of an emit, and an emit
               that only sends a precomputed text. They show the scale of the floor; called
               from C they cost less.

Method: one callgrind run per path and heap layout, under the interpreter running this script,
importing whatever `import quorbel` finds. In a run each mode is warmed up (a tenth of N calls,
at least 200), then measured twice, with 0 and with N calls; callgrind dumps its counters at every os.getppid() (the marker, which
nothing else calls), so that a mode's count per call is (count of N calls - count of 0 calls) / N
and start-up and import never enter it. Layouts differ in PYTHONHASHSEED, the size of the
environment and a dummy allocation made before the modes are built, and rotate the order of
the modes; a figure is the median over the layouts (ratios: the median of per-layout ratios).
Counts do not depend on the load, so --jobs may run several callgrind processes at once.

Prints a table and, as its last line, `INSTR_JSON {...}` with emit_small, emit_large,
fallback_over_floor, wrapper_overhead, the other ratios and every count per call.

    PYTHONPATH="$(bash scripts/dev.sh)" .venvs/3.13/bin/python bench/instructions.py \\
        [--calls 2000] [--layouts 3] [--only emit_small,wrapper_off] [--jobs 1]
"""

import argparse
import concurrent.futures
import gc
import glob
import json
import logging
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
MARKER = "getppid"  # the C function whose entry makes callgrind dump; os.getppid calls it
PATHS = ("emit_small", "emit_large", "emit_bare", "fallback", "wrapper_off", "batch", "pieces")
FALLBACK_MODES = ("quorbel", "fallback_only", "rotating_file")

# (key, path, mode, baseline, kind): kind "ratio" or "overhead" (both over the path's direct).
MEASURES = [
    ("emit_small", "emit_small", "quorbel", "python", "ratio"),
    ("emit_large", "emit_large", "quorbel", "python", "ratio"),
    ("emit_bare", "emit_bare", "quorbel", "python", "ratio"),
    ("fallback_over_floor", "fallback", "quorbel", "fallback_only", "ratio"),
    ("fallback_over_file", "fallback", "quorbel", "rotating_file", "ratio"),
    ("floor_over_file", "fallback", "fallback_only", "rotating_file", "ratio"),
    ("wrapper_overhead", "wrapper_off", "quorbel", "python", "overhead"),
    ("batch_over_null", "batch", "batch", "null", "ratio"),
    ("spool_over_batch", "batch", "spool", "batch", "ratio"),
]


def targets():
    return {"emit_small": 0.20, "emit_large": 0.20, "fallback_over_floor": 1.05,
            "batch_over_null": 1.10, "spool_over_batch": 1.25,
            "wrapper_overhead": 1.6 if sys.version_info[:2] == (3, 7) else 1.1}


# --- the child: runs under callgrind ----------------------------------------------------------

def piece_modes():
    """Each piece in a loop of its own; "loop" is the empty loop, subtracted later."""
    import time as time_module

    import quorbel
    from baseline import XaddOnlyHandler
    from workloads import (DEFAULT_LABELS, MAXLEN, SMALL_CTX, NullClient, emit_calls,
                           make_record, payload_text, repeat)

    record = make_record(SMALL_CTX)
    client = NullClient()
    handler = quorbel.RedisStreamHandler(client=client, maxlen=MAXLEN,
                                         default_labels=dict(DEFAULT_LABELS))
    text = payload_text(SMALL_CTX)
    time_ns = time_module.time_ns

    def loop(n):
        for _ in repeat(n):
            pass

    def get_message(n):
        for _ in repeat(n):
            record.getMessage()

    def clock(n):
        for _ in repeat(n):
            time_ns()

    def xadd_call(n):
        for _ in repeat(n):
            client.xadd("logs:stream", {"payload": text}, maxlen=MAXLEN, approximate=True)

    def attribute_reads(n):
        # What an emit reads besides getMessage and the client's xadd, in its order.
        for _ in repeat(n):
            handler.default_labels
            record.labels
            record.ctx
            record.levelname
            handler._client
            handler.maxlen
            handler._client
            handler.stream_key
            handler.maxlen

    return [("loop", loop), ("getMessage", get_message), ("time_ns", clock),
            ("xadd_call", xadd_call), ("attribute_reads", attribute_reads),
            ("xadd_only_emit", emit_calls(XaddOnlyHandler(client, "logs:stream", text, MAXLEN),
                                          record))]


def child(opts):
    """Builds the modes of one path, warms them up, then brackets a run of 0 and one of
    opts.calls calls of each with markers; prints which dump holds which run."""
    sys.path.insert(0, HERE)
    import quorbel
    import workloads

    # The heap layout: objects of a spread of sizes kept alive across the measurement.
    ballast = [bytes(8 + i % 120) for i in range(opts.layout * 1500)]
    tmp = tempfile.mkdtemp(prefix="quorbel-instr-")
    fallback = None
    try:
        if opts.child == "emit_small":
            modes = workloads.emit_modes(workloads.SMALL_CTX)
        elif opts.child == "emit_large":
            modes = workloads.emit_modes(workloads.nested_ctx())
        elif opts.child == "emit_bare":
            modes = workloads.emit_modes(None)
        elif opts.child == "fallback":
            fallback = workloads.FallbackModes(tmp)
            modes = [m for m in fallback.modes if m[0] in FALLBACK_MODES]
        elif opts.child == "wrapper_off":
            modes = workloads.wrapper_modes("wrapper_off", logging.WARNING)
        elif opts.child == "batch":
            modes = workloads.batch_modes(opts.url, os.path.join(tmp, "spool"))
        else:
            modes = piece_modes()
        shift = opts.layout % len(modes)
        modes = modes[shift:] + modes[:shift]
        for _, run in modes:
            run(opts.warmup)

        mark = os.getppid
        dumps = 0
        where = {}
        for name, run in modes:
            gc.collect()
            run(20)  # refills what the collection emptied (free lists), for both runs alike
            mark()
            run(0)
            mark()
            run(opts.calls)
            mark()
            dumps += 3
            where[name] = [dumps - 1, dumps]  # the dumps made at the 2nd and 3rd marks
    finally:
        if fallback is not None:
            fallback.close()
        shutil.rmtree(tmp, ignore_errors=True)
    del ballast
    print(json.dumps({"python": platform.python_version(), "module": quorbel.__file__,
                      "dumps": where}))


# --- the parent: starts the callgrind runs and reads their dumps -------------------------------

def read_total(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            if line.startswith(("totals:", "summary:")):
                return int(line.split()[1])
    raise RuntimeError("no totals in %s" % path)


def callgrind_run(valgrind, path, layout, opts, workdir):
    """One path in one layout: {mode: instructions per call}, and what the child reported."""
    out = os.path.join(workdir, "%s.%d" % (path, layout))
    env = dict(os.environ)
    env["PYTHONHASHSEED"] = str(layout + 1)
    env["QUORBEL_BENCH_PAD"] = "x" * (layout * 3000)
    cmd = [valgrind, "--tool=callgrind", "-q", "--dump-before=" + MARKER, "--dump-instr=no",
           "--dump-line=no", "--callgrind-out-file=" + out + ".%p",
           "--separate-threads=yes", sys.executable, os.path.abspath(__file__), "--child", path,
           "--url", opts.url,
           "--layout", str(layout), "--calls", str(opts.calls), "--warmup", str(opts.warmup)]
    try:
        proc = subprocess.run(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              universal_newlines=True, timeout=opts.timeout)
    except subprocess.TimeoutExpired:
        raise RuntimeError("%s, layout %d: stopped after %.0f s (--timeout)"
                           % (path, layout, opts.timeout))
    if proc.returncode != 0:
        raise RuntimeError("%s, layout %d: exit %d\n%s" % (path, layout, proc.returncode,
                                                           proc.stderr[-3000:]))
    report = json.loads(proc.stdout.strip().splitlines()[-1])
    # Separate threads: a dump's file per thread, "-01" the main thread's.
    pid_files = glob.glob(out + ".*.1-01")
    if len(pid_files) != 1:
        raise RuntimeError("%s, layout %d: expected one run's dumps, found %r"
                           % (path, layout, pid_files))
    base = pid_files[0][:-len(".1-01")]
    marks = 3 * len(report["dumps"])
    if glob.glob("%s.%d-*" % (base, marks + 1)) or not os.path.exists("%s.%d-01" % (base, marks)):
        raise RuntimeError("%s, layout %d: %s() was called outside the markers"
                           % (path, layout, MARKER))
    per_call = {}
    for mode, (zero, full) in report["dumps"].items():
        per_call[mode] = ((read_total("%s.%d-01" % (base, full))
                           - read_total("%s.%d-01" % (base, zero))) / opts.calls)
    for f in glob.glob(base + "*"):
        os.remove(f)
    return per_call, report


def ratio(path_counts, mode, base, kind):
    """Median over layouts; for "overhead", of (mode - direct) / (base - direct)."""
    values = []
    for counts in path_counts:
        if kind == "overhead":
            values.append((counts[mode] - counts["direct"]) / (counts[base] - counts["direct"]))
        else:
            values.append(counts[mode] / counts[base])
    return statistics.median(values)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=2000, help="measured calls per mode")
    parser.add_argument("--layouts", type=int, default=3, help="heap layouts, median taken")
    parser.add_argument("--only", default="", help="comma-separated subset of: " +
                        ", ".join(PATHS))
    parser.add_argument("--jobs", type=int, default=1, help="callgrind runs at once")
    parser.add_argument("--timeout", type=float, default=300.0, help="seconds per run, at most")
    parser.add_argument("--child", choices=PATHS, help=argparse.SUPPRESS)
    parser.add_argument("--layout", type=int, default=0, help=argparse.SUPPRESS)
    parser.add_argument("--url", default="", help=argparse.SUPPRESS)
    parser.add_argument("--warmup", type=int, default=200, help=argparse.SUPPRESS)
    opts = parser.parse_args()
    if opts.child:
        child(opts)
        return

    valgrind = shutil.which("valgrind")
    if valgrind is None:
        sys.exit("instructions.py: valgrind not found on PATH; it counts the instructions "
                 "(Debian: apt-get install valgrind)")
    paths = [p for p in PATHS if not opts.only or p in opts.only.split(",")]
    unknown = set(opts.only.split(",")) - set(PATHS) if opts.only else set()
    if unknown or opts.calls < 1 or opts.layouts < 1:
        parser.error("--only takes %s; --calls and --layouts at least 1" % ", ".join(PATHS))
    opts.warmup = max(opts.warmup, opts.calls // 10)

    started = time.monotonic()
    server = None
    if "batch" in paths:
        sys.path.insert(0, os.path.join(HERE, os.pardir, "tests"))
        from redis_proc import RedisProcess

        server = RedisProcess().start()
        opts.url = server.url
    workdir = tempfile.mkdtemp(prefix="quorbel-callgrind-")
    jobs = [(p, k) for p in paths for k in range(opts.layouts)]
    pool = concurrent.futures.ThreadPoolExecutor(max(1, opts.jobs))
    futures = [pool.submit(callgrind_run, valgrind, p, k, opts, workdir) for p, k in jobs]
    try:
        results = [f.result() for f in futures]
    except RuntimeError as e:
        for f in futures:
            f.cancel()
        sys.exit("instructions.py: %s" % e)
    finally:
        pool.shutdown()
        shutil.rmtree(workdir, ignore_errors=True)
        if server is not None:
            server.stop()
    counts = {p: [] for p in paths}
    for (p, _), (per_call, report) in zip(jobs, results):
        if p == "pieces":
            per_call = {m: c - (per_call["loop"] if m != "loop" else 0.0)
                        for m, c in per_call.items()}
        counts[p].append(per_call)

    median = {p: {m: statistics.median(c[m] for c in counts[p]) for m in counts[p][0]}
              for p in paths}
    print("python %s  %s  %d calls, %d layouts, %.0f s" % (
        report["python"], report["module"], opts.calls, opts.layouts,
        time.monotonic() - started))
    print("%-12s %-16s %12s   %s" % ("path", "mode", "instr/call", "per layout"))
    for p in paths:
        for m in median[p]:
            note = "  (loop subtracted)" if p == "pieces" and m != "loop" else ""
            print("%-12s %-16s %12.0f   %s%s" % (
                p, m, median[p][m], " ".join("%.0f" % c[m] for c in counts[p]), note))

    result = {"python": report["python"], "module": report["module"], "calls": opts.calls,
              "layouts": opts.layouts}
    goals = targets()
    print()
    print("%-20s %-34s %8s %8s" % ("key", "measure", "value", "target"))
    for key, p, mode, base, kind in MEASURES:
        if p not in median:
            continue
        value = ratio(counts[p], mode, base, kind)
        result[key] = round(value, 4)
        label = ("overhead %s / %s" if kind == "overhead" else "%s / %s") % (mode, base)
        goal = goals.get(key)
        verdict = "" if goal is None else ("met" if value <= goal else "MISSED")
        print("%-20s %-34s %8.3f %8s %s" % (key, label, value,
                                            "" if goal is None else "%.2f" % goal, verdict))
    result["per_call"] = {p: {m: round(v, 1) for m, v in median[p].items()} for p in paths}
    result["targets"] = goals
    print("INSTR_JSON " + json.dumps(result, sort_keys=True))


if __name__ == "__main__":
    main()
