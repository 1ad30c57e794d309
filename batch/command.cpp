// One XADD command as RESP bytes.
#include "batch/command.h"

#include <cstdint>
#include <cstring>

namespace quorbel::batch {

namespace {

std::size_t digits(unsigned long long n) noexcept {
    std::size_t d = 1;
    while (n >= 10) {
        n /= 10;
        ++d;
    }
    return d;
}

// A bulk string's header and trailer around its bytes: "$<len>\r\n" ... "\r\n".
std::size_t bulk_size(std::size_t len) noexcept { return 1 + digits(len) + 2 + len + 2; }

char *put_number(char *p, unsigned long long n) noexcept {
    char tmp[20];
    int i = 0;
    do {
        tmp[i++] = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n != 0);
    while (i > 0)
        *p++ = tmp[--i];
    return p;
}

char *put_literal(char *p, const char *text, std::size_t len) noexcept {
    std::memcpy(p, text, len);
    return p + len;
}

char *put_bulk(char *p, const char *data, std::size_t len) noexcept {
    *p++ = '$';
    p = put_number(p, len);
    *p++ = '\r';
    *p++ = '\n';
    if (len != 0)
        std::memcpy(p, data, len);
    p += len;
    *p++ = '\r';
    *p++ = '\n';
    return p;
}

// The fixed pieces, each a whole bulk string.
constexpr char kXadd[] = "$4\r\nXADD\r\n";
constexpr char kMaxlen[] = "$6\r\nMAXLEN\r\n";
constexpr char kTilde[] = "$1\r\n~\r\n";
constexpr char kStarAndField[] = "$1\r\n*\r\n$7\r\npayload\r\n";
constexpr std::size_t kLen(const char *s) { return *s ? 1 + kLen(s + 1) : 0; }

// Reads "<digits>\r\n" at p (below end) into n; nullptr when malformed.
const char *read_number(const char *p, const char *end, std::size_t &n) noexcept {
    n = 0;
    const char *start = p;
    while (p < end && *p >= '0' && *p <= '9' && p - start < 19)
        n = n * 10 + static_cast<std::size_t>(*p++ - '0');
    if (p == start || end - p < 2 || p[0] != '\r' || p[1] != '\n')
        return nullptr;
    return p + 2;
}

const char *read_bulk(const char *p, const char *end, const char *&data,
                      std::size_t &len) noexcept {
    if (p >= end || *p != '$')
        return nullptr;
    p = read_number(p + 1, end, len);
    if (p == nullptr || static_cast<std::size_t>(end - p) < len + 2 || p[len] != '\r' ||
        p[len + 1] != '\n')
        return nullptr;
    data = p;
    return p + len + 2;
}

bool is(const char *data, std::size_t len, const char *text) noexcept {
    return len == std::strlen(text) && std::memcmp(data, text, len) == 0;
}

} // namespace

std::size_t command_size(const CommandParts &p) noexcept {
    std::size_t n =
        4 + kLen(kXadd) + bulk_size(p.key_len) + kLen(kStarAndField) + bulk_size(p.payload_len);
    if (p.maxlen >= 0) {
        n += kLen(kMaxlen) + bulk_size(digits(static_cast<unsigned long long>(p.maxlen)));
        if (p.approximate)
            n += kLen(kTilde);
    }
    return n;
}

std::size_t encode_command(const CommandParts &p, char *dst) noexcept {
    const int argc = p.maxlen < 0 ? 5 : p.approximate ? 8 : 7;
    char *o = dst;
    *o++ = '*';
    *o++ = static_cast<char>('0' + argc);
    *o++ = '\r';
    *o++ = '\n';
    o = put_literal(o, kXadd, kLen(kXadd));
    o = put_bulk(o, p.key, p.key_len);
    if (p.maxlen >= 0) {
        o = put_literal(o, kMaxlen, kLen(kMaxlen));
        if (p.approximate)
            o = put_literal(o, kTilde, kLen(kTilde));
        const auto n = static_cast<unsigned long long>(p.maxlen);
        *o++ = '$';
        o = put_number(o, digits(n));
        *o++ = '\r';
        *o++ = '\n';
        o = put_number(o, n);
        *o++ = '\r';
        *o++ = '\n';
    }
    o = put_literal(o, kStarAndField, kLen(kStarAndField));
    *o++ = '$';
    o = put_number(o, p.payload_len);
    *o++ = '\r';
    *o++ = '\n';
    const std::size_t payload_offset = static_cast<std::size_t>(o - dst);
    std::memcpy(o, p.payload, p.payload_len);
    o += p.payload_len;
    *o++ = '\r';
    *o = '\n';
    return payload_offset;
}

int command_args(const char *cmd, std::size_t len, const char *(&arg)[kMaxArgs],
                 std::size_t (&arg_len)[kMaxArgs]) noexcept {
    const char *end = cmd + len;
    std::size_t argc = 0;
    if (len < 1 || cmd[0] != '*')
        return 0;
    const char *p = read_number(cmd + 1, end, argc);
    if (p == nullptr || (argc != 5 && argc != 7 && argc != 8))
        return 0;
    for (std::size_t i = 0; i < argc; ++i)
        if ((p = read_bulk(p, end, arg[i], arg_len[i])) == nullptr)
            return 0;
    return p == end && is(arg[0], arg_len[0], "XADD") ? static_cast<int>(argc) : 0;
}

bool decode_command(const char *cmd, std::size_t len, CommandParts &out) noexcept {
    const char *arg[kMaxArgs];
    std::size_t arg_len[kMaxArgs];
    const auto argc = static_cast<std::size_t>(command_args(cmd, len, arg, arg_len));
    if (argc == 0)
        return false;
    CommandParts parts;
    parts.key = arg[1];
    parts.key_len = arg_len[1];
    std::size_t next = 2;
    if (argc > 5) {
        parts.approximate = argc == 8;
        if (!is(arg[2], arg_len[2], "MAXLEN") ||
            (parts.approximate && !is(arg[3], arg_len[3], "~")))
            return false;
        next = argc - 4;
        std::size_t n = 0;
        const char *digits_end = arg[next] + arg_len[next];
        // The bulk's own CRLF follows its digits.
        if (read_number(arg[next], digits_end + 2, n) != digits_end + 2)
            return false;
        parts.maxlen = static_cast<long long>(n);
        ++next;
    }
    if (!is(arg[next], arg_len[next], "*") || !is(arg[next + 1], arg_len[next + 1], "payload"))
        return false;
    parts.payload = arg[next + 2];
    parts.payload_len = arg_len[next + 2];
    out = parts;
    return true;
}

bool valid_utf8(const char *data, std::size_t len) noexcept {
    const auto *p = reinterpret_cast<const unsigned char *>(data);
    const unsigned char *end = p + len;
    while (p < end) {
        // ASCII eight bytes at a time: the common case of a JSON payload.
        if (end - p >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p, 8);
            if ((word & 0x8080808080808080ULL) == 0) {
                p += 8;
                continue;
            }
        }
        const unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        int more;
        unsigned char low = 0x80, high = 0xBF; // the range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            more = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            more = 2;
            if (c == 0xE0)
                low = 0xA0; // no overlong forms
            else if (c == 0xED)
                high = 0x9F; // no surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            more = 3;
            if (c == 0xF0)
                low = 0x90;
            else if (c == 0xF4)
                high = 0x8F; // nothing past U+10FFFF
        } else {
            return false;
        }
        if (end - p <= more || p[1] < low || p[1] > high)
            return false;
        for (int i = 2; i <= more; ++i)
            if ((p[i] & 0xC0) != 0x80)
                return false;
        p += more + 1;
    }
    return true;
}

} // namespace quorbel::batch
