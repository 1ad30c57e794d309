"""Shared fixtures: one redis-server for the whole session, cleaned per test, loggers of a
test's own, and the figures that reliability tests measure.

Figures are printed as they are measured (visible with -s) and repeated in a
"reliability figures" section at the end of the run, so a plain run reports them too.
"""

import itertools
import logging

import pytest

from redis_proc import RedisProcess, require_redis_server

_figures = []


def pytest_terminal_summary(terminalreporter):
    if _figures:
        terminalreporter.section("reliability figures")
        for line in _figures:
            terminalreporter.write_line(line)


@pytest.fixture
def figures():
    """figures(format, *args): one measured figure, printed now and in the run's summary."""

    def report(text, *args):
        line = text % args if args else text
        _figures.append(line)
        print(line)

    return report


_serial = itertools.count()


@pytest.fixture
def logger_name(request):
    """A logger name no other test uses. Afterwards the logger's handlers are removed (their
    fallback files and clients closed), its level and propagation reset and the name forgotten."""
    name = "quorbel.test.%s.%d" % (request.node.name, next(_serial))
    yield name
    log = logging.Logger.manager.loggerDict.pop(name, None)
    if isinstance(log, logging.Logger):
        for h in list(log.handlers):
            log.removeHandler(h)
            for resource in (getattr(h, "_fallback", None), getattr(h, "_client", None)):
                if hasattr(resource, "close"):
                    resource.close()
        log.setLevel(logging.NOTSET)
        log.propagate = True


@pytest.fixture
def logger(logger_name):
    """A DEBUG logger of the test's own, not propagating (see logger_name)."""
    log = logging.getLogger(logger_name)
    log.propagate = False
    log.setLevel(logging.DEBUG)
    return log


@pytest.fixture(scope="session")
def redis_server():
    """The session's server. Never kill or pause it: start a RedisProcess of your own."""
    require_redis_server()
    with RedisProcess() as server:
        yield server


@pytest.fixture
def redis_url(redis_server):
    """URL of the session server with every database emptied first."""
    if not redis_server.running:
        # Someone broke the rule above; bring it back rather than fail every later test.
        redis_server.restart()
    client = redis_server.client()
    try:
        client.flushall()
    finally:
        client.close()
    yield redis_server.url


@pytest.fixture
def redis_client(redis_server, redis_url):
    """A decode_responses=True client on the freshly emptied session server."""
    client = redis_server.client()
    yield client
    client.close()
