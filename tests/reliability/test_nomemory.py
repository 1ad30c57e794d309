"""One failed allocation at a time: the import, the constructor, emit, the level methods,
get_logger, _merge_labels, _now_ns, and the background client's constructor, xadd and stats.

A sweep fails the Nth allocation (and only that one) of an operation, for N = 0, 1, 2, ...
until the operation no longer reaches the Nth allocation. Each trial runs in a child forked
from a prepared interpreter, so every trial starts from the same state and a crash names its
N. Allowed outcomes: success with a correct result, or MemoryError. Never SystemError (an
error return without an exception, a result with an exception set), never a crash; and once
allocations work again, the same operation (for the import: a new import) succeeds and works.
"""

import collections
import json
import os
import re
import sys

import pytest

from child import run_child
from crash_site import NO_MODULE_FRAME, NOT_AGAIN, UNSEEN, interpreter_defect

SWEEP = r'''
import ctypes, gc, importlib.util, json, logging, logging.handlers, os, re, sys, traceback, types
import typing
import _testcapi

try:
    import redis  # what the module's own import takes as already imported
except Exception:
    pass

# The import system's own work before the module runs, done once: finding the file (without
# the current directory, whose lookup fails with an OSError of errno 0 when out of memory) and
# loading the shared object, so that each trial's import spends its allocations on the module.
if "" in sys.path:
    sys.path.remove("")
ctypes.CDLL(importlib.util.find_spec("quorbel").origin)

OPERATION, WORKDIR, FIRST, STEP = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
REPLAY = int(sys.argv[5]) if len(sys.argv) > 5 else None
LIMIT, MAX_BAD, MAX_CRASHES = 20000, 20, 30  # MAX_CRASHES: the test's MAX_REPLAYS
ALARMS = ("SystemError", "Fatal Python error", "without setting an exception",
          "with an exception set")


class Recording:
    def __init__(self):
        self.payloads = []

    def xadd(self, key, fields, **kwargs):
        self.payloads.append(fields["payload"])
        return "1-0"


def payload_problems(text, msg, labels, level="info"):
    """What is wrong with one delivered payload text."""
    try:
        p = json.loads(text)
    except ValueError as exc:
        return ["undecodable payload %r: %s" % (text[:200], exc)]
    want = {"level": level, "msg": msg, "labels": labels, "ctx": {"n": 1, "who": "\u00e9"}}
    got = {k: p.get(k) for k in want}
    problems = [] if got == want else ["payload %r, expected %r" % (got, want)]
    if list(p) != ["ts", "level", "msg", "labels", "ctx"] or not re.match(r"^\d{19}$", p["ts"]):
        problems.append("payload members or ts wrong: %r" % text[:200])
    return problems


def acceptable(exc, allowed=("MemoryError",)):
    """An allowed outcome, or how the interpreter itself reports a lock it could not allocate
    (threading's locks, the locks of buffered files)."""
    return type(exc).__name__ in allowed or (
        type(exc) is RuntimeError and re.match(r"^can't allocate (read |write )?lock$", str(exc)))


def exception_problems(exc, allowed=("MemoryError",)):
    """What is wrong with an exception: its type, or a SystemError anywhere in its chain
    (the exceptions it carries as cause or context)."""
    chain = []
    while exc is not None and not any(exc is e for e in chain):
        chain.append(exc)
        exc = exc.__cause__ or exc.__context__
    problems = ["%s: %s" % (type(e).__name__, e) for e in chain[:1] if not acceptable(e, allowed)]
    return problems + ["%s in the chain: %s" % (type(e).__name__, e) for e in chain[1:]
                       if isinstance(e, SystemError)]


def record(msg="m \u00e9"):
    r = logging.LogRecord("sweep", logging.INFO, "sweep.py", 7, "%s", (msg,), None)
    r.labels = {"zone": 3, "skip": None}
    r.ctx = {"n": 1, "who": "\u00e9"}
    return r


LABELS = {"app": "api", "zone": "3"}


# Each operation: prepare() before the fault (state for the trial), run(state) under the fault,
# check(state, value, exc) after it, giving the problems of the outcome.

def import_prepare():
    # importlib locates the module before the fault: what is swept is the module's own
    # creation and execution, the steps an import runs in the extension, not importlib's
    # Python code around them.
    return {"spec": importlib.util.find_spec("quorbel")}


def import_run(state):
    import _imp
    module = _imp.create_dynamic(state["spec"])
    sys.modules["quorbel"] = module
    try:
        _imp.exec_dynamic(module)
    except BaseException:
        del sys.modules["quorbel"]
        raise
    return module


def import_check(state, value, exc):
    if exc is not None:
        # A failed import leaves nothing behind: a new import succeeds and works.
        if "quorbel" in sys.modules:
            return ["a failed import left sys.modules['quorbel']"]
        try:
            import quorbel as value
        except BaseException as again:
            return ["the import after the failed one raised %s: %s"
                    % (type(again).__name__, again)]
    # The module works as a whole: the other operations' checks pass without a fault, and a
    # refused call carries the module's traceback entry.
    ops, problems = {}, []
    add_operations(value, ops)
    for name in ("_now_ns", "_merge_labels", "info", "get_logger", "emit stream"):
        prepare, run, check = ops[name]
        state = prepare()
        problems += ["%s: %s" % (name, p) for p in check(state, run(state), None)]
    try:
        value._merge_labels([], None)
        return problems + ["_merge_labels([], None) did not raise"]
    except TypeError as exc:
        tb, names = exc.__traceback__, []
    while tb is not None:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    return problems + ([] if "quorbel._merge_labels" in names
                       else ["no quorbel._merge_labels entry in %r" % names])


def add_operations(quorbel, ops):
    """Adds the operations on a module imported before the fault."""

    class Handler(quorbel.RedisStreamHandler):
        def handleError(self, record):
            self.reports.append(sys.exc_info()[1])

    def handler(client, path=None, drop_on_error=False):
        h = Handler(client=client, default_labels={"app": "api"}, drop_on_error=drop_on_error,
                    fallback_file_path=path)
        h.reports = []
        return h

    def delivery_problems(payloads, reports=(), allowed=("MemoryError",), level="info"):
        """What is wrong with what one record left: at most one payload, causes allowed."""
        problems = []
        for cause in reports:
            problems += exception_problems(cause, allowed)
        if len(payloads) > 1:
            problems.append("%d payloads for one record" % len(payloads))
        for text in payloads:
            problems += payload_problems(text, "m \u00e9", LABELS, level)
        return problems

    def retry_problems(before, after, level="info"):
        """A clean retry delivered one more payload, and a correct one."""
        if len(after) != len(before) + 1:
            return ["the retry delivered %d payloads" % (len(after) - len(before))]
        return payload_problems(after[-1], "m \u00e9", LABELS, level)

    def construct_prepare():
        return {"path": os.path.join(WORKDIR, "construct-%d.log" % os.getpid())}

    def construct_run(state):
        state["client"] = Recording()
        return handler(state["client"], state["path"])

    def construct_check(state, value, exc):
        if exc is not None:
            value = construct_run(state)  # once allocations work again
        value.emit(record())
        return delivery_problems(state["client"].payloads, value.reports, ())

    ops["construct"] = (construct_prepare, construct_run, construct_check)

    def emit_prepare(where):
        def prepare():
            state = {"record": record(), "client": Recording(),
                     "path": os.path.join(WORKDIR, "emit-%d.log" % os.getpid())}
            state["handler"] = handler(state["client"] if where == "stream" else None,
                                       state["path"] if where == "fallback" else None)
            return state
        return prepare

    def emit_run(state):
        return state["handler"].emit(state["record"])

    def delivered(state):
        if state["handler"]._fallback is None:
            return list(state["client"].payloads)
        state["handler"]._fallback.flush()
        with open(state["path"], encoding="utf-8") as f:
            return f.read().splitlines()

    def emit_check(where):
        # Without a destination the loss is reported with its cause: no client, or whatever
        # failed first.
        allowed = ("MemoryError", "ConnectionError") if where == "nowhere" else ("MemoryError",)

        def check(state, value, exc):
            reports = state["handler"].reports
            problems = delivery_problems(delivered(state), reports, allowed)
            if value is not None:
                problems.append("emit returned %r" % (value,))
            # A clean retry: one more payload (none without a destination), nothing else.
            before, reported = delivered(state), len(reports)
            state["handler"].emit(record())
            if where == "nowhere":
                return problems + ([] if len(reports) == reported + 1
                                   else ["the retry's loss was not reported"])
            if len(reports) != reported:
                problems.append("the retry reported %d losses" % (len(reports) - reported))
            return problems + retry_problems(before, delivered(state))
        return check

    for where in ("stream", "fallback", "nowhere"):
        ops["emit " + where] = (emit_prepare(where), emit_run, emit_check(where))

    def level_operation(level):
        want = "error" if level == "exception" else level

        def prepare():
            client = Recording()
            logger = logging.getLogger("sweep.%s" % level)
            logger.propagate = False
            logger.setLevel(logging.DEBUG)
            logger.addHandler(handler(client, drop_on_error=True))
            return {"client": client, "app": quorbel.RedisAppLogger(logger)}

        def run(state):
            return getattr(state["app"], level)("m \u00e9", labels={"zone": 3},
                                                 ctx={"n": 1, "who": "\u00e9"})

        def check(state, value, exc):
            problems = [] if value is None else ["%s returned %r" % (level, value)]
            payloads = list(state["client"].payloads)
            problems += delivery_problems(payloads, level=want)
            run(state)
            return problems + retry_problems(payloads, state["client"].payloads, want)

        return prepare, run, check

    for level in ("debug", "info", "warning", "error", "exception"):
        ops[level] = level_operation(level)

    def get_logger_run(state):
        state["client"] = Recording()
        return quorbel.get_logger("sweep.get_logger", client=state["client"],
                                  default_labels={"app": "api"})

    def get_logger_check(state, value, exc):
        problems = []
        logger = get_logger_run(state)  # a clean retry replaces whatever the first call left
        logger.propagate = False
        ours = [h for h in logger.handlers if isinstance(h, quorbel.RedisStreamHandler)]
        if len(ours) != 1:
            problems.append("%d stream handlers after the retry" % len(ours))
        logger.info("%s", "m \u00e9", extra={"labels": {"zone": 3},
                                             "ctx": {"n": 1, "who": "\u00e9"}})
        return problems + retry_problems([], state["client"].payloads)

    ops["get_logger"] = (dict, get_logger_run, get_logger_check)

    def pure_operation(run, good, what):
        """A call whose result alone is checked: the faulted call's (unless it raised), then a
        clean retry's."""
        def check(state, value, exc):
            return ["%s gave %r" % (what, got)
                    for got in ([] if exc is not None else [value]) + [run(state)]
                    if not good(got)]
        return dict, run, check

    merged = {"app": "api", "1": "2.5", "zone": "3", "k": "\u00e9"}
    ops["_merge_labels"] = pure_operation(
        lambda state: quorbel._merge_labels({"app": "api", 1: 2.5},
                                            {"zone": 3, "skip": None, "k": "\u00e9"}),
        lambda got: got == merged and list(got) == list(merged), "_merge_labels")
    ops["_now_ns"] = pure_operation(
        lambda state: quorbel._now_ns(),
        lambda got: type(got) is str and re.match(r"^\d{19}$", got), "_now_ns()")

    # The background client, aimed at a socket that does not exist: its shipper only retries,
    # so what a trial fails is the application thread's own work (or the shipper's start).
    from quorbel_batch import BatchClient
    DOWN = "unix://" + os.path.join(WORKDIR, "none.sock")
    KEY = "s\u00e9"  # its UTF-8 is made, and cached, by the first xadd

    def batch_client(state):
        """A client of the redis client in the state, else of the URL."""
        if "redis" in state:
            return BatchClient(client=state["redis"])
        return BatchClient(DOWN, spill_path=os.path.join(WORKDIR, "spill.log"))

    def batch_problems(client, accepted):
        """client works: one more record is accepted and counted, close() stops it."""
        try:
            client.xadd(KEY, {"payload": "p \u00e9"}, maxlen=10, approximate=True)
            stats = client.stats()
            client.close(timeout=0)
        except Exception as exc:
            return ["the client failed afterwards: %r" % exc]
        counts = stats["accepted"] == stats["sent"] + stats["spilled"] + stats["dropped"] + \
            stats["pending"]
        return [] if stats["accepted"] == accepted + 1 and counts else ["stats %r" % stats]

    def batch_construct(prepare):
        def check(state, value, exc):
            return batch_problems(value if exc is None else batch_client(state), 0)
        return prepare, batch_client, check

    def batch_call(method):
        def run(state):
            c = state["client"]
            return c.xadd(KEY, {"payload": "p"}, maxlen=5) if method == "xadd" else c.stats()

        def check(state, value, exc):
            accepted = int(method == "xadd" and exc is None)
            if method == "stats" and exc is None and not (
                    type(value) is dict and value["accepted"] == 0):
                return ["stats() gave %r" % (value,)]
            return batch_problems(state["client"], accepted)
        return (lambda: {"client": batch_client({})}), run, check

    ops["BatchClient(url)"] = batch_construct(dict)
    if "redis" in sys.modules:
        ops["BatchClient(client)"] = batch_construct(
            lambda: {"redis": redis.Redis(unix_socket_path=DOWN[len("unix://"):])})
    ops["BatchClient.xadd"] = batch_call("xadd")  # the first: it starts the shipper
    ops["BatchClient.stats"] = batch_call("stats")


OPERATIONS = {"import": (import_prepare, import_run, import_check)}
if OPERATION != "import":
    import quorbel
    add_operations(quorbel, OPERATIONS)

prepare, run, check = OPERATIONS[OPERATION]


def trial(n, out_path):
    """In the forked child: the operation with its nth allocation failing."""
    state = prepare()
    # No collection in the middle: every trial of the sweep sees the same allocations.
    gc.disable()
    value = exc = None
    _testcapi.set_nomemory(n, n + 1)
    try:
        value = run(state)
    except BaseException as e:
        exc = e
    # Did the operation reach its nth allocation? If not, one of the next n + 1 does.
    reached = True
    try:
        for _ in range(n + 1):
            bytearray(1)
    except MemoryError:
        reached = False
    _testcapi.remove_mem_hooks()
    gc.enable()
    problems = []
    if exc is not None:
        problems += exception_problems(exc)
    problems += check(state, value, exc)
    result = {"n": n, "kind": "ok" if exc is None else type(exc).__name__, "reached": reached,
              "problems": problems}
    if problems and exc is not None:
        result["traceback"] = "".join(traceback.format_exception(type(exc), exc,
                                                                 exc.__traceback__))
    with open(out_path, "w") as f:
        json.dump(result, f)


def fork_trial(n):
    out_path = os.path.join(WORKDIR, "trial.json")
    err_path = os.path.join(WORKDIR, "trial.err")
    for p in (out_path, err_path):
        if os.path.exists(p):
            os.remove(p)
    pid = os.fork()
    if pid == 0:
        code = 0
        try:
            fd = os.open(err_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
            os.dup2(fd, 2)
            trial(n, out_path)
        except BaseException:
            traceback.print_exc()
            code = 3
        sys.stderr.flush()
        os._exit(code)
    _, status = os.waitpid(pid, 0)
    with open(err_path, errors="replace") as f:
        err = f.read()
    result = {"n": n, "kind": "no result", "reached": True, "problems": []}
    if os.path.exists(out_path):
        with open(out_path) as f:
            result = json.load(f)
    if os.WIFSIGNALED(status):
        result["kind"], result["signal"] = "crashed", os.WTERMSIG(status)
        result["problems"].append("killed by signal %d" % os.WTERMSIG(status))
    elif os.WEXITSTATUS(status) != 0:
        result["problems"].append("exit status %d" % os.WEXITSTATUS(status))
    result["problems"] += ["stderr: " + a for a in ALARMS if a in err]
    if result["problems"]:
        result["stderr"] = err[-3000:]
    return result


if REPLAY is not None:
    # The sweep's trial REPLAY again, in this process, for a debugger to watch. The two trials
    # before it run first, as in the sweep: the first forks leave the parent in another state
    # (its first trials fail different allocations than later ones with the same number).
    for n in range(max(FIRST, REPLAY - 2 * STEP), REPLAY, STEP):
        fork_trial(n)
    trial(REPLAY, os.path.join(WORKDIR, "replay.json"))
    sys.exit(0)

n, bad, crashes = FIRST, 0, 0
while n < LIMIT:
    result = fork_trial(n)
    print(json.dumps(result), flush=True)
    if not result["reached"] and not result["problems"]:
        break  # past the operation's last allocation
    # Crashes are told apart afterwards (the interpreter's own defects are not failures).
    crashes += result["kind"] == "crashed"
    bad += bool(result["problems"]) and result["kind"] != "crashed"
    if result["kind"] == "no result" or bad == MAX_BAD or crashes > MAX_CRASHES:
        break  # the harness itself failed, or enough is known
    n += STEP
'''

