// Incremental RESP reply reader: a state machine over fixed memory that skips payloads.
#include "batch/resp.h"

#include <cstring>

namespace quorbel::batch {

bool is_server_state_error(const char *text) noexcept {
    static const char *const kWords[] = {"LOADING", "BUSY",     "MASTERDOWN",  "READONLY",
                                         "NOAUTH",  "TRYAGAIN", "CLUSTERDOWN", "MOVED",
                                         "ASK",     "OOM",      "MISCONF",     "NOREPLICAS"};
    std::size_t word = std::strcspn(text, " ");
    for (const char *w : kWords) {
        if (std::strlen(w) == word && std::memcmp(w, text, word) == 0) {
            return true;
        }
    }
    return false;
}

namespace {

// The smallest element ("_\r\n") takes 3 bytes, so no honest aggregate within the budget
// can announce more elements than this.
constexpr std::int64_t kMinElementBytes = 3;
constexpr int kMaxDigits = 19;       // an integer reply: int64
constexpr int kMaxLengthDigits = 18; // a length: anything longer is over the budget anyway

} // namespace

void ReplyReader::reset() noexcept { *this = ReplyReader(); }

// The type byte of a value: what its line holds and how it ends.
bool ReplyReader::begin_line(char type) noexcept {
    type_ = type;
    signed_ = false;
    negative_ = false;
    digits_ = 0;
    number_ = 0;
    keep_ = false;
    switch (type) {
    case '+':
    case '(': // big number: any digits; not worth checking
    case ',': // double: "1.5", "inf", "nan", "-1e10"
    case '=': // verbatim string, as a bulk
        kind_ = type == '=' ? Kind::Length : Kind::Simple;
        return true;
    case '-':
        kind_ = Kind::Error;
        keep_ = depth_ == 0;
        error_ = error_ || keep_;
        return true;
    case ':':
        kind_ = Kind::Number;
        return true;
    case '_':
        kind_ = Kind::Null;
        return true;
    case '#':
        kind_ = Kind::Boolean;
        return true;
    case '$':
    case '*':
    case '!': // blob error
    case '%': // map
    case '~': // set
    case '>': // push
    case '|': // attribute
        kind_ = Kind::Length;
        return true;
    default:
        return false;
    }
}

// A value finished; closes every aggregate it completes. An attribute never counts as an
// element of its parent, and a completed top-level attribute or push is not a reply.
bool ReplyReader::element_done() noexcept {
    state_ = State::Type;
    bool counts = true;
    while (depth_ > 0) {
        if (!counts) {
            return true;
        }
        Frame &top = stack_[depth_ - 1];
        if (--top.left > 0) {
            return true;
        }
        --depth_;
        counts = !top.attribute && !top.push;
    }
    done_ = counts;
    return true;
}

bool ReplyReader::open_aggregate(std::int64_t n, bool attribute, bool push) noexcept {
    if (n > budget_ / kMinElementBytes) {
        return false;
    }
    if (attribute || type_ == '%') {
        n *= 2; // key and value
    }
    if (n == 0) {
        // Nothing follows: an empty attribute is complete and counts for nothing.
        if (attribute || push) {
            state_ = State::Type;
            return true;
        }
        return element_done();
    }
    if (depth_ == kMaxDepth) {
        return false;
    }
    stack_[depth_++] = Frame{n, attribute, push};
    state_ = State::Type;
    return true;
}

// One byte of a line before its CR: text is taken as it is, numbers are checked.
bool ReplyReader::line_byte(char c) noexcept {
    switch (kind_) {
    case Kind::Simple:
    case Kind::Error:
        return true;
    case Kind::Null:
        return false;
    case Kind::Boolean:
        return (c == 't' || c == 'f') && digits_++ == 0;
    case Kind::Number:
    case Kind::Length:
        break;
    }
    if (digits_ == 0 && !signed_ && (c == '-' || (c == '+' && kind_ == Kind::Number))) {
        signed_ = true;
        negative_ = c == '-';
        return true;
    }
    if (c < '0' || c > '9' || digits_ == (kind_ == Kind::Number ? kMaxDigits : kMaxLengthDigits)) {
        return false;
    }
    ++digits_;
    number_ = number_ * 10 + (c - '0');
    return true;
}

bool ReplyReader::end_line() noexcept {
    switch (kind_) {
    case Kind::Simple:
    case Kind::Error:
    case Kind::Null:
        return element_done();
    case Kind::Boolean:
    case Kind::Number:
        return digits_ > 0 && element_done();
    case Kind::Length:
        break;
    }
    if (digits_ == 0) {
        return false;
    }
    if (negative_) {
        // RESP2's null bulk string and null array; RESP3 says "_" instead.
        return number_ == 1 && (type_ == '$' || type_ == '*') && element_done();
    }
    switch (type_) {
    case '$':
    case '!':
    case '=':
        if (number_ > budget_) {
            return false;
        }
        keep_ = type_ == '!' && depth_ == 0;
        error_ = error_ || keep_;
        bulk_left_ = number_;
        state_ = State::Bulk;
        return true;
    case '|':
        return open_aggregate(number_, true, false);
    default:
        return open_aggregate(number_, false, type_ == '>' && depth_ == 0);
    }
}

ReplyReader::Step ReplyReader::feed(const char *data, std::size_t len, std::size_t &used) noexcept {
    std::size_t i = 0;
    done_ = false;
    auto malformed = [&] {
        used = i;
        return Step::Malformed;
    };
    auto keep = [&](const char *p, std::size_t n) {
        for (std::size_t k = 0; k < n && text_len_ < kKeep; ++k) {
            unsigned char c = static_cast<unsigned char>(p[k]);
            // Printable ASCII only: the text ends up in messages and Python strs.
            text_[text_len_++] = c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?';
        }
        text_[text_len_] = '\0';
    };
    while (i < len) {
        if (state_ == State::Bulk) {
            std::size_t n = static_cast<std::size_t>(
                bulk_left_ < static_cast<std::int64_t>(len - i) ? bulk_left_ : len - i);
            if (keep_) {
                keep(data + i, n);
            }
            i += n;
            budget_ -= static_cast<std::int64_t>(n);
            bulk_left_ -= static_cast<std::int64_t>(n);
            if (bulk_left_ == 0) {
                state_ = State::BulkCr;
            }
            continue;
        }
        if (--budget_ < 0) {
            return malformed();
        }
        char c = data[i];
        switch (state_) {
        case State::Type:
            if (depth_ == 0) {
                error_ = false;
                text_len_ = 0;
                text_[0] = '\0';
            }
            if (!begin_line(c)) {
                return malformed();
            }
            state_ = State::Line;
            break;
        case State::Line:
            if (c == '\r') {
                state_ = State::LineLf;
            } else if (c == '\n' || !line_byte(c)) {
                return malformed();
            } else if (keep_) {
                keep(&c, 1);
            }
            break;
        case State::BulkCr:
            if (c != '\r') {
                return malformed();
            }
            state_ = State::BulkLf;
            break;
        case State::LineLf:
        case State::BulkLf:
            if (c != '\n' || !(state_ == State::LineLf ? end_line() : element_done())) {
                return malformed();
            }
            break;
        case State::Bulk:
            break;
        }
        ++i;
        if (done_) {
            used = i;
            budget_ = kMaxReplyBytes;
            return Step::Reply;
        }
    }
    used = i;
    return Step::NeedMore;
}

} // namespace quorbel::batch
