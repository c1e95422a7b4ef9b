#include "quic/quic_reader.h"

#include "quic/quic_connection.h"

#include <algorithm>
#include <climits>

namespace quorrel::quic {

namespace {

using Side = QuicConnection::Side;

streams::FlowKey pathOf(const Endpoint &a, const Endpoint &b)
{
    return b < a ? streams::FlowKey{b, a} : streams::FlowKey{a, b};
}

// RFC 9000 14.1: a client's datagram with an Initial carries at least 1200 bytes; RFC
// 9000 7.2: its first Destination Connection ID at least 8.
constexpr std::size_t kMinInitialDatagram = 1200;
constexpr std::size_t kMinInitialDcid = 8;
constexpr std::uint16_t kHttpsPort = 443;

// A map entry, a path, an ID, its random's count: what the table itself holds for a connection.
constexpr std::size_t kEntryOverhead = 224;

} // namespace

QuicReader::QuicReader(streams::KeyLog &keys, QuicLimits limits) : m_keys(keys), m_limits(limits) {}

QuicReader::~QuicReader()
{
    m_connections.clear(); // their secrets are forgotten in the key log
}

QuicCounters QuicReader::counters() const
{
    QuicCounters c = m_counters;
    c.memoryInUse = m_memory;
    return c;
}

void QuicReader::connectionId(Key key, const ConnectionId &id, bool towardServer, bool added)
{
    auto entry = m_connections.find(key);
    if (added) {
        auto [it, inserted] = m_byId.try_emplace(id, Target{key, towardServer});
        if (!inserted) {
            // An ID another connection had: the newest use wins (the old one has gone).
            if (it->second.key != key) {
                auto other = m_connections.find(it->second.key);
                if (other != m_connections.end())
                    std::erase(other->second.ids, id);
            }
            it->second = {key, towardServer};
        } else {
            ++m_idLengths[id.length];
        }
        if (entry != m_connections.end() && std::find(entry->second.ids.begin(), entry->second.ids.end(), id) == entry->second.ids.end())
            entry->second.ids.push_back(id);
        return;
    }
    auto it = m_byId.find(id);
    if (it != m_byId.end() && it->second.key == key) {
        --m_idLengths[id.length];
        m_byId.erase(it);
    }
    if (entry != m_connections.end())
        std::erase(entry->second.ids, id);
}

void QuicReader::wire(QuicConnection &connection, Key key)
{
    connection.onRandom = [this, key](const streams::ClientRandom &random) {
        auto entry = m_connections.find(key);
        if (entry == m_connections.end() || entry->second.random)
            return;
        entry->second.random = random;
        ++m_randoms[random];
    };
    connection.onRequest = [this](const streams::StreamRequest &request) {
        if (onRequest)
            onRequest(request);
    };
    connection.onConnectionId = [this, key](const ConnectionId &id, bool towardServer, bool added) {
        connectionId(key, id, towardServer, added);
    };
}

void QuicReader::addPath(Entry &entry, Key key, const streams::FlowKey &path)
{
    if (std::find(entry.paths.begin(), entry.paths.end(), path) != entry.paths.end())
        return;
    if (entry.paths.size() >= m_limits.maxPaths) {
        const streams::FlowKey oldest = entry.paths.front();
        entry.paths.erase(entry.paths.begin());
        auto it = m_byPath.find(oldest);
        if (it != m_byPath.end() && it->second == key)
            m_byPath.erase(it);
    }
    entry.paths.push_back(path);
    m_byPath[path] = key;
}

void QuicReader::touch(Entry &entry, std::int64_t nowMs)
{
    entry.lastMs = nowMs;
    if (entry.recent != m_recent.begin())
        m_recent.splice(m_recent.begin(), m_recent, entry.recent);
}

void QuicReader::remeasure(Entry &entry)
{
    const std::size_t now = entry.connection->memory() + kEntryOverhead
        + (entry.paths.capacity() * sizeof(streams::FlowKey) + entry.ids.capacity() * sizeof(ConnectionId));
    m_memory = m_memory - entry.memory + now;
    entry.memory = now;
    m_counters.peakMemory = std::max(m_counters.peakMemory, m_memory);
}

QuicReader::Connections::iterator QuicReader::start(const UdpDatagram &d, const LongHeader &h)
{
    const Key key = m_nextKey++;
    auto connection = std::make_unique<QuicConnection>(m_keys, m_limits, m_counters, *h.known, h.dcid, d.source,
                                                       d.destination);
    // The IDs it learns while its first datagram is read are entered once it is one.
    std::vector<std::pair<ConnectionId, bool>> learnt;
    std::optional<streams::ClientRandom> random;
    // A 0-RTT request may share the first datagram.
    connection->onRequest = [this](const streams::StreamRequest &request) {
        if (onRequest)
            onRequest(request);
    };
    connection->onRandom = [&random](const streams::ClientRandom &r) { random = r; };
    connection->onConnectionId = [&learnt](const ConnectionId &id, bool towardServer, bool added) {
        if (added)
            learnt.emplace_back(id, towardServer);
        else
            std::erase_if(learnt, [&](const auto &l) { return l.first == id; });
    };
    connection->datagram(Side::Client, d.payload, d.timeMs);
    if (!connection->started()) {
        ++m_counters.packetsUnknown;
        return m_connections.end();
    }
    if (m_connections.size() >= m_limits.maxConnections && !m_recent.empty()) {
        auto oldest = m_connections.find(m_recent.back());
        if (oldest != m_connections.end())
            finish(oldest, true);
    }
    auto [it, inserted] = m_connections.emplace(key, Entry{});
    Entry &entry = it->second;
    entry.connection = std::move(connection);
    entry.recent = m_recent.insert(m_recent.begin(), key);
    entry.lastMs = m_nowMs;
    wire(*entry.connection, key);
    addPath(entry, key, pathOf(d.source, d.destination));
    for (const auto &[id, towardServer] : learnt)
        connectionId(key, id, towardServer, true);
    if (random) {
        entry.random = random;
        ++m_randoms[*random];
    }
    remeasure(entry);
    return it;
}

void QuicReader::countVersionNotRead(const UdpDatagram &d)
{
    // Other UDP protocols on other ports may begin with a byte that looks like a long
    // header; a client's packet of a version not read to port 443, padded as an Initial,
    // is HTTP/3 that cannot be read.
    // RFC 8999 5.1: in any version the Destination Connection ID's length is the sixth
    // byte (and may pass 20).
    if (d.destination.port != kHttpsPort || d.payload.size() < kMinInitialDatagram
        || std::to_integer<std::uint8_t>(d.payload[5]) < kMinInitialDcid)
        return;
    if (std::find(m_versionNotRead.begin(), m_versionNotRead.end(), d.source) != m_versionNotRead.end())
        return;
    m_versionNotRead[m_versionNotReadNext] = d.source;
    m_versionNotReadNext = (m_versionNotReadNext + 1) % m_versionNotRead.size();
    ++m_counters.versionNotRead;
    if (onNote)
        onNote({QuicNote::VersionNotRead, d.source, d.destination, "a QUIC version that is not read"});
}

void QuicReader::feed(const UdpDatagram &d)
{
    ++m_counters.datagrams;
    m_nowMs = std::max(m_nowMs, d.timeMs);
    if (d.payload.empty())
        return;
    const streams::FlowKey path = pathOf(d.source, d.destination);
    Connections::iterator it = m_connections.end();
    if (const auto p = m_byPath.find(path); p != m_byPath.end())
        it = m_connections.find(p->second);
    std::optional<Side> side;
    if (it != m_connections.end())
        side = d.source == it->second.connection->server() ? Side::Server : Side::Client;

    const auto first = std::to_integer<std::uint8_t>(d.payload[0]);
    if (isLongHeader(first)) {
        const std::optional<LongHeader> h = parseLongHeader(d.payload);
        if (!h) {
            // Of no connection followed, it need not be QUIC at all (DNS, games, VPNs).
            ++(it == m_connections.end() ? m_counters.packetsUnknown : m_counters.packetsMalformed);
            return;
        }
        if (!h->known) {
            if (h->version != 0 && it == m_connections.end())
                countVersionNotRead(d);
            return; // version negotiation, or a version not read
        }
        const auto byId = m_byId.find(h->dcid);
        if (it == m_connections.end() && byId != m_byId.end()) {
            it = m_connections.find(byId->second.key);
            side = byId->second.towardServer ? Side::Client : Side::Server;
        }
        // A client's Initial to an ID no connection knows begins a connection, on a path
        // of its own or on one a connection had before (a client that took its port again).
        const bool known = byId != m_byId.end() && it != m_connections.end() && byId->second.key == it->first;
        if (h->type == PacketType::Initial && !known && h->dcid.length >= kMinInitialDcid
            && d.payload.size() >= kMinInitialDatagram && (!side || side == Side::Client)) {
            const auto started = start(d, *h);
            if (started != m_connections.end()) {
                enforceBounds(started->first);
                return;
            }
            if (it == m_connections.end())
                return;
        }
    } else if (it == m_connections.end()) {
        // A short header does not say how long its connection ID is: each length in use is
        // tried, longest first.
        for (std::size_t length = ConnectionId::kMaxLength; length > 0 && it == m_connections.end(); --length) {
            if (m_idLengths[length] == 0 || d.payload.size() < 1 + length)
                continue;
            const auto id = ConnectionId::of(d.payload.subspan(1, length));
            const auto byId = m_byId.find(*id);
            if (byId == m_byId.end())
                continue;
            it = m_connections.find(byId->second.key);
            side = byId->second.towardServer ? Side::Client : Side::Server;
        }
    }
    if (it == m_connections.end()) {
        ++m_counters.packetsUnknown;
        return;
    }
    Entry &entry = it->second;
    QuicConnection &connection = *entry.connection;
    // A path not seen before: a client that moved (RFC 9000 9), or a NAT that rebound.
    if (!(d.source == connection.client() && d.destination == connection.server())
        && !(d.source == connection.server() && d.destination == connection.client()))
        addPath(entry, it->first, path);
    connection.datagram(*side, d.payload, d.timeMs);
    touch(entry, m_nowMs);
    remeasure(entry);
    enforceBounds(it->first);
}

void QuicReader::finish(Connections::iterator it, bool evicted)
{
    Entry &entry = it->second;
    QuicConnection &connection = *entry.connection;
    connection.end();
    const Endpoint client = connection.client();
    const Endpoint server = connection.server();
    if (evicted)
        ++m_counters.connectionsEvicted;
    QuicNote note{QuicNote::Failed, client, server, nullptr};
    if (evicted) {
        note = {QuicNote::Evicted, client, server, "ended early to keep the memory bound"};
    } else if (connection.withoutSecret()) {
        note = {QuicNote::WithoutSecret, client, server, connection.endNote()};
    } else if (connection.endNote()) {
        note.reason = connection.endNote();
    }
    for (const streams::FlowKey &path : entry.paths) {
        auto p = m_byPath.find(path);
        if (p != m_byPath.end() && p->second == it->first)
            m_byPath.erase(p);
    }
    for (const ConnectionId &id : entry.ids) {
        auto i = m_byId.find(id);
        if (i != m_byId.end() && i->second.key == it->first) {
            --m_idLengths[id.length];
            m_byId.erase(i);
        }
    }
    if (entry.random) {
        auto r = m_randoms.find(*entry.random);
        if (r != m_randoms.end() && --r->second > 0)
            connection.keepSecrets();
        else if (r != m_randoms.end())
            m_randoms.erase(r);
    }
    m_memory -= entry.memory;
    m_recent.erase(entry.recent);
    m_connections.erase(it); // the connection's secrets are forgotten
    if (note.reason && onNote)
        onNote(note);
}

void QuicReader::enforceBounds(Key keep)
{
    while (m_memory > m_limits.totalBytes && !m_recent.empty()) {
        Key oldest = m_recent.back();
        if (oldest == keep) {
            if (m_recent.size() == 1)
                break;
            oldest = *std::prev(m_recent.end(), 2);
        }
        finish(m_connections.find(oldest), true);
    }
    // One connection alone over its own bound ends too.
    auto it = m_connections.find(keep);
    if (it != m_connections.end() && it->second.connection->memory() > m_limits.connectionBytes)
        finish(it, true);
}

void QuicReader::expire(std::int64_t nowMs)
{
    m_nowMs = std::max(m_nowMs, nowMs);
    // Idle ones, from the old end of the recency list.
    while (!m_recent.empty()) {
        auto it = m_connections.find(m_recent.back());
        if (it->second.lastMs + m_limits.idleMs > m_nowMs)
            break;
        finish(it, false);
    }
    std::vector<Key> ended;
    for (auto &[key, entry] : m_connections) {
        QuicConnection &connection = *entry.connection;
        if (connection.waitingForKeys())
            connection.retry(m_nowMs);
        if (connection.deadline() <= m_nowMs)
            connection.expire(m_nowMs);
        if (connection.closed())
            ended.push_back(key);
        else
            remeasure(entry);
    }
    for (const Key key : ended)
        finish(m_connections.find(key), false);
}

void QuicReader::endAll()
{
    while (!m_recent.empty())
        finish(m_connections.find(m_recent.back()), false);
}

} // namespace quorrel::quic
