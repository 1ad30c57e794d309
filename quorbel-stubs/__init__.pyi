# Type information for the quorbel extension module, which has no Python source.
#
# Defaults are the real ones, so that stub and module can be compared by
# `python -m mypy.stubtest quorbel`. The "int" parameters also take other
# numbers at run time (converted with int()), and the "bool" ones any object
# (only its truth value counts); the stub states the intended types.

import json as json
import logging as logging
import time as time
from logging.handlers import RotatingFileHandler as RotatingFileHandler
from types import ModuleType
from typing import Any, Dict, Optional

# The Redis client package, or None when importing it failed.
redis: Optional[ModuleType]
HAS_REDIS: bool
# Empty; kept for doctest collectors.
__test__: Dict[str, Any]

def _now_ns() -> str: ...
def _merge_labels(
    base: Optional[Dict[str, Any]], extra: Optional[Dict[str, Any]]
) -> Dict[str, str]: ...

class RedisStreamHandler(logging.Handler):
    stream_key: str
    # None: the stream is not trimmed.
    maxlen: Optional[int]
    default_labels: Dict[str, Any]
    drop_on_error: bool
    # Anything with an xadd method; None when no client could be made.
    _client: Any
    # Socket timeout in seconds for a client made from redis_url.
    _timeout: float
    _fallback: Optional[RotatingFileHandler]
    def __init__(
        self,
        redis_url: Optional[str] = None,
        client: Any = None,
        stream_key: str = "logs:stream",
        maxlen: int = 1000000,
        timeout_ms: int = 5,
        default_labels: Optional[Dict[str, Any]] = None,
        drop_on_error: bool = True,
        fallback_file_path: Optional[str] = None,
        fallback_max_bytes: int = 5242880,
        fallback_backup_count: int = 3,
    ) -> None: ...
    def emit(self, record: logging.LogRecord) -> None: ...

class RedisAppLogger:
    _log: logging.Logger
    def __init__(self, logger: logging.Logger) -> None: ...
    def debug(
        self, msg: str, labels: Optional[Dict[str, Any]] = None, ctx: Optional[Dict[str, Any]] = None
    ) -> None: ...
    def info(
        self, msg: str, labels: Optional[Dict[str, Any]] = None, ctx: Optional[Dict[str, Any]] = None
    ) -> None: ...
    def warning(
        self, msg: str, labels: Optional[Dict[str, Any]] = None, ctx: Optional[Dict[str, Any]] = None
    ) -> None: ...
    def error(
        self, msg: str, labels: Optional[Dict[str, Any]] = None, ctx: Optional[Dict[str, Any]] = None
    ) -> None: ...
    def exception(
        self, msg: str, labels: Optional[Dict[str, Any]] = None, ctx: Optional[Dict[str, Any]] = None
    ) -> None: ...

def get_logger(
    name: str,
    redis_url: Optional[str] = None,
    client: Any = None,
    stream_key: str = "logs:stream",
    maxlen: int = 1000000,
    timeout_ms: int = 5,
    default_labels: Optional[Dict[str, Any]] = None,
    enable_fallback_file: bool = False,
    fallback_path: str = "/var/log/app.log",
    # logging.INFO as it was when quorbel was imported.
    level: int = 20,
) -> logging.Logger: ...
