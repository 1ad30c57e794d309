"""Shared pieces of the reliability tests: reading back both destinations of a record,
and the figures (counts, timings, growth) that the tests measure.

Figures are printed as they are measured (visible with -s) and repeated in a
"reliability figures" section at the end of the run, so a plain run reports them too.
"""

import json
import os

import pytest

from redis_proc import RedisProcess, require_redis_server

_figures = []


def pytest_configure(config):
    # Registered here as well as in the project configuration, so that selecting
    # `-m slow` (or `-m "not slow"`) works whichever configuration file is in use.
    config.addinivalue_line("markers", "slow: long-running load and memory tests (run in CI too)")


def pytest_terminal_summary(terminalreporter):
    if _figures:
        terminalreporter.section("reliability figures")
        for line in _figures:
            terminalreporter.write_line(line)


@pytest.fixture
def server():
    """A throwaway redis-server of the test's own, to fault or reconfigure."""
    require_redis_server()
    proc = RedisProcess().start()
    yield proc
    proc.stop()


@pytest.fixture
def figures():
    """figures(format, *args): one measured figure, printed now and in the run's summary."""

    def report(text, *args):
        line = text % args if args else text
        _figures.append(line)
        print(line)

    return report


def fallback_files(path):
    """The fallback file and its rotated backups (path.1, path.2, ...) that exist."""
    path = str(path)
    found = [path] if os.path.exists(path) else []
    index = 1
    while os.path.exists("%s.%d" % (path, index)):
        found.append("%s.%d" % (path, index))
        index += 1
    return found


def read_fallback(path):
    """Every payload written to the fallback file and its backups.

    Lines are split on LF alone: that is the terminator the file handler writes, and
    a payload that carried a raw CR or LF would show up here as an unparseable line.
    """
    payloads = []
    for name in fallback_files(path):
        with open(name, "rb") as f:
            data = f.read()
        assert not data or data.endswith(b"\n"), "%s ends in a partial line" % name
        for line in data.split(b"\n")[:-1]:
            assert b"\r" not in line, "raw CR in a fallback line of %s" % name
            payloads.append(json.loads(line.decode("utf-8")))
    return payloads


def read_stream(client, key):
    """Every decoded payload of the stream, oldest first, read in bounded chunks."""
    payloads = []
    start = "-"
    while True:
        chunk = client.xrange(key, min=start, max="+", count=5000)
        if not chunk:
            return payloads
        for entry_id, fields in chunk:
            assert set(fields) == {"payload"}
            payloads.append(json.loads(fields["payload"]))
        start = "(" + chunk[-1][0]


@pytest.fixture
def readers():
    """The two read-back helpers, for tests that cannot import this file by name."""

    class Readers:
        fallback = staticmethod(read_fallback)
        stream = staticmethod(read_stream)
        files = staticmethod(fallback_files)

    return Readers
