#pragma once
// The bytes of one QUIC stream, or of one CRYPTO stream, put back in order by their
// offsets (RFC 9000 2.2, 19.6, 19.8). Bytes that arrive in order go straight on without
// a copy; bytes ahead of a hole are held, bounded by the caller, until the hole fills.
// Where copies overlap, the first one to arrive wins: a byte once held or handed on is
// never replaced, and bytes before the next one expected are dropped as already seen.

#include "quic/quic_types.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace quorrel::quic {

class OffsetReassembler {
public:
    // Where the in-order bytes go; returns false when no more are wanted (the stream's
    // reader is done): nothing more is held or handed on from then on.
    using Sink = std::function<bool(Bytes)>;

    enum class Add {
        Ok,
        Overflow, // the bytes ahead of a hole would pass holdLimit: they are not held
        Done,     // the reader wants no more
    };
    Add add(std::uint64_t offset, Bytes data, std::size_t holdLimit, const Sink &sink);

    std::uint64_t next() const { return m_next; }
    bool done() const { return m_done; }
    // No more bytes are wanted; whatever is held goes.
    void finish();
    std::size_t heldBytes() const { return m_heldBytes; }
    std::size_t memory() const;

private:
    bool deliver(Bytes data, const Sink &sink);
    bool drain(const Sink &sink);

    std::uint64_t m_next = 0;
    bool m_done = false;
    // By offset; never overlapping, all past m_next. Made when a hole first opens: most
    // streams never have one.
    using Held = std::map<std::uint64_t, std::vector<std::byte>>;
    std::unique_ptr<Held> m_held;
    std::size_t m_heldBytes = 0;
};

} // namespace quorrel::quic
