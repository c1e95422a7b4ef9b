#pragma once
// What the first bytes a client sends on a connection say it speaks: an HTTP/1 request
// line (or the HTTP/2 preface, which looks like one), a TLS ClientHello, or neither.
// Anything else is not read at all.

#include "streams/stream_types.h"

#include <cstddef>

namespace quorrel::streams {

enum class StreamStart {
    NeedMore, // too few bytes to say yet
    Http,     // a method token, a space, the start of a request target (RFC 9112, 3)
    TlsClientHello, // a handshake record holding a ClientHello (RFC 8446, 5.1 and 4)
    Neither,
};

// Never needs more than this many bytes to decide.
inline constexpr std::size_t kStreamStartBytes = 24;

StreamStart ClassifyStreamStart(Bytes first);

} // namespace quorrel::streams
