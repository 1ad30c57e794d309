"""RedisStreamHandler construction: its attributes, the client and the fallback file."""

import logging
import logging.handlers
import sys
import types

import pytest

import quorbel
from quorbel import RedisStreamHandler

from fakes import RecordingClient

MyInt = type("MyInt", (int,), {})

@pytest.fixture
def fake_redis(monkeypatch):
    """install(...) binds quorbel.redis to a stand-in whose Redis.from_url records its calls in
    .calls, then raises exc or returns result."""

    def install(result=None, exc=None, has_redis=True):
        def from_url(*args, **kwargs):
            fake.calls.append((args, list(kwargs.items())))
            if exc is not None:
                raise exc
            return result

        fake = types.SimpleNamespace(Redis=types.SimpleNamespace(from_url=from_url), calls=[])
        monkeypatch.setattr(quorbel, "redis", fake)
        monkeypatch.setattr(quorbel, "HAS_REDIS", has_redis)
        return fake

    return install


# --- attributes ---------------------------------------------------------------------


def test_defaults():
    h = RedisStreamHandler()
    assert isinstance(h, logging.Handler)
    assert h.level == logging.NOTSET and h.formatter is None and h.filters == []
    assert h.stream_key == "logs:stream"
    assert h.maxlen == 1000000 and type(h.maxlen) is int
    assert h.default_labels == {} and type(h.default_labels) is dict
    assert h.drop_on_error is True
    assert h._client is None and h._fallback is None
    assert h._timeout == 0.005 and type(h._timeout) is float


def test_given_values_are_stored_and_the_client_left_uncalled(fake_redis):
    client = RecordingClient()
    labels = {"app": "api"}
    h = RedisStreamHandler(redis_url="redis://127.0.0.1:1/0", client=client, stream_key="k",
                           maxlen=7.5, timeout_ms=20, default_labels=labels, drop_on_error=0)
    assert (h.stream_key, h.maxlen, h.drop_on_error, h._timeout, h._fallback) == (
        "k", 7, False, 0.02, None)
    assert h.default_labels is labels and h._client is client and client.calls == []


# --- what the body makes of its arguments (binding and conversion: test_binder.py) ----


# The int() conversion before it: test_binder.py.
@pytest.mark.parametrize("value, stored", [
    (10, 10), (1, 1), (0, None), (-5, None), (10 ** 30, 10 ** 30), (MyInt(12), 12),
], ids=repr)
def test_maxlen_is_stored_as_an_exact_int_or_none(value, stored):
    h = RedisStreamHandler(maxlen=value)
    assert h.maxlen == stored
    assert stored is None or type(h.maxlen) is int


# Small and negative values: test_binder's conversion table, which reads _timeout too.
@pytest.mark.parametrize("value, seconds", [
    (5, 0.005), (1500, 1.5), (10 ** 300, 1e297), (10 ** 400, OverflowError),
], ids=repr)
def test_timeout(value, seconds):
    if seconds is OverflowError:
        pytest.raises(OverflowError, RedisStreamHandler, timeout_ms=value)
    else:
        h = RedisStreamHandler(timeout_ms=value)
        assert h._timeout == seconds and type(h._timeout) is float


def test_default_labels_fresh_when_empty_or_absent():
    empty = {}
    h1 = RedisStreamHandler(default_labels=empty)
    h2 = RedisStreamHandler()
    h3 = RedisStreamHandler()
    assert h1.default_labels == {} and h1.default_labels is not empty
    assert h2.default_labels is not h3.default_labels


# --- the client -------------------------------------------------------------------------


@pytest.mark.parametrize("timeout_ms, seconds", [(5, 0.005), (250, 0.25), (0, 0.001)])
def test_from_url_exact_call(fake_redis, timeout_ms, seconds):
    made = object()
    fake = fake_redis(result=made)
    h = RedisStreamHandler(redis_url="redis://127.0.0.1:1/0", timeout_ms=timeout_ms)
    assert fake.calls == [(("redis://127.0.0.1:1/0",), [
        ("socket_connect_timeout", seconds), ("socket_timeout", seconds),
        ("retry_on_timeout", True)])]
    assert fake.calls[0][1][2][1] is True
    assert h._client is made


