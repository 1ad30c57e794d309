"""Delivery under real server faults: every record ends in the stream or the fallback file.

A test that faults or reconfigures a server runs its own (never the session one); each
bounds its work in record count and wall time. Figures carry a "[faults]" prefix (see the
figures fixture).
"""

import itertools
import logging
import os
import threading
import time
import warnings

import pytest
import redis

import quorbel
from readback import fallback_files, read_fallback, read_stream, seqs, stream_seqs
from redis_proc import free_port

# The kill tests restart the server on the same data: the append-only file makes an
# acknowledged XADD survive SIGKILL. "appendfsync no" is enough for that (the write()
# happens before the reply; only fsync is left to the kernel) and keeps each append
# fast enough for the 5 ms socket timeout.
DURABLE = ("--appendonly", "yes", "--appendfsync", "no")


def make_logger(road, name, url, fallback, **options):
    """The logger `name` (the logger_name fixture's, which closes its handler afterwards),
    sending to `url` with a fallback file, built one of the two public ways."""
    if road == "get_logger":
        logger = quorbel.get_logger(
            name, redis_url=url, enable_fallback_file=True, fallback_path=str(fallback),
            **options)
    else:
        logger = logging.getLogger(name)
        logger.setLevel(logging.INFO)
        # By default small files, many backups: the rotation itself is exercised and nothing
        # is rotated out of reach (checked below against the bytes written).
        options = {"fallback_max_bytes": 64 * 1024, "fallback_backup_count": 400, **options}
        logger.addHandler(quorbel.RedisStreamHandler(
            redis_url=url, fallback_file_path=str(fallback), **options))
    # The records must not also pile up in pytest's capturing handlers on the root.
    logger.propagate = False
    return logger


def account(figures, expected, in_stream, in_fallback, label):
    expected = set(expected)
    stream_set, fallback_set = set(in_stream) & expected, set(in_fallback) & expected
    lost = expected - stream_set - fallback_set
    figures("[faults] %s: records %d, lost %d, in stream %d (%d entries), in fallback %d "
          "(%d lines), in both %d"
          % (label, len(expected), len(lost), len(stream_set), len(in_stream),
             len(fallback_set), len(in_fallback), len(stream_set & fallback_set)))
    assert not lost, "lost %d records, e.g. %s" % (len(lost), sorted(lost)[:10])
    return stream_set, fallback_set


def timed_log(logger, seq, **ctx):
    ctx["seq"] = seq
    start = time.perf_counter()
    logger.info("record %d", seq, extra={"ctx": ctx})
    return time.perf_counter() - start


@pytest.mark.slow
@pytest.mark.parametrize("road", ["get_logger", "handler"])
def test_kill_and_restart_loses_no_record(road, own_server, logger_name, tmp_path, figures):
    total, kills, down_for = 20000, 4, 800
    kill_at = [int(total * f) for f in (0.1, 0.3, 0.5, 0.7)]
    server = own_server(args=DURABLE)
    fallback = tmp_path / "fallback.log"
    logger = make_logger(road, logger_name, server.url, fallback)
    progress = [0]
    done_kills = []
    chaos_error = []

    def chaos():
        # Kills at fixed points of the run, so the killing lands while records are in
        # flight; each restart happens after a stretch logged against a dead server.
        try:
            deadline = time.monotonic() + 120
            for point in kill_at:
                while progress[0] < point and time.monotonic() < deadline:
                    time.sleep(0.0005)
                server.kill()
                done_kills.append(progress[0])
                while progress[0] < point + down_for and time.monotonic() < deadline:
                    time.sleep(0.0005)
                server.restart()
        except Exception as exc:  # reported by the main thread
            chaos_error.append(exc)

    thread = threading.Thread(target=chaos, daemon=True)
    started = time.monotonic()
    thread.start()
    durations = []
    for seq in range(total):
        durations.append(timed_log(logger, seq))
        progress[0] = seq + 1
    thread.join(60)
    assert not thread.is_alive(), "the kill/restart thread did not finish"
    assert not chaos_error, chaos_error
    assert len(done_kills) == kills
    if not server.running:
        server.restart()
    in_stream = stream_seqs(server)
    in_fallback = seqs(read_fallback(fallback))
    if road == "handler":
        written = sum(os.path.getsize(f) for f in fallback_files(fallback))
        assert written < 64 * 1024 * 400
    label = "kill/restart x%d via %s" % (kills, road)
    account(figures, range(total), in_stream, in_fallback, label)
    slow = sorted(d for d in durations if d >= 0.1)
    figures("[faults] kill/restart via %s: slowest call %.1f ms, %d of 100 ms or more, "
            "wall %.1f s, redis-py %s" % (road, max(durations) * 1e3, len(slow),
                                          time.monotonic() - started, redis.__version__))
    # A retry with backoff in the handler's client would slow every call made while the
    # server is down, thousands here; a stall of a busy machine slows one call now and then.
    assert len(slow) <= total // 200, slow


