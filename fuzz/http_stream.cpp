// The HTTP readers of one client byte stream, plain or decrypted (streams/http_stream.h):
// HTTP/1.x requests, and HTTP/2 from its connection preface on. Byte 0 of the input sets
// the size of the pieces the stream comes in (1 to 255 bytes; 0: whole); the rest is the
// stream. A reading that ends says why.

#include "streams/http_stream.h"
#include "streams/stream_limits.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

using namespace quorrel::streams;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    const std::size_t piece = data[0] == 0 ? size : data[0];
    const quorrel::Bytes stream(reinterpret_cast<const std::byte *>(data + 1), size - 1);
    StreamLimits limits;
    limits.headBytes = 4096;
    limits.hpackTableBytes = 4096;
    std::size_t requests = 0;
    HttpStream http("http", "10.0.0.2", limits, [&requests](StreamRequest &&request) {
        if (request.method.isEmpty())
            std::abort();
        ++requests;
    });
    for (std::size_t at = 0; at < stream.size(); at += piece) {
        if (!http.feed(stream.subspan(at, std::min(piece, stream.size() - at)))) {
            if (!http.end() || !http.end().reason)
                std::abort();
            break;
        }
    }
    return 0;
}
