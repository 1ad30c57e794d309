"""Fixtures of the background-delivery tests: a server of the test's own, clients of both
engines aimed at it (the native one from a URL, the client one over redis-py), and loggers
that deliver through them."""

import logging
import subprocess
import sys
import time

import pytest
import redis

import quorbel
from quorbel_batch import BatchClient
from redis_proc import HOST, RedisProcess, closable, require_redis_server

# An acknowledged XADD survives the server's SIGKILL: write() happens before the reply.
DURABLE = ("--appendonly", "yes", "--appendfsync", "no")


def redis_options():
    """Options of a redis-py client for the client engine: short timeouts and no retries of its
    own, since a pipeline that redis-py re-sends doubles records without the shipper knowing."""
    options = dict(socket_timeout=0.5, socket_connect_timeout=0.5)
    try:
        from redis.backoff import NoBackoff
        from redis.retry import Retry
    except ImportError:  # redis-py 3: no retry policy to turn off
        return options
    options["retry"] = Retry(NoBackoff(), 0)
    return options


# A child that hangs shows where: its threads' stacks go to stderr shortly before it is killed.
CHILD = """
import faulthandler, json, os, signal, sys, time
import quorbel, redis
from quorbel_batch import BatchClient
faulthandler.dump_traceback_later(%d)
client = BatchClient(%s)
"""


@pytest.fixture(params=["url", "client"])
def engine(request):
    """The native engine (url=) or the client engine (client=redis.Redis). Tests of what the
    client engine's two roads do differently add "pipeline" by parametrizing engine."""
    return request.param


class PipelineOnly:
    """A client that is not a redis.Redis, as a RedisCluster is not: the client engine sends
    through its pipeline() rather than on a pooled connection of its own."""

    def __init__(self, client):
        self.pipeline, self.close = client.pipeline, client.close


@pytest.fixture
def server():
    """A redis-server of the test's own, to stop, stall or restart; it keeps its data."""
    require_redis_server()
    proc = RedisProcess(args=DURABLE).start()
    yield proc
    proc.stop()


@pytest.fixture
def batch_client():
    """batch_client(engine, port, **options): a BatchClient aimed at 127.0.0.1:port, closed with
    a short deadline at the end of the test."""
    made, clients = [], []

    def make(engine, port, **options):
        if engine == "url":
            options["url"] = "redis://%s:%d/0" % (HOST, port)
        else:
            clients.append(closable(redis.Redis(host=HOST, port=port, **redis_options())))
            options["client"] = PipelineOnly(clients[-1]) if engine == "pipeline" else clients[-1]
        made.append(BatchClient(**options))
        return made[-1]

    yield make
    for client in made + clients:
        client.close(timeout=1) if isinstance(client, BatchClient) else client.close()


@pytest.fixture
def logger_for(request):
    """logger_for(client, road="get_logger", fallback=None, **options): a fresh logger delivering
    through client, built with get_logger (given the options) or by attaching a
    RedisStreamHandler; detached afterwards, with the Redis client a handler made closed."""
    made = []

    def make(client, road="get_logger", fallback=None, **options):
        name = "quorbel.batch.%s.%d" % (request.node.name, len(made))
        if road == "get_logger":
            if fallback is not None:
                options.update(enable_fallback_file=True, fallback_path=str(fallback))
            log = quorbel.get_logger(name, client=client, **options)
        else:
            log = logging.getLogger(name)
            log.setLevel(logging.INFO)
            log.addHandler(quorbel.RedisStreamHandler(
                client=client, fallback_file_path=None if fallback is None else str(fallback)))
        log.propagate = False
        made.append(log)
        return log

    yield make
    for log in made:
        for handler in [h for h in log.handlers if isinstance(h, quorbel.RedisStreamHandler)]:
            log.removeHandler(handler)
            if handler._fallback is not None:
                handler._fallback.close()
            if isinstance(handler._client, redis.Redis):
                closable(handler._client).close()


@pytest.fixture
def run_child():
    """run_child(engine, port, body, timeout=60, **options): runs body in a fresh interpreter
    whose `client` is a BatchClient aimed at 127.0.0.1:port (the client engine's redis.Redis has
    redis-py's own defaults, timeouts and retries); returns the finished process and when it
    ended. A child that hangs is killed at the timeout, failing the test."""

    def run(engine, port, body, timeout=60, **options):
        target = ("url='redis://%s:%d/0'" % (HOST, port) if engine == "url"
                  else "client=redis.Redis(host='%s', port=%d)" % (HOST, port))
        arguments = ", ".join([target] + ["%s=%r" % o for o in options.items()])
        try:
            done = subprocess.run([sys.executable, "-c", CHILD % (timeout - 5, arguments) + body],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  universal_newlines=True, timeout=timeout)
        except subprocess.TimeoutExpired as exc:
            stacks = exc.stderr  # bytes, whatever the text mode
        else:
            return done, time.monotonic()
        pytest.fail("the child still ran after %d s\n%s"
                    % (timeout, stacks.decode(errors="replace") if stacks else ""), pytrace=False)

    return run
