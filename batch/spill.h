// The spill file: records the shipper could not deliver in time, one payload per line, in the
// handler's fallback format (UTF-8, rotated by size as RotatingFileHandler rotates).
#pragma once

#include <cstdint>
#include <string>

#include "batch/buffer.h"

namespace quorbel::batch {

class Spill {
  public:
    // The handler's fallback defaults.
    static constexpr std::int64_t kMaxBytes = 5242880;
    static constexpr int kBackups = 3;

    struct Result {
        std::size_t written = 0; // records now in the file; the others failed
        std::size_t lost = 0;    // records of ours in a backup that rotation removed
    };

    // path: the file name in the file system's encoding.
    explicit Spill(std::string path) noexcept : path_(std::move(path)) {}
    ~Spill();
    Spill(const Spill &) = delete;
    Spill &operator=(const Spill &) = delete;

    // Opens (creating) the file for appending: 0, or the errno of the failure.
    int open() noexcept;
    // Appends the payload of each record of b whose skip entry is 0 (every record when skip is
    // nullptr). With `mutex` held.
    Result write(const Batch &b, const unsigned char *skip) noexcept;
    // Forked child: the file is opened again at the next write (the parent may rotate it).
    void forget_after_fork() noexcept;

    // Held around a write, and by a takeover (before the buffer's mutex).
    Mutex mutex;

  private:
    struct Pending;
    void rotate(Result &r) noexcept;
    bool flush(Pending &p, Result &r) noexcept;

    const std::string path_;
    int fd_ = -1;
    std::int64_t size_ = 0;
    bool partial_ = false;                  // a write stopped inside a line
    std::uint64_t ours_[kBackups + 1] = {}; // our lines in PATH, PATH.1, ...
};

} // namespace quorbel::batch
