// The transfer layer against real peers on 127.0.0.1, all started here: nginx for HTTP and
// HTTPS (certificates made here with openssl), pyftpdlib for FTP (its stock server for
// anonymous logins, tests/servers/ftp_server.py for a user, a server without SIZE and
// REST, and a broken retrieval), and tests/servers/http_faults.py for replies that go wrong.

#include "downloads/curl_multi.h"
#include "downloads/ftp_address.h"
#include "downloads/save_name.h"
#include "downloads/transfer.h"
#include "downloads/transfer_reasons.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QtTest>

#include "test_files.h"
#include "test_peers.h"

#include <functional>
#include <memory>
#include <tuple>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace quorrel;
using namespace quorrel::test;

namespace {

bool runTool(const QString &program, const QStringList &args, const QString &folder)
{
    QProcess p;
    p.setWorkingDirectory(folder);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        qWarning("%s %s: %s", qPrintable(program), qPrintable(args.join(' ')), p.readAll().constData());
        return false;
    }
    return true;
}

QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QRandomGenerator g(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &b : bytes)
        b = static_cast<char>(g.bounded(256));
    return bytes;
}

qint64 residentBytes()
{
    const QList<QByteArray> fields = readFile(QStringLiteral("/proc/self/statm")).split(' ');
    return fields.size() > 1 ? fields[1].toLongLong() * sysconf(_SC_PAGESIZE) : 0;
}

// A TCP relay to a server on 127.0.0.1 that holds the server's first answer on each
// connection for a while: to a TLS client, the server's handshake comes that much later.
class HoldingRelay : public QTcpServer {
public:
    HoldingRelay(quint16 upstream, int holdMs)
    {
        listen(QHostAddress::LocalHost);
        connect(this, &QTcpServer::newConnection, this, [this, upstream, holdMs] {
            while (QTcpSocket *client = nextPendingConnection()) {
                auto *server = new QTcpSocket(client);
                auto held = std::make_shared<QByteArray>();
                auto holding = std::make_shared<bool>(true);
                server->connectToHost(QHostAddress::LocalHost, upstream); // writes wait for the connect
                connect(client, &QTcpSocket::readyRead, server, [client, server] { server->write(client->readAll()); });
                connect(server, &QTcpSocket::readyRead, client, [this, client, server, held, holding, holdMs] {
                    if (!*holding)
                        return void(client->write(server->readAll()));
                    if (held->isEmpty()) {
                        ++m_held;
                        QTimer::singleShot(holdMs, client, [client, held, holding] {
                            *holding = false;
                            client->write(*held);
                        });
                    }
                    *held += server->readAll();
                });
                connect(server, &QTcpSocket::disconnected, client, &QTcpSocket::disconnectFromHost);
                connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
            }
        });
    }
    int held() const { return m_held; }

private:
    int m_held = 0;
};

// A listener that answers no connect: its queue of connections not yet accepted is
// full, and Linux drops the SYNs that come after.
class FullListener {
public:
    FullListener()
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        if (::bind(m_listener, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(m_listener, 0) != 0 ||
            ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&a), &length) != 0)
            return;
        for (int i = 0; i < 4; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
            m_fillers << fd;
        }
        QTest::qWait(50); // the first ones take the queue
        m_port = ntohs(a.sin_port);
    }
    ~FullListener()
    {
        for (int fd : m_fillers)
            ::close(fd);
        ::close(m_listener);
    }
    quint16 port() const { return m_port; }

private:
    int m_listener = -1;
    QList<int> m_fillers;
    quint16 m_port = 0;
};

struct Outcome {
    TransferResult result;
    int finishedCount = 0;
    qint64 expected = -2; // begun's count; -2 when begun never came
    qint64 progress = 0;  // the last progress
};

} // namespace

class TestTransfer : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void addressScheme_data();
    void addressScheme();
    void parseFtpAddress_data();
    void parseFtpAddress();

    void httpDownload_data();
    void httpDownload();
    void httpFailure_data();
    void httpFailure();
    void ftpDownload_data();
    void ftpDownload();
    void ftpFailure_data();
    void ftpFailure();
    void saveFileCannotBeOpened_data();
    void saveFileCannotBeOpened();
    void saveFolderIsMade();
    void connectBound_data();
    void connectBound();
    void requestHeaders();
    void cookiesLastTheRun();
    void capturedHeaders_data();
    void capturedHeaders();
    void cookieJarLines_data();
    void cookieJarLines();
    void cancelKeepsTheBytes();
    void resumesOnlyItsOwnFiles_data();
    void resumesOnlyItsOwnFiles();
    void largeDownload_data();
    void largeDownload();

private:
    void makeCertificates();
    void startNginx();
    Outcome run(const TransferRequest &request, int stallSeconds = 0,
                const std::function<void(Transfer &)> &hook = {});
    // A resume continues the program's own partial file; any other task meets the file under
    // the final name.
    void prepareSaveFile(bool exists, const QByteArray &bytes, bool resume);
    // The bytes a failed task leaves: its partial file (absent: none), and the file under
    // the final name, never touched by a download that did not end whole.
    void checkLeftFiles(bool exists, const QByteArray &before, bool resume, const QByteArray &after);
    QStringList httpRequestsSince(qint64 mark, int count);
    QStringList ftpCommandsSince(const QByteArray &log, qsizetype mark);

    QTemporaryDir m_root; // servers' folders, configurations and logs
    std::unique_ptr<QTemporaryDir> m_save;
    QString m_savePath;
    std::unique_ptr<CurlMulti> m_multi;

    QByteArray m_data;  // a.bin everywhere
    QByteArray m_junk;  // what a save file may hold before
    qsizetype m_half = 0;
    static constexpr qint64 kBigHttp = qint64(1) << 30;
    static constexpr qint64 kBigFtp = qint64(256) << 20;

    Peer m_nginx, m_faults, m_ftpAnonymous, m_ftpUser, m_ftpOld;
    QString m_http, m_https, m_selfSigned, m_otherHost, m_expired, m_faulty; // base addresses
    QString m_ftp, m_ftpAtUser, m_ftpAtOld;                    // ftp://127.0.0.1:port
    quint16 m_closedPort = 0;
    QString m_accessLog, m_userLog, m_oldLog;
};

