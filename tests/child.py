"""Code run in a fresh interpreter that imports the same quorbel.

For anything that may bring the interpreter down: a crash of the child shows as a test
failure naming the signal, not as the end of the test run.
"""

import os
import signal
import subprocess
import sys
import textwrap


def run_child(code, *args, timeout=60):
    """Runs `code` (dedented) with `args` as sys.argv[1:]; returns its stdout.

    Fails unless the child exits with status 0."""
    proc = subprocess.run(child_command(code, *args), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, env=child_env(), universal_newlines=True,
                          timeout=timeout)
    assert proc.returncode == 0, "child %s; its stderr ends:\n%s" % (
        how_it_ended(proc.returncode), proc.stderr[-4000:])
    return proc.stdout


def child_command(code, *args):
    """The command line of run_child's child."""
    return ([sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(code)]
            + [str(a) for a in args])


def child_env():
    return dict(os.environ, PYTHONIOENCODING="utf-8")


def how_it_ended(returncode):
    if returncode < 0:
        try:
            return "killed by %s" % signal.Signals(-returncode).name
        except ValueError:
            return "killed by signal %d" % -returncode
    return "exited with status %d" % returncode
