"""quorbel demo: log to a Redis stream, read the entries back, then lose Redis; last, a
burst of records delivered directly and through the background client, with both rates.

Starts its own throwaway redis-servers on 127.0.0.1 (persistence off), so it needs
no arguments and leaves nothing behind: the servers are stopped and the temporary
files are removed, also when something fails on the way.
"""

import datetime
import json
import logging
import os
import shutil
import sys
import tempfile
import time
from typing import Any, List, Optional, Sequence, Tuple

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import redis  # noqa: E402

from _redis import ThrowawayRedis  # noqa: E402
from quorbel import RedisAppLogger, get_logger  # noqa: E402
from quorbel_batch import BatchClient  # noqa: E402

Row = Tuple[str, str, str, str, str]

STREAM = "demo:logs"
COLUMNS = ("time", "level", "message", "labels", "ctx")
BURST = 10000


def local_time(ts_ns: object) -> str:
    """Nanosecond epoch text -> local ISO time with milliseconds."""
    try:
        seconds, rest = divmod(int(str(ts_ns)), 10**9)
    except (TypeError, ValueError):
        return str(ts_ns)
    stamp = datetime.datetime.fromtimestamp(seconds).replace(microsecond=rest // 1000)
    return stamp.isoformat(timespec="milliseconds")


def row_for(payload_text: str) -> Row:
    try:
        p = json.loads(payload_text)
        return (
            local_time(p.get("ts")),
            str(p.get("level", "")).upper(),
            str(p.get("msg", "")),
            " ".join("{}={}".format(k, v) for k, v in (p.get("labels") or {}).items()),
            json.dumps(p.get("ctx", {}), ensure_ascii=False, separators=(", ", ": ")),
        )
    except (ValueError, AttributeError):
        return ("?", "RAW", payload_text, "", "")


def print_table(rows: List[Row]) -> None:
    table: List[Sequence[str]] = [COLUMNS, *rows]
    widths = [max(len(r[i]) for r in table) for i in range(len(COLUMNS))]

    def line(cells: Sequence[str]) -> str:
        return "  ".join(c.ljust(w) for c, w in zip(cells, widths)).rstrip()

    print(line(COLUMNS))
    print(line(["-" * w for w in widths]))
    for r in rows:
        print(line(r))


def log_some(log: RedisAppLogger) -> None:
    log.debug("cache warmed", labels={"component": "cache"}, ctx={"keys": 1280})
    log.info("user signed in", labels={"route": "/login"}, ctx={"user_id": 42, "ip": "127.0.0.1"})
    log.warning("slow query used 100% of its budget", labels={"db": "orders"},
                ctx={"elapsed_ms": 812.5, "budget_ms": 800})
    try:
        {"total": 10}["count"]
    except KeyError:
        log.exception("report failed", labels={"job": "daily-report"}, ctx={"missing": "count"})
    log.error("payment declined", labels={"provider": "acme", "env": "staging"},
              ctx={"order": "A-1001", "amount": 19.99, "currency": "€"})


def detach(logger: logging.Logger) -> None:
    for h in list(logger.handlers):
        logger.removeHandler(h)


def burst(logger: logging.Logger, reader: Any, way: str, stream: str,
          batch: Optional[BatchClient] = None) -> None:
    """BURST records through the logger, timed until all of them are in the stream."""
    started = time.perf_counter()
    for n in range(BURST):
        logger.info("burst record %d", n)
    returned = time.perf_counter() - started
    if batch is not None:
        batch.flush(timeout=20.0)
    elapsed = time.perf_counter() - started
    print("  {:<24} {:>9,.0f} records/s  ({:,} of {:,} in the stream after {:.2f} s)".format(
        way, BURST / elapsed, reader.xlen(stream), BURST, elapsed))
    if batch is not None:
        print("  {:<24} the logging calls returned after {:.2f} s".format("", returned))


def direct_and_background() -> None:
    """The same burst delivered directly and through the background client."""
    with ThrowawayRedis() as server:
        print("redis-server pid {} listening on {}: a burst of {:,} records each way".format(
            server.pid, server.url, BURST))
        reader: Any = redis.Redis.from_url(server.url)
        direct = get_logger("quorbel.demo.direct", redis_url=server.url,
                            stream_key="demo:direct", timeout_ms=250)
        batch = BatchClient(server.url)
        background = get_logger("quorbel.demo.background", client=batch,
                                stream_key="demo:background")
        # Not also through quorbel.demo's handler, whose server is gone.
        direct.propagate = background.propagate = False
        try:
            burst(direct, reader, "direct, one XADD a call", "demo:direct")
            burst(background, reader, "BatchClient(url)", "demo:background", batch)
        finally:
            detach(direct)
            detach(background)
            batch.close()
            reader.close()


def main() -> int:
    workdir = tempfile.mkdtemp(prefix="quorbel-demo-")
    fallback_path = os.path.join(workdir, "fallback.log")
    logger = None
    try:
        print("temporary files in {}".format(workdir))
        with ThrowawayRedis() as server:
            print("redis-server pid {} listening on {}".format(server.pid, server.url))
            logger = get_logger(
                "quorbel.demo",
                redis_url=server.url,
                stream_key=STREAM,
                # Generous, as the demo may run on a busy machine; the default is 5 ms.
                timeout_ms=250,
                default_labels={"app": "demo", "env": "dev"},
                enable_fallback_file=True,
                fallback_path=fallback_path,
                level=logging.DEBUG,
            )
            log = RedisAppLogger(logger)
            log_some(log)

            reader: Any = redis.Redis.from_url(server.url, decode_responses=True)
            try:
                entries = reader.xrange(STREAM)
            finally:
                reader.close()
            print()
            print("XRANGE {} - +  ({} entries)".format(STREAM, len(entries)))
            print()
            print_table([row_for(fields.get("payload", "")) for _id, fields in entries])

        print()
        print("redis-server stopped; the next record goes to the fallback file:")
        log.error("stream unreachable", labels={"component": "demo"}, ctx={"stream": STREAM})
        with open(fallback_path, encoding="utf-8") as f:
            for text in f.read().splitlines():
                print("  " + text)
        print()
        direct_and_background()
    finally:
        if logger is not None:
            detach(logger)
        shutil.rmtree(workdir, ignore_errors=True)
        print("cleaned up {}".format(workdir))
    return 0


if __name__ == "__main__":
    sys.exit(main())
