// HTTPS end to end, with real parts: Debian's Chromium, headless, loads a small site of the
// test's own from nginx over TLS 1.3 and 1.2, HTTP/2 and HTTP/1.1, on 127.0.0.1 and ::1,
// with a certificate made here by openssl. quorrel-scan reads the traffic live with the
// browser's key log, and afterwards from tcpdump's capture file of the same run, and from
// that file with the secrets put inside it (editcap). The truth is nginx's access log:
// every GET it logged is filed. Also: a key log that gets its lines late, the launcher
// (./quorrel.sh browser) and the window's reading of the same key log, plain HTTP split
// and pipelined by a client of the test's own, and HTTP/3 said. HTTP/3: the same Chromium
// forced onto QUIC, or following Alt-Svc from HTTP/2, against Debian's caddy, read live and
// from the capture file with the key log; ngtcp2's client with ChaCha20, AES-256, a key
// update, a port change and 0-RTT; caddy's JSON access log is the truth.
//
// Everything runs in a network namespace of the test's own, so the captures see this
// test's traffic alone and the summary's counts are exact. Needs root, as CI has it.

#include "streams/key_log_location.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include "test_files.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <thread>

using quorrel::test::readFile;
using quorrel::test::writeFile;

namespace {

const QString kBin = QStringLiteral(QUORREL_BIN_DIR);
const QString kScan = kBin + "/quorrel-scan";
const QString kLauncher = QStringLiteral(QUORREL_FIXTURES "/../../quorrel.sh");

// Chromium as the tests run it: headless, no sandbox (root), nothing of its own on the
// network, QUIC and Encrypted Client Hello off as the launcher has them, a new profile.
QStringList chromiumArgs(const QString &profile, const QString &keyLog, const QString &url)
{
    return {"chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
            "--disable-background-networking", "--disable-component-update", "--disable-sync",
            "--user-data-dir=" + profile, "--ssl-key-log-file=" + keyLog, "--ignore-certificate-errors",
            "--disable-features=EncryptedClientHello", "--dump-dom", url};
}

// The site: a page that pulls a script, pictures, a sound and a film.
const QStringList kSitePaths = {"/index.html", "/s/app.js", "/m/a.png", "/m/b.jpg", "/m/c.mp3", "/m/d.mp4"};

// The servers, by port, in the namespace: protocol, TLS versions, a cipher when the row
// wants a particular one.
struct Server {
    int port;
    bool h2;
    const char *protocols;
    const char *extra;
};
const Server kServers[] = {
    {8401, true, "TLSv1.3", ""},
    {8402, true, "TLSv1.2", ""},
    {8403, false, "TLSv1.3", ""},
    {8404, false, "TLSv1.2", ""},
    {8405, false, "TLSv1.2", "ssl_ciphers ECDHE-ECDSA-CHACHA20-POLY1305;"},
    {8406, true, "TLSv1.3", "ssl_conf_command Ciphersuites TLS_AES_256_GCM_SHA384;"},
};
constexpr int kPlainPort = 8080;

struct Result {
    int status = -1;
    QString out;
    QString err;
};

Result wait(QProcess &p, int timeoutMs)
{
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished(5000);
    }
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

Result run(const QString &program, const QStringList &args, int timeoutMs = 60000,
           const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    if (!p.waitForStarted(10000))
        return {-1, {}, program + ": " + p.errorString()};
    return wait(p, timeoutMs);
}

// A network namespace of the test's own, its loopback up: 127.0.0.1 and ::1 of its own.
class Namespace {
public:
    Namespace() : m_name(QStringLiteral("quorrel-https-%1").arg(::getpid()))
    {
        m_up = ::run("ip", {"netns", "add", m_name}).status == 0 && run({"ip", "link", "set", "lo", "up"}).status == 0;
        // The HTTP/3 site's name, for the clients that resolve it themselves: ip netns exec
        // puts /etc/netns/NAME/hosts in place of /etc/hosts for the namespace's programs.
        QDir().mkpath(etc());
        writeFile(etc() + "/hosts", "127.0.0.1 quic.test\n::1 quic.test\n");
    }
    ~Namespace()
    {
        ::run("ip", {"netns", "del", m_name});
        QDir(etc()).removeRecursively();
    }
    QString etc() const { return "/etc/netns/" + m_name; }
    bool up() const { return m_up; }

    // A program run in it (ip netns exec execs it: the process is the program itself).
    void start(QProcess &p, const QStringList &command) const
    {
        p.start("ip", QStringList{"netns", "exec", m_name} + command);
    }
    Result run(const QStringList &command, int timeoutMs = 60000,
               const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment()) const
    {
        return ::run("ip", QStringList{"netns", "exec", m_name} + command, timeoutMs, env);
    }

