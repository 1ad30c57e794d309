"""The durable spool: kill -9 loses nothing, damaged segments lose only what is damaged, the
folder's faults raise BufferError and keep what was spooled, and no segment is shipped by two
processes."""

import json
import mmap
import os
import random
import re
import signal
import struct
import subprocess
import sys
import time

import pytest

import quorbel
from quorbel_batch import BatchClient
from readback import keys, read_back, read_fallback, record_text
from redis_proc import free_port

KEY = "logs:stream"
DOWN = "redis://127.0.0.1:%d/0" % free_port()
HERE = os.path.dirname(os.path.abspath(__file__))

# A child of its own: logs with sys.argv's options (server down), prints its stats, and on a
# line from stdin flushes and prints them again.
CHILD = '''
import json, os, resource, shutil, sys
sys.path.insert(0, %r)
from quorbel_batch import BatchClient
from readback import record_text
fault, url, spool, count = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
client = BatchClient(url, spool_dir=spool, spool_bytes=1 << 20)
error = None
for seq in range(count):
    if seq == 1000 and fault == "vanished":
        shutil.rmtree(spool)
    if seq == 1000 and fault == "disk":  # files past 64 KiB refused (EFBIG), as by a full disk
        resource.setrlimit(resource.RLIMIT_FSIZE, (64 << 10, 64 << 10))
    if seq == 1000 and fault == "readonly":
        os.chmod(spool, 0o500)
    try:
        client.xadd("logs:stream", {"payload": record_text(0, seq)})
    except BufferError as exc:
        error = str(exc)
        break
print(json.dumps(dict(client.stats(), error=error)), flush=True)
sys.stdin.readline()
flushed = client.flush(30)
print(json.dumps(dict(client.stats(), flushed=flushed)), flush=True)
''' % os.path.dirname(HERE)


def start_child(fault, url, spool, count):
    return subprocess.Popen([sys.executable, "-c", CHILD, fault, url, str(spool), str(count)],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            universal_newlines=True)


def finish_child(child):
    out, _ = child.communicate("\n", timeout=60)
    assert child.returncode == 0
    return json.loads(out.splitlines()[-1])


@pytest.mark.parametrize("fault", ["full", "disk", "vanished", "readonly"])
def test_folder_faults_raise_buffer_error_and_keep_the_spooled(fault, server, tmp_path):
    if fault == "readonly" and os.geteuid() == 0:
        pytest.skip("root writes into a read-only folder")
    spool = tmp_path / "spool"
    server.kill()
    child = start_child(fault, server.url, spool, 100000)
    first = json.loads(child.stdout.readline())
    accepted = first["accepted"]
    expected_error = {"full": "the spool is full", "disk": "File too large",
                      "vanished": "No such file", "readonly": "Permission denied"}[fault]
    assert 1000 <= accepted < 100000 and expected_error in first["error"], first
    server.restart()
    last = finish_child(child)
    assert last["flushed"] and last["sent"] == accepted, last
    assert read_back(server, KEY) == [(0, seq) for seq in range(accepted)]
    if fault != "vanished":
        assert os.listdir(spool) == []


def test_construction_is_strict_and_leaves_other_files_alone(tmp_path):
    made = tmp_path / "new" / "spool"
    with pytest.raises(FileNotFoundError):
        BatchClient(DOWN, spool_dir=str(made))
    made.parent.mkdir()
    (made.parent / "file").write_text("x")
    with pytest.raises(NotADirectoryError):
        BatchClient(DOWN, spool_dir=str(made.parent / "file"))
    with BatchClient(DOWN, spool_dir=str(made), close_timeout_ms=0) as client:
        assert made.is_dir()
    # Not segments: kept. A segment's name over other bytes (or no file at all): kept.
    (made / "notes.txt").write_bytes(b"mine")
    (made / "quorbel-0-0-0.qseg").write_bytes(b"\0" * 200)
    os.mkfifo(str(made / "quorbel-1-0-0.qseg"))
    os.symlink("/dev/zero", str(made / "quorbel-2-0-0.qseg"))
    (made / "quorbel-3-0-0.qseg").mkdir()
    names = sorted(os.listdir(made))
    with BatchClient(DOWN, spool_dir=str(made), close_timeout_ms=0) as client:
        assert (client.stats()["corrupt"], client.stats()["adopted"]) == (1, 0)
    assert sorted(os.listdir(made)) == names


def spool_records(spool, count):
    """count records left in spool by a client whose server never answered."""
    child = start_child("none", DOWN, spool, count)
    assert json.loads(child.stdout.readline())["accepted"] == count
    child.kill()
    child.wait()


