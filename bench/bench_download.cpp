// One download through the program's own transfer code, measured: throughput, the peak
// memory growth, and the longest time the event loop was kept from turning. Measures and
// prints; it has no pass or fail.
//
//   bench_download URL SAVE-PATH

#include "downloads/curl_multi.h"
#include "downloads/transfer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>

#include <cstdio>
#include <cstring>

using namespace quorrel;

namespace {

// A figure from /proc/self/status, in KiB.
long status(const char *field)
{
    long value = 0;
    if (FILE *f = std::fopen("/proc/self/status", "r")) {
        char line[256];
        const size_t n = std::strlen(field);
        while (std::fgets(line, sizeof line, f))
            if (std::strncmp(line, field, n) == 0)
                value = std::atol(line + n + 1);
        std::fclose(f);
    }
    return value;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_download URL SAVE-PATH\n");
        return 2;
    }
    QFile::remove(QString::fromLocal8Bit(argv[2]));
    CurlMulti multi;
    CurlTransfer transfer(multi, {QString::fromLocal8Bit(argv[1]), QString::fromLocal8Bit(argv[2]), false, std::nullopt});

    // A timer that wants to run every millisecond: the largest gap between two of its
    // runs is the longest the loop was held up.
    QElapsedTimer sinceTick;
    qint64 longestStall = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        longestStall = std::max(longestStall, sinceTick.nsecsElapsed());
        sinceTick.restart();
    });

    const long rssBefore = status("VmRSS:");
    TransferResult outcome;
    QElapsedTimer clock;
    QObject::connect(&transfer, &Transfer::finished, [&](const TransferResult &r) {
        outcome = r;
        app.quit();
    });
    QTimer::singleShot(0, [&] {
        clock.start();
        sinceTick.start();
        tick.start(1);
        transfer.start();
    });
    app.exec();
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    const long peak = status("VmHWM:");
    if (!outcome.done) {
        std::fprintf(stderr, "download failed: %s\n", qPrintable(outcome.reason));
        return 1;
    }
    std::printf("%lld bytes in %.3f s: %.1f MiB/s; peak memory growth %.1f MiB; longest event-loop stall %.1f ms\n",
                static_cast<long long>(outcome.fileSize), seconds, double(outcome.fileSize) / seconds / 1048576.0,
                double(peak - rssBefore) / 1024.0, double(longestStall) / 1e6);
    return 0;
}
