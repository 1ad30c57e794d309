# Type information for the quorbel_batch extension module, which has no Python source.
#
# Defaults are the real ones, so that stub and module can be compared by
# `python -m mypy.stubtest quorbel_batch`. The "int" parameters also take other
# numbers at run time (converted with int()), and the "bool" one any object
# (only its truth value counts); the stub states the intended types.

from typing import Any, Dict, Optional, Union

from typing_extensions import TypedDict, final

# What stats() returns: counts of records (accepted + adopted == sent + spilled + dropped +
# pending), resent sends, the bytes pending, the spool's counts (records written to it, taken
# over from gone processes, found damaged there) and the last failure's text.
class _Stats(TypedDict):
    accepted: int
    sent: int
    spilled: int
    dropped: int
    resent: int
    pending: int
    pending_bytes: int
    spooled: int
    adopted: int
    corrupt: int
    last_error: Optional[str]

# Made by its __new__; not a base class.
@final
class BatchClient:
    def __new__(
        cls,
        url: Optional[str] = None,
        # A synchronous redis-py client (Redis, a Sentinel master_for(...), RedisCluster).
        client: Any = None,
        batch_size: int = 256,
        linger_ms: int = 5,
        buffer_bytes: int = 8388608,
        timeout_ms: int = 1000,
        spill_path: Optional[str] = None,
        spill_after_ms: int = 2000,
        close_timeout_ms: int = 2000,
        # A folder for the durable spool (created if missing); None keeps records in memory.
        spool_dir: Optional[str] = None,
        spool_bytes: int = 67108864,
        sync_ms: int = 500,
    ) -> BatchClient: ...
    # fields holds exactly one entry, "payload". Raises BufferError when the record does
    # not fit in the buffer or the client is closed.
    def xadd(
        self,
        name: str,
        fields: Union[Dict[str, str], Dict[str, bytes]],
        maxlen: Optional[int] = None,
        approximate: bool = False,
    ) -> None: ...
    # True when every record accepted before the call was delivered or spilled in time.
    def flush(self, timeout: Optional[float] = None) -> bool: ...
    def close(self, timeout: Optional[float] = None) -> None: ...
    def __enter__(self) -> BatchClient: ...
    # Closes the client; an exception from the with block goes on.
    def __exit__(self, *exc_info: object) -> None: ...
    def stats(self) -> _Stats: ...