def test_close_with_redis_down_leaves_the_records_for_the_next_client(server, tmp_path):
    spool = tmp_path / "spool"
    server.kill()
    with BatchClient(server.url, spool_dir=str(spool), spill_path=str(tmp_path / "spill"),
                     close_timeout_ms=200) as client:
        for seq in range(500):
            client.xadd(KEY, {"payload": record_text(0, seq)})
    stats = client.stats()
    assert (stats["pending"], stats["spilled"], stats["dropped"]) == (500, 0, 0), stats
    assert read_fallback(tmp_path / "spill") == []
    server.restart()
    with BatchClient(server.url, spool_dir=str(spool)) as later:
        assert later.flush(30) and later.stats()["adopted"] == later.stats()["sent"] == 500
    assert read_back(server, KEY) == [(0, seq) for seq in range(500)]
    assert os.listdir(spool) == []


def test_adoption_counts_what_segments_hold_not_their_size(server, tmp_path):
    # Each gone owner's segment (256 KiB) has room to spare: all three fit in 512 KiB.
    spool = tmp_path / "spool"
    for _ in range(3):
        spool_records(spool, 10)
    with BatchClient(server.url, spool_dir=str(spool), spool_bytes=1 << 19) as client:
        assert client.flush(30) and client.stats()["adopted"] == 30, client.stats()
    assert len(read_back(server, KEY)) == 30 and os.listdir(spool) == []


# Two adopters at once on a gone owner's segments, while a live owner's stay its own.
ADOPTER = '''
import json, sys
from quorbel_batch import BatchClient
client = BatchClient(sys.argv[1], spool_dir=sys.argv[2])
flushed = client.flush(30)
print(json.dumps(dict(client.stats(), flushed=flushed)))
'''


def test_two_processes_never_ship_the_same_segment(server, tmp_path):
    spool = tmp_path / "spool"
    live = start_child("none", DOWN, spool, 300)
    assert json.loads(live.stdout.readline())["accepted"] == 300
    spool_records(spool, 6000)  # gone: its segments are free
    adopters = [subprocess.Popen([sys.executable, "-c", ADOPTER, server.url, str(spool)],
                                 stdout=subprocess.PIPE, universal_newlines=True)
                for _ in range(2)]
    stats = [json.loads(a.communicate(timeout=60)[0]) for a in adopters]
    assert all(s["flushed"] for s in stats), stats
    assert sum(s["adopted"] for s in stats) == 6000
    stream = read_back(server, KEY)
    assert sorted(stream) == [(0, seq) for seq in range(6000)]
    live.kill()
    live.wait()
    with BatchClient(server.url, spool_dir=str(spool)) as late:  # the live one's, now gone
        assert late.flush(30) and late.stats()["adopted"] == 300


@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # 3.12+: fork with threads
def test_a_forked_child_spools_its_own_and_leaves_the_parents(server, tmp_path):
    spool = str(tmp_path / "spool")
    server.kill()
    parent = BatchClient(server.url, spool_dir=spool, close_timeout_ms=100)
    for seq in range(100):
        parent.xadd(KEY, {"payload": record_text("parent", seq)})
    pid = os.fork()
    if pid == 0:
        try:
            ok = parent.stats()["pending"] == 0
            for seq in range(10):
                parent.xadd(KEY, {"payload": record_text("child", seq)})
        finally:
            os._exit(0 if ok else 1)  # killed, in effect: nothing closed
    assert os.waitpid(pid, 0)[1] == 0
    with BatchClient(DOWN, spool_dir=spool, close_timeout_ms=100) as other:  # parent lives
        assert other.stats()["adopted"] == 10
    parent.close()
    server.restart()
    with BatchClient(server.url, spool_dir=spool) as later:
        assert later.flush(30) and later.stats()["adopted"] == 110
    assert sorted(read_back(server, KEY)) == sorted(
        [("child", seq) for seq in range(10)] + [("parent", seq) for seq in range(100)])


