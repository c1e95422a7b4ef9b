#include "base/stop_signals.h"

#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace quorrel {
namespace {

// A signal handler may do almost nothing: it writes one byte into a pipe the loop watches.
int stopPipe[2] = {-1, -1};

void onStopSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(stopPipe[1], &byte, 1);
}

} // namespace

QSocketNotifier *WatchStopSignals(QObject *parent)
{
    if (stopPipe[0] < 0 && ::pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return nullptr;
    auto *notifier = new QSocketNotifier(stopPipe[0], QSocketNotifier::Read, parent);
    // Take the byte off the pipe, so one signal is one event.
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] {
        char bytes[16];
        [[maybe_unused]] const ssize_t n = ::read(stopPipe[0], bytes, sizeof bytes);
    });
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        std::signal(s, onStopSignal);
    return notifier;
}

} // namespace quorrel
