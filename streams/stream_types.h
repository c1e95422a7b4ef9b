#pragma once
// What the stream reader takes in and hands on. A TCP segment as the capture saw it, and
// the request a stream carried: its address parts and the headers a download of it needs.
// Text stays bytes here: a captured address keeps every byte it had on the wire.

#include <QByteArray>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace quorrel::streams {

using ByteView = std::span<const std::byte>;

// The bytes of a byte array, not copied: valid while it is alive and unchanged.
inline ByteView viewOf(const QByteArray &bytes)
{
    return {reinterpret_cast<const std::byte *>(bytes.constData()), static_cast<std::size_t>(bytes.size())};
}

// One end of a TCP connection. IPv4 addresses fill the first 4 bytes of address.
struct Endpoint {
    std::array<std::uint8_t, 16> address{};
    bool v6 = false;
    std::uint16_t port = 0;

    friend bool operator==(const Endpoint &, const Endpoint &) = default;
};

// TCP header flag bits (RFC 9293, 3.1).
enum TcpFlag : std::uint8_t {
    kFin = 0x01,
    kSyn = 0x02,
    kRst = 0x04,
    kPsh = 0x08,
    kAck = 0x10,
};

struct TcpSegment {
    Endpoint source;
    Endpoint destination;
    std::uint32_t seq = 0;
    std::uint8_t flags = 0; // TcpFlag bits
    ByteView payload;       // not copied: valid for the call only
    std::int64_t timeMs = 0; // capture time, milliseconds, monotonic within one source
};

// Where the requests of a client stream go: "http" or "https", and the authority to use
// when a request names none (no Host, no :authority: the TLS server name, else the
// server's address).
struct RequestOrigin {
    QByteArray scheme;
    QByteArray fallbackAuthority;
};

// One request read from a stream. The address is scheme + "://" + authority + path.
struct StreamRequest {
    QByteArray method;
    QByteArray httpVersion; // "HTTP/1.1", "HTTP/2"
    QByteArray scheme;    // "http" or "https"
    QByteArray authority; // Host header, or HTTP/2 :authority
    QByteArray path;      // request target as sent
    QByteArray referer;   // empty when the request had none
    QByteArray cookie;
    QByteArray userAgent;
    // Sec-Fetch-Dest, Range and Accept (FetchHints): what the request fetches. The last
    // of each counts.
    QByteArray secFetchDest;
    QByteArray range;
    QByteArray accept;
    Endpoint client;      // the end that sent the request

    QByteArray address() const { return scheme + "://" + authority + path; }
};

} // namespace quorrel::streams
