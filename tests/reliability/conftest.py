"""Shared pieces of the reliability tests: a server of their own (the figures fixture is the
suite's)."""

import pytest

from redis_proc import RedisProcess, require_redis_server


def pytest_configure(config):
    # What `-m slow` (or `-m "not slow"`) selects, known to pytest without a warning.
    config.addinivalue_line("markers", "slow: long-running load and memory tests (run in CI too)")


@pytest.fixture
def own_server():
    """own_server(**RedisProcess options): a throwaway redis-server of the test's own, started
    now and stopped afterwards, to fault or reconfigure."""
    require_redis_server()
    started = []

    def start(**options):
        started.append(RedisProcess(**options).start())
        return started[-1]

    yield start
    for proc in started:
        proc.stop()


@pytest.fixture
def server(own_server):
    return own_server()