@pytest.mark.parametrize("timeout_ms, connected", [(5, True), (10, True), (5, False)],
                         ids=["5ms-connected", "10ms-connected", "5ms-first-connect"])
def test_hung_server_bounds_each_call(timeout_ms, connected, own_server, logger_name, tmp_path,
                                      figures):
    # connected: the handler's client already holds a pooled connection when the server
    # stops answering. Otherwise the first record meets the hang while connecting: the
    # kernel still completes the TCP handshake, so only the socket timeout ends the wait.
    per_phase = 150
    server = own_server()
    fallback = tmp_path / "fallback.log"
    logger = make_logger("handler", logger_name, server.url, fallback, timeout_ms=timeout_ms)
    seq = itertools.count()
    before = [timed_log(logger, next(seq)) for _ in range(per_phase if connected else 0)]
    server.pause()
    try:
        hung = [timed_log(logger, next(seq)) for _ in range(per_phase)]
    finally:
        server.resume()
    # The resumed server first works through the commands queued while it was stopped;
    # on a busy machine that can outlast a 5 ms timeout. Once it answers, it is caught up.
    probe = server.client()
    probe.ping()
    probe.close()
    after = [timed_log(logger, next(seq)) for _ in range(per_phase)]
    in_stream = stream_seqs(server)
    in_fallback = seqs(read_fallback(fallback))
    label = "hang timeout_ms=%d %s" % (timeout_ms, "connected" if connected else "first connect")
    first = len(before)
    _, fallback_set = account(figures, range(first + 2 * per_phase), in_stream, in_fallback,
                              label)
    hung_seqs = set(range(first, first + per_phase))
    # While the server is stopped nothing can be acknowledged: every such record
    # must have gone to the fallback (it may also show up in the stream later,
    # when the resumed server runs the commands still queued in its sockets).
    assert hung_seqs <= fallback_set
    # Once resumed the server takes records again: the handler kept no broken state (which
    # would send every later record to the fallback). A stall of a busy machine longer than
    # the timeout sends one now and then.
    after_seqs = set(range(first + per_phase, first + 2 * per_phase))
    assert len(after_seqs & set(in_stream)) >= per_phase * 3 // 4
    figures("[faults] %s: slowest call %.1f ms while hung (median %.1f), %.1f ms before, "
            "%.1f ms after; redis-py %s"
            % (label, max(hung) * 1e3, sorted(hung)[len(hung) // 2] * 1e3,
               max(before, default=0) * 1e3, max(after) * 1e3, redis.__version__))
    # Each call waits about two timeouts; a call left unbounded would slow every one of them,
    # while a stall of a busy machine slows one now and then.
    slow = [d for d in hung if d >= 0.100]
    assert len(slow) <= per_phase // 10, slow


@pytest.mark.slow
@pytest.mark.parametrize("destination", ["stream", "fallback"])
def test_threads_share_one_handler(destination, redis_url, redis_client, logger_name, tmp_path,
                                   figures):
    threads, per_thread = 8, 5000
    url = redis_url if destination == "stream" else "redis://127.0.0.1:%d/0" % free_port()
    fallback = tmp_path / "fallback.log"
    # maxBytes 0: no rotation, so the one file must hold exactly one line per record.
    logger = make_logger("handler", logger_name, url, fallback, fallback_max_bytes=0)
    barrier = threading.Barrier(threads)
    slowest = [0.0] * threads
    errors = []

    def work(tid):
        try:
            barrier.wait(30)
            for i in range(per_thread):
                slowest[tid] = max(slowest[tid], timed_log(logger, i, t=tid))
        except BaseException as exc:
            errors.append(exc)

    workers = [threading.Thread(target=work, args=(t,), daemon=True) for t in range(threads)]
    started = time.monotonic()
    for w in workers:
        w.start()
    for w in workers:
        w.join(max(1.0, 180 - (time.monotonic() - started)))
    wall = time.monotonic() - started
    assert not any(w.is_alive() for w in workers), "deadlock: threads still running"
    assert not errors, errors
    stream = read_stream(redis_client, "logs:stream") if destination == "stream" else []
    lines = read_fallback(fallback)
    lost = 0
    for tid in range(threads):
        expected = set(range(per_thread))
        lost += len(expected - set(seqs(stream, t=tid)) - set(seqs(lines, t=tid)))
    if destination == "fallback":
        # Serialised writes: no line lost, doubled or torn apart.
        assert len(lines) == threads * per_thread
    figures("[faults] threads/%s: %d x %d records in %.1f s, lost %d, %d via stream, "
            "%d via fallback, slowest call %.1f ms"
            % (destination, threads, per_thread, wall, lost, len(stream), len(lines),
               max(slowest) * 1e3))
    assert lost == 0
    assert wall < 180


@pytest.mark.parametrize("destination", ["stream", "fallback"])
def test_forked_child_logs_through_inherited_handler(destination, redis_url, redis_client,
                                                     logger_name, tmp_path, figures):
    child_records = 500
    fallback = tmp_path / "fallback.log"
    url = redis_url if destination == "stream" else "redis://127.0.0.1:%d/0" % free_port()
    # A generous timeout: this test is about the inherited connection, not latency; the few
    # records of the test need no rotation.
    logger = make_logger("handler", logger_name, url, fallback, timeout_ms=2000,
                         fallback_max_bytes=0)
    for i in range(10):
        timed_log(logger, i, who="parent")  # the parent's pool now holds a connection
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # 3.12+: fork with threads
        pid = os.fork()
    if pid == 0:
        code = 1
        try:
            for i in range(child_records):
                timed_log(logger, i, who="child")
            code = 0
        finally:
            os._exit(code)
    deadline = time.monotonic() + 60
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        if time.monotonic() > deadline:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            pytest.fail("forked child did not finish logging within 60 s")
        time.sleep(0.02)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0
    for i in range(10, 20):
        timed_log(logger, i, who="parent")
    stream = read_stream(redis_client, "logs:stream")
    lines = read_fallback(fallback)
    delivered, other = (stream, lines) if destination == "stream" else (lines, stream)
    figures("[faults] fork/%s: child %d of %d records, parent %d of 20, elsewhere %d"
            % (destination, len(seqs(delivered, who="child")), child_records,
               len(seqs(delivered, who="parent")), len(other)))
    # Exactly once each: the child's records neither vanish nor get doubled by a
    # connection that both processes think is theirs.
    assert sorted(seqs(delivered, who="child")) == list(range(child_records))
    assert sorted(seqs(delivered, who="parent")) == list(range(20))
    assert other == []


def _requirepass(own_server):
    # Set after start: the readiness probe of RedisProcess pings without a password.
    server = own_server()
    client = server.client()
    client.config_set("requirepass", "right-secret")
    client.close()
    return server


# Each case: how to get a URL that yields no usable connection.
BAD_TARGETS = {
    "wrong password": lambda s: "redis://:wrong-secret@127.0.0.1:%d/0" % _requirepass(s).port,
    "password missing": lambda s: _requirepass(s).url,
    "closed port": lambda s: "redis://127.0.0.1:%d/0" % free_port(),
    "unsupported scheme": lambda s: "http://127.0.0.1:%d/0" % free_port(),
    "missing unix socket": lambda s: "unix:///nonexistent/quorbel/redis.sock",
    "tls to a plain server": lambda s: "rediss://127.0.0.1:%d/0?ssl_cert_reqs=none" % s().port,
}


@pytest.mark.parametrize("case", sorted(BAD_TARGETS))
@pytest.mark.parametrize("road", ["get_logger", "handler"])
def test_unusable_target_sends_everything_to_fallback(case, road, own_server, logger_name,
                                                      tmp_path, capfd, figures):
    count = 60
    url = BAD_TARGETS[case](own_server)
    fallback = tmp_path / "fallback.log"
    logger = make_logger(road, logger_name, url, fallback)
    times = [timed_log(logger, i) for i in range(count)]
    out, err = capfd.readouterr()
    assert (out, err) == ("", "")
    lines = read_fallback(fallback)
    assert sorted(seqs(lines)) == list(range(count))
    assert all(p["msg"] == "record %d" % p["ctx"]["seq"] for p in lines)
    figures("[faults] %s via %s: slowest call %.1f ms" % (case, road, max(times) * 1e3))
    # Seconds here would mean a retry with backoff slipped into the handler's client, which
    # slows every call; a stall of a busy machine slows one now and then.
    assert sum(t >= 1.0 for t in times) <= count // 10, times