void TestTransfer::initTestCase()
{
    QVERIFY(m_root.isValid());
    openToServerWorkers(m_root.path());
    const QString root = m_root.path();
    for (const char *folder : {"www/files", "ftp/pub/docs", "logs", "tmp", "tls"})
        QVERIFY(QDir(root).mkpath(QString::fromLatin1(folder)));

    m_data = randomBytes(200000, 1);
    m_junk = randomBytes(300000, 2);
    m_half = m_data.size() / 2;
    writeFile(root + "/www/files/a.bin", m_data);
    writeFile(root + "/ftp/a.bin", m_data);
    writeFile(root + "/ftp/pub/docs/a.bin", m_data);
    writeFile(root + "/ftp/pub/docs/cut-a.bin", m_data);
    // Large files as holes: nothing to read from disk, so the transfer is what is measured.
    QFile big(root + "/www/files/big.bin");
    QVERIFY(big.open(QIODevice::WriteOnly) && big.resize(kBigHttp));
    big.close();
    QFile bigFtp(root + "/ftp/big.bin");
    QVERIFY(bigFtp.open(QIODevice::WriteOnly) && bigFtp.resize(kBigFtp));
    bigFtp.close();

    const QList<quint16> ports = freePorts(10);
    const QString local = QStringLiteral("127.0.0.1:%1");
    m_http = "http://" + local.arg(ports[0]);
    m_https = "https://" + local.arg(ports[1]);
    m_selfSigned = "https://" + local.arg(ports[2]);
    m_otherHost = "https://" + local.arg(ports[3]);
    m_faulty = "http://" + local.arg(ports[4]);
    m_ftp = "ftp://" + local.arg(ports[5]);
    m_ftpAtUser = local.arg(ports[6]);
    m_ftpAtOld = local.arg(ports[7]);
    m_closedPort = ports[8];
    m_expired = "https://" + local.arg(ports[9]);

    makeCertificates();
    // The test's CA, trusted the way a user would: through the environment, before the
    // first transfer.
    qputenv("CURL_CA_BUNDLE", QFile::encodeName(root + "/tls/ca.pem"));
    startNginx();

    QVERIFY(m_faults.start(python(),
                           {kServers + "/http_faults.py", "--port", QString::number(ports[4]),
                            "--root", root + "/www/files"},
                           ports[4]));
    QVERIFY(m_ftpAnonymous.start(python(), {"-m", "pyftpdlib", "-i", "127.0.0.1", "-p", QString::number(ports[5]), "-d",
                                            root + "/ftp", "-D"},
                                 ports[5]));
    m_userLog = root + "/logs/ftp-user.log";
    m_oldLog = root + "/logs/ftp-old.log";
    writeFile(m_userLog, {});
    writeFile(m_oldLog, {});
    const QStringList user{kServers + "/ftp_server.py", "--root", root + "/ftp",
                           "--user", "bob", "--password", "s3cret"};
    QVERIFY(m_ftpUser.start(python(), user + QStringList{"--port", QString::number(ports[6]), "--log", m_userLog},
                            ports[6]));
    QVERIFY(m_ftpOld.start(
        python(), user + QStringList{"--port", QString::number(ports[7]), "--log", m_oldLog, "--old"}, ports[7]));

    m_multi = std::make_unique<CurlMulti>();
}

