// The native engine's transport: XADD commands written from the buffer over a connection of
// its own, replies read in order. No Python, no GIL.
#include <new>

#include "batch/connection.h"
#include "batch/transport.h"

namespace quorbel::batch {

namespace {

class NativeTransport final : public Transport {
  public:
    NativeTransport(const Endpoint &endpoint, int timeout_ms) noexcept
        : connection_(endpoint, timeout_ms) {}

    bool connected() const noexcept override { return connection_.is_open(); }
    bool connect() noexcept override { return connection_.open() == Status::Ok; }
    Sent send(const Batch &b, unsigned char *ok) noexcept override {
        return connection_.round_trip(b.iov, b.iovcnt, b.count, ok) == Status::Ok ? Sent::Ok
                                                                                  : Sent::Unknown;
    }
    void set_deadline(std::int64_t ns) noexcept override { connection_.set_deadline(ns); }
    const char *error() const noexcept override { return connection_.error(); }
    const char *entry_error() const noexcept override { return connection_.reply_error(); }
    void abandon() noexcept override { connection_.abandon(); }

  private:
    Connection connection_;
};

} // namespace

Transport *make_native_transport(const Endpoint &endpoint, int timeout_ms) noexcept {
    return new (std::nothrow) NativeTransport(endpoint, timeout_ms);
}

} // namespace quorbel::batch
