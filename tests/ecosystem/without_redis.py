"""pytest plugin for the run without the redis client library (scripts/test.sh
loads it with -p in that one configuration, never otherwise).

Tests that need a server reached through the library skip there, and only
there: in every other run a missing library fails instead (test_client_library).
"""

import importlib.util

import pytest

# Fixtures that talk to a server through the client library.
NEEDS_LIBRARY = {"redis_server", "redis_url", "redis_client"}
# Test files whose subjects import redis themselves (the example programs).
NEEDS_LIBRARY_FILES = ("facade/test_examples.py",)


def pytest_configure(config):
    if importlib.util.find_spec("redis") is not None:
        raise pytest.UsageError(
            "the without_redis plugin is for a venv without the redis package, "
            "but this one has it")


def pytest_collection_modifyitems(config, items):
    skip = pytest.mark.skip(reason="needs the redis client library, absent in this configuration")
    for item in items:
        path = str(item.fspath).replace("\\", "/")
        if (NEEDS_LIBRARY.intersection(getattr(item, "fixturenames", ()))
                or path.endswith(NEEDS_LIBRARY_FILES)):
            item.add_marker(skip)
