"""The quorbel-replay command: appends the records of quorbel's fallback or spill files to a
Redis stream. What it does, and its exit status, are in DETAILS, which --help shows."""

import argparse
import fcntl
import hashlib
import json
import os
import re
import sys
import tempfile
from typing import Any, BinaryIO, Dict, Iterator, List, NamedTuple, Optional, Tuple

import redis

PROG = "quorbel-replay"
DETAILS = """\
PATH is a file that RedisStreamHandler writes as its fallback file, or one
that quorbel_batch.BatchClient writes as its spill file: both hold one payload
per line and rotate the same way. The files are read oldest first (PATH.N ...
PATH.1, then PATH), and each complete line is appended unchanged as one stream
entry whose single field is "payload", trimmed with MAXLEN ~ as the handler
trims (--maxlen 0: no trimming). Progress is kept in a sidecar file
(PATH.replay unless --progress says otherwise), so the command can run again
and again, also while the application keeps logging and rotating: each run
appends only the lines that no earlier run appended. A line that is not a
payload object is reported on stderr and skipped for good; a last line still
being written is left for a later run.

Exit status: 0 when every line was appended, 1 when some lines were skipped, 2
for usage errors, 3 when the run stopped early (Redis unreachable or refusing,
neither PATH nor a backup of it, another replay running, a progress file of
another stream): a later run carries on from the last batch this one appended.
"""

KEYS = ["ts", "level", "msg", "labels", "ctx"]
BATCH_LINES = 500
BATCH_BYTES = 1 << 20
CHUNK = 1 << 16
SNAPSHOT_TRIES = 20

# How progress is kept. The handler rotates by renaming (PATH -> PATH.1 -> PATH.2 ...) and
# removes the oldest, so a name says nothing about which lines a file holds. A file is
# recognised by its content instead: it only grows at its end while it is PATH, and never
# changes once rotated. For each file the progress file keeps how many bytes were consumed
# and the SHA-256 of exactly those bytes; a file whose first `offset` bytes hash to a kept
# digest resumes after them. The marks are kept oldest first, the order that rotation
# preserves, and matched in that order, so files that begin with the same bytes are told
# apart by their age rather than mixed up.


class ReplayError(Exception):
    """A reason to stop the run; what was appended so far is recorded."""


class Mark(NamedTuple):
    """The consumed beginning of one file."""

    offset: int
    sha256: str


class Prefix:
    """Running digest, length and line count of the bytes consumed from one file."""

    def __init__(self) -> None:
        self._hash = hashlib.sha256()
        self.offset = 0
        self.lines = 0

    def feed(self, data: bytes) -> None:
        self._hash.update(data)
        self.offset += len(data)
        self.lines += data.count(b"\n")

    def copy(self) -> "Prefix":
        other = Prefix()
        other._hash = self._hash.copy()
        other.offset, other.lines = self.offset, self.lines
        return other

    def mark(self) -> Mark:
        return Mark(self.offset, self._hash.hexdigest())


class Source(NamedTuple):
    name: str
    file: BinaryIO
    size: int
    active: bool


class Progress:
    """The sidecar file: the stream it feeds and a Mark per file, oldest first."""

    def __init__(self, path: str, stream: str) -> None:
        self.path = path
        self.stream = stream

    def load(self) -> List[Mark]:
        try:
            with open(self.path, encoding="utf-8") as f:
                data = json.load(f)
        except FileNotFoundError:
            return []
        except ValueError as exc:
            raise ReplayError("{} is damaged ({}); move it away to replay every line "
                              "again".format(self.path, exc))
        try:
            stream = data["stream"]
            marks = [Mark(int(m["offset"]), str(m["sha256"])) for m in data["files"]]
        except (TypeError, KeyError, ValueError):
            raise ReplayError("{} is not a progress file of this tool".format(self.path))
        if stream != self.stream:
            raise ReplayError("{} records progress into stream {!r}, not {!r}; give another "
                              "--progress file".format(self.path, stream, self.stream))
        return marks

    def save(self, marks: List[Mark]) -> None:
        # Written aside and renamed over, so that a crash leaves the old or the new state.
        data = {"stream": self.stream,
                "files": [{"offset": m.offset, "sha256": m.sha256} for m in marks]}
        directory = os.path.dirname(os.path.abspath(self.path))
        fd, temp = tempfile.mkstemp(prefix=".replay-", dir=directory)
        try:
            with os.fdopen(fd, "w", encoding="utf-8") as f:
                json.dump(data, f)
                f.flush()
                os.fsync(f.fileno())
            os.replace(temp, self.path)
        except BaseException:
            try:
                os.unlink(temp)
            except OSError:
                pass
            raise


