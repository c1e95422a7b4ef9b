#include "downloads/tls_relay.h"

#include "downloads/transfer_reasons.h"

#include <QCoreApplication>
#include <QFile>
#include <QSslSocket>
#include <QTcpSocket>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <arpa/inet.h>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quorrel {
namespace {

constexpr qsizetype kMaxHead = 16 * 1024;       // a request head ffmpeg sends is far smaller
constexpr qint64 kMaxPending = 256 * 1024;       // bytes held for the slower side
constexpr qint64 kChunk = 64 * 1024;

// The relay's own certificate, made once per run: ffmpeg checks none (its peer is the relay,
// on this machine), so a key of the moment, never written anywhere, serves.
struct Identity {
    QSslCertificate certificate;
    QSslKey key;
};

QByteArray pemOf(int (*write)(BIO *, void *), void *object)
{
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), &BIO_free);
    if (!bio || write(bio.get(), object) != 1)
        return {};
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return QByteArray(data, size);
}

Identity makeIdentity()
{
    Identity identity;
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), &EVP_PKEY_free);
    std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), &X509_free);
    if (!key || !cert)
        return identity;
    unsigned char serial[16];
    if (RAND_bytes(serial, sizeof serial) != 1)
        return identity;
    serial[0] &= 0x7F; // a positive number (RFC 5280, 4.1.2.2)
    std::unique_ptr<BIGNUM, decltype(&BN_free)> number(BN_bin2bn(serial, sizeof serial, nullptr), &BN_free);
    X509_NAME *name = X509_get_subject_name(cert.get());
    if (!number || X509_set_version(cert.get(), 2) != 1 || !BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(cert.get())) ||
        !X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) || !X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400 * 7) ||
        X509_set_pubkey(cert.get(), key.get()) != 1 ||
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>("Quorrel relay"), -1, -1,
                                   0) != 1 ||
        X509_set_issuer_name(cert.get(), name) != 1 || X509_sign(cert.get(), key.get(), EVP_sha256()) <= 0)
        return identity;
    const QByteArray certPem = pemOf([](BIO *b, void *x) { return PEM_write_bio_X509(b, static_cast<X509 *>(x)); }, cert.get());
    const QByteArray keyPem = pemOf(
        [](BIO *b, void *k) {
            return PEM_write_bio_PrivateKey(b, static_cast<EVP_PKEY *>(k), nullptr, nullptr, 0, nullptr, nullptr);
        },
        key.get());
    identity.certificate = QSslCertificate(certPem, QSsl::Pem);
    identity.key = QSslKey(keyPem, QSsl::Ec, QSsl::Pem, QSsl::PrivateKey);
    return identity;
}

const Identity &identity()
{
    static const Identity made = makeIdentity();
    return made;
}

// The trusted certificates: the system's store, or the files the curl tool reads
// (CURL_CA_BUNDLE, else SSL_CERT_FILE and SSL_CERT_DIR), as the other downloads take them.
QSslConfiguration upstreamConfiguration()
{
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setPeerVerifyMode(QSslSocket::VerifyPeer);
    config.setProtocol(QSsl::TlsV1_2OrLater);
    QString caFile = qEnvironmentVariable("CURL_CA_BUNDLE");
    QString caPath;
    if (caFile.isEmpty()) {
        caFile = qEnvironmentVariable("SSL_CERT_FILE");
        caPath = qEnvironmentVariable("SSL_CERT_DIR");
    }
    if (!caFile.isEmpty() || !caPath.isEmpty()) {
        QList<QSslCertificate> trusted;
        if (!caFile.isEmpty())
            trusted += QSslCertificate::fromPath(caFile, QSsl::Pem);
        if (!caPath.isEmpty())
            trusted += QSslCertificate::fromPath(caPath + QStringLiteral("/*"), QSsl::Pem, QSslCertificate::PatternSyntax::Wildcard);
        config.setCaCertificates(trusted);
    }
    return config;
}

