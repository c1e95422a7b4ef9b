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
        // FNV-1a over the fields: cheap, and the table has a bounded size anyway.
        std::uint64_t h = 1469598103934665603ull;
        auto mix = [&h](const std::uint8_t *p, std::size_t n) {
            for (std::size_t i = 0; i < n; ++i) {
                h ^= p[i];
                h *= 1099511628211ull;
            }
        };
        for (const Endpoint *e : {&k.low, &k.high}) {
            mix(e->address.data(), e->v6 ? 16 : 4);
            const std::uint8_t port[2] = {std::uint8_t(e->port >> 8), std::uint8_t(e->port)};
            mix(port, 2);
        }
        return static_cast<std::size_t>(h ^ (h >> 29));
    }
};

// "127.0.0.1:8080", "[::1]:8080"; the port is left out when it is the scheme's default.
QByteArray EndpointText(const Endpoint &endpoint, std::uint16_t defaultPort);

} // namespace quorrel::streams
