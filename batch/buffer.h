// The bounded buffer of records shared by application threads and the shipper.
//
// One struct behind one mutex: the records (commands in chunked storage that never moves a
// committed record, so the shipper writes a batch straight from it without the mutex), the
// counters, and the few flags through which the two sides talk. Application threads only
// append; the shipper takes batches from the front and retires them, in order. A record is
// pending from its append until it is retired as sent, spilled or dropped. With a spool, the
// chunks are segment files mapped into memory (batch/spool.h), and taking over a gone owner's
// segments puts their records at the front.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

#include "batch/command.h"
#include "batch/sync.h"

namespace quorbel::batch {

// Kept for each record at the back of its chunk (growing down, while commands grow up).
struct RecordInfo {
    std::uint32_t offset;              // of the command within the chunk's data
    std::uint32_t length;              // of the command
    std::uint32_t payload_offset : 31; // of the payload within the command
    std::uint32_t payload_bytes : 1;   // the payload was given as bytes (else str)
    std::uint32_t payload_length;
    std::uint32_t crc; // in a spool: CRC-32C of the record's other fields and its command
    std::uint32_t spare;
    std::int64_t accepted_ms; // coarse_ms() at the append
};

struct Segment;

struct Chunk {
    Chunk *next;
    std::uint32_t capacity; // bytes of data after this header
    std::uint32_t used;     // bytes of commands from the front
    std::uint32_t count;    // records in the chunk
    std::uint32_t spare;
    Segment *segment; // the spool's file behind it (nullptr: plain memory)

    char *data() noexcept { return reinterpret_cast<char *>(this + 1); }
    RecordInfo &info(std::uint32_t i) noexcept {
        return reinterpret_cast<RecordInfo *>(data() + capacity)[-1 - static_cast<long>(i)];
    }
};

// A place in the sequence of records: record `index` of `chunk` (index == count: its end).
struct Position {
    Chunk *chunk = nullptr;
    std::uint32_t index = 0;
};

// One record as the shipper reads it: stable until the batch holding it is retired.
struct RecordView {
    const char *command;
    std::size_t length;
    const char *payload;
    std::size_t payload_length;
    bool payload_bytes;
};

// Consecutive records taken by the shipper, at most one batch at a time.
struct Batch {
    static constexpr int kMaxSegments = 64;
    Position first;
    std::size_t count = 0;
    std::size_t bytes = 0;      // as accounted against buffer_bytes
    std::int64_t oldest_ms = 0; // accepted_ms of its first record
    // The commands, one segment per run of records in one chunk.
    iovec iov[kMaxSegments];
    int iovcnt = 0;

    // Calls fn(index, RecordView) for each record, in order.
    template <typename F> void for_each(F &&fn) const noexcept {
        Position p = first;
        for (std::size_t i = 0; i < count; ++i) {
            while (p.index == p.chunk->count)
                p = {p.chunk->next, 0};
            const RecordInfo &r = p.chunk->info(p.index);
            const char *cmd = p.chunk->data() + r.offset;
            fn(i, RecordView{cmd, r.length, cmd + r.payload_offset, r.payload_length,
                             r.payload_bytes != 0});
            ++p.index;
        }
    }
};

// How the records of a retired batch ended.
struct Outcome {
    std::size_t sent = 0;
    std::size_t spilled = 0;
    std::size_t dropped = 0;
    std::size_t resent = 0;
    std::size_t lost_spilled = 0; // spilled earlier, then removed by the spill file's rotation
};

enum class ThreadState : unsigned char { None, Running, Exited };

// Counts of records, read together so that
// accepted + adopted == sent + spilled + dropped + pending.
struct Counts {
    std::uint64_t accepted, sent, spilled, dropped, resent, pending, pending_bytes;
    std::uint64_t spooled, adopted, corrupt;
};

class Spool;

class Buffer {
  public:
    // SpoolFailed: no new segment file (spool->error() says why, 0 when the spool is full).
    enum class Append { Ok, Closed, NoThread, Full, NoMemory, SpoolFailed };

    // With a spool (kept by the caller, and outliving the buffer), the records live in its
    // segment files and spool_bytes bounds them instead of limit_bytes.
    Buffer(std::size_t limit_bytes, std::size_t batch_size, Spool *spool) noexcept
        : limit_(limit_bytes), batch_size_(batch_size), spool_(spool) {}
    ~Buffer() { free_chunks(); }
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;

