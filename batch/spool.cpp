// The spool's own segment files: made, written, acknowledged, synced and removed.
#include "batch/spool.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

#include "batch/segment.h"

namespace quorbel::batch {

namespace {

// A segment's usual size: a quarter of the spool, within these bounds; a larger record gets
// a segment of its own.
constexpr std::size_t kMinSegment = 64 * 1024;
constexpr std::size_t kMaxSegment = 4 * 1024 * 1024;

std::size_t round8(std::size_t n) noexcept { return (n + 7) & ~std::size_t{7}; }

// Segments made in this process, by any client: with the time and the process id, a name
// no other segment has.
std::atomic<unsigned> segments_made{0};

SegmentHeader *header_of(Segment *s) noexcept { return reinterpret_cast<SegmentHeader *>(s->map); }

int close_retrying(int fd) noexcept { return ::close(fd); } // EINTR: Linux has closed it

std::uint64_t realtime_ns() noexcept {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u +
           static_cast<std::uint64_t>(ts.tv_nsec);
}

} // namespace

Spool::Spool(std::string dir, std::size_t limit_bytes, std::int64_t sync_ms) noexcept
    : dir_(std::move(dir)), limit_(limit_bytes), sync_ms_(sync_ms) {}

Spool::~Spool() = default; // the buffer closed every chunk first

int Spool::open() noexcept {
    if (::mkdir(dir_.c_str(), 0777) != 0 && errno != EEXIST)
        return errno;
    // A folder (ENOTDIR otherwise), tested by opening it: glibc 2.33 made stat() a symbol of
    // its own, which the older ones the wheel loads on lack.
    const int dir_fd = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0)
        return errno;
    close_retrying(dir_fd);
    // Whether files can be made there: a probe, made and removed at once.
    char name[64];
    std::snprintf(name, sizeof name, "/.quorbel-probe-%ld", static_cast<long>(getpid()));
    const std::string probe = dir_ + name;
    int fd;
    do {
        fd = ::open(probe.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return errno;
    // And whether the segments' locks work there (Linux 3.15 and later: EINVAL before).
    int err = lock_segment(fd);
    close_retrying(fd);
    if (::unlink(probe.c_str()) != 0 && err == 0)
        err = errno;
    return err;
}

void Spool::link(Segment *s) noexcept {
    s->prev = last_;
    s->next = nullptr;
    *(last_ ? &last_->next : &first_) = s;
    last_ = s;
}

void Spool::unlink_segment(Segment *s) noexcept {
    *(s->prev ? &s->prev->next : &first_) = s->next;
    *(s->next ? &s->next->prev : &last_) = s->prev;
    s->prev = s->next = nullptr;
}

Chunk *Spool::new_chunk(std::size_t need) noexcept {
    const std::size_t usual =
        std::min(std::max(limit_ / 4, kMinSegment), kMaxSegment) - kSegmentHead;
    const std::size_t capacity = round8(std::max(need, usual));
    const std::size_t bytes = kSegmentHead + capacity;
    if (bytes > limit_ || live_bytes_ > limit_ - bytes) {
        error_ = 0;
        return nullptr;
    }
    auto *s = new (std::nothrow) Segment;
    if (s == nullptr) {
        error_ = ENOMEM;
        return nullptr;
    }
    char name[96];
    std::snprintf(name, sizeof name, "/%s%016llx-%ld-%u%s", kSegmentPrefix,
                  static_cast<unsigned long long>(realtime_ns()), static_cast<long>(getpid()),
                  segments_made.fetch_add(1, std::memory_order_relaxed), kSegmentSuffix);
    s->path = dir_ + name;
    // Made under a name no adopter reads, locked, sized and headed, then renamed: an adopter
    // never sees a segment before its owner holds it.
    const std::string temporary = dir_ + "/." + (name + 1) + ".tmp";
    int err = 0;
    do {
        s->fd = ::open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    } while (s->fd < 0 && errno == EINTR);
    if (s->fd < 0)
        err = errno;
    // Blocks reserved now: a full disk is an error here, never a SIGBUS at a later store.
    if (err == 0 && (err = lock_segment(s->fd)) == 0) {
        do {
            err = posix_fallocate(s->fd, 0, static_cast<off_t>(bytes));
        } while (err == EINTR);
    }
    if (err == 0) {
        void *map = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, s->fd, 0);
        if (map == MAP_FAILED) {
            err = errno;
        } else {
            s->map = static_cast<char *>(map);
            s->map_bytes = bytes;
            SegmentHeader *h = header_of(s);
            std::memcpy(h->magic, kSegmentMagic, sizeof h->magic);
            h->capacity = pack_word(static_cast<std::uint32_t>(capacity));
            h->acked = h->sending = pack_word(0);
            if (::rename(temporary.c_str(), s->path.c_str()) != 0)
                err = errno;
        }
    }
    if (err != 0) {
        if (s->fd >= 0)
            ::unlink(temporary.c_str());
        destroy(s, false);
        error_ = err;
        return nullptr;
    }
    auto *c = reinterpret_cast<Chunk *>(s->map + sizeof(SegmentHeader));
    c->next = nullptr;
    c->capacity = static_cast<std::uint32_t>(capacity);
    c->used = c->count = c->spare = 0;
    c->segment = s;
    live_bytes_ += bytes;
    link(s);
    return c;
}

void Spool::written(Chunk *c, std::uint32_t i) noexcept {
    RecordInfo &info = c->info(i);
    info.spare = 0;
    info.crc = record_crc(info, c->data() + info.offset);
    ++spooled;
    if (!dirty_) {
        dirty_ = true;
        if (next_sync_ns_ == 0)
            next_sync_ns_ = now_ns() + sync_ms_ * kNsPerMs;
    }
}

void Spool::acked(Chunk *c, std::uint32_t n) noexcept {
    Segment *s = c->segment;
    if (s == nullptr || s->finished)
        return;
    if (!s->adopted) {
        store_word(&header_of(s)->acked, n);
        return;
    }
    if (n == 0)
        return;
    write_word(s->fd, offsetof(SegmentHeader, acked), s->slots[n - 1] + 1);
    if (n == c->count) {
        // Delivered: the file goes now, the memory with the chunk.
        ::unlink(s->path.c_str());
        close_retrying(s->fd);
        s->fd = -1;
        s->finished = true;
    }
}

void Spool::sending(Chunk *c, std::uint32_t n) noexcept {
    Segment *s = c->segment;
    if (s == nullptr || s->finished || n == 0)
        return;
    if (!s->adopted)
        store_word(&header_of(s)->sending, n);
    else
        write_word(s->fd, offsetof(SegmentHeader, sending), s->slots[n - 1] + 1);
}

// Failures here change nothing we could act on: a segment that cannot be removed (its folder
// gone) holds only delivered records, which a later adopter reads as done and removes.
void Spool::destroy(Segment *s, bool remove) noexcept {
    if (remove && !s->finished)
        ::unlink(s->path.c_str());
    if (s->map != nullptr)
        munmap(s->map, s->map_bytes);
    if (s->fd >= 0)
        close_retrying(s->fd);
    std::free(s->slots);
    delete s;
}

void Spool::close_chunk(Chunk *c, bool done) noexcept {
    Segment *s = c->segment;
    if (s == nullptr) {
        std::free(c);
        return;
    }
    if (s->adopted) {
        std::free(c); // plain memory
    } else {
        unlink_segment(s);
        live_bytes_ -= s->map_bytes;
    }
    destroy(s, done);
}

void Spool::release(Chunk *c) noexcept { close_chunk(c, true); }

void Spool::forget_in_child(Chunk *c) noexcept {
    Segment *s = c->segment;
    if (s != nullptr && !s->adopted) {
        unlink_segment(s);
        live_bytes_ -= s->map_bytes;
    } else {
        std::free(c);
    }
    if (s != nullptr)
        destroy(s, false);
}

Chunk *Spool::adopted_chunk(Chunk *c, std::uint32_t *slots, int fd, std::string path) noexcept {
    auto *s = new (std::nothrow) Segment;
    if (s == nullptr)
        return nullptr;
    s->fd = fd;
    s->slots = slots;
    s->adopted = true;
    s->path = std::move(path);
    c->segment = s; // full to within 8 bytes: appends start a segment of ours
    return c;
}

int Spool::sync_if_due(Mutex &mutex, std::int64_t now) noexcept {
    if (!dirty_ || now < next_sync_ns_)
        return 0;
    int failed = 0;
    dirty_ = false;
    next_sync_ns_ = 0;
    // Gathered under the mutex (appends add segments), synced without it.
    constexpr int kAtOnce = 64;
    struct {
        char *map;
        std::size_t bytes;
    } todo[kAtOnce];
    for (Segment *from = first_; from != nullptr;) {
        int n = 0;
        for (; from != nullptr && n < kAtOnce; from = from->next)
            todo[n++] = {from->map, from->map_bytes};
        mutex.unlock();
        for (int i = 0; i < n; ++i)
            if (msync(todo[i].map, todo[i].bytes, MS_SYNC) != 0 && failed == 0)
                failed = errno;
        mutex.lock();
    }
    return failed;
}

} // namespace quorbel::batch
