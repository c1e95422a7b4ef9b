#pragma once
// The unencrypted start of a TLS connection: handshake messages cut from the handshake
// records that carry them (RFC 8446 4), and what reading needs of the two hellos: the
// client's random and server name, the server's random, version and cipher suite.

#include "streams/key_log.h"
#include "streams/stream_types.h"

#include <QByteArray>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace quorrel::streams::tls {

enum HandshakeType : std::uint8_t {
    kClientHello = 1,
    kServerHello = 2,
    kEndOfEarlyData = 5,
    kFinished = 20,
    kKeyUpdate = 24,
};

constexpr std::uint16_t kTls12 = 0x0303;
constexpr std::uint16_t kTls13 = 0x0304;

// Handshake messages (a type byte, a 24-bit length, the body) out of the bytes of
// consecutive handshake records: a message may span records, and a record may hold several.
class HandshakeReader {
public:
    explicit HandshakeReader(std::size_t maxMessage) : m_maxMessage(maxMessage) {}

    struct Message {
        std::uint8_t type = 0;
        Bytes body; // valid until the next append() or next()
    };

    void append(Bytes bytes);
    // The next whole message; nullopt until one has all arrived, or once failed().
    std::optional<Message> next();
    // A message announced longer than the limit: nothing more is read.
    bool failed() const { return m_failed; }
    // No byte of a message is waiting.
    bool empty() const { return m_pos == m_bytes.size(); }
    std::size_t buffered() const { return m_bytes.capacity(); }

private:
    std::vector<std::byte> m_bytes;
    std::size_t m_pos = 0; // start of the first message not yet handed out
    std::size_t m_maxMessage;
    bool m_failed = false;
};

struct ClientHelloInfo {
    ClientRandom random{};
    QByteArray serverName; // the first host_name of server_name, printable ASCII only
    bool offersEarlyData = false;
    // The TLS 1.3 suites offered (0x13XX, RFC 8446 B.4), in the client's order, at most
    // kMaxTls13Suites of them: the suite of 0-RTT data is one of these.
    static constexpr std::size_t kMaxTls13Suites = 8;
    std::array<std::uint16_t, kMaxTls13Suites> tls13Suites{};
    std::size_t tls13SuiteCount = 0;
};

struct ServerHelloInfo {
    std::array<std::uint8_t, 32> random{};
    std::uint16_t version = 0; // supported_versions when present, else legacy_version
    std::uint16_t cipherSuite = 0;
    bool helloRetryRequest = false; // RFC 8446 4.1.3: the special random
};

// The body of a ClientHello (RFC 8446 4.1.2, RFC 5246 7.4.1.2); nullopt when malformed.
std::optional<ClientHelloInfo> parseClientHello(Bytes body);
// The body of a ServerHello or HelloRetryRequest (RFC 8446 4.1.3, RFC 5246 7.4.1.3).
std::optional<ServerHelloInfo> parseServerHello(Bytes body);

} // namespace quorrel::streams::tls
