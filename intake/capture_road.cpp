#include "intake/capture_road.h"

#include "base/gbk_text.h"
#include "base/gydy.h"
#include "streams/stream_reader.h"

#include <QStringList>

#include <algorithm>

namespace quorrel {

namespace {

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
    : m_catalogue(catalogue), m_roads(m_keys, limits)
{
    m_roads.onFound = [this](const FoundRequest &request) {
        const Classification c = file(request);
        ++m_result.requests;
        if (c.outcome == Classification::Filed) {
            ++m_result.filed;
            if (onFiled)
                onFiled({TrimBlanks(c.node->Link()), request.httpVersion, request.headers});
        }
        m_result.showHint = m_result.showHint || c.showHint;
    };
}

// The reader goes before the key log: its TLS sessions forget their secrets there.
CaptureRoad::~CaptureRoad() = default;

CaptureRoad::Result CaptureRoad::taken()
{
    return std::exchange(m_result, Result());
}

CaptureRoad::Result CaptureRoad::deliver(const Datagram &datagram, std::int64_t nowMs)
{
    m_roads.datagram(datagram, nowMs);
    noteHttp3();
    return taken();
}

CaptureRoad::Result CaptureRoad::tick(std::int64_t nowMs)
{
    m_keys.poll(nowMs);
    takeKeyLogWarning();
    m_roads.tick(nowMs);
    noteHttp3(); // a QUIC connection that could not be read is told as it ends
    noteSuitesNotRead();
    return taken();
}

CaptureRoad::Result CaptureRoad::finish()
{
    m_keys.poll();
    takeKeyLogWarning();
    m_roads.finish();
    noteHttp3();
    noteSuitesNotRead();
    return taken();
}

Classification CaptureRoad::file(const FoundRequest &request)
{
    // A request filed again (the same address captured again) files nothing new, but the
    // resource takes the newest headers.
    const Classification c = m_catalogue.FileCaptured(fromGbk(request.address), &request.headers, &request.hints);
    noteFull(c);
    return c;
}

std::optional<Classification> CaptureRoad::fileStreamRequest(const streams::StreamRequest &request)
{
    const std::optional<FoundRequest> found = m_roads.fromStream(request);
    if (!found)
        return std::nullopt;
    return file(*found);
}

void CaptureRoad::noteHttp3()
{
    if (m_http3Said || !m_roads.sawHttp3())
        return;
    m_http3Said = true;
    if (onNotice)
        onNotice(kHttp3Notice);
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
    const streams::StreamCounters counters = m_roads.reader().counters();
    for (; m_suitesNotReadSaid < counters.suitesNotReadCount; ++m_suitesNotReadSaid) {
        if (onNotice)
            onNotice(kSuiteNotReadNotice + SuiteText(counters.suitesNotRead[m_suitesNotReadSaid]));
    }
}

std::vector<FollowedDirection> CaptureRoad::followedDirections(std::size_t maxCount) const
{
    std::vector<FollowedDirection> directions;
    m_roads.reader().forEachReadDirection([&](const streams::Endpoint &from, const streams::Endpoint &to, bool client) {
        if (directions.size() < maxCount)
            directions.push_back({from.address, from.port, to.address, to.port, client});
    });
    return directions;
}

streams::StreamCounters CaptureRoad::streamCounters() const
{
    return m_roads.reader().counters();
}

} // namespace quorrel