def fallback_names(path: str) -> List[str]:
    """PATH's rotated backups, highest number (oldest) first, then PATH; those that exist."""
    directory, base = os.path.split(os.path.abspath(path))
    backup = re.compile(re.escape(base) + r"\.([1-9][0-9]*)")
    numbers = []
    for entry in os.listdir(directory):
        m = backup.fullmatch(entry)
        if m:
            numbers.append(int(m.group(1)))
    names = ["{}.{}".format(path, n) for n in sorted(numbers, reverse=True)]
    if os.path.exists(path):
        names.append(path)
    return names


def close_all(sources: List[Source]) -> None:
    for s in sources:
        s.file.close()


def open_snapshot(path: str) -> List[Source]:
    """Opens every file of one rotation state.

    A rotation between listing and opening would otherwise pair names with the wrong
    files and read them out of order; so the names are listed again after opening, and
    each must still name the file that was opened.
    """
    for _ in range(SNAPSHOT_TRIES):
        names = fallback_names(path)
        if not names:
            raise ReplayError("neither {} nor a rotated backup of it exists".format(path))
        sources: List[Source] = []
        try:
            for name in names:
                f = open(name, "rb")
                sources.append(Source(name, f, os.fstat(f.fileno()).st_size, name == path))
            if fallback_names(path) == names and all(
                    os.path.samestat(os.fstat(s.file.fileno()), os.stat(s.name))
                    for s in sources):
                return sources
        except FileNotFoundError:
            pass
        close_all(sources)
    raise ReplayError("the fallback files kept rotating while being opened; try again")


def resume_point(source: Source, marks: List[Mark], first: int) -> Tuple[Optional[int], Prefix]:
    """The first of marks[first:] that the file begins with, and the prefix it leaves off at."""
    wanted = sorted({m.offset for m in marks[first:] if 0 < m.offset <= source.size})
    found: Dict[Mark, Prefix] = {}
    prefix = Prefix()
    source.file.seek(0)
    for offset in wanted:
        while prefix.offset < offset:
            chunk = source.file.read(min(CHUNK, offset - prefix.offset))
            if not chunk:
                break
            prefix.feed(chunk)
        if prefix.offset < offset:
            break
        found[prefix.mark()] = prefix.copy()
    for index in range(first, len(marks)):
        if marks[index] in found:
            return index, found[marks[index]]
    return None, Prefix()


class _Members(List[Tuple[str, Any]]):
    """A JSON object's members in their order, duplicates kept."""


def why_not_payload(line: bytes) -> Optional[str]:
    """None for a payload line as the handler writes it (no terminator), else the reason."""
    try:
        text = line.decode("utf-8")
    except UnicodeDecodeError:
        return "not UTF-8"
    if text[:1] != "{" or text[-1:] != "}":
        return "not a JSON object"
    try:
        value = json.loads(text, object_pairs_hook=_Members)
    except (ValueError, RecursionError) as exc:
        return "not JSON ({})".format(exc)
    keys = [k for k, _ in value]
    if keys != KEYS:
        return "members {} instead of {}".format(",".join(keys), ",".join(KEYS))
    members = dict(value)
    if not isinstance(members["ts"], str) or not re.fullmatch(r"[0-9]+", members["ts"]):
        return "ts is not a string of digits"
    if not isinstance(members["level"], str) or not isinstance(members["msg"], str):
        return "level or msg is not a string"
    labels = members["labels"]
    if not isinstance(labels, _Members) or not all(isinstance(v, str) for _, v in labels):
        return "labels is not an object of strings"
    return None


