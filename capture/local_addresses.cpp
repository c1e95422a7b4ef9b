#include "capture/local_addresses.h"

#include "capture/datagram.h"

#include <arpa/inet.h>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

namespace quorrel {

std::vector<LocalAddress> GetLocalAddresses()
{
    std::vector<LocalAddress> addresses;
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return addresses;
    std::size_t v4 = 0;
    std::size_t v6 = 0;
    for (const ifaddrs *a = list; a; a = a->ifa_next) {
        if (!a->ifa_addr || !(a->ifa_flags & IFF_UP))
            continue;
        IpAddress address;
        if (a->ifa_addr->sa_family == AF_INET && v4 < kMaxLocalAddresses) {
            address = IpAddress::v4(ntohl(reinterpret_cast<const sockaddr_in *>(a->ifa_addr)->sin_addr.s_addr));
            ++v4;
        } else if (a->ifa_addr->sa_family == AF_INET6 && v6 < kMaxLocalAddresses) {
            address.family = IpFamily::V6;
            std::memcpy(address.bytes.data(), &reinterpret_cast<const sockaddr_in6 *>(a->ifa_addr)->sin6_addr, 16);
            ++v6;
        } else {
            continue;
        }
        addresses.push_back({QString::fromLocal8Bit(a->ifa_name), address, AddressText(address)});
    }
    freeifaddrs(list);
    return addresses;
}

} // namespace quorrel
