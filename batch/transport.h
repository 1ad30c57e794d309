// How the shipper sends a batch: the native engine over its own connection, the client engine
// through a redis-py client.
#pragma once

#include <cstdint>

#include "batch/buffer.h"
#include "batch/url.h"

typedef struct _object PyObject;

namespace quorbel::batch {

class Transport {
  public:
    enum class Sent { Ok, Unknown };

    virtual ~Transport() = default;

    // Ready to send (the native engine: connected, AUTH and SELECT done)?
    virtual bool connected() const noexcept = 0;
    // Makes it ready; false with error() saying why.
    virtual bool connect() noexcept = 0;
    // Sends every record of b. Ok: ok[i] is 1 when entry i was stored, 0 when the server
    // refused it. Unknown: the batch may or may not have reached the server (a timeout, a
    // reset); the transport is disconnected and error() says why.
    virtual Sent send(const Batch &b, unsigned char *ok) noexcept = 0;
    // No wait goes past this CLOCK_MONOTONIC time in ns (0: none): a close's deadline.
    virtual void set_deadline(std::int64_t) noexcept {}
    virtual const char *error() const noexcept = 0;
    // The first refusal of the last Ok send ("" when none).
    virtual const char *entry_error() const noexcept = 0;
    // Forked child: drops the connection without disturbing the parent's.
    virtual void abandon() noexcept {}
    // Drops the Python objects the transport holds; with the GIL held.
    virtual void release_python() noexcept {}
    virtual bool uses_python() const noexcept { return false; }
};

// The native engine's transport (nullptr when out of memory).
Transport *make_native_transport(const Endpoint &endpoint, int timeout_ms) noexcept;

// The client engine's transport over `client` (borrowed; the transport keeps a reference).
// With the GIL held; nullptr with an exception set.
Transport *make_client_transport(PyObject *client) noexcept;

} // namespace quorbel::batch