// "%08X:%04X" of an IPv4 address and port as /proc/net/tcp writes them: the address's four
// bytes read as one number of this machine, the port as a number.
QByteArray procEndpoint(const sockaddr_in &a)
{
    quint32 raw = 0;
    std::memcpy(&raw, &a.sin_addr, sizeof raw);
    return QByteArray::number(raw, 16).rightJustified(8, '0').toUpper() + ':' +
           QByteArray::number(ntohs(a.sin_port), 16).rightJustified(4, '0').toUpper();
}

// host and port of "host:port" or "[v6]:port"; false for anything else (blanks, controls, a
// user name, no port).
bool readAuthority(QByteArrayView text, QString &host, quint16 &port, quint16 defaultPort)
{
    if (text.isEmpty() || text.size() > 300)
        return false;
    for (char c : text) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
                        c == '_' || c == ':' || c == '[' || c == ']';
        if (!ok)
            return false;
    }
    QByteArrayView hostPart = text;
    QByteArrayView portPart;
    if (text.startsWith('[')) {
        const qsizetype close = text.indexOf(']');
        if (close < 0)
            return false;
        hostPart = text.sliced(1, close - 1);
        if (close + 1 < text.size()) {
            if (text[close + 1] != ':')
                return false;
            portPart = text.sliced(close + 2);
        }
    } else {
        const qsizetype colon = text.lastIndexOf(':');
        if (colon >= 0) {
            if (text.first(colon).contains(':'))
                return false;
            hostPart = text.first(colon);
            portPart = text.sliced(colon + 1);
        }
    }
    if (hostPart.isEmpty())
        return false;
    port = defaultPort;
    if (!portPart.isNull()) {
        bool ok = false;
        const uint p = QByteArray(portPart.data(), portPart.size()).toUInt(&ok);
        if (!ok || p == 0 || p > 65535)
            return false;
        port = quint16(p);
    }
    if (port == 0)
        return false;
    host = QString::fromLatin1(hostPart);
    return true;
}

// head with its request line's target in origin form: a client talking to the origin server
// itself sends the path and query alone (RFC 9112, 3.2.1); ffmpeg wrote the absolute form
// for its proxy. readPlainTarget has checked the line ("METHOD http://authority[/path] HTTP/1.x").
QByteArray originForm(const QByteArray &head)
{
    const qsizetype first = head.indexOf(' ');
    const qsizetype second = head.indexOf(' ', first + 1);
    const QByteArray target = head.mid(first + 1, second - first - 1);
    const qsizetype path = target.indexOf('/', 7); // after "http://"
    QByteArray origin = path < 0 ? QByteArray("/") : target.mid(path);
    if (origin.startsWith('?'))
        origin.prepend('/');
    return head.first(first + 1) + origin + head.mid(second);
}

QString peerName(const QString &host, quint16 port)
{
    return kPeerPort.arg(host, QString::number(port));
}

} // namespace

// One connection from ffmpeg, through its life: the request head, then a tunnel (TLS at both
// ends) or a plain relay.
class RelayConnection : public QObject {
public:
    RelayConnection(TlsRelay &relay, qintptr descriptor) : QObject(&relay), m_relay(relay)
    {
        m_client = new QSslSocket(this);
        m_client->setReadBufferSize(kMaxPending);
        if (!m_client->setSocketDescriptor(descriptor)) {
            ::close(int(descriptor));
            deleteLater();
            return;
        }
        connect(m_client, &QSslSocket::readyRead, this, &RelayConnection::clientReadable);
        connect(m_client, &QSslSocket::disconnected, this, &RelayConnection::clientGone);
        connect(m_client, &QSslSocket::encrypted, this, [this] {
            m_tunnelOpen = true;
            toClient();
            pump(m_client, m_upstream);
        });
        connect(m_client, &QSslSocket::bytesWritten, this, &RelayConnection::toClient);
        connect(m_client, &QSslSocket::encryptedBytesWritten, this, &RelayConnection::toClient);
        connect(m_client, &QAbstractSocket::errorOccurred, this, [this] {
            if (m_client->state() != QAbstractSocket::ConnectedState)
                close();
        });
    }

private:
    enum class Stage { Head, Opening, Tunnel, Plain, Closing };

