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
    if (a.v6 != b.v6)
        return !a.v6;
    const int c = std::memcmp(a.address.data(), b.address.data(), a.address.size());
    if (c != 0)
        return c < 0;
    return a.port < b.port;
}

struct FlowKey {
    Endpoint low;
    Endpoint high;

    friend bool operator==(const FlowKey &, const FlowKey &) = default;

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
            std::memcpy(words, e->address.data(), sizeof words);
            mix(words[0]);
            mix(words[1]);
        }
        mix(std::uint64_t{k.low.port} | std::uint64_t{k.high.port} << 16 | std::uint64_t{k.low.v6} << 32
            | std::uint64_t{k.high.v6} << 33);
        return static_cast<std::size_t>(h);
    }
};

// "127.0.0.1:8080", "[::1]:8080"; the port is left out when it is the scheme's default.
QByteArray EndpointText(const Endpoint &endpoint, std::uint16_t defaultPort);

} // namespace quorrel::streams
