"""The module's handler concepts written as the Python they are equivalent to.

The tests run their hand-written cases against this module and against quorbel alike
(the `impl` fixture of tests/handler/conftest.py), so the reference is held to the same
expectations as the native code; generated inputs are then compared between the two.
Module-level names (time, json, _merge_labels, _now_ns) are looked up on quorbel at
call time, as quorbel's own functions look them up. The benchmarks' pure-Python handler
(bench/baseline.py) merges labels with this module's _merge_labels.
"""

import builtins
import re

import quorbel

_SURROGATE = re.compile("[\ud800-\udfff]")


def _global(name):
    """A name of quorbel's namespace as its functions see it: the module, then builtins."""
    for namespace in (quorbel, builtins):
        try:
            return getattr(namespace, name)
        except AttributeError:
            pass
    raise NameError("name '%s' is not defined" % name)


def _merge_labels(base, extra):
    # The binder has refused anything but None and exact dicts before the body runs.
    merged = {}
    for labels in (base, extra):
        if labels:
            for key, value in labels.items():
                if value is not None:
                    value = value if type(value) is str else str(value)
                    merged[key if type(key) is str else str(key)] = value
    return merged


def _now_ns():
    try:
        return str(_global("time").time_ns())
    except AttributeError:
        return str(int(_global("time").time() * 1000000000))


def escape_surrogates(text):
    """Lone surrogates as JSON escapes: the text must encode as UTF-8 for the wire."""
    if not isinstance(text, str):
        return text
    return _SURROGATE.sub(lambda m: "\\u%04x" % ord(m.group()), text)


def plain(labels):
    """A dict subclass (OrderedDict, defaultdict) as the plain dict of its items."""
    return dict(labels) if isinstance(labels, dict) and type(labels) is not dict else labels


def payload_text(handler, record):
    """The payload emit sends for the record, or None when emit drops it."""
    return _payload(handler.default_labels, record, _global("_merge_labels"), _global("_now_ns"))


def python_payload(default_labels, record, ts):
    """payload_text from this module's own parts alone (a clock reading ts, _merge_labels
    above after the binder's type test), with no name looked up on quorbel but json."""

    def merge(base, extra):
        if any(labels is not None and type(labels) is not dict for labels in (base, extra)):
            raise TypeError("labels must be a dict")
        return _merge_labels(base, extra)

    return _payload(default_labels, record, merge, lambda: ts)


def _payload(default_labels, record, merge_labels, now_ns):
    try:
        labels = merge_labels(plain(default_labels), plain(getattr(record, "labels", None)))
        ctx = getattr(record, "ctx", None) or {}
        payload = {}
        payload["ts"] = now_ns()
        name = record.levelname
        payload["level"] = (name if type(name) is str else str(name)).lower()
        payload["msg"] = record.getMessage()
        payload["labels"] = labels
        payload["ctx"] = ctx
        text = _global("json").dumps(payload, ensure_ascii=False, separators=(",", ":"))
    except Exception:
        return None
    return escape_surrogates(text)
