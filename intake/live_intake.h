#pragma once
// Live capture through the road, as the window and quorrel-scan --live both run it: the
// capture component on every local address, the road's clock (monotonic, from the
// intake's making), its tick every quarter of a second, and the report of lost datagrams
// (a line at most once a minute). It also keeps whether monitoring listens, which the
// window shows and does not keep itself.
//
// Monitoring is asked for from the start: until a start succeeds, and again after a start
// that failed, startDue() says so, and the owner's timer calls start() (the window's once
// a second). A stop lasts until start() is called again: only the user's "开始" does that.
//
// One thread: the capture's events, the timers and the calls all run on the thread that
// owns the intake.

#include "capture/cap_ip.h"
#include "capture/loss_report.h"
#include "intake/capture_road.h"
#include "intake/intake_counts.h"

#include <QElapsedTimer>
#include <QObject>
#include <cstdint>

class QTimer;

namespace quorrel {

class LiveIntake : public QObject {
    Q_OBJECT
public:
    // The road is the caller's (its key log, its notices, its filings): it outlives the intake.
    explicit LiveIntake(CaptureRoad &road, QObject *parent = nullptr);
    ~LiveIntake() override;

    Tcap_ip &capture() { return *m_capture; }
    CaptureRoad &road() { return m_road; }
    // The road's clock, in milliseconds.
    std::int64_t nowMs() const { return m_clock.elapsed(); }
    double seconds() const { return double(m_clock.nsecsElapsed()) / 1e9; }

    enum class State : std::uint8_t { Stopped, Listening };
    State state() const { return m_state; }
    bool paused() const { return m_capture->FPaused(); }
    // Monitoring is asked for and does not run: the owner's timer should try start().
    bool startDue() const { return m_wanted && m_state == State::Stopped; }

    // Starts capture on every local address; throws ESocketException as Tcap_ip::StartCap
    // does, and then monitoring stays stopped, with a start still due.
    void start();
    // Toggles the pause of delivery (Tcap_ip::PauseCap).
    void pause();
    // Closes every capture; monitoring is stopped, and no start is due until start().
    void stop();

    // One datagram, as a capture read it: into the road at the clock's time. The capture's
    // own datagrams come here by themselves.
    void deliver(const Datagram &datagram);
    // Capture has ended for good: what the road still holds comes out.
    void finish();

    const IntakeCounts &counts() const { return m_counts; }

signals:
    // The first datagram of any kind has come (the window's log says that traffic arrives).
    void firstDatagram();
    // A delivery or a tick found requests, or asks for the hint in the status bar.
    void found(const quorrel::CaptureRoad::Result &result);
    // A line about lost datagrams, when one is due.
    void lossLine(const QString &line);

private:
    void take(const CaptureRoad::Result &result);
    void lost(quint64 count);

    CaptureRoad &m_road;
    Tcap_ip *m_capture;
    QElapsedTimer m_clock;
    QTimer *m_tick;
    LossReport m_losses;
    QTimer *m_lossTimer;
    State m_state = State::Stopped;
    bool m_wanted = true; // monitoring asked for: from the start, and from each start() on
    bool m_anyDatagram = false;
    IntakeCounts m_counts;
};

} // namespace quorrel