    // Code of the test's own in the namespace: a thread of its own joins it.
    bool enter(const std::function<void()> &work) const
    {
        bool entered = false;
        std::thread t([&] {
            const int fd = ::open(("/run/netns/" + m_name).toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC);
            entered = fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0;
            if (fd >= 0)
                ::close(fd);
            if (entered)
                work();
        });
        t.join();
        return entered;
    }

private:
    QString m_name;
    bool m_up = false;
};

// A socket address of 127.0.0.1 or ::1.
struct Loopback {
    sockaddr_storage address{};
    socklen_t length = 0;
    int family = AF_INET;
    Loopback(const QString &host, int port)
    {
        if (host == "::1") {
            auto *a = reinterpret_cast<sockaddr_in6 *>(&address);
            a->sin6_family = family = AF_INET6;
            a->sin6_addr = in6addr_loopback;
            a->sin6_port = htons(std::uint16_t(port));
            length = sizeof *a;
        } else {
            auto *a = reinterpret_cast<sockaddr_in *>(&address);
            a->sin_family = AF_INET;
            a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a->sin_port = htons(std::uint16_t(port));
            length = sizeof *a;
        }
    }
    const sockaddr *get() const { return reinterpret_cast<const sockaddr *>(&address); }
};

// quorrel-scan --live in the namespace, stopped as a user stops it (Ctrl-C).
class LiveScan {
public:
    void start(const Namespace &ns, const QStringList &args,
               const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
    {
        m_process.setProcessEnvironment(env);
        ns.start(m_process, QStringList{kScan} + args + QStringList{"--live"});
    }
    // Its capture helper gives up its capabilities right after opening the captures: from
    // then on, traffic is seen.
    bool capturing() const
    {
        const QString scan = QString::number(m_process.processId());
        for (const QString &pid : QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            const QByteArray stat = readFile("/proc/" + pid + "/stat");
            const qsizetype close = stat.lastIndexOf(')');
            if (close < 0 || !stat.contains("(quorrel-capture)"))
                continue;
            const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
            if (fields.size() < 2 || fields[1] != scan.toLatin1())
                continue;
            if (readFile("/proc/" + pid + "/status").contains("CapEff:\t0000000000000000"))
                return true;
        }
        return false;
    }
    Result stop()
    {
        ::kill(pid_t(m_process.processId()), SIGINT);
        return wait(m_process, 30000);
    }
    QProcess &process() { return m_process; }

private:
    QProcess m_process;
};

// tcpdump writing a capture file in the namespace.
class Recording {
public:
    bool start(const Namespace &ns, const QString &file, const QString &filter)
    {
        ns.start(m_process, {"tcpdump", "-i", "lo", "-U", "--immediate-mode", "-Z", "root", "-w", file, filter});
        if (!m_process.waitForStarted(10000))
            return false;
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 10000 && m_process.state() == QProcess::Running) {
            m_said += m_process.readAllStandardError();
            if (m_said.contains("listening on"))
                return true;
            m_process.waitForReadyRead(50);
        }
        qWarning("tcpdump: %s", m_said.constData());
        return false;
    }
    void stop()
    {
        m_process.terminate();
        m_process.waitForFinished(10000);
    }

private:
    QProcess m_process;
    QByteArray m_said;
};

// The paths of the addresses the tree holds under prefix ("https://127.0.0.1:8401").
QStringList filedPaths(const QString &tree, const QString &prefix)
{
    QStringList paths;
    for (const QString &line : tree.split('\n', Qt::SkipEmptyParts)) {
        const QStringList fields = line.split('\t');
        if (fields.size() == 5 && fields[3].startsWith(prefix + "/"))
            paths << fields[3].mid(prefix.size());
    }
    paths.sort();
    return paths;
}

// The summary's numbers: "N requests found", "N TLS sessions decrypted", "N without a secret".
qint64 summaryCount(const QString &err, const QString &what)
{
    const QRegularExpressionMatch m = QRegularExpression("(\\d+) " + what + "[,;\n]").match(err);
    return m.hasMatch() ? m.captured(1).toLongLong() : -1;
}

const QString kHttp3Line = QStringLiteral("HTTP/3 (QUIC) traffic seen");
const QString kQuicHost = QStringLiteral("quic.test");
constexpr int kQuicPort = 8443;

QByteArray siteConfig()
{
    // Pages analysed; every kind of file the site has is a type of its own.
    return QByteArray("[XT]\r\nfxwy=1\r\nmaxtype=4\r\n1=.htm;.html;.js\r\n2=.mp3\r\n3=.mp4\r\n4=.jpg;.png;.ico\r\n"
                      "lxmc=01-web;02-music;03-video;04-pictures;\r\n");
}

void makePrivateFile(const QString &path, const QByteArray &bytes = {})
{
    writeFile(path, bytes);
    QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
}

} // namespace

class TestHttps : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void browserRequestsAreFiled_data();
    void browserRequestsAreFiled();
    void mediaWithoutExtensionsIsFiled();
    void keyLinesWrittenLate_data();
    void keyLinesWrittenLate();
    void launcherAndWindowMeetAtTheKeyLog();
    void launcherKeyLogPlace_data();
    void launcherKeyLogPlace();
    void plainRequestsSplitAndPipelined_data();
    void plainRequestsSplitAndPipelined();
    void http3IsSaid_data();
    void http3IsSaid();
    void http3RequestsAreFiled_data();
    void http3RequestsAreFiled();
    void http3OfNgtcp2sClient_data();
    void http3OfNgtcp2sClient();

private:
    // nginx's GETs logged since mark (a size of its log): "addr port method uri protocol tls cipher".
    QStringList loggedSince(qint64 mark) const;
    QStringList loggedPaths(const QStringList &lines) const;
    // Waits until nginx has logged count lines since mark, and a little more for stragglers.
    QStringList waitForLog(qint64 mark, int count) const;
    qint64 logMark() const { return QFileInfo(m_accessLog).size(); }
    // The browser's page load; the key log is written to keyLog.
    void loadPage(const QString &url, const QString &keyLog);
    QString url(const QString &host, int port, const QString &path, const QString &scheme = "https") const;

    // caddy's GETs since mark (a size of its log): "protocol path" each.
    QStringList caddyLoggedSince(qint64 mark) const;

    std::unique_ptr<Namespace> m_ns;
    QTemporaryDir m_dir{QDir::tempPath() + QStringLiteral("/quorrel-https-%1-XXXXXX").arg(::getpid())};
    QString m_accessLog;
    QProcess m_nginx;
    QProcess m_caddy;
    QString m_caddyLog;
    QString m_quicSpki; // base64 SHA-256 of the HTTP/3 site's public key, for Chromium
    int m_profiles = 0;
};

