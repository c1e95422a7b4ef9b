#pragma once
// Server processes of the tests' own on 127.0.0.1 (nginx, pyftpdlib, tests/servers/*):
// free ports to give them, and a process started and waited for until it accepts.

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QtGlobal>

#include <memory>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quorrel::test {

inline const QString kServers = QStringLiteral(QUORREL_FIXTURES "/../servers");

// Debian's python carries pyftpdlib; another one first on PATH may not.
inline QString python()
{
    return QFileInfo::exists(QStringLiteral("/usr/bin/python3")) ? QStringLiteral("/usr/bin/python3")
                                                                  : QStringLiteral("python3");
}

// Ports nothing listens on now: bound all at once, so no two are the same, then let go.
inline QList<quint16> freePorts(int count)
{
    QList<int> sockets;
    QList<quint16> ports;
    for (int i = 0; i < count; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &length) != 0)
            qFatal("no free port on 127.0.0.1");
        sockets << fd;
        ports << ntohs(a.sin_port);
    }
    for (int fd : sockets)
        ::close(fd);
    return ports;
}

inline bool accepts(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

// nginx's workers may run as another user: they must be able to enter and read the
// folder a test serves from (a QTemporaryDir is its owner's alone).
inline bool openToServerWorkers(const QString &folder)
{
    return QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                             | QFileDevice::ReadOther | QFileDevice::ExeOther);
}

// A server process of the test's; its output is kept (pyftpdlib's debug log lists the
// commands it received).
class Peer {
public:
    ~Peer() { stop(); }

    bool start(const QString &program, const QStringList &args, quint16 port)
    {
        m_process = std::make_unique<QProcess>();
        m_process->setProcessChannelMode(QProcess::MergedChannels);
        QObject::connect(m_process.get(), &QProcess::readyRead, m_process.get(),
                         [this] { m_output += m_process->readAll(); });
        m_process->start(program, args);
        if (!m_process->waitForStarted(10000))
            return false;
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 15000) {
            if (accepts(port))
                return true;
            if (m_process->state() == QProcess::NotRunning)
                break;
            m_process->waitForFinished(50);
        }
        m_output += m_process->readAll();
        qWarning("%s did not start: %s", qPrintable(program), m_output.constData());
        return false;
    }

    void stop()
    {
        if (!m_process || m_process->state() == QProcess::NotRunning)
            return;
        m_process->terminate();
        if (!m_process->waitForFinished(5000)) {
            m_process->kill();
            m_process->waitForFinished(5000);
        }
    }

    QByteArray output()
    {
        if (m_process)
            m_output += m_process->readAll();
        return m_output;
    }

private:
    std::unique_ptr<QProcess> m_process;
    QByteArray m_output;
};

} // namespace quorrel::test
