#include "streams/flow.h"

#include <algorithm>
#include <cstring>

namespace quorrel::streams {

namespace {
constexpr const char *kUnreadable = "neither an HTTP request nor a TLS ClientHello";
} // namespace

Flow::Flow(const FlowKey &key, FlowContext &context)
    : m_key(key), m_context(context)
{
}

Flow::~Flow() = default;

bool Flow::isRepeatedSyn(int side, std::uint32_t seq) const
{
    return m_sides[side].synSeen && m_sides[side].isn == seq;
}

bool Flow::waitsForSecret() const
{
    return m_tls && !m_ended
        && (m_tlsState == TlsSession::State::Handshake || m_tlsState == TlsSession::State::WaitingForSecret);
}

bool Flow::waitsForKeyLog() const
{
    return m_tls && !m_ended && m_tlsState == TlsSession::State::WaitingForSecret;
}

std::int64_t Flow::nextDeadlineMs() const
{
    if (m_ended)
        return kNever;
    std::int64_t at = kNever;
    if (m_closed) {
        at = m_closedAtMs + m_context.limits.closedWaitMs;
    } else {
        for (const Side &sd : m_sides)
            if (sd.stream.hasHole())
                at = std::min(at, sd.stream.holeSinceMs() + m_context.limits.gapWaitMs);
    }
    if (waitsForSecret())
        at = std::min(at, m_tls->waitDeadlineMs());
    return at;
}

bool Flow::hasHole() const
{
    return m_sides[0].stream.hasHole() || m_sides[1].stream.hasHole();
}

std::size_t Flow::memory() const
{
    std::size_t bytes = sizeof(Flow) + m_sides[0].stream.memory() + m_sides[1].stream.memory()
        + static_cast<std::size_t>(m_serverEarly.capacity());
    if (m_http)
        bytes += m_http->memory();
    if (m_tls)
        bytes += m_tls->memory();
    return bytes;
}

std::size_t Flow::boundedMemory() const
{
    return memory() - (m_tls ? m_tls->waitingBytes() : 0);
}

Flow::Taken Flow::segment(int side, const TcpSegment &segment)
{
    m_nowMs = std::max(m_nowMs, segment.timeMs);
    m_lastSeenMs = m_nowMs;
    const bool payload = !segment.payload.empty();
    if (m_ended || m_closed)
        return {false, payload ? SegmentFate::NotRead : SegmentFate::Read};
    // Most segments are of this kind: acknowledgements, a server's replies. They leave the
    // flow as it was but for its time (its deadlines are the reader's to watch). A side
    // whose first bytes started no request is not read: what it sends is not taken.
    if (!(segment.flags & (kTcpSyn | kTcpFin | kTcpRst)) && (!payload || !wantsBytes(side)))
        return {false, payload && m_sides[side].notClient ? SegmentFate::NotRead : SegmentFate::Read};
    Side &sd = m_sides[side];
    std::uint32_t seq = segment.seq;
    if (segment.flags & kTcpRst) {
        closed();
        return {true, SegmentFate::Read};
    }
    if (segment.flags & kTcpSyn) {
        // The SYN names the client (RFC 9293, 3.5) and its sequence number comes before
        // the first byte.
        if (m_client < 0)
            m_client = segment.flags & kTcpAck ? 1 - side : side;
        if (!sd.synSeen) {
            sd.synSeen = true;
            sd.isn = seq;
            if (!sd.stream.started())
                sd.stream.start(seq + 1);
        }
        seq += 1;
    }
    SegmentFate fate = SegmentFate::Read;
    if (payload && !wantsBytes(side)) {
        fate = sd.notClient ? SegmentFate::NotRead : SegmentFate::Read;
    } else if (payload) {
        if (!sd.stream.started())
            sd.stream.start(seq); // joined late: read from here
        const bool client = m_client < 0 || side == m_client;
        const std::size_t holdLimit = client ? m_context.limits.flowBytes : m_context.limits.serverBytes;
        const std::uint64_t requestsBefore = m_requests;
        SideSink sink(*this, side);
        const bool copy = sd.stream.handedOn(seq);
        const TcpReassembler::Add added = sd.stream.add(seq, segment.payload, holdLimit, m_nowMs, sink);
        if (added == TcpReassembler::Add::Overflow) {
            end(Ending::Gap, "held bytes over the flow's bound: a hole that does not fill");
            return {true, SegmentFate::NotRead};
        }
        // Bytes handed on before, sent again (the whole segment, or its start, with new
        // bytes after them): whatever they held was read from the first copy, or the copy
        // differs from it and no reader will read it.
        if (added == TcpReassembler::Add::Stale || copy)
            fate = SegmentFate::NotRead;
        // Bytes that ended the reading without a request: nothing of them was read. (A
        // close, or a gap, hands out what it holds instead.)
        if (m_ended) {
            const bool handedOut = m_ending == Ending::Closed || m_ending == Ending::Gap;
            const bool gaveRequest = m_requests != requestsBefore;
            return {true, gaveRequest || handedOut ? SegmentFate::Read : SegmentFate::NotRead};
        }
        if (sd.notClient && m_requests == requestsBefore)
            fate = SegmentFate::NotRead; // its first bytes started no request
        // Sides no longer read drop what they hold (never from inside their own delivery).
        if (sd.notClient || (m_client >= 0 && side != m_client && (m_kind == Kind::Http || m_serverDone)))
            sd.stream.reset();
    }
    if (segment.flags & kTcpFin) {
        if (m_client < 0) {
            end(Ending::Closed, nullptr); // no request seen from either side, and no more to come
            return {true, fate};
        }
        if (sd.stream.started())
            sd.stream.finish(seq + static_cast<std::uint32_t>(segment.payload.size()));
    }
    if (m_client >= 0 && m_sides[m_client].stream.started() && m_sides[m_client].stream.finished()) {
        closed();
        return {true, fate};
    }
    checkTimers(m_nowMs);
    return {true, fate};
}

bool Flow::wantsBytes(int side) const
{
    const Side &sd = m_sides[side];
    if (sd.notClient)
        return false;
    if (m_client < 0 || side == m_client)
        return true;
    switch (m_kind) {
    case Kind::Http:
        return false; // a plain server's replies are never read
    case Kind::Tls:
        return !m_serverDone;
    case Kind::Undecided:
        return true; // a TLS client will need them
    }
    return false;
}

bool Flow::deliver(int side, Bytes bytes)
{
    if (m_ended)
        return false;
    if (m_client >= 0 && side != m_client)
        return deliverServer(bytes);
    switch (m_kind) {
    case Kind::Undecided:
        return judge(side, bytes);
    case Kind::Http:
        if (!m_http->feed(bytes)) {
            httpEnded();
            return false;
        }
        return true;
    case Kind::Tls:
        m_tls->feedClient(bytes, m_nowMs);
        observeTls();
        return !m_ended;
    }
    return false;
}

bool Flow::judge(int side, Bytes bytes)
{
    Side &sd = m_sides[side];
    const std::size_t take = std::min(bytes.size(), sd.start.size() - sd.startFill);
    std::memcpy(sd.start.data() + sd.startFill, bytes.data(), take);
    sd.startFill += take;
    const StreamStart start = ClassifyStreamStart(Bytes(sd.start.data(), sd.startFill));
    if (start == StreamStart::NeedMore)
        return true;
    if (start == StreamStart::Neither) {
        if (m_client == side) {
            end(Ending::Unreadable, kUnreadable);
            return false;
        }
        // Joined late: this may be the server halfway through a reply; the other side's
        // first bytes may still start a request.
        sd.notClient = true;
        sd.startFill = 0;
        if (m_sides[1 - side].notClient)
            end(Ending::Unreadable, kUnreadable);
        return false;
    }
    decide(side, start);
    const std::size_t judged = sd.startFill;
    sd.startFill = 0;
    if (!deliver(side, Bytes(sd.start.data(), judged)) || !deliver(side, bytes.subspan(take)))
        return false;
    if (m_kind == Kind::Tls && !m_serverEarly.isEmpty()) {
        const QByteArray early = std::exchange(m_serverEarly, QByteArray());
        deliverServer(viewOf(early));
    }
    return !m_ended;
}

void Flow::decide(int side, StreamStart start)
{
    m_client = side;
    m_kind = start == StreamStart::TlsClientHello ? Kind::Tls : Kind::Http;
    ++m_context.counters.flowsRead;
    Side &server = m_sides[serverSide()];
    if (server.notClient) {
        // It spoke first only because the capture joined late; read it from its next bytes.
        server.notClient = false;
        server.stream.reset();
    }
    if (m_kind == Kind::Http) {
        m_serverEarly = QByteArray();
        server.stream.reset();
        startHttp(QByteArrayLiteral("http"));
        return;
    }
    ++m_context.counters.tlsStarted;
    m_tls = std::make_unique<TlsSession>(m_context.keys);
    m_tls->onApplicationData = [this](Bytes bytes) { plaintext(bytes); };
}

bool Flow::deliverServer(Bytes bytes)
{
    switch (m_kind) {
    case Kind::Http:
        return false;
    case Kind::Undecided:
        // HTTP and TLS clients speak first; a server's bytes before the client's first
        // ones are kept (bounded) for a ClientHello reordered behind them.
        if (static_cast<std::size_t>(m_serverEarly.size()) + bytes.size() > m_context.limits.serverBytes) {
            end(Ending::Unreadable, "the server spoke first");
            return false;
        }
        m_serverEarly.append(reinterpret_cast<const char *>(bytes.data()), static_cast<qsizetype>(bytes.size()));
        return true;
    case Kind::Tls:
        break;
    }
    if (m_serverDone)
        return false;
    m_serverFed += bytes.size();
    m_tls->feedServer(bytes, m_nowMs);
    observeTls();
    if (m_ended)
        return false;
    // The ServerHello is all TLS reading needs from the server.
    if (m_serverFed >= m_context.limits.serverBytes || m_tlsState == TlsSession::State::Decrypting)
        m_serverDone = true;
    return !m_serverDone;
}

void Flow::plaintext(Bytes bytes)
{
    if (m_ended)
        return;
    if (!m_http)
        startHttp(QByteArrayLiteral("https"));
    if (!m_http->feed(bytes))
        httpEnded();
}

// The readers are given no authority for a request that names none: the flow puts it in
// (request()), so that a connection whose requests all name theirs never makes it.
void Flow::startHttp(QByteArray scheme)
{
    m_http = std::make_unique<HttpStream>(std::move(scheme), QByteArray(), m_context.limits,
                                          [this](StreamRequest &&r) { request(std::move(r)); },
                                          &m_context.counters.longAddresses);
}

void Flow::httpEnded()
{
    const ReadEnd &why = m_http->end();
    switch (why.kind) {
    case ReadEnd::Oversize:
        end(Ending::Oversize, why.reason);
        break;
    case ReadEnd::Protocol:
        end(Ending::Protocol, why.reason);
        break;
    case ReadEnd::Unreadable:
        end(Ending::Unreadable, why.reason);
        break;
    case ReadEnd::Quiet:
    case ReadEnd::None:
        end(Ending::Quiet, why.reason);
        break;
    }
}

void Flow::observeTls()
{
    const TlsSession::State state = m_tls->state();
    // Decrypting only says both hellos were read; a session counts as decrypted once a
    // record opened under the key log's secret.
    if (m_tls->stats().decrypted && !m_tlsDecrypted) {
        m_tlsDecrypted = true;
        ++m_context.counters.tlsDecrypted;
    }
    const TlsSession::State before = m_tlsState;
    m_tlsState = state;
    if (state == TlsSession::State::Ended && !m_ended) {
        const char *reason = m_tls->endReason() ? m_tls->endReason() : "TLS reading ended";
        const TlsSession::EndCause cause = m_tls->endCause();
        if (const std::optional<std::uint16_t> suite = m_tls->suiteNotRead())
            countSuiteNotRead(*suite);
        if (!m_tlsDecrypted && (cause == TlsSession::EndCause::NoSecret || before == TlsSession::State::WaitingForSecret))
            end(Ending::TlsWithoutSecret, reason);
        else
            end(Ending::TlsFailed, reason);
    }
}

// No session is passed over without a word: those at a suite we do not read are counted
// and their suites named.
void Flow::countSuiteNotRead(std::uint16_t suite)
{
    StreamCounters &c = m_context.counters;
    ++c.tlsSuiteNotRead;
    const auto named = c.suitesNotRead.begin() + std::ptrdiff_t(c.suitesNotReadCount);
    if (std::find(c.suitesNotRead.begin(), named, suite) != named)
        return;
    if (c.suitesNotReadCount < c.suitesNotRead.size())
        c.suitesNotRead[c.suitesNotReadCount++] = suite;
    else
        c.moreSuitesNotRead = true;
}

void Flow::retry(std::int64_t nowMs)
{
    m_nowMs = std::max(m_nowMs, nowMs);
    if (!waitsForSecret())
        return;
    m_tls->retry(m_nowMs);
    observeTls();
    if (!m_ended && m_closed && !waitsForSecret())
        end(Ending::Closed, nullptr);
}

void Flow::closed()
{
    // Records that wait for their secret are still worth their wait after the close.
    if (waitsForSecret() && m_tlsState == TlsSession::State::WaitingForSecret) {
        m_closed = true;
        m_closedAtMs = m_nowMs;
        m_sides[0].stream.reset();
        m_sides[1].stream.reset();
        return;
    }
    end(Ending::Closed, nullptr);
}

void Flow::checkTimers(std::int64_t nowMs)
{
    m_nowMs = std::max(m_nowMs, nowMs);
    if (m_ended)
        return;
    if (m_closed) {
        if (m_nowMs - m_closedAtMs >= m_context.limits.closedWaitMs)
            end(Ending::Closed, nullptr);
        return;
    }
    for (const Side &sd : m_sides)
        if (sd.stream.hasHole() && m_nowMs - sd.stream.holeSinceMs() >= m_context.limits.gapWaitMs) {
            end(Ending::Gap, "bytes that never came");
            return;
        }
}

void Flow::note(FlowNote::Kind kind, const char *reason)
{
    if (!m_context.onNote)
        return;
    const int client = m_client < 0 ? 0 : m_client;
    m_context.onNote(FlowNote{kind, m_key.end(client), m_key.end(1 - client), reason});
}

// What a flow that ends took in and never read as requests goes to whoever reads single
// datagrams: the bytes held behind a hole never reached a reader at all. When the
// connection itself ended (closed, idle, evicted, a gap), so do the first bytes of a side
// still being judged and a plain HTTP head that never ended (a request cut by the
// capture's snap length, say). When the reader ended on bytes it could not read, it took
// nothing of them, and the segment is not read (Flow::Taken).
void Flow::handOutUnread(Ending why)
{
    if (!m_context.onUnread)
        return;
    const auto handOut = [this](int side, Bytes bytes) {
        if (!bytes.empty())
            m_context.onUnread(UnreadBytes{m_key.end(side), m_key.end(1 - side), bytes});
    };
    const bool connectionEnded = why == Ending::Closed || why == Ending::Idle || why == Ending::Evicted || why == Ending::Gap;
    for (int side = 0; side < 2; ++side) {
        const Side &sd = m_sides[side];
        if (connectionEnded && m_kind == Kind::Undecided)
            handOut(side, Bytes(sd.start.data(), sd.startFill));
        if (connectionEnded && side == m_client && m_kind == Kind::Http && m_http)
            handOut(side, m_http->pendingHead());
        sd.stream.forEachHeld([&](Bytes piece) { handOut(side, piece); });
    }
}

void Flow::end(Ending why, const char *reason)
{
    if (m_ended)
        return;
    m_ended = true;
    m_ending = why;
    handOutUnread(why);
    StreamCounters &counters = m_context.counters;
    switch (why) {
    case Ending::Closed:
    case Ending::Idle:
        if (m_client >= 0 ? m_sides[m_client].stream.hasHole() : hasHole()) {
            ++counters.gaps;
            note(FlowNote::Gap, "bytes missing when the connection ended");
        }
        break;
    case Ending::Evicted:
        ++counters.flowsEvicted;
        note(FlowNote::Evicted, reason);
        break;
    case Ending::Unreadable:
        if (m_kind != Kind::Undecided)
            --counters.flowsRead; // it only looked like HTTP at its start
        ++counters.flowsDropped;
        note(FlowNote::Unreadable, reason);
        break;
    case Ending::Gap:
        ++counters.gaps;
        note(FlowNote::Gap, reason);
        break;
    case Ending::Oversize:
        ++counters.oversize;
        note(FlowNote::Oversize, reason);
        break;
    case Ending::Protocol:
        ++counters.protocolErrors;
        note(FlowNote::Protocol, reason);
        break;
    case Ending::Quiet:
        break;
    case Ending::TlsFailed:
        ++counters.tlsFailed;
        m_tlsCounted = true;
        note(FlowNote::TlsFailed, reason);
        break;
    case Ending::TlsWithoutSecret:
        ++counters.tlsWithoutSecret;
        m_tlsCounted = true;
        note(FlowNote::TlsWithoutSecret, reason);
        break;
    }
    // m_tlsState is the session's state before its last call: a reading that ends inside
    // the records that waited has met its secret, and counts as decrypted, not as without.
    if (m_tls && !m_tlsCounted && m_tlsState == TlsSession::State::WaitingForSecret && !m_tls->stats().decrypted) {
        m_tlsCounted = true;
        ++counters.tlsWithoutSecret;
        note(FlowNote::TlsWithoutSecret, "the key log never named this session");
    }
}

void Flow::request(StreamRequest &&request)
{
    ++m_context.counters.requests;
    ++m_requests;
    request.client = m_key.end(m_client);
    // No Host, no :authority: the TLS server name, else the server's address.
    if (request.authority.isEmpty() && m_tls)
        request.authority = m_tls->serverName();
    if (request.authority.isEmpty())
        request.authority = EndpointText(m_key.end(serverSide()), m_tls ? 443 : 80);
    if (m_context.onRequest)
        m_context.onRequest(request);
}

} // namespace quorrel::streams
