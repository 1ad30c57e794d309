// The spool: the folder of segment files in which a durable client keeps its records until
// the server has acknowledged them, so that a killed process loses none.
//
// The application thread writes each record into the current segment (mapped memory) before
// xadd returns; the shipper sends from there, and writes into the segment how far the server
// has acknowledged, only after the replies. A wholly acknowledged segment is removed. The
// page cache keeps what a killed process wrote; the shipper's msync every sync_ms bounds what
// a host crash can take. A client opened on the folder takes over (adopts) the segments whose
// owner is gone: each owner holds a lock on its segments, which ends with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "batch/buffer.h"

namespace quorbel::batch {

// The file behind a chunk of the buffer.
struct Segment {
    int fd = -1;
    char *map = nullptr; // ours: the file's mapping (header, then the chunk)
    std::size_t map_bytes = 0;
    std::uint32_t *slots = nullptr; // adopted: the slot of each of the chunk's records
    bool adopted = false;
    bool finished = false; // adopted: delivered, the file removed
    std::string path;
    Segment *prev = nullptr, *next = nullptr; // ours, in the spool's list
};

class Spool {
  public:
    Spool(std::string dir, std::size_t limit_bytes, std::int64_t sync_ms) noexcept;
    ~Spool();
    Spool(const Spool &) = delete;
    Spool &operator=(const Spool &) = delete;

    // Creates the folder if missing and checks that files can be made in it: 0, or the errno.
    int open() noexcept;
    const std::string &dir() const noexcept { return dir_; }
    std::size_t limit() const noexcept { return limit_; }
    std::int64_t sync_ms() const noexcept { return sync_ms_; }

    // Everything below runs with the buffer's mutex held, unless it says otherwise.

    // A new segment file whose chunk holds `capacity` bytes of data; nullptr with error() set
    // (0: spool_bytes would be exceeded).
    Chunk *new_chunk(std::size_t need) noexcept;
    int error() const noexcept { return error_; }
    // The record just written as slot `i` of c: its checksum.
    void written(Chunk *c, std::uint32_t i) noexcept;
    // The first n records of c are delivered (or spilled, or refused): said in the file.
    void acked(Chunk *c, std::uint32_t n) noexcept;
    // A send of the first n records of c begins.
    void sending(Chunk *c, std::uint32_t n) noexcept;
    // c is wholly retired: the file removed, its memory freed.
    void release(Chunk *c) noexcept;
    // No client uses c any more: the file is closed (its lock ends), and removed when `done`.
    void close_chunk(Chunk *c, bool done) noexcept;
    // Forked child: c is the parent's; its memory and descriptor go, the file stays as it is.
    void forget_in_child(Chunk *c) noexcept;

    // A gone owner's records, read into c (plain memory), the locked file in fd.
    Chunk *adopted_chunk(Chunk *c, std::uint32_t *slots, int fd, std::string path) noexcept;

    // The shipper, with the mutex held on entry and exit: msync of every segment written to
    // since the last, if sync_ms has passed; the mutex is released meanwhile. Segments are
    // removed only by the shipper, so none goes away during it. 0, or the errno of a failed
    // msync (the records stay in the page cache: only a host crash could take them).
    int sync_if_due(Mutex &mutex, std::int64_t now_ns) noexcept;
    // When the next msync is due (0: nothing to sync).
    std::int64_t next_sync_ns() const noexcept { return dirty_ ? next_sync_ns_ : 0; }

    std::uint64_t corrupt = 0; // records or files that did not check, when adopting
    std::uint64_t spooled = 0; // records written

  private:
    void link(Segment *s) noexcept;
    void unlink_segment(Segment *s) noexcept;
    void destroy(Segment *s, bool remove) noexcept;

    const std::string dir_;
    const std::size_t limit_;
    const std::int64_t sync_ms_;
    std::size_t live_bytes_ = 0; // of our segment files
    Segment *first_ = nullptr, *last_ = nullptr;
    int error_ = 0;
    bool dirty_ = false;
    std::int64_t next_sync_ns_ = 0;
};

} // namespace quorbel::batch
