#pragma once
// One TLS connection read from the wire: the client's records in order, the server's
// first flight for its ServerHello, and the secrets of the key log. Hands on the client's
// application data, decrypted, in order.
//
// Read: TLS 1.2 with AES-GCM or ChaCha20-Poly1305 (PSK key exchanges too), TLS 1.3 with
// its three suites, key updates, and 0-RTT early data when the key log has its secret (it
// is handed on once the client's EndOfEarlyData says the server took it). Not read:
// renegotiation (the session ends there), CBC and CCM suites and TLS 1.0/1.1 (the session
// ends as unsupported, and suiteNotRead() names the suite).

#include "streams/key_log.h"
#include "streams/stream_types.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace quorrel::streams {

class TlsSession {
public:
    enum class State {
        Handshake,        // the ClientHello or the ServerHello has not been read yet
        WaitingForSecret, // records are held until the key log names this session
        Decrypting,       // application data flows
        Ended,            // read no further: see endReason()
    };

    // Why a session ended.
    enum class EndCause {
        None,          // still reading
        Closed,        // an alert (close_notify or other), or close() at the connection's end
        NoSecret,      // its records waited too long, or too many of them, for the key log
        NoServerHello, // the same, waiting for the server's hello
        AuthFailed,    // a record did not authenticate under the key log's secret
        Oversize,      // a record longer than the protocol allows
        Malformed,     // bytes that break the protocol
        Unsupported,   // a version, cipher suite or renegotiation we do not read
        BadSecret,     // the key log's secret does not fit the cipher suite
    };

    // Records wait for a secret (or the ServerHello) this long, and at most this many bytes,
    // from the first one that had to wait; then they are dropped and the session ends.
    static constexpr std::size_t kMaxWaitingBytes = 1024 * 1024;
    static constexpr std::int64_t kMaxWaitMs = 10000;
    // 0-RTT data is held, decrypted, until the client says whether the server took it: at
    // most this much (servers take a request's worth: nginx 16 KiB); more ends the session.
    static constexpr std::size_t kMaxEarlyDataBytes = 64 * 1024;

    // The key log outlives its sessions.
    explicit TlsSession(KeyLog &keys);
    ~TlsSession(); // the session's secrets are forgotten in the key log, its keys wiped
    TlsSession(const TlsSession &) = delete;
    TlsSession &operator=(const TlsSession &) = delete;

    // The client's bytes in stream order from its first byte (a ClientHello record).
    void feedClient(Bytes bytes, std::int64_t nowMs);
    // The server's bytes in stream order from its first byte; only the ServerHello is read.
    void feedServer(Bytes bytes, std::int64_t nowMs);
    // Records waiting for a secret are tried again (the key log grew), and dropped once
    // they have waited too long.
    void retry(std::int64_t nowMs);
    // The connection ended: records still waiting are dropped (counted), and the session
    // ends (as NoSecret when they waited for one). Call it before reading the final stats.
    void close();

    // The client's application data, decrypted, in order. Called from feedClient, feedServer
    // and retry; it must not destroy the session or feed it.
    std::function<void(Bytes)> onApplicationData;

    State state() const;
    QByteArray serverName() const; // the ClientHello's server_name, empty without one
    const char *endReason() const; // why the session ended; nullptr while it reads
    EndCause endCause() const;
    std::uint16_t version() const;     // 0x0303 or 0x0304 once the ServerHello is read
    std::uint16_t cipherSuite() const; // the ServerHello's, 0 before it
    // The ServerHello's cipher suite when the session ended because its suite, or its
    // version, is not one we read (CBC, CCM, TLS 1.0...); nullopt otherwise.
    std::optional<std::uint16_t> suiteNotRead() const;

    struct Stats {
        bool decrypted = false;            // a record opened with the key log's secret
        std::uint64_t recordsDecrypted = 0;
        std::uint64_t applicationBytes = 0; // handed to onApplicationData
        std::uint64_t recordsFailedAuth = 0;
        std::uint64_t recordsDroppedWaiting = 0;
        std::uint64_t bytesDroppedWaiting = 0;
        std::uint64_t oversizeRecords = 0;
        std::uint64_t earlyDataRecordsSkipped = 0; // 0-RTT records without their secret
        std::uint64_t earlyDataRecordsRead = 0;    // opened under the early secret
        std::uint64_t earlyDataBytesRefused = 0;   // read, but the server did not take them
        std::uint64_t keyUpdates = 0;
    };
    const Stats &stats() const;

    // The bytes the session holds for later: records waiting, a record not all arrived,
    // handshake messages in pieces, its decryption buffer, 0-RTT data held. Records waiting
    // are at most kMaxWaitingBytes, early data kMaxEarlyDataBytes; the rest is a few
    // records' worth.
    std::size_t bufferedBytes() const;
    // Of them, the records waiting for a secret or the ServerHello (at most kMaxWaitingBytes).
    std::size_t waitingBytes() const;
    // Everything the session holds, itself included, as a memory bound counts it.
    std::size_t memory() const;
    // When the records waiting now give up (the first one's arrival and kMaxWaitMs), or
    // INT64_MAX when none waits: retry() at that time ends the wait.
    std::int64_t waitDeadlineMs() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// What the program shows of its TLS reading, summed over sessions as they end.
struct TlsTotals {
    std::uint64_t sessionsDecrypted = 0;
    std::uint64_t sessionsWithoutSecret = 0;
    std::uint64_t recordsFailedAuth = 0;
    std::uint64_t recordsDroppedWaiting = 0;
    std::uint64_t bytesDroppedWaiting = 0;

    void add(const TlsSession &session);
};

} // namespace quorrel::streams
