#include "shell/single_window.h"

#include "base/gydy.h"
#include "settings/file_places.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>

#include <unistd.h>

namespace quorrel {

namespace {

const QString kLockName = QStringLiteral(".quorrel.lock");
const QByteArray kRaise = QByteArrayLiteral("raise\n");
const QByteArray kRaised = QByteArrayLiteral("ok\n");
constexpr qint64 kLineMax = 16; // both words are short; anything longer is not a start of ours
constexpr int kAnswerMs = 3000;

} // namespace

SingleWindow::SingleWindow(const QString &folder, QObject *parent)
    : QObject(parent), m_folder(folder), m_lock(AppFile(folder, kLockName))
{
    // A window runs for days: only a lock whose process has ended is stale, never an old one.
    m_lock.setStaleLockTime(0);
    connect(&m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = m_server.nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                if (!socket->canReadLine() && socket->bytesAvailable() < kLineMax)
                    return; // the rest of the line is on its way
                if (socket->readLine(kLineMax) == kRaise) {
                    emit raiseRequested();
                    socket->write(kRaised);
                }
                socket->disconnectFromServer();
            });
        }
    });
}

QString SingleWindow::serverName(const QString &folder)
{
    const QString canonical = QFileInfo(folder).canonicalFilePath();
    const QByteArray hash = QCryptographicHash::hash((canonical.isEmpty() ? folder : canonical).toUtf8(),
                                                     QCryptographicHash::Sha256);
    return QStringLiteral("quorrel-%1-%2").arg(::getuid()).arg(QString::fromLatin1(hash.toHex().left(16)));
}

SingleWindow::Claim SingleWindow::claim()
{
    // At the first start of an installed program the user's folder is not there yet.
    QDir().mkpath(m_folder);
    if (m_lock.tryLock(0)) {
        listen();
        return Claim::Taken;
    }
    if (m_lock.error() == QLockFile::LockFailedError)
        return askFirst() ? Claim::HeldBrought : Claim::HeldSilent;
    m_why = tr("无法在 %1 建立锁文件（%2），不能确认没有另一个窗口在使用这个文件夹。")
                .arg(m_folder, m_lock.error() == QLockFile::PermissionError ? tr("没有写入权限")
                                                                             : tr("未知错误"));
    return Claim::Unchecked;
}

void SingleWindow::listen()
{
    // The lock is ours: a socket of that name left by a window that ended is stale.
    const QString name = serverName(m_folder);
    QLocalServer::removeServer(name);
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server.listen(name))
        m_why = tr("无法接收再次启动时的请求（%1）：%2").arg(name, m_server.errorString());
}

bool SingleWindow::askFirst()
{
    QLocalSocket socket;
    socket.connectToServer(serverName(m_folder));
    if (!socket.waitForConnected(kAnswerMs))
        return false;
    socket.write(kRaise);
    if (!socket.waitForBytesWritten(kAnswerMs))
        return false;
    while (!socket.canReadLine()) {
        if (socket.bytesAvailable() >= kLineMax || !socket.waitForReadyRead(kAnswerMs))
            return false;
    }
    return socket.readLine(kLineMax) == kRaised;
}

QString SingleWindow::refusal(Claim claim) const
{
    const QString why = tr("同一个文件夹只能开一个窗口：两个窗口会互相覆盖 %1。").arg(kResourceListFileName);
    if (claim == Claim::HeldBrought)
        return tr("文件夹 %1 已经有一个 Quorrel 窗口在运行，已把它提到最前面。%2").arg(m_folder, why);
    qint64 pid = 0;
    QString host, application;
    const bool known = m_lock.getLockInfo(&pid, &host, &application);
    return tr("文件夹 %1 已经有一个 Quorrel 窗口在运行%2，但它没有回应。%3")
        .arg(m_folder, known ? tr("（进程 %1）").arg(pid) : QString(), why);
}

} // namespace quorrel
