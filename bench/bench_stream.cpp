// A streamed video saved the way the window saves it: a task in the task list, started by
// the real download scheduler, which hands it to ffmpeg. Measures the time to the task's
// end and the longest time the event loop was kept from turning meanwhile (a probe timer
// that wants to run every millisecond, as in bench_download). Prints; no pass or fail.
//
//   bench_stream URL SAVE-FOLDER

#include "downloads/scheduler.h"
#include "downloads/save_name.h"
#include "downloads/task_list.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include "stall_probe.h"

#include <cstdio>

using namespace quorrel;

namespace {

// The window's side of the scheduler, without the window: no question is asked.
class Host : public SchedulerHost {
public:
    Resume askResume(const QString &) override { return Resume::No; }
    QString askFtpPassword(const QString &) override { return {}; }
    void inform(const QString &text) override { std::fprintf(stderr, "%s\n", qPrintable(text)); }
    void log(const QString &line) override { lines << line; }
    void showGauge(bool) override {}
    void setGaugeMaximum(qint64 maximum) override { gaugeMaximum = maximum; }
    void setGaugeValue(qint64 value) override { gaugeValue = value; }
    void taskDone(int) override {}
    void taskFailed(int) override {}
    QStringList lines;
    qint64 gaugeMaximum = 0, gaugeValue = 0;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_stream URL SAVE-FOLDER\n");
        return 2;
    }
    const QString url = QString::fromLocal8Bit(argv[1]);
    TaskList tasks;
    Host host;
    DownloadScheduler scheduler(tasks, host);
    tasks.AddTask(url, SaveFileName(url), QString::fromLocal8Bit(argv[2]));

    bench::StallProbe stalls;
    bool done = false;
    QElapsedTimer clock;
    QObject::connect(&scheduler, &DownloadScheduler::taskEnded, [&](int, bool ok) {
        done = ok;
        app.quit();
    });
    QTimer::singleShot(0, [&] {
        clock.start();
        stalls.start();
        scheduler.TimexzwjTimer(); // the tick that starts the task
    });
    app.exec();
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    if (!done) {
        std::fprintf(stderr, "the stream failed: %s\n", qPrintable(host.lines.join(QLatin1Char(' '))));
        return 1;
    }
    std::printf("%.3f s; gauge %lld of %lld; longest event-loop stall %.1f ms\n", seconds,
                static_cast<long long>(host.gaugeValue), static_cast<long long>(host.gaugeMaximum),
                stalls.longestMs());
    return 0;
}
