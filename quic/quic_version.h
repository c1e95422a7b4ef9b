#pragma once
// The QUIC versions read: version 1 (RFC 9000, RFC 9001) and version 2 (RFC 9369), which
// differs only in its number, its long header packet types, the salt of its Initial keys,
// the labels of its key derivation and the key of its Retry integrity tag.

#include <array>
#include <cstdint>

namespace quorrel::quic {

enum class PacketType : std::uint8_t { Initial, ZeroRtt, Handshake, Retry };

struct QuicVersion {
    std::uint32_t wire = 0;
    const char *name = "";
    std::array<std::uint8_t, 20> initialSalt{}; // RFC 9001 5.2, RFC 9369 3.3.1
    // HKDF-Expand-Label labels (RFC 9001 5.1, 5.4, 6.1; RFC 9369 3.3.2).
    const char *keyLabel = "";
    const char *ivLabel = "";
    const char *hpLabel = "";
    const char *kuLabel = "";
    // The long header's two type bits for Initial, 0-RTT, Handshake and Retry.
    std::array<std::uint8_t, 4> typeBits{};
    // The AEAD_AES_128_GCM key and nonce of the Retry integrity tag (RFC 9001 5.8, RFC 9369 3.3.3).
    std::array<std::uint8_t, 16> retryKey{};
    std::array<std::uint8_t, 12> retryNonce{};

    PacketType typeOf(std::uint8_t firstByte) const;
};

// The version of that wire number; nullptr for a version not read (drafts, Google QUIC,
// a reserved or greasing number, version negotiation's 0).
const QuicVersion *findVersion(std::uint32_t wire);

inline constexpr std::uint32_t kVersion1 = 0x00000001;
inline constexpr std::uint32_t kVersion2 = 0x6b3343cf;

} // namespace quorrel::quic
