#include "intake/live_intake.h"

#include "capture/flow_table.h"

#include <QTimer>

#include <algorithm>

namespace quorrel {

namespace {
// TLS records wait for their key log line, written as the browser opens the session: a
// quarter of a second keeps them waiting little, and a poll of the file costs a stat.
constexpr int kTickMs = 250;
} // namespace

LiveIntake::LiveIntake(CaptureRoad &road, QObject *parent)
    : QObject(parent), m_road(road), m_capture(new Tcap_ip(this)), m_tick(new QTimer(this)), m_lossTimer(new QTimer(this))
{
    m_clock.start();
    connect(m_capture, &Tcap_ip::OnCap, this, &LiveIntake::deliver);
    connect(m_capture, &Tcap_ip::OnDrop, this, &LiveIntake::lost);
    // A capture started again (a stop and a start, a helper started afresh) goes on with
    // the connections the readers read: a new helper would cut what it meets in their middle.
    m_capture->setFollowedSource([this] { return m_road.followedDirections(FlowTable::kMaxDirections); });
    m_tick->setObjectName(QStringLiteral("roadTimer"));
    connect(m_tick, &QTimer::timeout, this, [this] { take(m_road.tick(nowMs())); });
    m_tick->start(kTickMs);
    m_lossTimer->setSingleShot(true);
    connect(m_lossTimer, &QTimer::timeout, this, [this] {
        if (const std::optional<QString> line = m_losses.flush(nowMs()))
            emit lossLine(*line);
    });
}

LiveIntake::~LiveIntake() = default;

void LiveIntake::start()
{
    m_wanted = true;
    m_capture->StartCap();
    m_state = State::Listening;
}

void LiveIntake::pause()
{
    m_capture->PauseCap();
}

void LiveIntake::stop()
{
    m_wanted = false;
    m_capture->StopCap();
    m_state = State::Stopped;
}

void LiveIntake::deliver(const Datagram &datagram)
{
    ++m_counts.datagrams;
    if (!m_anyDatagram) {
        m_anyDatagram = true;
        emit firstDatagram();
    }
    take(m_road.deliver(datagram, nowMs()));
}

void LiveIntake::finish()
{
    m_tick->stop();
    take(m_road.finish());
}

void LiveIntake::take(const CaptureRoad::Result &result)
{
    m_counts.add(result);
    if (result.requests > 0 || result.showHint)
        emit found(result);
}

void LiveIntake::lost(quint64 count)
{
    if (const std::optional<QString> line = m_losses.add(count, nowMs()))
        emit lossLine(*line);
    else if (const std::optional<std::int64_t> due = m_losses.dueAtMs(); due && !m_lossTimer->isActive())
        m_lossTimer->start(int(std::max<std::int64_t>(0, *due - nowMs())));
}

} // namespace quorrel
