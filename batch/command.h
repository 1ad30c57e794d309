// One XADD command as RESP bytes: encoded by the application thread straight into the buffer,
// read back by the client engine and the spill file.
#pragma once

#include <cstddef>

namespace quorbel::batch {

// What one xadd call sends: XADD key [MAXLEN [~] n] * payload <payload>.
struct CommandParts {
    const char *key = nullptr;
    std::size_t key_len = 0;
    long long maxlen = -1; // none when negative
    bool approximate = false;
    const char *payload = nullptr;
    std::size_t payload_len = 0;
    bool payload_bytes = false; // given as bytes: the client engine hands it on as bytes
};

// The bytes encode_command writes for p.
std::size_t command_size(const CommandParts &p) noexcept;

// Writes the command at dst (command_size(p) bytes); returns the offset of the payload's bytes
// within it.
std::size_t encode_command(const CommandParts &p, char *dst) noexcept;

// The bulk strings of a command that encode_command wrote ("XADD", the key, ..., the payload):
// how many (at most kMaxArgs), or 0 for bytes it did not write.
inline constexpr int kMaxArgs = 8;
int command_args(const char *cmd, std::size_t len, const char *(&arg)[kMaxArgs],
                 std::size_t (&arg_len)[kMaxArgs]) noexcept;

// Takes apart a command that encode_command wrote (its pointers point into cmd); false for
// bytes it did not write.
bool decode_command(const char *cmd, std::size_t len, CommandParts &out) noexcept;

// Whether data[0..len) is well-formed UTF-8 (no surrogates, nothing past U+10FFFF): a spill
// file is UTF-8 text.
bool valid_utf8(const char *data, std::size_t len) noexcept;

} // namespace quorbel::batch
