// Stream reader benchmark: requests per second through StreamReader for HTTP/1.1
// keep-alive connections and HTTP/2 connections with many streams, all connections open
// at once and their segments interleaved as a capture sees them, the server's replies
// included (they must cost next to nothing); and the reader's peak memory. Then a table
// held full: 60,000 connections of one request each, none closed, and what one of them
// keeps (the heap's own count, and the reader's), the time of one tick (expire()) with
// them all held, and the cost of a segment with 10 and with 60,000 flows held. Measures
// and prints; it has no pass or fail.
//
//   bench_streams [CONNECTIONS [REQUESTS [HELD]]]   (default 200 x 100, and 60,000 held)

#include "streams/key_log.h"
#include "streams/stream_reader.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>

#include "http2_frames.h"

#include <algorithm>
#include <cstdio>
#include <malloc.h>
#include <cstdlib>
#include <vector>

using namespace quorrel;
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
    e.address = IpAddress::v4(0x0A010000u | std::uint32_t(host & 0xFFFF));
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
        out.push_back({k.client, k.server, k.cseq++, kTcpSyn, {}});
        out.push_back({k.server, k.client, k.sseq++, kTcpSyn | kTcpAck, {}});
        if (http2) {
            const QByteArray start = QByteArray("PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n")
                + frame(4, 0, 0, QByteArray::fromHex("000300000064000400a00000")) + frame(8, 0, 0, QByteArray::fromHex("3fff0001"));
            out.push_back({k.client, k.server, k.cseq, kTcpAck | kTcpPsh, start});
            k.cseq += std::uint32_t(start.size());
        }
    }
    for (int r = 0; r < requests; ++r) {
        for (int c = 0; c < connections; ++c) {
            Conn &k = conns[std::size_t(c)];
            QByteArray bytes = http2 ? frame(1, 0x5, std::uint32_t(1 + 2 * r), requestBlock(k.deflater, c, r)) : browserHead(c, r);
            for (qsizetype i = 0; i < bytes.size(); i += kMss) {
                const QByteArray piece = bytes.mid(i, kMss);
                out.push_back({k.client, k.server, k.cseq, kTcpAck | kTcpPsh, piece});
                k.cseq += std::uint32_t(piece.size());
            }
            for (int s = 0; s < replySegments; ++s) {
                out.push_back({k.server, k.client, k.sseq, kTcpAck, {}, kMss});
                k.sseq += kMss;
            }
            if (http2 && r % 10 == 9) {
                const QByteArray update = frame(8, 0, 0, QByteArray::fromHex("00100000"));
                out.push_back({k.client, k.server, k.cseq, kTcpAck, update});
                k.cseq += std::uint32_t(update.size());
            }
        }
    }
    for (Conn &k : conns)
        out.push_back({k.client, k.server, k.cseq, kTcpAck | kTcpFin, {}});
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
        s.payload = Bytes(reinterpret_cast<const std::byte *>(bytes.constData()), std::size_t(bytes.size()));
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

TcpSegment segmentOf(const Wire &w, std::int64_t timeMs)
{
    TcpSegment s;
    s.source = w.from;
    s.destination = w.to;
    s.seq = w.seq;
    s.flags = w.flags;
    const QByteArray &bytes = w.replyBytes ? kReply : w.payload;
    s.payload = Bytes(reinterpret_cast<const std::byte *>(bytes.constData()), std::size_t(bytes.size()));
    s.timeMs = timeMs;
    return s;
}

// One connection that sent one request and stays open, as a browser leaves many: its
// handshake, the request, one segment of the reply.
void oneRequestConnection(StreamReader &reader, int n, std::int64_t timeMs)
{
    const Endpoint client = endpoint(n % 60000, std::uint16_t(1024 + n / 60000));
    const Endpoint server = endpoint(61000 + n % 7, 80);
    const QByteArray head = browserHead(n, 0);
    for (const Wire &w : {Wire{client, server, 100, kTcpSyn, {}}, Wire{server, client, 500, kTcpSyn | kTcpAck, {}},
                          Wire{client, server, 101, kTcpAck | kTcpPsh, head}, Wire{server, client, 501, kTcpAck, {}, kMss}})
        reader.feed(segmentOf(w, timeMs));
}

