// The spool's segment file: checksums, and reading one that a gone owner left.
#include "batch/segment.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "batch/checksum.h"
#include "batch/command.h"

namespace quorbel::batch {

namespace {

constexpr std::size_t kSlot = sizeof(RecordInfo);
// Larger than any segment we write (records are at most 512 MiB): not ours.
constexpr std::uint64_t kMaxSegmentBytes = std::uint64_t{1} << 31;

// The system calls themselves: glibc 2.28 renamed fcntl (fcntl64) and 2.33 fstat, and the
// wheel loads on an older glibc. On x86-64 both lay out their structs alike.
int sys_fcntl_lock(int fd, int cmd, struct flock *fl) noexcept {
    return static_cast<int>(syscall(SYS_fcntl, fd, cmd, fl));
}
int sys_fstat(int fd, struct stat *st) noexcept {
    return static_cast<int>(syscall(SYS_fstat, fd, st));
}

// Reads len bytes at off; how many it got (fewer at the end of the file), -1 on an error.
ssize_t read_at(int fd, char *dst, std::size_t len, std::size_t off) noexcept {
    std::size_t got = 0;
    while (got < len) {
        const ssize_t n = ::pread(fd, dst + got, len - got, static_cast<off_t>(off + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

bool all_zero(const char *p, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i)
        if (p[i] != 0)
            return false;
    return true;
}

// Whether the slot names a command of ours lying wholly in data[0..limit).
bool slot_checks(const RecordInfo &r, const char *data, std::size_t limit) noexcept {
    if (r.length == 0 || r.offset > limit || r.length > limit - r.offset)
        return false;
    const char *cmd = data + r.offset;
    if (record_crc(r, cmd) != r.crc)
        return false;
    CommandParts parts;
    if (!decode_command(cmd, r.length, parts) || parts.payload != cmd + r.payload_offset ||
        parts.payload_len != r.payload_length)
        return false;
    return valid_utf8(parts.key, parts.key_len) && valid_utf8(parts.payload, parts.payload_len);
}

struct Scan {
    std::uint32_t acked = 0, sending = 0, capacity = 0, hint = 0;
};

// The header's words; a damaged one counts and is taken at its safest value.
bool read_header(const char *file, std::size_t size, Scan &s, std::uint64_t &corrupt) noexcept {
    SegmentHeader h;
    std::memcpy(&h, file, sizeof h);
    if (std::memcmp(h.magic, kSegmentMagic, sizeof h.magic) != 0)
        return false;
    if (!unpack_word(h.capacity, s.capacity)) {
        ++corrupt;
        s.capacity = static_cast<std::uint32_t>(size - kSegmentHead);
    }
    if (!unpack_word(h.acked, s.acked)) {
        ++corrupt;
        s.acked = 0; // sent again rather than lost
    }
    if (!unpack_word(h.sending, s.sending) || s.sending < s.acked)
        s.sending = s.acked;
    Chunk c;
    std::memcpy(&c, file + sizeof h, sizeof c);
    s.hint = c.count; // how many slots the owner filled: only a hint
    return true;
}

} // namespace

std::uint32_t record_crc(const RecordInfo &info, const char *cmd) noexcept {
    // Every byte of the slot but the checksum itself, then the command.
    RecordInfo fields = info;
    fields.crc = 0;
    return crc32c(crc32c(0, &fields, sizeof fields), cmd, info.length);
}

bool is_segment_name(const char *name, std::size_t len) noexcept {
    const std::size_t pre = sizeof kSegmentPrefix - 1, suf = sizeof kSegmentSuffix - 1;
    return len > pre + suf && std::memcmp(name, kSegmentPrefix, pre) == 0 &&
           std::memcmp(name + len - suf, kSegmentSuffix, suf) == 0;
}

int lock_segment(int fd) noexcept {
    struct flock fl;
    std::memset(&fl, 0, sizeof fl);
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    if (sys_fcntl_lock(fd, F_OFD_SETLK, &fl) == 0)
        return 0;
    return errno == EACCES ? EAGAIN : errno;
}

void write_word(int fd, std::size_t field, std::uint32_t value) noexcept {
    const std::uint64_t w = pack_word(value);
    // One 8-byte write at an aligned place: the page cache takes it whole. Should it fail, the
    // word stays behind, and a later adopter sends those records again (never loses them).
    while (::pwrite(fd, &w, sizeof w, static_cast<off_t>(field)) < 0 && errno == EINTR) {
    }
}

Claim claim_segment(const std::string &path, std::size_t max_bytes, int *fd_out,
                    Claimed &out) noexcept {
    out = Claimed();
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return errno == ELOOP ? Claim::Foreign : Claim::Busy;
    struct stat st;
    if (sys_fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return Claim::Foreign;
    }
    // Locked by a live owner, or removed by the one who adopted it before us.
    if (lock_segment(fd) != 0 || sys_fstat(fd, &st) != 0 || st.st_nlink == 0) {
        ::close(fd);
        return Claim::Busy;
    }
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (size < kSegmentHead || size > kMaxSegmentBytes) {
        out.corrupt = 1;
        ::close(fd);
        return Claim::Foreign;
    }
    const auto file_bytes = static_cast<std::size_t>(size);
    char *file = static_cast<char *>(std::malloc(file_bytes));
    Scan s;
    const ssize_t got = file ? read_at(fd, file, file_bytes, 0) : -1;
    if (got < static_cast<ssize_t>(kSegmentHead) ||
        !read_header(file, file_bytes, s, out.corrupt)) {
        const bool foreign = got >= static_cast<ssize_t>(kSegmentHead);
        out.corrupt += foreign ? 1 : 0;
        std::free(file);
        ::close(fd);
        return foreign ? Claim::Foreign : Claim::Failed;
    }
    const char *data = file + kSegmentHead;
    const std::size_t present = static_cast<std::size_t>(got) - kSegmentHead; // data bytes read
    const std::size_t slots_max = s.capacity / kSlot;
    // First pass: the slots that check, and the room their commands need.
    std::size_t valid = 0, command_bytes = 0;
    std::uint32_t i = s.acked;
    for (; i < slots_max; ++i) {
        const std::size_t at = s.capacity - (i + std::size_t{1}) * kSlot; // within the data
        if (at + kSlot > present) { // cut off: a slot the owner filled is gone
            if (i < s.hint)
                ++out.corrupt;
            continue;
        }
        RecordInfo r;
        std::memcpy(&r, data + at, sizeof r);
        if (all_zero(data + at, kSlot))
            break;
        if (!slot_checks(r, data, at)) {
            ++out.corrupt;
            continue;
        }
        ++valid;
        command_bytes += r.length;
    }
    Chunk *c = nullptr;
    std::uint32_t *slots = nullptr;
    // What the undelivered records take in memory, not the file's size (its unused room).
    const std::size_t capacity = (command_bytes + valid * kSlot + 7) & ~std::size_t{7};
    if (capacity > max_bytes) {
        std::free(file);
        ::close(fd);
        return Claim::Busy;
    }
    out.bytes = capacity;
    if (valid != 0) {
        c = static_cast<Chunk *>(std::malloc(sizeof(Chunk) + capacity));
        slots = static_cast<std::uint32_t *>(std::malloc(valid * sizeof *slots));
        if (c == nullptr || slots == nullptr) {
            std::free(c);
            std::free(slots);
            std::free(file);
            ::close(fd);
            return Claim::Failed;
        }
        c->next = nullptr;
        c->capacity = static_cast<std::uint32_t>(capacity);
        c->used = c->count = c->spare = 0;
        c->segment = nullptr;
        const std::int64_t now = coarse_ms();
        for (std::uint32_t k = s.acked; k < i; ++k) {
            const std::size_t at = s.capacity - (k + std::size_t{1}) * kSlot;
            if (at + kSlot > present)
                continue;
            RecordInfo r;
            std::memcpy(&r, data + at, sizeof r);
            if (!slot_checks(r, data, at))
                continue;
            RecordInfo &info = c->info(c->count);
            std::memcpy(c->data() + c->used, data + r.offset, r.length);
            info = r;
            info.offset = c->used;
            info.accepted_ms = now;
            if (k < s.sending)
                ++out.maybe_sent;
            slots[c->count++] = k;
            c->used += r.length;
        }
    }
    std::free(file);
    out.chunk = c;
    out.slots = slots;
    *fd_out = fd;
    return Claim::Taken;
}

} // namespace quorbel::batch
