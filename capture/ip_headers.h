#pragma once
// The IP and transport headers of one datagram, read through the checked cursor: what the
// capture event and the capture helper's flow table both need. Plain C++, no Qt: the helper
// uses it too. RFC 791 (IPv4), RFC 8200 (IPv6), RFC 9293 (TCP), RFC 768 (UDP), RFC 792 (ICMP).

#include "capture/bytes.h"

#include <array>
#include <cstdint>

namespace quorrel {

enum class IpFamily : std::uint8_t { V4 = 4, V6 = 6 };

// An IPv4 or IPv6 address, in network byte order; an IPv4 address fills the first four
// bytes and the rest stay zero, so two addresses compare equal byte for byte.
struct IpAddress {
    IpFamily family = IpFamily::V4;
    std::array<std::uint8_t, 16> bytes{};

    static constexpr IpAddress v4(std::uint32_t hostOrder)
    {
        IpAddress a;
        for (int i = 0; i < 4; ++i)
            a.bytes[i] = static_cast<std::uint8_t>(hostOrder >> (24 - 8 * i));
        return a;
    }
    static constexpr IpAddress v6(const std::array<std::uint8_t, 16> &bytes)
    {
        IpAddress a;
        a.family = IpFamily::V6;
        a.bytes = bytes;
        return a;
    }
    // The IPv4 address in host order; 0 for an IPv6 address.
    constexpr std::uint32_t toV4() const
    {
        if (family != IpFamily::V4)
            return 0;
        return std::uint32_t(bytes[0]) << 24 | std::uint32_t(bytes[1]) << 16 | std::uint32_t(bytes[2]) << 8 | bytes[3];
    }
    friend constexpr bool operator==(const IpAddress &, const IpAddress &) = default;
};

inline constexpr std::uint8_t kIpIcmp = 1;  // RFC 792
inline constexpr std::uint8_t kIpTcp = 6;   // RFC 9293
inline constexpr std::uint8_t kIpUdp = 17;  // RFC 768

// TCP flag bits, header byte 13 (RFC 9293, 3.1).
inline constexpr std::uint8_t kTcpFin = 0x01;
inline constexpr std::uint8_t kTcpSyn = 0x02;
inline constexpr std::uint8_t kTcpRst = 0x04;
inline constexpr std::uint8_t kTcpPsh = 0x08;
inline constexpr std::uint8_t kTcpAck = 0x10;

struct IpHeaders {
    std::uint8_t protocol = 0;     // IPv4: header byte 9. IPv6: the header the walk ended on
    IpAddress source;
    IpAddress destination;
    std::uint16_t sourcePort = 0;  // TCP/UDP source port; ICMP (IPv4) message type
    std::uint16_t destPort = 0;    // TCP/UDP destination port; ICMP (IPv4) message code
    std::uint32_t seq = 0;         // TCP sequence number
    std::uint8_t tcpFlags = 0;     // TCP header byte 13
    bool transport = false;        // a transport header was taken (TCP, UDP, ICMP)
    Bytes datagram;                // the datagram, up to where its length field says it ends
    std::size_t headerSize = 0;    // IP header (and IPv6 extension headers) + transport header
    Bytes payload;                 // after the headers; empty when they run past the end
};

// IPv4. The header length comes from IHL and the TCP header length from the data offset
// (below 5 counts as 5); UDP and ICMP headers are 8 bytes; any other protocol has no
// transport header. A later fragment is read as though its protocol's header began it, as
// the program always did. Fields beyond the bytes given read as zero. When the total length lies between the header length and the
// bytes given, the datagram ends there (the rest is link-layer padding); a total length of
// 0 or beyond the bytes given (segmentation offload) is ignored.
IpHeaders ReadIpv4Headers(Bytes bytes);

// IPv6. The 40-byte fixed header, then the extension headers hop-by-hop (0), routing (43),
// fragment (44) and destination options (60) in any order; any other next header ends the
// walk and is the protocol. A fragment header with a non-zero offset ends the walk too: a
// later fragment carries no transport header. An extension header that the datagram cuts
// off ends the walk at that header (its number is the protocol; the headers are taken to
// run to its declared end, at least 8 bytes). TCP and UDP headers as for IPv4; nothing
// else has a transport header. Fixed-header fields beyond the bytes given read as zero.
// The payload length ends the datagram as the IPv4 total length does (0, as in a jumbogram
// or an offloaded segment, or a length beyond the bytes given, is ignored).
IpHeaders ReadIpv6Headers(Bytes bytes);

} // namespace quorrel
