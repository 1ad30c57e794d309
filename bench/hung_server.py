"""Logging calls from several threads through one handler while redis-server is hung.

The handler runs one emit at a time (logging's handler lock), so while the server answers
nothing each call also waits through the timeouts of the calls queued ahead of it. The threads
are those of an asyncio application that logs through loop.run_in_executor (6: the default
executor's on 2 cores, 3.8+). The redis-server it starts (127.0.0.1, free port) is stopped with
SIGSTOP once the handler's client is connected, and ended on the way out. Prints the median and
the slowest call in milliseconds, and how many records reached the fallback file.

    PYTHONPATH=build/dev .venvs/3.13/bin/python bench/hung_server.py [--threads 6] [--calls 200]
"""

import argparse
import asyncio
import concurrent.futures
import logging
import os
import platform
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))

import redis  # noqa: E402

import quorbel  # noqa: E402
from redis_proc import RedisProcess  # noqa: E402


def timed_info(logger, seq):
    start = time.perf_counter()
    logger.info("record %d", seq)
    return time.perf_counter() - start


def measure(server, fallback, opts):
    """The sorted durations of opts.calls logging calls made while the server is hung."""
    logger = logging.getLogger("bench.hung_server")
    logger.propagate = False
    logger.setLevel(logging.INFO)
    handler = quorbel.RedisStreamHandler(redis_url=server.url, timeout_ms=opts.timeout_ms,
                                         fallback_file_path=fallback)
    logger.addHandler(handler)
    loop = asyncio.new_event_loop()
    loop.set_default_executor(concurrent.futures.ThreadPoolExecutor(max_workers=opts.threads))
    try:
        timed_info(logger, -1)  # the client connected before the server stops answering
        server.pause()
        try:
            return sorted(loop.run_until_complete(asyncio.gather(
                *[loop.run_in_executor(None, timed_info, logger, i) for i in range(opts.calls)])))
        finally:
            server.resume()
    finally:
        loop.close()  # shuts the executor down too
        logger.removeHandler(handler)
        handler._fallback.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threads", type=int, default=6)
    parser.add_argument("--calls", type=int, default=200)
    parser.add_argument("--timeout-ms", type=int, default=5)
    opts = parser.parse_args()
    server = RedisProcess().start()
    try:
        with tempfile.TemporaryDirectory() as tmp:
            fallback = os.path.join(tmp, "fallback.log")
            times = measure(server, fallback, opts)
            with open(fallback, encoding="utf-8") as f:
                in_fallback = sum(1 for _ in f)
    finally:
        server.stop()
    print("CPython %s, redis-py %s, timeout_ms %d, %d threads, %d calls with the server hung: "
          "median %.1f ms, slowest %.1f ms; %d records in the fallback file"
          % (platform.python_version(), redis.__version__, opts.timeout_ms, opts.threads,
             opts.calls, times[len(times) // 2] * 1e3, times[-1] * 1e3, in_fallback))


if __name__ == "__main__":
    main()