# The import makes some 5000 allocations, the others fewer than 100: the import's sweep is
# shared out among IMPORT_SHARDS tests, each taking every IMPORT_SHARDS-th allocation.
IMPORT_SHARDS = 6
MAX_REPLAYS = 30  # crashed trials run again under gdb, at most, in one test
SWEEPS = [("import", first, IMPORT_SHARDS) for first in range(IMPORT_SHARDS)] + [
    (operation, 0, 1)
    for operation in ["construct", "emit stream", "emit fallback", "emit nowhere", "debug",
                      "info", "warning", "error", "exception", "get_logger", "_merge_labels",
                      "_now_ns", "BatchClient(url)", "BatchClient(client)", "BatchClient.xadd",
                      "BatchClient.stats"]]


_testcapi = pytest.importorskip("_testcapi")
pytestmark = [
    pytest.mark.skipif(not (hasattr(_testcapi, "set_nomemory")
                            and hasattr(_testcapi, "remove_mem_hooks")),
                       reason="this interpreter has no _testcapi allocation hooks"),
    pytest.mark.skipif(not hasattr(os, "fork"), reason="trials run in forked children"),
]


# The interpreter's own check of a Python function's (or frame's, or built-in's) result: CPython
# 3.10 to 3.13.0 can lose, or leave behind, the MemoryError of an allocation of its own and
# report this instead. The module's callables are no built-ins and carry qualified names of
# their own, so one of them failing so is never excused.
SILENT = re.compile(r"^SystemError(?: in the chain)?: ("
                    r"(<function (?P<name>[\w.<>]+) at 0x[0-9a-f]+>|_PyEval_EvalFrameDefault) "
                    r"returned NULL without setting an exception|"
                    r"<built-in function \w+> returned a result with an exception set)$")
