// The QUIC reader's speed and memory: CONNECTIONS connections of Chromium's shape (an
// Initial with the ClientHello, then 1-RTT packets each carrying one request of a QPACK
// field section), all open at once, their key log read first. Prints the requests read
// per second, the datagrams per second, and the reader's memory as it counts it, at its
// peak and per connection.
//
//   bench_quic [CONNECTIONS [REQUESTS]]   (default 200 connections of 20 requests)

#include "quic/quic_reader.h"
#include "streams/key_log.h"

#include <QByteArray>
#include <QElapsedTimer>

#include "quic_packets.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

using namespace quorrel;
using namespace quorrel::test::quicpackets;

namespace {

struct Datagram {
    quic::Endpoint from, to;
    QByteArray bytes;
};

} // namespace

int main(int argc, char **argv)
{
    const int connections = argc > 1 ? std::atoi(argv[1]) : 200;
    const int requests = argc > 2 ? std::atoi(argv[2]) : 20;
    if (connections <= 0 || connections > 60000 || requests <= 0) {
        std::fprintf(stderr, "usage: bench_quic [CONNECTIONS [REQUESTS]]\n");
        return 2;
    }
    const quic::QuicVersion &v1 = *quic::findVersion(quic::kVersion1);
    const quic::CipherSuite &suite = *quic::findSuite(0x1301);
    QByteArray keyLog;
    std::vector<Datagram> traffic;
    for (int c = 0; c < connections; ++c) {
        QByteArray random = QByteArray::number(c).rightJustified(32, '0');
        // RFC 9001 A.2's ClientHello, its random (bytes 10 to 42 of the frame) changed per
        // connection.
        QByteArray hello = hex(kRfcCryptoFrame);
        hello.replace(10, 32, random);
        const QByteArray dcid = QByteArray("\x83\x94\xc8\xf0", 4) + QByteArray::number(c).rightJustified(4, '0');
        const QByteArray secret = QByteArray::number(c).rightJustified(32, 's');
        keyLog += "CLIENT_TRAFFIC_SECRET_0 " + random.toHex() + ' ' + secret.toHex() + '\n';
        quic::Endpoint client, server;
        client.address = IpAddress::v4(0x0a000000u | std::uint32_t(c));
        client.port = std::uint16_t(40000 + c % 20000);
        server.address = IpAddress::v4(0x0a090909u);
        server.port = 443;
        traffic.push_back({client, server, longPacket(initialKeysOf(v1, dcid, true), v1, quic::PacketType::Initial, dcid, {},
                                                      0, padded(hello, 1162))});
        const Keys k = keysOf(v1, suite, secret);
        QpackEncoder qpack(0);
        QByteArray unused;
        for (int r = 0; r < requests; ++r) {
            const QByteArray path = "/video/segment-" + QByteArray::number(r) + ".m4s?range=0-1048575&session=abcdef0123456789";
            const Fields fields{{":method", "GET"}, {":scheme", "https"}, {":authority", "media.example.com"},
                                {":path", path}, {"user-agent", "Mozilla/5.0 (X11; Linux x86_64) Chrome/120.0 Safari/537.36"},
                                {"referer", "https://www.example.com/watch?v=0123456789"}, {"cookie", "id=0123456789abcdef"}};
            const QByteArray frame = h3Frame(1, qpack.encode(4 * r, fields, unused));
            traffic.push_back({client, server, shortPacket(k, dcid, std::uint64_t(r), streamFrame(std::uint64_t(4 * r), 0, frame, true))});
        }
    }
    // One request of every connection in turn, as the connections run at once.
    std::vector<const Datagram *> order;
    for (int c = 0; c < connections; ++c)
        order.push_back(&traffic[std::size_t(c) * std::size_t(requests + 1)]);
    for (int r = 0; r < requests; ++r)
        for (int c = 0; c < connections; ++c)
            order.push_back(&traffic[std::size_t(c) * std::size_t(requests + 1) + 1 + std::size_t(r)]);

    streams::KeyLog keys;
    keys.addText(keyLog);
    quic::QuicReader reader(keys);
    std::uint64_t got = 0;
    reader.onRequest = [&got](const streams::StreamRequest &) { ++got; };
    QElapsedTimer timer;
    timer.start();
    std::int64_t now = 0;
    for (const Datagram *d : order)
        reader.feed({d->from, d->to, view(d->bytes), ++now});
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    const quic::QuicCounters counters = reader.counters();
    std::printf("%d connections x %d requests, %zu datagrams\n", connections, requests, order.size());
    std::printf("  %llu requests read in %.3f s: %.0f requests/s, %.0f datagrams/s\n", (unsigned long long)got, seconds,
                double(got) / seconds, double(order.size()) / seconds);
    std::printf("  reader memory: peak %.1f KiB (%.0f bytes per connection), %zu connections held\n",
                double(counters.peakMemory) / 1024, double(counters.peakMemory) / connections, reader.connectionCount());
    if (got != std::uint64_t(connections) * std::uint64_t(requests))
        std::printf("  MISSED %llu requests\n", (unsigned long long)(std::uint64_t(connections) * requests - got));
    return 0;
}
