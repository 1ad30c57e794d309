"""BatchClient's own behaviour: what it refuses, what it counts, a full and a closed buffer,
the state a forked child starts from, and memory that stays flat.

A url with a port nobody listens on (127.0.0.1) stands for a server that is down: records
stay pending there, since nothing is spilled without a spill_path.
"""

import gc
import inspect
import json
import math
import multiprocessing
import os
import sys
import threading
import time

import pytest

from fakes import asyncio_redis
from quorbel_batch import BatchClient
from redis_proc import RedisProcess, free_port, require_redis_server

DOWN = "redis://127.0.0.1:%d/0" % free_port()
PAYLOAD = {"payload": '{"message":"x"}'}


def tasks():
    """The threads of this process, the shipper included (it is not a Python thread)."""
    return len(os.listdir("/proc/self/task"))


def invariant(stats):
    return stats["accepted"] == (stats["sent"] + stats["spilled"] + stats["dropped"]
                                 + stats["pending"])


@pytest.fixture
def down():
    client = BatchClient(url=DOWN, close_timeout_ms=0)
    yield client
    client.close()


def asyncio_client():
    return asyncio_redis(port=free_port())


CONSTRUCTOR_REFUSALS = [
    ({}, TypeError, "needs one of url and client"),
    ({"url": DOWN, "client": object()}, TypeError, "not both"),
    ({"url": b"redis://127.0.0.1"}, TypeError, "Argument 'url' has incorrect type"),
    ({"url": "rediss://127.0.0.1:6380"}, ValueError, "client="),
    ({"url": "http://127.0.0.1"}, ValueError, ""),
    ({"url": DOWN, "bogus": 1}, TypeError, "unexpected keyword argument 'bogus'"),
    ({"url": DOWN, "batch_size": 0}, ValueError, "batch_size must be between 1 and 10000"),
    ({"url": DOWN, "batch_size": 10001}, ValueError, "batch_size must be between 1 and 10000"),
    ({"url": DOWN, "batch_size": "8"}, TypeError, "expected int, got str"),
    ({"url": DOWN, "linger_ms": -1}, ValueError, "linger_ms must be between 0"),
    ({"url": DOWN, "buffer_bytes": 1023}, ValueError, "buffer_bytes must be between 1024"),
    ({"url": DOWN, "buffer_bytes": 2 ** 80}, ValueError, "buffer_bytes must be between 1024"),
    ({"url": DOWN, "timeout_ms": 0}, ValueError, "timeout_ms must be between 1"),
    ({"url": DOWN, "spill_after_ms": -1}, ValueError, "spill_after_ms must be between 0"),
    ({"url": DOWN, "close_timeout_ms": -1}, ValueError, "close_timeout_ms must be between 0"),
    ({"url": DOWN, "spill_path": 3}, TypeError, "Argument 'spill_path' has incorrect type"),
    ({"url": DOWN, "spill_path": "a\0b"}, ValueError, "embedded null byte"),
    ({"url": DOWN, "spill_path": "/nonexistent/quorbel/spill.log"}, FileNotFoundError, ""),
    ({"url": DOWN, "spool_dir": b"/tmp"}, TypeError, "Argument 'spool_dir' has incorrect type"),
    ({"url": DOWN, "spool_dir": "a\0b"}, ValueError, "embedded null byte"),
    ({"url": DOWN, "spool_dir": "/nonexistent/quorbel/spool"}, FileNotFoundError, ""),
    ({"url": DOWN, "spool_dir": "/proc/quorbel-spool"}, OSError, ""),
    ({"url": DOWN, "spool_dir": "/dev/null"}, NotADirectoryError, ""),
    ({"url": DOWN, "spool_bytes": 65535}, ValueError, "spool_bytes must be between 65536"),
    ({"url": DOWN, "sync_ms": 0}, ValueError, "sync_ms must be between 1"),
    ({"client": object()}, TypeError, "pipeline() method"),
    ({"client": asyncio_client}, TypeError, "asyncio"),
]


@pytest.mark.parametrize("kwargs, error, text", CONSTRUCTOR_REFUSALS)
def test_constructor_refusals(kwargs, error, text):
    kwargs = {k: v() if callable(v) and k == "client" else v for k, v in kwargs.items()}
    with pytest.raises(error) as info:
        BatchClient(**kwargs)
    assert text in str(info.value)


