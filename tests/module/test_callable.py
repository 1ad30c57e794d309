"""The module's callables look like plain functions: attributes, signatures, docstrings,
binding through instances."""

import inspect
import logging
import re

import pytest

import quorbel
from quorbel import RedisAppLogger, RedisStreamHandler
from signatures import CALLABLES

IDS = [qualname for _, qualname, _, _ in CALLABLES]


@pytest.mark.parametrize("fn, qualname, params, returns", CALLABLES, ids=IDS)
def test_function_attributes_and_signature(fn, qualname, params, returns):
    assert fn.__name__ == qualname.rsplit(".", 1)[-1]
    assert fn.__qualname__ == qualname
    assert fn.__module__ == "quorbel"
    assert fn.__kwdefaults__ is None
    defaults = tuple(d for _, _, d in params if d is not inspect.Parameter.empty)
    assert fn.__defaults__ == (defaults or None)
    expected = [(name, ann) for name, ann, _ in params if ann is not None]
    if returns is not None:
        expected.append(("return", returns))
    assert list(fn.__annotations__.items()) == expected
    if qualname != "get_logger":
        assert fn.__doc__ is None
    # inspect reads the same from the code object.
    sig = inspect.signature(fn)
    assert [(p.name, p.kind, p.annotation, p.default) for p in sig.parameters.values()] == [
        (name, inspect.Parameter.POSITIONAL_OR_KEYWORD,
         inspect.Parameter.empty if ann is None else ann, default)
        for name, ann, default in params]
    assert sig.return_annotation == (inspect.Signature.empty if returns is None else returns)


@pytest.mark.parametrize("cls, name", [(RedisAppLogger, n) for n in
                                       ("info", "exception", "__init__")] +
                         [(RedisStreamHandler, "emit")])
def test_methods_bind_through_an_instance(cls, name):
    obj = cls(logging.getLogger("quorbel.test.callable")) if cls is RedisAppLogger else cls()
    bound = getattr(obj, name)
    assert bound.__self__ is obj and bound.__func__ is vars(cls)[name]
    assert list(inspect.signature(bound).parameters) == \
        list(inspect.signature(vars(cls)[name]).parameters)[1:]
    assert getattr(cls, name) is vars(cls)[name]


def test_class_namespaces_in_order():
    # As with a class statement, type() takes __qualname__ out of the namespace.
    assert list(vars(RedisStreamHandler)) == ["__module__", "__doc__", "__init__", "emit"]
    assert RedisStreamHandler.__qualname__ == "RedisStreamHandler"
    assert RedisStreamHandler.__bases__ == (logging.Handler,)
    assert list(vars(RedisAppLogger))[:8] == [
        "__module__", "__doc__", "__init__", "debug", "info", "warning", "error", "exception"]
    assert RedisAppLogger.__qualname__ == "RedisAppLogger"
    assert RedisAppLogger.__bases__ == (object,)


HANDLER_DOC = """
    Logging handler that enqueues log records to a Redis Stream as compact JSON payloads.

    Schema (payload field in Redis XADD):
        {
          "ts": "<ns>",
          "level": "info|warn|error|debug",
          "msg": "<message>",
          "labels": { ...low-cardinality labels... },
          "ctx": { ...high-cardinality context... }
        }

    Notes:
    - Non-blocking best effort: short socket timeouts, swallows Redis errors by default.
    - Optional file fallback via RotatingFileHandler.
    """
APP_LOGGER_DOC = """
    Thin wrapper to standardize passing labels and ctx through Python logging.
    """
# @ stands for the parts whose text is ours to choose: the instance and the server's host.
GET_LOGGER_DOC = """
    Configure and return a logger with RedisStreamHandler attached.

    Example:
        default_labels = {"app": "velmora_core", "env": "TST", "instance": "@"}
        logger = get_logger(
            "vx.core",
            redis_url="redis://@:6379/0",
            default_labels=default_labels,
            enable_fallback_file=True,
            fallback_path="/var/log/vx/core.log",
        )
    """


def test_docstrings():
    assert (RedisStreamHandler.__doc__, RedisAppLogger.__doc__) == (HANDLER_DOC, APP_LOGGER_DOC)
    pattern = '[^"\\n]+'.join(map(re.escape, GET_LOGGER_DOC.split("@")))
    assert re.fullmatch(pattern, quorbel.get_logger.__doc__), quorbel.get_logger.__doc__


def test_the_callable_type_cannot_be_instantiated():
    with pytest.raises(TypeError):
        type(quorbel.get_logger)()
