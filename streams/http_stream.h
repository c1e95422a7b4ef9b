#pragma once
// The requests of one client byte stream, plain or decrypted: HTTP/1.x until the
// HTTP/2 connection preface, HTTP/2 from there (prior knowledge, an "Upgrade: h2c", or
// a TLS connection that negotiated h2: the preface is what tells, since the negotiated
// protocol travels in the server's encrypted reply).

#include "streams/http1_reader.h"
#include "streams/http2_reader.h"
#include "streams/read_end.h"
#include "streams/stream_limits.h"

#include <functional>
#include <memory>

namespace quorrel::streams {

class HttpStream {
public:
    // longAddresses counts the requests dropped for their address (StreamLimits::addressBytes).
    HttpStream(QByteArray scheme, QByteArray fallbackAuthority, const StreamLimits &limits,
               std::function<void(StreamRequest &&)> onRequest, std::uint64_t *longAddresses = nullptr);

    // False once the reading has ended: end() says why.
    bool feed(Bytes bytes);
    const ReadEnd &end() const;
    // An HTTP/1 request head that has not ended yet; nothing once HTTP/2 reads the stream.
    Bytes pendingHead() const { return m_http2 ? Bytes() : m_http1.pendingHead(); }
    std::size_t memory() const;

private:
    const StreamLimits &m_limits;
    std::function<void(StreamRequest &&)> m_onRequest;
    std::uint64_t *m_longAddresses;
    Http1Reader m_http1;
    std::unique_ptr<Http2Reader> m_http2;
};

} // namespace quorrel::streams