void TestHttps::initTestCase()
{
    if (::geteuid() != 0)
        QFAIL("the end-to-end HTTPS tests make a network namespace and capture in it: they need root (as CI runs them)");
    for (const char *tool : {"chromium", "nginx", "openssl", "tcpdump", "editcap", "caddy"})
        QVERIFY2(!QStandardPaths::findExecutable(tool, {"/usr/bin", "/usr/sbin", "/bin", "/sbin"}).isEmpty(),
                 qPrintable(QStringLiteral("%1 is needed (Debian packages chromium, nginx-light, openssl, tcpdump, "
                                           "tshark, caddy; ./quorrel.sh test installs them)").arg(tool)));
    m_ns = std::make_unique<Namespace>();
    if (!m_ns->up())
        QSKIP("cannot make a network namespace here");
    QVERIFY(m_dir.isValid());
    const QString root = m_dir.path();
    for (const char *folder : {"www/m", "www/s", "logs", "tmp", "site"})
        QVERIFY(QDir(root).mkpath(QString::fromLatin1(folder)));

    // The site's certificate, made now, for both loopback addresses.
    const Result cert = run("openssl", {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                                        "-subj", "/CN=quorrel-test", "-addext", "subjectAltName=IP:127.0.0.1,IP:::1",
                                        "-days", "1", "-keyout", root + "/site/key.pem", "-out", root + "/site/cert.pem"});
    QVERIFY2(cert.status == 0, qPrintable(cert.err));
    writeFile(root + "/www/index.html",
              "<!doctype html><html><head><title>quorrel</title><script src=\"/s/app.js\"></script></head><body>\n"
              "<img src=\"/m/a.png\"><img src=\"/m/b.jpg\">\n"
              "<audio src=\"/m/c.mp3\" preload=\"auto\"></audio>\n"
              "<video src=\"/m/d.mp4\" preload=\"auto\"></video>\n"
              "</body></html>\n");
    writeFile(root + "/www/s/app.js", "document.title = 'loaded';\n");
    // Media from addresses that say nothing of their type, as much of today's is.
    writeFile(root + "/www/nx.html",
              "<!doctype html><html><body>\n<audio src=\"/m/c.mp3\" preload=\"auto\"></audio>\n"
              "<video src=\"/stream/42\" preload=\"auto\"></video>\n<img src=\"/img?id=7\">\n</body></html>\n");
    QVERIFY(QDir(root).mkpath("www/stream"));
    writeFile(root + "/www/stream/42", QByteArray(40000, 'v'));
    writeFile(root + "/www/img", QByteArray(3000, 'p'));
    for (const char *name : {"a.png", "b.jpg"})
        writeFile(root + "/www/m/" + name, QByteArray(3000, 'p'));
    for (const char *name : {"c.mp3", "d.mp4"})
        writeFile(root + "/www/m/" + name, QByteArray(40000, 'm'));
    writeFile(root + "/config.ini", siteConfig());

    QString servers;
    for (const Server &s : kServers) {
        const QString h2 = s.h2 ? " http2" : "";
        servers += QStringLiteral("  server { listen 127.0.0.1:%1 ssl%2; listen [::1]:%1 ssl%2; ssl_protocols %3; %4 root %5/www; }\n")
                       .arg(s.port)
                       .arg(h2, QString::fromLatin1(s.protocols), QString::fromLatin1(s.extra), root);
    }
    m_accessLog = root + "/logs/access.log";
    const QString conf = QStringLiteral(
        "daemon off;\nuser root;\nworker_processes 1;\npid %1/logs/nginx.pid;\nerror_log %1/logs/error.log;\n"
        "events { worker_connections 256; }\n"
        "http {\n"
        "  log_format requests '$server_addr $server_port $request_method $request_uri $server_protocol $ssl_protocol $ssl_cipher';\n"
        "  access_log %1/logs/access.log requests;\n"
        "  client_body_temp_path %1/tmp/body;\n  proxy_temp_path %1/tmp/proxy;\n  fastcgi_temp_path %1/tmp/fastcgi;\n"
        "  uwsgi_temp_path %1/tmp/uwsgi;\n  scgi_temp_path %1/tmp/scgi;\n"
        "  ssl_certificate %1/site/cert.pem;\n  ssl_certificate_key %1/site/key.pem;\n"
        "%2"
        "  server { listen 127.0.0.1:%3; listen [::1]:%3; root %1/www; }\n"
        "}\n")
                             .arg(root, servers)
                             .arg(kPlainPort);
    writeFile(root + "/nginx.conf", conf.toUtf8());
    m_ns->start(m_nginx, {"nginx", "-c", root + "/nginx.conf", "-p", root, "-e", root + "/logs/error.log"});
    QVERIFY(m_nginx.waitForStarted());
    const auto accepts = [this](int port) {
        bool ok = false;
        m_ns->enter([&] {
            const Loopback to("127.0.0.1", port);
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            ok = ::connect(fd, to.get(), to.length) == 0;
            ::close(fd);
        });
        return ok;
    };
    QTRY_VERIFY_WITH_TIMEOUT(accepts(kPlainPort) && accepts(kServers[0].port), 10000);

    // The HTTP/3 site: caddy with a certificate for a host name (Chromium sends no server
    // name for an address, and caddy refuses a handshake without one), in a home of its own.
    const Result quicCert = run("openssl", {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                                            "-nodes", "-subj", "/CN=" + kQuicHost, "-addext", "subjectAltName=DNS:" + kQuicHost,
                                            "-days", "1", "-keyout", root + "/site/quic-key.pem", "-out",
                                            root + "/site/quic-cert.pem"});
    QVERIFY2(quicCert.status == 0, qPrintable(quicCert.err));
    const Result spki = run("sh", {"-c", "openssl x509 -in '" + root + "/site/quic-cert.pem' -pubkey -noout"
                                   " | openssl pkey -pubin -outform der | openssl dgst -sha256 -binary | base64"});
    QVERIFY2(spki.status == 0, qPrintable(spki.err));
    m_quicSpki = spki.out.trimmed();
    m_caddyLog = root + "/logs/caddy-access.log";
    writeFile(root + "/Caddyfile", QStringLiteral("{\n  admin off\n  auto_https off\n  storage file_system %1/caddy\n}\n"
                                                  "https://%2:%3 {\n  bind 127.0.0.1 ::1\n"
                                                  "  tls %1/site/quic-cert.pem %1/site/quic-key.pem\n  root * %1/www\n"
                                                  "  file_server\n  log {\n    output file %4\n    format json\n  }\n}\n")
                                       .arg(root, kQuicHost)
                                       .arg(kQuicPort)
                                       .arg(m_caddyLog)
                                       .toUtf8());
    QProcessEnvironment caddyEnv = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME"})
        caddyEnv.insert(QString::fromLatin1(name), root + "/caddy");
    m_caddy.setProcessEnvironment(caddyEnv);
    m_ns->start(m_caddy, {"caddy", "run", "--config", root + "/Caddyfile", "--adapter", "caddyfile"});
    QVERIFY(m_caddy.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(accepts(kQuicPort), 10000);
}

void TestHttps::cleanupTestCase()
{
    m_caddy.terminate();
    m_caddy.waitForFinished(10000);
    m_nginx.terminate();
    m_nginx.waitForFinished(10000);
    m_ns.reset();
}

QStringList TestHttps::loggedSince(qint64 mark) const
{
    return QString::fromLatin1(readFile(m_accessLog).mid(mark)).split('\n', Qt::SkipEmptyParts);
}

QStringList TestHttps::loggedPaths(const QStringList &lines) const
{
    QStringList paths;
    for (const QString &line : lines) {
        const QStringList f = line.split(' ');
        if (f.size() >= 4 && f[2] == "GET" && !paths.contains(f[3]))
            paths << f[3];
    }
    paths.sort();
    return paths;
}

QStringList TestHttps::waitForLog(qint64 mark, int count) const
{
    QElapsedTimer t;
    t.start();
    while (loggedSince(mark).size() < count && t.elapsed() < 10000)
        QTest::qWait(50);
    QTest::qWait(300); // nginx logs a request once it has answered it
    return loggedSince(mark);
}

QString TestHttps::url(const QString &host, int port, const QString &path, const QString &scheme) const
{
    return QStringLiteral("%1://%2:%3%4").arg(scheme, host.contains(':') ? "[" + host + "]" : host).arg(port).arg(path);
}

void TestHttps::loadPage(const QString &pageUrl, const QString &keyLog)
{
    const QString profile = m_dir.filePath(QStringLiteral("profile-%1").arg(m_profiles++));
    const Result chromium = m_ns->run(chromiumArgs(profile, keyLog, pageUrl), 60000);
    QVERIFY2(chromium.status == 0, qPrintable(chromium.err));
    QVERIFY2(chromium.out.contains("<audio src=\"/m/c.mp3\""), qPrintable(chromium.out)); // the page itself came
}

// Every GET the browser made is filed: read live with the key log, then from tcpdump's
// file of the same traffic with the key log, then from that file with the secrets inside
// it and no key log; without any secret, nothing of it is.
void TestHttps::browserRequestsAreFiled_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("protocol"); // as nginx logs it
    QTest::addColumn<QString>("tls");
    QTest::addColumn<QString>("cipher");   // as nginx logs it; empty: whatever was agreed
    for (const char *host : {"127.0.0.1", "::1"}) {
        const QString v = QString::fromLatin1(host) == "::1" ? "IPv6" : "IPv4";
        QTest::addRow("%s, HTTP/2, TLS 1.3", qPrintable(v)) << host << 8401 << "HTTP/2.0" << "TLSv1.3" << "";
        QTest::addRow("%s, HTTP/2, TLS 1.2", qPrintable(v)) << host << 8402 << "HTTP/2.0" << "TLSv1.2" << "";
        QTest::addRow("%s, HTTP/1.1, TLS 1.3", qPrintable(v)) << host << 8403 << "HTTP/1.1" << "TLSv1.3" << "";
        QTest::addRow("%s, HTTP/1.1, TLS 1.2", qPrintable(v)) << host << 8404 << "HTTP/1.1" << "TLSv1.2" << "";
    }
    QTest::newRow("IPv4, HTTP/1.1, TLS 1.2 with ChaCha20-Poly1305")
        << "127.0.0.1" << 8405 << "HTTP/1.1" << "TLSv1.2" << "ECDHE-ECDSA-CHACHA20-POLY1305";
    QTest::newRow("IPv6, HTTP/2, TLS 1.3 with AES-256-GCM") << "::1" << 8406 << "HTTP/2.0" << "TLSv1.3" << "TLS_AES_256_GCM_SHA384";
}