void TestTransfer::makeCertificates()
{
    const QString tls = m_root.path() + "/tls";
    const QStringList ec{"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
    QVERIFY(runTool("openssl",
                    QStringList{"req", "-x509"} + ec +
                        QStringList{"-keyout", "ca.key", "-out", "ca.pem", "-days", "7", "-subj", "/CN=Quorrel test CA",
                                    "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
                                    "keyUsage=critical,keyCertSign,cRLSign"},
                    tls));
    // Signed by the CA: one for this machine, one naming another host, one that expired
    // (it ends a day before it begins).
    for (const auto &[name, names, days] : {std::tuple{"local", "IP:127.0.0.1,DNS:localhost", "7"},
                                            std::tuple{"elsewhere", "DNS:elsewhere.invalid", "7"},
                                            std::tuple{"expired", "IP:127.0.0.1", "-1"}}) {
        const QString n = QString::fromLatin1(name);
        writeFile(tls + "/" + n + ".ext", QByteArray("subjectAltName=") + names +
                                              "\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n");
        QVERIFY(runTool("openssl",
                        QStringList{"req"} + ec +
                            QStringList{"-keyout", n + ".key", "-out", n + ".csr", "-subj", "/CN=" + n},
                        tls));
        QVERIFY(runTool("openssl",
                        {"x509", "-req", "-in", n + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-set_serial", "2",
                         "-days", days, "-extfile", n + ".ext", "-out", n + ".pem"},
                        tls));
    }
    QVERIFY(runTool("openssl",
                    QStringList{"req", "-x509"} + ec +
                        QStringList{"-keyout", "self.key", "-out", "self.pem", "-days", "7", "-subj", "/CN=127.0.0.1",
                                    "-addext", "subjectAltName=IP:127.0.0.1"},
                    tls));
}

void TestTransfer::startNginx()
{
    const QString root = m_root.path();
    m_accessLog = root + "/logs/access.log";
    const auto port = [](const QString &base) { return base.mid(base.lastIndexOf(':') + 1); };
    const auto tlsServer = [&](const QString &base, const QString &cert) {
        return QStringLiteral("  server {\n"
                              "    listen 127.0.0.1:%1 ssl;\n"
                              "    ssl_certificate %2/tls/%3.pem;\n"
                              "    ssl_certificate_key %2/tls/%3.key;\n"
                              "    root %2/www;\n"
                              "  }\n")
            .arg(port(base), root, cert);
    };
    QString conf = QStringLiteral("daemon off;\n"
                                  "%1"
                                  "worker_processes 1;\n"
                                  "pid %2/logs/nginx.pid;\n"
                                  "error_log %2/logs/error.log;\n"
                                  "events { worker_connections 64; }\n"
                                  "http {\n"
                                  "  log_format requests '$request_method $uri $http_range';\n"
                                  "  access_log %2/logs/access.log requests;\n"
                                  "  client_body_temp_path %2/tmp/body;\n"
                                  "  proxy_temp_path %2/tmp/proxy;\n"
                                  "  fastcgi_temp_path %2/tmp/fastcgi;\n"
                                  "  uwsgi_temp_path %2/tmp/uwsgi;\n"
                                  "  scgi_temp_path %2/tmp/scgi;\n"
                                  "  default_type application/octet-stream;\n"
                                  "  sendfile on;\n"
                                  "  server {\n"
                                  "    listen 127.0.0.1:%3;\n"
                                  "    root %2/www;\n"
                                  "    location = /moved { return 302 /files/a.bin; }\n"
                                  "    location = /cookie/set {\n"
                                  "      add_header Set-Cookie \"quorrel=kept; Path=/\";\n"
                                  "      return 200 \"set\\n\";\n"
                                  "    }\n"
                                  "    location = /cookie/echo { return 200 \"$http_cookie\"; }\n"
                                  "    location = /headers { return 200 \"$http_user_agent|$http_accept\"; }\n"
                                  // A media server that wants the page's Referer and the
                                  // session's cookie, as many do.
                                  "    location = /guarded {\n"
                                  "      if ($cookie_session != \"s3cret\") { return 403; }\n"
                                  "      if ($http_referer != \"http://page.test/watch\") { return 403; }\n"
                                  "      return 200 \"$http_user_agent|$http_referer|$http_cookie\";\n"
                                  "    }\n"
                                  "    location = /here { return 302 /cookie/echo; }\n"
                                  "    location = /away { return 302 http://localhost:%3/cookie/echo; }\n"
                                  "  }\n")
                       .arg(::geteuid() == 0 ? QStringLiteral("user root;\n") : QString(), root, port(m_http));
    conf += tlsServer(m_https, "local") + tlsServer(m_selfSigned, "self") + tlsServer(m_otherHost, "elsewhere") +
            tlsServer(m_expired, "expired") + "}\n";
    writeFile(root + "/nginx.conf", conf.toUtf8());
    QVERIFY(m_nginx.start("nginx", {"-c", root + "/nginx.conf", "-p", root, "-e", root + "/logs/error.log"},
                          port(m_http).toUShort()));
    for (const QString &base : {m_https, m_selfSigned, m_otherHost, m_expired})
        QTRY_VERIFY(accepts(port(base).toUShort()));
}

void TestTransfer::cleanupTestCase()
{
    m_multi.reset();
    m_nginx.stop();
    m_faults.stop();
    m_ftpAnonymous.stop();
    m_ftpUser.stop();
    m_ftpOld.stop();
}

void TestTransfer::init()
{
    m_save = std::make_unique<QTemporaryDir>();
    QVERIFY(m_save->isValid());
    m_savePath = m_save->path() + "/a.bin";
}

Outcome TestTransfer::run(const TransferRequest &request, int stallSeconds, const std::function<void(Transfer &)> &hook)
{
    Outcome o;
    CurlTransfer transfer(*m_multi, request);
    if (stallSeconds > 0)
        transfer.setStallTimeout(stallSeconds);
    QEventLoop loop;
    connect(&transfer, &Transfer::begun, &loop, [&o](qint64 expected) { o.expected = expected; });
    connect(&transfer, &Transfer::progress, &loop, [&o](qint64 bytes) { o.progress = bytes; });
    connect(&transfer, &Transfer::finished, &loop, [&](const TransferResult &result) {
        o.result = result;
        ++o.finishedCount;
        loop.quit();
    });
    if (hook)
        hook(transfer);
    transfer.start();
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    loop.exec();
    QCoreApplication::processEvents(); // a second finished would be queued by now
    return o;
}

void TestTransfer::prepareSaveFile(bool exists, const QByteArray &bytes, bool resume)
{
    if (exists)
        writeFile(resume ? PartialPath(m_savePath) : m_savePath, bytes);
}

void TestTransfer::checkLeftFiles(bool exists, const QByteArray &before, bool resume, const QByteArray &after)
{
    const QString part = PartialPath(m_savePath);
    if (exists && !resume) {
        QCOMPARE(readFile(m_savePath), before);
    } else {
        QVERIFY(!QFileInfo::exists(m_savePath));
    }
    const bool partLeft = resume ? exists || !after.isEmpty() : !after.isEmpty() && !(exists && after == before);
    QCOMPARE(QFileInfo::exists(part), partLeft);
    if (partLeft)
        QCOMPARE(readFile(part), after);
}

// The requests nginx logged after mark (a size of its log), "METHOD uri range" each.
QStringList TestTransfer::httpRequestsSince(qint64 mark, int count)
{
    QStringList lines;
    QElapsedTimer t;
    t.start();
    do {
        lines = QString::fromLatin1(readFile(m_accessLog).mid(mark)).split('\n', Qt::SkipEmptyParts);
        if (lines.size() >= count)
            break;
        QTest::qWait(20); // nginx logs a request once it has sent the reply
    } while (t.elapsed() < 3000);
    return lines;
}

QStringList TestTransfer::ftpCommandsSince(const QByteArray &log, qsizetype mark)
{
    // pyftpdlib's debug lines end in "<- COMMAND"; the test server writes commands alone.
    QStringList commands;
    for (const QByteArray &line : log.mid(mark).split('\n')) {
        const qsizetype arrow = line.indexOf("<- ");
        const QByteArray command = (arrow >= 0 ? line.mid(arrow + 3) : line).trimmed();
        if (!command.isEmpty())
            commands << QString::fromLatin1(command);
    }
    return commands;
}

void TestTransfer::addressScheme_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("scheme");
    QTest::newRow("http in capitals") << "HTTP://HOST/A.ZIP" << 1;
    QTest::newRow("https") << "https://host/a.zip" << 1;
    QTest::newRow("ftp") << "ftp://host/a.zip" << 2;
    QTest::newRow("ftp in capitals") << "FTP://HOST/A.ZIP" << 2;
    QTest::newRow("mms") << "mms://host/a.wmv" << 0;
    QTest::newRow("http later in the text") << "xhttp://host/a.zip" << 0;
    QTest::newRow("a blank before") << " http://host/a.zip" << 0;
    QTest::newRow("empty") << "" << 0;
}

void TestTransfer::addressScheme()
{
    QFETCH(QString, address);
    QFETCH(int, scheme);
    QCOMPARE(AddressScheme(address), scheme);
}

