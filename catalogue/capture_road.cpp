#include "catalogue/capture_road.h"

#include "base/gbk_text.h"
#include "base/gydy.h"
#include "detection/request_extraction.h"
#include "streams/stream_reader.h"

#include <QStringList>

#include <algorithm>
#include <cstring>

namespace quorrel {

namespace {

constexpr std::uint8_t kUdp = 17;
constexpr std::uint8_t kTcp = 6;
constexpr std::uint16_t kHttpsPort = 443;

streams::Endpoint endpoint(const IpAddress &address, std::uint16_t port)
{
    streams::Endpoint e;
    std::memcpy(e.address.data(), address.bytes.data(), e.address.size());
    e.v6 = address.family == IpFamily::V6;
    e.port = port;
    return e;
}

QString SuiteText(std::uint16_t suite)
{
    return QStringLiteral("0x") + QStringLiteral("%1").arg(unsigned(suite), 4, 16, QLatin1Char('0')).toUpper();
}

} // namespace

QString SuitesNotReadText(const streams::StreamCounters &counters)
{
    QStringList names;
    for (std::size_t i = 0; i < counters.suitesNotReadCount; ++i)
        names << SuiteText(counters.suitesNotRead[i]);
    if (counters.moreSuitesNotRead)
        names << QStringLiteral("...");
    return names.join(QStringLiteral(", "));
}

CaptureRoad::CaptureRoad(Catalogue &catalogue, streams::StreamLimits limits)
    : m_catalogue(catalogue), m_reader(std::make_unique<streams::StreamReader>(m_keys, limits))
{
    m_reader->onRequest = [this](const streams::StreamRequest &request) { fileStreamRequest(request); };
}

CaptureRoad::~CaptureRoad()
{
    m_reader.reset(); // its TLS sessions forget their secrets in the key log
}

CaptureRoad::Result CaptureRoad::deliver(bool logIsEmpty, const Datagram &datagram, std::int64_t nowMs, bool readStream)
{
    Result result;
    learnLocal(datagram.ip);
    const CapturedRequest r = FileCapturedRequest(m_catalogue, logIsEmpty, datagram);
    result.logStartLine = r.logStartLine;
    if (r.address) {
        noteFull(r.classification);
        ++result.requests;
        if (r.classification.outcome == Classification::Filed) {
            ++result.filed;
            if (onFiled)
                onFiled({TrimBlanks(r.classification.node->Link()), r.head.httpVersion, r.head.headers});
        }
        result.showHint = r.classification.showHint;
        rememberDatagramAddress(*r.address);
        m_lastFiling = {true, *r.address, r.head.headers};
    }
    if (readStream && datagram.transport)
        feedStream(datagram, nowMs, result);
    m_lastFiling.valid = false;
    return result;
}

void CaptureRoad::feedStream(const Datagram &datagram, std::int64_t nowMs, Result &result)
{
    if (datagram.protocol == kUdp) {
        if (!m_http3Said && datagram.destPort == kHttpsPort && datagram.source == datagram.ip) {
            m_http3Said = true;
            if (onNotice)
                onNotice(kHttp3Notice);
        }
        return;
    }
    if (datagram.protocol != kTcp)
        return;
    // A segment the capture helper cut to its headers belongs to a flow that carries no
    // request; only its end matters.
    if (datagram.cut && !(datagram.tcpFlags & (streams::kFin | streams::kRst)))
        return;

    streams::TcpSegment segment;
    segment.source = endpoint(datagram.source, datagram.sourcePort);
    segment.destination = endpoint(datagram.destination, datagram.destPort);
    segment.seq = datagram.seq;
    segment.flags = datagram.tcpFlags;
    if (!datagram.cut)
        segment.payload = datagram.data.first(std::size_t(datagram.data_size));
    segment.timeMs = nowMs;

    m_current = &result;
    m_reader->feed(segment);
    m_current = nullptr;
}

CaptureRoad::Result CaptureRoad::tick(std::int64_t nowMs)
{
    Result result;
    m_current = &result;
    m_keys.poll(nowMs);
    takeKeyLogWarning();
    m_reader->expire(nowMs);
    noteSuitesNotRead();
    m_current = nullptr;
    return result;
}

CaptureRoad::Result CaptureRoad::finish()
{
    Result result;
    m_current = &result;
    m_keys.poll();
    takeKeyLogWarning();
    m_reader->endAll();
    noteSuitesNotRead();
    m_current = nullptr;
    return result;
}

std::optional<Classification> CaptureRoad::fileStreamRequest(const streams::StreamRequest &request)
{
    // As with a single datagram, only GET requests name resources.
    if (request.method != "GET" || !isLocal(request.client))
        return std::nullopt;
    QString address;
    bool seen = false;
    if (request.scheme == "http") {
        // Cut by the datagram rule itself: its GBK-aware cleaning and its reading of the
        // request line give the text the datagram rule gives for the same request.
        const std::optional<QByteArray> plain = ExtractRequestBytes(request.path, request.authority);
        if (!plain)
            return std::nullopt;
        if (justFiledByDatagramRule(*plain, request))
            return std::nullopt; // filed a moment ago with these very headers, and counted then
        address = fromGbk(*plain);
        seen = filedByDatagramRule(address);
    } else {
        address = fromGbk(request.address());
    }
    // Filed again when the datagram rule saw it too: a duplicate files nothing, but the
    // resource takes the newest headers, which the stream has whole.
    const RequestHeaders headers = RequestHeaders::captured(request.referer, request.cookie, request.userAgent);
    const FetchHints hints = FetchHints::captured(request.secFetchDest, request.range, request.accept);
    const Classification c = m_catalogue.FileCaptured(address, &headers, &hints);
    noteFull(c);
    m_lastFiling.valid = false;
    if (seen || !m_current)
        return c;
    ++m_current->requests;
    if (c.outcome == Classification::Filed) {
        ++m_current->filed;
        if (onFiled)
            onFiled({TrimBlanks(c.node->Link()), request.httpVersion, headers});
    }
    m_current->showHint = m_current->showHint || c.showHint;
    return c;
}

void CaptureRoad::rememberDatagramAddress(const QString &address)
{
    m_recent[m_recentNext] = address;
    m_recentHash[m_recentNext] = qHash(address);
    m_recentNext = (m_recentNext + 1) % kRecentAddresses;
}

bool CaptureRoad::filedByDatagramRule(const QString &address) const
{
    const size_t hash = qHash(address);
    for (int i = 0; i < kRecentAddresses; ++i) {
        if (m_recentHash[i] == hash && m_recent[i] == address)
            return true;
    }
    return false;
}

bool CaptureRoad::justFiledByDatagramRule(QByteArrayView address, const streams::StreamRequest &request) const
{
    if (!m_lastFiling.valid || !m_current)
        return false;
    // ASCII needs no decoding to compare.
    const bool same = isAscii(address) ? m_lastFiling.address == QLatin1StringView(address.data(), address.size())
                                       : m_lastFiling.address == fromGbk(address);
    return same && m_lastFiling.headers.sameAsCaptured(request.referer, request.cookie, request.userAgent);
}

void CaptureRoad::learnLocal(const IpAddress &address)
{
    if (m_everyAddressLocal || m_locals.size() >= kMaxLocals)
        return;
    if (std::find(m_locals.begin(), m_locals.end(), address) == m_locals.end())
        m_locals.push_back(address);
}

bool CaptureRoad::isLocal(const streams::Endpoint &end) const
{
    if (m_everyAddressLocal)
        return true;
    return std::any_of(m_locals.begin(), m_locals.end(), [&end](const IpAddress &local) {
        return (local.family == IpFamily::V6) == end.v6 && std::equal(end.address.begin(), end.address.end(), local.bytes.begin());
    });
}

void CaptureRoad::noteFull(const Classification &c)
{
    // Said once each time the tree becomes full; room made since lets it be said again.
    if (c.outcome == Classification::Filed)
        m_fullSaid = false;
    if (c.outcome != Classification::Full || m_fullSaid)
        return;
    m_fullSaid = true;
    if (onNotice)
        onNotice(m_catalogue.fullNotice());
}

void CaptureRoad::takeKeyLogWarning()
{
    const QString warning = m_keys.takeWarning();
    if (!warning.isEmpty() && onNotice)
        onNotice(warning);
}

void CaptureRoad::noteSuitesNotRead()
{
    const streams::StreamCounters counters = m_reader->counters();
    for (; m_suitesNotReadSaid < counters.suitesNotReadCount; ++m_suitesNotReadSaid) {
        if (onNotice)
            onNotice(kSuiteNotReadNotice + SuiteText(counters.suitesNotRead[m_suitesNotReadSaid]));
    }
}

streams::StreamCounters CaptureRoad::streamCounters() const
{
    return m_reader->counters();
}

} // namespace quorrel