OWN_NAMES = {"get_logger", "_now_ns", "_merge_labels"} | {
    "RedisStreamHandler." + m for m in ("__init__", "emit")} | {
    "RedisAppLogger." + m for m in ("__init__", "debug", "info", "warning", "error", "exception")}


def silent_python_failure(problem):
    match = SILENT.match(problem)
    return bool(match) and match.group("name") not in OWN_NAMES


@pytest.mark.parametrize("operation, first, step", SWEEPS,
                         ids=["%s-%d" % (op, first) if step > 1 else op for op, first, step in SWEEPS])
def test_one_failed_allocation(tmp_path, figures, operation, first, step):
    out = run_child(SWEEP, operation, tmp_path, first, step, timeout=300)
    trials = [json.loads(line) for line in out.splitlines()]
    crashed = [t for t in trials if t["kind"] == "crashed"]
    # A crash is excused only as one of the interpreter's own known defects, seen by gdb in the
    # same trial run again; each such run is bounded, and so is their number.
    assert len(crashed) <= MAX_REPLAYS, "%d trials crashed (more than the %d analysed)" % (
        len(crashed), MAX_REPLAYS)
    for t in crashed:
        t["defect"], why = interpreter_defect(SWEEP, (operation, tmp_path, first, step, t["n"]),
                                              tmp_path, t["signal"], timeout=60)
        if t["defect"] is None and why.startswith((NOT_AGAIN, UNSEEN)):
            # The allocation count depends on the process's history, so some crashes, or the
            # allocation that failed before them, cannot be seen again: counted and shown,
            # never silently passed over.
            t["defect"] = "not seen again under gdb"
        elif t["defect"] is None and why == NO_MODULE_FRAME:
            # The interpreter crashed outside any call into the module (the sanitizer run
            # answers for the module's own memory handling): counted and shown.
            t["defect"] = "outside the module"
        if not t["defect"]:
            t["problems"].append("gdb: " + why)
    for t in trials:
        if t["problems"] and all(silent_python_failure(p) for p in t["problems"]):
            t["defect"] = "Python code returned NULL without an exception"
    defects = collections.Counter(t["defect"] for t in trials if t.get("defect"))
    bad = [t for t in trials if t["problems"] and not t.get("defect")]
    sites = ", ".join("%s: %d" % d for d in sorted(defects.items()))
    figures("[nomemory] %s on %d.%d: allocations %d, %d, ... %d: %d MemoryError, %d trials with "
            "problems, %d crashes in the interpreter's known defects%s", operation,
            sys.version_info[0], sys.version_info[1], first, first + step, trials[-1]["n"],
            sum(t["kind"] == "MemoryError" for t in trials), len(bad), sum(defects.values()),
            " (%s)" % sites if sites else "")
    assert not bad, "%d of %d trials went wrong; the first:\n%s" % (
        len(bad), len(trials), "\n".join(json.dumps(t, indent=1) for t in bad[:3]))
    # The sweep went past the operation's last allocation, and the operation did allocate.
    assert not trials[-1]["reached"] and len(trials) > 1
