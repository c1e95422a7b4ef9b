#include "streams/record_cipher.h"

#include <openssl/evp.h>

#include <array>
#include <cstring>

namespace quorrel::streams::tls {

namespace {

constexpr std::size_t kTagLength = 16;
constexpr std::size_t kExplicitNonceLength = 8;
constexpr std::size_t kNonceLength = 12;

void putBe64(std::uint8_t *out, std::uint64_t value)
{
    for (int i = 7; i >= 0; --i) {
        out[i] = static_cast<std::uint8_t>(value & 0xFF);
        value >>= 8;
    }
}

const unsigned char *bytesOf(Bytes view) { return reinterpret_cast<const unsigned char *>(view.data()); }

} // namespace

RecordCipher::~RecordCipher() { reset(); }

void RecordCipher::reset()
{
    EVP_CIPHER_CTX_free(m_ctx); // wipes the key schedule
    m_ctx = nullptr;
    m_iv.wipe();
    m_sequence = 0;
    m_ready = false;
}

bool RecordCipher::init(const CipherSuite &suite, TrafficKeys &keys)
{
    reset();
    const EVP_CIPHER *cipher = AeadCipher(suite.aead);
    m_tls13 = suite.tls13;
    m_explicitNonce = !suite.tls13 && suite.aead != Aead::ChaCha20Poly1305;
    const std::size_t ivLength = m_explicitNonce ? kNonceLength - kExplicitNonceLength : kNonceLength;
    const bool fits = keys.key.size() == suite.keyLength && keys.iv.size() == ivLength;
    m_ctx = EVP_CIPHER_CTX_new();
    const bool ok = cipher && fits && m_ctx
        && EVP_DecryptInit_ex(m_ctx, cipher, nullptr, keys.key.data(), nullptr) == 1
        && m_iv.assign(keys.iv.view());
    keys.key.wipe();
    keys.iv.wipe();
    if (!ok) {
        reset();
        return false;
    }
    m_ready = true;
    return true;
}

bool RecordCipher::open(const Record &record, std::vector<std::byte> &out)
{
    out.clear();
    const std::size_t overhead = kTagLength + (m_explicitNonce ? kExplicitNonceLength : 0);
    if (!m_ready || record.body.size() < overhead)
        return false;

    std::array<std::uint8_t, kNonceLength> nonce{};
    Bytes ciphertext = record.body.first(record.body.size() - kTagLength);
    if (m_explicitNonce) {
        std::memcpy(nonce.data(), m_iv.data(), m_iv.size());
        std::memcpy(nonce.data() + m_iv.size(), record.body.data(), kExplicitNonceLength);
        ciphertext = ciphertext.subspan(kExplicitNonceLength);
    } else {
        std::array<std::uint8_t, 8> sequence{};
        putBe64(sequence.data(), m_sequence);
        std::memcpy(nonce.data(), m_iv.data(), kNonceLength);
        for (std::size_t i = 0; i < 8; ++i)
            nonce[kNonceLength - 8 + i] ^= sequence[i];
    }

    // TLS 1.3 authenticates the record header; TLS 1.2 the sequence number, type, version
    // and plaintext length (RFC 5246 6.2.3.3).
    std::array<std::uint8_t, 13> aad{};
    std::size_t aadLength = 0;
    if (m_tls13) {
        std::memcpy(aad.data(), record.header.data(), kRecordHeaderSize);
        aadLength = kRecordHeaderSize;
    } else {
        putBe64(aad.data(), m_sequence);
        aad[8] = record.type;
        aad[9] = static_cast<std::uint8_t>(record.version >> 8);
        aad[10] = static_cast<std::uint8_t>(record.version);
        aad[11] = static_cast<std::uint8_t>(ciphertext.size() >> 8);
        aad[12] = static_cast<std::uint8_t>(ciphertext.size());
        aadLength = 13;
    }

    std::array<std::uint8_t, kTagLength> tag{};
    std::memcpy(tag.data(), record.body.data() + record.body.size() - kTagLength, kTagLength);

    out.resize(ciphertext.size() + 1); // never empty: EVP wants somewhere to write
    auto *plain = reinterpret_cast<unsigned char *>(out.data());
    int length = 0;
    int finalLength = 0;
    const bool ok = EVP_DecryptInit_ex(m_ctx, nullptr, nullptr, nullptr, nonce.data()) == 1
        && EVP_DecryptUpdate(m_ctx, nullptr, &length, aad.data(), int(aadLength)) == 1
        && EVP_DecryptUpdate(m_ctx, plain, &length, bytesOf(ciphertext), int(ciphertext.size())) == 1
        && EVP_CIPHER_CTX_ctrl(m_ctx, EVP_CTRL_AEAD_SET_TAG, int(kTagLength), tag.data()) == 1
        && EVP_DecryptFinal_ex(m_ctx, plain + length, &finalLength) == 1;
    if (!ok || std::size_t(length) + std::size_t(finalLength) != ciphertext.size()) {
        out.clear();
        return false;
    }
    out.resize(ciphertext.size());
    ++m_sequence;
    return true;
}

} // namespace quorrel::streams::tls
