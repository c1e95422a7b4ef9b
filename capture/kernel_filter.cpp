#include "capture/kernel_filter.h"

namespace quorrel {
namespace {

// The pieces, per family: where the TCP header's fields and payload are.
struct Layout {
    const char *ip;          // "ip" or "ip6": the host qualifier
    const char *tcp;         // the test that the datagram is TCP with its header readable below
    const char *flags;       // the TCP flags byte
    const char *payloadSize; // the TCP payload's size
    const char *payloadAt;   // where the payload begins, as an index into `base`
    const char *base;        // the header the payload index counts from
};

constexpr Layout kIpv4{
    "ip",
    "tcp",
    "tcp[13]",
    "ip[2:2] - ((ip[0] & 0x0f) << 2) - ((tcp[12] & 0xf0) >> 2)",
    "((tcp[12] & 0xf0) >> 2)",
    "tcp",
};

// TCP right after the 40-byte fixed header: next header 6, the TCP header at offset 40.
constexpr Layout kIpv6{
    "ip6",
    "ip6[6] = 6",
    "ip6[53]",
    "ip6[4:2] - ((ip6[52] & 0xf0) >> 2)",
    "40 + ((ip6[52] & 0xf0) >> 2)",
    "ip6",
};

std::string bareAck(const Layout &l)
{
    // FIN 0x01, SYN 0x02, RST 0x04 (RFC 9293, 3.1).
    return std::string(l.tcp) + " and " + l.flags + " & 0x07 = 0 and " + l.payloadSize + " = 0";
}

std::string tlsHandshakeRecord(const Layout &l)
{
    // A TLS record header: content type 22 (handshake), then the major version 3 (RFC 8446, 5.1).
    const std::string at = l.payloadAt;
    return std::string(l.tcp) + " and " + l.base + "[" + at + "] = 0x16 and " + l.base + "[" + at + " + 1] = 0x03";
}

} // namespace

std::string KernelFilter(IpFamily family, std::string_view address)
{
    const Layout &l = family == IpFamily::V6 ? kIpv6 : kIpv4;
    const std::string host(address);
    const std::string sent = std::string(l.ip) + " src host " + host + " and not (" + bareAck(l) + ")";
    const std::string received = std::string(l.ip) + " dst host " + host + " and " + tlsHandshakeRecord(l);
    // HTTP/3's servers answer from UDP port 443 (RFC 9114 3.1): the capture helper passes
    // their first datagrams and cuts the rest (capture/flow_table.h).
    const std::string quic = std::string(l.ip) + " dst host " + host + " and udp src port 443";
    return "(" + sent + ") or (" + received + ") or (" + quic + ")";
}

} // namespace quorrel
