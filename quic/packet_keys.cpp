#include "quic/packet_keys.h"

#include <openssl/core_names.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

namespace quorrel::quic {

namespace {

constexpr std::size_t kIvLength = 12; // RFC 9001 5.3: the AEADs of TLS 1.3 take 12-byte nonces

EVP_KDF *hkdf()
{
    static EVP_KDF *const kdf = EVP_KDF_fetch(nullptr, OSSL_KDF_NAME_HKDF, nullptr);
    return kdf;
}

// HKDF-Extract(salt, ikm) with SHA-256 (RFC 5869 2.2).
bool extract(Bytes salt, Bytes ikm, SecretBytes &out)
{
    static char mode[] = "EXTRACT_ONLY";
    static char digest[] = "SHA256";
    EVP_KDF_CTX *ctx = hkdf() ? EVP_KDF_CTX_new(hkdf()) : nullptr;
    if (!ctx)
        return false;
    // An empty ikm (a zero-length connection ID is not allowed here, but the KDF wants a
    // pointer all the same) reads nothing.
    static unsigned char none = 0;
    OSSL_PARAM params[5];
    params[0] = OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_MODE, mode, 0);
    params[1] = OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0);
    void *key = ikm.empty() ? static_cast<void *>(&none) : static_cast<void *>(const_cast<std::byte *>(ikm.data()));
    params[2] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, key, ikm.size());
    params[3] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<std::byte *>(salt.data()), salt.size());
    params[4] = OSSL_PARAM_construct_end();
    out.resize(32);
    const bool ok = EVP_KDF_derive(ctx, out.data(), out.size(), params) > 0;
    EVP_KDF_CTX_free(ctx);
    if (!ok)
        out.wipe();
    return ok;
}

Bytes viewOf(const std::uint8_t *data, std::size_t size) { return {reinterpret_cast<const std::byte *>(data), size}; }

} // namespace

const CipherSuite &initialSuite()
{
    return *streams::tls::findCipherSuite(0x1301, true);
}

const CipherSuite *findSuite(std::uint16_t code)
{
    return streams::tls::findCipherSuite(code, true);
}

bool deriveInitialSecrets(const QuicVersion &version, Bytes dcid, SecretBytes &client, SecretBytes &server)
{
    SecretBytes initial;
    if (!extract(viewOf(version.initialSalt.data(), version.initialSalt.size()), dcid, initial))
        return false;
    const CipherSuite &suite = initialSuite();
    client.resize(suite.hashLength);
    server.resize(suite.hashLength);
    return streams::tls::hkdfExpandLabel(suite.digest, initial.view(), "client in", {}, client.data(), client.size())
        && streams::tls::hkdfExpandLabel(suite.digest, initial.view(), "server in", {}, server.data(), server.size());
}

bool derivePacketKeys(const QuicVersion &version, const CipherSuite &suite, Bytes secret, PacketKeys &keys)
{
    keys.key.resize(suite.keyLength);
    keys.iv.resize(kIvLength);
    keys.hp.resize(suite.keyLength);
    return streams::tls::hkdfExpandLabel(suite.digest, secret, version.keyLabel, {}, keys.key.data(), keys.key.size())
        && streams::tls::hkdfExpandLabel(suite.digest, secret, version.ivLabel, {}, keys.iv.data(), keys.iv.size())
        && streams::tls::hkdfExpandLabel(suite.digest, secret, version.hpLabel, {}, keys.hp.data(), keys.hp.size());
}

bool nextSecret(const QuicVersion &version, const CipherSuite &suite, SecretBytes &secret)
{
    SecretBytes next;
    next.resize(suite.hashLength);
    if (!streams::tls::hkdfExpandLabel(suite.digest, secret.view(), version.kuLabel, {}, next.data(), next.size()))
        return false;
    return secret.assign(next.view());
}

} // namespace quorrel::quic
