"""Typed use of quorbel_batch.BatchClient.

mypy --strict must accept this file against the shipped stub, and running it must succeed
against the built module: its client engine, over a client that keeps entries in memory.
"""

import json
import sys
from typing import Any, Dict, List, Tuple

import quorbel
from quorbel_batch import BatchClient

Entry = Tuple[str, Dict[str, Any]]


class MemoryPipeline:
    def __init__(self, sink: List[Entry]) -> None:
        self.sink = sink
        self.queued: List[Entry] = []

    def xadd(self, name: str, fields: Dict[str, Any], **options: Any) -> "MemoryPipeline":
        self.queued.append((name, fields))
        return self

    def execute(self, raise_on_error: bool = True) -> List[str]:
        first = len(self.sink)
        self.sink.extend(self.queued)
        self.queued = []
        return ["%d-0" % n for n in range(first, len(self.sink))]


class MemoryRedis:
    """What the client engine asks of a redis-py client."""

    def __init__(self) -> None:
        self.entries: List[Entry] = []

    def pipeline(self, transaction: bool = True) -> MemoryPipeline:
        return MemoryPipeline(self.entries)


def main() -> int:
    memory = MemoryRedis()
    with BatchClient(client=memory, batch_size=16, linger_ms=0) as batch:
        logger = quorbel.get_logger("typed.batch", client=batch, stream_key="typed:batch")
        logger.propagate = False
        app = quorbel.RedisAppLogger(logger)
        for n in range(40):
            app.info("record", ctx={"n": n})
        batch.xadd("typed:batch", {"payload": b'{"ctx":{"n":40}}'}, maxlen=10, approximate=True)
        delivered: bool = batch.flush(timeout=30.0)
        assert delivered
        counts: Dict[str, int] = batch.stats()
        assert counts["accepted"] == counts["sent"] == 41 and counts["pending"] == 0, counts
    try:
        batch.xadd("typed:batch", {"payload": "after close"})
    except BufferError:
        pass
    else:
        raise AssertionError("a closed client took a record")
    seqs = [json.loads(fields["payload"])["ctx"]["n"] for _name, fields in memory.entries]
    assert seqs == list(range(41)), seqs
    return 0


if __name__ == "__main__":
    sys.exit(main())
