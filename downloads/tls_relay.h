#pragma once
// TlsRelay: the road ffmpeg takes to the web, so that every TLS peer of a stream is checked.
//
// ffmpeg checks no certificate unless told to (-tls_verify), and the option reaches only the
// connection of the address it is given: the variants, segments and keys a playlist names
// are opened with a fixed list of options that does not hold it (the hls and dash demuxers
// of ffmpeg 5.1 pass on headers, cookies, user agent, referer, proxy and time-out alone).
// What every connection ffmpeg opens does read is its HTTP proxy (http_proxy in its
// environment). So ffmpeg is given this relay as its proxy:
//
//   - an https connection comes as "CONNECT host:port": the relay opens it to the host with
//     TLS, the certificate checked against the system's trust store and the host's name
//     (QSslSocket, as libcurl checks the other downloads), and only then answers 200 and ends
//     ffmpeg's own TLS with a certificate of its own, carrying the bytes between the two;
//     a peer that fails the check gets ffmpeg a 502, and the relay keeps the reason;
//   - a plain http request ("GET http://host/...") goes to its host as it is, each later
//     request of the connection to that same host.
//
// It listens on 127.0.0.1 only and serves only processes of the user who runs it (the owner
// of the connecting socket, as /proc/net/tcp gives it): no other user's program gets a way
// out through it. Everything runs on the event loop; every buffer is bounded.

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QTcpServer>

#include <optional>

namespace quorrel {

class TlsRelay : public QTcpServer {
    Q_OBJECT
public:
    explicit TlsRelay(QObject *parent = nullptr);
    ~TlsRelay() override;

    // Starts listening on 127.0.0.1 at a port the system chooses; the reason on failure.
    std::optional<QString> start();
    // "http://127.0.0.1:port", for http_proxy.
    QString proxyAddress() const;
    // ffmpeg sends no cookie in a request to a proxy (it matches the cookie's path against
    // the absolute address such a request names), so the relay adds it: cookie, as a Cookie
    // header's value, to each plain http request for authority ("host:port" as the address
    // writes it, letter case ignored) that carries none. Requests through a tunnel are
    // ffmpeg's own, cookie and all.
    void setPlainCookie(const QByteArray &authority, const QByteArray &cookie);
    QByteArray withCookie(const QByteArray &head, QByteArrayView authority) const;
    // The first peer the relay refused or could not reach, with why; for the task's reason.
    const std::optional<QString> &refusal() const { return m_refusal; }

    // Whether the process behind a connected socket on 127.0.0.1 runs as this user.
    static bool peerIsThisUser(qintptr socket);

private:
    friend class RelayConnection;
    void incomingConnection(qintptr socket) override;
    void refused(const QString &why);

    const QSslConfiguration &upstreamTrust();
    std::optional<QSslConfiguration> m_upstream; // the trust store, for the peers, once needed
    QSslConfiguration m_local;    // the relay's own certificate, for ffmpeg
    std::optional<QString> m_refusal;
    QByteArray m_cookieAuthority, m_cookie;
};

} // namespace quorrel
