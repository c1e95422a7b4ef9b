#include "capture/loss_report.h"

namespace quorrel {

QString LossLine(std::uint64_t lost)
{
    return QStringLiteral("%1个数据包因系统繁忙未能截获").arg(lost);
}

std::optional<QString> LossReport::add(std::uint64_t n, std::int64_t nowMs)
{
    m_held += n;
    return flush(nowMs);
}

std::optional<QString> LossReport::flush(std::int64_t nowMs)
{
    if (m_held == 0 || (m_lastLineMs && nowMs - *m_lastLineMs < kIntervalMs))
        return std::nullopt;
    const QString line = LossLine(m_held);
    m_held = 0;
    m_lastLineMs = nowMs;
    return line;
}

std::optional<std::int64_t> LossReport::dueAtMs() const
{
    if (m_held == 0)
        return std::nullopt;
    return m_lastLineMs ? *m_lastLineMs + kIntervalMs : 0;
}

} // namespace quorrel
