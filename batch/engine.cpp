// The native half of one BatchClient: ownership, the shipper's start, flush and close.
#include "batch/engine.h"

#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "batch/gil.h"
#include "batch/lifecycle.h"
#include "batch/shipper.h"

namespace quorbel::batch {

Engine *Engine::create(const Options &options, Transport *transport, Spill *spill,
                       Spool *spool) noexcept {
    auto *entry_ok = static_cast<unsigned char *>(std::malloc(options.batch_size));
    Engine *e =
        entry_ok ? new (std::nothrow) Engine(options, transport, spill, spool, entry_ok) : nullptr;
    if (e == nullptr)
        std::free(entry_ok);
    return e;
}

// With a spool, records wait in its files, bounded by spool_bytes rather than buffer_bytes.
Engine::Engine(const Options &options, Transport *transport, Spill *spill, Spool *spool,
               unsigned char *entry_ok) noexcept
    : options(options), spool(spool),
      buffer(spool ? SIZE_MAX / 2 : options.buffer_bytes, options.batch_size, spool),
      transport(transport), spill(spill), entry_ok_(entry_ok) {}

Engine::~Engine() {
    buffer.close_storage();
    delete spool;
    delete transport;
    delete spill;
    std::free(entry_ok_);
}

void Engine::release() noexcept {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete this;
}

Buffer::Append Engine::append(const CommandParts &parts) noexcept {
    bool wake;
    Buffer::Append result;
    {
        LockedWithGil lock(buffer.mutex);
        result = buffer.append(parts, wake);
    }
    if (wake)
        buffer.work.signal();
    return result;
}

std::uint64_t Engine::dropped() noexcept {
    LockedWithGil lock(buffer.mutex);
    return buffer.dropped();
}

std::uint64_t Engine::adopted() noexcept {
    LockedWithGil lock(buffer.mutex);
    return buffer.counts().adopted;
}

Counts Engine::counts(char (&last_error)[sizeof Buffer::last_error]) noexcept {
    LockedWithGil lock(buffer.mutex);
    std::memcpy(last_error, buffer.last_error, sizeof last_error);
    return buffer.counts();
}

int Engine::start() noexcept {
    {
        LockedWithGil lock(buffer.mutex);
        if (buffer.thread == ThreadState::Running || buffer.closed)
            return 0;
        buffer.thread = ThreadState::Running;
    }
    retain(); // the thread's
    // The shipper takes no signal: they stay with the interpreter's threads.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t id;
    const int err = pthread_create(&id, &attr, run_shipper, this);
    pthread_attr_destroy(&attr);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (err != 0) {
        {
            LockedWithGil lock(buffer.mutex);
            buffer.thread = ThreadState::None;
        }
        release();
    }
    return err;
}

std::uint64_t Engine::request_flush() noexcept {
    LockedWithGil lock(buffer.mutex);
    const std::uint64_t target = buffer.accepted();
    buffer.flush_target = std::max(buffer.flush_target, target);
    if (buffer.sleeping) {
        buffer.sleeping = false;
        buffer.work.signal();
    }
    return target;
}

bool Engine::wait_retired(std::uint64_t target, std::int64_t deadline_ns) noexcept {
    Locked lock(buffer.mutex);
    while (buffer.retired() < target) {
        if (now_ns() >= deadline_ns)
            return false;
        buffer.done.wait_until(buffer.mutex, deadline_ns);
    }
    return true;
}

void Engine::begin_close(std::int64_t deadline_ns) noexcept {
    LockedWithGil lock(buffer.mutex);
    buffer.closed = true;
    buffer.stopping = true;
    if (buffer.stop_deadline_ns == 0 || deadline_ns < buffer.stop_deadline_ns)
        buffer.stop_deadline_ns = deadline_ns;
    buffer.sleeping = false;
    buffer.work.signal();
}

bool Engine::finish_close(std::int64_t deadline_ns) noexcept {
    {
        Locked lock(buffer.mutex);
        while (buffer.pending() != 0 || buffer.thread == ThreadState::Running) {
            if (now_ns() >= deadline_ns)
                break;
            buffer.done.wait_until(buffer.mutex, deadline_ns);
        }
        if (buffer.pending() == 0 && spool == nullptr)
            return true;
        if (spool != nullptr && buffer.thread != ThreadState::Running) {
            // Nobody reads the segments now: closed, and what is left is for the next client.
            const bool done = buffer.pending() == 0;
            buffer.close_storage();
            return done;
        }
    }
    take_over();
    if (spool != nullptr) {
        // The shipper's I/O ends at the deadline: once it is gone, the segments are closed, so
        // that another client may take them now rather than when this process ends.
        constexpr std::int64_t kGraceNs = 1000 * kNsPerMs;
        Locked lock(buffer.mutex);
        const std::int64_t until = now_ns() + kGraceNs;
        while (buffer.thread == ThreadState::Running && now_ns() < until)
            buffer.done.wait_until(buffer.mutex, until);
        if (buffer.thread != ThreadState::Running)
            buffer.close_storage();
    }
    return false;
}

void Engine::take_over() noexcept {
    if (spool != nullptr) {
        // A spool is the durable place: its records wait there for the next client.
        Locked lock(buffer.mutex);
        buffer.abandoned = buffer.pending() != 0;
        buffer.work.signal();
        return;
    }
    // The spill file's mutex first, as the shipper takes them: a spill of the shipper's is then
    // either finished and retired, or not begun.
    if (spill != nullptr)
        spill->mutex.lock();
    Batch run;
    std::size_t in_flight = 0;
    bool attempted = false;
    {
        Locked lock(buffer.mutex);
        buffer.pending_run(run, in_flight);
        attempted = buffer.attempted;
        if (run.count != 0)
            buffer.abandoned = true;
    }
    if (run.count != 0) {
        Outcome o;
        if (spill != nullptr) {
            const Spill::Result r = spill->write(run, nullptr);
            o.spilled = r.written;
            o.lost_spilled = r.lost;
            // The shipper's batch may also have reached the server.
            o.resent = attempted ? std::min(in_flight, r.written) : 0;
        }
        o.dropped = run.count - o.spilled;
        Locked lock(buffer.mutex);
        buffer.retire_all(o);
        buffer.done.broadcast();
        buffer.work.signal();
    }
    if (spill != nullptr)
        spill->mutex.unlock();
}

bool Engine::detach() noexcept {
    LockedWithGil lock(buffer.mutex);
    detached_ = true;
    buffer.closed = true;
    buffer.stopping = true;
    buffer.sleeping = false;
    buffer.work.signal();
    return buffer.thread != ThreadState::Running;
}

void Engine::shipper_exited() noexcept {
    bool detached;
    {
        Locked lock(buffer.mutex);
        buffer.thread = ThreadState::Exited;
        buffer.done.broadcast();
        detached = detached_;
    }
    if (!detached)
        return;
    // Nobody else will drop the transport's Python objects, nor close this engine.
    PyGILState_STATE gil;
    if (transport->uses_python() && enter_python(gil)) {
        transport->release_python();
        leave_python(gil);
    }
    unregister_engine(this, false);
}

void Engine::lock_for_fork() noexcept {
    if (spill != nullptr)
        spill->mutex.lock();
    buffer.mutex.lock();
}

void Engine::unlock_after_fork() noexcept {
    buffer.mutex.unlock();
    if (spill != nullptr)
        spill->mutex.unlock();
}

Engine::Orphaned Engine::reset_in_child() noexcept {
    buffer.mutex.reinit();
    buffer.work.reinit();
    buffer.done.reinit();
    Orphaned o;
    o.thread = buffer.thread == ThreadState::Running;
    o.detached = detached_;
    buffer.reset_after_fork();
    buffer.thread = ThreadState::None;
    buffer.stopping = buffer.closed;
    buffer.abandoned = buffer.sleeping = buffer.attempted = false;
    buffer.stop_deadline_ns = 0;
    buffer.flush_target = 0;
    buffer.last_error[0] = '\0';
    transport->abandon();
    if (spill != nullptr) {
        spill->mutex.reinit();
        spill->forget_after_fork();
    }
    return o;
}

} // namespace quorbel::batch