    void clientReadable()
    {
        if (m_stage == Stage::Tunnel) {
            if (m_tunnelOpen)
                pump(m_client, m_upstream);
            return;
        }
        if (m_stage == Stage::Opening)
            return; // nothing more is read until the peer is open
        if (m_stage == Stage::Closing) {
            m_client->readAll();
            return;
        }
        m_head += m_client->read(kMaxHead + 1 - m_head.size());
        if (m_stage == Stage::Head)
            takeFirstHead();
        else if (m_stage == Stage::Plain)
            forwardPlain();
    }

    void takeFirstHead()
    {
        const qsizetype end = m_head.indexOf("\r\n\r\n");
        if (end < 0) {
            if (m_head.size() > kMaxHead)
                answer("431 Request Header Fields Too Large");
            return;
        }
        const QByteArrayView line = QByteArrayView(m_head).first(m_head.indexOf("\r\n"));
        const QList<QByteArray> words = line.toByteArray().split(' ');
        if (words.size() != 3 || !words[2].startsWith("HTTP/1."))
            return answer("400 Bad Request");
        if (words[0] == "CONNECT") {
            if (end + 4 != m_head.size())
                return answer("400 Bad Request"); // nothing may come before the answer
            if (!readAuthority(words[1], m_host, m_port, 0))
                return answer("400 Bad Request");
            m_head.clear();
            openTunnel();
            return;
        }
        if (!readPlainTarget(QByteArrayView(m_head).first(end + 4)))
            return answer("405 Method Not Allowed");
        openPlain();
    }

    // A request for the origin of this connection: GET or HEAD in absolute form, without a
    // body. Takes the origin from the first.
    bool readPlainTarget(QByteArrayView head)
    {
        const qsizetype lineEnd = head.indexOf("\r\n");
        const QList<QByteArray> words = head.first(lineEnd).toByteArray().split(' ');
        if (words.size() != 3 || (words[0] != "GET" && words[0] != "HEAD") || !words[1].toLower().startsWith("http://"))
            return false;
        const QByteArray target = words[1].mid(7);
        qsizetype slash = target.indexOf('/');
        if (slash < 0)
            slash = target.size();
        QString host;
        quint16 port = 0;
        if (!readAuthority(QByteArrayView(target).first(slash), host, port, 80))
            return false;
        m_authority = target.first(slash);
        for (const QByteArray &field : head.toByteArray().toLower().split('\n')) {
            const QByteArray f = field.trimmed();
            if (f.startsWith("transfer-encoding:") || (f.startsWith("content-length:") && f.sliced(15).trimmed() != "0"))
                return false;
        }
        if (m_host.isEmpty()) {
            m_host = host;
            m_port = port;
            return true;
        }
        return host.compare(m_host, Qt::CaseInsensitive) == 0 && port == m_port;
    }

    void openTunnel()
    {
        m_stage = Stage::Opening;
        std::optional<QString> unready;
        if (!QSslSocket::supportsSsl())
            unready = QCoreApplication::translate("Transfer", "Qt 没有可用的 TLS 库：") + QSslSocket::sslLibraryVersionString();
        else if (identity().certificate.isNull() || identity().key.isNull())
            unready = QCoreApplication::translate("Transfer", "无法生成本地转发的证书");
        if (unready) {
            m_relay.refused(*unready);
            return answer("502 Bad Gateway");
        }
        auto *upstream = new QSslSocket(this);
        m_upstream = upstream;
        upstream->setReadBufferSize(kMaxPending);
        upstream->setSslConfiguration(m_relay.upstreamTrust());
        upstream->setPeerVerifyName(m_host);
        connect(upstream, &QSslSocket::sslErrors, this, [this](const QList<QSslError> &errors) {
            QStringList why;
            for (const QSslError &e : errors)
                why << e.errorString();
            m_why = QCoreApplication::translate("Transfer", "服务器的证书未通过验证：") + peerName(m_host, m_port) + QStringLiteral("：") +
                    why.join(QStringLiteral("; "));
        });
        connect(upstream, &QSslSocket::encrypted, this, [this] {
            m_stage = Stage::Tunnel;
            m_client->write("HTTP/1.1 200 Connection established\r\n\r\n");
            m_client->setLocalCertificate(identity().certificate);
            m_client->setPrivateKey(identity().key);
            m_client->startServerEncryption();
        });
        wireUpstream();
        upstream->connectToHostEncrypted(m_host, m_port);
    }

