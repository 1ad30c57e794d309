"""Leaving the process: a normal exit with Redis away spills every record once within the
close deadline; kill -9 loses at most what was pending."""

import json
import signal
import subprocess
import sys
import time

import pytest

from readback import keys, read_fallback, read_stream

CHILD = r'''
import json, os, signal, sys, time
import quorbel, redis
from quorbel_batch import BatchClient
client = %s
logger = quorbel.get_logger("quorbel.batch.child", client=client)
peak, start = 0, time.monotonic()
for seq in range(%d):
    logger.info("record %%d", seq, extra={"ctx": {"t": 0, "seq": seq}})
    if seq %% 50 == 49:  # paced at the given rate
        peak = max(peak, client.stats()["pending"])
        time.sleep(max(0.0, start + (seq + 1) / %d - time.monotonic()))
print(json.dumps(dict(client.stats(), peak=peak, at=time.monotonic())), flush=True)
'''


def run_child(engine, port, count, rate, then="", **options):
    """Logs count records at rate per second in a fresh interpreter, prints its stats (with
    the peak of pending and the monotonic time it finished logging), then runs `then`.
    The client engine gets redis-py's own defaults (timeouts, retries)."""
    target = ("url='redis://127.0.0.1:%d/0'" % port if engine == "url"
              else "client=redis.Redis(host='127.0.0.1', port=%d)" % port)
    source = "BatchClient(%s)" % ", ".join([target] + ["%s=%r" % o for o in options.items()])
    done = subprocess.run([sys.executable, "-c", CHILD % (source, count, rate) + then],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=120)
    return done, time.monotonic()


@pytest.mark.parametrize("fault", ["stopped", "stalled"])
def test_exit_with_redis_away_spills_each_record_once(fault, engine, server, tmp_path, figures):
    count, close_ms = 2000, 1000
    spill = tmp_path / "spill.log"
    server.pause() if fault == "stalled" else server.kill()
    # Far from spill_after_ms: only the close at exit can have spilled them.
    done, exited = run_child(engine, server.port, count, 10 ** 6, spill_path=str(spill),
                             spill_after_ms=600000, close_timeout_ms=close_ms)
    assert (done.returncode, done.stderr) == (0, ""), done.stderr
    stats = json.loads(done.stdout)
    assert stats["accepted"] == count
    # Nothing could be acknowledged: each record is in the spill file, once.
    assert sorted(keys(read_fallback(spill))) == [(0, seq) for seq in range(count)]
    figures("[batch] exit, server %s, %s engine, close_timeout_ms %d: exit took %.2f s",
            fault, engine, close_ms, exited - stats["at"])
    assert exited - stats["at"] < 10 * close_ms / 1000


def test_kill9_loses_at_most_what_was_pending(engine, server, figures):
    count, rate = 5000, 5000
    # Killed by itself right after reading its stats: nothing is accepted after that reading,
    # so what it called pending bounds what the kill can take.
    done, _ = run_child(engine, server.port, count, rate,
                        then="os.kill(os.getpid(), signal.SIGKILL)\n")
    assert done.returncode == -signal.SIGKILL, done.stderr
    stats = json.loads(done.stdout)
    assert stats["accepted"] == count
    r = server.client()
    stream = keys(read_stream(r, "logs:stream"))
    r.close()
    expected = set((0, seq) for seq in range(count))
    lost = expected - set(stream)
    assert set(stream) <= expected
    assert len(stream) - len(set(stream)) <= stats["resent"]
    figures("[batch] kill -9 at %d records/s, %s engine: %d logged, %d pending at the kill "
            "(peak %d during the run), %d lost", rate, engine, count, stats["pending"],
            stats["peak"], len(lost))
    assert len(lost) <= stats["pending"]