void TestHttps::browserRequestsAreFiled()
{
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(QString, protocol);
    QFETCH(QString, tls);
    QFETCH(QString, cipher);
    const QString tag = QStringLiteral("%1-%2").arg(host == "::1" ? "v6" : "v4").arg(port);
    const QString keyLog = m_dir.filePath("keys-" + tag + ".log");
    makePrivateFile(keyLog);
    const QString capture = m_dir.filePath("traffic-" + tag + ".pcap");
    const qint64 mark = logMark();

    Recording recording;
    QVERIFY(recording.start(*m_ns, capture, QStringLiteral("tcp port %1").arg(port)));
    LiveScan live;
    live.start(*m_ns, {"--dir", m_dir.path(), "--keylog", keyLog});
    QTRY_VERIFY_WITH_TIMEOUT(live.capturing(), 10000);
    loadPage(url(host, port, "/index.html"), keyLog);
    const QStringList lines = waitForLog(mark, kSitePaths.size());
    recording.stop();
    const Result seen = live.stop();
    QVERIFY2(seen.status == 0, qPrintable(seen.err));

    // The row is what it says: every request over the protocol, TLS version and cipher named.
    const QString server = QStringLiteral("%1 %2 ").arg(host).arg(port);
    for (const QString &line : lines) {
        QVERIFY2(line.startsWith(server) && line.contains(" " + protocol + " " + tls + " "), qPrintable(line));
        if (!cipher.isEmpty())
            QVERIFY2(line.endsWith(" " + cipher), qPrintable(line));
    }
    const QStringList logged = loggedPaths(lines);
    for (const QString &path : kSitePaths)
        QVERIFY2(logged.contains(path), qPrintable(lines.join('\n')));
    const QString prefix = url(host, port, {});

    // Live.
    QCOMPARE(filedPaths(seen.out, prefix), logged);
    QCOMPARE(summaryCount(seen.err, "requests found"), qint64(logged.size()));
    QVERIFY2(summaryCount(seen.err, "TLS sessions decrypted") > 0, qPrintable(seen.err));
    QVERIFY2(summaryCount(seen.err, "without a secret") == 0, qPrintable(seen.err));
    QVERIFY2(!seen.err.contains(kHttp3Line), qPrintable(seen.err));

    // The capture file with the key log.
    const Result file = run(kScan, {"--dir", m_dir.path(), "--keylog", keyLog, capture});
    QVERIFY2(file.status == 0, qPrintable(file.err));
    QCOMPARE(filedPaths(file.out, prefix), logged);
    QVERIFY2(summaryCount(file.err, "without a secret") == 0, qPrintable(file.err));

    // The capture file carrying its secrets (a Decryption Secrets Block), no key log given.
    const QString withSecrets = m_dir.filePath("traffic-" + tag + "-dsb.pcapng");
    const Result inject = run("editcap", {"--inject-secrets", "tls," + keyLog, capture, withSecrets});
    QVERIFY2(inject.status == 0, qPrintable(inject.err));
    const Result carried = run(kScan, {"--dir", m_dir.path(), withSecrets});
    QVERIFY2(carried.status == 0, qPrintable(carried.err));
    QCOMPARE(filedPaths(carried.out, prefix), logged);
    QCOMPARE(summaryCount(carried.err, "TLS sessions decrypted"), summaryCount(file.err, "TLS sessions decrypted"));

    // Without a secret nothing of it can be read, and the summary says why.
    const Result blind = run(kScan, {"--dir", m_dir.path(), capture});
    QVERIFY2(blind.status == 0, qPrintable(blind.err));
    QCOMPARE(filedPaths(blind.out, prefix), QStringList());
    QCOMPARE(summaryCount(blind.err, "TLS sessions decrypted"), qint64(0));
    QCOMPARE(summaryCount(blind.err, "without a secret"), summaryCount(file.err, "TLS sessions decrypted"));
}

// A page whose video and picture come from addresses without an extension: Chromium says
// what it fetches (Sec-Fetch-Dest video, image; a Range for the video), and with qqfl=1
// they are filed under the video and picture categories; without it, as web addresses.
void TestHttps::mediaWithoutExtensionsIsFiled()
{
    const QString keyLog = m_dir.filePath("keys-nx.log");
    makePrivateFile(keyLog);
    const QString capture = m_dir.filePath("traffic-nx.pcap");
    const qint64 mark = logMark();
    Recording recording;
    QVERIFY(recording.start(*m_ns, capture, QStringLiteral("tcp port 8401")));
    loadPage(url("127.0.0.1", 8401, "/nx.html"), keyLog);
    const QStringList lines = waitForLog(mark, 4);
    recording.stop();
    QVERIFY2(loggedPaths(lines).contains("/stream/42") && loggedPaths(lines).contains("/img?id=7"),
             qPrintable(lines.join('\n')));
    const QString prefix = url("127.0.0.1", 8401, {});
    for (const bool on : {true, false}) {
        QTemporaryDir dir;
        writeFile(dir.filePath("config.ini"), siteConfig() + (on ? "qqfl=1\r\n" : ""));
        const Result scan = run(kScan, {"--dir", dir.path(), "--keylog", keyLog, capture});
        QVERIFY2(scan.status == 0, qPrintable(scan.err));
        // The mark of each resource's line: its type.
        const auto markOf = [&](const QString &path) {
            for (const QString &line : scan.out.split('\n', Qt::SkipEmptyParts)) {
                const QStringList fields = line.split('\t');
                if (fields.size() == 5 && fields[3] == prefix + path)
                    return fields[2];
            }
            return QString();
        };
        QCOMPARE(markOf("/stream/42"), on ? QStringLiteral("03") : QStringLiteral("01"));
        QCOMPARE(markOf("/img?id=7"), on ? QStringLiteral("04") : QStringLiteral("01"));
        QCOMPARE(markOf("/m/c.mp3"), QStringLiteral("02")); // its extension decides
    }
}