void TestTransfer::parseFtpAddress_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("passwordMissing");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("directory");
    QTest::addColumn<QString>("fileName");

    const QString anonymous = QStringLiteral("anonymous");
    const QString builtIn = QStringLiteral("anon@quorrel");
    QTest::newRow("anonymous") << "ftp://host/a.zip" << anonymous << builtIn << false << "host" << "21" << "/"
                               << "a.zip";
    QTest::newRow("user, password, port") << "ftp://u:pw@host:2121/pub/docs/a.zip" << "u" << "pw" << false << "host"
                                          << "2121" << "/pub/docs" << "a.zip";
    QTest::newRow("user without password") << "ftp://bob@host/x/y.iso" << "bob" << "" << true << "host" << "21" << "/x"
                                           << "y.iso";
    QTest::newRow("scheme in capitals") << "FTP://HOST/A.ZIP" << anonymous << builtIn << false << "HOST" << "21" << "/"
                                        << "A.ZIP";
    QTest::newRow("password with a colon") << "ftp://u:p:q@host/a.zip" << "u" << "p:q" << false << "host" << "21" << "/"
                                           << "a.zip";
    QTest::newRow("@ in the path") << "ftp://host/dir/a@b.zip" << "host/dir/a" << "" << true << "" << "21" << "/"
                                   << "b.zip";
    QTest::newRow("colon after the first slash") << "ftp://host/a:b/c.zip" << anonymous << builtIn << false << "host/a"
                                                 << "" << "/a:b" << "c.zip";
    QTest::newRow("port and no slash") << "ftp://host:2121" << anonymous << builtIn << false << "host" << "" << "/"
                                       << "host:2121";
    QTest::newRow("no slash") << "ftp://host" << anonymous << builtIn << false << "" << "21" << "/" << "host";
    QTest::newRow("trailing slash") << "ftp://host/pub/" << anonymous << builtIn << false << "host" << "21" << "/pub"
                                    << "";
    QTest::newRow("no scheme") << "host/pub/a.zip" << anonymous << builtIn << false << "host" << "21" << "/pub"
                               << "a.zip";
    // "Contains", not "begins with": the first six characters go whatever they are.
    QTest::newRow("ftp:// later in the text") << "xftp://host/a.zip" << anonymous << builtIn << false << "" << "21"
                                              << "/host" << "a.zip";
}

void TestTransfer::parseFtpAddress()
{
    QFETCH(QString, address);
    const FtpAddress a = ParseFtpAddress(address);
    QTEST(a.user, "user");
    QTEST(a.password, "password");
    QTEST(a.passwordMissing, "passwordMissing");
    QTEST(a.host, "host");
    QTEST(a.port, "port");
    QTEST(a.directory, "directory");
    QTEST(a.fileName, "fileName");
}

void TestTransfer::httpDownload_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("exists");
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<bool>("resume");
    QTest::addColumn<QStringList>("requests"); // as nginx logged them; empty: not nginx
    QTest::addColumn<QByteArray>("after");

    const QString a = m_http + "/files/a.bin";
    const QString n1 = QString::number(m_data.size() - 1);
    QByteArray lastByteWrong = m_data.left(500);
    lastByteWrong[499] = static_cast<char>(~lastByteWrong[499]);

    QTest::newRow("fresh") << a << false << QByteArray() << false << QStringList{"GET /files/a.bin -"} << m_data;
    QTest::newRow("resume a partial file")
        << a << true << m_data.left(500) << true << QStringList{"HEAD /files/a.bin -", "GET /files/a.bin bytes=499-"}
        << m_data;
    QTest::newRow("resume fetches the last byte again")
        << a << true << lastByteWrong << true << QStringList{"HEAD /files/a.bin -", "GET /files/a.bin bytes=499-"}
        << m_data;
    QTest::newRow("resume a complete file") << a << true << m_data << true << QStringList{"HEAD /files/a.bin -"}
                                            << m_data;
    QTest::newRow("resume an empty file") << a << true << QByteArray() << true << QStringList{"GET /files/a.bin -"}
                                          << m_data;
    QTest::newRow("rewrite a longer file") << a << true << m_junk << false << QStringList{"GET /files/a.bin -"}
                                           << m_data;
    QTest::newRow("redirect with a body") << m_http + "/moved" << false << QByteArray() << false
                                          << QStringList{"GET /moved -", "GET /files/a.bin -"} << m_data;
    QTest::newRow("resume answered with the whole file")
        << m_faulty + "/ignore-range/a.bin" << true << m_junk << true << QStringList() << m_data;
    QTest::newRow("https, trusted CA") << m_https + "/files/a.bin" << false << QByteArray() << false
                                       << QStringList{"GET /files/a.bin -"} << m_data;
}

void TestTransfer::httpDownload()
{
    QFETCH(QString, address);
    QFETCH(bool, exists);
    QFETCH(QByteArray, before);
    QFETCH(bool, resume);
    QFETCH(QStringList, requests);
    QFETCH(QByteArray, after);

    prepareSaveFile(exists, before, resume);
    const qint64 mark = QFileInfo(m_accessLog).size();
    const Outcome o = run({address, m_savePath, resume, {}});
    QVERIFY2(o.result.done, qPrintable(o.result.reason));
    QCOMPARE(o.finishedCount, 1);
    QVERIFY(o.result.reason.isEmpty());
    QCOMPARE(readFile(m_savePath), after);
    QVERIFY(!QFileInfo::exists(PartialPath(m_savePath))); // renamed once whole
    QCOMPARE(o.result.fileSize, after.size());
    QCOMPARE(o.result.ftpSize, 0);
    // A partial file that held it all already is renamed without a body.
    QCOMPARE(o.result.alreadyComplete, resume && before == m_data);
    if (!o.result.alreadyComplete) {
        QVERIFY(o.expected > 0);
        QCOMPARE(o.progress, o.expected);
    }
    if (!requests.isEmpty())
        QCOMPARE(httpRequestsSince(mark, int(requests.size())), requests);
}

