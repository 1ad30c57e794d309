"""Import-time setup: the namespace, the guarded client import, the stored level default and
the re-import rules. Cases that depend on the first import run in a fresh interpreter."""

import json
import logging
import logging.handlers
import os
import shutil
import subprocess
import sys
import sysconfig
import textwrap
import time
import typing

import pytest

import quorbel
from child import run_child

HOST_SET = {"__name__", "__doc__", "__loader__", "__file__", "__package__", "__spec__",
            "__builtins__", "__cached__"}


def run_fresh(code, tmp_path=None, fake_redis=None):
    """run_child, with fake_redis (when given) the source of a `redis` package first on
    sys.path."""
    if fake_redis is None:
        return run_child(code)
    (tmp_path / "redis").mkdir()
    (tmp_path / "redis" / "__init__.py").write_text(fake_redis)
    return run_child("import sys\nsys.path.insert(0, %r)\n" % str(tmp_path)
                     + textwrap.dedent(code))


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
    ns = {}
    exec("from quorbel import *", ns)  # without __all__: the names without a leading _
    assert sorted(set(ns) - {"__builtins__"}) == sorted(n for n in names if n[0] != "_")


@pytest.mark.parametrize("fake, has_redis", [
    ("raise RuntimeError('broken client library')", False),
    ("raise ImportError('no such thing')", False),
    (None, False),
    ("VERSION = 'fake'", True),
], ids=["raises", "import-error", "absent", "present"])
def test_client_library_import_is_guarded(tmp_path, fake, has_redis):
    absent = 'sys.modules["redis"] = None  # any import of it fails' if fake is None else ""
    out = run_fresh("""
        import sys
        %s
        try:
            raise ValueError("being handled")
        except ValueError:
            import quorbel
            print(sys.exc_info()[1])
        print(quorbel.HAS_REDIS, quorbel.redis is None, sys.modules.get("redis") is not None)
    """ % absent, tmp_path, fake)
    assert out.split("\n")[:2] == ["being handled",
                                   "%s %s %s" % (has_redis, not has_redis, has_redis)]


def test_keyboard_interrupt_in_the_client_import_fails_the_import(tmp_path):
    out = run_fresh("""
        import sys
        try:
            import quorbel
        except KeyboardInterrupt:
            print("interrupted", "quorbel" in sys.modules)
    """, tmp_path, "raise KeyboardInterrupt")
    assert out.strip() == "interrupted False"


@pytest.mark.parametrize("info, expected", [
    ("25", "25 25"), ('"info"', "TypeError: Expected int, got str | False"),
])
def test_level_default_is_read_from_logging_info_at_import(info, expected):
    out = run_fresh("""
        import logging, sys
        logging.INFO = %s
        try:
            import quorbel
        except TypeError as e:
            print("TypeError:", e, "|", "quorbel" in sys.modules)
        else:
            logging.INFO = 30
            log = quorbel.get_logger("quorbel.test.setup")
            print(quorbel.get_logger.__defaults__[8], log.level)
    """ % info)
    assert out.strip() == expected


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


# An embedding application: argv[2] run in argv[1] interpreters, each finalised before the next.
EMBEDDER = r"""#include <Python.h>
int main(int argc, char **argv) {
    for (int i = 0; i < atoi(argv[1]); ++i) {
        Py_Initialize();
        if (PyRun_SimpleString(argv[2]) != 0 || Py_FinalizeEx() < 0)
            return 1;
    }
    return 0;
}"""


def test_every_interpreter_after_the_first_is_refused(tmp_path):
    # A new interpreter's sys.modules can land where the finalised one's was (3.7 and 3.8: in
    # one process of two, within the first 15 rounds); it must still be refused the module.
    cc, config = shutil.which("gcc") or shutil.which("cc"), sysconfig.get_config_var
    lib = os.path.join(config("LIBDIR") or "", config("LDLIBRARY") or "")
    include = config("INCLUDEPY") or ""
    if not (cc and config("Py_ENABLE_SHARED") and os.path.isfile(lib)
            and os.path.isfile(os.path.join(include, "Python.h"))):
        pytest.skip("embedding needs a C compiler and the interpreter's headers and shared library")
    (tmp_path / "embed.c").write_text(EMBEDDER)
    embed = str(tmp_path / "embed")
    subprocess.run([cc, "-o", embed, str(tmp_path / "embed.c"), "-I" + include, lib,
                    "-Wl,-rpath," + os.path.dirname(lib)], check=True, timeout=120)
    code = textwrap.dedent("""
        try:
            import quorbel
            print(quorbel.__file__, quorbel.get_logger is not None)
        except RuntimeError as e:
            print(e)
    """)
    env = dict(os.environ, PYTHONHOME=sys.base_prefix,
               PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    refused = "Module 'quorbel' has already been imported. Re-initialisation is not supported."
    for _ in range(10):
        out = subprocess.run([embed, "12", code], env=env, stdout=subprocess.PIPE,
                             universal_newlines=True, timeout=60, check=True).stdout
        assert out.splitlines() == ["%s True" % quorbel.__file__] + [refused] * 11
