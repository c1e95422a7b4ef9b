// The two hellos of a TLS handshake taken apart (streams/tls_hello.h): the input is the
// body of a ClientHello, or, when byte 0 is odd, of a ServerHello.

#include "streams/tls_hello.h"

#include <cstdint>
#include <cstdlib>

using namespace quorrel::streams;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    const quorrel::Bytes body(reinterpret_cast<const std::byte *>(data + 1), size - 1);
    if (data[0] & 1) {
        (void)tls::parseServerHello(body);
    } else if (const std::optional<tls::ClientHelloInfo> hello = tls::parseClientHello(body)) {
        for (const char c : hello->serverName)
            if (c <= 0x20 || c >= 0x7F)
                std::abort(); // the server name is printable ASCII only
    }
    return 0;
}
