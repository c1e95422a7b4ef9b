#pragma once
// Link-layer framing around IP datagrams, as libpcap hands frames over (live captures and
// capture files alike). Only what the program reads: the IPv4 or IPv6 datagram inside.
// Plain C++: the capture helper uses it too.

#include "capture/bytes.h"
#include "capture/ip_headers.h"

#include <optional>

namespace quorrel {

// libpcap's DLT_ numbers for the link types the program reads.
enum class LinkType : int {
    Null = 0,        // BSD loopback: 4-byte address family in the writer's byte order
    Ethernet = 1,    // Ethernet II, with 802.1Q / 802.1ad tags
    Raw = 12,        // raw IP (DLT_RAW as Linux reports it): IPv4 or IPv6 by the version
    RawOpenBsd = 14, // raw IP (DLT_RAW as OpenBSD numbers it)
    Loop = 108,      // OpenBSD loopback: family in network byte order
    LinuxSll = 113,  // Linux cooked capture v1
    Ipv4 = 228,      // raw IPv4
    Ipv6 = 229,      // raw IPv6
    LinuxSll2 = 276, // Linux cooked capture v2
};

bool IsSupportedLinkType(int dlt);

struct IpInLink {
    IpFamily family;
    Bytes datagram; // from the first byte of the IP header to the end of the frame
};

// The IP datagram carried by a frame of the given link type, or nothing when the frame
// carries something else (ARP ...), is too short to say, or its IP version contradicts
// what the link layer says it carries.
std::optional<IpInLink> IpInFrame(int dlt, Bytes frame);

// The same, for one family only.
std::optional<Bytes> Ipv4InFrame(int dlt, Bytes frame);
std::optional<Bytes> Ipv6InFrame(int dlt, Bytes frame);

} // namespace quorrel
