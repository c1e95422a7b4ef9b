// Stream reader benchmark: requests per second through StreamReader for HTTP/1.1
// keep-alive connections and HTTP/2 connections with many streams, all connections open
// at once and their segments interleaved as a capture sees them, the server's replies
// included (they must cost next to nothing); and the reader's peak memory. Measures and
// prints; it has no pass or fail.
//
//   bench_streams [CONNECTIONS [REQUESTS]]   (default 200 connections x 100 requests each)

#include "streams/key_log.h"
#include "streams/stream_reader.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>

#include "http2_frames.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

using namespace quorrel::streams;
using quorrel::test::Deflater;
using quorrel::test::frame;

namespace {

constexpr int kMss = 1448;

struct Wire {
    Endpoint from, to;
    std::uint32_t seq;
    std::uint8_t flags;
    QByteArray payload; // empty for the server's replies: they point at kReply
    int replyBytes = 0;
};

const QByteArray kReply(kMss, 'r');

Endpoint endpoint(int host, std::uint16_t port)
{
    Endpoint e;
    e.address = {10, 1, std::uint8_t(host >> 8), std::uint8_t(host)};
    e.port = port;
    return e;
}

QByteArray browserHead(int conn, int i)
{
    return "GET /media/" + QByteArray::number(conn) + "/clip" + QByteArray::number(i) + ".mp4?token=abcdef0123456789 HTTP/1.1\r\n"
           "Host: cdn" + QByteArray::number(conn % 8) + ".example.test\r\n"
           "User-Agent: Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0.0.0 Safari/537.36\r\n"
           "Accept: */*\r\nAccept-Language: en-US,en;q=0.9\r\nAccept-Encoding: identity;q=1, *;q=0\r\n"
           "Referer: https://www.example.test/watch?v=" + QByteArray::number(i) + "\r\n"
           "Cookie: session=0123456789abcdef0123456789abcdef; prefs=dark; consent=yes\r\n"
           "Range: bytes=0-\r\n\r\n";
}

// A browser's request on connection conn, number i, as an HTTP/2 header block.
QByteArray requestBlock(Deflater &deflater, int conn, int i)
{
    const QByteArray path = "/media/" + QByteArray::number(conn) + "/clip" + QByteArray::number(i) + ".mp4?token=abcdef0123456789";
    const QByteArray authority = "cdn" + QByteArray::number(conn % 8) + ".example.test";
    const QByteArray referer = "https://www.example.test/watch?v=" + QByteArray::number(i);
    return deflater.block(
        {{":method", "GET"}, {":authority", authority}, {":scheme", "https"}, {":path", path},
         {"user-agent", "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0.0.0 Safari/537.36"},
         {"accept", "*/*"}, {"accept-language", "en-US,en;q=0.9"}, {"referer", referer},
         {"cookie", "session=0123456789abcdef0123456789abcdef"}, {"cookie", "prefs=dark"}, {"range", "bytes=0-"}});
}

// All connections open at once; round r sends each connection's request r, then the
// server's reply to it (replySegments full segments).
std::vector<Wire> traffic(bool http2, int connections, int requests, int replySegments)
{
    std::vector<Wire> out;
    struct Conn {
        Endpoint client, server;
        std::uint32_t cseq, sseq;
        Deflater deflater{4096};
    };
    std::vector<Conn> conns(static_cast<std::size_t>(connections));
    for (int c = 0; c < connections; ++c) {
        Conn &k = conns[std::size_t(c)];
        k.client = endpoint(c, std::uint16_t(40000 + c % 20000));
        k.server = endpoint(60000, 80);
        k.cseq = 1000u * std::uint32_t(c);
        k.sseq = 7u * std::uint32_t(c);
        out.push_back({k.client, k.server, k.cseq++, kSyn, {}});
        out.push_back({k.server, k.client, k.sseq++, kSyn | kAck, {}});
        if (http2) {
            const QByteArray start = QByteArray("PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n")
                + frame(4, 0, 0, QByteArray::fromHex("000300000064000400a00000")) + frame(8, 0, 0, QByteArray::fromHex("3fff0001"));
            out.push_back({k.client, k.server, k.cseq, kAck | kPsh, start});
            k.cseq += std::uint32_t(start.size());
        }
    }
    for (int r = 0; r < requests; ++r) {
        for (int c = 0; c < connections; ++c) {
            Conn &k = conns[std::size_t(c)];
            QByteArray bytes = http2 ? frame(1, 0x5, std::uint32_t(1 + 2 * r), requestBlock(k.deflater, c, r)) : browserHead(c, r);
            for (qsizetype i = 0; i < bytes.size(); i += kMss) {
                const QByteArray piece = bytes.mid(i, kMss);
                out.push_back({k.client, k.server, k.cseq, kAck | kPsh, piece});
                k.cseq += std::uint32_t(piece.size());
            }
            for (int s = 0; s < replySegments; ++s) {
                out.push_back({k.server, k.client, k.sseq, kAck, {}, kMss});
                k.sseq += kMss;
            }
            if (http2 && r % 10 == 9) {
                const QByteArray update = frame(8, 0, 0, QByteArray::fromHex("00100000"));
                out.push_back({k.client, k.server, k.cseq, kAck, update});
                k.cseq += std::uint32_t(update.size());
            }
        }
    }
    for (Conn &k : conns)
        out.push_back({k.client, k.server, k.cseq, kAck | kFin, {}});
    return out;
}

long peakResidentKiB()
{
    long kib = 0;
    if (FILE *f = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, f))
            if (std::sscanf(line, "VmHWM: %ld", &kib) == 1)
                break;
        std::fclose(f);
    }
    return kib;
}

