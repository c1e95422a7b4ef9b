#include "intake/request_roads.h"

#include "detection/request_extraction.h"

#include <algorithm>

namespace quorrel {

RequestRoads::RequestRoads(streams::KeyLog &keys, streams::StreamLimits limits) : m_reader(keys, limits), m_quic(keys)
{
    m_quic.onRequest = [this](const streams::StreamRequest &request) {
        if (std::optional<FoundRequest> r = fromStream(request))
            found(std::move(*r));
    };
    m_quic.onNote = [this](const quic::QuicNote &note) {
        if (note.kind == quic::QuicNote::WithoutSecret || note.kind == quic::QuicNote::VersionNotRead)
            m_sawHttp3 = true;
    };
    m_reader.onRequest = [this](const streams::StreamRequest &request) {
        if (std::optional<FoundRequest> r = fromStream(request))
            found(std::move(*r));
    };
    m_reader.onUnread = [this](const streams::UnreadBytes &bytes) { unread(bytes); };
}

void RequestRoads::datagram(const Datagram &datagram, std::int64_t nowMs)
{
    learnLocal(datagram.ip);
    if (!datagram.transport) {
        // No transport header (an ICMP message, a later IPv6 fragment): by itself.
        byDatagramRule(datagram.ip, datagram.source, datagram.data, FoundRequest::Road::Datagram);
        return;
    }
    switch (datagram.protocol) {
    case kIpTcp:
        tcp(datagram, nowMs);
        return;
    case kIpUdp:
        udp(datagram, nowMs);
        return;
    default:
        byDatagramRule(datagram.ip, datagram.source, datagram.data, FoundRequest::Road::Datagram);
        return;
    }
}

void RequestRoads::tcp(const Datagram &datagram, std::int64_t nowMs)
{
    // A segment the capture helper cut to its headers belongs to a flow that carries no
    // request; only its end matters to the reader, and it has no payload to read.
    if (datagram.cut) {
        if (datagram.tcpFlags & (kTcpFin | kTcpRst)) {
            streams::TcpSegment end;
            end.source = {datagram.source, datagram.sourcePort};
            end.destination = {datagram.destination, datagram.destPort};
            end.seq = datagram.seq;
            end.flags = datagram.tcpFlags;
            end.timeMs = nowMs;
            m_reader.feed(end);
        }
        return;
    }
    streams::TcpSegment segment;
    segment.source = {datagram.source, datagram.sourcePort};
    segment.destination = {datagram.destination, datagram.destPort};
    segment.seq = datagram.seq;
    segment.flags = datagram.tcpFlags;
    segment.payload = datagram.data.first(std::size_t(datagram.data_size));
    segment.timeMs = nowMs;
    if (m_reader.feed(segment) == streams::SegmentFate::NotRead)
        byDatagramRule(datagram.ip, datagram.source, segment.payload, FoundRequest::Road::Datagram);
}

// A UDP datagram: to the QUIC reader (one the capture helper cut to its headers carries
// nothing it reads); the payload itself is read by the datagram rule too, as any
// datagram's is.
void RequestRoads::udp(const Datagram &datagram, std::int64_t nowMs)
{
    if (!datagram.cut) {
        m_quic.feed({{datagram.source, datagram.sourcePort}, {datagram.destination, datagram.destPort},
                     datagram.data.first(std::size_t(datagram.data_size)), nowMs});
    }
    byDatagramRule(datagram.ip, datagram.source, datagram.data, FoundRequest::Road::Datagram);
}

void RequestRoads::tick(std::int64_t nowMs)
{
    m_reader.expire(nowMs);
    m_quic.expire(nowMs);
}

void RequestRoads::finish()
{
    m_reader.endAll();
    m_quic.endAll();
}

// The request extraction of one datagram: sent from the address whose capture read it,
// its last GET line and Host line give the address, its head the headers.
void RequestRoads::byDatagramRule(const IpAddress &capturedAt, const IpAddress &sender, Bytes payload,
                                  FoundRequest::Road road)
{
    if (sender != capturedAt || payload.empty())
        return;
    std::optional<QByteArray> address = ExtractRequestBytes(payload);
    if (!address)
        return;
    CapturedHead head = ExtractRequestHead(payload);
    found({road, std::move(*address), std::move(head.httpVersion), std::move(head.headers), std::move(head.hints)});
}

// Bytes a flow never read, each piece as a datagram of their sender's would have held it.
void RequestRoads::unread(const streams::UnreadBytes &bytes)
{
    if (!isLocal(bytes.sender.address))
        return;
    byDatagramRule(bytes.sender.address, bytes.sender.address, bytes.bytes, FoundRequest::Road::Unread);
}

std::optional<FoundRequest> RequestRoads::fromStream(const streams::StreamRequest &request) const
{
    // As with a single datagram, only GET requests sent from here name resources.
    if (request.method != "GET" || !isLocal(request.client.address))
        return std::nullopt;
    FoundRequest r;
    r.road = FoundRequest::Road::Stream;
    if (request.scheme == "http") {
        // Cut by the datagram rule itself: its GBK-aware cleaning and its reading of the
        // request line give the text the datagram rule gives for the same request.
        std::optional<QByteArray> plain = ExtractRequestBytes(request.path, request.authority);
        if (!plain)
            return std::nullopt;
        r.address = std::move(*plain);
    } else {
        r.address = request.address();
    }
    r.httpVersion = request.httpVersion;
    r.headers = RequestHeaders::captured(request.referer, request.cookie, request.userAgent);
    r.hints = FetchHints::captured(request.secFetchDest, request.range, request.accept);
    return r;
}

void RequestRoads::found(FoundRequest &&request)
{
    if (onFound)
        onFound(request);
}

void RequestRoads::learnLocal(const IpAddress &address)
{
    if (m_everyAddressLocal || m_locals.size() >= kMaxLocals)
        return;
    if (std::find(m_locals.begin(), m_locals.end(), address) == m_locals.end())
        m_locals.push_back(address);
}

bool RequestRoads::isLocal(const IpAddress &address) const
{
    return m_everyAddressLocal || std::find(m_locals.begin(), m_locals.end(), address) != m_locals.end();
}

} // namespace quorrel
