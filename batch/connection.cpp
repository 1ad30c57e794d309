// One connection to a Redis server: connect, handshake and pipelined round trips, each wait
// bounded, over a non-blocking socket.
#include "batch/connection.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <string>
#include <string_view>

namespace quorbel::batch {

namespace {

constexpr int kIovMax = 1024; // IOV_MAX on Linux

void append_command(std::string &out, std::initializer_list<std::string_view> args) {
    out += '*' + std::to_string(args.size()) + "\r\n";
    for (std::string_view arg : args) {
        out += '$' + std::to_string(arg.size()) + "\r\n";
        out.append(arg.data(), arg.size());
        out += "\r\n";
    }
}

} // namespace

Connection::Connection(Endpoint endpoint, int timeout_ms) noexcept
    : endpoint_(std::move(endpoint)), timeout_ms_(timeout_ms > 0 ? timeout_ms : 1) {
    if (!endpoint_.unix_path.empty()) {
        std::snprintf(peer_, sizeof peer_, "unix:%s", endpoint_.unix_path.c_str());
    } else {
        bool v6 = endpoint_.host.find(':') != std::string::npos;
        std::snprintf(peer_, sizeof peer_, v6 ? "[%s]:%d" : "%s:%d", endpoint_.host.c_str(),
                      endpoint_.port);
    }
}

Connection::~Connection() { close(); }

std::int64_t Connection::now_ns() noexcept {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void Connection::set_deadline(std::int64_t monotonic_ns) noexcept { deadline_ns_ = monotonic_ns; }

bool Connection::is_open() const noexcept { return fd_ >= 0; }

const char *Connection::error() const noexcept { return error_; }

const char *Connection::reply_error() const noexcept { return reply_error_; }

void Connection::close() noexcept {
    if (fd_ >= 0) {
        ::close(fd_); // never retried on EINTR: Linux has released the fd either way
        fd_ = -1;
    }
    reader_.reset();
}

void Connection::abandon() noexcept {
    // close() never calls shutdown(), so it already leaves the parent's connection alone.
    close();
    error_[0] = '\0';
    reply_error_[0] = '\0';
}

Status Connection::fail(const char *what, int err) noexcept {
    char reason[128];
    const char *text = err != 0 ? strerror_r(err, reason, sizeof reason) : "";
    std::snprintf(error_, sizeof error_, "%s: %s%s%s", peer_, what, err != 0 ? ": " : "", text);
    close();
    return Status::Failed;
}

std::int64_t Connection::wait_until() const noexcept {
    std::int64_t until = now_ns() + static_cast<std::int64_t>(timeout_ms_) * 1000000;
    return deadline_ns_ != 0 && deadline_ns_ < until ? deadline_ns_ : until;
}

Connection::Wait Connection::wait_for(short events, short &revents, std::int64_t until) noexcept {
    for (;;) {
        std::int64_t left = until - now_ns();
        if (left <= 0) {
            return Wait::Timeout;
        }
        pollfd p{fd_, events, 0};
        int rc = ::poll(&p, 1, static_cast<int>((left + 999999) / 1000000));
        if (rc > 0) {
            revents = p.revents;
            return Wait::Ready;
        }
        if (rc < 0 && errno != EINTR) {
            return Wait::Failed;
        }
    }
}

Status Connection::timed_out(const char *waiting_for) noexcept {
    char what[160];
    if (deadline_ns_ != 0 && now_ns() >= deadline_ns_) {
        std::snprintf(what, sizeof what, "gave up at the deadline %s", waiting_for);
    } else {
        std::snprintf(what, sizeof what, "timed out after %d ms %s", timeout_ms_, waiting_for);
    }
    return fail(what, 0);
}

Status Connection::connect_to(const sockaddr *addr, unsigned addrlen, int family,
                              std::int64_t until) noexcept {
    fd_ = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        return fail("socket", errno);
    }
    if (::connect(fd_, addr, addrlen) != 0) {
        if (errno == EAGAIN && family == AF_UNIX) {
            return fail("connect: the server's listen queue is full", 0);
        }
        // EINTR: the connection goes on in the background, as with EINPROGRESS.
        if (errno != EINPROGRESS && errno != EINTR) {
            return fail("connect", errno);
        }
        short revents = 0;
        Wait w = wait_for(POLLOUT, revents, until);
        if (w == Wait::Timeout) {
            return timed_out("connecting");
        }
        int err = 0;
        socklen_t len = sizeof err;
        if (w == Wait::Failed) {
            err = errno;
        } else if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
            err = errno;
        }
        if (err != 0) {
            return fail("connect", err);
        }
    }
    if (family != AF_UNIX) {
        int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        ::setsockopt(fd_, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    }
    return Status::Ok;
}

// Tries each address the name resolves to, within one timeout for all of them. The resolver
// itself is not bounded by it: give a numeric address where a slow DNS matters.
Status Connection::connect_socket() noexcept {
    std::int64_t until = wait_until();
    if (!endpoint_.unix_path.empty()) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, endpoint_.unix_path.data(),
                    std::min(endpoint_.unix_path.size(), sizeof addr.sun_path - 1));
        return connect_to(reinterpret_cast<const sockaddr *>(&addr), sizeof addr, AF_UNIX, until);
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *found = nullptr;
    std::string port = std::to_string(endpoint_.port);
    int rc = ::getaddrinfo(endpoint_.host.c_str(), port.c_str(), &hints, &found);
    if (rc != 0) {
        int err = errno;
        char what[160];
        std::snprintf(what, sizeof what, "cannot resolve the host%s%s",
                      rc == EAI_SYSTEM ? "" : ": ", rc == EAI_SYSTEM ? "" : gai_strerror(rc));
        return fail(what, rc == EAI_SYSTEM ? err : 0);
    }
    Status status = Status::Failed;
    for (addrinfo *a = found; a != nullptr && status != Status::Ok; a = a->ai_next) {
        status = connect_to(a->ai_addr, a->ai_addrlen, a->ai_family, until);
    }
    ::freeaddrinfo(found);
    if (status == Status::Ok) {
        error_[0] = '\0'; // an earlier address may have failed
    }
    return status;
}

