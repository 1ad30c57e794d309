"""Leaving the process: a normal exit with Redis away spills every record once within the
close deadline; kill -9 loses at most what was pending."""

import json
import signal

import pytest

from readback import keys, read_back, read_fallback

# Logs count records at rate per second, then prints its stats with the peak of pending and
# the monotonic times it began and finished logging.
LOG = '''
logger = quorbel.get_logger("quorbel.batch.child", client=client)
peak, start = 0, time.monotonic()
for seq in range(count):
    if seq % 50 == 0:  # bursts of 50 on schedule; the stats follow the last burst at once
        time.sleep(max(0.0, start + seq / rate - time.monotonic()))
    logger.info("record %d", seq, extra={"ctx": {"t": 0, "seq": seq}})
    if seq % 50 == 49:
        peak = max(peak, client.stats()["pending"])
print(json.dumps(dict(client.stats(), peak=peak, began=start, at=time.monotonic())), flush=True)
'''


def logging_body(count, rate):
    return "count, rate = %d, %d\n" % (count, rate) + LOG


@pytest.mark.parametrize("fault", ["stopped", "stalled"])
def test_exit_with_redis_away_spills_each_record_once(fault, engine, server, run_child, tmp_path,
                                                      figures):
    count, close_ms = 2000, 1000
    spill = tmp_path / "spill.log"
    server.pause() if fault == "stalled" else server.kill()
    # Far from spill_after_ms: only the close at exit can have spilled them.
    done, exited = run_child(engine, server.port, logging_body(count, 10 ** 6),
                             spill_path=str(spill), spill_after_ms=600000,
                             close_timeout_ms=close_ms)
    assert (done.returncode, done.stderr) == (0, ""), done.stderr
    stats = json.loads(done.stdout)
    assert stats["accepted"] == count
    # Nothing could be acknowledged: each record is in the spill file, once.
    assert sorted(keys(read_fallback(spill))) == [(0, seq) for seq in range(count)]
    figures("[batch] exit, server %s, %s engine, close_timeout_ms %d: exit took %.2f s",
            fault, engine, close_ms, exited - stats["at"])
    assert exited - stats["at"] < 10 * close_ms / 1000


@pytest.mark.parametrize("rate", [5000, 50000])
def test_kill9_loses_at_most_what_was_pending(rate, engine, server, run_child, figures):
    count = rate
    # Killed by itself right after reading its stats: nothing is accepted after that reading,
    # so what it called pending bounds what the kill can take.
    done, _ = run_child(engine, server.port,
                        logging_body(count, rate) + "os.kill(os.getpid(), signal.SIGKILL)\n")
    assert done.returncode == -signal.SIGKILL, done.stderr
    stats = json.loads(done.stdout)
    assert stats["accepted"] == count
    stream = read_back(server, "logs:stream")
    expected = set((0, seq) for seq in range(count))
    lost = expected - set(stream)
    assert set(stream) <= expected
    assert len(stream) - len(set(stream)) <= stats["resent"]
    figures("[batch] kill -9 at %d records/s (%.0f reached), %s engine: %d logged, %d pending at "
            "the kill (peak %d during the run), %d lost", rate,
            count / (stats["at"] - stats["began"]), engine, count, stats["pending"], stats["peak"],
            len(lost))
    assert len(lost) <= stats["pending"]
