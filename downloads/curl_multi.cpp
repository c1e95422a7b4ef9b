#include "downloads/curl_multi.h"

#include <QSocketNotifier>
#include <QTimer>

#include <limits>

namespace quorrel {

// The notifiers of one socket libcurl waits on. libcurl keeps the pointer for us
// (curl_multi_assign) and hands it back with every change for that socket.
class CurlMulti::Watch : public QObject {
public:
    Watch(CurlMulti *multi, curl_socket_t socket)
        : QObject(multi),
          m_read(new QSocketNotifier(socket, QSocketNotifier::Read, this)),
          m_write(new QSocketNotifier(socket, QSocketNotifier::Write, this))
    {
        connect(m_read, &QSocketNotifier::activated, multi, [multi, socket] { multi->act(socket, CURL_CSELECT_IN); });
        connect(m_write, &QSocketNotifier::activated, multi, [multi, socket] { multi->act(socket, CURL_CSELECT_OUT); });
    }

    void want(int what)
    {
        m_read->setEnabled(what & CURL_POLL_IN);
        m_write->setEnabled(what & CURL_POLL_OUT);
    }

    // The socket is about to be closed, perhaps from inside one of these notifiers'
    // own activation: silence them now, delete them once the loop is back.
    void retire()
    {
        m_read->setEnabled(false);
        m_write->setEnabled(false);
        m_read->disconnect();
        m_write->disconnect();
        deleteLater();
    }

private:
    QSocketNotifier *m_read;
    QSocketNotifier *m_write;
};

CurlMulti::CurlMulti(QObject *parent) : QObject(parent), m_timer(new QTimer(this))
{
    // Once per process, before any other libcurl call (curl_global_init.3).
    static const CURLcode global = curl_global_init(CURL_GLOBAL_DEFAULT);
    Q_UNUSED(global);

    m_multi = curl_multi_init();
    curl_multi_setopt(m_multi, CURLMOPT_SOCKETFUNCTION, &CurlMulti::socketCallback);
    curl_multi_setopt(m_multi, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(m_multi, CURLMOPT_TIMERFUNCTION, &CurlMulti::timerCallback);
    curl_multi_setopt(m_multi, CURLMOPT_TIMERDATA, this);

    // One thread uses the share, so it needs no lock functions (curl_share_setopt.3).
    m_share = curl_share_init();
    curl_share_setopt(m_share, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);

    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, [this] { act(CURL_SOCKET_TIMEOUT, 0); });
}

CurlMulti::~CurlMulti()
{
    // Closing the multi's cached connections must not reach back into this object.
    curl_multi_setopt(m_multi, CURLMOPT_SOCKETFUNCTION, nullptr);
    curl_multi_setopt(m_multi, CURLMOPT_TIMERFUNCTION, nullptr);
    curl_multi_cleanup(m_multi);
    curl_share_cleanup(m_share); // refused, and left, while an easy handle still uses it
}

bool CurlMulti::add(CURL *easy, CurlJob *job, Jar jar)
{
    curl_easy_setopt(easy, CURLOPT_PRIVATE, static_cast<void *>(job));
    // The share holds the run's jar; a handle with a jar of its own stays out of it (the
    // share would replace the handle's cookies with its own). An empty file name turns the
    // handle's cookie engine on without reading any file (CURLOPT_COOKIEFILE.3).
    if (jar == Jar::Run)
        curl_easy_setopt(easy, CURLOPT_SHARE, m_share);
    curl_easy_setopt(easy, CURLOPT_COOKIEFILE, "");
    // Adding sets a zero time-out through the timer callback: the transfer starts from
    // the loop, on the timer's first shot.
    return curl_multi_add_handle(m_multi, easy) == CURLM_OK;
}

void CurlMulti::remove(CURL *easy)
{
    curl_multi_remove_handle(m_multi, easy);
}

int CurlMulti::socketCallback(CURL *, curl_socket_t socket, int what, void *self, void *watch)
{
    auto *multi = static_cast<CurlMulti *>(self);
    auto *w = static_cast<Watch *>(watch);
    if (what == CURL_POLL_REMOVE) {
        if (w)
            w->retire();
        return 0;
    }
    if (!w) {
        w = new Watch(multi, socket);
        // The one libcurl call allowed in here (curl_multi_assign.3).
        curl_multi_assign(multi->m_multi, socket, w);
    }
    w->want(what);
    return 0;
}

int CurlMulti::timerCallback(CURLM *, long timeoutMs, void *self)
{
    // One timer, replaced rather than stacked: -1 stops it, 0 means "as soon as the loop
    // is back", never a call into libcurl from here (CURLMOPT_TIMERFUNCTION.3).
    QTimer *timer = static_cast<CurlMulti *>(self)->m_timer;
    if (timeoutMs < 0)
        timer->stop();
    else
        timer->start(static_cast<int>(qMin<long>(timeoutMs, std::numeric_limits<int>::max())));
    return 0;
}

void CurlMulti::act(curl_socket_t socket, int events)
{
    int running = 0;
    curl_multi_socket_action(m_multi, socket, events, &running);
    drain();
    emit acted();
}

void CurlMulti::drain()
{
    // Every action may finish transfers; their news waits in the message queue.
    int left = 0;
    while (CURLMsg *message = curl_multi_info_read(m_multi, &left)) {
        if (message->msg != CURLMSG_DONE)
            continue;
        CURL *easy = message->easy_handle;
        const CURLcode code = message->data.result; // read before the job touches the handle
        char *job = nullptr;
        curl_easy_getinfo(easy, CURLINFO_PRIVATE, &job);
        if (job)
            static_cast<CurlJob *>(static_cast<void *>(job))->curlDone(code);
    }
}

} // namespace quorrel