void TestTransfer::httpFailure_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("exists");
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<bool>("resume");
    QTest::addColumn<int>("stall"); // seconds without a byte that fail it; 0: the default
    QTest::addColumn<QString>("words"); // how the reason begins: the program's own words
    QTest::addColumn<QString>("reason"); // what it holds after them: libcurl's, the server's
    QTest::addColumn<QByteArray>("after");

    const QByteArray old("what the file held before");
    const QByteArray partial = m_data.left(500);
    const QByteArray half = m_data.left(m_half);
    const QString f = m_faulty;
    const auto curl = [](CURLcode code) { return CurlResultText(code) + QStringLiteral("："); };
    const QString notFound = kServerError.arg("HTTP 404");
    QTest::newRow("error page, no file") << f + "/error/a.bin" << false << QByteArray() << false << 0 << notFound << QString()
                                         << QByteArray();
    QTest::newRow("error page over a file") << f + "/error/a.bin" << true << old << false << 0 << notFound << QString() << old;
    QTest::newRow("nginx's error page") << m_http + "/files/none.bin" << true << old << false << 0 << notFound
                                        << "Not Found" << old;
    QTest::newRow("body cut short") << f + "/cut/a.bin" << false << QByteArray() << false << 0 << curl(CURLE_PARTIAL_FILE)
                                    << "transfer closed with 100000 bytes remaining" << half;
    QTest::newRow("chunked body without its last chunk")
        << f + "/chunked-cut/a.bin" << true << m_junk << false << 0 << curl(CURLE_PARTIAL_FILE) << "transfer closed" << half;
    QTest::newRow("connection reset") << f + "/reset/a.bin" << false << QByteArray() << false << 0 << curl(CURLE_RECV_ERROR)
                                      << "reset" << half;
    QTest::newRow("resume cut short") << f + "/cut/a.bin" << true << m_junk << true << 0 << curl(CURLE_PARTIAL_FILE)
                                      << "transfer closed" << half;
    QTest::newRow("resume answered from another byte") << f + "/wrong-range/a.bin" << true << partial << true << 0
                                                       << kOtherRangeAnswered.arg(0).arg(499) << QString() << partial;
    QTest::newRow("resume answered 416") << f + "/unsatisfiable/a.bin" << true << partial << true << 0
                                         << kServerError.arg("HTTP 416") << QString() << partial;
    QTest::newRow("redirect loop") << f + "/loop/a.bin" << false << QByteArray() << false << 0
                                   << curl(CURLE_TOO_MANY_REDIRECTS) << "Maximum (20) redirects followed" << QByteArray();
    QTest::newRow("redirect to file://") << f + "/to-file/a.bin" << false << QByteArray() << false << 0
                                         << curl(CURLE_UNSUPPORTED_PROTOCOL) << "Protocol \"file\" not supported" << QByteArray();
    QTest::newRow("server stops sending") << f + "/stall/a.bin" << false << QByteArray() << false << 2
                                          << curl(CURLE_OPERATION_TIMEDOUT) << "Operation too slow" << half;
    const QString unverified = curl(CURLE_PEER_FAILED_VERIFICATION);
    QTest::newRow("self-signed certificate") << m_selfSigned + "/files/a.bin" << false << QByteArray() << false << 0
                                             << unverified << "SSL certificate problem: self-signed certificate" << QByteArray();
    QTest::newRow("certificate of another host")
        << m_otherHost + "/files/a.bin" << true << old << false << 0 << unverified
        << "no alternative certificate subject name matches target host name '127.0.0.1'" << old;
    QTest::newRow("expired certificate") << m_expired + "/files/a.bin" << false << QByteArray() << false << 0 << unverified
                                         << "SSL certificate problem: certificate has expired" << QByteArray();
    QTest::newRow("nothing listens") << QStringLiteral("http://127.0.0.1:%1/a.bin").arg(m_closedPort) << false
                                     << QByteArray() << false << 0 << curl(CURLE_COULDNT_CONNECT)
                                     << "Couldn't connect to server" << QByteArray();
    QTest::newRow("not a download address") << "mms://127.0.0.1/a.wmv" << true << old << false << 0
                                            << kNotADownloadAddress + "mms://127.0.0.1/a.wmv" << QString() << old;
}

void TestTransfer::httpFailure()
{
    QFETCH(QString, address);
    QFETCH(bool, exists);
    QFETCH(QByteArray, before);
    QFETCH(bool, resume);
    QFETCH(int, stall);
    QFETCH(QString, words);
    QFETCH(QString, reason);
    QFETCH(QByteArray, after);

    prepareSaveFile(exists, before, resume);
    const Outcome o = run({address, m_savePath, resume, {}}, stall);
    QVERIFY(!o.result.done);
    QCOMPARE(o.finishedCount, 1);
    QVERIFY2(o.result.reason.startsWith(words), qPrintable(o.result.reason));
    QVERIFY2(o.result.reason.contains(reason), qPrintable(o.result.reason));
    // A failure before the first byte leaves no empty file behind.
    checkLeftFiles(exists, before, resume, after);
    QCOMPARE(o.progress, after == before ? 0 : after.size());
    if (o.progress == 0)
        QCOMPARE(o.expected, -2); // an error page, a wrong range: no body began
}

void TestTransfer::ftpDownload_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("typedPassword"); // the answer to the password question; null: none asked
    QTest::addColumn<bool>("exists");
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<bool>("resume");
    QTest::addColumn<qint64>("ftpSize");
    QTest::addColumn<QStringList>("commands"); // from USER on, as the server received them

    const QString docs = m_ftp + "/pub/docs/a.bin";
    const QString bob = "ftp://bob:s3cret@" + m_ftpAtUser + "/pub/docs/a.bin";
    const QStringList login{"USER anonymous", "PASS ******", "PWD", "CWD /pub/docs"};
    const QStringList bobLogin{"USER bob", "PASS s3cret", "PWD", "CWD /pub/docs"};
    const QStringList retrieve{"SIZE a.bin", "RETR a.bin"};

    const qint64 size = m_data.size();

    QTest::newRow("anonymous") << docs << QString() << false << QByteArray() << false << size << login + retrieve;
    QTest::newRow("anonymous, top directory")
        << m_ftp + "/a.bin" << QString() << false << QByteArray() << false << size
        << QStringList{"USER anonymous", "PASS ******", "PWD", "CWD /", "SIZE a.bin", "RETR a.bin"};
    QTest::newRow("user and password on another port") << bob << QString() << false << QByteArray() << false << size
                                                       << bobLogin + retrieve;
    QTest::newRow("password typed by the user") << "ftp://bob@" + m_ftpAtUser + "/pub/docs/a.bin" << "s3cret" << false
                                                << QByteArray() << false << size << bobLogin + retrieve;
    QTest::newRow("resume at byte n") << bob << QString() << true << m_data.left(500) << true << size
                                      << bobLogin + QStringList{"SIZE a.bin", "REST 500", "RETR a.bin"};
    QTest::newRow("resume an empty file") << bob << QString() << true << QByteArray() << true << size
                                          << bobLogin + retrieve;
    QTest::newRow("rewrite a longer file") << bob << QString() << true << m_junk << false << size
                                           << bobLogin + retrieve;
    QTest::newRow("server without SIZE") << "ftp://bob:s3cret@" + m_ftpAtOld + "/pub/docs/a.bin" << QString() << true
                                         << m_junk << false << qint64(-1) << bobLogin + retrieve;
}

