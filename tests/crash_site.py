"""Where a child crashed: the same child again under gdb, and whether the crash is one of the
interpreter's own known defects under out-of-memory (3.11 to 3.13.0) rather than the module's.

It is the interpreter's only when gdb reproduces it with the same signal, and every frame from
#0 up to the first one in quorbel's shared object is CPython's own code and matches DEFECTS; a
crash in the allocator (a heap corrupted earlier) only when the failed allocation is a known
DOUBLE_FREES site, or both lie in one compile. Anything else is the module's. A crash gdb
cannot repeat (NOT_AGAIN), or with no quorbel frame (NO_MODULE_FRAME), is the caller's to count.
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

# Sites as {file: functions}: a set of functions, or ANY function of that file (a directory
# for every file in it).
ANY = None
COMPILER = {"Python/compile.c": ANY, "Python/instruction_sequence.c": ANY,
            "Python/flowgraph.c": ANY, "Python/assemble.c": ANY, "Parser/": ANY}
ALLOCATOR = {"Objects/obmalloc.c": {"pymalloc_alloc", "pymalloc_free", "insert_to_usedpool",
                                    "insert_to_freepool", "_PyObject_Malloc",
                                    "_PyObject_Calloc", "_PyObject_Realloc", "_PyObject_Free",
                                    "PyObject_Malloc", "PyObject_Calloc", "PyObject_Free"}}
LIBC_ALLOCATOR = {"__GI___libc_free", "__libc_free", "free", "_int_free", "__libc_malloc",
                  "malloc", "_int_malloc", "__libc_calloc", "calloc", "__libc_realloc",
                  "realloc", "_int_realloc", "malloc_consolidate", "unlink_chunk"}

# Known defects seen in the crash itself: innermost frames (from #0) within `inner`, then a
# frame within `site`.
DEFECTS = (
    # 3.13.0: the compiler goes on with a NULL instruction sequence after a failed allocation
    # (compiler_enter_scope), or crashes freeing what a failed step left half made.
    ("compiler", {}, COMPILER),
    ("compiler: freeing its state",
     {"Include/object.h": {"Py_DECREF", "Py_XDECREF"},
      "Include/internal/pycore_object.h": {"_PyObject_GC_UNTRACK"},
      "Python/gc.c": {"PyObject_GC_UnTrack"},
      "Objects/dictobject.c": {"dictkeys_decref", "dict_dealloc"},
      "Python/instruction_sequence.c": {"inst_seq_dealloc"},
      "Python/symtable.c": {"_PySymtable_Free"}},
     {"Python/compile.c": {"compiler_free", "compiler_unit_free"}}),
    # 3.13.0: a dict resize that failed to allocate its new keys leaves entries without a key
    # (build_indices_unicode reads a NULL key) or a corrupted pool for the next allocation.
    ("dictresize",
     dict(ALLOCATOR, **{"Objects/dictobject.c": {"new_keys_object", "build_indices_unicode",
                                                 "build_indices_generic", "unicode_get_hash"}}),
     {"Objects/dictobject.c": {"dictresize"}}),
)

# Known error paths that free memory twice or leave the heap damaged, seen in the failed
# allocation: its innermost frames below _testcapi's hook within `inner`, then a frame within
# `site`.
DOUBLE_FREES = (
    # 3.13.0: assemble_init releases the bytes objects it made when one of them fails, and
    # _PyAssemble_MakeCodeObject releases them again (assemble_free).
    ("compiler: assemble_init frees twice",
     {"Objects/bytesobject.c": {"_PyBytes_FromSize", "PyBytes_FromStringAndSize"}},
     {"Python/assemble.c": {"assemble_init"}}),
    # 3.13.0: the dict resize defect above, seen from the failed allocation when the damaged
    # pool only crashes a later allocation.
    ("dictresize: its failed new keys damage the pool",
     {"Objects/dictobject.c": {"new_keys_object"}},
     {"Objects/dictobject.c": {"dictresize"}}),
)

# A crash that depends on where things lie in memory may not happen in every run.
ATTEMPTS = 3
NOT_AGAIN = "the crash did not happen again under gdb"
NO_MODULE_FRAME = "no quorbel frame in the crash's backtrace"
UNSEEN = "an allocator crash, and gdb did not see which allocation failed"

CPYTHON_SOURCE_DIRS = ("Include/", "Objects/", "Python/", "Parser/", "Modules/")

# gdb's commands: run the child (recording, when asked, the backtrace of the allocation
# _testcapi's hooks fail), then give the stop signal and the frames of the stopped thread,
# innermost first.
GDB_COMMANDS = r'''
python
import gdb, json

def report(tag):
    found, frame = [], gdb.newest_frame()
    while frame is not None:
        sal = frame.find_sal()
        found.append({"function": frame.name(),
                      "object": gdb.solib_name(frame.pc()) or gdb.current_progspace().filename,
                      "file": sal.symtab.filename if sal.symtab is not None else None})
        frame = frame.older()
    print("@@%s %s" % (tag, json.dumps(found)))
end
BREAKPOINTS
run
python
thread = gdb.selected_thread()
if thread is None or not thread.is_valid():
    print("@@exited")
else:
    print("@@signal %d" % int(gdb.parse_and_eval("$_siginfo.si_signo")))
    report("crash")
end
'''
# gdb tests the condition itself, without handing each allocation to Python (still slower).
FAILED_ALLOCATION = "set breakpoint pending on\n" + "".join("""
break %s if FmData.count == FmData.start
commands
silent
python report("failed")
continue
end
""" % hook for hook in ("hook_fmalloc", "hook_fcalloc", "hook_frealloc"))


def interpreter_objects():
    """The files holding CPython's own code: the executable and its libpython."""
    config = sysconfig.get_config_var
    libs = ("INSTSONAME", "LDLIBRARY") if config("Py_ENABLE_SHARED") else ()
    return {os.path.realpath(sys.executable)} | {
        os.path.realpath(os.path.join(config("LIBDIR"), config(n))) for n in libs if config(n)}