// The key log gets the browser's lines only a few seconds after the page loaded (a slow
// disk, a browser that flushes late): the records waited for them, and every GET is filed.
void TestHttps::keyLinesWrittenLate_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::newRow("IPv4, HTTP/2, TLS 1.3") << "127.0.0.1" << 8401;
    QTest::newRow("IPv6, HTTP/1.1, TLS 1.2") << "::1" << 8404;
}

void TestHttps::keyLinesWrittenLate()
{
    QFETCH(QString, host);
    QFETCH(int, port);
    const QString tag = QStringLiteral("late-%1").arg(port);
    const QString followed = m_dir.filePath(tag + "-followed.log");
    const QString written = m_dir.filePath(tag + "-written.log");
    makePrivateFile(followed);
    makePrivateFile(written);
    const qint64 mark = logMark();

    LiveScan live;
    live.start(*m_ns, {"--dir", m_dir.path(), "--keylog", followed});
    QTRY_VERIFY_WITH_TIMEOUT(live.capturing(), 10000);
    loadPage(url(host, port, "/index.html"), written);
    const QStringList logged = loggedPaths(waitForLog(mark, kSitePaths.size()));
    // Late, but within the ten seconds records wait for their secret from the first one.
    QTest::qWait(1500);
    const QByteArray lines = readFile(written);
    QVERIFY(lines.contains("\n"));
    QVERIFY(readFile(followed).isEmpty());
    QFile out(followed);
    QVERIFY(out.open(QIODevice::Append));
    QCOMPARE(out.write(lines), lines.size());
    out.close();
    QTest::qWait(1000); // the key log is looked at four times a second
    const Result seen = live.stop();
    QVERIFY2(seen.status == 0, qPrintable(seen.err));
    QCOMPARE(filedPaths(seen.out, url(host, port, {})), logged);
    QVERIFY2(summaryCount(seen.err, "without a secret") == 0, qPrintable(seen.err));
}

// The two commands a user needs: ./quorrel.sh browser writes the key log where the window
// (here quorrel-scan --live with no --keylog, as the window follows the same file) reads it.
void TestHttps::launcherAndWindowMeetAtTheKeyLog()
{
    const QString runtime = m_dir.filePath("run");
    QVERIFY(QDir().mkpath(runtime));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("SSLKEYLOGFILE");
    env.insert("XDG_RUNTIME_DIR", runtime);
    env.insert("XDG_DATA_HOME", m_dir.filePath("data"));
    env.insert("QUORREL_BROWSER", "chromium");
    const qint64 mark = logMark();

    LiveScan window;
    window.start(*m_ns, {"--dir", m_dir.path()}, env);
    QTRY_VERIFY_WITH_TIMEOUT(window.capturing(), 10000);
    // The certificate is the test's own: the browser is told to take it.
    const Result browser = m_ns->run({"sh", kLauncher, "browser", "--headless", "--disable-gpu",
                                      "--ignore-certificate-errors", "--dump-dom", url("127.0.0.1", 8401, "/index.html")},
                                     60000, env);
    QVERIFY2(browser.status == 0, qPrintable(browser.err));
    const QStringList logged = loggedPaths(waitForLog(mark, kSitePaths.size()));
    const Result seen = window.stop();
    QVERIFY2(seen.status == 0, qPrintable(seen.err));
    QCOMPARE(filedPaths(seen.out, url("127.0.0.1", 8401, {})), logged);
    QVERIFY2(summaryCount(seen.err, "without a secret") == 0, qPrintable(seen.err));

    const QString keyLog = runtime + "/quorrel/tls-keys.log";
    QVERIFY(readFile(keyLog).contains("CLIENT_TRAFFIC_SECRET_0 "));
    struct stat file {}, folder {};
    QVERIFY(::stat(QFile::encodeName(keyLog).constData(), &file) == 0);
    QVERIFY(::stat(QFile::encodeName(runtime + "/quorrel").constData(), &folder) == 0);
    QCOMPARE(file.st_mode & 07777, 0600u);
    QCOMPARE(folder.st_mode & 07777, 0700u);
    // The program warns of a key log that others can read: not of this one.
    QVERIFY2(!seen.err.contains(keyLog), qPrintable(seen.err));
}

// Where the launcher puts the key log, and what it refuses, without starting a browser
// (--print-command). Each row runs in a mount namespace with a /tmp of its own, so the
// /tmp/quorrel-<uid> folder of a session without XDG_RUNTIME_DIR is this row's alone. The
// path printed is the one the program reads with the same environment.
void TestHttps::launcherKeyLogPlace_data()
{
    QTest::addColumn<QString>("prepare");     // shell commands in the row's /tmp
    QTest::addColumn<QString>("runtime");     // XDG_RUNTIME_DIR; empty: unset
    QTest::addColumn<QString>("named");       // SSLKEYLOGFILE; empty: unset
    QTest::addColumn<QString>("browser");     // QUORREL_BROWSER
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("modes");   // "mode path" after the run
    QTest::addColumn<QStringList>("says");    // in the printed command, or on standard error

    const QString uid = QString::number(::getuid());
    const QString tmpRun = "/tmp/quorrel-" + uid;
    const QStringList chromium = {"'--ssl-key-log-file=%1'", "'--disable-features=EncryptedClientHello'",
                                  "'--user-data-dir=/tmp/data/quorrel/browser-profile/chromium'", "'--no-sandbox'",
                                  "'https://example.test/'"};
    QTest::newRow("the session's runtime folder") << "mkdir -m 0755 /tmp/run" << "/tmp/run" << "" << "chromium" << 0
                                                  << QStringList{"700 /tmp/run", "700 /tmp/run/quorrel", "600 %1"} << chromium;
    QTest::newRow("no runtime folder: /tmp/quorrel-<uid>")
        << "" << "" << "" << "chromium" << 0 << QStringList{"700 " + tmpRun, "700 " + tmpRun + "/quorrel", "600 %1"} << chromium;
    QTest::newRow("SSLKEYLOGFILE names it") << "" << "/tmp/run" << "/tmp/mine/keys.log" << "chromium" << 0
                                            << QStringList{"700 /tmp/mine", "600 %1"} << chromium;
    QTest::newRow("a key log others could read is made private")
        << "mkdir -m 0700 -p /tmp/run/quorrel && echo '# kept' > /tmp/run/quorrel/tls-keys.log && chmod 0644 /tmp/run/quorrel/tls-keys.log"
        << "/tmp/run" << "" << "chromium" << 0 << QStringList{"600 %1"} << QStringList{"'--ssl-key-log-file=%1'", "\n# kept\n"};
    QTest::newRow("Firefox ESR") << "" << "/tmp/run" << "" << "firefox-esr" << 0 << QStringList{"600 %1"}
                                 << QStringList{"SSLKEYLOGFILE='%1' 'firefox-esr' '--profile' '/tmp/data/quorrel/browser-profile/firefox'",
                                                "'https://example.test/'"};
    const QString theirs = "mkdir -m 0700 -p %1 && chown 65534 %1";
    QTest::newRow("the folder is someone else's")
        << theirs.arg("/tmp/run/quorrel") << "/tmp/run" << "" << "chromium" << 1 << QStringList{"700 /tmp/run/quorrel"}
        << QStringList{"/tmp/run/quorrel belongs to"};
    QTest::newRow("/tmp/quorrel-<uid> is someone else's")
        << theirs.arg(tmpRun) << "" << "" << "chromium" << 1 << QStringList{"700 " + tmpRun} << QStringList{tmpRun + " belongs to"};
    QTest::newRow("the folder is a link") << "mkdir -p /tmp/run /tmp/elsewhere && ln -s /tmp/elsewhere /tmp/run/quorrel"
                                          << "/tmp/run" << "" << "chromium" << 1 << QStringList{} << QStringList{"is not a folder"};
    QTest::newRow("the key log is a link")
        << "mkdir -m 0700 -p /tmp/run/quorrel && ln -s /tmp/elsewhere.log /tmp/run/quorrel/tls-keys.log"
        << "/tmp/run" << "" << "chromium" << 1 << QStringList{} << QStringList{"is not a plain file"};
    QTest::newRow("the key log is someone else's")
        << "mkdir -m 0700 -p /tmp/run/quorrel && touch /tmp/run/quorrel/tls-keys.log && chown 65534 /tmp/run/quorrel/tls-keys.log"
        << "/tmp/run" << "" << "chromium" << 1 << QStringList{} << QStringList{"tls-keys.log belongs to"};
    QTest::newRow("SSLKEYLOGFILE in someone else's folder")
        << theirs.arg("/tmp/theirs") << "/tmp/run" << "/tmp/theirs/keys.log" << "chromium" << 1 << QStringList{}
        << QStringList{"put SSLKEYLOGFILE in a folder of your own"};
}

