#pragma once
// One captured IPv4 datagram taken apart for the capture event: the ten values every
// consumer of captured traffic receives. Decoding never reads past the bytes received.
// RFC 791 (IPv4), RFC 793 (TCP), RFC 768 (UDP), RFC 792 (ICMP).

#include <QString>
#include <cstddef>
#include <cstdint>
#include <span>

namespace quorrel {

using Bytes = std::span<const std::byte>;

// The capture event's values. The text values are made on demand: most datagrams are
// dropped after a look at the numbers, and building six strings for each would cost more
// than everything else done with them.
struct Datagram {
    std::uint32_t ip = 0;          // the local address whose capture read it (host order)
    std::uint8_t protocol = 0;     // IP header byte 9
    std::uint32_t source = 0;      // IP header bytes 12..15 (host order)
    std::uint32_t destination = 0; // IP header bytes 16..19 (host order)
    std::uint16_t sourcePort = 0;  // TCP/UDP source port; ICMP message type
    std::uint16_t destPort = 0;    // TCP/UDP destination port; ICMP message code
    Bytes header;                  // the datagram from its first byte to its end, not copied
    int header_size = 0;           // IP header length + transport header length
    Bytes data;                    // the payload: header + header_size up to the datagram's end
    int data_size = 0;             // data.size(); 0 when the datagram is shorter than its headers

    QString ipText() const;         // `ip`
    QString proto() const;          // `proto`: ProtocolName(protocol)
    QString sourceIP() const;       // `sourceIP`, dotted decimal
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

// Takes the datagram in bytes apart for the capture of local address ip (host order).
// The IP header length comes from IHL and the TCP header length from the data offset
// (an IHL or offset below 5 counts as 5); UDP and ICMP headers are 8 bytes; any other
// protocol has no transport header. Fields beyond the bytes received read as zero, and
// a datagram shorter than its headers has an empty payload. When the IP total length
// lies between the IP header length and the bytes received, the datagram ends there
// (the rest is link-layer padding); a total length of 0 or one beyond the bytes
// received (segmentation offload) is ignored. Builds no text: it runs for every datagram.
Datagram DecodeDatagram(std::uint32_t ip, Bytes bytes);

} // namespace quorrel
