#pragma once
// ConnectWatch: a time bound on the TCP connect alone. libcurl's own connect time-out
// covers the name look-up and every handshake up to an established connection, TLS
// included (CURLOPT_CONNECTTIMEOUT_MS.3), so a short bound there fails a slow DNS answer
// or a server far away. Here libcurl creates its sockets through our callback
// (CURLOPT_OPENSOCKETFUNCTION.3), right before it connects them, and a timer looks at each
// socket once its time is up: still not connected, the watch says so.

#include <QObject>
#include <QTimer>

#include <chrono>
#include <vector>

#include <curl/curl.h>
#include <sys/types.h>

namespace quorrel {

class ConnectWatch : public QObject {
    Q_OBJECT
public:
    explicit ConnectWatch(std::chrono::milliseconds bound, QObject *parent = nullptr);

    // Makes easy create its sockets here. The handle must not outlive the watch.
    void attach(CURL *easy);
    // No more checks (the transfer has ended).
    void stop();

signals:
    // A socket was still connecting when its time was up; emitted from the loop, never
    // from inside libcurl.
    void timedOut(const QString &reason);

private:
    struct Pending {
        int fd;
        dev_t device; // a socket is known by its inode: libcurl may close the descriptor
        ino_t inode;  // and the number be given to another file before the check
        qint64 deadline; // on m_clock's scale, ms
        QString peer;
    };

    static curl_socket_t openSocket(void *self, curlsocktype purpose, curl_sockaddr *address);
    void check();
    void schedule();
    qint64 now() const;

    std::chrono::milliseconds m_bound;
    std::vector<Pending> m_pending;
    QTimer m_timer;
    bool m_stopped = false;
};

} // namespace quorrel
