#include "capture/ip_headers.h"

#include "capture/byte_cursor.h"

#include <algorithm>

namespace quorrel {
namespace {

constexpr std::size_t kMinHeaderWords = 5; // 20 bytes: the fixed part of IPv4 and TCP headers
constexpr std::size_t kUdpIcmpHeaderSize = 8;
constexpr std::size_t kIpv6HeaderSize = 40;

// IPv6 extension headers (RFC 8200, 4.1) that the walk steps over.
constexpr std::uint8_t kHopByHop = 0;
constexpr std::uint8_t kRouting = 43;
constexpr std::uint8_t kFragment = 44;
constexpr std::uint8_t kDestinationOptions = 60;
constexpr std::size_t kFragmentHeaderSize = 8;

// A field that the datagram cuts off keeps the bytes it has and reads zero for the rest,
// as it would from a receive buffer cleared before the read. Byte by byte for that reason.
template <int Width>
std::uint32_t fieldOrZero(ByteCursor &c)
{
    if constexpr (Width == 2) {
        if (c.remaining() >= 2)
            return *c.be16();
    } else if constexpr (Width == 4) {
        if (c.remaining() >= 4)
            return *c.be32();
    }
    std::uint32_t value = 0;
    for (int i = 0; i < Width; ++i)
        value = value << 8 | c.u8().value_or(0);
    return value;
}

template <std::size_t N>
void bytesOrZero(ByteCursor &c, std::array<std::uint8_t, 16> &out)
{
    for (std::size_t i = 0; i < N; ++i)
        out[i] = c.u8().value_or(0);
}

// IHL and the TCP data offset count 32-bit words; a value below the fixed part is
// nonsense, and taking it literally would put header bytes into the payload.
std::size_t headerBytes(unsigned words)
{
    return std::max<std::size_t>(words, kMinHeaderWords) * 4;
}

// The transport header at the cursor; its size, 0 for a protocol that has none here.
std::size_t readTransport(ByteCursor &c, bool icmpHasPorts, IpHeaders &h)
{
    switch (h.protocol) {
    case kIpTcp: {
        // RFC 9293, 3.1: ports, sequence number, acknowledgment number, data offset, flags.
        h.transport = true;
        h.sourcePort = static_cast<std::uint16_t>(fieldOrZero<2>(c));
        h.destPort = static_cast<std::uint16_t>(fieldOrZero<2>(c));
        h.seq = fieldOrZero<4>(c);
        c.skip(4);
        const std::size_t size = headerBytes(fieldOrZero<1>(c) >> 4);
        h.tcpFlags = static_cast<std::uint8_t>(fieldOrZero<1>(c));
        return size;
    }
    case kIpUdp:
        h.transport = true;
        h.sourcePort = static_cast<std::uint16_t>(fieldOrZero<2>(c));
        h.destPort = static_cast<std::uint16_t>(fieldOrZero<2>(c));
        return kUdpIcmpHeaderSize;
    case kIpIcmp:
        if (!icmpHasPorts)
            return 0;
        // The capture event carries the message type and code in the port fields.
        h.transport = true;
        h.sourcePort = static_cast<std::uint16_t>(fieldOrZero<1>(c));
        h.destPort = static_cast<std::uint16_t>(fieldOrZero<1>(c));
        return kUdpIcmpHeaderSize;
    default:
        return 0;
    }
}

void finish(IpHeaders &h, std::size_t headerSize)
{
    h.headerSize = headerSize;
    h.payload = h.datagram.subspan(std::min(headerSize, h.datagram.size()));
}

} // namespace

IpHeaders ReadIpv4Headers(Bytes bytes)
{
    IpHeaders h;
    // RFC 791, 3.1: version/IHL, TOS, total length, id, flags/fragment, TTL, protocol,
    // checksum, source, destination.
    ByteCursor ip(bytes);
    const std::uint32_t versionIhl = fieldOrZero<1>(ip);
    ip.skip(1);
    const std::uint32_t totalLength = fieldOrZero<2>(ip);
    ip.skip(5);
    h.protocol = static_cast<std::uint8_t>(fieldOrZero<1>(ip));
    ip.skip(2);
    h.source = IpAddress::v4(fieldOrZero<4>(ip));
    h.destination = IpAddress::v4(fieldOrZero<4>(ip));

    const std::size_t ipHeaderSize = headerBytes(versionIhl & 0x0F);

    // Ethernet pads short frames to 60 bytes; the total length says where the datagram
    // really ends. A total length of 0 or beyond what was read comes from segmentation
    // offload (the stack hands over one large segment), and then the bytes read count.
    h.datagram = bytes;
    if (totalLength >= ipHeaderSize && totalLength <= bytes.size())
        h.datagram = bytes.first(totalLength);

    ByteCursor transport(h.datagram);
    transport.skip(ipHeaderSize);
    finish(h, ipHeaderSize + readTransport(transport, true, h));
    return h;
}

IpHeaders ReadIpv6Headers(Bytes bytes)
{
    IpHeaders h;
    h.source.family = h.destination.family = IpFamily::V6;
    // RFC 8200, 3: version/traffic class/flow label, payload length, next header, hop
    // limit, source, destination.
    ByteCursor ip(bytes);
    fieldOrZero<4>(ip);
    const std::uint32_t payloadLength = fieldOrZero<2>(ip);
    h.protocol = static_cast<std::uint8_t>(fieldOrZero<1>(ip));
    fieldOrZero<1>(ip);
    bytesOrZero<16>(ip, h.source.bytes);
    bytesOrZero<16>(ip, h.destination.bytes);

    h.datagram = bytes;
    if (payloadLength > 0 && kIpv6HeaderSize + payloadLength <= bytes.size())
        h.datagram = bytes.first(kIpv6HeaderSize + payloadLength);

    ByteCursor walk(h.datagram);
    walk.skip(kIpv6HeaderSize);
    std::size_t offset = kIpv6HeaderSize;
    for (;;) {
        if (h.protocol == kHopByHop || h.protocol == kRouting || h.protocol == kDestinationOptions) {
            // Next header, then the length in 8-byte units not counting the first 8.
            const std::optional<std::uint8_t> next = walk.u8();
            const std::optional<std::uint8_t> units = walk.u8();
            if (!next || !units) {
                finish(h, offset + 8);
                return h;
            }
            const std::size_t size = (std::size_t(*units) + 1) * 8;
            if (!walk.skip(size - 2)) {
                finish(h, offset + size);
                return h;
            }
            h.protocol = *next;
            offset += size;
        } else if (h.protocol == kFragment) {
            // Next header, reserved, offset (13 bits) and flags, identification.
            const std::optional<std::uint8_t> next = walk.u8();
            walk.skip(1);
            const std::optional<std::uint16_t> offsetAndFlags = walk.be16();
            if (!next || !offsetAndFlags || !walk.skip(4)) {
                finish(h, offset + kFragmentHeaderSize);
                return h;
            }
            h.protocol = *next;
            offset += kFragmentHeaderSize;
            if ((*offsetAndFlags >> 3) != 0) {
                finish(h, offset); // a later fragment: what follows is the middle of a payload
                return h;
            }
        } else {
            break;
        }
    }
    finish(h, offset + readTransport(walk, false, h));
    return h;
}

} // namespace quorrel
