#pragma once
// One captured IP datagram, IPv4 or IPv6, taken apart for the capture event: the ten values
// every consumer of captured traffic receives, and a few more. Decoding never reads past
// the bytes received (capture/ip_headers.h says how each header is read).

#include "capture/bytes.h"
#include "capture/ip_headers.h"

#include <QString>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace quorrel {

// The capture event's values. The text values are made on demand: most datagrams are
// dropped after a look at the numbers, and building six strings for each would cost more
// than everything else done with them.
struct Datagram {
    IpAddress ip;                  // the local address whose capture read it
    std::uint8_t protocol = 0;     // IPv4 header byte 9; IPv6: the header after the extension headers
    IpAddress source;              // IPv4 header bytes 12..15, IPv6 bytes 8..23
    IpAddress destination;         // IPv4 header bytes 16..19, IPv6 bytes 24..39
    std::uint16_t sourcePort = 0;  // TCP/UDP source port; ICMP (IPv4) message type
    std::uint16_t destPort = 0;    // TCP/UDP destination port; ICMP (IPv4) message code
    std::uint32_t seq = 0;         // TCP: the sequence number; 0 otherwise
    std::uint8_t tcpFlags = 0;     // TCP: header byte 13 (kTcpFin, kTcpSyn, kTcpRst ...)
    Bytes header;                  // the datagram from its first byte to its end, not copied
    int header_size = 0;           // IP header(s) length + transport header length
    Bytes data;                    // the payload: header + header_size up to the datagram's end
    int data_size = 0;             // data.size(); 0 when the datagram is shorter than its headers
    // The capture helper passed only the headers of this datagram (capture/frame.h): its
    // payload was not what the program reads. originalLength is its length on the wire.
    bool cut = false;
    std::uint32_t originalLength = 0;

    // The ports (and, for TCP, seq and tcpFlags) come from a transport header: false for
    // protocols without one and for a later IPv6 fragment.
    bool transport = false;

    IpFamily family() const { return source.family; }

    QString ipText() const;         // `ip`
    QString proto() const;          // `proto`: ProtocolName(protocol)
    QString sourceIP() const;       // `sourceIP`: dotted decimal, or the IPv6 text form
    QString destIP() const;         // `destIP`
    QString SourcePort() const;     // decimal, no leading zeros
    QString DestPort() const;
};

// The name of an IP protocol number, empty for numbers outside the table (and outside
// 0..255).
QString ProtocolName(int number);

// Dotted decimal of an address in host order ("127.0.0.1"), and back; false for text
// that is not four decimal numbers of 0..255 (one to three ASCII digits each) separated
// by dots, and then address is left as it was.
QString DottedAddress(std::uint32_t address);
bool ParseDottedAddress(QStringView text, std::uint32_t &address);

// The text form of an address: dotted decimal for IPv4, RFC 5952 for IPv6 ("::1",
// "fd00::2"). ParseIpAddress takes either form, literally (no names, no zone, no blanks).
QString AddressText(const IpAddress &address);
std::optional<IpAddress> ParseIpAddress(QStringView text);

// Takes the IPv4 datagram in bytes apart for the capture of local address ip (host order).
// The IP header length comes from IHL and the TCP header length from the data offset
// (an IHL or offset below 5 counts as 5); UDP and ICMP headers are 8 bytes; any other
// protocol has no transport header. Fields beyond the bytes received read as zero, and
// a datagram shorter than its headers has an empty payload. When the IP total length
// lies between the IP header length and the bytes received, the datagram ends there
// (the rest is link-layer padding); a total length of 0 or one beyond the bytes
// received (segmentation offload) is ignored. Builds no text: it runs for every datagram.
Datagram DecodeDatagram(std::uint32_t ip, Bytes bytes);

// Takes a datagram apart for the capture of local address ip: as IPv4 above, or, for an
// IPv6 address, as IPv6 (ReadIpv6Headers).
Datagram DecodeDatagram(const IpAddress &ip, Bytes bytes);

} // namespace quorrel
