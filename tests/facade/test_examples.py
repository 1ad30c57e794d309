"""The demo and the quorbel-tail command, run as a user would run them."""

import json
import os
import queue
import re
import signal
import subprocess
import sys
import threading

import pytest

import quorbel
from commands import REPO, command, env
from redis_proc import require_redis_server


def pid_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    return True


def test_demo_runs_on_its_own_and_cleans_up():
    require_redis_server()
    done = subprocess.run(
        [sys.executable, os.path.join(REPO, "examples", "demo.py")],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env(), timeout=120,
        encoding="utf-8",
    )
    assert done.returncode == 0, done.stderr
    assert "Traceback" not in done.stderr
    out = done.stdout

    for text in ("user signed in", "slow query used 100% of its budget", "report failed",
                 "payment declined", "cache warmed"):
        assert text in out
    rows = [line for line in out.splitlines()
            if re.match(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}\s", line)]
    assert [r.split()[1] for r in rows] == ["DEBUG", "INFO", "WARNING", "ERROR", "ERROR"]
    assert "app=demo" in rows[1] and "route=/login" in rows[1]

    fallback = [json.loads(line) for line in map(str.strip, out.splitlines())
                if line.startswith("{")]
    assert len(fallback) == 1
    assert list(fallback[0]) == ["ts", "level", "msg", "labels", "ctx"]
    assert fallback[0]["msg"] == "stream unreachable" and fallback[0]["level"] == "error"

    # The same burst directly and through the background client: all of it in each stream.
    bursts = re.findall(r" records/s  \(([\d,]+) of ([\d,]+) in the stream after", out)
    assert len(bursts) == 2 and all(n == total for n, total in bursts), out

    pids = [int(pid) for pid in re.findall(r"redis-server pid (\d+)", out)]
    workdir = re.search(r"temporary files in (\S+)", out).group(1)
    assert len(pids) == 2 and not any(map(pid_alive, pids))
    assert not os.path.exists(workdir)


class Tail:
    """quorbel-tail as a child process, its stdout lines read by a thread."""

    def __init__(self, *args):
        self.proc = subprocess.Popen(
            command("quorbel-tail") + list(args),
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env(),
            encoding="utf-8",
        )
        self.lines = queue.Queue()
        self.errors = queue.Queue()
        for stream, sink in ((self.proc.stdout, self.lines), (self.proc.stderr, self.errors)):
            threading.Thread(target=self._pump, args=(stream, sink), daemon=True).start()

    @staticmethod
    def _pump(stream, sink):
        for line in stream:
            sink.put(line.rstrip("\n"))
        sink.put(None)

    def line(self, source=None, timeout=15):
        got = (source or self.lines).get(timeout=timeout)
        assert got is not None, "tail ended early"
        return got

    def wait_ready(self):
        while "following" not in self.line(self.errors):
            pass

    def stop(self, sig):
        self.proc.send_signal(sig)
        rc = self.proc.wait(15)
        return rc, "\n".join(iter(lambda: self.errors.get(timeout=15), None))

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM])
def test_tail_follows_new_entries_and_stops_cleanly(redis_url, redis_client, logger_name, sig):
    redis_client.xadd("tail:s", {"payload": json.dumps({"ts": "1", "level": "info",
                                                        "msg": "before start"})})
    tail = Tail("--url", redis_url, "--stream", "tail:s")
    try:
        tail.wait_ready()
        logger = quorbel.get_logger(logger_name, redis_url=redis_url, stream_key="tail:s",
                                    timeout_ms=2000, default_labels={"app": "api"})
        quorbel.RedisAppLogger(logger).warning("disk almost full", labels={"host": "h1"},
                                               ctx={"free_mb": 12})
        redis_client.xadd("tail:s", {"payload": "not json {"})
        redis_client.xadd("tail:s", {"other": "field"})

        first = tail.line()
        assert "before start" not in first
        assert re.match(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3} WARNING", first)
        assert "disk almost full" in first and "app=api host=h1" in first
        assert '"free_mb":12' in first
        assert "not json {" in tail.line()
        assert "other=field" in tail.line()

        rc, err = tail.stop(sig)
        assert rc == 0
        assert "Traceback" not in err
    finally:
        tail.kill()


def test_tail_from_start_prints_existing_entries(redis_url, redis_client):
    for i in range(3):
        payload = {"ts": str(1700000000000000000 + i), "level": "error", "msg": "old %d" % i,
                   "labels": {}, "ctx": {}}
        redis_client.xadd("tail:old", {"payload": json.dumps(payload)})
    tail = Tail("--url", redis_url, "--stream", "tail:old", "--from-start")
    try:
        lines = [tail.line() for _ in range(3)]
        assert ["old %d" % i in line for i, line in enumerate(lines)] == [True] * 3
        assert all(" ERROR " in line for line in lines)
        rc, err = tail.stop(signal.SIGINT)
        assert rc == 0 and "Traceback" not in err
    finally:
        tail.kill()

