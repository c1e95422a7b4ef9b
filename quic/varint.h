#pragma once
// QUIC's variable-length integers (RFC 9000, 16): the two high bits of the first byte give
// the length, 1, 2, 4 or 8 bytes; the rest, in network byte order, the value (below 2^62).

#include "capture/byte_cursor.h"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace quorrel::quic {

inline constexpr std::uint64_t kMaxVarint = (std::uint64_t{1} << 62) - 1;

// The length of the integer whose first byte is first.
constexpr std::size_t varintLength(std::uint8_t first) { return std::size_t{1} << (first >> 6); }

inline std::optional<std::uint64_t> readVarint(ByteCursor &cursor)
{
    const std::optional<std::uint8_t> first = cursor.u8();
    if (!first)
        return std::nullopt;
    std::uint64_t value = *first & 0x3f;
    for (std::size_t i = 1; i < varintLength(*first); ++i) {
        const std::optional<std::uint8_t> next = cursor.u8();
        if (!next)
            return std::nullopt;
        value = value << 8 | *next;
    }
    return value;
}

} // namespace quorrel::quic
