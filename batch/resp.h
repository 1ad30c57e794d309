// Incremental reader of RESP2/RESP3 replies that only tells each top-level reply ok or error.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorbel::batch {

// Whether an error reply's text (its first word the error code) speaks of the server's state,
// not of the entry (LOADING, READONLY, OOM, ...): the same command succeeds later, so the
// batch is retried rather than its entries spilled.
bool is_server_state_error(const char *text) noexcept;

// A byte-driven state machine over a fixed amount of memory: any byte sequence is either
// replies, an incomplete reply, or Malformed. Payloads are skipped, never kept; a top-level
// reply larger than kMaxReplyBytes or nested deeper than kMaxDepth is Malformed, so a
// hostile server can make it neither allocate, overrun nor loop.
class ReplyReader {
  public:
    static constexpr std::size_t kMaxDepth = 32;
    static constexpr std::int64_t kMaxReplyBytes = 1 << 16; // an XADD reply is ~25 bytes
    static constexpr std::size_t kKeep = 255;               // bytes kept of an error reply's text

    enum class Step { NeedMore, Reply, Malformed };

    // Consumes bytes of data[0..len) up to the end of the next top-level reply (Reply), or
    // all of them (NeedMore), or stops at the bad byte (Malformed: call reset() before any
    // further use). `used` says how many bytes were consumed. RESP3 out-of-band pushes and
    // attributes are skipped and never count as a reply.
    Step feed(const char *data, std::size_t len, std::size_t &used) noexcept;
    void reset() noexcept;

    // About the last Reply: whether it was an error (`-` or `!`), and its text (NUL-terminated,
    // at most kKeep bytes, "" for a non-error).
    bool is_error() const noexcept { return error_; }
    const char *error_text() const noexcept { return text_; }

  private:
    enum class State : unsigned char { Type, Line, LineLf, Bulk, BulkCr, BulkLf };
    enum class Kind : unsigned char { Simple, Error, Number, Length, Null, Boolean };
    struct Frame {
        std::int64_t left; // elements still to come
        bool attribute;    // an attribute map: does not count as an element of its parent
        bool push;         // a top-level push: not a reply
    };

    bool begin_line(char type) noexcept;
    bool line_byte(char c) noexcept;
    bool end_line() noexcept;
    bool element_done() noexcept;
    bool open_aggregate(std::int64_t n, bool attribute, bool push) noexcept;

    State state_ = State::Type;
    Kind kind_ = Kind::Simple;
    char type_ = 0;
    bool error_ = false;
    bool keep_ = false; // the current line or bulk is the top-level error's text
    bool done_ = false; // a top-level reply just completed
    bool signed_ = false;
    bool negative_ = false;
    int digits_ = 0;
    std::int64_t number_ = 0;
    std::int64_t bulk_left_ = 0;
    std::int64_t budget_ = kMaxReplyBytes;
    std::size_t depth_ = 0;
    std::size_t text_len_ = 0;
    Frame stack_[kMaxDepth] = {};
    char text_[kKeep + 1] = {};
};

} // namespace quorbel::batch
