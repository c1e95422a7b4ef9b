#include "capture/datagram.h"

#include "capture/byte_cursor.h"

#include <algorithm>
#include <array>

namespace quorrel {
namespace {

constexpr std::uint8_t kIcmp = 1;  // RFC 792
constexpr std::uint8_t kTcp = 6;   // RFC 793
constexpr std::uint8_t kUdp = 17;  // RFC 768

constexpr std::size_t kMinHeaderWords = 5;   // 20 bytes: the fixed part of IPv4 and TCP headers
constexpr std::size_t kUdpIcmpHeaderSize = 8;

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

// IHL and the TCP data offset count 32-bit words; a value below the fixed part is
// nonsense, and taking it literally would put header bytes into the payload.
std::size_t headerBytes(unsigned words)
{
    return std::max<std::size_t>(words, kMinHeaderWords) * 4;
}

} // namespace

Datagram DecodeDatagram(std::uint32_t ip, Bytes bytes)
{
    Datagram d;
    d.ip = ip;

    // RFC 791, 3.1: version/IHL, TOS, total length, id, flags/fragment, TTL, protocol,
    // checksum, source, destination.
    ByteCursor ipHeader(bytes);
    const std::uint32_t versionIhl = fieldOrZero<1>(ipHeader);
    ipHeader.skip(1);
    const std::uint32_t totalLength = fieldOrZero<2>(ipHeader);
    ipHeader.skip(5);
    d.protocol = static_cast<std::uint8_t>(fieldOrZero<1>(ipHeader));
    ipHeader.skip(2);
    d.source = fieldOrZero<4>(ipHeader);
    d.destination = fieldOrZero<4>(ipHeader);

    const std::size_t ipHeaderSize = headerBytes(versionIhl & 0x0F);

    // Ethernet pads short frames to 60 bytes; the total length says where the datagram
    // really ends. A total length of 0 or beyond what was read comes from segmentation
    // offload (the stack hands over one large segment), and then the bytes read count.
    Bytes datagram = bytes;
    if (totalLength >= ipHeaderSize && totalLength <= bytes.size())
        datagram = bytes.first(totalLength);

    ByteCursor transport(datagram);
    transport.skip(ipHeaderSize);
    std::size_t transportHeaderSize = 0;
    switch (d.protocol) {
    case kTcp: {
        // RFC 793, 3.1: ports, sequence number, acknowledgment number, data offset.
        d.sourcePort = static_cast<std::uint16_t>(fieldOrZero<2>(transport));
        d.destPort = static_cast<std::uint16_t>(fieldOrZero<2>(transport));
        transport.skip(8);
        transportHeaderSize = headerBytes(fieldOrZero<1>(transport) >> 4);
        break;
    }
    case kUdp:
        d.sourcePort = static_cast<std::uint16_t>(fieldOrZero<2>(transport));
        d.destPort = static_cast<std::uint16_t>(fieldOrZero<2>(transport));
        transportHeaderSize = kUdpIcmpHeaderSize;
        break;
    case kIcmp:
        // The capture event carries the message type and code in the port fields.
        d.sourcePort = static_cast<std::uint16_t>(fieldOrZero<1>(transport));
        d.destPort = static_cast<std::uint16_t>(fieldOrZero<1>(transport));
        transportHeaderSize = kUdpIcmpHeaderSize;
        break;
    default:
        break;
    }

    const std::size_t headerSize = ipHeaderSize + transportHeaderSize;
    d.header = datagram;
    d.header_size = static_cast<int>(headerSize);
    d.data = datagram.subspan(std::min(headerSize, datagram.size()));
    d.data_size = static_cast<int>(d.data.size());
    return d;
}

QString ProtocolName(int number)
{
    switch (number) {
    case 0: return QStringLiteral("IP");
    case 1: return QStringLiteral("ICMP");
    case 2: return QStringLiteral("IGMP");
    case 3: return QStringLiteral("GGP");
    case 6: return QStringLiteral("TCP");
    case 12: return QStringLiteral("PUP");
    case 17: return QStringLiteral("UDP");
    case 22: return QStringLiteral("IDP");
    case 77: return QStringLiteral("NP");
    case 255: return QStringLiteral("RAW");
    default: return QString();
    }
}

QString DottedAddress(std::uint32_t address)
{
    std::array<char, 16> text; // "255.255.255.255" and no terminator needed
    std::size_t n = 0;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const unsigned part = address >> shift & 0xFF;
        if (part >= 100)
            text[n++] = static_cast<char>('0' + part / 100);
        if (part >= 10)
            text[n++] = static_cast<char>('0' + part / 10 % 10);
        text[n++] = static_cast<char>('0' + part % 10);
        if (shift > 0)
            text[n++] = '.';
    }
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(n));
}

bool ParseDottedAddress(QStringView text, std::uint32_t &address)
{
    std::uint32_t value = 0;
    qsizetype i = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (i >= text.size() || text[i] != QLatin1Char('.'))
                return false;
            ++i;
        }
        unsigned number = 0;
        int digits = 0;
        // ASCII digits only: QChar::isDigit() would also take other scripts' digits.
        while (i < text.size() && text[i] >= QLatin1Char('0') && text[i] <= QLatin1Char('9')) {
            if (++digits > 3)
                return false;
            number = number * 10 + (text[i].unicode() - '0');
            ++i;
        }
        if (digits == 0 || number > 255)
            return false;
        value = value << 8 | number;
    }
    if (i != text.size())
        return false;
    address = value;
    return true;
}

QString Datagram::ipText() const { return DottedAddress(ip); }
QString Datagram::proto() const { return ProtocolName(protocol); }
QString Datagram::sourceIP() const { return DottedAddress(source); }
QString Datagram::destIP() const { return DottedAddress(destination); }
QString Datagram::SourcePort() const { return QString::number(sourcePort); }
QString Datagram::DestPort() const { return QString::number(destPort); }

} // namespace quorrel
