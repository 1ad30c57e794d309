// The bounded buffer of records shared by application threads and the shipper.
#include "batch/buffer.h"

#include <algorithm>
#include <cstdlib>

#include "batch/spool.h"

namespace quorbel::batch {

namespace {

// A chunk's usual allocation; a record larger than that gets a chunk of its own.
constexpr std::size_t kChunkBytes = 64 * 1024;
// Redis refuses a bulk string over 512 MiB, and a chunk counts in 32 bits.
constexpr std::size_t kMaxRecord = (std::size_t{512} << 20) + 4096;

std::size_t round8(std::size_t n) noexcept { return (n + 7) & ~std::size_t{7}; }

void normalize(Position &p) noexcept {
    while (p.index == p.chunk->count && p.chunk->next != nullptr)
        p = {p.chunk->next, 0};
}

} // namespace

Buffer::Append Buffer::append(const CommandParts &parts, bool &wake) noexcept {
    const std::size_t size = command_size(parts);
    const std::size_t footprint = size + sizeof(RecordInfo);
    const std::int64_t now = coarse_ms();
    wake = false;
    {
        if (closed)
            return Append::Closed;
        if (thread != ThreadState::Running)
            return Append::NoThread;
        if (footprint > kMaxRecord || footprint > limit_ - bytes_ || bytes_ > limit_)
            return Append::Full;
        Chunk *c = tail_;
        if (c == nullptr || c->capacity - c->used < footprint + c->count * sizeof(RecordInfo)) {
            c = new_chunk(footprint);
            if (c == nullptr)
                return spool_ != nullptr ? Append::SpoolFailed : Append::NoMemory;
            link_tail(c);
        }
        RecordInfo &info = c->info(c->count);
        const auto payload_offset = encode_command(parts, c->data() + c->used);
        info.offset = c->used;
        info.length = static_cast<std::uint32_t>(size);
        info.payload_offset = static_cast<std::uint32_t>(payload_offset);
        info.payload_bytes = parts.payload_bytes ? 1 : 0;
        info.payload_length = static_cast<std::uint32_t>(parts.payload_len);
        info.accepted_ms = now;
        if (spool_ != nullptr)
            spool_->written(c, c->count); // the slot last: a torn record fails its check
        c->used += static_cast<std::uint32_t>(size);
        ++c->count;
        ++accepted_;
        bytes_ += footprint;
        const std::uint64_t waiting = accepted_ - taken_;
        // A sleeping shipper has work once there is a record to linger over, and must go now
        // once a batch is full; anything between would only wake it for nothing.
        if (sleeping && (waiting == 1 || waiting == batch_size_)) {
            sleeping = false;
            wake = true;
        }
    }
    return Append::Ok;
}

std::int64_t Buffer::oldest_unsent_ms() noexcept {
    normalize(take_pos_);
    return take_pos_.chunk->info(take_pos_.index).accepted_ms;
}

Counts Buffer::counts() const noexcept {
    Counts n{accepted_ - adopted_, sent_,  spilled_, dropped_, resent_,
             accepted_ - retired_, bytes_, 0,        adopted_, 0};
    if (spool_ != nullptr) {
        n.spooled = spool_->spooled;
        n.corrupt = spool_->corrupt;
    }
    return n;
}

void Buffer::take(Batch &b, std::size_t max_bytes) noexcept {
    b.count = 0;
    b.bytes = 0;
    b.iovcnt = 0;
    if (taken_ == accepted_)
        return;
    normalize(take_pos_);
    b.first = take_pos_;
    b.oldest_ms = take_pos_.chunk->info(take_pos_.index).accepted_ms;
    Position p = take_pos_;
    std::size_t command_bytes = 0;
    while (b.count < batch_size_ && taken_ + b.count < accepted_) {
        normalize(p);
        const RecordInfo &r = p.chunk->info(p.index);
        if (b.count > 0 && command_bytes + r.length > max_bytes)
            break;
        char *cmd = p.chunk->data() + r.offset;
        iovec *last = b.iovcnt > 0 ? &b.iov[b.iovcnt - 1] : nullptr;
        if (last != nullptr && static_cast<char *>(last->iov_base) + last->iov_len == cmd) {
            last->iov_len += r.length;
        } else {
            if (b.iovcnt == Batch::kMaxSegments)
                break;
            b.iov[b.iovcnt++] = {cmd, r.length};
        }
        command_bytes += r.length;
        b.bytes += r.length + sizeof(RecordInfo);
        ++b.count;
        ++p.index;
    }
    take_pos_ = p;
    taken_ += b.count;
}

void Buffer::retire(const Batch &b, const Outcome &o) noexcept {
    for (std::size_t left = b.count; left > 0;) {
        Chunk *c = retire_pos_.chunk;
        const std::size_t here = c->count - retire_pos_.index;
        if (here >= left) {
            retire_pos_.index += static_cast<std::uint32_t>(left);
            break;
        }
        left -= here;
        drop_head();
    }
    // A chunk wholly retired is done with, unless appends still go to it.
    if (retire_pos_.index == retire_pos_.chunk->count && retire_pos_.chunk != tail_)
        drop_head();
    retired_ += b.count;
    sent_ += o.sent;
    spilled_ += o.spilled - o.lost_spilled;
    dropped_ += o.dropped + o.lost_spilled;
    resent_ += o.resent;
    bytes_ -= b.bytes;
    if (spool_ != nullptr) {
        // After the replies: what the next owner of the segment need not send again.
        spool_->acked(retire_pos_.chunk, retire_pos_.index);
        return; // a segment is never written twice over
    }
    if (retired_ == accepted_) {
        // Nothing pending: the one chunk left starts again from its front.
        tail_->used = 0;
        tail_->count = 0;
        retire_pos_ = take_pos_ = {tail_, 0};
    }
}

void Buffer::drop_head() noexcept {
    Chunk *c = head_;
    head_ = c->next;
    retire_pos_ = {head_, 0};
    // The next record to take may be the first of the next chunk, seen from this one's end.
    if (take_pos_.chunk == c)
        take_pos_ = {head_, 0};
    release_chunk(c);
}

void Buffer::pending_run(Batch &b, std::size_t &in_flight) noexcept {
    b.count = static_cast<std::size_t>(accepted_ - retired_);
    b.bytes = bytes_;
    b.iovcnt = 0;
    in_flight = static_cast<std::size_t>(taken_ - retired_);
    if (b.count == 0)
        return;
    Position p = retire_pos_;
    normalize(p);
    b.first = p;
    b.oldest_ms = p.chunk->info(p.index).accepted_ms;
}

void Buffer::retire_all(const Outcome &o) noexcept {
    retired_ = taken_ = accepted_;
    sent_ += o.sent;
    spilled_ += o.spilled - o.lost_spilled;
    dropped_ += o.dropped + o.lost_spilled;
    resent_ += o.resent;
    bytes_ = 0;
    if (tail_ != nullptr)
        retire_pos_ = take_pos_ = {tail_, tail_->count};
}

void Buffer::reset_after_fork() noexcept {
    if (spool_ != nullptr) {
        for (Chunk *c = head_; c != nullptr;) {
            Chunk *next = c->next;
            spool_->forget_in_child(c);
            c = next;
        }
        head_ = tail_ = nullptr;
        spool_->spooled = spool_->corrupt = 0;
    }
    free_chunks();
    adopted_ = 0;
    retire_pos_ = take_pos_ = {};
    accepted_ = taken_ = retired_ = 0;
    sent_ = spilled_ = dropped_ = resent_ = 0;
    bytes_ = 0;
}

Chunk *Buffer::new_chunk(std::size_t need) noexcept {
    if (spool_ != nullptr)
        return spool_->new_chunk(need);
    const std::size_t usual = round8(std::min(kChunkBytes - sizeof(Chunk), limit_));
    const std::size_t capacity = round8(std::max(need, usual));
    Chunk *c = nullptr;
    if (spare_ != nullptr && spare_->capacity >= capacity) {
        c = spare_;
        spare_ = nullptr;
    } else {
        c = static_cast<Chunk *>(std::malloc(sizeof(Chunk) + capacity));
        if (c == nullptr)
            return nullptr;
        c->capacity = static_cast<std::uint32_t>(capacity);
    }
    c->next = nullptr;
    c->used = 0;
    c->count = 0;
    c->segment = nullptr;
    return c;
}

void Buffer::link_tail(Chunk *c) noexcept {
    if (tail_ == nullptr) {
        head_ = c;
        retire_pos_ = take_pos_ = {c, 0};
    } else {
        tail_->next = c;
    }
    tail_ = c;
}

void Buffer::adopt(Chunk *c, std::uint64_t maybe_sent) noexcept {
    link_tail(c);
    accepted_ += c->count;
    adopted_ += c->count;
    resent_ += maybe_sent; // they may arrive twice
    for (std::uint32_t i = 0; i < c->count; ++i)
        bytes_ += c->info(i).length + sizeof(RecordInfo);
}

void Buffer::sending(const Batch &b) noexcept {
    if (spool_ == nullptr || b.count == 0)
        return;
    Position p = b.first;
    for (std::size_t left = b.count; left > 0;) {
        while (p.index == p.chunk->count)
            p = {p.chunk->next, 0};
        const std::size_t here = std::min<std::size_t>(left, p.chunk->count - p.index);
        p.index += static_cast<std::uint32_t>(here);
        left -= here;
        spool_->sending(p.chunk, p.index);
    }
}

void Buffer::close_storage() noexcept {
    if (spool_ == nullptr)
        return;
    for (Chunk *c = head_; c != nullptr;) {
        Chunk *next = c->next;
        // Only the first chunk can hold retired records: the others went as they were done.
        spool_->close_chunk(c,
                            c == retire_pos_.chunk ? retire_pos_.index == c->count : c->count == 0);
        c = next;
    }
    head_ = tail_ = nullptr;
    retire_pos_ = take_pos_ = {};
}

void Buffer::release_chunk(Chunk *c) noexcept {
    if (spool_ != nullptr) {
        spool_->release(c);
        return;
    }
    if (spare_ == nullptr && c->capacity <= kChunkBytes) {
        spare_ = c;
        return;
    }
    std::free(c);
}

void Buffer::free_chunks() noexcept {
    if (spool_ != nullptr)
        close_storage();
    for (Chunk *c = head_; c != nullptr;) {
        Chunk *next = c->next;
        std::free(c);
        c = next;
    }
    std::free(spare_);
    head_ = tail_ = spare_ = nullptr;
}

} // namespace quorbel::batch
