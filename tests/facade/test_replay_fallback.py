"""The quorbel-replay command against a real server and fallback files that the handler
itself writes and rotates: every line reaches the stream once, oldest first, unchanged."""

import contextlib
import fcntl
import json
import os
import re
import subprocess

import pytest
redis = pytest.importorskip("redis")  # the tool is a client of the redis library

import quorbel
from commands import command, entry_module, env
from redis_proc import free_port

STREAM = "replay:s"


class Writer:
    """An application whose records all go to the fallback file (no Redis client)."""

    def __init__(self, logger, path, max_bytes, backups):
        self.path = str(path)
        self.logger = logger
        self.handler = quorbel.RedisStreamHandler(
            fallback_file_path=self.path, fallback_max_bytes=max_bytes,
            fallback_backup_count=backups)
        self.logger.addHandler(self.handler)
        self.count = 0

    def log(self, n):
        for _ in range(n):
            # Text that any re-encoding would change: escapes, non-ASCII, a percent sign.
            self.logger.info('record %d: 100%% «ü» "q" \\ \t', self.count,
                             extra={"labels": {"k": "v"}, "ctx": {"seq": self.count}})
            self.count += 1

    def write_raw(self, data):
        """Bytes appended to the active file beside the handler, as a second writer would."""
        with open(self.path, "ab") as f:
            f.write(data)


@pytest.fixture
def writer(tmp_path, logger):
    """make(max_bytes=0, backups=0): a Writer through the test's own logger, whose fixture
    closes the fallback file afterwards."""
    return lambda max_bytes=0, backups=0: Writer(logger, tmp_path / "fallback.log", max_bytes,
                                                 backups)


@pytest.fixture(scope="module")
def tool():
    """The command's module, for the cases that must step into a run."""
    return entry_module("quorbel-replay")


def replay(url, path, *more, stream=STREAM, status=0):
    """Runs the command, which must end with the status, and with no traceback (and nothing
    on stderr on success)."""
    done = subprocess.run(
        command("quorbel-replay") + ["--url", url, "--stream", stream, str(path)] + list(more),
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, encoding="utf-8", env=env(),
        timeout=120)
    assert done.returncode == status, done.stderr
    assert (done.stderr == "") if status == 0 else ("Traceback" not in done.stderr), done.stderr
    return done


def stream_payloads(client, key=STREAM):
    return [fields["payload"] for _id, fields in client.xrange(key)]


def seq_of(payload):
    return json.loads(payload)["ctx"]["seq"]


def lines_on_disk(path):
    """{seq: line text} over the fallback file and whatever backups exist now."""
    found = {}
    directory, base = os.path.split(str(path))
    for name in os.listdir(directory):
        if re.fullmatch(re.escape(base) + r"(\.\d+)?", name):
            with open(os.path.join(directory, name), "rb") as f:
                for line in f.read().split(b"\n")[:-1]:
                    found[seq_of(line.decode("utf-8"))] = line.decode("utf-8")
    return found


def check_stream(client, path, every_record_on_disk):
    """Each record once, oldest first, byte for byte as its line; returns the sequence numbers."""
    payloads = stream_payloads(client)
    seqs = [seq_of(p) for p in payloads]
    assert seqs == sorted(set(seqs)), "out of order or repeated: %s" % seqs
    on_disk = lines_on_disk(path)
    assert set(on_disk) <= set(seqs), sorted(set(on_disk) - set(seqs))
    for seq, payload in zip(seqs, payloads):
        assert on_disk.get(seq, payload) == payload
    if every_record_on_disk:
        assert seqs == list(range(len(seqs)))
    return seqs


# Steps: a number logs that many records, "R" runs a replay. 150 bytes a record: a
# 1500-byte file holds about ten, so the larger scenarios cross PATH.9 -> PATH.10.
@pytest.mark.parametrize("max_bytes, backups, steps, every_record_on_disk", [
    (0, 0, [40, "R", "R"], True),
    (0, 0, [40, "R", 25, "R", "R"], True),
    (1500, 40, [250, "R", "R"], True),
    (1500, 40, [45, "R", 3, "R", 60, "R", 1, "R"], True),
    (1500, 40, [5, "R", 10, "R", 10, "R"], True),
    (1500, 3, [40, "R", 200, "R", 7, "R"], False),
], ids=["one-file-twice", "new-lines", "many-backups", "rotated-between-runs",
        "rotated-right-after-each-run", "oldest-rotated-out"])
