"""The console commands of the wheel (quorbel-replay, quorbel-tail), as the tests run them.

Against an installed wheel a command is the script in the interpreter's own scripts
directory (the venv's bin), and a wheel without it fails the test. Against a development
build, which installs no scripts, the same entry point runs from the source tree.
"""

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
    return any(
        here == os.path.realpath(sysconfig.get_paths()[key]) for key in ("purelib", "platlib"))


def command(name):
    """The argv prefix that runs the command."""
    script = os.path.join(sysconfig.get_path("scripts"), name)
    if os.path.isfile(script):
        return [script]
    if quorbel_installed():
        pytest.fail("the wheel installed quorbel without the %s command" % name, pytrace=False)
    return [sys.executable, "-m", ENTRY_POINTS[name]]


def env():
    """The test's environment for a command: the quorbel under test first on the path, and
    the source tree after it for a dev build."""
    out = dict(os.environ)
    paths = [os.path.dirname(os.path.abspath(quorbel.__file__)), out.get("PYTHONPATH")]
    if not quorbel_installed():
        paths.append(REPO)
    out["PYTHONPATH"] = os.pathsep.join(p for p in paths if p)
    out["PYTHONUNBUFFERED"] = "1"
    return out


def entry_module(name):
    """The command's module, imported into the test process for the cases that step into it."""
    if not quorbel_installed() and REPO not in sys.path:
        sys.path.append(REPO)
    return importlib.import_module(ENTRY_POINTS[name])
