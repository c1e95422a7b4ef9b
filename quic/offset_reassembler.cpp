#include "quic/offset_reassembler.h"

#include <algorithm>

namespace quorrel::quic {

bool OffsetReassembler::deliver(Bytes data, const Sink &sink)
{
    m_next += data.size();
    if (!sink(data)) {
        finish();
        return false;
    }
    return true;
}

bool OffsetReassembler::drain(const Sink &sink)
{
    while (m_held && !m_held->empty()) {
        auto first = m_held->begin();
        if (first->first > m_next)
            break;
        // Held pieces never overlap, and every one lies past what was handed on when it
        // was held; what has been handed on since may cover part of it.
        std::vector<std::byte> piece = std::move(first->second);
        const std::uint64_t start = first->first;
        m_heldBytes -= piece.size();
        m_held->erase(first);
        const std::uint64_t skip = m_next - start;
        if (skip < piece.size() && !deliver(Bytes(piece).subspan(std::size_t(skip)), sink))
            return false;
    }
    if (m_held && m_held->empty())
        m_held.reset();
    return true;
}

OffsetReassembler::Add OffsetReassembler::add(std::uint64_t offset, Bytes data, std::size_t holdLimit,
                                              const Sink &sink)
{
    if (m_done)
        return Add::Done;
    const std::uint64_t end = offset + data.size(); // the frame readers check it does not pass 2^62
    if (end <= m_next)
        return Add::Ok; // seen already
    if (offset <= m_next) {
        if (!deliver(data.subspan(std::size_t(m_next - offset)), sink) || !drain(sink))
            return Add::Done;
        return Add::Ok;
    }
    // Ahead of a hole: hold what is not held yet, within the limit.
    if (!m_held)
        m_held = std::make_unique<Held>();
    std::vector<std::pair<std::uint64_t, Bytes>> gaps;
    std::uint64_t at = offset;
    auto it = m_held->upper_bound(offset);
    if (it != m_held->begin()) {
        const auto before = std::prev(it);
        at = std::max(at, before->first + before->second.size());
    }
    std::size_t adding = 0;
    for (; at < end; ++it) {
        const std::uint64_t gapEnd = it == m_held->end() ? end : std::min(end, it->first);
        if (gapEnd > at) {
            gaps.emplace_back(at, data.subspan(std::size_t(at - offset), std::size_t(gapEnd - at)));
            adding += std::size_t(gapEnd - at);
        }
        if (it == m_held->end())
            break;
        at = std::max(at, it->first + it->second.size());
    }
    if (m_heldBytes + adding > holdLimit) {
        if (m_held->empty())
            m_held.reset();
        return Add::Overflow;
    }
    for (const auto &[start, piece] : gaps)
        m_held->emplace(start, std::vector<std::byte>(piece.begin(), piece.end()));
    m_heldBytes += adding;
    return Add::Ok;
}

void OffsetReassembler::finish()
{
    m_done = true;
    m_held.reset();
    m_heldBytes = 0;
}

std::size_t OffsetReassembler::memory() const
{
    // A map node holds its key, a vector and the tree's links.
    constexpr std::size_t kNode = 64;
    return sizeof(*this) + (m_held ? sizeof(Held) + m_held->size() * kNode + m_heldBytes : 0);
}

} // namespace quorrel::quic
