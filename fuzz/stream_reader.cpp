// The stream reader fed TCP segments of a few connections, and the key log lines that open
// their TLS, in whatever order and shape the input gives. Each piece of the input is:
//
//   byte 0     what: bits 0-1 kind (0 a segment from the client, 1 from the server, 2 key
//              log text, 3 time passes), bits 2-3 the connection (0..3), bit 4 IPv6,
//              bit 5 ahead (sent one length past where the direction stands: a hole),
//              bit 6 again (sent one length before it: a copy of bytes sent already)
//   byte 1     TCP flags (segments)
//   bytes 2-3  length, big-endian: of the payload or the key log text that follows (cut
//              short where the input ends); for time passing, the tenths of a second that
//              pass, and nothing follows (the reader's expire() runs then)
//
// Each direction keeps its own sequence number: a SYN or a FIN takes one, a segment
// neither ahead nor again moves it past its payload; connection 3 starts just below 2^32
// so that its numbers wrap. Every segment comes a millisecond after the one before. At the
// end every flow ends (endAll). The reader's promises are checked: its memory stays below
// its bound after each piece (streams/stream_limits.h), its counts add up at the end.

#include "streams/key_log.h"
#include "streams/stream_reader.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstdio>

using namespace quorrel::streams;

namespace {

struct Direction {
    std::uint32_t next = 0;
};

Endpoint endpoint(bool v6, bool server, unsigned connection)
{
    Endpoint e;
    if (v6) {
        std::array<std::uint8_t, 16> bytes{0xfd, 0x00};
        bytes[15] = server ? 2 : 1;
        e.address = quorrel::IpAddress::v6(bytes);
    } else {
        e.address = quorrel::IpAddress::v4(server ? 0x0A000002 : 0x0A000001);
    }
    e.port = server ? (connection % 2 ? 80 : 443) : std::uint16_t(40000 + connection);
    return e;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    KeyLog keys;
    // Small bounds, so that the input reaches them: a full table, eviction, a flow over its
    // bound. Large enough for a real handshake and a whole largest TLS record.
    StreamLimits limits;
    limits.flowBytes = 40 * 1024;
    limits.serverBytes = 24 * 1024;
    limits.totalBytes = 160 * 1024;
    limits.maxFlows = 4;
    limits.maxRemembered = 4;
    limits.headBytes = 4096;
    limits.hpackTableBytes = 4096;
    StreamReader reader(keys, limits);
    std::uint64_t requests = 0;
    reader.onRequest = [&requests](const StreamRequest &) { ++requests; };
    reader.onNote = [](const FlowNote &note) {
        if (!note.reason)
            std::abort();
    };

    // [IPv6][connection][client, server]
    Direction directions[2][4][2];
    for (int v6 = 0; v6 < 2; ++v6)
        for (unsigned c = 0; c < 4; ++c) {
            directions[v6][c][0].next = c == 3 ? 0xFFFFFF00u : 1000u + c * 0x40000000u;
            directions[v6][c][1].next = 0x80000000u + c * 7919u;
        }

    std::int64_t nowMs = 1'700'000'000'000;
    std::size_t at = 0;
    while (size - at >= 4) {
        const std::uint8_t what = data[at];
        const std::uint8_t flags = data[at + 1];
        const std::size_t length = std::size_t(data[at + 2]) << 8 | data[at + 3];
        at += 4;
        const unsigned kind = what & 3;
        const std::size_t taken = kind == 3 ? 0 : std::min(length, size - at);
        const quorrel::Bytes bytes(reinterpret_cast<const std::byte *>(data + at), taken);
        at += taken;
        const unsigned connection = (what >> 2) & 3;
        const bool v6 = what & 0x10;
        if (kind == 2) {
            keys.addText(QByteArrayView(reinterpret_cast<const char *>(bytes.data()), qsizetype(bytes.size())));
        } else if (kind == 3) {
            nowMs += std::int64_t(length) * 100;
            reader.expire(nowMs);
        } else {
            const bool fromServer = kind == 1;
            Direction &d = directions[v6][connection][fromServer];
            TcpSegment segment;
            segment.source = endpoint(v6, fromServer, connection);
            segment.destination = endpoint(v6, !fromServer, connection);
            segment.flags = flags;
            segment.payload = bytes;
            segment.timeMs = ++nowMs;
            const auto n = std::uint32_t(taken);
            if (what & 0x20) {
                segment.seq = d.next + n;
            } else if (what & 0x40) {
                segment.seq = d.next - n;
            } else {
                segment.seq = d.next;
                d.next += n + ((flags & quorrel::kTcpSyn) ? 1 : 0) + ((flags & quorrel::kTcpFin) ? 1 : 0);
            }
            reader.feed(segment);
        }
        if (reader.memoryInUse() > limits.totalBytes) {
            std::fprintf(stderr, "the stream reader holds %zu bytes, over its bound of %zu\n", reader.memoryInUse(),
                         limits.totalBytes);
            std::abort();
        }
    }
    reader.endAll();
    // Every request is handed on and counted; a session is decrypted or without a secret,
    // never both.
    const StreamCounters counters = reader.counters();
    if (counters.requests != requests || reader.flowCount() != 0
        || counters.tlsDecrypted + counters.tlsWithoutSecret > counters.tlsStarted)
        std::abort();
    return 0;
}
