#pragma once
// One window per folder. Two windows on the same folder would each write their own tree
// over the other's zywj.txt. The first start holds a lock file in the folder and listens
// on a local socket named after the folder; a second start finds the lock, asks the first
// window to come to the front, and ends.

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>

namespace quorrel {

class SingleWindow : public QObject {
    Q_OBJECT
public:
    explicit SingleWindow(const QString &folder, QObject *parent = nullptr);

    enum class Claim {
        Taken,        // the folder is this process's
        Unchecked,    // no lock can be made there (see why()): the window runs without one
        HeldBrought,  // another window has the folder, and came to the front when asked
        HeldSilent,   // another window has the folder, and did not answer
    };
    Claim claim();
    // What went wrong with the lock or the socket, for the log; empty when nothing did.
    const QString &why() const { return m_why; }
    // What a second start says before it ends.
    QString refusal(Claim claim) const;

    // The local socket's name for a folder: one per user and folder.
    static QString serverName(const QString &folder);

signals:
    // A second start on this folder asked for this window.
    void raiseRequested();

private:
    void listen();
    bool askFirst();

    QString m_folder;
    QLockFile m_lock;
    QLocalServer m_server;
    QString m_why;
};

} // namespace quorrel