void TestHttps::launcherKeyLogPlace()
{
    QFETCH(QString, prepare);
    QFETCH(QString, runtime);
    QFETCH(QString, named);
    QFETCH(QString, browser);
    QFETCH(int, status);
    QFETCH(QStringList, modes);
    QFETCH(QStringList, says);

    // The path the program reads with this environment.
    const QByteArray oldRuntime = qgetenv("XDG_RUNTIME_DIR"), oldNamed = qgetenv("SSLKEYLOGFILE");
    runtime.isEmpty() ? qunsetenv("XDG_RUNTIME_DIR") : qputenv("XDG_RUNTIME_DIR", runtime.toLocal8Bit());
    named.isEmpty() ? qunsetenv("SSLKEYLOGFILE") : qputenv("SSLKEYLOGFILE", named.toLocal8Bit());
    const QString programReads = quorrel::streams::DefaultKeyLogPath();
    oldRuntime.isNull() ? qunsetenv("XDG_RUNTIME_DIR") : qputenv("XDG_RUNTIME_DIR", oldRuntime);
    oldNamed.isNull() ? qunsetenv("SSLKEYLOGFILE") : qputenv("SSLKEYLOGFILE", oldNamed);

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("XDG_RUNTIME_DIR");
    env.remove("SSLKEYLOGFILE");
    if (!runtime.isEmpty())
        env.insert("XDG_RUNTIME_DIR", runtime);
    if (!named.isEmpty())
        env.insert("SSLKEYLOGFILE", named);
    env.insert("XDG_DATA_HOME", "/tmp/data");
    env.insert("HOME", "/tmp/home");
    env.insert("QUORREL_BROWSER", browser);

    // The launcher is copied into the row's /tmp: the clone itself may live under /tmp.
    QStringList paths;
    for (const QString &m : modes)
        paths << m.section(' ', 1).replace("%1", programReads);
    const QString script = QStringLiteral(
        "launcher=$(cat \"$1\") && mount -t tmpfs -o mode=1777 tmpfs /tmp && cd /tmp && "
        "printf '%s\\n' \"$launcher\" > /tmp/quorrel.sh && { %1\n} && "
        "{ sh /tmp/quorrel.sh browser --print-command https://example.test/; echo \"status=$?\"; "
        "for f in %2; do stat -c '%a %n' \"$f\"; done; cat %3 %4 2>/dev/null; }")
                               .arg(prepare.isEmpty() ? QStringLiteral(":") : prepare, paths.join(' '), programReads,
                                    "/tmp/data/quorrel/browser-profile/firefox/user.js");
    const Result r = run("unshare", {"--mount", "sh", "-c", script, "sh", kLauncher}, 30000, env);
    const QString said = r.out + r.err;
    QVERIFY2(said.contains(QStringLiteral("status=%1\n").arg(status)), qPrintable(said));
    for (const QString &m : modes)
        QVERIFY2(r.out.contains(QString(m).replace("%1", programReads) + "\n"), qPrintable(said));
    for (const QString &s : says)
        QVERIFY2(said.contains(QString(s).replace("%1", programReads)), qPrintable(said));
    if (status == 0)
        QVERIFY2(r.out.startsWith(QStringLiteral("SSLKEYLOGFILE='%1' ").arg(programReads)), qPrintable(said));
    else
        QVERIFY2(!r.out.contains("SSLKEYLOGFILE="), qPrintable(said));
    // HTTP/3 stays on: its requests are read with the same key log.
    QVERIFY2(!r.out.contains("--disable-quic") && !r.out.contains("network.http.http3"), qPrintable(said));
    if (browser == "firefox-esr")
        QVERIFY2(r.out.contains("user_pref(\"network.dns.echconfig.enabled\", false);"), qPrintable(said));
}

// Plain HTTP that one datagram cannot show: a request head split over three segments (its
// Host line in the last), then two requests pipelined in one segment, sent by a client of
// the test's own with TCP_NODELAY and pauses. Each is filed once, with its host.
void TestHttps::plainRequestsSplitAndPipelined_data()
{
    QTest::addColumn<QString>("host");
    QTest::newRow("IPv4") << "127.0.0.1";
    QTest::newRow("IPv6") << "::1";
}

