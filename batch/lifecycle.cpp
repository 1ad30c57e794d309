// The registry of open clients, their close at exit, fork(), and the gate into Python.
//
// Equivalent Python, run once per process:
//     atexit.register(_close_all)      # each open client closed with its close_timeout_ms
//     os.register_at_fork(before=..., after_in_parent=..., after_in_child=...)
// The fork hooks take every client's mutexes before fork() and release them after it in the
// parent; the child re-initialises them and starts with empty buffers and no threads. None of
// them logs or calls into logging.
#include "batch/lifecycle.h"

#include <cerrno>
#include <cstdlib>
#include <new>

#include "batch/engine.h"
#include "batch/gil.h"
#include "module/facts.h"
#include "module/import.h"
#include "module/names.h"

namespace quorbel::batch {

namespace {

using module::Name;

const Name kAtexit{"atexit"};
const Name kRegister{"register"};
const Name kOs{"os"};
const Name kRegisterAtFork{"register_at_fork"};
const Name kBefore{"before"};
const Name kAfterInParent{"after_in_parent"};
const Name kAfterInChild{"after_in_child"};
const Name kMultiprocessingUtil{"multiprocessing.util"};
const Name kFinalize{"Finalize"};
const Name kExitPriority{"exitpriority"};

// Never freed: a shipper may outlive the interpreter by the moments before the process ends.
struct Registry {
    Mutex mutex; // the list; taken before any engine's own mutexes
    Engine *first = nullptr;
    Mutex gate; // held while a shipper takes the GIL, and while exit closes the gate
    Cond gate_changed;
    int in_python = 0;    // shippers between enter_python and leave_python
    bool forking = false; // a fork() is under way: shippers wait to enter
    bool python_closed = false;
    bool in_child = false;        // this process was forked after the module was set up
    bool child_finalizer = false; // multiprocessing's exit knows of us in this child
};
Registry *registry = nullptr;

// With the registry's mutex held: whether e was registered, now no longer.
bool unlink(Engine *e) noexcept {
    if (!e->registered)
        return false;
    *(e->prev ? &e->prev->next : &registry->first) = e->next;
    if (e->next != nullptr)
        e->next->prev = e->prev;
    e->prev = e->next = nullptr;
    e->registered = false;
    return true;
}

// The engines, each with a reference of the caller's, in a malloc'd array (*count of them).
Engine **snapshot(std::size_t *count) noexcept {
    LockedWithGil lock(registry->mutex);
    std::size_t n = 0;
    for (Engine *e = registry->first; e != nullptr; e = e->next)
        ++n;
    *count = n;
    auto **all = static_cast<Engine **>(std::malloc((n ? n : 1) * sizeof(Engine *)));
    if (all == nullptr)
        return nullptr;
    n = 0;
    for (Engine *e = registry->first; e != nullptr; e = e->next) {
        e->retain();
        all[n++] = e;
    }
    return all;
}

PyObject *close_all(PyObject *, PyObject *) noexcept {
    std::size_t n = 0;
    Engine **all = snapshot(&n);
    if (all == nullptr)
        return PyErr_NoMemory();
    const std::int64_t start = now_ns();
    for (std::size_t i = 0; i < n; ++i)
        all[i]->begin_close(start + all[i]->options.close_timeout_ms * kNsPerMs);
    Py_BEGIN_ALLOW_THREADS
    // Every client closes at once; exit waits for the longest close_timeout_ms at most.
    for (std::size_t i = 0; i < n; ++i)
        all[i]->finish_close(start + all[i]->options.close_timeout_ms * kNsPerMs);
    // From here on no shipper enters Python: the interpreter is about to finalise.
    {
        Locked lock(registry->gate);
        registry->python_closed = true;
    }
    Py_END_ALLOW_THREADS
    for (std::size_t i = 0; i < n; ++i) {
        unregister_engine(all[i]);
        all[i]->release();
    }
    std::free(all);
    Py_RETURN_NONE;
}

// A shipper inside Python may hold a lock of the interpreter's or the client library's (an
// import, a connection pool) that the child would find held by nobody: fork() waits, for a
// moment at most, for the shippers to leave Python, and keeps them out until it is done.
constexpr std::int64_t kForkWaitNs = 500 * kNsPerMs;

PyObject *before_fork(PyObject *, PyObject *) noexcept {
    Py_BEGIN_ALLOW_THREADS
    {
        Locked lock(registry->gate);
        registry->forking = true;
        const std::int64_t deadline = now_ns() + kForkWaitNs;
        while (registry->in_python > 0 && now_ns() < deadline)
            registry->gate_changed.wait_until(registry->gate, deadline);
    }
    Py_END_ALLOW_THREADS
    registry->mutex.lock(); // released by the hook after fork(), in both processes
    for (Engine *e = registry->first; e != nullptr; e = e->next)
        e->lock_for_fork();
    Py_RETURN_NONE;
}

PyObject *after_fork_in_parent(PyObject *, PyObject *) noexcept {
    for (Engine *e = registry->first; e != nullptr; e = e->next)
        e->unlock_after_fork();
    registry->mutex.unlock();
    {
        LockedWithGil lock(registry->gate);
        registry->forking = false;
    }
    registry->gate_changed.broadcast();
    Py_RETURN_NONE;
}

PyObject *after_fork_in_child(PyObject *, PyObject *) noexcept {
    registry->mutex.reinit();
    registry->gate.reinit();
    registry->gate_changed.reinit();
    registry->in_python = 0;
    registry->forking = false;
    registry->in_child = true;
    registry->child_finalizer = false;
    Engine *orphans = nullptr; // engines whose references of the parent's to drop, chained
    for (Engine *e = registry->first; e != nullptr;) {
        Engine *next = e->next;
        const Engine::Orphaned o = e->reset_in_child();
        if (o.thread)
            e->release(); // the parent's shipper; the registry still holds one
        if (o.detached) {
            // Its Python object is gone, and so is the parent's work: nothing to close here.
            unlink(e);
            e->next = orphans;
            orphans = e;
        }
        e = next;
    }
    while (orphans != nullptr) {
        Engine *next = orphans->next;
        orphans->next = nullptr;
        orphans->release();
        orphans = next;
    }
    Py_RETURN_NONE;
}

PyMethodDef close_all_def = {"_close_all", close_all, METH_NOARGS, nullptr};
PyMethodDef before_fork_def = {"_before_fork", before_fork, METH_NOARGS, nullptr};
PyMethodDef after_in_parent_def = {"_after_fork_in_parent", after_fork_in_parent, METH_NOARGS,
                                   nullptr};
PyMethodDef after_in_child_def = {"_after_fork_in_child", after_fork_in_child, METH_NOARGS,
                                  nullptr};

Kept close_all_function; // kept for multiprocessing's finalizer

Ref function(PyMethodDef *def) noexcept {
    return Ref::steal(PyCFunction_NewEx(def, nullptr, nullptr));
}

int register_hooks() noexcept {
    Ref close = function(&close_all_def);
    Ref atexit_register = close ? module::import_attribute(kAtexit, kRegister) : Ref();
    Ref done =
        atexit_register
            ? Ref::steal(PyObject_CallFunctionObjArgs(atexit_register.get(), close.get(), nullptr))
            : Ref();
    if (!done)
        return -1;
    Ref at_fork = module::import_attribute(kOs, kRegisterAtFork);
    Ref hooks = at_fork ? Ref::steal(PyDict_New()) : Ref();
    if (!hooks)
        return -1;
    const struct {
        PyObject *name;
        PyMethodDef *def;
    } each[] = {{kBefore, &before_fork_def},
                {kAfterInParent, &after_in_parent_def},
                {kAfterInChild, &after_in_child_def}};
    for (const auto &hook : each) {
        Ref f = function(hook.def);
        if (!f || PyDict_SetItem(hooks.get(), hook.name, f.get()) < 0)
            return -1;
    }
    Ref empty = Ref::steal(PyTuple_New(0));
    Ref registered =
        empty ? Ref::steal(PyObject_Call(at_fork.get(), empty.get(), hooks.get())) : Ref();
    if (!registered)
        return -1;
    close_all_function.reset(std::move(close));
    return 0;
}

} // namespace

int init_lifecycle() noexcept {
    if (close_all_function)
        return 0;
    if (registry == nullptr) {
        registry = new (std::nothrow) Registry;
        if (registry == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
    }
    return register_hooks();
}

void register_engine(Engine *e) noexcept {
    LockedWithGil lock(registry->mutex);
    e->retain();
    e->prev = nullptr;
    e->next = registry->first;
    if (registry->first != nullptr)
        registry->first->prev = e;
    registry->first = e;
    e->registered = true;
}

void unregister_engine(Engine *e, bool holding_gil) noexcept {
    bool was;
    if (holding_gil) {
        LockedWithGil lock(registry->mutex);
        was = unlink(e);
    } else {
        Locked lock(registry->mutex);
        was = unlink(e);
    }
    if (was)
        e->release();
}

bool enter_python(PyGILState_STATE &state) noexcept {
    Locked lock(registry->gate);
    while (registry->forking)
        registry->gate_changed.wait(registry->gate);
    if (registry->python_closed)
        return false;
    ++registry->in_python;
    state = PyGILState_Ensure();
    return true;
}

void leave_python(PyGILState_STATE state) noexcept {
    PyGILState_Release(state);
    Locked lock(registry->gate);
    if (--registry->in_python == 0)
        registry->gate_changed.broadcast();
}

namespace {

int before_shipper_start() noexcept {
    if (!registry->in_child || registry->child_finalizer)
        return 0;
    registry->child_finalizer = true;
    // A multiprocessing child ends in os._exit(), after running multiprocessing's finalizers
    // but not atexit. Only a module already loaded can have started such a child.
    PyObject *util = PyDict_GetItemWithError(PyImport_GetModuleDict(), kMultiprocessingUtil);
    if (util == nullptr)
        return PyErr_Occurred() ? -1 : 0;
    Ref keep = Ref::borrow(util);
    Ref finalize = Ref::steal(PyObject_GetAttr(util, kFinalize));
    Ref args = finalize ? Ref::steal(PyTuple_Pack(2, Py_None, close_all_function.get())) : Ref();
    Ref kwargs = args ? Ref::steal(PyDict_New()) : Ref();
    // Last among the finalizers, after those that may still log.
    Ref priority = kwargs ? Ref::steal(PyLong_FromLong(-100)) : Ref();
    if (!priority || PyDict_SetItem(kwargs.get(), kExitPriority, priority.get()) < 0)
        return -1;
    Ref done = Ref::steal(PyObject_Call(finalize.get(), args.get(), kwargs.get()));
    return done ? 0 : -1;
}

} // namespace

int start_shipper(Engine *e) noexcept {
    if (before_shipper_start() < 0)
        return -1;
    // 3.7 and 3.8 make the GIL only when asked: the client engine's shipper takes it.
    if (module::facts.minor < 9)
        PyEval_InitThreads();
    if (const int err = e->start(); err != 0) {
        errno = err;
        PyErr_SetFromErrno(PyExc_RuntimeError);
        return -1;
    }
    return 0;
}

} // namespace quorbel::batch
