#pragma once
// How long the event loop is kept from turning: a timer that wants to run every
// millisecond; the largest gap between two of its runs is the longest the loop was held up.

#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>

namespace quorrel::bench {

class StallProbe {
public:
    StallProbe()
    {
        m_tick.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_tick, &QTimer::timeout, [this] {
            m_longestNs = std::max(m_longestNs, m_sinceTick.nsecsElapsed());
            m_sinceTick.restart();
        });
    }

    // From inside the running loop.
    void start()
    {
        m_sinceTick.start();
        m_tick.start(1);
    }

    double longestMs() const { return double(m_longestNs) / 1e6; }

private:
    QTimer m_tick;
    QElapsedTimer m_sinceTick;
    qint64 m_longestNs = 0;
};

} // namespace quorrel::bench
