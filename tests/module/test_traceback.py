"""The traceback entry that every exception leaving one of the module's callables carries."""

import logging
import os
import traceback

import pytest

import quorbel
from quorbel import RedisAppLogger, RedisStreamHandler


def last_entry(excinfo):
    frame = traceback.extract_tb(excinfo.value.__traceback__)[-1]
    return frame.name, os.path.splitext(os.path.basename(frame.filename))[0]


@pytest.mark.parametrize("call, entry", [
    (lambda: quorbel._now_ns(1), "quorbel._now_ns"),
    (lambda: quorbel._merge_labels([], None), "quorbel._merge_labels"),
    (lambda: RedisStreamHandler(maxlen="5"), "quorbel.RedisStreamHandler.__init__"),
    (lambda: RedisStreamHandler().emit(), "quorbel.RedisStreamHandler.emit"),
    (lambda: RedisAppLogger(), "quorbel.RedisAppLogger.__init__"),
    (lambda: RedisAppLogger(logging.getLogger()).warning(b"m"), "quorbel.RedisAppLogger.warning"),
    (lambda: quorbel.get_logger(None), "quorbel.get_logger"),
], ids=lambda v: v if isinstance(v, str) else "")
def test_refusal_carries_the_callables_traceback_entry(call, entry):
    with pytest.raises(TypeError) as info:
        call()
    assert last_entry(info) == (entry, "quorbel")


def test_body_failure_carries_every_entry_on_the_way(tmp_path):
    # The fallback file cannot be opened: the error comes from RotatingFileHandler, inside
    # the handler's __init__, inside get_logger.
    missing = str(tmp_path / "no" / "such" / "dir" / "f.log")
    with pytest.raises(FileNotFoundError) as info:
        quorbel.get_logger("quorbel.test.callable.tb", enable_fallback_file=True,
                           fallback_path=missing)
    names = [f.name for f in traceback.extract_tb(info.value.__traceback__)]
    assert names.index("quorbel.get_logger") < names.index("quorbel.RedisStreamHandler.__init__")
