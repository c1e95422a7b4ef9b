#include "streams/tcp_reassembler.h"

#include <iterator>

namespace quorrel::streams {

namespace {
// What a held piece costs beside its bytes: a map node and a byte array's header.
constexpr std::size_t kHeldPieceCost = 96;
} // namespace

void TcpReassembler::start(std::uint32_t seq)
{
    reset();
    m_started = true;
    m_start = seq;
}

void TcpReassembler::reset()
{
    *this = TcpReassembler();
}

std::int64_t TcpReassembler::offsetOf(std::uint32_t seq) const
{
    // Serial arithmetic: the signed distance from the next expected sequence number.
    const auto delta = static_cast<std::int32_t>(seq - nextSeq());
    return static_cast<std::int64_t>(m_next) + delta;
}

TcpReassembler::Add TcpReassembler::add(std::uint32_t seq, Bytes payload, std::size_t holdLimit,
                                        std::int64_t nowMs, ByteSink &sink)
{
    if (!m_started || payload.empty())
        return Add::Ok;
    std::int64_t begin = offsetOf(seq);
    const std::int64_t end = begin + static_cast<std::int64_t>(payload.size());
    const auto next = static_cast<std::int64_t>(m_next);
    if (end <= next)
        return Add::Stale; // a copy of bytes already handed on
    if (begin < next) {
        payload = payload.subspan(static_cast<std::size_t>(next - begin));
        begin = next;
    }
    if (begin == next && !m_held) {
        m_next = static_cast<std::uint64_t>(end);
        sink.bytes(payload);
        return Add::Ok;
    }

    // Hold what no earlier copy holds already: the gaps between the pieces held, walked
    // twice, so that bytes over the bound are refused whole, never in part.
    if (!m_held)
        m_held = std::make_unique<Held>();
    Held &held = *m_held;
    const auto stop = static_cast<std::uint64_t>(end);
    const auto holdGaps = [&](auto &&gap) {
        auto pos = static_cast<std::uint64_t>(begin);
        auto it = held.upper_bound(pos);
        if (it != held.begin()) {
            const auto prev = std::prev(it);
            pos = std::max(pos, prev->first + static_cast<std::uint64_t>(prev->second.size()));
        }
        it = held.lower_bound(pos);
        while (pos < stop) {
            const std::uint64_t pieceEnd = it != held.end() && it->first < stop ? it->first : stop;
            if (pieceEnd > pos)
                gap(it, pos, pieceEnd);
            if (it == held.end() || it->first >= stop)
                break;
            pos = it->first + static_cast<std::uint64_t>(it->second.size());
            ++it;
        }
    };
    std::size_t adding = 0;
    holdGaps([&adding](Held::iterator, std::uint64_t from, std::uint64_t to) { adding += std::size_t(to - from); });
    if (m_heldBytes + adding > holdLimit) {
        releaseIfEmpty();
        return Add::Overflow;
    }
    if (held.empty() && adding > 0)
        m_holeSinceMs = nowMs;
    holdGaps([&](Held::iterator at, std::uint64_t from, std::uint64_t to) {
        const auto *bytes = reinterpret_cast<const char *>(payload.data()) + (from - static_cast<std::uint64_t>(begin));
        held.emplace_hint(at, from, QByteArray(bytes, static_cast<qsizetype>(to - from)));
    });
    m_heldBytes += adding;

    bool progressed = false;
    while (!held.empty() && held.begin()->first == m_next) {
        auto node = held.extract(held.begin());
        m_heldBytes -= static_cast<std::size_t>(node.mapped().size());
        m_next += static_cast<std::uint64_t>(node.mapped().size());
        progressed = true;
        if (!sink.bytes(viewOf(node.mapped()))) {
            releaseIfEmpty();
            return Add::Ok;
        }
    }
    if (progressed && !held.empty())
        m_holeSinceMs = nowMs; // the hole moved on: its wait starts again
    releaseIfEmpty();
    return Add::Ok;
}

void TcpReassembler::releaseIfEmpty()
{
    if (m_held && m_held->empty())
        m_held.reset();
}

void TcpReassembler::finish(std::uint32_t endSeq)
{
    if (!m_started || m_finSeen)
        return;
    m_finSeen = true;
    m_finOffset = static_cast<std::uint64_t>(std::max<std::int64_t>(offsetOf(endSeq), static_cast<std::int64_t>(m_next)));
}

std::size_t TcpReassembler::memory() const
{
    return m_held ? sizeof(Held) + m_heldBytes + m_held->size() * kHeldPieceCost : 0;
}

} // namespace quorrel::streams