def test_each_record_once_oldest_first(redis_url, redis_client, writer, max_bytes, backups,
                                       steps, every_record_on_disk):
    w = writer(max_bytes, backups)
    appended = 0
    for step in steps:
        if step != "R":
            w.log(step)
            continue
        done = replay(redis_url, w.path)
        seqs = check_stream(redis_client, w.path, every_record_on_disk)
        assert "appended %d entries" % (len(seqs) - appended) in done.stdout
        appended = len(seqs)
    assert seqs[-1] == w.count - 1


def test_a_spill_file_replays_as_a_fallback_file(redis_url, redis_client, tmp_path,
                                                  logger_name):
    from quorbel_batch import BatchClient
    spill = str(tmp_path / "spill.log")
    # Nothing listens there: every batch goes to the spill file at once. The logger_name
    # fixture closes the client afterwards.
    batch = BatchClient("redis://127.0.0.1:%d/0" % free_port(), spill_path=spill,
                        spill_after_ms=0)
    logger = quorbel.get_logger(logger_name, client=batch, stream_key=STREAM)
    for first, end in ((0, 40), (40, 65)):  # the second run takes what was spilled since
        for seq in range(first, end):
            logger.info("spilled %d", seq, extra={"ctx": {"seq": seq}})
        assert batch.flush(timeout=30)
        replay(redis_url, spill)
        assert [seq_of(p) for p in stream_payloads(redis_client)] == list(range(end))
    assert batch.stats()["spilled"] == 65


BAD_LINES = {
    "text": b"not json",
    "array": b"[1,2]",
    "empty": b"",
    "member-missing": b'{"ts":"1","level":"info","msg":"m","labels":{}}',
    "members-reordered": b'{"level":"info","ts":"1","msg":"m","labels":{},"ctx":{}}',
    "member-twice": b'{"ts":"1","ts":"1","level":"info","msg":"m","labels":{},"ctx":{}}',
    "ts-a-number": b'{"ts":1,"level":"info","msg":"m","labels":{},"ctx":{}}',
    "label-a-number": b'{"ts":"1","level":"info","msg":"m","labels":{"n":1},"ctx":{}}',
    "not-utf8": b'{"ts":"1","level":"info","msg":"\xff","labels":{},"ctx":{}}',
    "crlf": b'{"ts":"1","level":"info","msg":"m","labels":{},"ctx":{}}\r',
    "nested-too-deep": b'{"ts":"1","level":"info","msg":"m","labels":{},"ctx":' + b"[" * 100000
                       + b"}",
}


@pytest.mark.parametrize("bad", list(BAD_LINES.values()), ids=list(BAD_LINES))
def test_a_line_that_is_no_payload_is_reported_and_skipped(redis_url, redis_client, writer,
                                                           bad):
    w = writer(1500, 40)
    w.log(12)
    w.write_raw(bad + b"\n")
    w.log(30)
    reports = replay(redis_url, w.path, status=1).stderr.splitlines()
    assert len(reports) == 1 and "skipped" in reports[0]
    assert re.search(re.escape(w.path) + r"(\.\d+)? line \d+: skipped", reports[0])
    assert [seq_of(p) for p in stream_payloads(redis_client)] == list(range(42))
    # Skipped for good: the next run has nothing left to report or append.
    replay(redis_url, w.path)
    assert redis_client.xlen(STREAM) == 42


@pytest.mark.parametrize("cut", [0.5, 1.0], ids=["half-a-payload", "payload-without-newline"])
def test_a_last_line_still_being_written_waits_for_its_newline(redis_url, redis_client, writer,
                                                               cut):
    w = writer()
    w.log(5)
    line = json.dumps({"ts": "1", "level": "info", "msg": "late", "labels": {},
                       "ctx": {"seq": 5}}, separators=(",", ":")).encode()
    w.write_raw(line[:int(len(line) * cut)])
    replay(redis_url, w.path)
    assert redis_client.xlen(STREAM) == 5
    w.write_raw(line[int(len(line) * cut):] + b"\n")
    replay(redis_url, w.path)
    assert stream_payloads(redis_client)[5:] == [line.decode()]


def test_an_unterminated_line_in_a_rotated_file_is_final(redis_url, redis_client, writer):
    # A writer that died mid-line; the file was rotated since, so the line cannot grow.
    w = writer(1500, 40)
    w.log(5)
    w.write_raw(b'{"ts":"1","level":"in')
    w.handler._fallback.doRollover()
    w.log(5)
    done = replay(redis_url, w.path, status=1)
    assert "%s.1 line 6: skipped, unterminated last line" % w.path in done.stderr
    assert [seq_of(p) for p in stream_payloads(redis_client)] == list(range(10))


