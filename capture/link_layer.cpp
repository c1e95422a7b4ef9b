#include "capture/link_layer.h"

namespace quorrel {
namespace {

constexpr std::uint16_t kEtherIpv4 = 0x0800;
constexpr std::uint16_t kEtherIpv6 = 0x86DD;
constexpr std::uint16_t kEtherVlan = 0x8100;   // IEEE 802.1Q
constexpr std::uint16_t kEtherQinQ = 0x88A8;   // IEEE 802.1ad
constexpr std::uint32_t kAfInet = 2;           // AF_INET on every system that writes these
// AF_INET6 differs between the systems that write BSD loopback headers: NetBSD, OpenBSD
// and BSD/OS 24, FreeBSD 28, macOS 30 (the tcpdump.org link-type list says the same).
constexpr std::uint32_t kAfInet6[] = {24, 28, 30};

bool isAfInet6(std::uint32_t family)
{
    for (std::uint32_t f : kAfInet6)
        if (family == f)
            return true;
    return false;
}

// What the link layer says the frame carries; the version nibble must agree.
enum class Carries { Ipv4, Ipv6, EitherByVersion, Other };

std::optional<IpInLink> ipAt(Bytes frame, std::size_t header, Carries carries)
{
    if (carries == Carries::Other || frame.size() <= header)
        return std::nullopt;
    const Bytes datagram = frame.subspan(header);
    const unsigned version = std::to_integer<unsigned>(datagram[0]) >> 4;
    if (version == 4 && carries != Carries::Ipv6)
        return IpInLink{IpFamily::V4, datagram};
    if (version == 6 && carries != Carries::Ipv4)
        return IpInLink{IpFamily::V6, datagram};
    return std::nullopt;
}

Carries byEtherType(std::uint16_t type)
{
    return type == kEtherIpv4 ? Carries::Ipv4 : type == kEtherIpv6 ? Carries::Ipv6 : Carries::Other;
}

std::uint16_t be16At(Bytes b, std::size_t at)
{
    return static_cast<std::uint16_t>((std::to_integer<unsigned>(b[at]) << 8) | std::to_integer<unsigned>(b[at + 1]));
}

} // namespace

bool IsSupportedLinkType(int dlt)
{
    switch (LinkType(dlt)) {
    case LinkType::Null:
    case LinkType::Ethernet:
    case LinkType::Raw:
    case LinkType::RawOpenBsd:
    case LinkType::Loop:
    case LinkType::LinuxSll:
    case LinkType::Ipv4:
    case LinkType::Ipv6:
    case LinkType::LinuxSll2:
        return true;
    }
    return false;
}

std::optional<IpInLink> IpInFrame(int dlt, Bytes frame)
{
    switch (LinkType(dlt)) {
    case LinkType::Ethernet: {
        // Destination, source, then the EtherType; VLAN tags put 4 bytes before it.
        std::size_t at = 12;
        while (frame.size() >= at + 2) {
            const std::uint16_t type = be16At(frame, at);
            if (type == kEtherVlan || type == kEtherQinQ) {
                at += 4;
                continue;
            }
            return ipAt(frame, at + 2, byEtherType(type));
        }
        return std::nullopt;
    }
    case LinkType::Null: {
        if (frame.size() < 4)
            return std::nullopt;
        const auto b = [&](std::size_t i) { return std::to_integer<std::uint32_t>(frame[i]); };
        const std::uint32_t little = b(0) | b(1) << 8 | b(2) << 16 | b(3) << 24;
        const std::uint32_t big = b(3) | b(2) << 8 | b(1) << 16 | b(0) << 24;
        if (little == kAfInet || big == kAfInet)
            return ipAt(frame, 4, Carries::Ipv4);
        if (isAfInet6(little) || isAfInet6(big))
            return ipAt(frame, 4, Carries::Ipv6);
        return std::nullopt;
    }
    case LinkType::Loop: {
        if (frame.size() < 4 || be16At(frame, 0) != 0)
            return std::nullopt;
        const std::uint16_t family = be16At(frame, 2);
        return ipAt(frame, 4, family == kAfInet ? Carries::Ipv4 : isAfInet6(family) ? Carries::Ipv6 : Carries::Other);
    }
    case LinkType::LinuxSll:
        // Packet type, ARPHRD type, address length, 8 address bytes, then the protocol.
        if (frame.size() < 16)
            return std::nullopt;
        return ipAt(frame, 16, byEtherType(be16At(frame, 14)));
    case LinkType::LinuxSll2:
        // The protocol comes first; the header is 20 bytes.
        if (frame.size() < 20)
            return std::nullopt;
        return ipAt(frame, 20, byEtherType(be16At(frame, 0)));
    case LinkType::Raw:
    case LinkType::RawOpenBsd:
        return ipAt(frame, 0, Carries::EitherByVersion);
    case LinkType::Ipv4:
        return ipAt(frame, 0, Carries::Ipv4);
    case LinkType::Ipv6:
        return ipAt(frame, 0, Carries::Ipv6);
    }
    return std::nullopt;
}

std::optional<Bytes> Ipv4InFrame(int dlt, Bytes frame)
{
    const std::optional<IpInLink> ip = IpInFrame(dlt, frame);
    if (!ip || ip->family != IpFamily::V4)
        return std::nullopt;
    return ip->datagram;
}

std::optional<Bytes> Ipv6InFrame(int dlt, Bytes frame)
{
    const std::optional<IpInLink> ip = IpInFrame(dlt, frame);
    if (!ip || ip->family != IpFamily::V6)
        return std::nullopt;
    return ip->datagram;
}

} // namespace quorrel