void TestTransfer::ftpDownload()
{
    QFETCH(QString, address);
    QFETCH(QString, typedPassword);
    QFETCH(bool, exists);
    QFETCH(QByteArray, before);
    QFETCH(bool, resume);
    QFETCH(qint64, ftpSize);
    QFETCH(QStringList, commands);

    prepareSaveFile(exists, before, resume);
    TransferRequest request{address, m_savePath, resume, {}};
    if (!typedPassword.isNull()) {
        FtpAddress parts = ParseFtpAddress(address);
        QVERIFY(parts.passwordMissing);
        parts.password = typedPassword;
        request.ftp = parts;
    }
    // The stock server's commands are in its debug output, the test server's in its log.
    const auto log = [&] {
        return address.startsWith(m_ftp)        ? m_ftpAnonymous.output()
               : address.contains(m_ftpAtUser) ? readFile(m_userLog)
                                               : readFile(m_oldLog);
    };
    const QByteArray logBefore = log();

    const Outcome o = run(request);
    QVERIFY2(o.result.done, qPrintable(o.result.reason));
    QCOMPARE(o.finishedCount, 1);
    QCOMPARE(readFile(m_savePath), m_data);
    QCOMPARE(o.result.ftpSize, ftpSize);
    QCOMPARE(o.result.fileSize, m_data.size());

    QStringList received;
    QTRY_VERIFY((received = ftpCommandsSince(log(), logBefore.size())).contains("RETR a.bin"));
    // What matters of the dialogue: the login, one CWD to the directory, then the file.
    received.erase(std::remove_if(received.begin(), received.end(),
                                  [](const QString &c) {
                                      return !c.startsWith("USER") && !c.startsWith("PASS") && !c.startsWith("PWD") &&
                                             !c.startsWith("CWD") && !c.startsWith("SIZE") && !c.startsWith("REST") &&
                                             !c.startsWith("RETR");
                                  }),
                   received.end());
    QCOMPARE(received, commands);
}

void TestTransfer::ftpFailure_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("exists");
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<bool>("resume");
    QTest::addColumn<QString>("words"); // how the reason begins: the program's own words
    QTest::addColumn<QString>("reason"); // what it holds after them: libcurl's, the server's
    QTest::addColumn<bool>("refused"); // logged in, then a command refused
    QTest::addColumn<QByteArray>("after");

    const QByteArray old("what the file held before");
    const QByteArray partial = m_data.left(500);
    const QString bob = "ftp://bob:s3cret@";
    const auto curl = [](CURLcode code) { return CurlResultText(code) + QStringLiteral("："); };
    // The server's reply, from its code on.
    const auto said = [](const QString &code) { return kFtpServerSaid.arg(code).chopped(1); };
    QTest::newRow("refused directory") << m_ftp + "/nowhere/a.bin" << true << old << false << curl(CURLE_REMOTE_ACCESS_DENIED)
                                       << "Server denied you to change to the given directory" + said("550") << true << old;
    QTest::newRow("no such file") << m_ftp + "/pub/docs/none.bin" << false << QByteArray() << false
                                  << curl(CURLE_REMOTE_FILE_NOT_FOUND) << said("550") << true << QByteArray();
    QTest::newRow("REST refused") << bob + m_ftpAtOld + "/pub/docs/a.bin" << true << partial << true
                                  << curl(CURLE_FTP_COULDNT_USE_REST) << "Couldn't use REST" + said("502") << true << partial;
    QTest::newRow("restart beyond the end") << bob + m_ftpAtUser + "/pub/docs/a.bin" << true << m_junk << true
                                            << curl(CURLE_BAD_DOWNLOAD_RESUME) << "beyond file size" << true << m_junk;
    QTest::newRow("wrong password") << "ftp://bob:wrong@" + m_ftpAtUser + "/pub/docs/a.bin" << false << QByteArray()
                                    << false << curl(CURLE_LOGIN_DENIED) << said("530") << false << QByteArray();
    QTest::newRow("nothing listens") << QStringLiteral("ftp://127.0.0.1:%1/a.bin").arg(m_closedPort) << true << old
                                     << false << curl(CURLE_COULDNT_CONNECT) << "Couldn't connect to server" << false << old;
    QTest::newRow("retrieval breaks off") << bob + m_ftpAtUser + "/pub/docs/cut-a.bin" << true << m_junk << false
                                          << curl(CURLE_PARTIAL_FILE) << "transfer closed" << false << m_data.left(m_half);
    QTest::newRow("no host") << "ftp://bob@/a.bin" << false << QByteArray() << false << kNoFtpServer + "ftp://bob@/a.bin"
                             << QString() << false << QByteArray();
    QTest::newRow("port not a number") << "ftp://127.0.0.1:2x1/a.bin" << false << QByteArray() << false
                                       << kBadFtpPort.arg("2x1") << QString() << false << QByteArray();
}

void TestTransfer::ftpFailure()
{
    QFETCH(QString, address);
    QFETCH(bool, exists);
    QFETCH(QByteArray, before);
    QFETCH(bool, resume);
    QFETCH(QString, words);
    QFETCH(QString, reason);
    QFETCH(bool, refused);
    QFETCH(QByteArray, after);

    prepareSaveFile(exists, before, resume);
    const Outcome o = run({address, m_savePath, resume, {}});
    QVERIFY(!o.result.done);
    QCOMPARE(o.finishedCount, 1);
    QVERIFY2(o.result.reason.startsWith(words), qPrintable(o.result.reason));
    QVERIFY2(o.result.reason.contains(reason), qPrintable(o.result.reason));
    QCOMPARE(o.result.refused, refused);
    checkLeftFiles(exists, before, resume, after);
}

void TestTransfer::saveFileCannotBeOpened_data()
{
    QTest::addColumn<QString>("savePath"); // below the save folder
    QTest::addColumn<QString>("reason");
    QTest::newRow("no file name") << QString() << kNoFileName;
    // %1: the save folder; the system's reason follows.
    QTest::newRow("a folder that cannot be made") << "file/folder/a.bin" << kFolderUnmakeable.arg("%1/file/folder", QString());
    QTest::newRow("a folder") << "folder" << kIsAFolder;
    QTest::newRow("the save folder itself") << "" << kIsAFolder;
}