void run(const char *name, bool http2, int connections, int requests)
{
    const int replySegments = 4;
    const std::vector<Wire> wire = traffic(http2, connections, requests, replySegments);
    KeyLog keys;
    StreamReader reader(keys);
    std::uint64_t got = 0;
    reader.onRequest = [&got](const StreamRequest &) { ++got; };
    std::int64_t now = 0;
    QElapsedTimer t;
    t.start();
    for (const Wire &w : wire) {
        TcpSegment s;
        s.source = w.from;
        s.destination = w.to;
        s.seq = w.seq;
        s.flags = w.flags;
        const QByteArray &bytes = w.replyBytes ? kReply : w.payload;
        s.payload = ByteView(reinterpret_cast<const std::byte *>(bytes.constData()), std::size_t(bytes.size()));
        s.timeMs = now++ / 100; // about 100 segments a millisecond
        reader.feed(s);
    }
    const double seconds = double(t.nsecsElapsed()) / 1e9;
    const StreamCounters c = reader.counters();
    std::printf("%s: %d connections x %d requests, %zu segments (%d reply segments per request)\n", name, connections,
                requests, wire.size(), replySegments);
    std::printf("  %llu requests read in %.3f s: %.0f requests/s, %.0f segments/s\n", (unsigned long long)got, seconds,
                double(got) / seconds, double(wire.size()) / seconds);
    std::printf("  reader memory: peak %.1f KiB (%.0f bytes per connection), %zu KiB at the end, %zu flows left\n",
                double(c.peakMemory) / 1024, double(c.peakMemory) / connections, c.memoryInUse / 1024,
                reader.flowCount());
    if (got != std::uint64_t(connections) * std::uint64_t(requests))
        std::printf("  MISSED %llu requests\n", (unsigned long long)(std::uint64_t(connections) * requests - got));
}

} // namespace

int main(int argc, char **argv)
{
    const int connections = argc > 1 ? std::atoi(argv[1]) : 200;
    const int requests = argc > 2 ? std::atoi(argv[2]) : 100;
    if (connections <= 0 || requests <= 0) {
        std::fprintf(stderr, "usage: bench_streams [CONNECTIONS [REQUESTS]]\n");
        return 2;
    }
    run("HTTP/1.1 keep-alive", false, connections, requests);
    run("HTTP/2", true, connections, requests);
    std::printf("peak resident memory of the process (with the generated traffic): %ld KiB\n", peakResidentKiB());
    return 0;
}
