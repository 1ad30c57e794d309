"""The quorbel-tail command: follows a quorbel log stream live and prints one readable line
per entry.

    quorbel-tail [--url redis://127.0.0.1:6379/0] [--stream logs:stream] [--from-start]

Stops cleanly on Ctrl-C or SIGTERM. Entries whose payload is not a quorbel JSON
payload are printed raw rather than skipped.
"""

import argparse
import datetime
import json
import os
import signal
import sys
import time
from types import FrameType
from typing import Any, Dict, List, Optional, TextIO

import redis

PROG = "quorbel-tail"
BLOCK_MS = 1000


class Stop(BaseException):
    """Raised from the SIGTERM handler; BaseException so that no client code swallows it."""


def _on_sigterm(signum: int, frame: Optional[FrameType]) -> None:
    raise Stop()


def local_time(ns: int) -> str:
    seconds, rest = divmod(ns, 10**9)
    stamp = datetime.datetime.fromtimestamp(seconds).replace(microsecond=rest // 1000)
    return stamp.isoformat(timespec="milliseconds")


def id_time(entry_id: str) -> str:
    """The server-assigned ID starts with the append time in milliseconds."""
    try:
        return local_time(int(entry_id.split("-", 1)[0]) * 10**6)
    except ValueError:
        return entry_id


def format_entry(entry_id: str, fields: Dict[str, str]) -> str:
    raw = fields.get("payload")
    if raw is None:
        raw = " ".join("{}={}".format(k, v) for k, v in fields.items())
    try:
        p = json.loads(raw)
        if not isinstance(p, dict):
            raise ValueError("not an object")
        when = local_time(int(p["ts"]))
        labels = p.get("labels") or {}
        if not isinstance(labels, dict):
            raise ValueError("labels not an object")
        return "{} {:<8} {}  {}  {}".format(
            when,
            str(p.get("level", "?")).upper(),
            p.get("msg", ""),
            " ".join("{}={}".format(k, v) for k, v in labels.items()),
            json.dumps(p.get("ctx", {}), ensure_ascii=False, separators=(",", ":")),
        ).rstrip()
    except (TypeError, ValueError, KeyError, OverflowError, OSError):
        return "{} {:<8} {}".format(id_time(entry_id), "RAW", raw)


def decode(value: object) -> str:
    return value.decode("utf-8", "replace") if isinstance(value, bytes) else str(value)


def start_id(client: Any, stream: str, from_start: bool) -> str:
    if from_start:
        return "0-0"
    # Resolve "$" once: reading with "$" on every round would miss entries that
    # arrive between two reads.
    newest = client.xrevrange(stream, count=1)
    return decode(newest[0][0]) if newest else "0-0"


def follow(client: Any, stream: str, from_start: bool, out: TextIO) -> None:
    last_id: Optional[str] = None
    warned = False
    while True:
        try:
            if last_id is None:
                last_id = start_id(client, stream, from_start)
                print("following {} (Ctrl-C to stop)".format(stream), file=sys.stderr, flush=True)
            reply: Any = client.xread({stream: last_id}, block=BLOCK_MS)
            warned = False
        except redis.ConnectionError as exc:
            if not warned:
                print("connection lost ({}); retrying".format(exc), file=sys.stderr, flush=True)
                warned = True
            time.sleep(1)
            continue
        for _name, entries in reply or ():
            for entry_id, fields in entries:
                entry_id = decode(entry_id)
                fields = {decode(k): decode(v) for k, v in fields.items()}
                out.write(format_entry(entry_id, fields) + "\n")
                last_id = entry_id
        out.flush()


def main(argv: Optional[List[str]] = None) -> int:
    ap = argparse.ArgumentParser(prog=PROG, description="Follow a quorbel log stream.")
    ap.add_argument("--url", default="redis://127.0.0.1:6379/0")
    ap.add_argument("--stream", default="logs:stream")
    ap.add_argument("--from-start", action="store_true",
                    help="print the entries already in the stream first")
    args = ap.parse_args(argv)

    signal.signal(signal.SIGTERM, _on_sigterm)
    client: Any = redis.Redis.from_url(args.url)
    try:
        follow(client, args.stream, args.from_start, sys.stdout)
    except (KeyboardInterrupt, Stop):
        pass
    except BrokenPipeError:
        # The reader went away (piped into head, say). Point stdout at /dev/null so
        # that the interpreter's final flush does not complain a second time.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    except redis.RedisError as exc:
        print("{}: {}".format(PROG, exc), file=sys.stderr)
        return 1
    finally:
        try:
            client.close()
        except Exception:
            pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