void TestHttps::plainRequestsSplitAndPipelined()
{
    QFETCH(QString, host);
    const QString hostHeader = host == "::1" ? QStringLiteral("[::1]:%1").arg(kPlainPort) : QStringLiteral("%1:%2").arg(host).arg(kPlainPort);
    for (const char *name : {"split.mp3", "pipe-1.mp3", "pipe-2.mp3"})
        writeFile(m_dir.filePath("www/m/") + name, QByteArray(2000, 's'));
    const qint64 mark = logMark();

    LiveScan live;
    live.start(*m_ns, {"--dir", m_dir.path()});
    QTRY_VERIFY_WITH_TIMEOUT(live.capturing(), 10000);

    const QByteArray head = "GET /m/split.mp3 HTTP/1.1\r\nAccept: */*\r\nHost: " + hostHeader.toLatin1() + "\r\n\r\n";
    const qsizetype cut1 = head.indexOf(" HTTP") + 3, cut2 = head.indexOf("Host:") + 2;
    const QList<QByteArray> segments = {head.left(cut1), head.mid(cut1, cut2 - cut1), head.mid(cut2),
                                        "GET /m/pipe-1.mp3 HTTP/1.1\r\nHost: " + hostHeader.toLatin1()
                                            + "\r\n\r\nGET /m/pipe-2.mp3 HTTP/1.1\r\nHost: " + hostHeader.toLatin1() + "\r\n\r\n"};
    QByteArray replies;
    bool sent = false;
    QVERIFY(m_ns->enter([&] {
        const Loopback to(host, kPlainPort);
        const int fd = ::socket(to.family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        const timeval timeout{10, 0};
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        if (::connect(fd, to.get(), to.length) != 0) {
            ::close(fd);
            return;
        }
        sent = true;
        for (const QByteArray &segment : segments) {
            sent = sent && ::send(fd, segment.constData(), size_t(segment.size()), MSG_NOSIGNAL) == segment.size();
            ::usleep(200 * 1000); // each its own segment
        }
        // Three replies of 2000 bytes each, then nginx is left alone.
        char buffer[16384];
        while (replies.count("HTTP/1.1 200 OK") < 3 || replies.count(QByteArray(2000, 's')) < 3) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            replies.append(buffer, n);
        }
        ::close(fd);
    }));
    QVERIFY(sent);
    QCOMPARE(replies.count("HTTP/1.1 200 OK"), 3);
    const QStringList logged = loggedPaths(waitForLog(mark, 3));
    QCOMPARE(logged, QStringList({"/m/pipe-1.mp3", "/m/pipe-2.mp3", "/m/split.mp3"}));

    const Result seen = live.stop();
    QVERIFY2(seen.status == 0, qPrintable(seen.err));
    QCOMPARE(filedPaths(seen.out, "http://" + hostHeader), logged);
    // Each request once: neither twice nor without its host.
    QCOMPARE(summaryCount(seen.err, "requests found"), qint64(3));
    QCOMPARE(summaryCount(seen.err, "resources filed"), qint64(3));
    QVERIFY2(!seen.out.contains("http:///"), qPrintable(seen.out));
}

// A datagram this machine sends to UDP port 443 is HTTP/3, which no key log of TLS over TCP
// opens: the summary says so, and how to turn it off. Another UDP port says nothing.
void TestHttps::http3IsSaid_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<bool>("said");
    QTest::newRow("127.0.0.1, port 443") << "127.0.0.1" << 443 << true;
    QTest::newRow("::1, port 443") << "::1" << 443 << true;
    QTest::newRow("127.0.0.1, port 4433") << "127.0.0.1" << 4433 << false;
}

void TestHttps::http3IsSaid()
{
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(bool, said);
    LiveScan live;
    live.start(*m_ns, {"--dir", m_dir.path()});
    QTRY_VERIFY_WITH_TIMEOUT(live.capturing(), 10000);
    bool sent = false;
    QVERIFY(m_ns->enter([&] {
        const Loopback to(host, port);
        const int fd = ::socket(to.family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const QByteArray initial(1200, '\xC3'); // the size of a QUIC Initial
        sent = ::sendto(fd, initial.constData(), size_t(initial.size()), 0, to.get(), to.length) == initial.size();
        ::close(fd);
    }));
    QVERIFY(sent);
    QTest::qWait(500);
    const Result seen = live.stop();
    QVERIFY2(seen.status == 0, qPrintable(seen.err));
    QCOMPARE(seen.err.contains("; " + kHttp3Line + ": it cannot be read, turn QUIC off in the browser"), said);
}

QStringList TestHttps::caddyLoggedSince(qint64 mark) const
{
    QStringList out;
    for (const QByteArray &line : readFile(m_caddyLog).mid(mark).split('\n')) {
        const QJsonObject request = QJsonDocument::fromJson(line).object().value("request").toObject();
        if (request.value("method").toString() == "GET")
            out << request.value("proto").toString() + ' ' + request.value("uri").toString();
    }
    return out;
}

// Chromium's HTTP/3, read with its key log: forced onto QUIC, and following caddy's
// Alt-Svc from HTTP/2 to HTTP/3 (its certificate allowed for QUIC by
// naming the host with a port never used, as a real site's needs nothing). Every GET caddy
// logged is filed, live and from the capture file; without the key log nothing of QUIC
// is, and its connections are counted as without a secret.
void TestHttps::http3RequestsAreFiled_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("forced");
    QTest::newRow("IPv4, forced onto QUIC") << "127.0.0.1" << true;
    QTest::newRow("IPv6, forced onto QUIC") << "::1" << true;
    QTest::newRow("IPv6, through Alt-Svc from HTTP/2") << "::1" << false;
}

