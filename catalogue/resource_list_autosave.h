#pragma once
// Keeps zywj.txt up to date while the program runs, so that a crash, a kill or a power cut
// loses at most the last second of finds. A change to the tree's resources starts a
// single-shot timer; when it fires, the whole list is written once (the same atomic
// replace as at shutdown), however many changes came in meanwhile. The timer is not
// restarted by later changes, so a steady stream of captures still reaches the file
// within kResourceListAutosaveMs of the first of them.

#include <QFutureWatcher>
#include <QObject>
#include <QTimer>

#include <optional>

namespace quorrel {

class Catalogue;

inline constexpr int kResourceListAutosaveMs = 1000;

class ResourceListAutosave : public QObject {
    Q_OBJECT
public:
    ResourceListAutosave(Catalogue &catalogue, QObject *parent = nullptr);

    // A write waits for its time or is under way.
    bool pending() const { return m_timer.isActive() || m_writing.isRunning(); }
    // The list was written by other means (a command that saves it): nothing pending.
    void saved() { m_timer.stop(); }
    // The writes made so far, failed ones included.
    int writes() const { return m_writes; }

signals:
    // A write failed, with its reason; each reason once until a write succeeds again.
    void saveFailed(const QString &reason);

private:
    void changed();
    void save();
    void written();

    Catalogue &m_catalogue;
    QTimer m_timer;
    QFutureWatcher<std::optional<QString>> m_writing;
    bool m_again = false; // the timer fired while a write was under way
    QString m_lastFailure;
    int m_writes = 0;
};

} // namespace quorrel
