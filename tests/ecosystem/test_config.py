"""RedisStreamHandler inside the standard configuration paths and in front of
or behind other producers: dictConfig, fileConfig, QueueHandler/QueueListener,
the root logger, captured warnings, a library logger, structlog and loguru."""

import asyncio
import logging
import logging.config
import logging.handlers
import queue
import sys
import textwrap
import warnings

import pytest

import quorbel
from fakes import RecordingClient
from readback import read_stream
from redis_proc import require_module

STREAM = "eco:config"
# Generous: these tests check what arrives, not how fast, on a shared machine.
TIMEOUT_MS = 2000
DEFAULTS = {"app": "eco", "env": "test"}


def stream_handler(redis_url, **options):
    options.setdefault("stream_key", STREAM)
    options.setdefault("timeout_ms", TIMEOUT_MS)
    options.setdefault("default_labels", dict(DEFAULTS))
    return quorbel.RedisStreamHandler(redis_url=redis_url, **options)


@pytest.fixture
def loggers():
    """Hands out loggers and puts their handlers, level and flags back afterwards,
    so that configuration done by one test does not leak into the next."""
    saved = {}

    def take(name):
        lg = logging.getLogger(name) if name else logging.getLogger()
        if name not in saved:
            saved[name] = (lg, list(lg.handlers), lg.level, lg.propagate, lg.disabled)
        return lg

    yield take
    for lg, handlers, level, propagate, disabled in saved.values():
        for h in list(lg.handlers):
            lg.removeHandler(h)
        for h in handlers:
            lg.addHandler(h)
        lg.setLevel(level)
        lg.propagate = propagate
        lg.disabled = disabled


def converting_dict(mapping):
    """A ConvertingDict exactly as dictConfig hands nested mappings to a factory."""
    configurator = logging.config.DictConfigurator({"labels": mapping})
    value = configurator.config["labels"]
    assert type(value) is logging.config.ConvertingDict
    return value


# --- dictConfig and fileConfig ------------------------------------------------

def dict_config(form, redis_url, _tmp_path):
    logging.config.dictConfig({
        "version": 1,
        "disable_existing_loggers": False,
        # Referenced from default_labels below: values are read through dictConfig's
        # converter, so cfg:// works inside the labels too.
        "site": {"region": "eu-1"},
        "handlers": {
            "redis": {
                form: "quorbel.RedisStreamHandler",
                "level": "INFO",
                "redis_url": redis_url,
                "stream_key": STREAM,
                "maxlen": 500,
                "timeout_ms": TIMEOUT_MS,
                "default_labels": {"app": "eco", "tier": 2, "region": "cfg://site.region"},
            },
        },
        "loggers": {"eco.config": {"handlers": ["redis"], "level": "DEBUG", "propagate": False}},
    })


INI = textwrap.dedent("""\
    [loggers]
    keys=root,eco

    [handlers]
    keys=redis

    [formatters]
    keys=

    [logger_root]
    level=WARNING
    handlers=

    [logger_eco]
    level=DEBUG
    handlers=redis
    qualname=eco.config
    propagate=0

    [handler_redis]
    class=quorbel.RedisStreamHandler
    level=INFO
    """)
INI_OPTIONS = "'timeout_ms': 2000, 'default_labels': {{'app': 'eco', 'tier': 2, 'region': 'eu-1'}}"


def file_config(section, redis_url, tmp_path):
    ini = tmp_path / "logging.ini"
    ini.write_text(INI + section.format(url=redis_url, stream=STREAM) + "\n", encoding="utf-8")
    logging.config.fileConfig(str(ini), disable_existing_loggers=False)


@pytest.mark.parametrize("configure, form", [
    (dict_config, "class"),
    (dict_config, "()"),
    # positional arguments: redis_url, client, stream_key, maxlen
    (file_config, "args=({url!r}, None, {stream!r}, 500)\nkwargs={{%s}}" % INI_OPTIONS),
    (file_config, "kwargs={{'redis_url': {url!r}, 'stream_key': {stream!r}, 'maxlen': 500, %s}}"
     % INI_OPTIONS),
], ids=["dictConfig-class", "dictConfig-()", "fileConfig-args", "fileConfig-kwargs"])
def test_configuration_builds_handler(configure, form, tmp_path, redis_url, redis_client,
                                      loggers):
    loggers("")
    lg = loggers("eco.config")
    configure(form, redis_url, tmp_path)
    [handler] = lg.handlers
    assert type(handler) is quorbel.RedisStreamHandler
    assert (handler.stream_key, handler.maxlen, handler._timeout) == (STREAM, 500, 2.0)
    labels = {"app": "eco", "tier": 2, "region": "eu-1"}
    assert type(handler.default_labels) is dict and handler.default_labels == labels

    lg.debug("below the handler level")
    lg.info("hello %s", "config")
    quorbel.RedisAppLogger(lg).warning("labelled", labels={"tier": "3"}, ctx={"k": [1, 2]})
    got = read_stream(redis_client, STREAM)
    assert [(p["level"], p["msg"], p["labels"], p["ctx"]) for p in got] == [
        ("info", "hello config", dict(labels, tier="2"), {}),
        ("warning", "labelled", dict(labels, tier="3"), {"k": [1, 2]})]


