#include "downloads/progress_meter.h"

#include <algorithm>
#include <cmath>

namespace quorrel {

int TransferProgress::percent() const
{
    if (total <= 0)
        return -1;
    return int(std::clamp<qint64>(done * 100 / total, 0, 100));
}

qint64 TransferProgress::secondsLeft() const
{
    if (total <= 0 || perSecond <= 0)
        return -1;
    return qint64(std::ceil(double(std::max<qint64>(0, total - done)) / perSecond));
}

void ProgressMeter::start(qint64 from, qint64 total, bool byTime, qint64 nowMs)
{
    m_progress = {byTime, from, total, 0};
    m_samples.clear();
    m_samples.push_back({nowMs, from});
}

TransferProgress ProgressMeter::update(qint64 done, qint64 nowMs)
{
    m_progress.done = done;
    if (m_samples.empty() || nowMs - m_samples.back().ms >= 100)
        m_samples.push_back({nowMs, done});
    else
        m_samples.back().done = done; // the latest sample moves with the transfer
    // Only the window's samples count, and two at least.
    while (m_samples.size() > 2 && nowMs - m_samples.front().ms > kWindowMs)
        m_samples.pop_front();
    const Sample &first = m_samples.front();
    const qint64 span = nowMs - first.ms;
    m_progress.perSecond = span >= kKnownAfterMs ? double(done - first.done) * 1000.0 / double(span) : 0;
    return m_progress;
}

QString SizeText(qint64 bytes)
{
    if (bytes < 1024)
        return QStringLiteral("%1 B").arg(bytes);
    const char *const units[] = {"KB", "MB", "GB", "TB"};
    double value = double(bytes) / 1024;
    int unit = 0;
    while (value >= 1024 && unit < 3) {
        value /= 1024;
        ++unit;
    }
    // As few digits as tell the size: whole kilobytes, tenths of a megabyte, then hundredths.
    const int decimals = unit == 0 ? 0 : unit == 1 || value >= 10 ? 1 : 2;
    return QStringLiteral("%1 %2").arg(value, 0, 'f', decimals).arg(QLatin1String(units[unit]));
}

QString DurationText(qint64 seconds)
{
    seconds = std::max<qint64>(0, seconds);
    const qint64 h = seconds / 3600, m = seconds / 60 % 60, s = seconds % 60;
    if (h > 0)
        return QStringLiteral("%1:%2:%3").arg(h).arg(m, 2, 10, QLatin1Char('0')).arg(s, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2").arg(m).arg(s, 2, 10, QLatin1Char('0'));
}

QString ProgressText(const TransferProgress &p)
{
    QString text;
    if (p.byTime) {
        text = QStringLiteral("已复制 ") + DurationText(p.done / 1000000);
        if (p.total > 0)
            text += QStringLiteral(" / ") + DurationText(p.total / 1000000);
    } else {
        text = SizeText(p.done);
        if (p.total > 0)
            text += QStringLiteral(" / ") + SizeText(p.total);
        if (p.perSecond > 0)
            text += QStringLiteral("  ") + SizeText(qint64(p.perSecond)) + QStringLiteral("/秒");
    }
    if (const qint64 left = p.secondsLeft(); left >= 0)
        text += QStringLiteral("  剩余 ") + DurationText(left);
    return text;
}

} // namespace quorrel
