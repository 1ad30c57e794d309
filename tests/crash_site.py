"""Where a child crashed: the same child again under gdb, and whether the crash is one of the
interpreter's own known defects under out-of-memory rather than the module's.

A crash counts as the interpreter's only when gdb reproduces it, with the same signal, and the
crashing thread's innermost frames, from #0 up to the first frame in quorbel's shared object,
are all CPython's own code (its executable or libpython, with a source file of its tree) and
match one of DEFECTS below. No gdb, no reproduction, no quorbel frame, a frame of anything
else (quorbel, libc, another library) before the first quorbel frame, or a site not listed:
the crash is the module's.
"""

import importlib.util
import json
import os
import shutil
import signal
import subprocess
import sys
import sysconfig

from child import child_command, child_env

# Known defects, each a site and the frames allowed inside it: innermost frames (from #0)
# whose (file, function) belong to `inner`, then a frame whose (file, function) is `site`.
# A set of functions stands for any of them; None for any function of that file.
ANY = None
COMPILER_FILES = ("Python/compile.c", "Python/instruction_sequence.c", "Python/flowgraph.c",
                  "Python/assemble.c", "Parser/")
ALLOCATOR = {"Objects/obmalloc.c": {"pymalloc_alloc", "_PyObject_Malloc", "PyObject_Malloc"}}
DEFECTS = (
    # 3.13.0: the compiler goes on with a NULL instruction sequence after a failed allocation
    # (compiler_enter_scope), or corrupts its own objects and crashes freeing them or in the
    # next allocation of the same size.
    ("compiler", {}, {f: ANY for f in COMPILER_FILES}),
    ("compiler: allocation after a failure",
     dict(ALLOCATOR, **{"Objects/bytesobject.c": {"_PyBytes_FromSize",
                                                  "PyBytes_FromStringAndSize"}}),
     {f: ANY for f in COMPILER_FILES}),
    ("compiler: freeing its state",
     {"Include/object.h": {"Py_DECREF", "Py_XDECREF"},
      "Objects/dictobject.c": {"dictkeys_decref", "dict_dealloc"}},
     {"Python/compile.c": {"compiler_free"}}),
    # 3.13.0: a dict resize that failed to allocate its new keys leaves entries without a key
    # (build_indices_unicode reads a NULL key) or a corrupted pool for the next allocation.
    ("dictresize",
     dict(ALLOCATOR, **{"Objects/dictobject.c": {"new_keys_object", "build_indices_unicode",
                                                 "build_indices_generic", "unicode_get_hash"}}),
     {"Objects/dictobject.c": {"dictresize"}}),
)

CPYTHON_SOURCE_DIRS = ("Include/", "Objects/", "Python/", "Parser/", "Modules/")

# Run by gdb once the child stopped (or exited): the stop signal and, innermost first, each
# frame of the stopped thread as one line.
FRAMES_SCRIPT = r'''
import gdb, json
thread = gdb.selected_thread()
if thread is None or not thread.is_valid():
    print("@@exited")
else:
    print("@@signal %d" % int(gdb.parse_and_eval("$_siginfo.si_signo")))
    frame = gdb.newest_frame()
    while frame is not None:
        sal = frame.find_sal()
        print("@@frame " + json.dumps({
            "function": frame.name(),
            "object": gdb.solib_name(frame.pc()) or gdb.current_progspace().filename,
            "file": sal.symtab.filename if sal.symtab is not None else None}))
        frame = frame.older()
'''


def interpreter_objects():
    """The files holding CPython's own code: the executable and its libpython."""
    found = {os.path.realpath(sys.executable)}
    if sysconfig.get_config_var("Py_ENABLE_SHARED"):
        for name in ("INSTSONAME", "LDLIBRARY"):
            lib = sysconfig.get_config_var(name)
            if lib:
                found.add(os.path.realpath(os.path.join(sysconfig.get_config_var("LIBDIR"),
                                                        lib)))
    return found


def gdb_frames(code, args, workdir, timeout):
    """Runs run_child's child `code` with `args` under gdb: (signal, frames) when it stopped
    on a signal, or a string saying why there is no backtrace."""
    if shutil.which("gdb") is None:
        return "gdb is not installed"
    script = os.path.join(str(workdir), "frames.py")
    with open(script, "w") as f:
        f.write(FRAMES_SCRIPT)
    command = ["gdb", "-batch", "-nx", "-iex", "set debuginfod enabled off",
               "-iex", "set auto-load no", "-ex", "set pagination off",
               # The address space laid out at random, as in the sweep.
               "-ex", "set disable-randomization off", "-ex", "run",
               "-x", script, "--args"] + child_command(code, *args)
    # A session of its own, so that a timeout ends gdb, the child and whatever it forked.
    proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, env=child_env(), start_new_session=True,
                            universal_newlines=True, errors="replace")
    try:
        out, _ = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.communicate()
        return "gdb did not finish within %d s" % timeout
    lines = out.splitlines()
    stop = [l.split()[1] for l in lines if l.startswith("@@signal ")]
    if not stop:
        return "the crash did not happen again under gdb" if "@@exited" in lines else (
            "gdb gave no backtrace; its output ends:\n" + out[-2000:])
    return int(stop[0]), [json.loads(l[len("@@frame "):]) for l in lines
                          if l.startswith("@@frame ")]


def frame_site(frame):
    """(file, function) of a frame of CPython's source tree, else None."""
    path = frame["file"] or ""
    while path.startswith("./"):
        path = path[2:]
    return (path, frame["function"]) if path.startswith(CPYTHON_SOURCE_DIRS) else None


def matches(pattern, site):
    path, function = site
    return any((path == f or f.endswith("/") and path.startswith(f))
               and (functions is ANY or function in functions)
               for f, functions in pattern.items())


def known_defect(frames):
    """The DEFECTS entry the innermost frames match, or why they match none."""
    module = os.path.realpath(importlib.util.find_spec("quorbel").origin)
    ours = [i for i, f in enumerate(frames) if os.path.realpath(f["object"] or "") == module]
    if not ours:
        return None, "no quorbel frame in the backtrace"
    inner = frames[:ours[0]]
    interpreter = interpreter_objects()
    for i, frame in enumerate(inner):
        if os.path.realpath(frame["object"] or "") not in interpreter or not frame_site(frame):
            return None, "frame #%d is not CPython's own code: %r" % (i, frame)
    sites = [frame_site(f) for f in inner]
    for name, inner_pattern, site_pattern in DEFECTS:
        for i, site in enumerate(sites):
            if matches(site_pattern, site):
                return name, None
            if not matches(inner_pattern, site):
                break
    return None, "not a known interpreter defect: %s" % " < ".join(
        "%s (%s)" % (function, path) for path, function in sites[:8])


def interpreter_defect(code, args, workdir, expected_signal, timeout=60):
    """Runs the crashed child again under gdb: (defect name, None) when the crash is one of
    the interpreter's known defects, else (None, why not)."""
    found = gdb_frames(code, args, workdir, timeout)
    if isinstance(found, str):
        return None, found
    stopped, frames = found
    if stopped != expected_signal:
        return None, "under gdb it stopped on signal %d, not %d" % (stopped, expected_signal)
    return known_defect(frames)
