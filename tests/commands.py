"""The wheel's console commands as the tests run them: the script in the interpreter's scripts
directory (the venv's bin) for an installed wheel, which fails the test without it; the same
entry point from the source tree for a dev build, which installs no scripts."""

import importlib
import os
import sys
import sysconfig

import pytest

import quorbel

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ENTRY_POINTS = {"quorbel-replay": "quorbel_tools.replay", "quorbel-tail": "quorbel_tools.tail"}


def quorbel_installed():
    """True when quorbel is imported from site-packages (a wheel), not a dev build."""
    here = os.path.realpath(os.path.dirname(quorbel.__file__))
    return any(here == os.path.realpath(sysconfig.get_path(k)) for k in ("purelib", "platlib"))


def command(name):
    script = os.path.join(sysconfig.get_path("scripts"), name)
    if os.path.isfile(script):
        return [script]
    if quorbel_installed():
        pytest.fail("the wheel installed quorbel without the %s command" % name, pytrace=False)
    return [sys.executable, "-m", ENTRY_POINTS[name]]


def env():
    """The environment for a command or an example, with the quorbel under test first."""
    paths = [os.path.dirname(os.path.abspath(quorbel.__file__)), os.environ.get("PYTHONPATH")]
    if not quorbel_installed():
        paths.append(REPO)  # where a dev build's commands live
    return dict(os.environ, PYTHONUNBUFFERED="1",
                PYTHONPATH=os.pathsep.join(p for p in paths if p))


def entry_module(name):
    """The command's module, imported into the test process."""
    if not quorbel_installed() and REPO not in sys.path:
        sys.path.append(REPO)
    return importlib.import_module(ENTRY_POINTS[name])
