#pragma once
// What the stream reader takes in and hands on. A TCP segment as the capture saw it, and
// the request a stream carried: its address parts and the headers a download of it needs.
// Text stays bytes here: a captured address keeps every byte it had on the wire.

#include "capture/bytes.h"
#include "capture/ip_headers.h"

#include <QByteArray>
#include <cstddef>
#include <cstdint>

namespace quorrel::streams {

// The bytes of a byte array, not copied: valid while it is alive and unchanged.
inline Bytes viewOf(const QByteArray &bytes)
{
    return {reinterpret_cast<const std::byte *>(bytes.constData()), static_cast<std::size_t>(bytes.size())};
}

// One end of a TCP connection: the address as the capture decoded it, and the port.
struct Endpoint {
    IpAddress address;
    std::uint16_t port = 0;

    friend bool operator==(const Endpoint &, const Endpoint &) = default;
};

struct TcpSegment {
    Endpoint source;
    Endpoint destination;
    std::uint32_t seq = 0;
    std::uint8_t flags = 0; // kTcpFin, kTcpSyn ... (capture/ip_headers.h)
    Bytes payload;          // not copied: valid for the call only
    std::int64_t timeMs = 0; // capture time, milliseconds, monotonic within one source
};

// What became of a captured segment's payload. Read: a reader of its connection took it,
// holds it behind a hole to read once the hole fills, or took those bytes before (the
// same bytes sent again are Stale), or it is the reply of a server whose connection is
// read. NotRead: no reader will read it: a connection not followed (unknown and not
// opened here, ended, remembered, the table full), a side whose first bytes started no
// request, bytes that ended the reading of their connection without a request, a copy
// of bytes handed on already. Whatever such a segment holds is for the reading of single
// datagrams.
enum class SegmentFate : std::uint8_t { Read, NotRead };

// Bytes a flow took in but never read as requests, handed out when its reading ends:
// those held behind a hole that never filled, the first bytes of a side that never said
// what it speaks, a plain HTTP request head that never ended. sender sent them.
struct UnreadBytes {
    Endpoint sender;
    Endpoint receiver;
    Bytes bytes; // valid for the call only
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