@pytest.mark.parametrize("url, has_redis", [
    ("redis://127.0.0.1:1/0", True),   # client given: url ignored
    ("", True),
    (None, True),
    ("redis://127.0.0.1:1/0", False),
    ("redis://127.0.0.1:1/0", 0),
])
def test_no_from_url_call(fake_redis, url, has_redis):
    fake = fake_redis(result=object(), has_redis=has_redis)
    client = RecordingClient() if has_redis is True and url else None
    h = RedisStreamHandler(redis_url=url, client=client)
    assert fake.calls == []
    assert h._client is client
    if client is not None:
        assert client.calls == []


@pytest.mark.parametrize("exc", [ValueError("bad url"), ConnectionError("x"), OSError(5, "io")])
def test_from_url_failure_leaves_no_client(fake_redis, exc):
    fake_redis(exc=exc)
    try:
        raise KeyError("being handled")
    except KeyError as outer:
        outer_tb = outer.__traceback__
        h = RedisStreamHandler(redis_url="redis://127.0.0.1:1/0")
        assert sys.exc_info()[1] is outer
        assert outer.__traceback__ is outer_tb
    assert h._client is None
    fake_redis(exc=KeyboardInterrupt())  # not an Exception: it propagates
    pytest.raises(KeyboardInterrupt, RedisStreamHandler, redis_url="redis://127.0.0.1:1/0")


def test_real_library_from_url():
    redis = pytest.importorskip("redis")
    if not quorbel.HAS_REDIS:
        pytest.skip("quorbel was imported without the redis library")
    h = RedisStreamHandler(redis_url="redis://127.0.0.1:1/3", timeout_ms=40)
    assert isinstance(h._client, redis.Redis)
    kw = h._client.connection_pool.connection_kwargs
    assert kw["socket_timeout"] == 0.04 and kw["socket_connect_timeout"] == 0.04
    assert kw["retry_on_timeout"] is True and kw["db"] == 3
    assert RedisStreamHandler(redis_url="nosuchscheme://127.0.0.1")._client is None


# --- the fallback file ----------------------------------------------------------------


def test_real_fallback_file(tmp_path):
    path = tmp_path / "fallback.log"
    path.write_text("kept\n")
    h = RedisStreamHandler(fallback_file_path=str(path), fallback_max_bytes=1234.7,
                           fallback_backup_count=7)
    fb = h._fallback
    assert type(fb) is logging.handlers.RotatingFileHandler
    assert (fb.baseFilename, fb.mode, fb.encoding) == (str(path), "a", "utf-8")
    assert (fb.maxBytes, fb.backupCount) == (1234, 7) and type(fb.maxBytes) is int
    assert type(fb.formatter) is logging.Formatter and fb.formatter._fmt == "%(message)s"
    assert fb.level == logging.NOTSET and fb.filters == []
    h.close()  # the stream handler never closes its fallback
    assert fb.stream is not None and not fb.stream.closed
    fb.close()
    assert path.read_text() == "kept\n"  # opened at once, for appending


def test_empty_fallback_path_opens_nothing():
    assert RedisStreamHandler(fallback_file_path="")._fallback is None


# --- the base initialiser ---------------------------------------------------------------


def test_base_init_is_next_in_mro_without_arguments():
    seen = []

    class Middle(logging.Handler):
        def __init__(self, *args, **kwargs):
            seen.append((args, kwargs))
            super().__init__(level=logging.ERROR)

    class Combined(RedisStreamHandler, Middle):
        pass

    h = Combined(stream_key="k", maxlen=3)
    assert seen == [((), {})]
    assert h.level == logging.ERROR and h.stream_key == "k" and h.maxlen == 3
