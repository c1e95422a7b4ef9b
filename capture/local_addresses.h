#pragma once
// The machine's local IPv4 and IPv6 addresses, as captures are opened for them.

#include "capture/ip_headers.h"

#include <QString>
#include <cstdint>
#include <vector>

namespace quorrel {

struct LocalAddress {
    QString interface;   // the interface that holds the address ("lo", "eth0")
    IpAddress address;
    QString text;        // dotted form, or the IPv6 text form
};

// Per family: at most this many IPv4 and this many IPv6 addresses are captured.
inline constexpr std::size_t kMaxLocalAddresses = 20;

// The addresses of the interfaces that are up, loopback included (127.0.0.1 and ::1),
// IPv4 and IPv6 (link-local ones too), in the order the system lists them, at most
// kMaxLocalAddresses of each family.
std::vector<LocalAddress> GetLocalAddresses();

} // namespace quorrel
