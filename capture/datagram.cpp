#include "capture/datagram.h"

#include <arpa/inet.h>
#include <array>

namespace quorrel {
namespace {

Datagram fromHeaders(const IpAddress &ip, const IpHeaders &h)
{
    Datagram d;
    d.ip = ip;
    d.protocol = h.protocol;
    d.source = h.source;
    d.destination = h.destination;
    d.sourcePort = h.sourcePort;
    d.destPort = h.destPort;
    d.seq = h.seq;
    d.tcpFlags = h.tcpFlags;
    d.transport = h.transport;
    d.header = h.datagram;
    d.header_size = static_cast<int>(h.headerSize);
    d.data = h.payload;
    d.data_size = static_cast<int>(h.payload.size());
    return d;
}

} // namespace

Datagram DecodeDatagram(std::uint32_t ip, Bytes bytes)
{
    return fromHeaders(IpAddress::v4(ip), ReadIpv4Headers(bytes));
}

Datagram DecodeDatagram(const IpAddress &ip, Bytes bytes)
{
    return fromHeaders(ip, ip.family == IpFamily::V6 ? ReadIpv6Headers(bytes) : ReadIpv4Headers(bytes));
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

QString AddressText(const IpAddress &address)
{
    if (address.family == IpFamily::V4)
        return DottedAddress(address.toV4());
    char text[INET6_ADDRSTRLEN];
    if (!::inet_ntop(AF_INET6, address.bytes.data(), text, sizeof text))
        return QString();
    return QString::fromLatin1(text);
}

std::optional<IpAddress> ParseIpAddress(QStringView text)
{
    std::uint32_t v4 = 0;
    if (ParseDottedAddress(text, v4))
        return IpAddress::v4(v4);
    // inet_pton takes exactly the literal forms of RFC 4291, 2.2: no zone, no blanks.
    if (text.isEmpty() || text.size() >= INET6_ADDRSTRLEN)
        return std::nullopt;
    char ascii[INET6_ADDRSTRLEN];
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c == 0 || c > 0x7E)
            return std::nullopt;
        ascii[i] = static_cast<char>(c);
    }
    ascii[text.size()] = '\0';
    IpAddress address;
    address.family = IpFamily::V6;
    if (::inet_pton(AF_INET6, ascii, address.bytes.data()) != 1)
        return std::nullopt;
    return address;
}

QString Datagram::ipText() const { return AddressText(ip); }
QString Datagram::proto() const { return ProtocolName(protocol); }
QString Datagram::sourceIP() const { return AddressText(source); }
QString Datagram::destIP() const { return AddressText(destination); }
QString Datagram::SourcePort() const { return QString::number(sourcePort); }
QString Datagram::DestPort() const { return QString::number(destPort); }

} // namespace quorrel
