"""Redis stopped, stalled or restarted: the shipper retries, spills what stays undelivered,
keeps what it cannot spill until the buffer fills, and never makes the application wait."""

import asyncio
import itertools
import json
import time

import pytest

from readback import (account, first_arrivals, keys, log_record, read_back, read_fallback,
                      record_text, wait_until)

KEY = "logs:stream"


ENGINES = ["url", "client", "pipeline"]


@pytest.mark.parametrize("engine", ENGINES)
@pytest.mark.parametrize("fault", ["stopped", "stalled", "restarted"])
def test_outage_retried_then_spilled(fault, engine, server, batch_client, tmp_path, figures):
    spill = tmp_path / "spill.log"
    # A quick restart is ridden out by retrying; a longer outage spills after spill_after_ms.
    client = batch_client(engine, server.port, spill_path=str(spill), timeout_ms=300,
                          spill_after_ms=60000 if fault == "restarted" else 200)
    seqs = itertools.count()
    expected = []

    def send(phase, count):
        for _ in range(count):
            expected.append((phase, next(seqs)))
            client.xadd(KEY, {"payload": record_text(*expected[-1])})

    send("before", 300)
    assert client.flush(30)
    server.pause() if fault == "stalled" else server.kill()
    send("during", 500)
    if fault == "restarted":
        server.restart()
    else:
        # Nothing can be acknowledged now: every record of the outage ends in the spill file.
        wait_until(lambda: client.stats()["pending"] == 0, 30, "outage records spilled")
        assert client.stats()["spilled"] == 500
        server.resume() if fault == "stalled" else server.restart()
    # The shipper reconnects by itself: a record logged after the outage is sent.
    sent = client.stats()["sent"]

    def sending_again():
        send("after", 1)
        return client.stats()["sent"] > sent

    wait_until(sending_again, 30, "sending again")
    send("after", 200)
    assert client.flush(30)
    stats = client.stats()
    stream, spilled = read_back(server, KEY), keys(read_fallback(spill))
    doubles = account(stats, expected, stream, spilled)
    assert stats["dropped"] == 0 and stats["pending"] == 0, stats
    if fault == "restarted":
        assert stats["spilled"] == 0 and not spilled, stats
    else:
        assert set(k for k in expected if k[0] == "during") <= set(spilled)
    figures("[batch] %s, %s engine: %d records, %d spilled, %d resent, %d found twice",
            fault, engine, len(expected), stats["spilled"], stats["resent"], doubles)


@pytest.mark.parametrize("road", ["get_logger", "handler"])
def test_full_buffer_goes_to_handler_fallback(road, engine, server, batch_client, logger_for,
                                              tmp_path):
    total = 2000
    server.kill()
    # No spill file: whatever spill_after_ms says, accepted records wait for the server.
    client = batch_client(engine, server.port, buffer_bytes=32768, spill_after_ms=0)
    fallback = tmp_path / "fallback.log"
    logger = logger_for(client, road, fallback)
    for seq in range(total):
        log_record(logger, 0, seq)
    assert not client.flush(timeout=0.5)
    stats = client.stats()
    assert 0 < stats["accepted"] < total and stats["pending"] == stats["accepted"], stats
    with pytest.raises(BufferError):  # longer than any logged record
        client.xadd(KEY, {"payload": record_text(1, 0, pad=200)})
    in_fallback = keys(read_fallback(fallback))
    assert len(in_fallback) == total - stats["accepted"]
    server.restart()
    assert client.flush(30)
    stream = read_back(server, KEY)
    account(client.stats(), [(0, seq) for seq in range(total)], stream, in_fallback)


@pytest.mark.parametrize("engine", ENGINES)
def test_error_reply_spills_that_entry(engine, server, batch_client, tmp_path):
    r = server.client()
    r.set("taken", "a string")  # XADD to it: WRONGTYPE
    spill = tmp_path / "spill.log"
    # With a spill file a client serves one stream key; without one it may mix keys.
    lone = batch_client(engine, server.port, spill_path=str(spill), timeout_ms=10000)
    mixed = batch_client(engine, server.port, timeout_ms=10000)
    for seq in range(100):
        lone.xadd("taken", {"payload": record_text(0, seq)})
        mixed.xadd("taken" if seq % 3 == 0 else KEY, {"payload": record_text(1, seq)})
    # An entry put back into the retry loop would stay pending (or be resent) for ever.
    assert lone.flush(30)
    wait_until(lambda: mixed.stats()["pending"] == 0, 30, "the mixed batch settled")
    lone_stats, mixed_stats = lone.stats(), mixed.stats()
    assert sorted(keys(read_fallback(spill))) == [(0, seq) for seq in range(100)]
    assert [lone_stats[k] for k in ("spilled", "sent", "dropped", "resent")] == [100, 0, 0, 0]
    assert [mixed_stats[k] for k in ("sent", "dropped", "resent")] == [66, 34, 0], mixed_stats
    assert read_back(server, KEY) == [(1, seq) for seq in range(100) if seq % 3]
    assert r.get("taken") == "a string"
    r.close()


