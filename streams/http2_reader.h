#pragma once
// The requests of one HTTP/2 client stream (RFC 9113): the connection preface, then
// frames. Header blocks (HEADERS with its padding and priority, then CONTINUATION until
// END_HEADERS) are decoded as they arrive, piece by piece, so a frame is never stored
// whole; every other frame is stepped over by its length. Every header block goes
// through the connection's one HPACK inflater, requests or not, to keep its table right.

#include "streams/hpack_inflater.h"
#include "streams/read_end.h"
#include "streams/request_fields.h"
#include "streams/stream_limits.h"
#include "streams/stream_types.h"

#include <QByteArray>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace quorrel::streams {

class Http2Reader final : private HpackInflater::FieldSink {
public:
    // The scheme for a request without :scheme, the authority for one with neither
    // :authority nor Host.
    using Origin = RequestOrigin;

    // prefaceSeen: how many bytes of the connection preface were read already (an
    // HTTP/1 reader that met "PRI * HTTP/2.0\r\n\r\n" hands over after it).
    Http2Reader(Origin origin, const StreamLimits &limits, std::size_t prefaceSeen = 0);

    std::function<void(StreamRequest &&)> onRequest;
    // Counts each request dropped for its address (StreamLimits::addressBytes), when set.
    std::uint64_t *longAddresses = nullptr;

    // False once the reading has ended: end() says why.
    bool feed(Bytes bytes);

    const ReadEnd &end() const { return m_end; }
    std::size_t memory() const;

private:
    enum class State { Preface, FrameHeader, HeadersPrefix, Fragment, Skip, Ended };

    void frameHeader();
    void beginFragment(std::uint32_t length, std::uint32_t padding);
    void fragment(Bytes piece);
    void endBlock();
    bool field(std::string_view name, std::string_view value) override;
    void stop(ReadEnd::Kind kind, const char *reason);

    Origin m_origin;
    std::uint32_t m_maxFrameLength;
    std::size_t m_headBytes;
    std::size_t m_addressBytes;
    HpackInflater m_inflater;
    State m_state = State::Preface;
    std::size_t m_prefaceSeen;

    std::array<std::uint8_t, 9> m_header{}; // a frame header, or a HEADERS prefix, being gathered
    std::size_t m_headerFill = 0;
    std::size_t m_prefixNeed = 0;
    std::uint32_t m_frameLength = 0;
    std::uint8_t m_frameFlags = 0;
    std::uint64_t m_left = 0;          // bytes of the fragment, or of what is skipped
    std::uint32_t m_padding = 0;       // padding after the fragment

    // The header block being read.
    bool m_inBlock = false;
    bool m_blockEnds = false; // this frame's fragment is the block's last
    std::uint32_t m_blockStream = 0;
    std::size_t m_blockBytes = 0; // encoded
    RequestFieldList m_fields; // decoded, bounded as RFC 9113 6.5.2 counts a header list
    ReadEnd m_end;
};

} // namespace quorrel::streams
