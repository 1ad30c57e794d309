// CRC-32C (Castagnoli) of the bytes a spool record holds: a flipped byte or a torn write shows.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorbel::batch {

// Continues `crc` (0 to start) over data[0..len).
std::uint32_t crc32c(std::uint32_t crc, const void *data, std::size_t len) noexcept;

} // namespace quorbel::batch
