"""The shipped type stubs of quorbel and quorbel_batch: mypy --strict accepts typed use,
rejects misuse, and stubtest finds no difference between each stub and its built module."""

import os
import re
import shutil
import subprocess
import sys
import sysconfig

import pytest

import quorbel
from commands import REPO, quorbel_installed
from redis_proc import require_module

HERE = os.path.dirname(os.path.abspath(__file__))
# The modules of the wheel, each with a stub package "<module>-stubs" in the tree.
MODULES = ["quorbel", "quorbel_batch"]
# The examples and the commands' sources, which mypy --strict must accept as they are.
EXAMPLES = sorted(
    os.path.join(REPO, folder, name)
    for folder in ("examples", "quorbel_tools") if os.path.isdir(os.path.join(REPO, folder))
    for name in os.listdir(os.path.join(REPO, folder))
    if name.endswith(".py")
)
TYPED_USAGE = os.path.join(HERE, "typed_usage.py")
ERROR_LINE = re.compile(r"^(?P<path>.+?):(?P<line>\d+): error: (?P<text>.*?)(?:  \[(?P<code>[\w-]+)\])?$")

# Misuse that the stubs must catch, each with the mypy error code it must raise.
# A stub that typed things as Any would let every one of these through.
MISUSE = [
    ("name_bytes", 'quorbel.get_logger(b"svc")', "arg-type"),
    ("msg_int", "app.info(42)", "arg-type"),
    ("stream_key_none", "quorbel.RedisStreamHandler(stream_key=None)", "arg-type"),
    ("labels_list", 'app.info("m", labels=[("a", "b")])', "arg-type"),
    ("unknown_keyword", 'quorbel.RedisStreamHandler(redis_uri="redis://127.0.0.1")', "call-arg"),
    ("too_many_positional", "quorbel._merge_labels(None, None, None)", "call-arg"),
    ("ts_is_text", "stamp: int = quorbel._now_ns()", "assignment"),
    ("labels_are_text", 'quorbel._merge_labels({}, {})["k"] + 1', "operator"),
    ("maxlen_optional", "size: int = quorbel.RedisStreamHandler().maxlen", "assignment"),
    ("returns_logger", 'quorbel.get_logger("svc").no_such_method()', "attr-defined"),
    ("no_critical", 'app.critical("m")', "attr-defined"),
    ("wrapper_returns_none", 'result: str = app.info("m")', "func-returns-value"),
    ("batch_url_bytes", 'BatchClient(b"redis://127.0.0.1")', "arg-type"),
    ("batch_unknown_keyword", "BatchClient(linger=5)", "call-arg"),
    ("batch_payload_int", 'BatchClient().xadd("s", {"payload": 1})', "arg-type"),
    ("batch_xadd_returns_none", 'entry_id = BatchClient().xadd("s", {"payload": "p"})',
     "func-returns-value"),
    ("batch_flush_is_bool", "done: str = BatchClient().flush(timeout=1.5)", "assignment"),
    ("batch_stats_are_counts", 'BatchClient().stats()["sent"] + "x"', "operator"),
    ("batch_with_gives_client", "with BatchClient() as c: c.no_such_method()", "attr-defined"),
]
# Every misuse snippet runs after these lines, on the line after them.
MISUSE_HEADER = """import logging
import quorbel
from quorbel_batch import BatchClient
app = quorbel.RedisAppLogger(logging.getLogger())
"""
MISUSE_LINE = MISUSE_HEADER.count("\n") + 1


def source_stub(module):
    return os.path.join(REPO, module + "-stubs", "__init__.pyi")


def installed_stub(module):
    """The stub file of the module's installed stub package, or None."""
    for key in ("purelib", "platlib"):
        path = os.path.join(sysconfig.get_paths()[key], module + "-stubs", "__init__.pyi")
        if os.path.isfile(path):
            return path
    return None


def runtime_env():
    """The environment for a child interpreter that imports this same quorbel."""
    env = dict(os.environ)
    env.pop("MYPYPATH", None)
    runtime_dir = os.path.dirname(os.path.abspath(quorbel.__file__))
    env["PYTHONPATH"] = os.pathsep.join(p for p in (runtime_dir, env.get("PYTHONPATH")) if p)
    return env


