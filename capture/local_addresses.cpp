#include "capture/local_addresses.h"

#include "capture/datagram.h"

#include <arpa/inet.h>
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
    for (const ifaddrs *a = list; a && addresses.size() < kMaxLocalAddresses; a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET || !(a->ifa_flags & IFF_UP))
            continue;
        const auto *in = reinterpret_cast<const sockaddr_in *>(a->ifa_addr);
        const std::uint32_t address = ntohl(in->sin_addr.s_addr);
        addresses.push_back({QString::fromLocal8Bit(a->ifa_name), address, DottedAddress(address)});
    }
    freeifaddrs(list);
    return addresses;
}

} // namespace quorrel
