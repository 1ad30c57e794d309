// CRC-32C: the SSE 4.2 instruction where the processor has it (8 bytes a step on the
// application thread's path), a table otherwise. Both give the same values.
#include "batch/checksum.h"

#include <cstring>

namespace quorbel::batch {

namespace {

constexpr std::uint32_t kPoly = 0x82F63B78; // reflected Castagnoli polynomial

struct Table {
    std::uint32_t t[256];
    constexpr Table() : t{} {
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? (c >> 1) ^ kPoly : c >> 1;
            t[i] = c;
        }
    }
};
constexpr Table kTable;

std::uint32_t by_table(std::uint32_t crc, const unsigned char *p, std::size_t len) noexcept {
    while (len-- > 0)
        crc = kTable.t[(crc ^ *p++) & 0xFF] ^ (crc >> 8);
    return crc;
}

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) std::uint32_t
by_instruction(std::uint32_t crc, const unsigned char *p, std::size_t len) noexcept {
    std::uint64_t c = crc;
    for (; len >= 8; len -= 8, p += 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        c = __builtin_ia32_crc32di(c, word);
    }
    auto c32 = static_cast<std::uint32_t>(c);
    for (; len > 0; --len)
        c32 = __builtin_ia32_crc32qi(c32, *p++);
    return c32;
}

bool has_instruction() noexcept {
    __builtin_cpu_init();
    return __builtin_cpu_supports("sse4.2");
}
const bool kHasInstruction = has_instruction();
#endif

} // namespace

std::uint32_t crc32c(std::uint32_t crc, const void *data, std::size_t len) noexcept {
    const auto *p = static_cast<const unsigned char *>(data);
    crc = ~crc;
#if defined(__x86_64__)
    if (kHasInstruction)
        return ~by_instruction(crc, p, len);
#endif
    return ~by_table(crc, p, len);
}

} // namespace quorbel::batch
