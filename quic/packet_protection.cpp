#include "quic/packet_protection.h"

#include "quic/packet_header.h"

#include <openssl/evp.h>

#include <cstring>
#include <utility>

namespace quorrel::quic {

namespace {

const EVP_CIPHER *maskCipherOf(Aead aead)
{
    static const EVP_CIPHER *const aes128 = EVP_CIPHER_fetch(nullptr, "AES-128-ECB", nullptr);
    static const EVP_CIPHER *const aes256 = EVP_CIPHER_fetch(nullptr, "AES-256-ECB", nullptr);
    static const EVP_CIPHER *const chacha = EVP_CIPHER_fetch(nullptr, "ChaCha20", nullptr);
    switch (aead) {
    case Aead::Aes128Gcm: return aes128;
    case Aead::Aes256Gcm: return aes256;
    case Aead::ChaCha20Poly1305: return chacha;
    }
    return nullptr;
}

constexpr std::size_t kNonceLength = 12;

} // namespace

HeaderProtection::~HeaderProtection()
{
    EVP_CIPHER_CTX_free(m_ctx); // wipes the key schedule
}

bool HeaderProtection::init(Aead aead, SecretBytes &hp)
{
    EVP_CIPHER_CTX_free(m_ctx);
    m_ctx = EVP_CIPHER_CTX_new();
    m_chacha = aead == Aead::ChaCha20Poly1305;
    const EVP_CIPHER *cipher = maskCipherOf(aead);
    // ChaCha20's key is set with its first block's counter and nonce at each mask.
    const bool ok = m_ctx && cipher && std::size_t(EVP_CIPHER_get_key_length(cipher)) == hp.size()
        && EVP_EncryptInit_ex(m_ctx, cipher, nullptr, hp.data(), nullptr) == 1
        && (m_chacha || EVP_CIPHER_CTX_set_padding(m_ctx, 0) == 1);
    hp.wipe();
    if (!ok) {
        EVP_CIPHER_CTX_free(m_ctx);
        m_ctx = nullptr;
    }
    return ok;
}

bool HeaderProtection::mask(const std::uint8_t *sample, std::array<std::uint8_t, 5> &out)
{
    if (!m_ctx)
        return false;
    int length = 0;
    if (m_chacha) {
        // RFC 9001 5.4.4: the sample's first four bytes are the block counter (little
        // endian), the other twelve the nonce: OpenSSL's 16-byte ChaCha20 IV is exactly that.
        static const std::uint8_t zeros[5] = {};
        return EVP_EncryptInit_ex(m_ctx, nullptr, nullptr, nullptr, sample) == 1
            && EVP_EncryptUpdate(m_ctx, out.data(), &length, zeros, int(sizeof zeros)) == 1 && length == 5;
    }
    std::uint8_t block[16];
    const bool ok = EVP_EncryptUpdate(m_ctx, block, &length, sample, int(kSampleLength)) == 1 && length == 16;
    if (ok)
        std::memcpy(out.data(), block, out.size());
    return ok;
}

PacketCipher::~PacketCipher() { reset(); }

void PacketCipher::reset()
{
    EVP_CIPHER_CTX_free(m_ctx);
    m_ctx = nullptr;
    m_iv.wipe();
}

void PacketCipher::swap(PacketCipher &other)
{
    std::swap(m_ctx, other.m_ctx);
    SecretBytes iv;
    iv.assign(m_iv.view());
    m_iv.assign(other.m_iv.view());
    other.m_iv.assign(iv.view());
}

bool PacketCipher::init(Aead aead, SecretBytes &key, SecretBytes &iv)
{
    reset();
    const EVP_CIPHER *cipher = AeadCipher(aead);
    m_ctx = EVP_CIPHER_CTX_new();
    const bool ok = m_ctx && cipher && std::size_t(EVP_CIPHER_get_key_length(cipher)) == key.size()
        && iv.size() == kNonceLength && EVP_DecryptInit_ex(m_ctx, cipher, nullptr, key.data(), nullptr) == 1
        && m_iv.assign(iv.view());
    key.wipe();
    iv.wipe();
    if (!ok)
        reset();
    return ok;
}

bool PacketCipher::open(std::uint64_t packetNumber, Bytes header, Bytes payload, std::vector<std::byte> &out)
{
    out.clear();
    if (!m_ctx || payload.size() < kTagLength)
        return false;
    // RFC 9001 5.3: the packet number, in network byte order and left-padded with zeros
    // to the IV's size, exclusive-ored with the IV.
    std::uint8_t nonce[kNonceLength];
    std::memcpy(nonce, m_iv.data(), kNonceLength);
    for (std::size_t i = 0; i < 8; ++i)
        nonce[kNonceLength - 1 - i] ^= static_cast<std::uint8_t>(packetNumber >> (8 * i));
    const Bytes ciphertext = payload.first(payload.size() - kTagLength);
    std::uint8_t tag[kTagLength];
    std::memcpy(tag, payload.data() + ciphertext.size(), kTagLength);

    out.resize(ciphertext.size() + 1); // never empty: EVP wants somewhere to write
    auto *plain = reinterpret_cast<unsigned char *>(out.data());
    const auto *in = reinterpret_cast<const unsigned char *>(ciphertext.data());
    int length = 0;
    int finalLength = 0;
    const bool ok = EVP_DecryptInit_ex(m_ctx, nullptr, nullptr, nullptr, nonce) == 1
        && EVP_DecryptUpdate(m_ctx, nullptr, &length, reinterpret_cast<const unsigned char *>(header.data()),
                             int(header.size())) == 1
        && EVP_DecryptUpdate(m_ctx, plain, &length, in, int(ciphertext.size())) == 1
        && EVP_CIPHER_CTX_ctrl(m_ctx, EVP_CTRL_AEAD_SET_TAG, int(kTagLength), tag) == 1
        && EVP_DecryptFinal_ex(m_ctx, plain + length, &finalLength) == 1;
    if (!ok || std::size_t(length) + std::size_t(finalLength) != ciphertext.size()) {
        out.clear();
        return false;
    }
    out.resize(ciphertext.size());
    return true;
}

std::uint64_t decodePacketNumber(std::optional<std::uint64_t> largest, std::uint64_t truncated, std::size_t length)
{
    const std::uint64_t expected = largest ? *largest + 1 : 0;
    const std::size_t bits = length * 8;
    const std::uint64_t window = std::uint64_t{1} << bits;
    const std::uint64_t halfWindow = window / 2;
    const std::uint64_t mask = window - 1;
    const std::uint64_t candidate = (expected & ~mask) | truncated;
    // RFC 9000 A.3, with the comparisons arranged so that nothing wraps.
    constexpr std::uint64_t kLimit = std::uint64_t{1} << 62;
    if (candidate + halfWindow <= expected && candidate < kLimit - window)
        return candidate + window;
    if (candidate > expected + halfWindow && candidate >= window)
        return candidate - window;
    return candidate;
}

std::optional<OpenHeader> removeHeaderProtection(HeaderProtection &hp, Bytes packet, std::size_t pnOffset,
                                                 std::vector<std::byte> &buffer)
{
    // The sample begins four bytes after the packet number's start, whatever its length
    // (RFC 9001 5.4.2); the payload must still hold a tag after the longest number.
    if (pnOffset + 4 + kSampleLength > packet.size())
        return std::nullopt;
    std::array<std::uint8_t, 5> mask{};
    if (!hp.mask(reinterpret_cast<const std::uint8_t *>(packet.data()) + pnOffset + 4, mask))
        return std::nullopt;
    OpenHeader h;
    const auto first = std::to_integer<std::uint8_t>(packet[0]);
    // RFC 9001 5.4.1: four low bits of a long header's first byte, five of a short one's.
    h.firstByte = first ^ (mask[0] & (isLongHeader(first) ? 0x0f : 0x1f));
    h.pnLength = (h.firstByte & 0x03) + 1;
    if (pnOffset + h.pnLength + kTagLength > packet.size())
        return std::nullopt;
    buffer.resize(pnOffset + h.pnLength);
    std::memcpy(buffer.data(), packet.data(), pnOffset + h.pnLength);
    buffer[0] = std::byte{h.firstByte};
    for (std::size_t i = 0; i < h.pnLength; ++i) {
        const auto b = static_cast<std::uint8_t>(std::to_integer<std::uint8_t>(packet[pnOffset + i]) ^ mask[1 + i]);
        buffer[pnOffset + i] = std::byte{b};
        h.truncatedPn = h.truncatedPn << 8 | b;
    }
    h.header = Bytes(buffer.data(), pnOffset + h.pnLength);
    h.payload = packet.subspan(pnOffset + h.pnLength);
    return h;
}

} // namespace quorrel::quic
