#pragma once
// A TCP connection named by its two ends, the same whichever way a segment travels: the
// lower end (by address, then port) comes first.

#include "streams/stream_types.h"

#include <QByteArray>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quorrel::streams {

inline bool operator<(const Endpoint &a, const Endpoint &b)
{
    if (a.address.family != b.address.family)
        return a.address.family == IpFamily::V4;
    const int c = std::memcmp(a.address.bytes.data(), b.address.bytes.data(), a.address.bytes.size());
    if (c != 0)
        return c < 0;
    return a.port < b.port;
}

namespace detail {
// An address's 16 bytes as two words: every segment is looked up, and a call of memcmp for
// each 16-byte array costs more than the compare.
inline void addressWords(const IpAddress &a, std::uint64_t (&words)[2])
{
    std::memcpy(words, a.bytes.data(), sizeof words);
}
inline bool sameEnd(const Endpoint &a, const Endpoint &b)
{
    std::uint64_t x[2], y[2];
    addressWords(a.address, x);
    addressWords(b.address, y);
    return ((x[0] ^ y[0]) | (x[1] ^ y[1])) == 0 && a.port == b.port && a.address.family == b.address.family;
}
} // namespace detail

struct FlowKey {
    Endpoint low;
    Endpoint high;

    friend bool operator==(const FlowKey &a, const FlowKey &b)
    {
        return detail::sameEnd(a.low, b.low) && detail::sameEnd(a.high, b.high);
    }

    // The key of a segment's connection, and which end sent it: 0 for low, 1 for high.
    static FlowKey of(const TcpSegment &segment, int &side)
    {
        if (segment.destination < segment.source) {
            side = 1;
            return {segment.destination, segment.source};
        }
        side = 0;
        return {segment.source, segment.destination};
    }

    const Endpoint &end(int side) const { return side == 0 ? low : high; }
};

struct FlowKeyHash {
    std::size_t operator()(const FlowKey &k) const noexcept
    {
        // Eight bytes at a time, each word folded in by a multiply (the golden-ratio
        // constant) and a shift: every segment is looked up, so this is on the hot path.
        // An IPv4 address leaves the rest of its 16 bytes zero, as equality compares them.
        constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15ull;
        std::uint64_t h = 0;
        const auto mix = [&h](std::uint64_t word) {
            h = (h ^ word) * kMul;
            h ^= h >> 32;
        };
        for (const Endpoint *e : {&k.low, &k.high}) {
            std::uint64_t words[2];
            detail::addressWords(e->address, words);
            mix(words[0]);
            mix(words[1]);
        }
        const auto v6 = [](const Endpoint &e) { return std::uint64_t{e.address.family == IpFamily::V6}; };
        mix(std::uint64_t{k.low.port} | std::uint64_t{k.high.port} << 16 | v6(k.low) << 32 | v6(k.high) << 33);
        return static_cast<std::size_t>(h);
    }
};

// "127.0.0.1:8080", "[::1]:8080"; the port is left out when it is the scheme's default.
QByteArray EndpointText(const Endpoint &endpoint, std::uint16_t defaultPort);

} // namespace quorrel::streams
