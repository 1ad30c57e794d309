// The spool's segment file: its layout, its checksums, and reading one a gone owner left.
//
// A segment is a chunk of the buffer (batch/buffer.h) kept in a file and mapped into memory:
//
//     [SegmentHeader, 64 bytes][Chunk][commands, growing up ... RecordInfo slots, growing down]
//
// Slot i sits at a fixed place, counted from the end, and names its command (offset and length)
// with a CRC-32C over the slot's fields and the command's bytes. A reader trusts nothing else:
// a slot that does not check is skipped, and the next one is still found. The words the shipper
// writes (how many slots the server acknowledged, how far a send may have got) carry their own
// complement, and each is written by one aligned store.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "batch/buffer.h"

namespace quorbel::batch {

struct SegmentHeader {
    char magic[8];
    std::uint64_t capacity; // packed: bytes of the chunk's data
    std::uint64_t acked;    // packed: slots from the first that are delivered (or spilled)
    std::uint64_t sending;  // packed: slots from the first that a send may have delivered
    std::uint64_t reserved[4];
};
static_assert(sizeof(SegmentHeader) == 64, "the header is one cache line");

inline constexpr char kSegmentMagic[8] = {'Q', 'R', 'B', 'L', 'S', 'P', 'L', '1'};
// Where the data begins: after the header and the chunk's in-memory fields.
inline constexpr std::size_t kSegmentHead = sizeof(SegmentHeader) + sizeof(Chunk);
// Names: "quorbel-<realtime ns, hex>-<pid>-<n>.qseg", so that sorting them puts the oldest first.
inline constexpr char kSegmentPrefix[] = "quorbel-";
inline constexpr char kSegmentSuffix[] = ".qseg";

inline std::uint64_t pack_word(std::uint32_t v) noexcept {
    return (std::uint64_t{v} << 32) | static_cast<std::uint32_t>(~v);
}
inline bool unpack_word(std::uint64_t w, std::uint32_t &v) noexcept {
    v = static_cast<std::uint32_t>(w >> 32);
    return static_cast<std::uint32_t>(w) == static_cast<std::uint32_t>(~v);
}
// One aligned 8-byte store: a reader (after a kill) sees the old word or the new one.
inline void store_word(std::uint64_t *at, std::uint32_t v) noexcept {
    __atomic_store_n(at, pack_word(v), __ATOMIC_RELEASE);
}

// The checksum a slot holds for its command at cmd.
std::uint32_t record_crc(const RecordInfo &info, const char *cmd) noexcept;

// Whether a name is a segment's (not a temporary file, not anything else in the folder).
bool is_segment_name(const char *name, std::size_t len) noexcept;

// A gone owner's segment, read: its undelivered records in a chunk of plain memory.
struct Claimed {
    Chunk *chunk = nullptr;         // nullptr: nothing left to deliver
    std::uint32_t *slots = nullptr; // the slot of each of the chunk's records
    std::uint64_t maybe_sent = 0;   // records a send of the owner's may have delivered
    std::uint64_t corrupt = 0;      // records (or headers) that did not check
    std::size_t bytes = 0;          // what the chunk takes in memory
};

enum class Claim {
    Taken,   // fd holds the lock; `out` says what it holds
    Busy,    // its owner lives (or it vanished): left alone
    Foreign, // not a segment of ours (counted in out.corrupt): left alone
    Failed,  // out of memory, or a read failed: left alone
};

// Opens path, takes its lock, reads it; a segment whose undelivered records would take more
// than max_bytes of memory is left for later (Busy). With Taken, *fd is open and locked.
Claim claim_segment(const std::string &path, std::size_t max_bytes, int *fd, Claimed &out) noexcept;

// The segment's acknowledged or sending word, written through its descriptor.
void write_word(int fd, std::size_t field, std::uint32_t value) noexcept;

// The lock a segment's owner holds: one per open file description, so that neither another
// process nor another client of this process can take it, and so that it ends with the
// owner. 0, or the errno (EAGAIN: held).
int lock_segment(int fd) noexcept;

} // namespace quorbel::batch