    // The application's side, with `mutex` held: the command encoded at the end of the buffer.
    // `wake`: signal `work` once the mutex is released (the shipper sleeps and now has work).
    Append append(const CommandParts &parts, bool &wake) noexcept;
    // The bytes a record of this command takes from buffer_bytes.
    static std::size_t footprint(const CommandParts &parts) noexcept {
        return command_size(parts) + sizeof(RecordInfo);
    }

    // Everything below as well runs with `mutex` held.
    std::uint64_t unsent() const noexcept { return accepted_ - taken_; }
    std::uint64_t pending() const noexcept { return accepted_ - retired_; }
    std::uint64_t accepted() const noexcept { return accepted_; }
    std::uint64_t retired() const noexcept { return retired_; }
    std::uint64_t dropped() const noexcept { return dropped_; }
    std::int64_t oldest_unsent_ms() noexcept;
    Counts counts() const noexcept;
    // Takes up to max_count records from the front of the unsent ones (at least one, if any),
    // no more than max_bytes of commands unless the first alone is larger.
    void take(Batch &b, std::size_t max_bytes) noexcept;
    // The batch is done; frees the chunks nothing refers to any more.
    void retire(const Batch &b, const Outcome &o) noexcept;
    // The records from the first unretired one to the end, as one batch-like run for a
    // takeover (close at its deadline): `b.count` records, of which the first `in_flight` were
    // taken by the shipper. Frees nothing: the shipper may still be writing from them.
    void pending_run(Batch &b, std::size_t &in_flight) noexcept;
    // Counts them retired after a takeover, without touching the memory.
    void retire_all(const Outcome &o) noexcept;
    // Forked child: every record and counter gone, the memory freed (the parent's segment
    // files untouched).
    void reset_after_fork() noexcept;

    // A gone owner's records, put after those already here (the buffer is new): `c` holds
    // them, `maybe_sent` of them may have reached the server already.
    void adopt(Chunk *c, std::uint64_t maybe_sent) noexcept;
    // The shipper is about to send b: the spool notes how far it may have got.
    void sending(const Batch &b) noexcept;
    // The shipper is gone and nothing more is appended: the segment files are closed, those
    // wholly delivered removed, the others left for the next client on the folder.
    void close_storage() noexcept;

    Mutex mutex;
    Cond work; // the shipper waits here: records, a flush, a stop
    Cond done; // flush and close wait here: records retired, the shipper gone

    // Flags, under the mutex.
    bool closed = false;    // no more appends
    bool stopping = false;  // the shipper delivers what is left, then exits
    bool abandoned = false; // a takeover retired everything: the shipper leaves it all
    bool sleeping = false;  // the shipper waits for records: an append must signal
    bool attempted = false; // the shipper's batch was written at least once
    ThreadState thread = ThreadState::None;
    std::int64_t stop_deadline_ns = 0; // with stopping: give up delivery at this time (0: never)
    std::uint64_t flush_target = 0;    // no lingering until this many records were taken
    char last_error[256] = {};

  private:
    Chunk *new_chunk(std::size_t need) noexcept;
    // c becomes the chunk appends go to.
    void link_tail(Chunk *c) noexcept;
    // The oldest chunk is wholly retired (and not where appends go): freed.
    void drop_head() noexcept;
    void free_chunks() noexcept;
    void release_chunk(Chunk *c) noexcept;

    const std::size_t limit_;
    const std::size_t batch_size_;
    Spool *const spool_;
    Chunk *head_ = nullptr;  // oldest chunk still holding a pending record
    Chunk *tail_ = nullptr;  // where appends go
    Chunk *spare_ = nullptr; // one empty chunk kept for reuse
    Position retire_pos_;    // first pending record
    Position take_pos_;      // first record not taken
    std::uint64_t accepted_ = 0, taken_ = 0, retired_ = 0;
    std::uint64_t sent_ = 0, spilled_ = 0, dropped_ = 0, resent_ = 0, adopted_ = 0;
    std::size_t bytes_ = 0; // pending records' footprints
};

} // namespace quorbel::batch
