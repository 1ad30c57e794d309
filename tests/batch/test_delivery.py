"""Background delivery keeps each thread's order and delivers every record once."""

import threading

import pytest

from readback import account, first_arrivals, log_record, read_back


@pytest.mark.parametrize("engine", ["url", "client", "pipeline"])
def test_each_thread_keeps_its_order(engine, server, batch_client, logger_for):
    threads, per_thread = 4, 3000
    # Small batches: many of them, from threads that interleave, over the whole run.
    client = batch_client(engine, server.port, batch_size=64)
    logger = logger_for(client)
    barrier = threading.Barrier(threads)
    errors = []

    def work(t):
        try:
            barrier.wait(30)
            for seq in range(per_thread):
                log_record(logger, t, seq)
        except BaseException as exc:
            errors.append(exc)

    workers = [threading.Thread(target=work, args=(t,), daemon=True) for t in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join(60)
    assert not errors and not any(w.is_alive() for w in workers), errors
    assert client.flush(30)
    stats = client.stats()
    assert stats["accepted"] == threads * per_thread and stats["pending"] == 0, stats
    stream = read_back(server, "logs:stream")
    account(stats, [(t, s) for t in range(threads) for s in range(per_thread)], stream)
    arrivals = first_arrivals(stream)
    for t in range(threads):
        assert [s for u, s in arrivals if u == t] == list(range(per_thread)), "thread %d" % t