// The cost of one segment of a keep-alive connection that goes on requesting, with held
// other flows in the table: microseconds per segment.
double segmentCost(StreamReader &reader, std::int64_t timeMs)
{
    const Endpoint client = endpoint(65000, 5000), server = endpoint(65001, 80);
    std::uint32_t seq = 1000;
    reader.feed(segmentOf({client, server, seq++, kTcpSyn, {}}, timeMs));
    QList<QByteArray> heads;
    for (int i = 0; i < 64; ++i)
        heads << browserHead(99999, i);
    constexpr int kRounds = 20000;
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < kRounds; ++i) {
        const QByteArray &head = heads[i % heads.size()];
        reader.feed(segmentOf({client, server, seq, kTcpAck | kTcpPsh, head}, timeMs));
        seq += std::uint32_t(head.size());
        reader.feed(segmentOf({server, client, std::uint32_t(i) * kMss, kTcpAck, {}, kMss}, timeMs));
    }
    return double(t.nsecsElapsed()) / 1e3 / (2 * kRounds);
}

void held(int count)
{
    KeyLog keys;
    StreamLimits limits;
    limits.maxFlows = std::max<std::size_t>(limits.maxFlows, std::size_t(count) + 16);
    std::printf("a table held full: %d connections of one request each, none closed\n", count);
    {
        StreamReader few(keys, limits);
        for (int n = 0; n < 10; ++n)
            oneRequestConnection(few, n, 0);
        std::printf("  a segment with 10 flows held: %.3f us\n", segmentCost(few, 0));
    }
    const std::size_t heapBefore = mallinfo2().uordblks;
    StreamReader reader(keys, limits);
    std::uint64_t got = 0;
    reader.onRequest = [&got](const StreamRequest &) { ++got; };
    QElapsedTimer t;
    t.start();
    for (int n = 0; n < count; ++n)
        oneRequestConnection(reader, n, n / 100);
    const double fill = double(t.nsecsElapsed()) / 1e9;
    const std::size_t heap = mallinfo2().uordblks - heapBefore;
    std::printf("  %llu requests read in %.3f s; %zu flows held\n", (unsigned long long)got, fill, reader.flowCount());
    std::printf("  one connection keeps %.0f bytes of heap (%.0f as the reader counts it); %.1f MiB in all\n",
                double(heap) / count, double(reader.memoryInUse()) / count, double(heap) / (1024 * 1024));
    // Ticks with nothing due, as the window makes four times a second: the best and the median.
    std::vector<double> ticks;
    std::int64_t now = count / 100 + 1;
    for (int i = 0; i < 200; ++i) {
        QElapsedTimer tick;
        tick.start();
        reader.expire(now);
        ticks.push_back(double(tick.nsecsElapsed()) / 1e3);
        now += 250;
    }
    std::sort(ticks.begin(), ticks.end());
    std::printf("  one tick (expire) with %zu flows held: median %.1f us, best %.1f us, worst %.1f us\n",
                reader.flowCount(), ticks[ticks.size() / 2], ticks.front(), ticks.back());
    std::printf("  a segment with %zu flows held: %.3f us\n", reader.flowCount(), segmentCost(reader, now));
}

} // namespace

int main(int argc, char **argv)
{
    const int connections = argc > 1 ? std::atoi(argv[1]) : 200;
    const int requests = argc > 2 ? std::atoi(argv[2]) : 100;
    const int heldCount = argc > 3 ? std::atoi(argv[3]) : 60000;
    if (connections <= 0 || requests <= 0 || heldCount <= 0) {
        std::fprintf(stderr, "usage: bench_streams [CONNECTIONS [REQUESTS [HELD]]]\n");
        return 2;
    }
    run("HTTP/1.1 keep-alive", false, connections, requests);
    run("HTTP/2", true, connections, requests);
    held(heldCount);
    std::printf("peak resident memory of the process (with the generated traffic): %ld KiB\n", peakResidentKiB());
    return 0;
}
