#pragma once
// The keys that protect QUIC packets (RFC 9001 5): the Initial secrets, derived from the
// client's first Destination Connection ID and the version's salt, and for every secret
// (Initial, or one of the key log's) its AEAD key, IV and header protection key, by
// HKDF-Expand-Label with the version's labels. Key updates (RFC 9001 6.1) derive the next
// secret with "quic ku" ("quicv2 ku"); the header protection key stays.

#include "quic/quic_types.h"
#include "quic/quic_version.h"
#include "streams/tls_keys.h"

namespace quorrel::quic {

using streams::tls::Aead;
using streams::tls::CipherSuite;
using streams::tls::SecretBytes;

struct PacketKeys {
    SecretBytes key;
    SecretBytes iv;
    SecretBytes hp;
};

// Initial packets are protected with AEAD_AES_128_GCM and SHA-256 (RFC 9001 5.2): TLS's
// TLS_AES_128_GCM_SHA256.
const CipherSuite &initialSuite();

// The TLS 1.3 suite of that code; nullptr for one QUIC does not use (RFC 9001 5.3).
const CipherSuite *findSuite(std::uint16_t code);

// client_initial_secret and server_initial_secret (RFC 9001 5.2).
bool deriveInitialSecrets(const QuicVersion &version, Bytes dcid, SecretBytes &client, SecretBytes &server);

// key, iv and hp of a secret (RFC 9001 5.1, 5.4.1): the key and hp as long as the
// suite's key, the iv 12 bytes.
bool derivePacketKeys(const QuicVersion &version, const CipherSuite &suite, Bytes secret, PacketKeys &keys);

// The secret of the next key phase (RFC 9001 6.1), in place.
bool nextSecret(const QuicVersion &version, const CipherSuite &suite, SecretBytes &secret);

} // namespace quorrel::quic