void TestTransfer::saveFileCannotBeOpened()
{
    QFETCH(QString, savePath);
    QFETCH(QString, reason);
    writeFile(m_save->filePath("file"), "a file, where a folder would have to be");
    QVERIFY(QDir(m_save->path()).mkpath("folder"));
    if (!savePath.isNull())
        savePath = m_save->path() + "/" + savePath;
    if (reason.contains("%1"))
        reason = reason.arg(m_save->path());
    for (const QString &address : {m_http + "/files/a.bin", m_ftp + "/a.bin"}) {
        const Outcome o = run({address, savePath, false, {}});
        QVERIFY(!o.result.done);
        QCOMPARE(o.finishedCount, 1);
        QVERIFY2(o.result.reason.startsWith(kSaveFileUnopenable.arg(savePath, reason)),
                 qPrintable(o.result.reason));
        QCOMPARE(o.result.fileSize, -1);
    }
    QCOMPARE(QDir(m_save->path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), (QStringList{"file", "folder"}));
}

// A save folder that is not there yet is made with its parents, for both clients.
void TestTransfer::saveFolderIsMade()
{
    for (const QString &address : {m_http + "/files/a.bin", m_ftp + "/a.bin"}) {
        const QString path = m_save->path() + "/new/" + address.left(3) + "/a.bin";
        const Outcome o = run({address, path, false, {}});
        QVERIFY2(o.result.done, qPrintable(o.result.reason));
        QCOMPARE(readFile(path), m_data);
    }
}

// The TCP connect alone has 300 ms: a TLS handshake answered later, or a slow name
// look-up, gets the stall time as every other wait.
void TestTransfer::connectBound_data()
{
    QTest::addColumn<QString>("server"); // "handshake": TLS answered 500 ms late; "backlog": no TCP answer
    QTest::addColumn<QString>("reason"); // empty: done
    QTest::newRow("TLS handshake answered after 500 ms") << "handshake" << QString();
    QTest::newRow("TCP connect not answered") << "backlog" << kConnectTimedOut.arg(kPeerPort.arg("127.0.0.1", "%1"), "300");
}

void TestTransfer::connectBound()
{
    QFETCH(QString, server);
    QFETCH(QString, reason);
    QString address;
    std::unique_ptr<HoldingRelay> relay;
    std::unique_ptr<FullListener> listener;
    if (server == "handshake") {
        relay = std::make_unique<HoldingRelay>(m_https.mid(m_https.lastIndexOf(':') + 1).toUShort(), 500);
        address = QStringLiteral("https://127.0.0.1:%1/files/a.bin").arg(relay->serverPort());
    } else {
        listener = std::make_unique<FullListener>();
        QVERIFY(listener->port());
        address = QStringLiteral("http://127.0.0.1:%1/files/a.bin").arg(listener->port());
        reason = reason.arg(listener->port());
    }
    const Outcome o = run({address, m_savePath, false, {}}, 5);
    if (reason.isEmpty()) {
        QVERIFY2(o.result.done, qPrintable(o.result.reason));
        QCOMPARE(readFile(m_savePath), m_data);
        QCOMPARE(relay->held(), 1);
    } else {
        QCOMPARE(o.result.reason, reason);
        QVERIFY(!QFileInfo::exists(m_savePath));
    }
}

void TestTransfer::requestHeaders()
{
    QVERIFY(run({m_http + "/headers", m_savePath, false, {}}).result.done);
    QCOMPARE(readFile(m_savePath), QByteArray("Mozilla/3.0 (compatible; Indy Library)|*/*"));
}

void TestTransfer::cookiesLastTheRun()
{
    QVERIFY(run({m_http + "/cookie/set", m_savePath, false, {}}).result.done);
    QCOMPARE(readFile(m_savePath), QByteArray("set\n"));
    QVERIFY(run({m_http + "/cookie/echo", m_savePath, false, {}}).result.done);
    QCOMPARE(readFile(m_savePath), QByteArray("quorrel=kept"));
}

// A resource captured with headers is fetched with them: its User-Agent in place of the
// fixed one, its Referer, and its Cookie for the host it was captured for alone.
void TestTransfer::capturedHeaders_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("captured"); // with the captured headers
    QTest::addColumn<QByteArray>("body"); // empty: the transfer fails with HTTP 403
    const QByteArray agent = "Mozilla/5.0 (X11; Linux x86_64) Chrome/120.0";
    QTest::newRow("guarded, with the captured headers")
        << "/guarded" << true << agent + "|http://page.test/watch|session=s3cret; theme=dark";
    QTest::newRow("guarded, without them: as the fixed headers always were") << "/guarded" << false << QByteArray();
    QTest::newRow("a redirect on the same host keeps the cookie") << "/here" << true << QByteArray("session=s3cret; theme=dark");
    QTest::newRow("a redirect to another host drops it") << "/away" << true << QByteArray("-");
}

void TestTransfer::capturedHeaders()
{
    QFETCH(QString, path);
    QFETCH(bool, captured);
    QFETCH(QByteArray, body);
    TransferRequest request{m_http + path, m_savePath, false, {}};
    if (captured)
        request.headers = RequestHeaders::captured("http://page.test/watch", "session=s3cret; theme=dark",
                                                   "Mozilla/5.0 (X11; Linux x86_64) Chrome/120.0");
    const Outcome o = run(request);
    if (body.isEmpty()) {
        QCOMPARE(o.result.reason, kServerError.arg("HTTP 403 Forbidden"));
        return;
    }
    QVERIFY2(o.result.done, qPrintable(o.result.reason));
    // nginx's $http_cookie is "" when no Cookie came; the run's own cookies (from
    // cookiesLastTheRun) may come with it to 127.0.0.1, never the captured ones to localhost.
    QByteArray got = readFile(m_savePath);
    if (body == "-") {
        QVERIFY2(!got.contains("s3cret") && !got.contains("theme"), got.constData());
        return;
    }
    QCOMPARE(got, body);

    // The captured cookies stay with their transfer: the run's jar never got them.
    QVERIFY(run({m_http + "/cookie/echo", m_savePath, false, {}}).result.done);
    QVERIFY2(!readFile(m_savePath).contains("s3cret"), readFile(m_savePath).constData());
}