@pytest.mark.parametrize("maxlen, trimmed", [("0", False), ("10", True)])
def test_maxlen_trims_as_the_handler_does(redis_url, redis_client, writer, maxlen, trimmed):
    w = writer()
    w.log(1000)
    replay(redis_url, w.path, "--maxlen", maxlen)
    length = redis_client.xlen(STREAM)
    # Approximate trimming removes whole nodes only: the length stays at or above the cap.
    assert (10 <= length < 1000) if trimmed else length == 1000


@contextlib.contextmanager
def key_of_another_type(client, url, path):
    client.set(STREAM, "not a stream")
    yield url
    client.delete(STREAM)


@contextlib.contextmanager
def server_unreachable(client, url, path):
    yield "redis://127.0.0.1:%d/0" % free_port()


@contextlib.contextmanager
def another_run_busy(client, url, path):
    with open(path + ".replay.lock", "a") as lock:
        fcntl.flock(lock.fileno(), fcntl.LOCK_EX)
        yield url


@contextlib.contextmanager
def file_moved_away(client, url, path):
    os.rename(path, path + ".away")
    yield url
    os.rename(path + ".away", path)


@contextlib.contextmanager
def progress_damaged(client, url, path):
    # Taken as "nothing done yet", it would make a run append everything again.
    with open(path + ".replay", "w") as f:
        f.write('{"stream":')
    yield url
    os.remove(path + ".replay")


@pytest.mark.parametrize("fault", [key_of_another_type, server_unreachable, another_run_busy,
                                   file_moved_away, progress_damaged], ids=lambda f: f.__name__)
def test_a_refused_run_fails_and_a_later_run_appends_everything_once(
        redis_url, redis_client, writer, fault):
    w = writer()
    w.log(30)
    with fault(redis_client, redis_url, w.path) as url:
        done = replay(url, w.path, status=3)
    assert "stopped after appending 0" in done.stderr
    replay(redis_url, w.path)
    assert [seq_of(p) for p in stream_payloads(redis_client)] == list(range(30))


@pytest.mark.parametrize("failing_batch", [1, 2, 3])
def test_progress_is_kept_per_appended_batch(redis_url, redis_client, writer, tool, monkeypatch,
                                             capsys, failing_batch):
    w = writer()
    w.log(2 * tool.BATCH_LINES + 7)
    real_append = tool.Replay.append
    calls = []

    def append(self, payloads):
        calls.append(len(payloads))
        if len(calls) == failing_batch:
            raise redis.ConnectionError("connection lost")
        real_append(self, payloads)

    monkeypatch.setattr(tool.Replay, "append", append)
    assert tool.main(["--url", redis_url, "--stream", STREAM, w.path]) == 3
    assert redis_client.xlen(STREAM) == (failing_batch - 1) * tool.BATCH_LINES
    monkeypatch.setattr(tool.Replay, "append", real_append)
    assert tool.main(["--url", redis_url, "--stream", STREAM, w.path]) == 0
    assert [seq_of(p) for p in stream_payloads(redis_client)] == list(range(w.count))
    capsys.readouterr()


@pytest.mark.parametrize("rotations", [1, 3])
def test_a_rotation_while_the_files_are_opened_is_noticed(redis_url, redis_client, writer, tool,
                                                          monkeypatch, capsys, rotations):
    w = writer(1500, 40)
    w.log(45)
    opened = []

    def racing_open(name, mode="r", *args, **kwargs):
        # The application rotates after the first files are open: their names move on.
        f = open(name, mode, *args, **kwargs)
        if mode == "rb":
            opened.append(name)
            if len(opened) <= rotations:
                w.handler._fallback.doRollover()
                w.log(3)
        return f

    monkeypatch.setattr(tool, "open", racing_open, raising=False)
    assert tool.main(["--url", redis_url, "--stream", STREAM, w.path]) == 0
    assert [seq_of(p) for p in stream_payloads(redis_client)] == list(range(w.count))
    capsys.readouterr()


def test_progress_belongs_to_one_stream(redis_url, redis_client, writer):
    w = writer()
    w.log(3)
    replay(redis_url, w.path)
    other = replay(redis_url, w.path, stream="replay:other", status=3)
    assert "'replay:s', not 'replay:other'" in other.stderr
    assert not redis_client.exists("replay:other")
