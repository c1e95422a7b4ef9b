#pragma once
// Link-layer framing around IPv4 datagrams, as libpcap hands frames over (live captures
// and capture files alike). Only what the program reads: the IPv4 datagram inside.

#include "capture/datagram.h"

#include <optional>

namespace quorrel {

// libpcap's DLT_ numbers for the link types the program reads.
enum class LinkType : int {
    Null = 0,        // BSD loopback: 4-byte address family in the writer's byte order
    Ethernet = 1,    // Ethernet II, with 802.1Q / 802.1ad tags
    Raw = 12,        // raw IP (DLT_RAW as Linux reports it)
    RawOpenBsd = 14, // raw IP (DLT_RAW as OpenBSD numbers it)
    Loop = 108,      // OpenBSD loopback: family in network byte order
    LinuxSll = 113,  // Linux cooked capture v1
    Ipv4 = 228,      // raw IPv4
    LinuxSll2 = 276, // Linux cooked capture v2
};

bool IsSupportedLinkType(int dlt);

// The IPv4 datagram carried by a frame of the given link type, or nothing when the frame
// carries something else (IPv6, ARP ...) or is too short to say.
std::optional<Bytes> Ipv4InFrame(int dlt, Bytes frame);

} // namespace quorrel