void TestHttps::http3RequestsAreFiled()
{
    QFETCH(QString, host);
    QFETCH(bool, forced);
    const QString tag = QStringLiteral("h3-%1-%2").arg(host == "::1" ? "v6" : "v4", forced ? "forced" : "altsvc");
    const QString keyLog = m_dir.filePath("keys-" + tag + ".log");
    makePrivateFile(keyLog);
    const QString capture = m_dir.filePath("traffic-" + tag + ".pcap");
    const qint64 mark = QFileInfo(m_caddyLog).size();

    Recording recording;
    QVERIFY(recording.start(*m_ns, capture, QStringLiteral("port %1").arg(kQuicPort)));
    LiveScan live;
    live.start(*m_ns, {"--dir", m_dir.path(), "--keylog", keyLog});
    QTRY_VERIFY_WITH_TIMEOUT(live.capturing(), 10000);
    const QString profile = m_dir.filePath(QStringLiteral("profile-%1").arg(m_profiles++));
    QStringList args = chromiumArgs(profile, keyLog, QStringLiteral("https://%1:%2/index.html").arg(kQuicHost).arg(kQuicPort));
    args.removeAll("--disable-quic");
    args.removeAll("--ignore-certificate-errors");
    args.insert(1, "--origin-to-force-quic-on=" + kQuicHost + ':' + (forced ? QString::number(kQuicPort) : "9"));
    args.insert(1, "--ignore-certificate-errors-spki-list=" + m_quicSpki);
    args.insert(1, QStringLiteral("--host-resolver-rules=MAP %1 %2").arg(kQuicHost, host == "::1" ? "[::1]" : host));
    // Through Alt-Svc the page is loaded twice with one profile: how much of the first load
    // moves to HTTP/3 is the browser's race; the second starts where the first left off.
    for (int load = 0; load < (forced ? 1 : 2); ++load) {
        const Result chromium = m_ns->run(args, 60000);
        QVERIFY2(chromium.status == 0, qPrintable(chromium.err));
        QVERIFY2(chromium.out.contains("<audio src=\"/m/c.mp3\""), qPrintable(chromium.out));
    }
    QTest::qWait(1000); // caddy logs a request once it has answered it
    recording.stop();
    const Result seen = live.stop();
    QVERIFY2(seen.status == 0, qPrintable(seen.err));

    const QStringList lines = caddyLoggedSince(mark);
    QStringList logged;
    for (const QString &line : lines) {
        const QString path = line.section(' ', 1);
        if (!logged.contains(path))
            logged << path;
    }
    logged.sort();
    QVERIFY2(lines.contains("HTTP/3.0 /m/d.mp4"), qPrintable(lines.join('\n')));
    if (forced)
        QVERIFY2(lines.filter("HTTP/3.0 ").size() == lines.size(), qPrintable(lines.join('\n')));
    else
        QVERIFY2(lines.contains("HTTP/2.0 /index.html"), qPrintable(lines.join('\n')));
    const QString prefix = QStringLiteral("https://%1:%2").arg(kQuicHost).arg(kQuicPort);

    QVERIFY2(filedPaths(seen.out, prefix) == logged, qPrintable(filedPaths(seen.out, prefix).join(' ') + "\n" + lines.join('\n')
                                                                + "\n" + seen.err));
    QVERIFY2(summaryCount(seen.err, "QUIC connections read") > 0, qPrintable(seen.err));
    QVERIFY2(!seen.err.contains(kHttp3Line), qPrintable(seen.err));

    const Result file = run(kScan, {"--dir", m_dir.path(), "--keylog", keyLog, capture});
    QVERIFY2(file.status == 0, qPrintable(file.err));
    QCOMPARE(filedPaths(file.out, prefix), logged);
    QCOMPARE(summaryCount(file.err, "QUIC connections read"), summaryCount(seen.err, "QUIC connections read"));

    const Result blind = run(kScan, {"--dir", m_dir.path(), capture});
    QVERIFY2(blind.status == 0, qPrintable(blind.err));
    QCOMPARE(filedPaths(blind.out, prefix), QStringList());
    QCOMPARE(summaryCount(blind.err, "QUIC connections read"), qint64(0));
    QVERIFY2(blind.err.contains(kHttp3Line), qPrintable(blind.err));
}

// ngtcp2's client (GnuTLS, SSLKEYLOGFILE) against caddy, in the shapes a browser rarely
// shows on demand: each cipher suite, a key update and a port change before the requests,
// and a second connection that sends its requests as 0-RTT. Every GET caddy logged is filed
// from the capture file.
void TestHttps::http3OfNgtcp2sClient_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<bool>("resumed"); // a first connection leaves a session for 0-RTT
    const QString suites = "--ciphers=NORMAL:-VERS-ALL:+VERS-TLS1.3:-CIPHER-ALL:+";
    QTest::newRow("AES-128-GCM") << QStringList{suites + "AES-128-GCM"} << false;
    QTest::newRow("ChaCha20-Poly1305") << QStringList{suites + "CHACHA20-POLY1305"} << false;
    QTest::newRow("AES-256-GCM") << QStringList{suites + "AES-256-GCM"} << false;
    QTest::newRow("a key update first") << QStringList{"--key-update=20ms", "--delay-stream=400ms"} << false;
    QTest::newRow("another port first")
        << QStringList{"--change-local-addr=100ms", "--nat-rebinding", "--delay-stream=500ms"} << false;
    QTest::newRow("0-RTT") << QStringList{} << true;
}

void TestHttps::http3OfNgtcp2sClient()
{
    QFETCH(QStringList, options);
    QFETCH(bool, resumed);
    if (QStandardPaths::findExecutable("gtlsclient", {"/usr/bin", "/usr/sbin"}).isEmpty())
        QSKIP("gtlsclient is needed (Debian package ngtcp2-client)");
    const QString tag = QStringLiteral("ngtcp2-%1").arg(m_profiles++);
    const QString keyLog = m_dir.filePath("keys-" + tag + ".log");
    makePrivateFile(keyLog);
    const QString capture = m_dir.filePath("traffic-" + tag + ".pcap");
    const QString downloads = m_dir.filePath(tag);
    QVERIFY(QDir().mkpath(downloads));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("SSLKEYLOGFILE", keyLog);
    const QStringList paths{"/m/a.png", "/m/b.jpg", "/m/d.mp4"};
    QStringList client{"gtlsclient", "-q", "--exit-on-all-streams-close", "--download=" + downloads};
    if (resumed) {
        const QString session = m_dir.filePath(tag + ".session");
        const QString parameters = m_dir.filePath(tag + ".tp");
        client << "--session-file=" + session << "--tp-file=" + parameters;
        const Result first = m_ns->run(client + QStringList{kQuicHost, QString::number(kQuicPort),
                                                              QStringLiteral("https://%1:%2/index.html").arg(kQuicHost).arg(kQuicPort)},
                                       20000, env);
        QVERIFY2(first.status == 0 && QFileInfo::exists(session), qPrintable(first.err));
    }
    client << options << kQuicHost << QString::number(kQuicPort);
    for (const QString &path : paths)
        client << QStringLiteral("https://%1:%2%3").arg(kQuicHost).arg(kQuicPort).arg(path);

    const qint64 mark = QFileInfo(m_caddyLog).size();
    Recording recording;
    QVERIFY(recording.start(*m_ns, capture, QStringLiteral("udp port %1").arg(kQuicPort)));
    m_ns->run(client, 20000, env); // a port change may leave it waiting for caddy: its requests went out
    QTest::qWait(1000);
    recording.stop();
    QStringList logged;
    for (const QString &line : caddyLoggedSince(mark))
        logged << line.section(' ', 1);
    logged.sort();
    // After a port change caddy may answer only some: every one it logged is filed, and
    // nothing but what the client asked for.
    if (options.contains("--nat-rebinding"))
        QVERIFY2(!logged.isEmpty(), qPrintable(logged.join(' ')));
    else
        QCOMPARE(logged, paths);
    if (resumed)
        QVERIFY2(readFile(keyLog).contains("CLIENT_EARLY_TRAFFIC_SECRET "), readFile(keyLog).constData());

    const Result file = run(kScan, {"--dir", m_dir.path(), "--keylog", keyLog, capture});
    QVERIFY2(file.status == 0, qPrintable(file.err));
    const QStringList filed = filedPaths(file.out, QStringLiteral("https://%1:%2").arg(kQuicHost).arg(kQuicPort));
    for (const QString &path : logged)
        QVERIFY2(filed.contains(path), qPrintable(path + " not in " + filed.join(' ')));
    for (const QString &path : filed)
        QVERIFY2(paths.contains(path), qPrintable(path));
    QVERIFY2(summaryCount(file.err, "QUIC connections read") == 1, qPrintable(file.err));
}

QTEST_GUILESS_MAIN(TestHttps)
#include "test_https.moc"