def undamaged(pristine, damaged):
    """{seq} of the records whose slot and command bytes are all intact in damaged (bytes)."""
    head, slot = 96, 32
    found = set()
    for i in range((len(pristine) - head) // slot):
        at = len(pristine) - slot * (i + 1)
        offset, length = struct.unpack_from("<II", pristine, at)
        if length == 0:
            break
        cmd = (head + offset, head + offset + length)
        if all(damaged[a:b] == pristine[a:b] for a, b in ((at, at + slot), cmd)):
            found.add(int(re.search(rb'"seq":(\d+)', pristine[cmd[0]:cmd[1]]).group(1)))
    return found


FUZZ_CASES = 24


def test_damaged_segments_lose_only_their_damaged_records(redis_server, redis_client, tmp_path):
    pristine = tmp_path / "pristine"
    spool_records(pristine, 3000)
    redis_client.delete(KEY)
    files = {name: (pristine / name).read_bytes() for name in sorted(os.listdir(pristine))}
    assert len(files) >= 2
    rng = random.Random(24)
    expected, folders = [], []
    for case in range(FUZZ_CASES):
        folder = tmp_path / ("case%d" % case)
        folder.mkdir()
        keep = set()
        for name, data in files.items():
            data = bytearray(data)
            cut = rng.randrange(64, len(data)) if rng.random() < 0.4 else len(data)
            for _ in range(rng.randrange(0, 6)):
                data[rng.randrange(64, len(data))] ^= rng.randrange(1, 256)
            damaged = bytes(data[:cut])
            keep |= undamaged(files[name], damaged)
            (folder / name).write_bytes(damaged)
        expected.append(keep)
        folders.append(str(folder))
    # Adopted in a child: a crash or a hang there fails this test, not the run.
    body = ("import json, sys\nfrom quorbel_batch import BatchClient\n"
            "for i, folder in enumerate(sys.argv[2:]):\n"
            "    c = BatchClient(sys.argv[1], spool_dir=folder)\n"
            "    flushed = c.flush(30)\n"
            "    print(json.dumps(dict(c.stats(), flushed=flushed)), flush=True)\n"
            "    c.close()\n")
    done = subprocess.run([sys.executable, "-c", body, redis_server.url] + folders,
                          stdout=subprocess.PIPE, universal_newlines=True, timeout=120)
    assert done.returncode == 0
    stats = [json.loads(line) for line in done.stdout.splitlines()]
    shipped = [seq for _, seq in read_back(redis_server, KEY)]
    assert len(shipped) == sum(len(k) for k in expected) and len(stats) == FUZZ_CASES
    at = 0
    for keep, s in zip(expected, stats):
        got = shipped[at:at + s["sent"]]
        at += s["sent"]
        assert s["flushed"] and len(got) == len(set(got)) and set(got) == keep, (len(keep), s)
        assert s["corrupt"] > 0 or len(keep) == 3000, s
    redis_client.delete(KEY)


KILLS = 100


def logging_child(url, spool, fallback, run, shared):
    """In a forked child: a restart that adopts, then logging at 10,000 records/s until killed;
    shared holds the last seq whose logging call returned and the adopter's resent, each
    written by one aligned 8-byte store (struct.pack_into writes byte by byte, and a kill in
    its midst would leave a torn count)."""
    client = BatchClient(url, spool_dir=spool)
    shared[1] = client.stats()["resent"]
    logger = quorbel.get_logger("quorbel.batch.kill.%d" % run, client=client,
                                enable_fallback_file=True, fallback_path=fallback)
    start = time.monotonic()
    for seq in range(10 ** 6):
        if seq % 50 == 0:
            time.sleep(max(0.0, start + seq / 10000.0 - time.monotonic()))
        logger.info("record", extra={"ctx": {"t": run, "seq": seq}})
        shared[0] = seq


@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # 3.12+: fork with threads
def test_kill9_at_random_moments_loses_nothing(server, tmp_path, figures):
    spool, fallback = str(tmp_path / "spool"), str(tmp_path / "fallback.log")
    shared = memoryview(mmap.mmap(-1, 16)).cast("q")
    rng = random.Random(9)
    returned, resent, unread = [], 0, 0
    started = time.monotonic()
    for run in range(KILLS):
        shared[0] = shared[1] = -1
        pid = os.fork()
        if pid == 0:
            try:
                logging_child(server.url, spool, fallback, run, shared)
            finally:
                os._exit(1)
        time.sleep(rng.uniform(0.005, 0.15))  # in adoption, its delivery, or logging
        os.kill(pid, signal.SIGKILL)
        assert os.waitpid(pid, 0)[1] == signal.SIGKILL
        last, adopter_resent = shared[0], shared[1]
        returned.append(last)
        # Killed before it could say: its shipper may have sent one batch of adopted records.
        resent += adopter_resent if adopter_resent >= 0 else 256
        unread += adopter_resent < 0
    with BatchClient(server.url, spool_dir=spool) as final:
        assert final.flush(60)
        resent += final.stats()["resent"]
    found = read_back(server, KEY) + keys(read_fallback(fallback))
    expected = set((run, seq) for run, last in enumerate(returned) for seq in range(last + 1))
    lost = expected - set(found)
    doubles = len(found) - len(set(found))
    figures("[spool] kill -9 x %d at 10,000 records/s: %d returned, %d lost, %d doubles "
            "(resent %d, %d kills before the count was read), %.1f s", KILLS, len(expected),
            len(lost), doubles, resent, unread, time.monotonic() - started)
    assert not lost, sorted(lost)[:5]
    assert all(seq <= returned[run] + 1 for run, seq in found)  # nothing never logged
    assert doubles <= resent and doubles <= KILLS * 256
    assert os.listdir(spool) == []
