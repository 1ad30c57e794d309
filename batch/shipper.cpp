// The shipper thread: batches from the buffer to the transport, one batch in flight.
//
// A batch leaves when batch_size records wait, when its oldest record has waited linger_ms,
// or at once for a flush or a close. Its replies decide each entry: stored (sent), or refused
// by the server (spilled, or dropped without a spill file). A failed round trip leaves the
// batch's fate unknown: it is sent again once the connection is back (counted in `resent`),
// with connection attempts backed off from 100 ms to 5 s. While delivery fails, a batch older
// than spill_after_ms goes to the spill file; a close past its deadline spills (or drops)
// what is left. With a spool nothing is spilled but what the server refused: undelivered
// records stay in their segments (for this client, or at a close for the next one), and the
// shipper syncs the segments every sync_ms. The mutex is never held across I/O, and the native
// engine's shipper never touches Python at all.
#include "batch/shipper.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "batch/engine.h"

namespace quorbel::batch {

namespace {

constexpr std::int64_t kFirstBackoffMs = 100;
constexpr std::int64_t kMaxBackoffMs = 5000;
// Commands per batch beyond which it is cut, whatever batch_size says (the first record
// always goes, however large).
constexpr std::size_t kBatchBytes = std::size_t{1} << 20;

} // namespace

class Shipper {
  public:
    explicit Shipper(Engine &e) noexcept
        : e_(e), buffer_(e.buffer), transport_(*e.transport), ok_(e.entry_ok_) {}

    void run() noexcept {
        while (next_batch())
            deliver();
    }

  private:
    bool next_batch() noexcept;
    void deliver() noexcept;
    // Retires the batch as `o` says, once the records in o.dropped went to the spill file if
    // there is one: all of them (whole_batch), or those the server refused. Nothing when a
    // takeover got there first.
    void finish(Outcome o, bool whole_batch, bool unknown) noexcept;
    void failed(const char *why) noexcept;
    // Waits until `until_ns` or a signal; false when a takeover has retired everything.
    bool pause(std::int64_t until_ns) noexcept;
    // With the mutex held: the spool's msync when due; a failure shows in last_error.
    void sync_spool() noexcept {
        if (e_.spool == nullptr)
            return;
        if (const int err = e_.spool->sync_if_due(buffer_.mutex, now_ns()); err != 0)
            std::snprintf(buffer_.last_error, sizeof buffer_.last_error, "spool msync: %s",
                          std::strerror(err));
    }