def test_numbers_are_converted_as_the_handler_converts_them():
    client = BatchClient(url=DOWN, batch_size=8.9, close_timeout_ms=True)
    client.close()


XADD_REFUSALS = [
    ((1, PAYLOAD), {}, TypeError, "Argument 'name' has incorrect type (expected str, got int)"),
    (("s", [("payload", "x")]), {}, TypeError, "Argument 'fields' has incorrect type"),
    (("s", {}), {}, ValueError, 'exactly one entry, "payload"'),
    (("s", {"payload": "x", "other": "y"}), {}, ValueError, "exactly one entry"),
    (("s", {"other": "x"}), {}, ValueError, "exactly one entry"),
    (("s", {"payload": 1}), {}, TypeError, "str or bytes, not int"),
    (("s", {"payload": bytearray(b"x")}), {}, TypeError, "str or bytes, not bytearray"),
    (("s", {"payload": b"\xc3("}), {}, ValueError, "not valid UTF-8"),
    (("s", {"payload": b"\xed\xa0\x80"}), {}, ValueError, "not valid UTF-8"),
    (("s", {"payload": "\ud800"}), {}, UnicodeEncodeError, ""),
    (("s", PAYLOAD), {"maxlen": -1}, ValueError, "maxlen must be a non-negative integer"),
    (("s", PAYLOAD), {"maxlen": 2 ** 70}, ValueError, "maxlen must be a non-negative integer"),
    (("s", PAYLOAD), {"maxlen": "10"}, TypeError, "Argument 'maxlen' has incorrect type"),
    (("s", PAYLOAD), {"maxlen": True}, TypeError, "Argument 'maxlen' has incorrect type"),
    (("s", PAYLOAD), {"id": "*"}, TypeError, "unexpected keyword argument 'id'"),
    (("s",), {}, TypeError, "xadd() takes at least 2 positional arguments (1 given)"),
]


@pytest.mark.parametrize("args, kwargs, error, text", XADD_REFUSALS)
def test_xadd_refusals_accept_nothing(down, args, kwargs, error, text):
    with pytest.raises(error) as info:
        down.xadd(*args, **kwargs)
    assert text in str(info.value)
    assert down.stats()["accepted"] == 0


def test_a_spill_file_holds_one_stream_and_whole_lines(tmp_path):
    client = BatchClient(url=DOWN, spill_path=str(tmp_path / "spill.log"), close_timeout_ms=0)
    client.xadd("one", PAYLOAD)
    with pytest.raises(ValueError, match="holds one stream: it serves 'one', not 'two'"):
        client.xadd("two", PAYLOAD)
    for text in ("a\nb", "a\rb"):
        with pytest.raises(ValueError, match="line break"):
            client.xadd("one", {"payload": text})
    assert client.stats()["accepted"] == 1
    client.close()
    assert (tmp_path / "spill.log").read_text(encoding="utf-8") == PAYLOAD["payload"] + "\n"


@pytest.mark.parametrize("method", ["flush", "close"])
@pytest.mark.parametrize("timeout, error", [(-1, ValueError), (math.nan, ValueError),
                                             ("1", TypeError)])
def test_timeout_refusals(down, method, timeout, error):
    with pytest.raises(error):
        getattr(down, method)(timeout)


def test_a_full_buffer_and_a_closed_client_raise_buffer_error(down):
    accepted = 0
    with pytest.raises(BufferError, match="the buffer is full"):
        for accepted in range(100000):
            down.xadd("s", PAYLOAD)
    stats = down.stats()
    assert stats["accepted"] == stats["pending"] == accepted
    with pytest.raises(BufferError, match="does not fit in buffer_bytes=8388608"):
        down.xadd("s", {"payload": "x" * 8388608})
    assert down.flush(0.05) is False
    down.close(0)
    stats = down.stats()
    assert stats["dropped"] == accepted and stats["pending"] == 0 and invariant(stats)
    with pytest.raises(BufferError, match="closed"):
        down.xadd("s", PAYLOAD)


