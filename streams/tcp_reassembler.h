#pragma once
// One direction of a TCP connection put back in order (RFC 9293, 3.4, 3.10.7.4).
// Sequence numbers compare by serial arithmetic (RFC 1982), so a stream may cross 2^32.
// Bytes that arrive in order go straight on without a copy; bytes ahead of a hole are
// held (bounded by the caller) until the hole fills. Where copies overlap, the first one
// to arrive wins: a byte once held or handed on is never replaced.

#include "streams/stream_types.h"

#include <QByteArray>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>

namespace quorrel::streams {

// Where a direction's in-order bytes go. bytes() returns false when the reader of this
// direction has ended: nothing more is handed on.
class ByteSink {
public:
    virtual bool bytes(Bytes bytes) = 0;

protected:
    ~ByteSink() = default;
};

class TcpReassembler {
public:
    bool started() const { return m_started; }
    // The stream's first byte has sequence number seq (after the SYN, or the first
    // payload seen of a connection the capture joined late).
    void start(std::uint32_t seq);
    // Back to not started, nothing held.
    void reset();

    enum class Add {
        Ok,       // handed on, or held (or held already)
        Stale,    // every byte was handed on before: a copy sent again, nothing new
        Overflow, // the bytes ahead of a hole would pass holdLimit: none of them is held
    };
    // A segment's payload at sequence number seq. In-order bytes go to sink, with any held
    // bytes they join up with; the rest is held.
    Add add(std::uint32_t seq, Bytes payload, std::size_t holdLimit, std::int64_t nowMs, ByteSink &sink);

    // Each piece held behind the hole, in stream order.
    template <class Visit>
    void forEachHeld(Visit visit) const
    {
        if (m_held)
            for (const auto &[offset, bytes] : *m_held)
                visit(viewOf(bytes));
    }

    // The FIN: the stream ends before sequence number endSeq.
    void finish(std::uint32_t endSeq);
    // Every byte before the FIN has been handed on.
    bool finished() const { return m_finSeen && m_next >= m_finOffset; }

    std::uint32_t nextSeq() const { return m_start + static_cast<std::uint32_t>(m_next); }
    bool hasHole() const { return m_held != nullptr; }
    // A segment at seq begins with bytes handed on before: a copy, at least in part.
    bool handedOn(std::uint32_t seq) const { return m_started && offsetOf(seq) < static_cast<std::int64_t>(m_next); }
    std::int64_t holeSinceMs() const { return m_holeSinceMs; }
    std::size_t heldBytes() const { return m_heldBytes; }
    std::size_t memory() const;

private:
    // The stream offset of sequence number seq, seen from the next byte expected.
    std::int64_t offsetOf(std::uint32_t seq) const;
    bool drain(ByteSink &sink);
    void releaseIfEmpty(); // no hole without a held byte

    bool m_started = false;
    std::uint32_t m_start = 0; // sequence number of offset 0
    std::uint64_t m_next = 0;  // offset of the next byte to hand on
    bool m_finSeen = false;
    std::uint64_t m_finOffset = 0;
    // By offset; never overlapping, all past m_next. Made when a hole opens and let go when
    // it closes: most streams never have one, and a map's own header is half the size of
    // the rest of this.
    using Held = std::map<std::uint64_t, QByteArray>;
    std::unique_ptr<Held> m_held;
    std::size_t m_heldBytes = 0;
    std::int64_t m_holeSinceMs = 0;
};

} // namespace quorrel::streams
