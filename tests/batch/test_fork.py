"""fork(): a child starts with an empty buffer, sends only its own records, and never
deadlocks, also when forked a thousand times while other threads send."""

import json
import multiprocessing

import pytest

from readback import account, read_back, record_text

# 3.12+ warns that forking a process with threads may deadlock: that is what is tested here.
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")
fork = multiprocessing.get_context("fork")


def test_children_send_only_their_own(engine, server, batch_client):
    children, each = 4, 20
    # A long linger keeps the parent's records in its buffer while the children are forked.
    client = batch_client(engine, server.port, linger_ms=60000, timeout_ms=10000)
    for seq in range(50):
        client.xadd("logs:stream", {"payload": record_text("parent", seq)})
    assert client.stats()["pending"] == 50
    pipes = [fork.Pipe(duplex=False) for _ in range(children)]

    def child(n, pipe):
        before = client.stats()
        for seq in range(each):
            client.xadd("logs:stream", {"payload": record_text(n, seq)})
        pipe.send((before, client.flush(10), client.stats()))

    procs = [fork.Process(target=child, args=(n, pipes[n][1])) for n in range(children)]
    for p in procs:
        p.start()
    for n, p in enumerate(procs):
        assert pipes[n][0].poll(30), "child %d sent no report" % n
        before, flushed, after = pipes[n][0].recv()
        p.join(10)
        if p.is_alive():
            p.kill()
        assert p.exitcode == 0, "child %d: %s" % (n, "deadlocked" if p.is_alive() else p.exitcode)
        assert before["pending"] == 0 and flushed and after["pending"] == 0, (before, after)
    assert client.stats()["pending"] == 50
    assert client.flush(30)
    stream = read_back(server, "logs:stream")
    expected = [("parent", s) for s in range(50)] + [(n, s) for n in range(children)
                                                     for s in range(each)]
    account(client.stats(), expected, stream)
    assert len(stream) == len(expected)


# Two threads send while the main thread forks one child after another; each child sends one
# record of its own and leaves through os._exit after flush. quorbel imports logging, whose
# fork hooks run Python code around the module's own.
FORKS = '''
import multiprocessing, threading, warnings
warnings.simplefilter("ignore", DeprecationWarning)
sys.setswitchinterval(1e-6)  # the GIL changes hands at every chance, within fork hooks too
fork = multiprocessing.get_context("fork")
stop = threading.Event()

def send(t):
    seq = 0
    while not stop.is_set():
        try:
            client.xadd("parent", {"payload": "%d %d" % (t, seq)}, maxlen=10000, approximate=True)
        except BufferError:
            pass
        seq += 1
        if seq % 200 == 0:
            time.sleep(0.001)  # heavy, but leaves the forking thread its turns

def child(n):
    client.xadd("children", {"payload": json.dumps({"ctx": {"t": "child", "seq": n}})})
    if not client.flush(10):
        faulthandler.dump_traceback()  # where its shipper waits
        os._exit(3)
    os._exit(0)

senders = [threading.Thread(target=send, args=(t,), daemon=True) for t in range(2)]
for t in senders:
    t.start()
started, failed = time.monotonic(), None
for n in range(forks):
    p = fork.Process(target=child, args=(n,))
    p.start()
    p.join(10)
    if p.exitcode != 0:
        failed = "child %d: %s" % (n, "deadlocked" if p.is_alive() else p.exitcode)
        p.kill()
        break
stop.set()
for t in senders:
    t.join(10)
wall = time.monotonic() - started
flushed = client.flush(30)
print(json.dumps(dict(client.stats(), flushed=flushed, wall=wall, failed=failed)))
'''


def test_thousand_forks_while_threads_send(engine, server, run_child, figures):
    forks = 1000
    # A parent deadlocked in fork() cannot time itself out: it runs in an interpreter of its
    # own, killed at the timeout (the client engine's run takes 15 to 30 s here).
    done, _ = run_child(engine, server.port, "forks = %d\n" % forks + FORKS, timeout=150)
    assert (done.returncode, done.stderr) == (0, ""), done.stderr
    result = json.loads(done.stdout)
    assert result["failed"] is None and result["flushed"], result
    r = server.client()
    # entries-added counts every entry ever added, however far the stream was trimmed.
    added = r.xinfo_stream("parent")["entries-added"]
    r.close()
    children = read_back(server, "children")
    figures("[batch] %d forks beside 2 sending threads, %s engine: %.1f s, parent sent %d",
            forks, engine, result["wall"], result["sent"])
    # A child that sent what it inherited would have added the parent's records again.
    assert result["sent"] <= added <= result["sent"] + result["resent"], (added, result)
    assert sorted(children) == [("child", n) for n in range(forks)]
