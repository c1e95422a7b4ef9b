#pragma once
// One TLS connection read from the wire: the client's records in order, the server's
// first flight for its ServerHello, and the secrets of the key log. Hands on the client's
// application data, decrypted, in order.

#include "streams/key_log.h"
#include "streams/stream_types.h"

#include <functional>
#include <memory>

namespace quorrel::streams {

class TlsSession {
public:
    enum class State {
        Handshake,        // the ClientHello or the ServerHello has not been read yet
        WaitingForSecret, // records are held until the key log names this session
        Decrypting,       // application data flows
        Ended,            // read no further: see endReason()
    };

    explicit TlsSession(KeyLog &keys);
    ~TlsSession();
    TlsSession(const TlsSession &) = delete;
    TlsSession &operator=(const TlsSession &) = delete;

    // The client's bytes in stream order from its first byte (a ClientHello record).
    void feedClient(ByteView bytes, std::int64_t nowMs);
    // The server's bytes in stream order from its first byte; only the ServerHello is read.
    void feedServer(ByteView bytes, std::int64_t nowMs);
    // Records waiting for a secret are tried again (the key log grew), and dropped once
    // they have waited too long.
    void retry(std::int64_t nowMs);

    // The client's application data, decrypted, in order.
    std::function<void(ByteView)> onApplicationData;

    State state() const;
    QByteArray serverName() const; // the ClientHello's server_name, empty without one
    const char *endReason() const; // why the session ended; nullptr while it reads

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace quorrel::streams