    void openPlain()
    {
        m_stage = Stage::Opening;
        m_upstream = new QTcpSocket(this);
        m_upstream->setReadBufferSize(kMaxPending);
        connect(m_upstream, &QTcpSocket::connected, this, [this] {
            m_stage = Stage::Plain;
            forwardPlain();
        });
        wireUpstream();
        m_upstream->connectToHost(m_host, m_port);
    }

    void wireUpstream()
    {
        connect(m_upstream, &QAbstractSocket::readyRead, this, &RelayConnection::toClient);
        connect(m_upstream, &QAbstractSocket::bytesWritten, this, [this] { resumeClient(); });
        if (auto *ssl = qobject_cast<QSslSocket *>(m_upstream))
            connect(ssl, &QSslSocket::encryptedBytesWritten, this, [this] { resumeClient(); });
        connect(m_upstream, &QAbstractSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
            if (m_stage == Stage::Opening) {
                // The peer could not be opened: ffmpeg is told so, and the task why.
                if (m_why.isEmpty())
                    m_why = QCoreApplication::translate("Transfer", "无法连接到服务器：") + peerName(m_host, m_port) + QStringLiteral("：") +
                            m_upstream->errorString();
                m_relay.refused(m_why);
                return answer("502 Bad Gateway");
            }
            if (error == QAbstractSocket::RemoteHostClosedError)
                return upstreamGone();
            close();
        });
        connect(m_upstream, &QAbstractSocket::disconnected, this, [this] { upstreamGone(); });
    }

    void resumeClient()
    {
        if (m_stage == Stage::Plain)
            forwardPlain();
        else if (m_stage == Stage::Tunnel && m_tunnelOpen)
            pump(m_client, m_upstream);
    }

    // The client's requests on a plain connection, head by head, each checked first.
    void forwardPlain()
    {
        if (m_stage != Stage::Plain)
            return;
        m_head += m_client->read(qMax<qint64>(0, kMaxHead + 1 - m_head.size()));
        qsizetype end;
        while (m_upstream->bytesToWrite() < kMaxPending && (end = m_head.indexOf("\r\n\r\n")) >= 0) {
            const QByteArray head = m_head.left(end + 4);
            if (!readPlainTarget(head))
                return close(); // another host, a body: not this connection's
            m_upstream->write(m_relay.withCookie(originForm(head), m_authority));
            m_head.remove(0, end + 4);
        }
        if (m_head.size() > kMaxHead)
            close();
    }

    static void pump(QAbstractSocket *from, QAbstractSocket *to)
    {
        if (!from || !to)
            return;
        while (from->bytesAvailable() > 0 && to->bytesToWrite() < kMaxPending) {
            const QByteArray chunk = from->read(kChunk);
            if (chunk.isEmpty())
                break;
            to->write(chunk);
        }
    }

    void answer(const char *status)
    {
        m_stage = Stage::Closing;
        m_client->write(QByteArray("HTTP/1.1 ") + status + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        m_client->disconnectFromHost();
        if (m_upstream)
            m_upstream->abort();
    }

    // What the peer sent, as fast as the client takes it; once the peer has closed and
    // everything is passed on, the client's connection closes too (after its last bytes).
    void toClient()
    {
        if (m_stage != Stage::Plain && !(m_stage == Stage::Tunnel && m_tunnelOpen))
            return;
        pump(m_upstream, m_client);
        if (m_upstreamDone && m_upstream->bytesAvailable() == 0) {
            m_stage = Stage::Closing;
            m_client->disconnectFromHost();
        }
    }

    void upstreamGone()
    {
        if (m_stage == Stage::Closing || m_stage == Stage::Opening)
            return;
        m_upstreamDone = true;
        toClient();
    }

    void clientGone()
    {
        m_stage = Stage::Closing;
        if (m_upstream)
            m_upstream->abort();
        deleteLater();
    }

    void close()
    {
        m_stage = Stage::Closing;
        if (m_upstream)
            m_upstream->abort();
        m_client->abort();
        deleteLater();
    }

    TlsRelay &m_relay;
    QSslSocket *m_client = nullptr;
    QAbstractSocket *m_upstream = nullptr;
    Stage m_stage = Stage::Head;
    bool m_tunnelOpen = false;
    bool m_upstreamDone = false; // the peer closed its side
    QByteArray m_head;
    QString m_host;
    quint16 m_port = 0;
    QString m_why;
    QByteArray m_authority; // of the last plain request, as written
};

