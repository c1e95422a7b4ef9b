#include "streams/http2_reader.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace quorrel::streams {

namespace {

constexpr std::string_view kPreface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";

// Frame types and flags (RFC 9113, 6).
constexpr std::uint8_t kHeaders = 0x1;
constexpr std::uint8_t kPushPromise = 0x5;
constexpr std::uint8_t kContinuation = 0x9;
constexpr std::uint8_t kEndHeaders = 0x4;
constexpr std::uint8_t kPadded = 0x8;
constexpr std::uint8_t kPriority = 0x20;

} // namespace

Http2Reader::Http2Reader(Origin origin, const StreamLimits &limits, std::size_t prefaceSeen)
    : m_origin(std::move(origin)),
      m_maxFrameLength(limits.maxFrameLength),
      m_headBytes(limits.headBytes),
      m_addressBytes(limits.addressBytes),
      m_inflater(limits.hpackTableBytes),
      m_prefaceSeen(std::min(prefaceSeen, kPreface.size())),
      m_fields(limits.headBytes, limits.addressBytes)
{
    if (m_inflater.error())
        stop(ReadEnd::Protocol, m_inflater.error());
}

void Http2Reader::stop(ReadEnd::Kind kind, const char *reason)
{
    m_state = State::Ended;
    m_end = {kind, reason};
    m_fields.clear();
}

std::size_t Http2Reader::memory() const
{
    return m_inflater.memory() + m_fields.memory();
}

bool Http2Reader::feed(Bytes input)
{
    std::size_t i = 0;
    const std::size_t n = input.size();
    auto byteAt = [&input](std::size_t k) { return static_cast<std::uint8_t>(input[k]); };
    while (i < n && m_state != State::Ended) {
        switch (m_state) {
        case State::Preface:
            if (byteAt(i) != static_cast<std::uint8_t>(kPreface[m_prefaceSeen])) {
                stop(ReadEnd::Protocol, "a broken HTTP/2 preface");
                break;
            }
            ++i;
            if (++m_prefaceSeen == kPreface.size())
                m_state = State::FrameHeader;
            break;
        case State::FrameHeader:
        case State::HeadersPrefix: {
            const std::size_t need = m_state == State::FrameHeader ? 9 : m_prefixNeed;
            const std::size_t take = std::min(need - m_headerFill, n - i);
            std::memcpy(m_header.data() + m_headerFill, input.data() + i, take);
            m_headerFill += take;
            i += take;
            if (m_headerFill < need)
                break;
            m_headerFill = 0;
            if (m_state == State::FrameHeader) {
                frameHeader();
            } else {
                // Pad Length, then (PRIORITY) the dependency and weight, not needed here.
                const std::uint32_t padding = m_frameFlags & kPadded ? m_header[0] : 0;
                const std::uint32_t rest = m_frameLength - static_cast<std::uint32_t>(m_prefixNeed);
                if (padding > rest)
                    stop(ReadEnd::Protocol, "HTTP/2 padding longer than its frame");
                else
                    beginFragment(rest - padding, padding);
            }
            break;
        }
        case State::Fragment: {
            const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(m_left, n - i));
            m_left -= take;
            fragment(input.subspan(i, take));
            i += take;
            break;
        }
        case State::Skip: {
            const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(m_left, n - i));
            m_left -= take;
            i += take;
            if (m_left == 0)
                m_state = State::FrameHeader;
            break;
        }
        case State::Ended:
            break;
        }
    }
    return m_state != State::Ended;
}

void Http2Reader::frameHeader()
{
    const std::uint32_t length = std::uint32_t{m_header[0]} << 16 | std::uint32_t{m_header[1]} << 8 | m_header[2];
    const std::uint8_t type = m_header[3];
    const std::uint8_t flags = m_header[4];
    const std::uint32_t stream = (std::uint32_t{m_header[5]} << 24 | std::uint32_t{m_header[6]} << 16
                                  | std::uint32_t{m_header[7]} << 8 | m_header[8])
        & 0x7fffffffu;
    if (length > m_maxFrameLength) {
        stop(ReadEnd::Oversize, "an HTTP/2 frame over its bound");
        return;
    }
    if (m_inBlock && (type != kContinuation || stream != m_blockStream)) {
        // RFC 9113, 6.10: nothing may come between the frames of one header block.
        stop(ReadEnd::Protocol, "an HTTP/2 header block interrupted");
        return;
    }
    m_frameLength = length;
    m_frameFlags = flags;
    switch (type) {
    case kHeaders:
        if (stream == 0) {
            stop(ReadEnd::Protocol, "HTTP/2 HEADERS on stream 0");
            return;
        }
        m_prefixNeed = (flags & kPadded ? 1 : 0) + (flags & kPriority ? 5 : 0);
        if (length < m_prefixNeed) {
            stop(ReadEnd::Protocol, "an HTTP/2 HEADERS frame shorter than its fields");
            return;
        }
        m_inBlock = true;
        m_blockStream = stream;
        m_blockBytes = 0;
        m_fields.clear();
        m_blockEnds = flags & kEndHeaders;
        if (m_prefixNeed > 0)
            m_state = State::HeadersPrefix;
        else
            beginFragment(length, 0);
        return;
    case kContinuation:
        if (!m_inBlock) {
            stop(ReadEnd::Protocol, "an HTTP/2 CONTINUATION without its HEADERS");
            return;
        }
        m_blockEnds = flags & kEndHeaders;
        beginFragment(length, 0);
        return;
    case kPushPromise:
        stop(ReadEnd::Protocol, "HTTP/2 PUSH_PROMISE from a client");
        return;
    default:
        m_left = length;
        m_state = length > 0 ? State::Skip : State::FrameHeader;
        return;
    }
}

void Http2Reader::beginFragment(std::uint32_t length, std::uint32_t padding)
{
    m_blockBytes += length;
    if (m_blockBytes > m_headBytes) {
        stop(ReadEnd::Oversize, "an HTTP/2 header block over its bound");
        return;
    }
    m_left = length;
    m_padding = padding;
    m_state = State::Fragment;
    if (length == 0)
        fragment({}); // an empty fragment may still end the block
}

void Http2Reader::fragment(Bytes piece)
{
    const bool last = m_left == 0;
    if (!m_inflater.inflate(piece, last && m_blockEnds, *this)) {
        if (m_fields.tooLong())
            stop(ReadEnd::Oversize, "an HTTP/2 header list over its bound");
        else
            stop(ReadEnd::Protocol, m_inflater.error());
        return;
    }
    if (!last)
        return;
    if (m_blockEnds)
        endBlock();
    m_left = m_padding;
    m_state = m_padding > 0 ? State::Skip : State::FrameHeader;
}

bool Http2Reader::field(std::string_view name, std::string_view value)
{
    return m_fields.add(name, value);
}

void Http2Reader::endBlock()
{
    m_inBlock = false;
    const bool malformed = m_fields.malformed();
    const bool addressTooLong = m_fields.addressTooLong();
    StreamRequest request = m_fields.take();
    if (request.method.isEmpty() || malformed)
        return; // trailers, not a request; or a malformed one
    request.httpVersion = QByteArrayLiteral("HTTP/2");
    if (request.scheme.isEmpty())
        request.scheme = m_origin.scheme;
    if (request.authority.isEmpty() && !addressTooLong)
        request.authority = m_origin.fallbackAuthority;
    if (addressTooLong || std::size_t(request.authority.size() + request.path.size()) > m_addressBytes) {
        if (longAddresses)
            ++*longAddresses;
        return;
    }
    if (onRequest)
        onRequest(std::move(request));
}

} // namespace quorrel::streams
