// How fast the TLS reader decrypts a client's records, per cipher suite, and how many
// sessions it sets up per second (key log line, hellos, key derivation, first request).
// The connections are made by OpenSSL in memory beforehand; only the reading is timed.
// Prints; never fails on a time.
//
//   build/bin/bench_tls [megabytes per suite, default 32] [sessions, default 1000]

#include "streams/key_log.h"
#include "streams/tls_session.h"
#include "tests/tls_pair.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QRandomGenerator>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

using namespace quorrel;
using namespace quorrel::streams;

namespace {

struct Suite {
    const char *name;
    int version;
    const char *ciphers;
};

constexpr Suite kSuites[] = {
    {"TLS 1.2 ECDHE AES-128-GCM", TLS1_2_VERSION, "ECDHE-ECDSA-AES128-GCM-SHA256"},
    {"TLS 1.2 ECDHE AES-256-GCM", TLS1_2_VERSION, "ECDHE-ECDSA-AES256-GCM-SHA384"},
    {"TLS 1.2 ECDHE ChaCha20-Poly1305", TLS1_2_VERSION, "ECDHE-ECDSA-CHACHA20-POLY1305"},
    {"TLS 1.3 AES-128-GCM", TLS1_3_VERSION, "TLS_AES_128_GCM_SHA256"},
    {"TLS 1.3 AES-256-GCM", TLS1_3_VERSION, "TLS_AES_256_GCM_SHA384"},
    {"TLS 1.3 ChaCha20-Poly1305", TLS1_3_VERSION, "TLS_CHACHA20_POLY1305_SHA256"},
};

QByteArray randomBytes(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

// Reads one captured connection; returns the plaintext bytes handed on.
std::uint64_t readConnection(KeyLog &keys, const QByteArray &clientBytes, const QByteArray &serverBytes,
                             qsizetype segment)
{
    std::uint64_t total = 0;
    TlsSession session(keys);
    session.onApplicationData = [&](Bytes bytes) { total += bytes.size(); };
    session.feedServer(viewOf(serverBytes), 0);
    for (qsizetype at = 0; at < clientBytes.size(); at += segment)
        session.feedClient(viewOf(clientBytes).subspan(std::size_t(at), std::size_t(std::min(segment, clientBytes.size() - at))), 0);
    return total;
}

void throughput(qsizetype megabytes, qsizetype recordSize)
{
    std::printf("decrypting %lld MiB of application data in records of %lld bytes, fed in 64 KiB pieces:\n",
                static_cast<long long>(megabytes), static_cast<long long>(recordSize));
    const QByteArray chunk = randomBytes(recordSize);
    for (const Suite &suite : kSuites) {
        test::TlsPair pair({suite.version, suite.ciphers});
        if (!pair.handshake()) {
            std::printf("  %-34s  OpenSSL: %s\n", suite.name, qPrintable(pair.error()));
            continue;
        }
        const qsizetype writes = megabytes * 1024 * 1024 / recordSize;
        for (qsizetype i = 0; i < writes; ++i)
            pair.write(chunk);
        pair.serverReceived.clear();

        KeyLog keys;
        QElapsedTimer timer;
        double best = 1e99;
        std::uint64_t read = 0;
        for (int round = 0; round < 3; ++round) {
            keys.addText(pair.keyLogLines); // the session forgets them each time
            timer.start();
            read = readConnection(keys, pair.clientToServer, pair.serverToClient, 64 * 1024);
            best = std::min(best, double(timer.nsecsElapsed()) / 1e9);
        }
        const double mib = double(read) / (1024.0 * 1024.0);
        std::printf("  %-34s  %8.1f MiB/s  (%.1f MiB read in %.3f s, best of 3)\n", suite.name, mib / best, mib, best);
    }
}

struct Captured {
    QByteArray clientBytes;
    QByteArray serverBytes;
    QByteArray keyLogLines;
};

void sessionSetup(int sessions)
{
    std::printf("setting up sessions (key log line read, hellos, keys derived, one 600-byte request decrypted):\n");
    const QByteArray request = "GET /media/clip.mp4 HTTP/1.1\r\nHost: www.example.test\r\n" + QByteArray(540, 'a') + "\r\n\r\n";
    for (const Suite &suite : {kSuites[0], kSuites[3]}) {
        std::vector<Captured> captured;
        for (int i = 0; i < sessions; ++i) {
            test::TlsPair pair({suite.version, suite.ciphers});
            if (!pair.handshake() || !pair.write(request)) {
                std::printf("  %-34s  OpenSSL: %s\n", suite.name, qPrintable(pair.error()));
                return;
            }
            captured.push_back({pair.clientToServer, pair.serverToClient, pair.keyLogLines});
        }
        double seconds = 1e99;
        std::uint64_t read = 0;
        for (int round = 0; round < 3; ++round) {
            KeyLog keys;
            QElapsedTimer timer;
            timer.start();
            read = 0;
            for (const Captured &c : captured) {
                keys.addText(c.keyLogLines);
                read += readConnection(keys, c.clientBytes, c.serverBytes, 1460);
            }
            seconds = std::min(seconds, double(timer.nsecsElapsed()) / 1e9);
        }
        const bool all = read == std::uint64_t(request.size()) * std::uint64_t(sessions);
        std::printf("  %-34s  %8.0f sessions/s  (%d in %.3f s, best of 3%s)\n", suite.name, sessions / seconds, sessions, seconds,
                    all ? "" : ", NOT ALL READ");
    }
}

} // namespace

int main(int argc, char **argv)
{
    const qsizetype megabytes = argc > 1 ? std::max(1, std::atoi(argv[1])) : 32;
    const int sessions = argc > 2 ? std::max(1, std::atoi(argv[2])) : 1000;
    throughput(megabytes, 16 * 1024);
    throughput(std::max<qsizetype>(1, megabytes / 4), 512);
    sessionSetup(sessions);
    return 0;
}
