// The spill file, written by the shipper (or a takeover at close) without the GIL.
#include "batch/spill.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace quorbel::batch {

namespace {

bool exists(const std::string &name) noexcept { return access(name.c_str(), F_OK) == 0; }

std::string backup_name(const std::string &path, int i) noexcept {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".%d", i);
    return path + suffix;
}

char kNewline[] = "\n";

} // namespace

// Lines gathered for one writev: payload and newline, two iovecs a line.
struct Spill::Pending {
    static constexpr int kLines = 256;
    iovec iov[2 * kLines + 1];
    std::size_t lengths[kLines];
    int lines = 0;
    int iovcnt = 0;
    std::size_t prefix = 0; // a newline that ends a line a failed write left unfinished
    std::size_t bytes = 0;

    void start(bool after_partial) noexcept {
        lines = iovcnt = 0;
        bytes = prefix = 0;
        if (after_partial) {
            iov[iovcnt++] = {kNewline, 1};
            prefix = bytes = 1;
        }
    }
    void add(const char *payload, std::size_t len) noexcept {
        iov[iovcnt++] = {const_cast<char *>(payload), len};
        iov[iovcnt++] = {kNewline, 1};
        lengths[lines++] = len + 1;
        bytes += len + 1;
    }
};

Spill::~Spill() {
    if (fd_ >= 0)
        ::close(fd_);
}

int Spill::open() noexcept {
    if (fd_ >= 0)
        return 0;
    do {
        fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    } while (fd_ < 0 && errno == EINTR);
    return fd_ < 0 ? errno : 0;
}

void Spill::forget_after_fork() noexcept {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    partial_ = false;
    std::fill(std::begin(ours_), std::end(ours_), 0);
}

// False when a write failed; what reached the file is counted either way.
bool Spill::flush(Pending &p, Result &r) noexcept {
    std::size_t written = 0;
    iovec *v = p.iov;
    int left = p.iovcnt;
    while (left > 0) {
        const ssize_t n = ::writev(fd_, v, std::min(left, IOV_MAX));
        if (n <= 0) {
            if (n < 0 && errno == EINTR)
                continue;
            break;
        }
        written += static_cast<std::size_t>(n);
        auto k = static_cast<std::size_t>(n);
        while (left > 0 && k >= v->iov_len) {
            k -= v->iov_len;
            ++v;
            --left;
        }
        if (left > 0 && k > 0) {
            v->iov_base = static_cast<char *>(v->iov_base) + k;
            v->iov_len -= k;
        }
    }
    std::size_t complete = 0;
    if (written >= p.prefix) {
        partial_ = false;
        std::size_t end = p.prefix;
        for (int i = 0; i < p.lines; ++i) {
            end += p.lengths[i];
            if (end > written) {
                partial_ = written > end - p.lengths[i];
                break;
            }
            ++complete;
        }
    }
    r.written += complete;
    ours_[0] += complete;
    const bool ok = written == p.bytes;
    p.start(partial_);
    return ok;
}

// RotatingFileHandler.doRollover: PATH.2 -> PATH.3, PATH.1 -> PATH.2, PATH -> PATH.1.
void Spill::rotate(Result &r) noexcept {
    ::close(fd_);
    fd_ = -1;
    for (int i = kBackups - 1; i >= 0; --i) {
        const std::string source = i == 0 ? path_ : backup_name(path_, i);
        const std::string target = backup_name(path_, i + 1);
        if (!exists(source))
            continue;
        if (exists(target))
            r.lost += ours_[i + 1];
        if (::rename(source.c_str(), target.c_str()) == 0) {
            ours_[i + 1] = ours_[i];
            ours_[i] = 0;
        }
    }
    open();
    size_ = 0;
    partial_ = false;
}

Spill::Result Spill::write(const Batch &b, const unsigned char *skip) noexcept {
    Result r;
    if (open() != 0)
        return r;
    struct stat st;
    bool regular = false;
    // The system call itself: glibc 2.33 made fstat a function of its own (before, an inline
    // calling __fxstat), which an older glibc lacks. On x86-64 both lay out struct stat alike.
    if (syscall(SYS_fstat, fd_, &st) == 0) {
        regular = S_ISREG(st.st_mode);
        size_ = st.st_size; // other writers append too
    }
    Pending p;
    p.start(partial_);
    bool ok = true;
    b.for_each([&](std::size_t i, const RecordView &rec) {
        if (!ok || (skip != nullptr && skip[i] != 0))
            return;
        const std::int64_t line = static_cast<std::int64_t>(rec.payload_length) + 1;
        const std::int64_t at = size_ + static_cast<std::int64_t>(p.bytes);
        // Never rotate an empty file, nor anything but a regular file (as logging does).
        if (regular && at > 0 && at + line >= kMaxBytes) {
            ok = flush(p, r);
            if (!ok)
                return;
            rotate(r);
            if (fd_ < 0) {
                ok = false;
                return;
            }
            p.start(false);
        }
        if (p.lines == Pending::kLines) {
            size_ += static_cast<std::int64_t>(p.bytes);
            if (!(ok = flush(p, r)))
                return;
        }
        p.add(rec.payload, rec.payload_length);
    });
    if (ok && p.iovcnt > 0) {
        size_ += static_cast<std::int64_t>(p.bytes);
        flush(p, r);
    }
    return r;
}

} // namespace quorbel::batch
