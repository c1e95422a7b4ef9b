#pragma once
// The parts of a QUIC packet that travel in the clear (RFC 9000 17, RFC 8999): the header
// form, the version and connection IDs of a long header with its token and Length, and
// where the protected packet number begins. A long header says its own length, so the
// packets coalesced into one datagram are found one after the other; a short header runs
// to the datagram's end and does not say how long its connection ID is: the reader knows
// it from the connection.

#include "quic/quic_types.h"
#include "quic/quic_version.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

namespace quorrel::quic {

struct ConnectionId {
    static constexpr std::size_t kMaxLength = 20; // RFC 9000 17.2
    std::array<std::uint8_t, kMaxLength> bytes{};
    std::uint8_t length = 0;

    // nullopt when longer than kMaxLength.
    static std::optional<ConnectionId> of(Bytes view);
    Bytes view() const { return {reinterpret_cast<const std::byte *>(bytes.data()), length}; }

    // Bytes past length are always zero, so the whole arrays compare.
    friend bool operator==(const ConnectionId &, const ConnectionId &) = default;
};

struct ConnectionIdHash {
    std::size_t operator()(const ConnectionId &id) const noexcept;
};

inline constexpr std::uint8_t kLongHeaderBit = 0x80;
inline bool isLongHeader(std::uint8_t firstByte) { return firstByte & kLongHeaderBit; }

struct LongHeader {
    std::uint8_t firstByte = 0;
    std::uint32_t version = 0;
    const QuicVersion *known = nullptr; // nullptr: a version not read, or version negotiation
    PacketType type = PacketType::Initial;
    ConnectionId dcid;
    ConnectionId scid;
    Bytes token;           // Initial packets only
    std::size_t pnOffset = 0; // where the packet number begins, from the packet's first byte
    // The packet, from its first byte to the end its Length gives; for a Retry, a version
    // negotiation or a version not read, to the end of the datagram.
    Bytes packet;
};

// The long header packet at the start of bytes. nullopt when the bytes are too few for
// its header or for the Length it gives, or when a connection ID of a version read is
// longer than 20 bytes. A version not read gives only its version and connection IDs
// (when they fit).
std::optional<LongHeader> parseLongHeader(Bytes bytes);

struct ShortHeader {
    ConnectionId dcid;
    std::size_t pnOffset = 0;
    Bytes packet; // to the end of the datagram
};

// The short header packet at the start of bytes, its connection ID dcidLength bytes long;
// nullopt when the bytes are too few.
std::optional<ShortHeader> parseShortHeader(Bytes bytes, std::size_t dcidLength);

} // namespace quorrel::quic
