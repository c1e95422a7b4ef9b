#pragma once
// Which datagrams of one local address the kernel hands to the capture at all: the one
// place that says so, for IPv4 and IPv6 alike. What is filtered out here costs nothing: it
// is never copied out of the kernel.
//
// Passed:
//   - every datagram sent from the address (the rules examine only those), except a bare
//     TCP acknowledgment (no payload, no SYN, FIN or RST): it carries nothing any reader
//     uses, and a download sends one for every few segments it receives;
//   - a TCP segment received by the address whose payload begins with a TLS handshake
//     record (0x16 0x03: the server's ServerHello, which reading HTTPS needs), from any port;
//   - a UDP datagram received from port 443: an HTTP/3 server's (reading HTTP/3 needs its
//     first packets; the capture helper cuts the rest to their headers, capture/flow_table.h).
// Everything else received (the body of every download over TCP) stays in the kernel.
//
// libpcap reads tcp[] only for IPv4, so the IPv6 rules count bytes from the fixed header
// and see TCP only right after it; a received handshake behind IPv6 extension headers is
// not seen, and a bare acknowledgment behind them passes.
// Plain C++: the capture helper compiles it.

#include "capture/ip_headers.h"

#include <string>
#include <string_view>

namespace quorrel {

// The libpcap filter expression for the capture of address (its text form) of family.
std::string KernelFilter(IpFamily family, std::string_view address);

} // namespace quorrel
