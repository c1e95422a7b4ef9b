#pragma once
// The machine's local IPv4 addresses, as captures are opened for them.

#include <QString>
#include <cstdint>
#include <vector>

namespace quorrel {

struct LocalAddress {
    QString interface; // the interface that holds the address ("lo", "eth0")
    std::uint32_t address = 0; // host order
    QString text;      // dotted form
};

inline constexpr std::size_t kMaxLocalAddresses = 20;

// The IPv4 addresses of the interfaces that are up, loopback included, in the order the
// system lists them, at most kMaxLocalAddresses.
std::vector<LocalAddress> GetLocalAddresses();

} // namespace quorrel