@pytest.mark.parametrize("engine", ENGINES)
def test_refusal_for_the_servers_state_retries_the_batch(engine, server, batch_client, tmp_path):
    # OOM speaks of the server, not of the entry: the batch waits for the server, unspilled.
    r = server.client()
    spill = tmp_path / "spill.log"
    client = batch_client(engine, server.port, spill_path=str(spill), spill_after_ms=60000)
    r.config_set("maxmemory", 1)
    expected = [(0, seq) for seq in range(200)]
    for key in expected:
        client.xadd(KEY, {"payload": record_text(*key)})
    wait_until(lambda: "maxmemory" in (client.stats()["last_error"] or ""), 30, "a refusal")
    assert client.stats()["spilled"] == 0
    r.config_set("maxmemory", 0)
    assert client.flush(30)
    stats = client.stats()
    account(stats, expected, read_back(server, KEY), keys(read_fallback(spill)))
    assert [stats[k] for k in ("sent", "spilled", "dropped")] == [200, 0, 0], stats
    r.close()


# A batch held by a stalled server while records of 20 kB queue behind it, then more appended
# as the reply comes: the buffer's storage is retired and reused under a shipper in mid-stride.
STALLS = '''
PAD = "x" * 19963
def record(n):  # 20,000 bytes, cheap to make: the appends must race the shipper
    return '{"ctx":{"t":0,"seq":%6d},"pad":"%s"}' % (n, PAD)
n, flushed = 0, True
for stall in range(40):
    os.kill(pid, signal.SIGSTOP)
    for _ in range(6):
        client.xadd("logs:stream", {"payload": record(n)})
        n += 1
    sent = client.stats()["sent"]
    os.kill(pid, signal.SIGCONT)
    for _ in range(30):
        if client.stats()["sent"] != sent:
            break
        client.xadd("logs:stream", {"payload": record(n)})
        n += 1
    flushed = client.flush(30) and flushed
print(json.dumps(dict(client.stats(), flushed=flushed)))
'''


def test_stalls_under_large_records(engine, server, run_child):
    # In a child of its own: a fault here may crash the interpreter.
    done, _ = run_child(engine, server.port, "pid = %d\n" % server.pid + STALLS, linger_ms=0)
    server.resume()
    assert (done.returncode, done.stderr) == (0, ""), done.stderr
    stats = json.loads(done.stdout)
    assert stats["flushed"], stats
    stream = read_back(server, KEY)
    expected = [(0, n) for n in range(stats["accepted"])]
    account(stats, expected, stream)
    assert first_arrivals(stream) == expected


def call_times(logger, count):
    times = []
    for seq in range(count):
        start = time.perf_counter()
        log_record(logger, 0, seq)
        times.append(time.perf_counter() - start)
    return sorted(times)


@pytest.mark.parametrize("fault", ["stopped", "stalled"])
def test_event_loop_never_waits_for_redis(fault, engine, server, batch_client, logger_for,
                                          figures):
    client = batch_client(engine, server.port)
    logger = logger_for(client)
    log_record(logger, 0, -1)
    assert client.flush(10)  # connected and idle when the server goes away
    server.pause() if fault == "stalled" else server.kill()

    async def app():
        times = []
        for _ in range(20):
            times += call_times(logger, 100)
            await asyncio.sleep(0)
        return sorted(times)

    times = asyncio.run(app())
    p99 = times[len(times) * 99 // 100]
    direct = call_times(logger_for(None, redis_url=server.url), 20)
    figures("[batch] event loop, server %s, %s engine: p50 %.1f us, p99 %.1f us, max %.2f ms; "
            "direct delivery p50 %.2f ms", fault, engine, times[len(times) // 2] * 1e6,
            p99 * 1e6, times[-1] * 1e3, direct[10] * 1e3)
    server.resume()
    assert p99 < 0.005
