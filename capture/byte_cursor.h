#pragma once
// Bounds-checked reading of received bytes. A captured datagram is whatever the network
// sent: every field is fetched through a cursor that checks the bytes are there, and no
// read ever goes past the span it was given.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace quorrel {

// Reads fields in order from a span. Each read returns std::nullopt when the span holds
// too few bytes; a read that fails also moves the cursor to the end, so every field after
// a missing one is missing too, and nothing is ever read from a shifted place.
// Lengths are compared with what is left, never added to a position, so a huge length
// cannot wrap around.
class ByteCursor {
public:
    constexpr ByteCursor() noexcept = default;
    constexpr explicit ByteCursor(std::span<const std::byte> bytes) noexcept : m_bytes(bytes) {}

    constexpr std::size_t position() const noexcept { return m_pos; }
    constexpr std::size_t remaining() const noexcept { return m_bytes.size() - m_pos; }
    constexpr bool atEnd() const noexcept { return m_pos == m_bytes.size(); }

    // The bytes not read yet; empty at the end.
    constexpr std::span<const std::byte> rest() const noexcept { return m_bytes.subspan(m_pos); }

    constexpr std::optional<std::uint8_t> u8() noexcept
    {
        if (remaining() < 1)
            return fail<std::uint8_t>();
        return static_cast<std::uint8_t>(m_bytes[m_pos++]);
    }

    // Network byte order (RFC 1700, "Data Notations").
    constexpr std::optional<std::uint16_t> be16() noexcept
    {
        if (remaining() < 2)
            return fail<std::uint16_t>();
        const auto value = static_cast<std::uint16_t>(byteAt(0) << 8 | byteAt(1));
        m_pos += 2;
        return value;
    }

    constexpr std::optional<std::uint32_t> be32() noexcept
    {
        if (remaining() < 4)
            return fail<std::uint32_t>();
        const std::uint32_t value = std::uint32_t{byteAt(0)} << 24 | std::uint32_t{byteAt(1)} << 16
            | std::uint32_t{byteAt(2)} << 8 | std::uint32_t{byteAt(3)};
        m_pos += 4;
        return value;
    }

    // The next n bytes, without copying.
    constexpr std::optional<std::span<const std::byte>> take(std::size_t n) noexcept
    {
        if (remaining() < n)
            return fail<std::span<const std::byte>>();
        const auto taken = m_bytes.subspan(m_pos, n);
        m_pos += n;
        return taken;
    }

    // Steps over n bytes; false (and at the end) when fewer are left.
    constexpr bool skip(std::size_t n) noexcept { return take(n).has_value(); }

private:
    constexpr unsigned byteAt(std::size_t offset) const noexcept
    {
        return static_cast<unsigned>(m_bytes[m_pos + offset]);
    }

    template <typename T>
    constexpr std::optional<T> fail() noexcept
    {
        m_pos = m_bytes.size();
        return std::nullopt;
    }

    std::span<const std::byte> m_bytes;
    std::size_t m_pos = 0;
};

} // namespace quorrel
