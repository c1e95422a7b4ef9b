// The unencrypted start of a TLS connection as the TLS reader cuts it: records out of the
// client's byte stream (streams/tls_records.h), the handshake messages of its handshake
// records (streams/tls_hello.h), and a ClientHello or ServerHello among them taken apart.
// Byte 0 of the input sets the size of the pieces the stream comes in (1 to 255 bytes;
// 0: whole) and, by its lowest bit, the record limit of TLS 1.3 instead of TLS 1.2.

#include "streams/tls_hello.h"
#include "streams/tls_records.h"

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
    tls::RecordFramer framer;
    const std::size_t maxLength = data[0] & 1 ? tls::kMaxCiphertextTls13 : tls::kMaxCiphertextTls12;
    framer.setMaxLength(maxLength);
    tls::HandshakeReader handshake(64 * 1024);
    const auto take = [&](const tls::Record &record) {
        if (record.header.size() != tls::kRecordHeaderSize || record.body.size() > maxLength)
            std::abort();
        if (record.type != tls::kHandshake)
            return record.type != tls::kAlert;
        handshake.append(record.body);
        while (const std::optional<tls::HandshakeReader::Message> message = handshake.next()) {
            if (message->type == tls::kClientHello)
                (void)tls::parseClientHello(message->body);
            else if (message->type == tls::kServerHello)
                (void)tls::parseServerHello(message->body);
        }
        return !handshake.failed();
    };
    for (std::size_t at = 0; at < stream.size(); at += piece) {
        const tls::RecordFramer::Result result = framer.feed(stream.subspan(at, std::min(piece, stream.size() - at)), take);
        if (result != tls::RecordFramer::Result::Ok)
            break;
        if (framer.buffered() > tls::kRecordHeaderSize + maxLength)
            std::abort();
    }
    return 0;
}