    Engine &e_;
    Buffer &buffer_;
    Transport &transport_;
    unsigned char *ok_;
    Batch batch_;
    std::size_t sends_ = 0; // of the current batch
    bool failing_ = false;  // the last connection attempt or round trip failed
    std::int64_t backoff_ms_ = kFirstBackoffMs;
    std::int64_t next_attempt_ns_ = 0;
};

bool Shipper::next_batch() noexcept {
    Locked lock(buffer_.mutex);
    for (;;) {
        if (buffer_.abandoned)
            return false;
        sync_spool();
        const std::uint64_t unsent = buffer_.unsent();
        if (unsent == 0) {
            if (buffer_.stopping)
                return false;
            const std::int64_t sync_ns = e_.spool ? e_.spool->next_sync_ns() : 0;
            buffer_.sleeping = true;
            if (sync_ns != 0)
                buffer_.work.wait_until(buffer_.mutex, sync_ns);
            else
                buffer_.work.wait(buffer_.mutex);
            buffer_.sleeping = false;
            continue;
        }
        const bool now = unsent >= e_.options.batch_size || buffer_.stopping ||
                         buffer_.accepted() - unsent < buffer_.flush_target;
        if (!now) {
            const std::int64_t wait_ms =
                buffer_.oldest_unsent_ms() + e_.options.linger_ms - coarse_ms();
            if (wait_ms > 0) {
                buffer_.sleeping = true;
                buffer_.work.wait_until(buffer_.mutex, now_ns() + wait_ms * kNsPerMs);
                buffer_.sleeping = false;
                continue;
            }
        }
        buffer_.take(batch_, kBatchBytes);
        buffer_.attempted = false;
        sends_ = 0;
        return true;
    }
}

void Shipper::deliver() noexcept {
    bool unknown = false;
    for (;;) {
        std::int64_t stop_ns = 0;
        {
            Locked lock(buffer_.mutex);
            if (buffer_.abandoned)
                return;
            if (buffer_.stopping)
                stop_ns = buffer_.stop_deadline_ns;
        }
        const std::int64_t now = now_ns();
        // While delivery fails, the time left before the batch goes to the spill file.
        const bool spillable = e_.spill != nullptr && failing_ && e_.spool == nullptr;
        const std::int64_t spill_in_ms =
            spillable ? batch_.oldest_ms + e_.options.spill_after_ms - coarse_ms() : 0;
        if ((spillable && spill_in_ms <= 0) || (stop_ns != 0 && now >= stop_ns)) {
            if (e_.spool != nullptr) {
                // A close's deadline: the batch stays in the spool.
                Locked lock(buffer_.mutex);
                buffer_.abandoned = true;
                return;
            }
            Outcome o;
            o.dropped = batch_.count; // finish() spills them when it can
            finish(o, true, unknown);
            return;
        }
        if (failing_ && now < next_attempt_ns_) {
            std::int64_t until = next_attempt_ns_;
            if (stop_ns != 0)
                until = std::min(until, stop_ns);
            if (spillable)
                until = std::min(until, now + spill_in_ms * kNsPerMs);
            if (!pause(until))
                return;
            continue;
        }
        transport_.set_deadline(stop_ns);
        if (!transport_.connected() && !transport_.connect()) {
            failed(transport_.error());
            continue;
        }
        {
            Locked lock(buffer_.mutex);
            if (buffer_.abandoned)
                return;
            buffer_.attempted = true;
            buffer_.sending(batch_);
        }
        ++sends_;
        if (transport_.send(batch_, ok_) == Transport::Sent::Ok) {
            failing_ = false;
            backoff_ms_ = kFirstBackoffMs;
            Outcome o;
            for (std::size_t i = 0; i < batch_.count; ++i)
                o.sent += ok_[i];
            o.dropped = batch_.count - o.sent;
            if (o.dropped != 0) {
                Locked lock(buffer_.mutex);
                std::snprintf(buffer_.last_error, sizeof buffer_.last_error, "%s",
                              transport_.entry_error());
            }
            finish(o, false, false);
            return;
        }
        unknown = true;
        failed(transport_.error());
    }
}

void Shipper::failed(const char *why) noexcept {
    failing_ = true;
    next_attempt_ns_ = now_ns() + backoff_ms_ * kNsPerMs;
    backoff_ms_ = std::min(backoff_ms_ * 2, kMaxBackoffMs);
    Locked lock(buffer_.mutex);
    std::snprintf(buffer_.last_error, sizeof buffer_.last_error, "%s", why);
}

bool Shipper::pause(std::int64_t until_ns) noexcept {
    Locked lock(buffer_.mutex);
    if (buffer_.abandoned)
        return false;
    if (e_.spool != nullptr) {
        // An outage goes on appending to the spool: it is synced meanwhile too.
        sync_spool();
        const std::int64_t sync_ns = e_.spool->next_sync_ns();
        if (sync_ns != 0 && sync_ns < until_ns)
            until_ns = sync_ns;
    }
    buffer_.work.wait_until(buffer_.mutex, until_ns);
    return !buffer_.abandoned;
}

void Shipper::finish(Outcome o, bool whole_batch, bool unknown) noexcept {
    Spill *spill = e_.spill;
    const bool spilling = spill != nullptr && o.dropped != 0;
    if (spilling)
        spill->mutex.lock();
    if (spilling) {
        bool abandoned;
        {
            Locked lock(buffer_.mutex);
            abandoned = buffer_.abandoned;
        }
        if (abandoned) {
            spill->mutex.unlock();
            return;
        }
        const Spill::Result r = spill->write(batch_, whole_batch ? nullptr : ok_);
        o.spilled = r.written;
        o.lost_spilled = r.lost;
        o.dropped -= r.written;
        // Spilled after a round trip whose fate is unknown: maybe in the stream as well.
        if (unknown)
            o.resent += r.written;
    }
    if (sends_ > 1)
        o.resent += (sends_ - 1) * batch_.count;
    {
        Locked lock(buffer_.mutex);
        if (!buffer_.abandoned) {
            buffer_.retire(batch_, o);
            buffer_.done.broadcast();
        }
    }
    if (spilling)
        spill->mutex.unlock();
}

void *run_shipper(void *engine) noexcept {
    Engine &e = *static_cast<Engine *>(engine);
    {
        Shipper shipper(e);
        shipper.run();
    }
    e.shipper_exited();
    e.release();
    return nullptr;
}

} // namespace quorbel::batch