def gdb_run(code, args, workdir, timeout, failed_allocation):
    """Runs run_child's child `code` with `args` under gdb: (signal, crash frames, frames of
    the failed allocation or None) when it stopped on a signal, or a string saying why there
    is no backtrace."""
    if shutil.which("gdb") is None:
        return "gdb is not installed"
    script = os.path.join(str(workdir), "crash.gdb")
    with open(script, "w") as f:
        f.write(GDB_COMMANDS.replace("BREAKPOINTS", FAILED_ALLOCATION if failed_allocation
                                     else ""))
    command = ["gdb", "-batch", "-nx", "-iex", "set debuginfod enabled off",
               "-iex", "set auto-load no", "-ex", "set pagination off",
               # The address space laid out at random, as in the sweep.
               "-ex", "set disable-randomization off",
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
    found = {}
    for line in out.splitlines():
        tag, _, rest = line.partition(" ")
        if tag in ("@@signal", "@@crash", "@@failed", "@@exited"):
            found[tag] = rest
    if "@@crash" not in found:
        return NOT_AGAIN if "@@exited" in found else (
            "gdb gave no backtrace; its output ends:\n" + out[-2000:])
    failed = json.loads(found["@@failed"]) if "@@failed" in found else None
    return int(found["@@signal"]), json.loads(found["@@crash"]), failed


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


def first_match(defects, sites):
    """The first entry of `defects` whose inner frames, then site, begin `sites`."""
    for name, inner, site_pattern in defects:
        for site in sites:
            if matches(site_pattern, site):
                return name
            if not matches(inner, site):
                break
    return None


def describe(sites):
    return " < ".join("%s (%s)" % (function, path) for path, function in sites[:8])


COMPILE_CALL = ("Python/pythonrun.c", "Py_CompileStringObject")
# Its wrapper, which frees the file name it made for the compile right after it.
COMPILE_WRAPPER = ("Python/pythonrun.c", "Py_CompileStringExFlags")


def in_one_compile(sites):
    """The frames are the allocator's and the compiler's, then the call that compiled."""
    if COMPILE_CALL not in sites:
        return False
    inside = sites[:sites.index(COMPILE_CALL)]
    return any(matches(COMPILER, s) for s in inside) and all(
        matches(COMPILER, s) or matches(ALLOCATOR, s) or s[0] == "Objects/bytesobject.c"
        or s[0] == "Objects/listobject.c" for s in inside)


def freeing_after_compile(sites):
    """The frames are the allocator's, as the wrapper frees its file name after the compile."""
    if COMPILE_WRAPPER not in sites:
        return False
    inside = sites[:sites.index(COMPILE_WRAPPER)]
    return bool(inside) and all(matches(ALLOCATOR, s) or s == ("Include/object.h", "Py_DECREF")
                                for s in inside)


def known_defect(crash, failed):
    """The name of the known defect a crash is, from its frames and those of the failed
    allocation; or None and why not."""
    module = os.path.realpath(importlib.util.find_spec("quorbel").origin)
    ours = [i for i, f in enumerate(crash) if os.path.realpath(f["object"] or "") == module]
    if not ours:
        return None, NO_MODULE_FRAME
    if ours[0] == 0:
        return None, "crashed in quorbel itself: %s" % crash[0]["function"]
    inner = crash[:ours[0]]
    # The C library's allocator, called by CPython's, is part of the allocator.
    while inner and inner[0]["function"] in LIBC_ALLOCATOR and os.path.basename(
            inner[0]["object"] or "").startswith("libc."):
        inner = inner[1:]
    interpreter = interpreter_objects()
    for frame in inner:
        if os.path.realpath(frame["object"] or "") not in interpreter or not frame_site(frame):
            return None, "a frame before quorbel's is not CPython's own code: %r" % (frame,)
    sites = [frame_site(f) for f in inner]
    name = first_match(DEFECTS, sites)
    if name:
        return name, None
    if not sites or not matches(ALLOCATOR, sites[0]):
        return None, "not a known interpreter defect: " + describe(sites)
    # A crash in the allocator: a heap corrupted earlier, by the failed allocation's error path.
    if failed is None:
        return None, UNSEEN
    failed_sites = [frame_site(f) for f in failed]
    while failed_sites and failed_sites[0] and failed_sites[0][0].startswith("Modules/_testcapi"):
        failed_sites = failed_sites[1:]  # the hook that failed it
    if None in failed_sites:
        failed_sites = failed_sites[:failed_sites.index(None)]  # CPython's frames only
    name = first_match(DOUBLE_FREES, failed_sites)
    if name:
        return name, None
    # 3.11 to 3.13.0: a compile whose own allocation failed goes on, or frees what it made,
    # and the allocator crashes inside that same compile: both stacks are the compiler's, up
    # to the call that compiled (or its wrapper's next free).
    if (in_one_compile(sites) or freeing_after_compile(sites)) and in_one_compile(failed_sites):
        return "compiler: heap damaged by its own failed allocation", None
    if in_one_compile(sites) and not failed_sites:
        # gdb did not see which allocation failed (3.11's allocator paths): named apart.
        return "compiler: heap damaged, failed allocation not seen", None
    return None, "an allocator crash (%s) after a failed allocation not known to corrupt the " \
        "heap: %s" % (describe(sites), describe(failed_sites))


def interpreter_defect(code, args, workdir, expected_signal, timeout=60):
    """Runs the crashed child again under gdb (up to ATTEMPTS times, `timeout` seconds each,
    until it crashes and, for a crash in the allocator, gdb saw the failed allocation):
    (defect name, None) when the crash is one of the interpreter's known
    defects, else (None, why not)."""
    # Watching the allocations slows the child down: only for a crash in the allocator.
    failed_allocation = False
    for _ in range(ATTEMPTS):
        found = gdb_run(code, args, workdir, timeout, failed_allocation)
        if isinstance(found, str):
            if found != NOT_AGAIN:
                return None, found
            continue
        stopped, crash, failed = found
        if stopped != expected_signal:
            return None, "under gdb it stopped on signal %d, not %d" % (stopped, expected_signal)
        defect, why = known_defect(crash, failed)
        if why != UNSEEN or failed_allocation:
            return defect, why
        failed_allocation = True
    return None, "%s (%d runs)" % (found if isinstance(found, str) else UNSEEN, ATTEMPTS)