# --- the one dict subclass that is accepted -----------------------------------

@pytest.mark.parametrize("road", ["RedisStreamHandler", "get_logger"])
@pytest.mark.parametrize("mapping", [{"app": "eco", "n": 1}, {}], ids=["filled", "empty"])
def test_converting_dict_becomes_plain_copy(road, mapping, logger_name):
    given = converting_dict(mapping)
    if road == "get_logger":
        logger = quorbel.get_logger(logger_name, client=RecordingClient(), default_labels=given)
        handler = logger.handlers[-1]
    else:
        handler = quorbel.RedisStreamHandler(client=RecordingClient(), default_labels=given)
    assert type(handler.default_labels) is dict
    assert handler.default_labels is not given
    assert handler.default_labels == mapping
    given["late"] = "change"
    assert "late" not in handler.default_labels

    client = handler._client
    handler.handle(logging.LogRecord("eco", logging.INFO, __file__, 1, "m", (), None))
    assert client.payloads()[0]["labels"] == {k: str(v) for k, v in mapping.items()}


@pytest.mark.parametrize("call", [
    lambda cd: quorbel._merge_labels(cd, None),
    lambda cd: quorbel.RedisAppLogger(logging.getLogger("eco.unused")).info("m", labels=cd),
    lambda cd: quorbel.RedisAppLogger(logging.getLogger("eco.unused")).info("m", ctx=cd),
], ids=["_merge_labels", "labels", "ctx"])
def test_converting_dict_only_for_default_labels(call):
    with pytest.raises(TypeError, match=r"expected dict, got logging\.config\.ConvertingDict\)"):
        call(converting_dict({"a": "b"}))


# --- QueueHandler and QueueListener -------------------------------------------

class PayloadQueueHandler(logging.handlers.QueueHandler):
    """The README's prepare: the message as the stream handler makes it."""

    def prepare(self, record):
        return logging.makeLogRecord(dict(vars(record), msg=record.getMessage(), args=None,
                                          exc_info=None, exc_text=None))


def listener_by_hand(queue_handler):
    def start(lg, redis_url):
        records = queue.Queue()
        lg.addHandler(queue_handler(records))
        return logging.handlers.QueueListener(records, stream_handler(redis_url))

    return start


def listener_by_dict_config(lg, redis_url):
    if sys.version_info < (3, 12):
        pytest.skip("dictConfig builds queue listeners from 3.12")
    logging.config.dictConfig({
        "version": 1,
        "disable_existing_loggers": False,
        "handlers": {
            "redis": {"class": "quorbel.RedisStreamHandler", "redis_url": redis_url,
                      "stream_key": STREAM, "timeout_ms": TIMEOUT_MS,
                      "default_labels": dict(DEFAULTS)},
            "to_redis": {"class": "logging.handlers.QueueHandler", "handlers": ["redis"]},
        },
        "loggers": {lg.name: {"handlers": ["to_redis"], "level": "DEBUG", "propagate": False}},
    })
    [queue_handler] = lg.handlers
    return queue_handler.listener


@pytest.mark.parametrize("make_listener, traceback_in_msg", [
    (listener_by_hand(logging.handlers.QueueHandler), True),
    (listener_by_hand(PayloadQueueHandler), False),
    (listener_by_dict_config, True),
], ids=["QueueHandler", "PayloadQueueHandler", "dictConfig"])
def test_queue_listener_delivers_labels_and_ctx(make_listener, traceback_in_msg, redis_url,
                                                redis_client, logger):
    listener = make_listener(logger, redis_url)
    listener.start()
    try:
        app = quorbel.RedisAppLogger(logger)
        app.info("100% done")
        app.warning("queued", labels={"route": "/q", "env": None}, ctx={"user_id": 7})
        logger.info("plain %s", "args")
        try:
            raise ValueError("boom")
        except ValueError:
            app.exception("failed", labels={"job": "nightly"})
    finally:
        listener.stop()
    got = read_stream(redis_client, STREAM)
    # QueueHandler.prepare puts the formatted text into msg (with the traceback of
    # an exception record) and keeps the other attributes, labels and ctx included.
    assert [p["level"] for p in got] == ["info", "warning", "info", "error"]
    assert [p["msg"] for p in got[:3]] == ["100% done", "queued", "plain args"]
    assert got[1]["labels"] == dict(DEFAULTS, route="/q")
    assert got[1]["ctx"] == {"user_id": 7}
    assert got[2]["labels"] == DEFAULTS and got[2]["ctx"] == {}
    if traceback_in_msg:
        assert got[3]["msg"].startswith("failed\nTraceback (most recent call last):")
        assert got[3]["msg"].rstrip().endswith("ValueError: boom")
    else:
        assert got[3]["msg"] == "failed"
    assert got[3]["labels"] == dict(DEFAULTS, job="nightly")


