"""Typed use of the public API of quorbel and quorbel_batch.

mypy --strict must accept this file against the shipped type stubs, and running
it must succeed against the built module: together they show that the stubs
describe what the module really does.
"""

import json
import logging
import sys
from typing import Any, Dict, List, Optional, Tuple

import quorbel
from quorbel import HAS_REDIS, RedisAppLogger, RedisStreamHandler, get_logger
from quorbel_batch import BatchClient


class MemoryClient:
    """Keeps appended entries in memory; anything with an xadd method serves as a client."""

    def __init__(self) -> None:
        self.entries: List[Tuple[str, Dict[str, str], Dict[str, Any]]] = []
        self.executed = 0

    def xadd(self, name: str, fields: Dict[str, str], **options: Any) -> str:
        self.entries.append((name, fields, options))
        return "%d-0" % len(self.entries)

    # BatchClient's client engine sends through a pipeline: this client is its own.
    def pipeline(self, transaction: bool = True) -> "MemoryClient":
        return self

    def execute(self, raise_on_error: bool = True) -> List[str]:
        ids = ["%d-0" % n for n in range(self.executed, len(self.entries))]
        self.executed = len(self.entries)
        return ids


def configure(client: MemoryClient) -> RedisAppLogger:
    logger: logging.Logger = get_logger(
        "typed.usage",
        client=client,
        stream_key="typed:stream",
        maxlen=100,
        default_labels={"app": "typed", "env": "test"},
        level=logging.DEBUG,
    )
    logger.propagate = False
    return RedisAppLogger(logger)


def log_through_wrapper(app: RedisAppLogger) -> None:
    app.debug("warming up")
    app.info("signed in", labels={"route": "/login"}, ctx={"user_id": 42})
    app.warning("slow", None, {"elapsed_ms": 812.5})
    app.error("declined", labels={"provider": "acme"})
    try:
        raise ValueError("boom")
    except ValueError:
        app.exception("report failed", ctx={"job": "daily"})


def direct_handler(client: MemoryClient) -> RedisStreamHandler:
    handler = RedisStreamHandler(
        client=client,
        stream_key="typed:direct",
        maxlen=0,
        timeout_ms=50,
        default_labels={"app": "direct"},
        drop_on_error=False,
    )
    record = logging.LogRecord("typed", logging.INFO, __file__, 1, "direct %s", ("call",), None)
    handler.emit(record)
    return handler


def through_batch_client() -> None:
    memory = MemoryClient()
    with BatchClient(client=memory, batch_size=16, linger_ms=0) as batch:
        log = RedisAppLogger(get_logger("typed.batch", client=batch, stream_key="typed:batch"))
        for n in range(40):
            log.info("record", ctx={"n": n})
        batch.xadd("typed:batch", {"payload": b'{"ctx":{"n":40}}'}, maxlen=10, approximate=True)
        delivered: bool = batch.flush(timeout=30.0)
        counts = batch.stats()
        sent: int = counts["sent"]
        why: Optional[str] = counts["last_error"]
        assert delivered and sent == 41 and counts["pending"] == 0 and why is None, counts
    seqs = [json.loads(fields["payload"])["ctx"]["n"] for _name, fields, _o in memory.entries]
    assert seqs == list(range(41)), seqs


def main() -> int:
    client = MemoryClient()
    log_through_wrapper(configure(client))
    handler = direct_handler(client)

    trimmed: Optional[int] = handler.maxlen
    assert trimmed is None, trimmed
    assert handler.stream_key == "typed:direct"
    assert handler._fallback is None

    # Every typed call reached the module; what each record holds, the facade's tests check.
    levels = [json.loads(fields["payload"])["level"] for _name, fields, _o in client.entries]
    assert levels == ["debug", "info", "warning", "error", "error", "info"], levels

    merged: Dict[str, str] = quorbel._merge_labels({"a": 1, "b": None}, {"a": "x", "c": 2.5})
    assert merged == {"a": "x", "c": "2.5"}, merged
    stamp: str = quorbel._now_ns()
    assert stamp.isdigit()

    # The standard modules are re-exported under their own names.
    text: str = quorbel.json.dumps({"ok": True})
    assert text == '{"ok": true}'
    assert quorbel.logging is logging
    assert issubclass(quorbel.RotatingFileHandler, logging.Handler)
    assert (quorbel.redis is not None) is HAS_REDIS
    through_batch_client()
    return 0


if __name__ == "__main__":
    sys.exit(main())
