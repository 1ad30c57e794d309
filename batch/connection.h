// One connection to a Redis server, driven by the shipper thread: no Python, no GIL.
#pragma once

#include <cstddef>
#include <cstdint>

#include "batch/resp.h"
#include "batch/url.h"

struct iovec;
struct sockaddr;

namespace quorbel::batch {

enum class Status { Ok, Failed }; // Failed: the connection is closed; why in error()

// Blocking calls over a non-blocking socket: every wait is a poll() of at most timeout_ms
// without progress (and never past the deadline, when one is set). Not thread-safe: one
// thread owns a Connection at a time.
class Connection {
  public:
    Connection(Endpoint endpoint, int timeout_ms) noexcept;
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    // Connects (TCP with TCP_NODELAY, or a unix socket), then AUTH and SELECT when asked for,
    // or a PING otherwise, with each reply checked: a refused AUTH, SELECT or PING (NOAUTH,
    // LOADING ...) is Failed with the server's words in error().
    Status open() noexcept;
    bool is_open() const noexcept;
    void close() noexcept;
    // Forked child: closes the inherited fd without shutdown(), which would cut the parent's
    // connection too.
    void abandon() noexcept;

    // Writes all of iov[0..iovcnt), holding exactly `count` commands, while reading their
    // replies; entry_ok[i] = 1 when reply i was not an error reply. Failed (connection closed)
    // on a timeout, a reset, a malformed reply, or an error reply that speaks of the server's
    // state rather than of the entry (LOADING, READONLY, OOM, NOAUTH, ...): the batch's fate is
    // then unknown and entry_ok unspecified. The iovecs are not modified.
    Status round_trip(const struct iovec *iov, int iovcnt, std::size_t count,
                      unsigned char *entry_ok) noexcept;

    const char *error() const noexcept; // last failure, for stats/diagnosis ("" if none)
    // Text of the first error reply of the last round_trip ("" if none), e.g.
    // "WRONGTYPE Operation against a key holding the wrong kind of value" (at most 255 bytes).
    const char *reply_error() const noexcept;

    // An absolute CLOCK_MONOTONIC time in nanoseconds that no wait goes past (0: none), so
    // that a close with a deadline is not held up by a slow server for timeout_ms more.
    void set_deadline(std::int64_t monotonic_ns) noexcept;
    static std::int64_t now_ns() noexcept; // CLOCK_MONOTONIC

  private:
    enum class Wait { Ready, Timeout, Failed };
    Status fail(const char *what, int err) noexcept; // closes; error() = peer: what: strerror
    Status timed_out(const char *waiting_for) noexcept;
    std::int64_t wait_until() const noexcept;
    Wait wait_for(short events, short &revents, std::int64_t until) noexcept;
    Status connect_socket() noexcept;
    Status connect_to(const struct sockaddr *addr, unsigned addrlen, int family,
                      std::int64_t until) noexcept;
    Status pump(const struct iovec *iov, int iovcnt, std::size_t count,
                unsigned char *entry_ok) noexcept;
    Status send_some(const struct iovec *iov, int iovcnt, int &index, std::size_t &offset,
                     bool &progress) noexcept;
    Status receive_some(std::size_t count, std::size_t &replies, unsigned char *entry_ok,
                        bool &progress) noexcept;

    Endpoint endpoint_;
    int timeout_ms_;
    int fd_ = -1;
    std::int64_t deadline_ns_ = 0;
    bool state_error_ = false; // the last pump saw a server-state error reply
    ReplyReader reader_;
    char peer_[160] = {}; // "host:port", "[v6]:port" or "unix:path", for messages
    char error_[512] = {};
    char reply_error_[ReplyReader::kKeep + 1] = {};
    char in_[16384];
};

} // namespace quorbel::batch