TlsRelay::TlsRelay(QObject *parent) : QTcpServer(parent) {}

const QSslConfiguration &TlsRelay::upstreamTrust()
{
    // Made at the first tunnel, not at the start: reading the system's store of certificates
    // keeps the event loop a fifth of a second, which a stream over plain http never needs.
    if (!m_upstream)
        m_upstream = upstreamConfiguration();
    return *m_upstream;
}

TlsRelay::~TlsRelay() = default;

std::optional<QString> TlsRelay::start()
{
    // TLS (the library, the relay's own certificate, the trust store) is made ready at the
    // first tunnel: a stream over plain http never needs it, and the event loop is not kept.
    if (!listen(QHostAddress::LocalHost, 0))
        return QCoreApplication::translate("Transfer", "无法打开本地转发端口：") + errorString();
    return std::nullopt;
}

QString TlsRelay::proxyAddress() const
{
    return QStringLiteral("http://127.0.0.1:") + QString::number(serverPort());
}

void TlsRelay::setPlainCookie(const QByteArray &authority, const QByteArray &cookie)
{
    // A value that would end the header line is no cookie of a request (RFC 9110, 5.5).
    if (cookie.contains('\r') || cookie.contains('\n') || cookie.contains('\0'))
        return;
    m_cookieAuthority = authority.toLower();
    m_cookie = cookie;
}

QByteArray TlsRelay::withCookie(const QByteArray &head, QByteArrayView authority) const
{
    if (m_cookie.isEmpty() || authority.toByteArray().toLower() != m_cookieAuthority)
        return head;
    for (const QByteArray &field : head.split('\n'))
        if (field.trimmed().toLower().startsWith("cookie:"))
            return head;
    // Before the empty line that ends the head.
    return head.first(head.size() - 2) + "Cookie: " + m_cookie + "\r\n\r\n";
}

void TlsRelay::refused(const QString &why)
{
    if (!m_refusal)
        m_refusal = why;
}

bool TlsRelay::peerIsThisUser(qintptr socket)
{
    sockaddr_in peer{}, local{};
    socklen_t length = sizeof peer;
    if (::getpeername(int(socket), reinterpret_cast<sockaddr *>(&peer), &length) != 0 || peer.sin_family != AF_INET)
        return false;
    length = sizeof local;
    if (::getsockname(int(socket), reinterpret_cast<sockaddr *>(&local), &length) != 0)
        return false;
    // The peer's own socket: its local end is our peer, its remote end us (proc(5)).
    const QByteArray theirs = procEndpoint(peer) + ' ' + procEndpoint(local);
    QFile table(QStringLiteral("/proc/net/tcp"));
    if (!table.open(QIODevice::ReadOnly))
        return false;
    const QByteArray uid = QByteArray::number(::getuid());
    // Read until a line comes back empty: a file of /proc states no size, so atEnd() is true
    // before its first read.
    for (QByteArray line; !(line = table.readLine(512)).isEmpty();) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        // sl local rem st queues tr retrnsmt uid ...
        if (fields.size() > 7 && fields[1] + ' ' + fields[2] == theirs)
            return fields[7] == uid;
    }
    return false;
}

void TlsRelay::incomingConnection(qintptr socket)
{
    if (!peerIsThisUser(socket)) {
        ::close(int(socket));
        return;
    }
    new RelayConnection(*this, socket);
}

} // namespace quorrel