Status Connection::open() noexcept {
    close();
    error_[0] = '\0';
    reply_error_[0] = '\0';
    if (connect_socket() != Status::Ok) {
        return Status::Failed;
    }
    // AUTH and SELECT are pipelined; without either, a PING shows that the server answers,
    // and answers without NOAUTH, before any record is sent.
    std::string commands;
    const char *names[2];
    std::size_t count = 0;
    std::string db = std::to_string(endpoint_.db);
    if (endpoint_.auth) {
        if (endpoint_.user.empty()) {
            append_command(commands, {"AUTH", endpoint_.password});
        } else {
            append_command(commands, {"AUTH", endpoint_.user, endpoint_.password});
        }
        names[count++] = "AUTH";
    }
    if (endpoint_.db != 0) {
        append_command(commands, {"SELECT", db});
        names[count++] = "SELECT";
    }
    if (count == 0) {
        append_command(commands, {"PING"});
        names[count++] = "PING";
    }
    iovec iov{commands.data(), commands.size()};
    unsigned char ok[2] = {0, 0};
    if (pump(&iov, 1, count, ok) != Status::Ok) {
        return Status::Failed;
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (!ok[i]) {
            char what[320];
            bool select = std::strcmp(names[i], "SELECT") == 0;
            std::snprintf(what, sizeof what, "%s%s%s failed: %s", names[i], select ? " " : "",
                          select ? db.c_str() : "", reply_error_);
            return fail(what, 0);
        }
    }
    return fd_ >= 0 ? Status::Ok : Status::Failed;
}

Status Connection::round_trip(const struct iovec *iov, int iovcnt, std::size_t count,
                              unsigned char *entry_ok) noexcept {
    reply_error_[0] = '\0';
    if (fd_ < 0) {
        std::snprintf(error_, sizeof error_, "%s: not connected", peer_);
        return Status::Failed;
    }
    if (pump(iov, iovcnt, count, entry_ok) != Status::Ok) {
        return Status::Failed;
    }
    if (state_error_) {
        close(); // error_ says which reply; the next open() waits for the server to recover
        return Status::Failed;
    }
    return Status::Ok;
}

