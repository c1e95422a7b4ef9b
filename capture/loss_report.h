#pragma once
// Datagrams the kernel dropped, told to the user in the log: one line at most once a
// minute, with the number lost since the line before. A line is written as soon as a loss
// is reported if the last one is a minute old; otherwise the losses wait for their minute.

#include <QString>
#include <cstdint>
#include <optional>

namespace quorrel {

QString LossLine(std::uint64_t lost);

class LossReport {
public:
    static constexpr std::int64_t kIntervalMs = 60'000;

    // n more datagrams lost at nowMs (a monotonic clock): the line to write now, if one
    // is due; otherwise they are held until dueAtMs().
    std::optional<QString> add(std::uint64_t n, std::int64_t nowMs);
    // The line for the losses held back, once their minute is up.
    std::optional<QString> flush(std::int64_t nowMs);
    // When the losses held back may be told; nothing when none are held.
    std::optional<std::int64_t> dueAtMs() const;

private:
    std::uint64_t m_held = 0;
    std::optional<std::int64_t> m_lastLineMs;
};

} // namespace quorrel
