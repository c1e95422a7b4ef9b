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

QByteArray bytes(std::string_view s) { return QByteArray(s.data(), static_cast<qsizetype>(s.size())); }

// The method and scheme nearly every request has, as shared texts: two small copies a
// request otherwise.
QByteArray commonBytes(std::string_view s)
{
    static const QByteArray kGet = QByteArrayLiteral("GET");
    static const QByteArray kHttps = QByteArrayLiteral("https");
    static const QByteArray kHttp = QByteArrayLiteral("http");
    if (s == "GET")
        return kGet;
    if (s == "https")
        return kHttps;
    if (s == "http")
        return kHttp;
    return bytes(s);
}

} // namespace

Http2Reader::Http2Reader(Origin origin, const StreamLimits &limits, std::size_t prefaceSeen)
    : m_origin(std::move(origin)),
      m_maxFrameLength(limits.maxFrameLength),
      m_headBytes(limits.headBytes),
      m_addressBytes(limits.addressBytes),
      m_inflater(limits.hpackTableBytes),
      m_prefaceSeen(std::min(prefaceSeen, kPreface.size()))
{
    if (m_inflater.error())
        stop(ReadEnd::Protocol, m_inflater.error());
}

void Http2Reader::stop(ReadEnd::Kind kind, const char *reason)
{
    m_state = State::Ended;
    m_end = {kind, reason};
    m_request = {};
}

std::size_t Http2Reader::memory() const
{
    return m_inflater.memory()
        + static_cast<std::size_t>(m_request.method.capacity() + m_request.scheme.capacity()
                                   + m_request.authority.capacity() + m_request.path.capacity()
                                   + m_request.referer.capacity() + m_request.cookie.capacity()
                                   + m_request.userAgent.capacity() + m_request.secFetchDest.capacity()
                                   + m_request.range.capacity() + m_request.accept.capacity());
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
        m_listBytes = 0;
        m_listTooLong = false;
        m_malformed = false;
        m_addressTooLong = false;
        m_request = {};
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
        if (m_listTooLong)
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
    m_listBytes += name.size() + value.size() + 32;
    if (m_listBytes > m_headBytes) {
        m_listTooLong = true;
        return false;
    }
    // No field may hold NUL, CR or LF (RFC 9113, 8.2.1): such a request is malformed, and
    // its address would carry a line break into the list.
    const auto breaks = [](std::string_view s) {
        return std::any_of(s.begin(), s.end(), [](char c) { return c == '\0' || c == '\r' || c == '\n'; });
    };
    if (breaks(name) || breaks(value)) {
        m_malformed = true;
        return true;
    }
    // A value stored once in the HPACK table comes back with every request that names it:
    // one too long for an address is not copied again and again.
    if ((name == ":authority" || name == ":path" || name == "host") && value.size() > m_addressBytes) {
        m_addressTooLong = true;
        return true;
    }
    if (name == ":method") {
        m_request.method = commonBytes(value);
    } else if (name == ":scheme") {
        m_request.scheme = commonBytes(value);
    } else if (name == ":authority") {
        m_request.authority = bytes(value);
    } else if (name == ":path") {
        m_request.path = bytes(value);
    } else if (name == "host") {
        if (m_request.authority.isEmpty())
            m_request.authority = bytes(value); // :authority, when it comes, wins
    } else if (name == "referer") {
        m_request.referer = bytes(value);
    } else if (name == "cookie") {
        // A cookie may be split into crumbs; they join with "; " (RFC 9113, 8.2.3).
        if (!m_request.cookie.isEmpty())
            m_request.cookie += "; ";
        m_request.cookie += bytes(value);
    } else if (name == "user-agent") {
        m_request.userAgent = bytes(value);
    } else if (name == "sec-fetch-dest") {
        m_request.secFetchDest = bytes(value);
    } else if (name == "range") {
        m_request.range = bytes(value);
    } else if (name == "accept") {
        m_request.accept = bytes(value);
    }
    return true;
}

void Http2Reader::endBlock()
{
    m_inBlock = false;
    StreamRequest request = std::move(m_request);
    m_request = {};
    if (request.method.isEmpty() || m_malformed)
        return; // trailers, not a request; or a malformed one
    request.httpVersion = QByteArrayLiteral("HTTP/2");
    if (request.scheme.isEmpty())
        request.scheme = m_origin.scheme;
    if (request.authority.isEmpty() && !m_addressTooLong)
        request.authority = m_origin.fallbackAuthority;
    if (m_addressTooLong || std::size_t(request.authority.size() + request.path.size()) > m_addressBytes) {
        if (longAddresses)
            ++*longAddresses;
        return;
    }
    if (onRequest)
        onRequest(std::move(request));
}

} // namespace quorrel::streams
