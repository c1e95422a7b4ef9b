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

#include "stall_probe.h"

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

    bench::StallProbe stalls;

    const long rssBefore = status("VmRSS:");
    TransferResult outcome;
    QElapsedTimer clock;
    QObject::connect(&transfer, &Transfer::finished, [&](const TransferResult &r) {
        outcome = r;
        app.quit();
    });
    QTimer::singleShot(0, [&] {
        clock.start();
        stalls.start();
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
                double(peak - rssBefore) / 1024.0, stalls.longestMs());
    return 0;
}
