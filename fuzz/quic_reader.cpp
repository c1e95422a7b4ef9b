// The QUIC reader fed UDP datagrams of a few clients and the key log lines that open their
// connections, in whatever order and shape the input gives. Each piece of the input is:
//
//   byte 0     what: bits 0-1 kind (0 a datagram from the client, 1 from the server, 2 key
//              log text, 3 time passes), bits 2-3 the client (0..3, each a port of its
//              own), bit 4 IPv6
//   bytes 1-2  length, big-endian: of the datagram or the key log text that follows (cut
//              short where the input ends); for time passing, the tenths of a second that
//              pass, and nothing follows (the reader's expire() runs then)
//
// Every datagram comes a millisecond after the one before. At the end every connection
// ends (endAll). The reader's promises are checked: its memory stays below its bound after
// each piece (quic/quic_limits.h), nothing is held once every connection has ended.

#include "quic/quic_reader.h"
#include "streams/key_log.h"

#include <cstdint>
#include <cstdlib>

using namespace quorrel;

namespace {

quic::Endpoint endpoint(bool v6, bool server, unsigned client)
{
    quic::Endpoint e;
    const std::uint8_t host = server ? 2 : 1;
    e.address = v6 ? IpAddress::v6({0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, host}) : IpAddress::v4(0x0a000000u | host);
    e.port = server ? 443 : std::uint16_t(40000 + client);
    return e;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    streams::KeyLog keys;
    quic::QuicLimits limits;
    // Small bounds, so that the fuzzer meets them.
    limits.totalBytes = 256 * 1024;
    limits.connectionBytes = 64 * 1024;
    limits.maxConnections = 3;
    std::uint64_t requests = 0;
    {
        quic::QuicReader reader(keys, limits);
        reader.onRequest = [&requests](const streams::StreamRequest &) { ++requests; };
        std::int64_t nowMs = 0;
        std::size_t at = 0;
        while (at + 3 <= size) {
            const std::uint8_t what = data[at];
            const std::size_t length = std::size_t(data[at + 1]) << 8 | data[at + 2];
            at += 3;
            const unsigned kind = what & 0x03;
            if (kind == 3) {
                nowMs += std::int64_t(length) * 100;
                reader.expire(nowMs);
                continue;
            }
            const std::size_t taken = length < size - at ? length : size - at;
            const Bytes bytes(reinterpret_cast<const std::byte *>(data + at), taken);
            at += taken;
            if (kind == 2) {
                keys.addText(QByteArrayView(reinterpret_cast<const char *>(bytes.data()), qsizetype(bytes.size())));
                continue;
            }
            const bool v6 = what & 0x10;
            const unsigned client = (what >> 2) & 0x03;
            const quic::Endpoint c = endpoint(v6, false, client);
            const quic::Endpoint s = endpoint(v6, true, client);
            ++nowMs;
            if (kind == 0)
                reader.feed({c, s, bytes, nowMs});
            else
                reader.feed({s, c, bytes, nowMs});
            if (reader.memoryInUse() > limits.totalBytes)
                std::abort();
        }
        reader.endAll();
        const quic::QuicCounters counters = reader.counters();
        if (reader.memoryInUse() != 0 || reader.connectionCount() != 0 || counters.requests != requests)
            std::abort();
    }
    return 0;
}
