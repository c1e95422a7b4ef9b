#pragma once
// The cipher suites we read and the keys of their records, derived by OpenSSL's KDFs from
// the secrets of the key log: TLS 1.2's PRF "key expansion" (RFC 5246 6.3) and TLS 1.3's
// HKDF-Expand-Label (RFC 8446 7.1, 7.3). Key material lives in SecretBytes, wiped when it goes.

#include "streams/key_log.h"
#include "streams/stream_types.h"

#include <openssl/types.h>

#include <array>
#include <cstddef>
#include <cstdint>

namespace quorrel::streams::tls {

// A few bytes of key material, held in place (never on a growing heap buffer), and wiped
// with OPENSSL_cleanse when replaced or destroyed. Not copyable.
class SecretBytes {
public:
    static constexpr std::size_t kCapacity = 128;

    SecretBytes() = default;
    ~SecretBytes() { wipe(); }
    SecretBytes(const SecretBytes &) = delete;
    SecretBytes &operator=(const SecretBytes &) = delete;

    // False (and empty) when the bytes do not fit.
    bool assign(Bytes bytes);
    void resize(std::size_t size); // up to kCapacity; new bytes are zero
    void wipe();

    std::uint8_t *data() { return m_bytes.data(); }
    const std::uint8_t *data() const { return m_bytes.data(); }
    std::size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    Bytes view() const { return Bytes(reinterpret_cast<const std::byte *>(m_bytes.data()), m_size); }

private:
    std::array<std::uint8_t, kCapacity> m_bytes{};
    std::size_t m_size = 0;
};

enum class Aead { Aes128Gcm, Aes256Gcm, ChaCha20Poly1305 };

// OpenSSL's cipher of an AEAD, fetched once for the program: the fetch is the costly part of
// setting a key. Shared by TLS records and QUIC packets.
const EVP_CIPHER *AeadCipher(Aead aead);

struct CipherSuite {
    std::uint16_t code = 0;
    bool tls13 = false;
    Aead aead = Aead::Aes128Gcm;
    const char *digest = "SHA256"; // the PRF's or the HKDF's hash
    std::size_t hashLength = 32;   // of that hash: TLS 1.3's traffic secrets are this long
    std::size_t keyLength = 16;
    std::size_t ivLength = 12; // TLS 1.2 GCM: the 4-byte implicit part (RFC 5288 3)
};

// The suite of that code for that version; nullptr for one we cannot read (CBC, CCM, ...).
const CipherSuite *findCipherSuite(std::uint16_t code, bool tls13);

struct TrafficKeys {
    SecretBytes key;
    SecretBytes iv;
};

// TLS 1.2: the client's write key and IV, from the key block
// PRF(master_secret, "key expansion", server_random + client_random).
bool deriveTls12ClientKeys(const CipherSuite &suite, Bytes masterSecret, const ClientRandom &clientRandom,
                           const std::array<std::uint8_t, 32> &serverRandom, TrafficKeys &keys);

// TLS 1.3: key and iv of a traffic secret (RFC 8446 7.3).
bool deriveTls13TrafficKeys(const CipherSuite &suite, Bytes secret, TrafficKeys &keys);

// TLS 1.3 key update (RFC 8446 7.2): the secret becomes the next generation's.
bool nextTrafficSecret(const CipherSuite &suite, SecretBytes &secret);

// HKDF-Expand-Label(secret, label, context, out.size()), the "tls13 " prefix added.
bool hkdfExpandLabel(const char *digest, Bytes secret, const char *label, Bytes context,
                     std::uint8_t *out, std::size_t outLength);

} // namespace quorrel::streams::tls
