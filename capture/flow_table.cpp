#include "capture/flow_table.h"

#include "capture/frame.h"
#include "capture/link_layer.h"

#include <algorithm>
#include <cstring>

namespace quorrel {
namespace {

constexpr std::uint8_t kTlsHandshake = 0x16; // RFC 8446, 5.1
constexpr std::uint8_t kClientHello = 1;     // RFC 8446, 4
constexpr unsigned kQuicLongHeader = 0x80;    // RFC 8999 5.1
constexpr std::size_t kQuicInitialDatagram = 1200; // RFC 9000 14.1

unsigned byteAt(Bytes b, std::size_t i) { return std::to_integer<unsigned>(b[i]); }

// Bytes the request rules pass over before a request line: blanks and control bytes, and
// the bytes they remove (01 02 04 05 B4).
bool skippedBeforeRequest(unsigned c) { return c <= 0x20 || c == 0xB4; }

bool isLetter(unsigned c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }

// An HTTP request line begins with a method (RFC 9110, 9: a token; every registered method
// is letters) and a blank. "PRI " opens HTTP/2 without TLS.
bool beginsHttpRequest(Bytes payload)
{
    std::size_t i = 0;
    while (i < payload.size() && skippedBeforeRequest(byteAt(payload, i)))
        ++i;
    const std::size_t start = i;
    while (i < payload.size() && i - start < 24 && isLetter(byteAt(payload, i)))
        ++i;
    return i - start >= 3 && i < payload.size() && byteAt(payload, i) == ' ';
}

} // namespace

std::size_t FlowTable::KeyHash::operator()(const Key &k) const noexcept
{
    // FNV-1a over the fields: cheap, and spreads the ports, which differ most.
    std::uint64_t h = 0xcbf29ce484222325ULL;
    const auto mix = [&h](std::uint8_t b) {
        h ^= b;
        h *= 0x100000001b3ULL;
    };
    for (std::uint8_t b : k.source.bytes)
        mix(b);
    for (std::uint8_t b : k.destination.bytes)
        mix(b);
    mix(static_cast<std::uint8_t>(k.sourcePort));
    mix(static_cast<std::uint8_t>(k.sourcePort >> 8));
    mix(static_cast<std::uint8_t>(k.destPort));
    mix(static_cast<std::uint8_t>(k.destPort >> 8));
    mix(static_cast<std::uint8_t>(k.source.family));
    mix(k.protocol);
    return static_cast<std::size_t>(h);
}

FlowTable::FlowTable(std::size_t maxDirections, std::int64_t idleMs) : m_max(maxDirections), m_idleMs(idleMs)
{
    m_directions.reserve(std::min<std::size_t>(maxDirections, 1024));
}

FlowTable::Kind FlowTable::classify(Bytes payload)
{
    if (payload.size() >= 2 && byteAt(payload, 0) == kTlsHandshake && byteAt(payload, 1) == 0x03) {
        // Record header (5 bytes), then the handshake message type. A record cut before
        // its type cannot be told apart: it passes.
        if (payload.size() < 6 || byteAt(payload, 5) == kClientHello)
            return Kind::Whole;
        return Kind::ServerHello;
    }
    return beginsHttpRequest(payload) ? Kind::Whole : Kind::Cut;
}

bool FlowTable::beginsReadable(Bytes payload)
{
    return (payload.size() >= 2 && byteAt(payload, 0) == kTlsHandshake && byteAt(payload, 1) == 0x03)
        || beginsHttpRequest(payload);
}

void FlowTable::follow(const IpAddress &source, std::uint16_t sourcePort, const IpAddress &destination,
                       std::uint16_t destPort, bool whole, std::int64_t nowMs)
{
    const Key key{source, destination, sourcePort, destPort, kIpTcp};
    if (m_directions.size() >= m_max && !m_directions.count(key))
        return;
    m_directions[key] = Direction{whole ? Kind::Whole : Kind::ServerHello, whole ? 0 : kServerHelloBytes, nowMs};
}

bool FlowTable::followRecord(const unsigned char *record, std::int64_t nowMs)
{
    const unsigned char pass = record[0];
    const unsigned char family = record[1];
    if ((pass != frame::kPassWhole && pass != frame::kPassServerHello) || (family != 4 && family != 6))
        return false;
    IpAddress source;
    IpAddress destination;
    source.family = destination.family = family == 6 ? IpFamily::V6 : IpFamily::V4;
    const std::size_t length = family == 6 ? 16 : 4;
    std::memcpy(source.bytes.data(), record + 2, length);
    std::memcpy(destination.bytes.data(), record + 18, length);
    const auto port = [record](std::size_t at) { return static_cast<std::uint16_t>(record[at] << 8 | record[at + 1]); };
    follow(source, port(34), destination, port(36), pass == frame::kPassWhole, nowMs);
    return true;
}

void FlowTable::evictIdle(std::int64_t nowMs)
{
    m_lastSweepMs = nowMs;
    std::erase_if(m_directions, [&](const auto &entry) { return nowMs - entry.second.lastMs > m_idleMs; });
}

std::size_t FlowTable::keepUdp(const IpHeaders &h, Bytes frame, std::int64_t nowMs)
{
    if (h.payload.empty())
        return frame.size();
    const bool longHeader = byteAt(h.payload, 0) & kQuicLongHeader;
    const Key key{h.source, h.destination, h.sourcePort, h.destPort, kIpUdp};
    auto self = m_directions.find(key);
    const bool fromServer = self != m_directions.end() && self->second.kind == Kind::QuicServer;
    if (longHeader && h.payload.size() >= kQuicInitialDatagram && !fromServer) {
        // A client's Initial (again, when it is sent again): the way back is its server's.
        // A server pads its Initial datagrams to 1200 bytes too, but its way is known by then.
        const Key back{h.destination, h.source, h.destPort, h.sourcePort, kIpUdp};
        auto found = m_directions.find(back);
        if (found == m_directions.end()) {
            if (m_directions.size() >= m_max && nowMs - m_lastSweepMs >= 1000)
                evictIdle(nowMs);
            if (m_directions.size() >= m_max) {
                ++m_overflows;
                return frame.size();
            }
            m_directions.emplace(back, Direction{Kind::QuicServer, kQuicServerShortPackets, nowMs});
        }
        return frame.size();
    }
    if (!fromServer || longHeader)
        return frame.size();
    Direction &d = self->second;
    d.lastMs = nowMs;
    if (d.wholeLeft > 0) {
        --d.wholeLeft;
        return frame.size();
    }
    return static_cast<std::size_t>(h.payload.data() - frame.data());
}

std::size_t FlowTable::keep(int dlt, Bytes frame, std::int64_t nowMs)
{
    const std::optional<IpInLink> ip = IpInFrame(dlt, frame);
    if (!ip)
        return frame.size();
    const IpHeaders h = ip->family == IpFamily::V6 ? ReadIpv6Headers(ip->datagram) : ReadIpv4Headers(ip->datagram);
    // Only TCP and UDP whose headers are all there are judged; whatever else passes whole.
    if (!h.transport || h.headerSize > h.datagram.size())
        return frame.size();
    if (h.protocol == kIpUdp)
        return keepUdp(h, frame, nowMs);
    if (h.protocol != kIpTcp)
        return frame.size();

    const Key key{h.source, h.destination, h.sourcePort, h.destPort, kIpTcp};
    if (h.tcpFlags & kTcpSyn)
        m_directions.erase(key); // a new connection on the same ports starts afresh
    const bool ends = h.tcpFlags & (kTcpFin | kTcpRst);
    if (h.payload.empty()) {
        if (ends)
            m_directions.erase(key);
        return frame.size();
    }

    auto found = m_directions.find(key);
    if (found == m_directions.end()) {
        if (m_directions.size() >= m_max && nowMs - m_lastSweepMs >= 1000)
            evictIdle(nowMs); // at most once a second: the sweep walks the whole table
        if (m_directions.size() >= m_max) {
            ++m_overflows;
            return frame.size();
        }
        const Kind kind = classify(h.payload);
        found = m_directions.emplace(key, Direction{kind, kind == Kind::ServerHello ? kServerHelloBytes : 0, nowMs}).first;
    }
    Direction &d = found->second;
    d.lastMs = nowMs;

    const std::size_t headersEnd = static_cast<std::size_t>(h.payload.data() - frame.data());
    std::size_t kept = frame.size();
    switch (d.kind) {
    case Kind::Whole:
        break;
    case Kind::Cut:
    case Kind::QuicServer: // a UDP direction's: never found for TCP
        kept = headersEnd;
        break;
    case Kind::ServerHello:
        if (d.wholeLeft == 0)
            kept = headersEnd;
        else
            d.wholeLeft -= static_cast<std::uint32_t>(std::min<std::size_t>(d.wholeLeft, h.payload.size()));
        break;
    }
    if (kept < frame.size() && beginsReadable(h.payload))
        kept = frame.size();
    if (ends)
        m_directions.erase(found);
    return kept;
}

} // namespace quorrel
