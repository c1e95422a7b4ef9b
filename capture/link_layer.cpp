#include "capture/link_layer.h"

namespace quorrel {
namespace {

constexpr std::uint16_t kEtherIpv4 = 0x0800;
constexpr std::uint16_t kEtherVlan = 0x8100;   // IEEE 802.1Q
constexpr std::uint16_t kEtherQinQ = 0x88A8;   // IEEE 802.1ad
constexpr std::uint32_t kAfInet = 2;           // AF_INET on every system that writes these

std::optional<Bytes> ipv4Only(Bytes datagram)
{
    if (datagram.empty() || (std::to_integer<unsigned>(datagram[0]) >> 4) != 4)
        return std::nullopt;
    return datagram;
}

std::optional<Bytes> after(Bytes frame, size_t header)
{
    if (frame.size() < header)
        return std::nullopt;
    return ipv4Only(frame.subspan(header));
}

std::uint16_t be16At(Bytes b, size_t at)
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
    case LinkType::LinuxSll2:
        return true;
    }
    return false;
}

std::optional<Bytes> Ipv4InFrame(int dlt, Bytes frame)
{
    switch (LinkType(dlt)) {
    case LinkType::Ethernet: {
        // Destination, source, then the EtherType; VLAN tags put 4 bytes before it.
        size_t at = 12;
        while (frame.size() >= at + 2) {
            const std::uint16_t type = be16At(frame, at);
            if (type == kEtherVlan || type == kEtherQinQ) {
                at += 4;
                continue;
            }
            return type == kEtherIpv4 ? after(frame, at + 2) : std::nullopt;
        }
        return std::nullopt;
    }
    case LinkType::Null: {
        if (frame.size() < 4)
            return std::nullopt;
        const auto b = [&](size_t i) { return std::to_integer<std::uint32_t>(frame[i]); };
        const std::uint32_t little = b(0) | b(1) << 8 | b(2) << 16 | b(3) << 24;
        const std::uint32_t big = b(3) | b(2) << 8 | b(1) << 16 | b(0) << 24;
        return (little == kAfInet || big == kAfInet) ? after(frame, 4) : std::nullopt;
    }
    case LinkType::Loop:
        if (frame.size() < 4 || be16At(frame, 0) != 0 || be16At(frame, 2) != kAfInet)
            return std::nullopt;
        return after(frame, 4);
    case LinkType::LinuxSll:
        // Packet type, ARPHRD type, address length, 8 address bytes, then the protocol.
        if (frame.size() < 16 || be16At(frame, 14) != kEtherIpv4)
            return std::nullopt;
        return after(frame, 16);
    case LinkType::LinuxSll2:
        // The protocol comes first; the header is 20 bytes.
        if (frame.size() < 20 || be16At(frame, 0) != kEtherIpv4)
            return std::nullopt;
        return after(frame, 20);
    case LinkType::Raw:
    case LinkType::RawOpenBsd:
    case LinkType::Ipv4:
        return ipv4Only(frame);
    }
    return std::nullopt;
}

} // namespace quorrel