// Sends what is left of the iovecs, at most kIovMax at a time, never raising SIGPIPE.
Status Connection::send_some(const iovec *iov, int iovcnt, int &index, std::size_t &offset,
                             bool &progress) noexcept {
    iovec window[kIovMax];
    int n = 0;
    for (int i = index; i < iovcnt && n < kIovMax; ++i, ++n) {
        window[n] = iov[i];
    }
    window[0].iov_base = static_cast<char *>(window[0].iov_base) + offset;
    window[0].iov_len -= offset;
    msghdr msg{};
    msg.msg_iov = window;
    msg.msg_iovlen = static_cast<std::size_t>(n);
    ssize_t sent = ::sendmsg(fd_, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) {
        return errno == EINTR || errno == EAGAIN ? Status::Ok : fail("send", errno);
    }
    progress = true;
    std::size_t left = static_cast<std::size_t>(sent);
    while (index < iovcnt && left >= iov[index].iov_len - offset) {
        left -= iov[index].iov_len - offset;
        offset = 0;
        ++index;
    }
    offset += left;
    return Status::Ok;
}

// Reads what has arrived and parses every complete reply in it.
// A reply beyond `count` leaves the replies known but the stream out of step: the connection
// is closed with Ok.
Status Connection::receive_some(std::size_t count, std::size_t &replies, unsigned char *entry_ok,
                                bool &progress) noexcept {
    ssize_t got = ::recv(fd_, in_, sizeof in_, MSG_DONTWAIT);
    if (got == 0) {
        return fail("the server closed the connection", 0);
    }
    if (got < 0) {
        return errno == EINTR || errno == EAGAIN ? Status::Ok : fail("receive", errno);
    }
    progress = true;
    std::size_t at = 0;
    std::size_t len = static_cast<std::size_t>(got);
    while (at < len) {
        std::size_t used = 0;
        ReplyReader::Step step = reader_.feed(in_ + at, len - at, used);
        at += used;
        if (step == ReplyReader::Step::NeedMore) {
            break;
        }
        if (step == ReplyReader::Step::Malformed) {
            char what[96];
            std::snprintf(what, sizeof what, "malformed reply from the server (byte 0x%02x)",
                          static_cast<unsigned char>(in_[at < len ? at : len - 1]));
            return fail(what, 0);
        }
        if (replies == count) {
            fail("a reply to no command: connection closed", 0);
            return Status::Ok;
        }
        bool error = reader_.is_error();
        entry_ok[replies++] = error ? 0 : 1;
        if (error && reply_error_[0] == '\0') {
            std::snprintf(reply_error_, sizeof reply_error_, "%s", reader_.error_text());
        }
        if (error && !state_error_ && is_server_state_error(reader_.error_text())) {
            state_error_ = true;
            std::snprintf(error_, sizeof error_, "%s: the server refused the batch: %s", peer_,
                          reader_.error_text());
        }
    }
    return Status::Ok;
}

// Writes while reading, so that the server's replies to the first commands never fill its
// output while we block on writing the rest: no deadlock whatever the batch's size.
Status Connection::pump(const struct iovec *iov, int iovcnt, std::size_t count,
                        unsigned char *entry_ok) noexcept {
    int index = 0;
    std::size_t offset = 0;
    std::size_t replies = 0;
    std::int64_t until = wait_until();
    state_error_ = false;
    for (;;) {
        while (index < iovcnt && offset == iov[index].iov_len) {
            ++index; // empty iovecs
            offset = 0;
        }
        bool writing = index < iovcnt;
        if (!writing && replies == count) {
            return Status::Ok;
        }
        if (writing && replies == count && count > 0) {
            return fail("the server replied before the commands were sent", 0);
        }
        short revents = 0;
        Wait w = wait_for(static_cast<short>(POLLIN | (writing ? POLLOUT : 0)), revents, until);
        if (w == Wait::Timeout) {
            return timed_out(writing ? "writing to the server" : "waiting for replies");
        }
        if (w == Wait::Failed) {
            return fail("poll", errno);
        }
        bool progress = false;
        if (writing && (revents & (POLLOUT | POLLERR)) != 0 &&
            send_some(iov, iovcnt, index, offset, progress) != Status::Ok) {
            return Status::Failed;
        }
        if ((revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0 &&
            receive_some(count, replies, entry_ok, progress) != Status::Ok) {
            return Status::Failed;
        }
        if (fd_ < 0) {
            return replies == count && index == iovcnt ? Status::Ok : Status::Failed;
        }
        if (progress) {
            until = wait_until(); // the timeout counts from the last byte moved
        }
    }
}

} // namespace quorbel::batch