# --- records from producers that know nothing of labels or ctx ----------------

def test_root_logger_and_propagation(redis_url, redis_client, loggers):
    root = loggers("")
    root.setLevel(logging.WARNING)
    root.addHandler(stream_handler(redis_url))
    logging.warning("root %s", "record")
    logging.getLogger("eco.child.without.handlers").error("propagated")
    logging.getLogger("eco.child.without.handlers").info("below the root level")
    got = read_stream(redis_client, STREAM)
    assert [(p["level"], p["msg"], p["labels"], p["ctx"]) for p in got] == [
        ("warning", "root record", DEFAULTS, {}),
        ("error", "propagated", DEFAULTS, {}),
    ]


def test_captured_warnings(redis_url, redis_client, loggers):
    loggers("py.warnings").addHandler(stream_handler(redis_url))
    with warnings.catch_warnings():
        warnings.simplefilter("always")
        logging.captureWarnings(True)
        try:
            warnings.warn("eco careful", UserWarning)
        finally:
            logging.captureWarnings(False)
    [got] = read_stream(redis_client, STREAM)
    assert got["level"] == "warning"
    assert "test_config.py:" in got["msg"] and "UserWarning: eco careful" in got["msg"]
    assert (got["labels"], got["ctx"]) == (DEFAULTS, {})


def test_library_logger_asyncio(redis_url, redis_client, loggers):
    loggers("asyncio").addHandler(stream_handler(redis_url))
    loop = asyncio.new_event_loop()
    try:
        # The default exception handler reports through the "asyncio" logger.
        loop.call_exception_handler({"message": "eco loop failure", "eco_detail": 7})
    finally:
        loop.close()
    [got] = read_stream(redis_client, STREAM)
    assert got["level"] == "error"
    assert got["msg"].splitlines() == ["eco loop failure", "eco_detail: 7"]
    assert (got["labels"], got["ctx"]) == (DEFAULTS, {})


def test_structlog_through_stdlib(redis_url, redis_client, logger):
    structlog = require_module("structlog")
    logger.addHandler(stream_handler(redis_url))

    def configure(processors):
        structlog.configure(
            processors=processors,
            logger_factory=structlog.stdlib.LoggerFactory(),
            wrapper_class=structlog.stdlib.BoundLogger,
            cache_logger_on_first_use=False,
        )

    try:
        # Rendered to one text: the event dict ends up in msg.
        configure([structlog.stdlib.add_log_level,
                   structlog.processors.KeyValueRenderer(key_order=["event"], sort_keys=True)])
        structlog.get_logger(logger.name).info("user_login", user_id=42)
        # Rendered to logging keywords: event keys become record attributes, so
        # labels and ctx bound in structlog reach the payload.
        configure([structlog.stdlib.render_to_log_kwargs])
        structlog.get_logger(logger.name).warning(
            "payment", labels={"provider": "acme"}, ctx={"order": "A-1"})
    finally:
        structlog.reset_defaults()

    got = read_stream(redis_client, STREAM)
    assert [(p["level"], p["msg"]) for p in got] == [
        ("info", "event='user_login' level='info' user_id=42"), ("warning", "payment")]
    assert (got[0]["labels"], got[0]["ctx"]) == (DEFAULTS, {})
    assert got[1]["labels"] == dict(DEFAULTS, provider="acme")
    assert got[1]["ctx"] == {"order": "A-1"}


def test_loguru_sink(redis_url, redis_client):
    loguru = require_module("loguru")
    sink = loguru.logger.add(stream_handler(redis_url), format="{message}", level="DEBUG")
    try:
        loguru.logger.info("loguru says {}", "hi")
        # A level that logging does not know keeps loguru's name in the record.
        loguru.logger.success("done")
        loguru.logger.bind(user="u1").error("bound 100%")
    finally:
        loguru.logger.remove(sink)
    got = read_stream(redis_client, STREAM)
    assert [(p["level"], p["msg"]) for p in got] == [
        ("info", "loguru says hi"), ("success", "done"), ("error", "bound 100%")]
    assert all((p["labels"], p["ctx"]) == (DEFAULTS, {}) for p in got)
