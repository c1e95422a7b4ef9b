#pragma once
// Captured UDP datagrams in, the HTTP/3 requests their QUIC connections carry out, read
// with the browser's key log (RFC 9000, 9001, 9114, 9204; versions 1 and 2).
//
// A bounded table of connections: found by the path a datagram takes (its two ends), else
// by the Destination Connection ID it carries, of the IDs the connection's packets named
// or its NEW_CONNECTION_ID frames issued; a client that changes port, or moves to another
// ID, is followed so. A connection begins with a client's Initial that opens under the
// Initial keys of its own Destination Connection ID; anything else of no connection
// followed is counted and dropped. A connection ends at CONNECTION_CLOSE, after an idle
// time, or when the memory bound wants its room. Time comes from the datagrams' timeMs
// and from expire(nowMs); the reader reads no clock of its own.
//
// One thread. onRequest and onNote are called from inside feed(), expire() and endAll();
// they must not call back into the reader.

#include "quic/packet_header.h"
#include "quic/quic_limits.h"
#include "quic/quic_types.h"
#include "streams/flow_key.h"
#include "streams/key_log.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

namespace quorrel::quic {

class QuicConnection;

class QuicReader {
public:
    explicit QuicReader(streams::KeyLog &keys, QuicLimits limits = {});
    ~QuicReader();
    QuicReader(const QuicReader &) = delete;
    QuicReader &operator=(const QuicReader &) = delete;

    // Every request read, whatever its method (the caller picks the GETs).
    std::function<void(const streams::StreamRequest &)> onRequest;
    // A connection whose reading ended early, and why (optional; for the log).
    std::function<void(const QuicNote &)> onNote;

    // One captured datagram, in capture order. Its payload is not kept past the call.
    void feed(const UdpDatagram &datagram);
    // Ends idle and closed connections, and lets packets that wait for the key log try
    // again. Call it every second or so with the capture's clock.
    void expire(std::int64_t nowMs);
    // The capture has ended: what waits for the key log tries once more, then every
    // connection ends as it stands, counted.
    void endAll();

    QuicCounters counters() const;
    std::size_t memoryInUse() const { return m_memory; }
    std::size_t connectionCount() const { return m_connections.size(); }

private:
    using Key = std::uint64_t;
    struct Entry {
        std::unique_ptr<QuicConnection> connection;
        std::list<Key>::iterator recent; // in m_recent
        std::size_t memory = 0;
        std::int64_t lastMs = 0;
        std::vector<streams::FlowKey> paths;
        std::vector<ConnectionId> ids;
        std::optional<streams::ClientRandom> random;
    };
    using Connections = std::unordered_map<Key, Entry>;
    struct Target {
        Key key;
        bool towardServer; // the client sends to this ID
    };

    Connections::iterator start(const UdpDatagram &datagram, const LongHeader &header);
    void wire(QuicConnection &connection, Key key);
    void addPath(Entry &entry, Key key, const streams::FlowKey &path);
    void connectionId(Key key, const ConnectionId &id, bool towardServer, bool added);
    void touch(Entry &entry, std::int64_t nowMs);
    void remeasure(Entry &entry);
    void finish(Connections::iterator it, bool evicted);
    void enforceBounds(Key keep);
    void countVersionNotRead(const UdpDatagram &datagram);

    streams::KeyLog &m_keys;
    QuicLimits m_limits;
    QuicCounters m_counters;
    std::int64_t m_nowMs = 0;
    Key m_nextKey = 1;

    Connections m_connections;
    std::list<Key> m_recent; // most recently active first
    std::unordered_map<ConnectionId, Target, ConnectionIdHash> m_byId;
    std::unordered_map<streams::FlowKey, Key, streams::FlowKeyHash> m_byPath;
    // How many IDs of each length lead somewhere: a short header does not say its own.
    std::array<std::uint32_t, ConnectionId::kMaxLength + 1> m_idLengths{};
    std::size_t m_memory = 0;
    // How many connections read each ClientHello random: the key log forgets its secrets
    // when the last of them ends.
    std::map<streams::ClientRandom, std::uint32_t> m_randoms;
    // The last clients of a version not read, so that one connection counts once.
    std::array<Endpoint, 16> m_versionNotRead{};
    std::size_t m_versionNotReadNext = 0;
};

} // namespace quorrel::quic
