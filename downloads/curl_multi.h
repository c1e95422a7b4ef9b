#pragma once
// CurlMulti: libcurl's multi socket interface driven by the Qt event loop. libcurl says
// which sockets it waits on and how long it may wait; the loop does the waiting, with a
// read and a write QSocketNotifier per socket and one single-shot QTimer, and calls
// libcurl back. So a transfer never blocks the thread it runs on.
// (curl: libcurl-multi.3, "multi_socket"; curl_multi_socket_action.3;
// CURLMOPT_SOCKETFUNCTION.3; CURLMOPT_TIMERFUNCTION.3)
//
// libcurl is only ever called from the loop's own handlers, never from inside one of
// libcurl's callbacks: those only switch notifiers and restart the timer.

#include <QObject>

#include <curl/curl.h>

class QTimer;

namespace quorrel {

// What an easy handle added to a CurlMulti leads back to, through CURLOPT_PRIVATE.
class CurlJob {
public:
    // libcurl has finished with the handle (code is its result). Called from the loop,
    // outside every libcurl callback, with the handle still added: the job removes it
    // and may set it up and add it again for a next request.
    virtual void curlDone(CURLcode code) = 0;

protected:
    ~CurlJob() = default;
};

class CurlMulti : public QObject {
    Q_OBJECT
public:
    explicit CurlMulti(QObject *parent = nullptr);
    // Every job's easy handle must be cleaned up before: they use this object's share.
    ~CurlMulti() override;

    CurlMulti(const CurlMulti &) = delete;
    CurlMulti &operator=(const CurlMulti &) = delete;

    // Which cookies a handle keeps and sends.
    enum class Jar {
        Run, // the run's: a later request sends what an earlier one was given
        Own, // the handle's own, already filled by the caller (CURLOPT_COOKIELIST)
    };
    // Starts driving easy for job. False when libcurl refuses it.
    bool add(CURL *easy, CurlJob *job, Jar jar = Jar::Run);
    // Stops driving easy, leaving its transfer where it is; a handle not added is fine.
    void remove(CURL *easy);

signals:
    // After every call into libcurl and the handling of what it finished: jobs report
    // their progress from here rather than from inside libcurl's callbacks.
    void acted();

private:
    class Watch;

    static int socketCallback(CURL *easy, curl_socket_t socket, int what, void *self, void *watch);
    static int timerCallback(CURLM *multi, long timeoutMs, void *self);
    void act(curl_socket_t socket, int events);
    void drain();

    CURLM *m_multi = nullptr;
    CURLSH *m_share = nullptr;
    QTimer *m_timer = nullptr;
};

} // namespace quorrel
