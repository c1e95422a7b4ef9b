#pragma once
// What the window shows of the running transfer: how much of the file is there (a resumed
// file's bytes included), of how much, how fast it comes and how long it still takes. The
// speed is taken over the last few seconds, so that it follows the transfer as it slows
// down or speeds up without jumping at every read.

#include <QString>
#include <QtGlobal>

#include <deque>

namespace quorrel {

struct TransferProgress {
    bool byTime = false;  // a streamed video: done and total are microseconds of running time
    qint64 done = 0;      // of the file, from its first byte
    qint64 total = -1;    // -1: not known (a reply without a length, a live stream)
    double perSecond = 0; // done gained per second lately; 0 until it is known

    // 0 to 100; -1 when the total is not known.
    int percent() const;
    // -1 when it cannot be told.
    qint64 secondsLeft() const;
};

class ProgressMeter {
public:
    // The speed is measured over this much of the latest progress, and known once it spans
    // half a second.
    static constexpr qint64 kWindowMs = 3000;
    static constexpr qint64 kKnownAfterMs = 500;

    // A transfer begins at from (the bytes already in the file), of total (-1: unknown).
    void start(qint64 from, qint64 total, bool byTime, qint64 nowMs);
    // It has reached done at nowMs (a monotonic clock in milliseconds).
    TransferProgress update(qint64 done, qint64 nowMs);

private:
    struct Sample {
        qint64 ms, done;
    };
    TransferProgress m_progress;
    std::deque<Sample> m_samples; // one every 100 ms at most, kWindowMs of them: about 30
};

// The status bar's text: "3.2 MB / 40.0 MB  1.2 MB/秒  剩余 0:31"; a stream's running time
// "已复制 0:12 / 3:00  剩余 0:20"; what is not known is left out.
QString ProgressText(const TransferProgress &progress);
// 512 B, 12 KB, 3.2 MB, 1.25 GB, 12.5 GB (of 1024).
QString SizeText(qint64 bytes);
// 0:31, 12:05, 1:02:03.
QString DurationText(qint64 seconds);

} // namespace quorrel
