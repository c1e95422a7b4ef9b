#include "quic/packet_header.h"

#include "capture/byte_cursor.h"
#include "quic/varint.h"

namespace quorrel::quic {

std::optional<ConnectionId> ConnectionId::of(Bytes view)
{
    if (view.size() > kMaxLength)
        return std::nullopt;
    ConnectionId id;
    std::memcpy(id.bytes.data(), view.data(), view.size());
    id.length = static_cast<std::uint8_t>(view.size());
    return id;
}

std::size_t ConnectionIdHash::operator()(const ConnectionId &id) const noexcept
{
    // FNV-1a: IDs are short, and a server's are random already.
    std::uint64_t h = 0xcbf29ce484222325ULL ^ id.length;
    for (std::size_t i = 0; i < id.length; ++i) {
        h ^= id.bytes[i];
        h *= 0x100000001b3ULL;
    }
    return static_cast<std::size_t>(h);
}

std::optional<LongHeader> parseLongHeader(Bytes bytes)
{
    ByteCursor c(bytes);
    LongHeader h;
    const auto first = c.u8();
    const auto version = c.be32();
    if (!first || !version || !isLongHeader(*first))
        return std::nullopt;
    h.firstByte = *first;
    h.version = *version;
    h.known = findVersion(*version);
    // RFC 8999 5.1: the connection IDs of any version take a length byte each.
    const auto dcidLength = c.u8();
    const auto dcid = dcidLength ? c.take(*dcidLength) : std::nullopt;
    const auto scidLength = c.u8();
    const auto scid = scidLength ? c.take(*scidLength) : std::nullopt;
    if (!dcid || !scid)
        return std::nullopt;
    const auto dcidValue = ConnectionId::of(*dcid);
    const auto scidValue = ConnectionId::of(*scid);
    if (dcidValue)
        h.dcid = *dcidValue;
    if (scidValue)
        h.scid = *scidValue;
    if (!h.known) {
        h.packet = bytes;
        return h;
    }
    if (!dcidValue || !scidValue)
        return std::nullopt; // RFC 9000 17.2: longer than 20 bytes in version 1
    h.type = h.known->typeOf(h.firstByte);
    if (h.type == PacketType::Retry) {
        h.packet = bytes; // Retry Token, then the integrity tag: to the datagram's end
        return h;
    }
    if (h.type == PacketType::Initial) {
        const auto tokenLength = readVarint(c);
        const auto token = tokenLength && *tokenLength <= c.remaining() ? c.take(std::size_t(*tokenLength)) : std::nullopt;
        if (!token)
            return std::nullopt;
        h.token = *token;
    }
    const auto length = readVarint(c);
    if (!length || *length > c.remaining())
        return std::nullopt;
    h.pnOffset = c.position();
    h.packet = bytes.first(h.pnOffset + std::size_t(*length));
    return h;
}

std::optional<ShortHeader> parseShortHeader(Bytes bytes, std::size_t dcidLength)
{
    if (bytes.empty() || isLongHeader(std::to_integer<std::uint8_t>(bytes[0])) || dcidLength > ConnectionId::kMaxLength
        || bytes.size() < 1 + dcidLength)
        return std::nullopt;
    ShortHeader h;
    h.dcid = *ConnectionId::of(bytes.subspan(1, dcidLength));
    h.pnOffset = 1 + dcidLength;
    h.packet = bytes;
    return h;
}

} // namespace quorrel::quic
