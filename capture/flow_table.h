#pragma once
// What of each captured frame the capture helper passes on: the whole frame, or its
// headers only. The kernel filter (capture/kernel_filter.h) keeps out what is received;
// on loopback, though, both ends of every connection are local, and a bulk transfer is
// "sent from a local address" in both directions. So the helper looks at the first
// payload of each direction of a TCP connection and remembers, per direction:
//   - an HTTP request (a method word and a blank, as "GET " or "PRI "), or a TLS ClientHello:
//     everything passes (readers read every request, and decrypt every client record);
//   - any other TLS handshake record (a ServerHello): the first kServerHelloBytes of
//     payload pass, the rest is cut to the headers;
//   - anything else (a download's body, an upload of a file): cut to the headers.
// A segment that itself begins with an HTTP request or a TLS handshake record passes whole
// wherever it comes: a browser's requests through a local SOCKS proxy follow the proxy's
// greeting in the same direction. Bytes that no reader reads begin that way about once in
// 25,000 segments.
// Segments without payload pass as they are (they are headers only); SYN starts a
// direction afresh, FIN and RST end it.
//
// UDP: a datagram that opens a QUIC connection (a long header of at least 1200 bytes, as a
// client's first Initial is, RFC 9000 14.1) passes, and the way back becomes a QUIC
// server's direction: its long-header packets (its connection IDs, its ServerHello) and its
// first kQuicServerShortPackets short-header datagrams (its SETTINGS, the IDs it issues)
// pass whole, later ones are cut to the headers: they carry the responses. Any other UDP
// passes whole, as do datagrams other than TCP and UDP, and frames the table cannot read.
//
// The table is bounded: kMaxDirections entries, those idle for kIdleMs go first. When it
// is full a direction it does not know passes whole, and is counted: what cannot be
// remembered is never cut, so nothing the program could read is lost.
// Plain C++: it runs in the capture helper, after the helper has given up its rights.

#include "capture/bytes.h"
#include "capture/ip_headers.h"

#include <cstdint>
#include <unordered_map>

namespace quorrel {

class FlowTable {
public:
    static constexpr std::size_t kMaxDirections = 16384;
    static constexpr std::int64_t kIdleMs = 60'000;
    // A ServerHello record, with room for a whole largest record (RFC 8446, 5.1: 2^14
    // bytes and its header) and what follows it in the same segment.
    static constexpr std::uint32_t kServerHelloBytes = 24 * 1024;
    // A QUIC server's first 1-RTT datagrams: its control stream's SETTINGS and its
    // NEW_CONNECTION_ID frames come in the first few.
    static constexpr std::uint32_t kQuicServerShortPackets = 32;
    explicit FlowTable(std::size_t maxDirections = kMaxDirections, std::int64_t idleMs = kIdleMs);

    // How many leading bytes of the frame (of link type dlt) to pass: frame.size() for the
    // whole frame, less for its headers only (link, IP, TCP with its options).
    std::size_t keep(int dlt, Bytes frame, std::int64_t nowMs);

    // A direction to pass as if its start had been seen: every byte (whole), or a
    // server's first kServerHelloBytes. The table's bound holds: when it is full, the
    // direction passes whole anyway, as every direction the table does not know.
    void follow(const IpAddress &source, std::uint16_t sourcePort, const IpAddress &destination,
                std::uint16_t destPort, bool whole, std::int64_t nowMs);
    // The records of frame.h's kDirectionRecord bytes, read from the program (a record
    // that is not one is dropped); false for bytes that are no record at all.
    bool followRecord(const unsigned char *record, std::int64_t nowMs);

    // Forgets the directions idle for longer than the idle time.
    void evictIdle(std::int64_t nowMs);

    std::size_t size() const { return m_directions.size(); }
    // Frames passed whole because the table was full.
    std::uint64_t overflows() const { return m_overflows; }

private:
    enum class Kind : std::uint8_t { Whole, Cut, ServerHello, QuicServer };
    struct Key {
        IpAddress source;
        IpAddress destination;
        std::uint16_t sourcePort;
        std::uint16_t destPort;
        std::uint8_t protocol; // TCP and UDP directions on the same ports are apart
        friend bool operator==(const Key &, const Key &) = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key &k) const noexcept;
    };
    struct Direction {
        Kind kind;
        std::uint32_t wholeLeft; // ServerHello: payload bytes that still pass whole; QuicServer: datagrams
        std::int64_t lastMs;
    };

    std::size_t keepUdp(const struct IpHeaders &h, Bytes frame, std::int64_t nowMs);
    static Kind classify(Bytes payload);
    static bool beginsReadable(Bytes payload);

    std::unordered_map<Key, Direction, KeyHash> m_directions;
    std::size_t m_max;
    std::int64_t m_idleMs;
    std::int64_t m_lastSweepMs = INT64_MIN / 2; // long ago, with room to subtract from now
    std::uint64_t m_overflows = 0;
};

} // namespace quorrel
