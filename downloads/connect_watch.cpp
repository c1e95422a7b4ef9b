#include "downloads/connect_watch.h"

#include "downloads/transfer_reasons.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <limits>

namespace quorrel {
namespace {

QString peerText(const curl_sockaddr *address)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (address->family == AF_INET && address->addrlen >= sizeof(sockaddr_in)) {
        const auto *a = reinterpret_cast<const sockaddr_in *>(&address->addr);
        ::inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
        return kPeerPort.arg(QLatin1String(text)).arg(ntohs(a->sin_port));
    }
    if (address->family == AF_INET6 && address->addrlen >= sizeof(sockaddr_in6)) {
        const auto *a = reinterpret_cast<const sockaddr_in6 *>(&address->addr);
        ::inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
        return kPeerPort.arg(QLatin1String(text)).arg(ntohs(a->sin6_port));
    }
    return QStringLiteral("服务器");
}

} // namespace

ConnectWatch::ConnectWatch(std::chrono::milliseconds bound, QObject *parent) : QObject(parent), m_bound(bound)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &ConnectWatch::check);
}

void ConnectWatch::attach(CURL *easy)
{
    curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, &ConnectWatch::openSocket);
    curl_easy_setopt(easy, CURLOPT_OPENSOCKETDATA, static_cast<void *>(this));
}

void ConnectWatch::stop()
{
    m_stopped = true;
    m_timer.stop();
    m_pending.clear();
}

qint64 ConnectWatch::now() const
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// In place of libcurl's socket(2); it makes the socket non-blocking and connects it
// itself. Nothing here calls libcurl.
curl_socket_t ConnectWatch::openSocket(void *self, curlsocktype purpose, curl_sockaddr *address)
{
    auto *watch = static_cast<ConnectWatch *>(self);
    const int fd = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    if (fd < 0)
        return CURL_SOCKET_BAD;
    struct stat st {};
    if (purpose == CURLSOCKTYPE_IPCXN && !watch->m_stopped && ::fstat(fd, &st) == 0) {
        try {
            watch->m_pending.push_back({fd, st.st_dev, st.st_ino, watch->now() + watch->m_bound.count(), peerText(address)});
            watch->schedule();
        } catch (...) {
            // Out of memory: this socket goes unwatched, and libcurl's own bound still holds.
        }
    }
    return fd;
}

void ConnectWatch::schedule()
{
    if (m_pending.empty()) {
        m_timer.stop();
        return;
    }
    qint64 first = std::numeric_limits<qint64>::max();
    for (const Pending &p : m_pending)
        first = std::min(first, p.deadline);
    m_timer.start(static_cast<int>(std::clamp<qint64>(first - now(), 0, std::numeric_limits<int>::max())));
}

void ConnectWatch::check()
{
    const qint64 t = now();
    for (auto it = m_pending.begin(); it != m_pending.end();) {
        if (it->deadline > t) {
            ++it;
            continue;
        }
        struct stat st {};
        sockaddr_storage peer {};
        socklen_t length = sizeof peer;
        const bool same = ::fstat(it->fd, &st) == 0 && st.st_dev == it->device && st.st_ino == it->inode;
        // Gone (libcurl closed it: refused, or another address won) or connected: done with.
        if (!same || ::getpeername(it->fd, reinterpret_cast<sockaddr *>(&peer), &length) == 0 || errno != ENOTCONN) {
            it = m_pending.erase(it);
            continue;
        }
        const QString reason = kConnectTimedOut.arg(it->peer, QString::number(m_bound.count()));
        stop();
        emit timedOut(reason);
        return;
    }
    schedule();
}

} // namespace quorrel
