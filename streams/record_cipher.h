#pragma once
// Opens the protected records of one direction under one key, through OpenSSL's AEAD
// ciphers: TLS 1.2 AES-GCM (RFC 5288 3: a 4-byte implicit IV and an 8-byte explicit nonce
// carried in the record), TLS 1.2 ChaCha20-Poly1305 (RFC 7905 2: IV xor sequence number),
// TLS 1.3 (RFC 8446 5.2, 5.3: IV xor sequence number, the record header as additional data).

#include "streams/tls_keys.h"
#include "streams/tls_records.h"

#include <cstdint>
#include <vector>

typedef struct evp_cipher_ctx_st EVP_CIPHER_CTX;

namespace quorrel::streams::tls {

class RecordCipher {
public:
    RecordCipher() = default;
    ~RecordCipher();
    RecordCipher(const RecordCipher &) = delete;
    RecordCipher &operator=(const RecordCipher &) = delete;

    // Takes the keys (they are wiped in keys) and starts at sequence number 0.
    bool init(const CipherSuite &suite, TrafficKeys &keys);
    // Forgets the key; ready() is false until the next init().
    void reset();
    bool ready() const { return m_ready; }

    // The record's plaintext (TLS 1.3: the inner plaintext, content type and padding
    // included) into out. False when the record does not authenticate or is too short:
    // out then holds nothing and the sequence number stays.
    bool open(const Record &record, std::vector<std::byte> &out);

private:
    EVP_CIPHER_CTX *m_ctx = nullptr;
    SecretBytes m_iv;
    std::uint64_t m_sequence = 0;
    bool m_tls13 = false;
    bool m_explicitNonce = false; // TLS 1.2 GCM
    bool m_ready = false;
};

} // namespace quorrel::streams::tls
