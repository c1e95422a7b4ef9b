#pragma once
// One QUIC connection read from the wire (RFC 9000, RFC 9001): its packets opened with the
// Initial keys of the client's first Destination Connection ID and with the secrets of the
// browser's key log, found by the random of the ClientHello that the client's Initial
// CRYPTO frames carry. What it opens goes to its HTTP/3 session.
//
// Read of the client: Initial packets (for the ClientHello), 0-RTT packets under
// CLIENT_EARLY_TRAFFIC_SECRET, 1-RTT packets under CLIENT_TRAFFIC_SECRET_0 and the
// secrets its key updates lead to. Of the server: Initial packets (the ServerHello names
// the cipher suite), a Retry (its integrity checked, the Initial keys follow its connection
// ID), and its first 1-RTT packets under SERVER_TRAFFIC_SECRET_0 for the SETTINGS of its
// control stream and the connection IDs it issues. Handshake packets are not opened:
// nothing in them is needed. A packet whose keys are not known yet (its key log line has
// not come, the ClientHello is still in pieces) waits, bounded; one that does not
// authenticate is dropped and counted.

#include "quic/http3_session.h"
#include "quic/packet_header.h"
#include "quic/quic_limits.h"
#include "streams/key_log.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace quorrel::quic {

class QuicConnection {
public:
    enum class Side : std::uint8_t { Client, Server };

    // The client's first Initial went from client to server with originalDcid as its
    // Destination Connection ID, in version.
    QuicConnection(streams::KeyLog &keys, const QuicLimits &limits, QuicCounters &counters, const QuicVersion &version,
                   const ConnectionId &originalDcid, const Endpoint &client, const Endpoint &server);
    ~QuicConnection(); // its secrets are forgotten in the key log, its keys wiped
    QuicConnection(const QuicConnection &) = delete;
    QuicConnection &operator=(const QuicConnection &) = delete;

    // Each request read, its client set.
    std::function<void(const streams::StreamRequest &)> onRequest;
    // A connection ID that now leads to this connection (added) or no longer does. towardServer:
    // the client sends to it (the original one, the server's); otherwise the server does.
    std::function<void(const ConnectionId &, bool towardServer, bool added)> onConnectionId;

    // The ClientHello's random was read: the key log names the connection by it.
    std::function<void(const streams::ClientRandom &)> onRandom;
    // Another connection read the same ClientHello (a capture that holds it twice): its
    // secrets stay in the key log when this one ends.
    void keepSecrets();

    // One datagram from side: its packets, coalesced one after the other.
    void datagram(Side side, Bytes payload, std::int64_t nowMs);
    // The client's first Initial authenticated under its Initial keys: this is a connection.
    bool started() const;
    // The key log grew: packets waiting for it try again.
    void retry(std::int64_t nowMs);
    // Packets and field sections that waited too long are dropped, counted.
    void expire(std::int64_t nowMs);
    // When something waiting gives up; INT64_MAX when nothing waits.
    std::int64_t deadline() const;
    bool waitingForKeys() const;
    // The connection is over: what still waits tries once more, then is counted. The note
    // for it, if its reading ended early; nullptr otherwise.
    void end();
    const char *endNote() const;
    bool withoutSecret() const;
    // 0-RTT or 1-RTT packets opened with the key log's secrets.
    bool read() const;

    // A CONNECTION_CLOSE was read: nothing more will come that matters.
    bool closed() const;

    const Endpoint &client() const;
    const Endpoint &server() const;
    // The length of the connection IDs that side puts in its short headers' Destination
    // Connection ID: the other side chose them.
    std::size_t dcidLength(Side sender) const;

    std::size_t memory() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace quorrel::quic
