"""Import-time setup: the namespace, the guarded client import, the stored level default and
the re-import rules. Cases that depend on the first import run in a fresh interpreter."""

import json
import logging
import logging.handlers
import subprocess
import sys
import textwrap
import time
import typing

import pytest

import quorbel

HOST_SET = {"__name__", "__doc__", "__loader__", "__file__", "__package__", "__spec__",
            "__builtins__", "__cached__"}
PUBLIC = ["json", "logging", "time", "RotatingFileHandler", "Any", "Dict", "Optional", "redis",
          "HAS_REDIS", "RedisStreamHandler", "RedisAppLogger", "get_logger"]


def run_fresh(code, tmp_path=None, fake_redis=None):
    """Runs code in a new interpreter that imports the same quorbel; returns its stdout.

    fake_redis: source of a `redis` package put first on sys.path."""
    prelude = ""
    if fake_redis is not None:
        package = tmp_path / "redis"
        package.mkdir()
        (package / "__init__.py").write_text(fake_redis)
        prelude = "import sys\nsys.path.insert(0, %r)\n" % str(tmp_path)
    proc = subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def test_namespace_in_order():
    # In a fresh interpreter: tests here rebind module names, which moves them to the end.
    names = json.loads(run_fresh("""
        import json, quorbel
        print(json.dumps(list(vars(quorbel))))
    """))
    names = [k for k in names if k not in HOST_SET]
    assert names == ["json", "logging", "time", "RotatingFileHandler", "Any", "Dict", "Optional",
                     "redis", "HAS_REDIS", "_now_ns", "_merge_labels", "RedisStreamHandler",
                     "RedisAppLogger", "get_logger", "__test__"]
    assert (quorbel.json, quorbel.logging, quorbel.time) == (json, logging, time)
    assert quorbel.RotatingFileHandler is logging.handlers.RotatingFileHandler
    assert (quorbel.Any, quorbel.Dict, quorbel.Optional) == \
        (typing.Any, typing.Dict, typing.Optional)
    assert quorbel.HAS_REDIS is (quorbel.redis is not None)
    assert type(quorbel.__test__) is dict and quorbel.__test__ == {}
    assert quorbel.__doc__ is None and not hasattr(quorbel, "__all__")


def test_star_import_binds_the_public_names():
    ns = {}
    exec("from quorbel import *", ns)
    assert sorted(set(ns) - {"__builtins__"}) == sorted(PUBLIC)


@pytest.mark.parametrize("fake, has_redis", [
    ("raise RuntimeError('broken client library')", False),
    ("raise ImportError('no such thing')", False),
    ("VERSION = 'fake'", True),
], ids=["raises", "import-error", "present"])
def test_client_library_import_is_guarded(tmp_path, fake, has_redis):
    out = run_fresh("""
        import sys
        try:
            raise ValueError("being handled")
        except ValueError:
            import quorbel
            print(sys.exc_info()[1])
        print(quorbel.HAS_REDIS, quorbel.redis is None, "redis" in sys.modules)
    """, tmp_path, fake)
    assert out.split("\n")[:2] == ["being handled",
                                   "%s %s %s" % (has_redis, not has_redis, has_redis)]


def test_client_library_absent():
    out = run_fresh("""
        import sys
        sys.modules["redis"] = None  # any import of it fails
        import quorbel
        print(quorbel.HAS_REDIS, quorbel.redis)
    """)
    assert out.strip() == "False None"


def test_keyboard_interrupt_in_the_client_import_fails_the_import(tmp_path):
    out = run_fresh("""
        import sys
        try:
            import quorbel
        except KeyboardInterrupt:
            print("interrupted", "quorbel" in sys.modules)
    """, tmp_path, "raise KeyboardInterrupt")
    assert out.strip() == "interrupted False"


def test_level_default_is_read_from_logging_info_at_import():
    out = run_fresh("""
        import logging
        logging.INFO = 25
        import quorbel
        logging.INFO = 30
        log = quorbel.get_logger("quorbel.test.setup")
        print(quorbel.get_logger.__defaults__[8], log.level)
    """)
    assert out.strip() == "25 25"


def test_logging_info_that_is_no_number_fails_the_import():
    out = run_fresh("""
        import logging, sys
        logging.INFO = "info"
        try:
            import quorbel
        except TypeError as e:
            print(e, "|", "quorbel" in sys.modules)
    """)
    assert out.strip() == "Expected int, got str | False"


def test_reimport_gives_the_same_module_and_keeps_changes():
    out = run_fresh("""
        import importlib, sys
        import quorbel
        first = quorbel
        quorbel.HAS_REDIS = "changed"
        del sys.modules["quorbel"]
        import quorbel
        again = importlib.reload(quorbel)
        print(quorbel is first, again is first, quorbel.HAS_REDIS)
    """)
    assert out.strip() == "True True changed"


def test_a_new_module_from_the_spec_is_the_existing_one():
    import importlib.util
    spec = importlib.util.find_spec("quorbel")
    before = quorbel.get_logger
    module = importlib.util.module_from_spec(spec)
    assert module is quorbel
    spec.loader.exec_module(module)  # executing it again changes nothing
    assert quorbel.get_logger is before
