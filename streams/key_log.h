#pragma once
// The TLS secrets a browser writes to its key log (the NSS key log format): one line per
// secret, "LABEL <client random, 64 hex> <secret, hex>". Kept in memory only, by client
// random, for as long as a session may still need them; never copied out or logged.

#include "streams/stream_types.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <optional>

namespace quorrel::streams {

using ClientRandom = std::array<std::uint8_t, 32>;

class KeyLog {
public:
    KeyLog();
    ~KeyLog();
    KeyLog(const KeyLog &) = delete;
    KeyLog &operator=(const KeyLog &) = delete;

    // Lines of the key log format; a partial last line waits for the rest.
    void addText(QByteArrayView text);

    // Follows a key log file as it grows: poll() reads what was added since.
    bool follow(const QString &path, QString *error = nullptr);
    void poll();

    // Grows by one whenever a secret is added: sessions waiting for one try again.
    std::uint64_t generation() const { return m_generation; }

    struct Secrets {
        QByteArray masterSecret;                 // CLIENT_RANDOM (TLS 1.2), 48 bytes
        QByteArray clientHandshakeTrafficSecret; // CLIENT_HANDSHAKE_TRAFFIC_SECRET (TLS 1.3)
        QByteArray clientTrafficSecret0;         // CLIENT_TRAFFIC_SECRET_0 (TLS 1.3)
    };
    const Secrets *find(const ClientRandom &random) const;
    // The session of this random needs its secrets no more: they are wiped.
    void forget(const ClientRandom &random);

private:
    struct Impl;
    Impl *m_impl;
    std::uint64_t m_generation = 0;
};

} // namespace quorrel::streams
