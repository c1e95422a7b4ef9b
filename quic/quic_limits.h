#pragma once
// The bounds of the QUIC reader, what it counts, and what it says when a connection's
// reading ends early. Whatever the traffic, the reader's memory stays below totalBytes:
// every buffer it keeps is bounded here.

#include "base/text_rules.h"
#include "quic/quic_types.h"

#include <cstddef>
#include <cstdint>

namespace quorrel::quic {

struct QuicLimits {
    // One connection: packets waiting for their keys, stream bytes ahead of a hole, field
    // sections waiting for the server's SETTINGS, the QPACK table. A connection that needs
    // more ends, counted.
    std::size_t connectionBytes = 512 * 1024;
    // Every connection together. Over it, the connections idle the longest go first.
    std::size_t totalBytes = 32 * 1024 * 1024;
    std::size_t maxConnections = 8192;
    // A connection with nothing on it for this long is forgotten. QUIC's idle timeouts are
    // the peers' to choose (RFC 9000 10.1), browsers' 30 s to a few minutes.
    std::int64_t idleMs = 5 * 60 * 1000;
    // How long packets wait for the key log line that opens them, and field sections for
    // the server's SETTINGS, as TLS records over TCP wait for theirs.
    std::int64_t keyWaitMs = 10 * 1000;
    // A request's field section (RFC 9114 4.2.2 counts it); servers refuse far less.
    std::size_t headBytes = 64 * 1024;
    // A request's authority and path together; a longer one is dropped and counted.
    std::size_t addressBytes = std::size_t(kMaxAddressBytes);
    // The TLS handshake messages a connection's CRYPTO frames may carry before the hellos
    // are read (a ClientHello with a large key share spans two Initial packets).
    std::size_t cryptoBytes = 64 * 1024;
    // Client streams followed at once in a connection (servers allow 100 by default).
    std::size_t maxStreams = 1024;
    // The connection IDs remembered for one connection (RFC 9000 5.1.1: peers issue a few).
    std::size_t maxConnectionIds = 16;
    // The paths (address and port pairs) of one connection: a client that moves, or a NAT
    // that rebinds, makes a new one (RFC 9000 9).
    std::size_t maxPaths = 4;
};

struct QuicCounters {
    std::uint64_t datagrams = 0;
    std::uint64_t connectionsStarted = 0;  // a client Initial opened under its Initial keys
    std::uint64_t connectionsRead = 0;     // 0-RTT or 1-RTT packets opened with the key log's secrets
    std::uint64_t withoutSecret = 0;       // ended with packets the key log never opened
    std::uint64_t versionNotRead = 0;      // a client's first packet of a version we do not read
    std::uint64_t packetsOpened = 0;
    std::uint64_t packetsFailedAuth = 0;   // did not authenticate under the keys that should open them
    std::uint64_t packetsMalformed = 0;    // a header, length or frame that breaks the rules
    std::uint64_t packetsUnknown = 0;      // of no connection followed (one that began before the capture)
    std::uint64_t packetsDroppedWaiting = 0; // waited for their keys past the bounds
    std::uint64_t streamBytesDropped = 0;  // STREAM or CRYPTO data past the bounds
    std::uint64_t streamsDropped = 0;      // request streams let go unread: more than maxStreams at once
    std::uint64_t oversize = 0;            // field sections over their bound
    std::uint64_t longAddresses = 0;       // requests dropped for their address alone
    std::uint64_t qpackErrors = 0;         // field sections libnghttp3 could not decode
    std::uint64_t sectionsWithoutSettings = 0; // waited for the server's SETTINGS in vain
    std::uint64_t keyUpdates = 0;
    std::uint64_t connectionsEvicted = 0;  // ended early to keep the memory bound
    std::uint64_t requests = 0;
    std::size_t memoryInUse = 0;
    std::size_t peakMemory = 0;
};

// Why a connection's reading ended before the connection did. Connections that simply
// close or go idle make no note.
struct QuicNote {
    enum Kind {
        WithoutSecret,  // the key log never named the connection
        VersionNotRead, // a QUIC version other than 1 and 2
        Evicted,        // ended early to keep the memory bound
        Failed,         // its reading could not go on (reason says why)
    };
    Kind kind;
    Endpoint client;
    Endpoint server;
    const char *reason;
};

} // namespace quorrel::quic
