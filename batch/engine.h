// The native half of one BatchClient: its options, buffer, spill file, transport and shipper
// thread, shared by the Python object, the shipper and the registry of open clients.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "batch/buffer.h"
#include "batch/spill.h"
#include "batch/spool.h"
#include "batch/transport.h"

namespace quorbel::batch {

struct Options {
    std::size_t batch_size = 256;
    std::int64_t linger_ms = 5;
    std::size_t buffer_bytes = 8388608;
    int timeout_ms = 1000;
    std::int64_t spill_after_ms = 2000;
    std::int64_t close_timeout_ms = 2000;
    std::size_t spool_bytes = 67108864;
    std::int64_t sync_ms = 500;
};

class Engine {
  public:
    // Takes over transport, spill and spool (either may be nullptr), and the caller holds the
    // one reference; nullptr when out of memory, leaving them to the caller.
    static Engine *create(const Options &options, Transport *transport, Spill *spill,
                          Spool *spool) noexcept;

    void retain() noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
    // Deletes the engine with its last reference; never touches Python.
    void release() noexcept;

    // Application thread, GIL held. NoThread: start() the shipper, then append again.
    Buffer::Append append(const CommandParts &parts) noexcept;
    // Starts the shipper unless it runs (or the client is closed): 0, or the errno.
    int start() noexcept;

    // GIL held: asks the shipper to send everything accepted so far; returns how many records
    // that is.
    std::uint64_t request_flush() noexcept;
    // The records dropped so far, and those adopted (GIL held).
    std::uint64_t dropped() noexcept;
    std::uint64_t adopted() noexcept;
    // The counts and the last error's text (GIL held).
    Counts counts(char (&last_error)[sizeof Buffer::last_error]) noexcept;
    // With the GIL released: waits until `target` records are retired or until deadline_ns;
    // whether they are.
    bool wait_retired(std::uint64_t target, std::int64_t deadline_ns) noexcept;
    // No more appends; the shipper delivers what is left until deadline_ns (GIL held).
    void begin_close(std::int64_t deadline_ns) noexcept;
    // With the GIL released: waits for the shipper to finish, up to deadline_ns; what is still
    // pending then is spilled (or dropped without a spill file) here. Returns whether nothing
    // had to be taken over.
    bool finish_close(std::int64_t deadline_ns) noexcept;

    // GIL held. The Python object is gone: nothing more will be appended; the shipper delivers
    // what is left and then exits. Returns whether the transport's Python objects may be
    // dropped now (no shipper will need them); otherwise the shipper drops them when it exits.
    bool detach() noexcept;

    // Fork hooks, in the forking thread; GIL held.
    void lock_for_fork() noexcept;
    void unlock_after_fork() noexcept;
    // In the child: an empty buffer, no thread, no connection. Says which references of the
    // parent's no longer hold: the shipper's, and the registry's when the Python object is gone.
    struct Orphaned {
        bool thread = false;
        bool detached = false;
    };
    Orphaned reset_in_child() noexcept;

    const Options options;
    Spool *const spool; // before the buffer, which keeps its records there
    Buffer buffer;
    Transport *const transport;
    Spill *const spill;
    // The registry's links (lifecycle.cpp), under its own mutex.
    Engine *prev = nullptr, *next = nullptr;
    bool registered = false;

  private:
    friend class Shipper;
    friend void *run_shipper(void *engine) noexcept;
    Engine(const Options &options, Transport *transport, Spill *spill, Spool *spool,
           unsigned char *entry_ok) noexcept;
    ~Engine();
    // Spills (or drops) every pending record, the shipper's batch included, and tells the
    // shipper to leave them; with a spool they stay in its segments instead.
    void take_over() noexcept;
    // The shipper's end: under the mutex the state, then the Python objects if it must.
    void shipper_exited() noexcept;

    std::atomic<int> refs_{1};
    unsigned char *const entry_ok_; // the shipper's per-entry results, batch_size of them
    bool detached_ = false;         // under buffer.mutex
};

} // namespace quorbel::batch
