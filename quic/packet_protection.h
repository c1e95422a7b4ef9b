#pragma once
// Opening protected QUIC packets through OpenSSL's EVP ciphers (RFC 9001 5.3, 5.4):
// header protection first, whose mask (AES-ECB, or ChaCha20, over a sample of the
// ciphertext) uncovers the packet number's length, the key phase and the packet number;
// then the AEAD, whose nonce is the IV with the packet number folded in and whose
// additional data is the header as it was before protection.

#include "quic/packet_keys.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

typedef struct evp_cipher_ctx_st EVP_CIPHER_CTX;

namespace quorrel::quic {

inline constexpr std::size_t kSampleLength = 16; // RFC 9001 5.4.2
inline constexpr std::size_t kTagLength = 16;    // of every AEAD QUIC uses (RFC 9001 5.3)

class HeaderProtection {
public:
    HeaderProtection() = default;
    ~HeaderProtection();
    HeaderProtection(const HeaderProtection &) = delete;
    HeaderProtection &operator=(const HeaderProtection &) = delete;

    // hp is wiped once taken.
    bool init(Aead aead, SecretBytes &hp);
    bool ready() const { return m_ctx != nullptr; }
    // The five bytes of mask for a sample (RFC 9001 5.4.3, 5.4.4).
    bool mask(const std::uint8_t *sample, std::array<std::uint8_t, 5> &out);

private:
    EVP_CIPHER_CTX *m_ctx = nullptr;
    bool m_chacha = false;
};

class PacketCipher {
public:
    PacketCipher() = default;
    ~PacketCipher();
    PacketCipher(const PacketCipher &) = delete;
    PacketCipher &operator=(const PacketCipher &) = delete;

    // key and iv are wiped once taken.
    bool init(Aead aead, SecretBytes &key, SecretBytes &iv);
    void reset();
    bool ready() const { return m_ctx != nullptr; }
    // Exchanges the keys of two ciphers (the phases of a key update move so).
    void swap(PacketCipher &other);

    // The plaintext of a payload (ciphertext and tag) into out; false, out empty, when it
    // does not authenticate under this key for that packet number and header.
    bool open(std::uint64_t packetNumber, Bytes header, Bytes payload, std::vector<std::byte> &out);

private:
    EVP_CIPHER_CTX *m_ctx = nullptr;
    SecretBytes m_iv;
};

// The full packet number from its truncated form and the largest number received in the
// same space so far (RFC 9000 A.3); largest is nullopt before the first.
std::uint64_t decodePacketNumber(std::optional<std::uint64_t> largest, std::uint64_t truncated, std::size_t length);

// A packet whose header protection is removed: the header as it was before protection
// (the first byte and the packet number uncovered), the packet number's length and value
// as sent, and the protected payload that follows.
struct OpenHeader {
    std::uint8_t firstByte = 0;
    std::size_t pnLength = 0;
    std::uint64_t truncatedPn = 0;
    Bytes header;  // into the caller's buffer
    Bytes payload; // ciphertext and tag, into the packet
};

// Removes the header protection of packet (its packet number at pnOffset) into buffer,
// which receives the header's bytes (a long header may carry a token of any length);
// nullopt when the packet is too short to hold a sample (RFC 9001 5.4.2) or its payload
// a tag.
std::optional<OpenHeader> removeHeaderProtection(HeaderProtection &hp, Bytes packet, std::size_t pnOffset,
                                                 std::vector<std::byte> &buffer);

} // namespace quorrel::quic