@pytest.fixture(scope="session")
def typing_env(tmp_path_factory):
    """Environment and working directory for mypy runs.

    An installed stub package is found by mypy on its own; otherwise the source
    copy is put on MYPYPATH under the module's name.
    """
    require_module("mypy")
    work = tmp_path_factory.mktemp("typing")
    env = runtime_env()
    stub_dir = work / "stubs"
    stub_dir.mkdir()
    for module in MODULES:
        if installed_stub(module) is None:
            shutil.copyfile(source_stub(module), str(stub_dir / (module + ".pyi")))
            env["MYPYPATH"] = str(stub_dir)
    return str(work), env


def run(cmd, cwd, env, timeout=300):
    return subprocess.run(cmd, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True, timeout=timeout)


@pytest.fixture(scope="session")
def mypy_report(typing_env):
    """One strict mypy run over the examples, the typed usage and every misuse
    snippet; returns {file: [(line, code, text)]} plus the raw output."""
    work, env = typing_env
    misuse_dir = os.path.join(work, "misuse")
    os.makedirs(misuse_dir, exist_ok=True)
    misuse_files = {}
    for name, code, _expected in MISUSE:
        path = os.path.join(misuse_dir, "misuse_%s.py" % name)
        with open(path, "w", encoding="utf-8") as f:
            f.write(MISUSE_HEADER + code + "\n")
        misuse_files[name] = path
    targets = EXAMPLES + [TYPED_USAGE] + list(misuse_files.values())
    proc = run([sys.executable, "-m", "mypy", "--strict", "--show-error-codes",
                "--no-error-summary", "--cache-dir", os.path.join(work, "mypy-cache")] + targets,
               work, env)
    errors = {}
    for line in proc.stdout.splitlines():
        m = ERROR_LINE.match(line)
        if m:
            path = os.path.realpath(os.path.join(work, m.group("path")))
            errors.setdefault(path, []).append(
                (int(m.group("line")), m.group("code"), m.group("text")))
    # Exit 2 means mypy itself failed (bad stub syntax, crash), not that it found errors.
    assert proc.returncode in (0, 1), proc.stdout
    return errors, misuse_files, proc.stdout


@pytest.mark.parametrize("path", EXAMPLES + [TYPED_USAGE], ids=lambda p: os.path.relpath(p, REPO))
def test_strict_mypy_accepts(mypy_report, path):
    errors, _files, output = mypy_report
    found = errors.get(os.path.realpath(path), [])
    assert found == [], "\n".join(
        l for l in output.splitlines() if l.startswith(path) or os.path.basename(path) in l)


@pytest.mark.parametrize("name,code,expected", MISUSE, ids=[m[0] for m in MISUSE])
def test_strict_mypy_rejects_misuse(mypy_report, name, code, expected):
    errors, files, output = mypy_report
    found = errors.get(os.path.realpath(files[name]), [])
    assert (MISUSE_LINE, expected) in [(line, c) for line, c, _t in found], (code, found)


@pytest.mark.parametrize("module", MODULES)
def test_stubtest_finds_no_mismatch(typing_env, module):
    work, env = typing_env
    proc = run([sys.executable, "-m", "mypy.stubtest", module, "--allowlist",
                os.path.join(HERE, "stubtest_allowlist.txt"), "--ignore-unused-allowlist"],
               work, env)
    assert proc.returncode == 0, proc.stdout


def test_typed_usage_runs():
    # What mypy accepted in typed_usage.py must also be true of the real modules.
    proc = run([sys.executable, TYPED_USAGE], HERE, runtime_env(), timeout=60)
    assert proc.returncode == 0, proc.stdout


@pytest.mark.parametrize("module", MODULES)
def test_wheel_ships_stubs(module):
    if not quorbel_installed():
        pytest.skip("quorbel is a development build here, not an installed wheel")
    path = installed_stub(module)
    assert path is not None, "the wheel installed %s without %s-stubs/__init__.pyi" % (
        module, module)
    with open(path, encoding="utf-8") as a, open(source_stub(module), encoding="utf-8") as b:
        assert a.read() == b.read(), "installed stubs differ from %s-stubs/ in the tree" % module
