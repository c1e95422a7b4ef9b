#include "streams/tls_keys.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include <algorithm>
#include <cstring>

namespace quorrel::streams::tls {

const EVP_CIPHER *AeadCipher(Aead aead)
{
    static const EVP_CIPHER *const aes128 = EVP_CIPHER_fetch(nullptr, "AES-128-GCM", nullptr);
    static const EVP_CIPHER *const aes256 = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
    static const EVP_CIPHER *const chacha = EVP_CIPHER_fetch(nullptr, "ChaCha20-Poly1305", nullptr);
    switch (aead) {
    case Aead::Aes128Gcm: return aes128;
    case Aead::Aes256Gcm: return aes256;
    case Aead::ChaCha20Poly1305: return chacha;
    }
    return nullptr;
}

namespace {

constexpr CipherSuite kSuites[] = {
    // TLS 1.3 (RFC 8446 B.4): the three suites browsers offer.
    {0x1301, true, Aead::Aes128Gcm, "SHA256", 32, 16, 12},
    {0x1302, true, Aead::Aes256Gcm, "SHA384", 48, 32, 12},
    {0x1303, true, Aead::ChaCha20Poly1305, "SHA256", 32, 32, 12},
    // TLS 1.2 AEAD suites (RFC 5289, RFC 5288, RFC 7905). The key exchange does not matter
    // here: the key log gives the master secret.
    {0xC02B, false, Aead::Aes128Gcm, "SHA256", 32, 16, 4}, // ECDHE_ECDSA_WITH_AES_128_GCM_SHA256
    {0xC02F, false, Aead::Aes128Gcm, "SHA256", 32, 16, 4}, // ECDHE_RSA_WITH_AES_128_GCM_SHA256
    {0x009E, false, Aead::Aes128Gcm, "SHA256", 32, 16, 4}, // DHE_RSA_WITH_AES_128_GCM_SHA256
    {0x009C, false, Aead::Aes128Gcm, "SHA256", 32, 16, 4}, // RSA_WITH_AES_128_GCM_SHA256
    {0xC02C, false, Aead::Aes256Gcm, "SHA384", 48, 32, 4}, // ECDHE_ECDSA_WITH_AES_256_GCM_SHA384
    {0xC030, false, Aead::Aes256Gcm, "SHA384", 48, 32, 4}, // ECDHE_RSA_WITH_AES_256_GCM_SHA384
    {0x009F, false, Aead::Aes256Gcm, "SHA384", 48, 32, 4}, // DHE_RSA_WITH_AES_256_GCM_SHA384
    {0x009D, false, Aead::Aes256Gcm, "SHA384", 48, 32, 4}, // RSA_WITH_AES_256_GCM_SHA384
    {0xCCA8, false, Aead::ChaCha20Poly1305, "SHA256", 32, 32, 12}, // ECDHE_RSA_WITH_CHACHA20_POLY1305
    {0xCCA9, false, Aead::ChaCha20Poly1305, "SHA256", 32, 32, 12}, // ECDHE_ECDSA_WITH_CHACHA20_POLY1305
    {0xCCAA, false, Aead::ChaCha20Poly1305, "SHA256", 32, 32, 12}, // DHE_RSA_WITH_CHACHA20_POLY1305
    // TLS 1.2 pre-shared key suites with AEAD ciphers (RFC 5487, RFC 8442, RFC 7905): their
    // records are those of the suites above; the master secret comes from the key log alike.
    {0x00A8, false, Aead::Aes128Gcm, "SHA256", 32, 16, 4}, // PSK_WITH_AES_128_GCM_SHA256
    {0x00A9, false, Aead::Aes256Gcm, "SHA384", 48, 32, 4}, // PSK_WITH_AES_256_GCM_SHA384
    {0x00AA, false, Aead::Aes128Gcm, "SHA256", 32, 16, 4}, // DHE_PSK_WITH_AES_128_GCM_SHA256
    {0x00AB, false, Aead::Aes256Gcm, "SHA384", 48, 32, 4}, // DHE_PSK_WITH_AES_256_GCM_SHA384
    {0x00AC, false, Aead::Aes128Gcm, "SHA256", 32, 16, 4}, // RSA_PSK_WITH_AES_128_GCM_SHA256
    {0x00AD, false, Aead::Aes256Gcm, "SHA384", 48, 32, 4}, // RSA_PSK_WITH_AES_256_GCM_SHA384
    {0xD001, false, Aead::Aes128Gcm, "SHA256", 32, 16, 4}, // ECDHE_PSK_WITH_AES_128_GCM_SHA256
    {0xD002, false, Aead::Aes256Gcm, "SHA384", 48, 32, 4}, // ECDHE_PSK_WITH_AES_256_GCM_SHA384
    {0xCCAB, false, Aead::ChaCha20Poly1305, "SHA256", 32, 32, 12}, // PSK_WITH_CHACHA20_POLY1305
    {0xCCAC, false, Aead::ChaCha20Poly1305, "SHA256", 32, 32, 12}, // ECDHE_PSK_WITH_CHACHA20_POLY1305
    {0xCCAD, false, Aead::ChaCha20Poly1305, "SHA256", 32, 32, 12}, // DHE_PSK_WITH_CHACHA20_POLY1305
    {0xCCAE, false, Aead::ChaCha20Poly1305, "SHA256", 32, 32, 12}, // RSA_PSK_WITH_CHACHA20_POLY1305
};

// Fetched once: a fetch looks through the providers, a cost not worth paying per session.
EVP_KDF *tls13Kdf()
{
    static EVP_KDF *const kdf = EVP_KDF_fetch(nullptr, OSSL_KDF_NAME_TLS1_3_KDF, nullptr);
    return kdf;
}

EVP_KDF *tls1Prf()
{
    static EVP_KDF *const kdf = EVP_KDF_fetch(nullptr, OSSL_KDF_NAME_TLS1_PRF, nullptr);
    return kdf;
}

bool derive(EVP_KDF *kdf, const OSSL_PARAM *params, std::uint8_t *out, std::size_t outLength)
{
    if (!kdf)
        return false;
    EVP_KDF_CTX *ctx = EVP_KDF_CTX_new(kdf);
    if (!ctx)
        return false;
    const bool ok = EVP_KDF_derive(ctx, out, outLength, params) > 0;
    EVP_KDF_CTX_free(ctx); // wipes what it held
    return ok;
}

void *mutableBytes(Bytes bytes)
{
    // OSSL_PARAM takes non-const pointers; the KDFs only read these.
    return const_cast<std::byte *>(bytes.data());
}

} // namespace

bool SecretBytes::assign(Bytes bytes)
{
    wipe();
    if (bytes.size() > kCapacity)
        return false;
    std::memcpy(m_bytes.data(), bytes.data(), bytes.size());
    m_size = bytes.size();
    return true;
}

void SecretBytes::resize(std::size_t size)
{
    wipe();
    m_size = std::min(size, kCapacity);
}

void SecretBytes::wipe()
{
    OPENSSL_cleanse(m_bytes.data(), m_bytes.size());
    m_size = 0;
}

const CipherSuite *findCipherSuite(std::uint16_t code, bool tls13)
{
    for (const CipherSuite &suite : kSuites) {
        if (suite.code == code && suite.tls13 == tls13)
            return &suite;
    }
    return nullptr;
}

bool hkdfExpandLabel(const char *digest, Bytes secret, const char *label, Bytes context,
                     std::uint8_t *out, std::size_t outLength)
{
    static char mode[] = "EXPAND_ONLY";
    static char prefix[] = "tls13 ";
    OSSL_PARAM params[7];
    OSSL_PARAM *p = params;
    *p++ = OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_MODE, mode, 0);
    *p++ = OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, const_cast<char *>(digest), 0);
    *p++ = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, mutableBytes(secret), secret.size());
    *p++ = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_PREFIX, prefix, std::strlen(prefix));
    *p++ = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_LABEL, const_cast<char *>(label), std::strlen(label));
    if (!context.empty())
        *p++ = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_DATA, mutableBytes(context), context.size());
    *p = OSSL_PARAM_construct_end();
    return derive(tls13Kdf(), params, out, outLength);
}