class Replay:
    def __init__(self, client: Any, stream: str, maxlen: int, progress: Progress) -> None:
        self.client = client
        self.stream = stream
        self.maxlen = maxlen
        self.progress = progress
        self.saved: List[Mark] = []
        self.appended = 0
        self.skipped = 0

    def append(self, payloads: List[bytes]) -> None:
        # One transaction per batch: the batch is in the stream as a whole or not at all.
        pipe = self.client.pipeline(transaction=True)
        for payload in payloads:
            if self.maxlen:
                pipe.xadd(self.stream, {"payload": payload}, maxlen=self.maxlen,
                          approximate=True)
            else:
                pipe.xadd(self.stream, {"payload": payload})
        pipe.execute()
        self.appended += len(payloads)

    def lines(self, source: Source, prefix: Prefix) -> Iterator[Tuple[int, bytes, Optional[str]]]:
        """(line number, line, reason to skip it) for each line after prefix, fed to it.

        A file that is PATH may be written to right now: its last line counts only once it
        is complete, and nothing written after the snapshot is read. A rotated file never
        changes again, so an unterminated last line there is final (a writer that died).
        """
        source.file.seek(prefix.offset)
        while prefix.offset < source.size:
            line = source.file.readline(source.size - prefix.offset)
            if not line:
                break
            number = prefix.lines + 1
            if line.endswith(b"\n"):
                prefix.feed(line)
                yield number, line[:-1], why_not_payload(line[:-1])
            elif source.active:
                break
            else:
                prefix.feed(line)
                yield number, line, "unterminated last line"

    def save(self, marks: List[Mark]) -> None:
        if marks != self.saved:
            self.progress.save(marks)
            self.saved = marks

    def run(self, sources: List[Source]) -> None:
        old = self.saved = self.progress.load()
        done: List[Mark] = []
        first = 0
        for source in sources:
            index, prefix = resume_point(source, old, first)
            if index is not None:
                first = index + 1
            batch: List[bytes] = []
            size = 0
            for number, line, reason in self.lines(source, prefix):
                if reason is not None:
                    self.skipped += 1
                    print("{}: {} line {}: skipped, {}: {!r}".format(
                        PROG, source.name, number, reason, line[:120]), file=sys.stderr)
                    continue
                batch.append(line)
                size += len(line)
                if len(batch) >= BATCH_LINES or size >= BATCH_BYTES:
                    self.append(batch)
                    batch, size = [], 0
                    # Marks of files not reached yet stay, in order, behind this one's.
                    self.save(done + [prefix.mark()] + old[first:])
            if batch:
                self.append(batch)
            if prefix.offset:
                done.append(prefix.mark())
            self.save(done + old[first:])
        self.save(done)


def length(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError("must be 0 (no trimming) or more")
    return value


def main(argv: Optional[List[str]] = None) -> int:
    ap = argparse.ArgumentParser(
        prog=PROG, description="Append quorbel fallback-file records to a Redis stream.",
        epilog=DETAILS, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--url", required=True, help="e.g. redis://127.0.0.1:6379/0")
    ap.add_argument("--stream", required=True, help="the stream key, e.g. logs:stream")
    ap.add_argument("--maxlen", type=length, default=1000000,
                    help="approximate length cap of the stream (0: none; default 1000000)")
    ap.add_argument("--progress", help="the progress file (default: PATH.replay)")
    ap.add_argument("path", metavar="PATH", help="the fallback or spill file")
    args = ap.parse_args(argv)
    progress = Progress(args.progress or args.path + ".replay", args.stream)

    try:
        client: Any = redis.Redis.from_url(args.url, socket_connect_timeout=10,
                                           socket_timeout=30)
    except ValueError as exc:
        ap.error("--url: {}".format(exc))
    replay = Replay(client, args.stream, args.maxlen, progress)
    sources: List[Source] = []
    try:
        with open(progress.path + ".lock", "a") as lock:
            try:
                fcntl.flock(lock.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                raise ReplayError("another replay holds {}".format(lock.name))
            sources = open_snapshot(args.path)
            replay.run(sources)
    except (ReplayError, redis.RedisError, OSError) as exc:
        print("{}: {}".format(PROG, exc), file=sys.stderr)
        print("{}: stopped after appending {} entries; run again to continue".format(
            PROG, replay.appended), file=sys.stderr)
        return 3
    finally:
        close_all(sources)
        client.close()
    print("{}: appended {} entries to {}, skipped {} lines".format(
        PROG, replay.appended, args.stream, replay.skipped))
    return 1 if replay.skipped else 0


if __name__ == "__main__":
    sys.exit(main())