def test_counts_add_up_whenever_read(tmp_path):
    require_redis_server()
    with RedisProcess() as server:
        client = BatchClient(url=server.url, timeout_ms=100, spill_after_ms=300,
                             spill_path=str(tmp_path / "spill.log"), buffer_bytes=1 << 16)
        reads, broken, stop = [0], [], threading.Event()

        def read():
            while not stop.is_set():
                stats = client.stats()
                reads[0] += 1
                if not invariant(stats):
                    broken.append(stats)
                time.sleep(0.0001)

        reader = threading.Thread(target=read)
        reader.start()
        try:
            for i in range(6000):
                if i == 2000:
                    server.pause()
                elif i == 4000:
                    server.resume()
                try:
                    client.xadd("s", PAYLOAD)
                except BufferError:
                    pass
                time.sleep(0.0002)
            assert client.flush(10)
        finally:
            stop.set()
            reader.join()
            server.resume()
        stats = client.stats()
        client.close()
    assert stats["pending"] == 0 and stats["dropped"] == 0
    assert stats["sent"] > 0 and stats["spilled"] > 0
    assert reads[0] > 100 and broken == [] and invariant(stats)


def test_a_forked_child_starts_empty_and_sends_only_its_own(redis_server, redis_url,
                                                            redis_client):
    client = BatchClient(url=redis_url, linger_ms=0, timeout_ms=10000)
    client.xadd("s", {"payload": "warm"})
    assert client.flush(5)
    redis_server.pause()
    try:
        for i in range(50):
            client.xadd("s", {"payload": "parent %d" % i})
        pid = os.fork()
        if pid == 0:
            code = 1
            try:
                stats = client.stats()
                alone = tasks() == 1
                client.xadd("s", {"payload": "child"})
                started = tasks() == 2
                if (alone and started and stats["accepted"] == stats["pending"] == 0
                        and client.flush(10) and client.stats()["sent"] == 1):
                    code = 0
            finally:
                os._exit(code)
    finally:
        redis_server.resume()
    assert os.waitpid(pid, 0)[1] == 0
    assert client.flush(10)
    client.close()
    payloads = [fields["payload"] for _, fields in redis_client.xrange("s")]
    assert sorted(payloads) == sorted(["warm", "child"] + ["parent %d" % i for i in range(50)])


def log_and_return(client, count):
    for i in range(count):
        client.xadd("s", {"payload": json.dumps({"i": i})})


def test_a_multiprocessing_child_delivers_what_it_logged_before_it_ends(redis_url,
                                                                        redis_client):
    client = BatchClient(url=redis_url, linger_ms=1000)
    child = multiprocessing.get_context("fork").Process(target=log_and_return,
                                                        args=(client, 500))
    child.start()
    child.join(30)
    assert child.exitcode == 0
    client.close()
    assert redis_client.xlen("s") == 500


def allocated():
    gc.collect()
    return sys.getallocatedblocks(), len(gc.get_objects())


ROUNDS = 20000


@pytest.mark.parametrize("road", ["accepted", "refused", "made_and_closed"])
def test_memory_stays_flat(redis_url, road):
    client = BatchClient(url=redis_url)
    bad = {"payload": 1}

    def run(n):
        for i in range(n):
            if road == "accepted":
                client.xadd("s", {"payload": "%d" % i}, maxlen=1000, approximate=True)
            elif road == "refused":
                try:
                    client.xadd("s", bad, maxlen=10)
                except TypeError:
                    pass
            elif i % 100 == 0:
                with BatchClient(url=redis_url) as other:
                    other.xadd("s", PAYLOAD)
        client.flush(10)

    run(ROUNDS // 10)
    blocks, objects = allocated()
    run(ROUNDS)
    grown_blocks, grown_objects = allocated()
    client.close()
    assert grown_blocks - blocks < 200 and grown_objects - objects < 50


@pytest.mark.parametrize("callable_, text", [
    (BatchClient, "(url=None, client=None, batch_size=256, linger_ms=5, buffer_bytes=8388608, "
                  "timeout_ms=1000, spill_path=None, spill_after_ms=2000, close_timeout_ms=2000, "
                  "spool_dir=None, spool_bytes=67108864, sync_ms=500)"),
    (BatchClient.xadd, "(self, /, name, fields, maxlen=None, approximate=False)"),
    (BatchClient.flush, "(self, /, timeout=None)"),
])
def test_signatures_read_as_the_calls_bind(callable_, text):
    assert str(inspect.signature(callable_)) == text
