#include "streams/http_stream.h"

namespace quorrel::streams {

HttpStream::HttpStream(QByteArray scheme, QByteArray fallbackAuthority, const StreamLimits &limits,
                       std::function<void(StreamRequest &&)> onRequest, std::uint64_t *longAddresses)
    : m_limits(limits),
      m_onRequest(std::move(onRequest)),
      m_longAddresses(longAddresses),
      m_http1({std::move(scheme), std::move(fallbackAuthority)}, limits.headBytes, limits.addressBytes)
{
    m_http1.onRequest = m_onRequest;
    m_http1.longAddresses = longAddresses;
}

bool HttpStream::feed(Bytes bytes)
{
    if (m_http2)
        return m_http2->feed(bytes);
    const std::size_t taken = m_http1.feed(bytes);
    if (m_http1.end())
        return false;
    if (!m_http1.switchedToHttp2())
        return true;
    // The HTTP/1 reader stopped after "PRI * HTTP/2.0\r\n\r\n"; "SM\r\n\r\n" and the
    // frames follow.
    constexpr std::size_t kPrefaceHead = 18;
    m_http2 = std::make_unique<Http2Reader>(m_http1.origin(), m_limits, kPrefaceHead);
    m_http2->onRequest = m_onRequest;
    m_http2->longAddresses = m_longAddresses;
    return m_http2->feed(bytes.subspan(taken));
}

const ReadEnd &HttpStream::end() const
{
    return m_http2 ? m_http2->end() : m_http1.end();
}

std::size_t HttpStream::memory() const
{
    return sizeof(*this) + m_http1.memory() + (m_http2 ? sizeof(Http2Reader) + m_http2->memory() : 0);
}

} // namespace quorrel::streams