bool deriveTls12ClientKeys(const CipherSuite &suite, Bytes masterSecret, const ClientRandom &clientRandom,
                           const std::array<std::uint8_t, 32> &serverRandom, TrafficKeys &keys)
{
    static constexpr char kLabel[] = "key expansion";
    std::array<std::uint8_t, sizeof kLabel - 1 + 64> seed{};
    std::memcpy(seed.data(), kLabel, sizeof kLabel - 1);
    std::memcpy(seed.data() + sizeof kLabel - 1, serverRandom.data(), 32);
    std::memcpy(seed.data() + sizeof kLabel - 1 + 32, clientRandom.data(), 32);

    // AEAD suites have no MAC keys: client key, server key, client IV, server IV.
    SecretBytes block;
    block.resize(2 * suite.keyLength + 2 * suite.ivLength);
    OSSL_PARAM params[4];
    params[0] = OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, const_cast<char *>(suite.digest), 0);
    params[1] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SECRET, mutableBytes(masterSecret), masterSecret.size());
    params[2] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SEED, seed.data(), seed.size());
    params[3] = OSSL_PARAM_construct_end();
    if (!derive(tls1Prf(), params, block.data(), block.size()))
        return false;
    const Bytes all = block.view();
    return keys.key.assign(all.first(suite.keyLength))
        && keys.iv.assign(all.subspan(2 * suite.keyLength, suite.ivLength));
}

bool deriveTls13TrafficKeys(const CipherSuite &suite, Bytes secret, TrafficKeys &keys)
{
    keys.key.resize(suite.keyLength);
    keys.iv.resize(suite.ivLength);
    return hkdfExpandLabel(suite.digest, secret, "key", {}, keys.key.data(), keys.key.size())
        && hkdfExpandLabel(suite.digest, secret, "iv", {}, keys.iv.data(), keys.iv.size());
}

bool nextTrafficSecret(const CipherSuite &suite, SecretBytes &secret)
{
    SecretBytes next;
    next.resize(suite.hashLength);
    if (!hkdfExpandLabel(suite.digest, secret.view(), "traffic upd", {}, next.data(), next.size()))
        return false;
    return secret.assign(next.view());
}

} // namespace quorrel::streams::tls
