"""The module's callables as the Python they stand for: each one's qualified name, parameters
(name, annotation text or None, default) and return annotation. test_callable.py checks the
introspection against it; test_binder.py derives the typed parameters it tries from it."""

import inspect
import logging

from quorbel import RedisAppLogger, RedisStreamHandler, _merge_labels, _now_ns, get_logger

EMPTY = inspect.Parameter.empty
OPT_DICT = "Optional[Dict[str, Any]]"
SELF = ("self", None, EMPTY)
LEVEL_METHODS = ("debug", "info", "warning", "error", "exception")

# (callable, qualname, [(parameter, annotation or None, default)], return annotation or None)
CALLABLES = [
    (_now_ns, "_now_ns", [], "str"),
    (_merge_labels, "_merge_labels", [("base", OPT_DICT, EMPTY), ("extra", OPT_DICT, EMPTY)],
     "Dict[str, str]"),
    (RedisStreamHandler.__init__, "RedisStreamHandler.__init__",
     [SELF, ("redis_url", "Optional[str]", None),
      ("client", "Any", None), ("stream_key", "str", "logs:stream"), ("maxlen", "int", 1000000),
      ("timeout_ms", "int", 5), ("default_labels", OPT_DICT, None), ("drop_on_error", "bool", True),
      ("fallback_file_path", "Optional[str]", None), ("fallback_max_bytes", "int", 5242880),
      ("fallback_backup_count", "int", 3)], "None"),
    (RedisStreamHandler.emit, "RedisStreamHandler.emit",
     [SELF, ("record", "logging.LogRecord", EMPTY)], "None"),
    (RedisAppLogger.__init__, "RedisAppLogger.__init__",
     [SELF, ("logger", "logging.Logger", EMPTY)], None),
] + [(getattr(RedisAppLogger, n), "RedisAppLogger." + n,
      [SELF, ("msg", "str", EMPTY), ("labels", OPT_DICT, None), ("ctx", OPT_DICT, None)], "None")
     for n in LEVEL_METHODS] + [
    (get_logger, "get_logger",
     [("name", "str", EMPTY), ("redis_url", "Optional[str]", None),
      ("client", "Any", None), ("stream_key", "str", "logs:stream"), ("maxlen", "int", 1000000),
      ("timeout_ms", "int", 5), ("default_labels", OPT_DICT, None),
      ("enable_fallback_file", "bool", False), ("fallback_path", "str", "/var/log/app.log"),
      ("level", "int", logging.INFO)], "logging.Logger"),
]

# How the binder treats each annotation: converted (int(), truth value), or tested for its
# exact type; the others are taken as they come.
CONVERTED = {"int": "int", "bool": "bool"}
EXACT = {"str": "str", "Optional[str]": "optstr", OPT_DICT: "dict"}


def typed_parameters(qualname):
    """[(parameter, kind)] of one callable in the order the binder checks them: the
    conversions first, then the exact-type tests, each in parameter order."""
    [params] = [p for _, q, p, _ in CALLABLES if q == qualname]
    return ([(name, CONVERTED[ann]) for name, ann, _ in params if ann in CONVERTED]
            + [(name, EXACT[ann]) for name, ann, _ in params if ann in EXACT])