void TestTransfer::cookieJarLines_data()
{
    QTest::addColumn<QByteArray>("cookie");
    QTest::addColumn<bool>("secure");
    QTest::addColumn<QList<QByteArray>>("lines");
    QTest::newRow("two cookies") << QByteArray("a=1; b=x=y") << false
                                 << QList<QByteArray>{"h.test\tFALSE\t/\tFALSE\t0\ta\t1", "h.test\tFALSE\t/\tFALSE\t0\tb\tx=y"};
    QTest::newRow("captured over https: secure") << QByteArray("a=1") << true
                                                 << QList<QByteArray>{"h.test\tFALSE\t/\tTRUE\t0\ta\t1"};
    QTest::newRow("an empty value stays") << QByteArray("a=") << false << QList<QByteArray>{"h.test\tFALSE\t/\tFALSE\t0\ta\t"};
    QTest::newRow("no name, no equals sign, a tab: left out")
        << QByteArray("=v; lone; t=a\tb;; ok=1") << false << QList<QByteArray>{"h.test\tFALSE\t/\tFALSE\t0\tok\t1"};
}

void TestTransfer::cookieJarLines()
{
    QFETCH(QByteArray, cookie);
    QFETCH(bool, secure);
    QFETCH(QList<QByteArray>, lines);
    QCOMPARE(CookieJarLines(cookie, "h.test", secure), lines);
}

void TestTransfer::cancelKeepsTheBytes()
{
    // The server sends half, then waits: cancel there, twice.
    const Outcome o = run({m_faulty + "/stall/a.bin", m_savePath, false, {}}, 0, [this](Transfer &t) {
        connect(&t, &Transfer::progress, &t, [this, &t](qint64 bytes) {
            if (bytes == m_half) {
                t.cancel();
                t.cancel();
            }
        });
    });
    QVERIFY(!o.result.done);
    QCOMPARE(o.finishedCount, 1);
    QCOMPARE(o.result.reason, kTransferCancelled);
    QCOMPARE(readFile(PartialPath(m_savePath)), m_data.left(m_half));
    QVERIFY(!QFileInfo::exists(m_savePath));
}

// A resume continues what this program wrote (its ".part" file) and nothing else: a file
// under the final name is a whole download or someone else's, and no byte is appended to it.
void TestTransfer::resumesOnlyItsOwnFiles_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QByteArray>("finalFile"); // under the final name before; null: none
    QTest::addColumn<bool>("partIsLink");      // the partial file a link to a file elsewhere
    QTest::addColumn<QString>("words");        // how the reason begins; empty: done
    QTest::addColumn<bool>("complete");        // done without a byte
    const QByteArray someone("the user's own notes, not a download");
    const QString a = m_http + "/files/a.bin";
    QTest::newRow("the whole file already there") << a << m_data << false << QString() << true;
    QTest::newRow("another file of that name") << a << someone << false << kNotOurPartial() << false;
    QTest::newRow("another file, a server ignoring ranges")
        << m_faulty + "/ignore-range/a.bin" << someone << false << kNotOurPartial() << false;
    QTest::newRow("another file over ftp") << m_ftp + "/a.bin" << someone << false << kNotOurPartial() << false;
    QTest::newRow("the whole file over ftp") << m_ftp + "/a.bin" << m_data << false << QString() << true;
    QTest::newRow("a partial file that is a link") << a << QByteArray() << true << QString() << false;
}

void TestTransfer::resumesOnlyItsOwnFiles()
{
    QFETCH(QString, address);
    QFETCH(QByteArray, finalFile);
    QFETCH(bool, partIsLink);
    QFETCH(QString, words);
    QFETCH(bool, complete);
    if (!finalFile.isNull())
        writeFile(m_savePath, finalFile);
    const QString elsewhere = m_root.filePath("elsewhere.bin");
    const QByteArray elsewhereBytes("a file the link points at");
    if (partIsLink) {
        writeFile(elsewhere, elsewhereBytes);
        QVERIFY(QFile::link(elsewhere, PartialPath(m_savePath)));
    }
    const Outcome o = run({address, m_savePath, true, {}});
    QCOMPARE(o.finishedCount, 1);
    if (words.isEmpty()) {
        QVERIFY2(o.result.done, qPrintable(o.result.reason));
        QCOMPARE(readFile(m_savePath), m_data);
    } else {
        QVERIFY(!o.result.done);
        QVERIFY2(o.result.reason.startsWith(words), qPrintable(o.result.reason));
        QCOMPARE(readFile(m_savePath), finalFile);
        QCOMPARE(o.progress, 0);
    }
    QCOMPARE(o.result.alreadyComplete, complete);
    QVERIFY(!QFileInfo::exists(PartialPath(m_savePath)) && !QFileInfo(PartialPath(m_savePath)).isSymLink());
    if (partIsLink)
        QCOMPARE(readFile(elsewhere), elsewhereBytes);
}

void TestTransfer::largeDownload_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<qint64>("size");
    QTest::newRow("http") << m_http + "/files/big.bin" << kBigHttp;
    QTest::newRow("ftp") << m_ftp + "/big.bin" << kBigFtp;
}

void TestTransfer::largeDownload()
{
    QFETCH(QString, address);
    QFETCH(qint64, size);

    // The loop keeps turning and memory stays flat. The body goes to /dev/null: the
    // disk's own write-back pauses are not this layer's to show.
    CurlTransfer transfer(*m_multi, {address, QStringLiteral("/dev/null"), false, {}});
    QEventLoop loop;
    std::optional<TransferResult> result;
    qint64 received = 0;
    connect(&transfer, &Transfer::progress, &loop, [&](qint64 bytes) { received = bytes; });
    connect(&transfer, &Transfer::finished, &loop, [&](const TransferResult &r) {
        result = r;
        loop.quit();
    });

    // A ticker on the same loop: a transfer that held the loop would let it run once at
    // most, before or after. How long the loop is held at worst is the benchmark's to
    // measure (bench/download_bench.sh), not a test's.
    QTimer ticker;
    int ticksDuringTransfer = 0;
    const qint64 residentBefore = residentBytes();
    qint64 residentMost = residentBefore;
    connect(&ticker, &QTimer::timeout, &loop, [&] {
        ticksDuringTransfer += !result.has_value();
        residentMost = qMax(residentMost, residentBytes());
    });
    ticker.start(10);
    transfer.start();
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    loop.exec();
    ticker.stop();

    QVERIFY(result);
    QVERIFY2(result->done, qPrintable(result->reason));
    QCOMPARE(received, size);
    QVERIFY2(ticksDuringTransfer >= 3, qPrintable(QStringLiteral("the loop turned %1 times").arg(ticksDuringTransfer)));
    QVERIFY2(residentMost - residentBefore < 8 << 20,
             qPrintable(QStringLiteral("memory grew by %1 KiB").arg((residentMost - residentBefore) >> 10)));
}

QTEST_GUILESS_MAIN(TestTransfer)
#include "test_transfer.moc"
