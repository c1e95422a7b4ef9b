// The hand-over to aria2: the JSON-RPC call's body and the reading of aria2's answers, then
// a real aria2c --enable-rpc on 127.0.0.1 fetching from nginx with the captured Referer,
// Cookie and User-Agent, which nginx requires and logs; a wrong secret, an endpoint that
// does not listen and one that is no address each say why; quorrel-fetch --aria2 the same.

#include "downloads/aria2_rpc.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "test_files.h"
#include "test_peers.h"

#include <unistd.h>

using namespace quorrel;
using quorrel::test::accepts;
using quorrel::test::freePorts;
using quorrel::test::openToServerWorkers;
using quorrel::test::Peer;
using quorrel::test::readFile;
using quorrel::test::writeFile;

namespace {

const QByteArray kReferer = "http://page.test/watch";
const QByteArray kCookie = "session=s3cret; lang=zh";
const QByteArray kUserAgent = "Mozilla/5.0 (X11; Linux x86_64) Quorrel-test";
const QString kSecret = QStringLiteral("t0ken");

QByteArray content(int n, char seed)
{
    QByteArray b;
    for (int i = 0; i < n; ++i)
        b += char(seed + i % 23);
    return b;
}

} // namespace

class TestAria2 : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void body_data();
    void body();
    void answer_data();
    void answer();
    void handedWithTheHeaders();
    void failuresSayWhy_data();
    void failuresSayWhy();
    void fetchToAria2();

private:
    bool waitForFile(const QString &path, const QByteArray &bytes);
    QStringList logged() const { return QString::fromUtf8(readFile(m_root.path() + "/logs/access.log")).split('\n', Qt::SkipEmptyParts); }

    QTemporaryDir m_root;
    QString m_http;     // http://127.0.0.1:port
    QString m_endpoint; // aria2's
    quint16 m_quiet = 0; // a port nothing listens on
    Peer m_nginx, m_aria2;
};

void TestAria2::initTestCase()
{
    if (QStandardPaths::findExecutable("aria2c").isEmpty())
        QFAIL("aria2c is missing: Debian's aria2 package (./quorrel.sh installs it)");
    const QString root = m_root.path();
    QVERIFY(openToServerWorkers(root));
    for (const char *d : {"logs", "www/media", "tmp", "save", "home"})
        QVERIFY(QDir().mkpath(root + "/" + d));
    writeFile(root + "/www/media/42", content(70000, 'a'));
    writeFile(root + "/www/media/song.mp3", content(3000, 'A'));
    const QList<quint16> ports = freePorts(3);
    m_http = QStringLiteral("http://127.0.0.1:%1").arg(ports[0]);
    m_endpoint = QStringLiteral("http://127.0.0.1:%1/jsonrpc").arg(ports[1]);
    m_quiet = ports[2];
    // A media server that wants the page's Referer and the session's cookie, as many do,
    // and logs the headers each request came with.
    const QString conf = QStringLiteral("daemon off;\n%1worker_processes 1;\npid %2/logs/nginx.pid;\n"
                                        "error_log %2/logs/error.log;\nevents { worker_connections 64; }\n"
                                        "http {\n"
                                        "  log_format seen '$uri|$http_referer|$http_cookie|$http_user_agent';\n"
                                        "  access_log %2/logs/access.log seen;\n"
                                        "  client_body_temp_path %2/tmp/body;\n  proxy_temp_path %2/tmp/proxy;\n"
                                        "  fastcgi_temp_path %2/tmp/fastcgi;\n  uwsgi_temp_path %2/tmp/uwsgi;\n"
                                        "  scgi_temp_path %2/tmp/scgi;\n  default_type application/octet-stream;\n"
                                        "  server {\n    listen 127.0.0.1:%3;\n    root %2/www;\n"
                                        "    location /media/ {\n"
                                        "      if ($cookie_session != \"s3cret\") { return 403; }\n"
                                        "      if ($http_referer != \"%4\") { return 403; }\n"
                                        "    }\n  }\n}\n")
                             .arg(::geteuid() == 0 ? QStringLiteral("user root;\n") : QString(), root)
                             .arg(ports[0])
                             .arg(QString::fromLatin1(kReferer));
    writeFile(root + "/nginx.conf", conf.toUtf8());
    QVERIFY(m_nginx.start("nginx", {"-c", root + "/nginx.conf", "-p", root, "-e", root + "/logs/error.log"}, ports[0]));
    // aria2c with a secret, its own folders and no configuration of the user's.
    qputenv("HOME", QFile::encodeName(root + "/home"));
    QVERIFY(m_aria2.start("aria2c", {"--enable-rpc", "--rpc-listen-port=" + QString::number(ports[1]),
                                     "--rpc-secret=" + kSecret, "--no-conf", "--dir=" + root + "/tmp",
                                     "--disable-ipv6", "--auto-file-renaming=false", "--allow-overwrite=true",
                                     "--max-tries=1", "--console-log-level=warn", "--summary-interval=0",
                                     "--rpc-listen-all=false"},
                          ports[1]));
}

void TestAria2::cleanupTestCase()
{
    m_aria2.stop();
    m_nginx.stop();
}

bool TestAria2::waitForFile(const QString &path, const QByteArray &bytes)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 20000) {
        // aria2 keeps a control file beside one it has not finished.
        if (!QFile::exists(path + ".aria2") && QFileInfo(path).size() == bytes.size() && readFile(path) == bytes)
            return true;
        QTest::qWait(50);
    }
    return false;
}

// The call as aria2's manual writes it: the token first, then the addresses, then the
// options, each header "Name: value"; a header that is no UTF-8 text is left out, named.
void TestAria2::body_data()
{
    QTest::addColumn<QString>("secret");
    QTest::addColumn<QByteArray>("cookie");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QStringList>("params");  // the first parameter's form, then the headers
    QTest::addColumn<QStringList>("skipped");
    QTest::newRow("everything") << kSecret << kCookie << "42"
                                << QStringList{"token:t0ken", "Referer: http://page.test/watch",
                                               "Cookie: session=s3cret; lang=zh", "User-Agent: UA"}
                                << QStringList{};
    QTest::newRow("no secret: no token") << QString() << kCookie << "42"
                                         << QStringList{"", "Referer: http://page.test/watch",
                                                        "Cookie: session=s3cret; lang=zh", "User-Agent: UA"}
                                         << QStringList{};
    QTest::newRow("UTF-8 in a cookie") << kSecret << QByteArray("name=\xE6\xAD\x8C") << "42"
                                       << QStringList{"token:t0ken", "Referer: http://page.test/watch",
                                                      QStringLiteral("Cookie: name=歌"), "User-Agent: UA"}
                                       << QStringList{};
    QTest::newRow("GBK in a cookie is left out") << kSecret << QByteArray("name=\xB8\xE8") << ""
                                                 << QStringList{"token:t0ken", "Referer: http://page.test/watch",
                                                                "User-Agent: UA"}
                                                 << QStringList{"Cookie"};
}

void TestAria2::body()
{
    QFETCH(QString, secret);
    QFETCH(QByteArray, cookie);
    QFETCH(QString, fileName);
    QFETCH(QStringList, params);
    QFETCH(QStringList, skipped);
    QStringList left;
    const Aria2Item item{"http://a.test/media/42", fileName, RequestHeaders::captured(kReferer, cookie, "UA"), 3};
    const QJsonObject call = QJsonDocument::fromJson(Aria2AddUriBody({m_endpoint, secret}, item, "/save/here", "7", &left)).object();
    QCOMPARE(call.value("jsonrpc").toString(), QStringLiteral("2.0"));
    QCOMPARE(call.value("method").toString(), QStringLiteral("aria2.addUri"));
    QCOMPARE(call.value("id").toString(), QStringLiteral("7"));
    QJsonArray p = call.value("params").toArray();
    if (!params.first().isEmpty()) {
        QCOMPARE(p.first().toString(), params.first());
        p.removeFirst();
    }
    QCOMPARE(p.size(), 2);
    QCOMPARE(p[0].toArray(), QJsonArray{"http://a.test/media/42"});
    const QJsonObject options = p[1].toObject();
    QStringList headers;
    for (const QJsonValue &h : options.value("header").toArray())
        headers << h.toString();
    QCOMPARE(headers, params.mid(1));
    QCOMPARE(options.value("dir").toString(), QStringLiteral("/save/here"));
    QCOMPARE(options.contains("out"), !fileName.isEmpty());
    QCOMPARE(options.value("out").toString(), fileName);
    QCOMPARE(left, skipped);
}

void TestAria2::answer_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("gid"); // empty: a failure
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("detail");
    QTest::newRow("a GID") << QByteArray(R"({"id":"1","jsonrpc":"2.0","result":"2089b05ecca3d829"})") << "2089b05ecca3d829"
                           << 0 << "";
    QTest::newRow("unauthorized") << QByteArray(R"({"id":"1","jsonrpc":"2.0","error":{"code":1,"message":"Unauthorized"}})")
                                  << "" << int(Aria2Failure::Refused) << "Unauthorized (1)";
    QTest::newRow("an error without a message") << QByteArray(R"({"error":{"code":-32600}})") << ""
                                                << int(Aria2Failure::Refused) << "? (-32600)";
    QTest::newRow("an empty result") << QByteArray(R"({"result":""})") << "" << int(Aria2Failure::NoAnswer)
                                     << "neither a result nor an error";
    QTest::newRow("a number for a GID") << QByteArray(R"({"result":12})") << "" << int(Aria2Failure::NoAnswer)
                                        << "neither a result nor an error";
    QTest::newRow("an array") << QByteArray("[]") << "" << int(Aria2Failure::NoAnswer) << "not a JSON object";
    QTest::newRow("a web page") << QByteArray("<html>") << "" << int(Aria2Failure::NoAnswer) << "illegal value";
    QTest::newRow("nothing") << QByteArray() << "" << int(Aria2Failure::NoAnswer) << "illegal value";
}

void TestAria2::answer()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, gid);
    QFETCH(int, kind);
    QFETCH(QString, detail);
    const Aria2Answer a = ReadAria2Answer(body);
    QCOMPARE(a.gid.value_or(QString()), gid);
    if (gid.isEmpty()) {
        QCOMPARE(int(a.failure.kind), kind);
        QCOMPARE(a.failure.detail, detail);
    }
}

// Two resources, one without an extension, handed over at once: aria2 takes both, fetches
// them into the save folder under their names, and nginx saw the captured headers.
void TestAria2::handedWithTheHeaders()
{
    Aria2Client client;
    QSignalSpy handed(&client, &Aria2Client::handed);
    QSignalSpy refused(&client, &Aria2Client::refused);
    QSignalSpy finished(&client, &Aria2Client::finished);
    const RequestHeaders headers = RequestHeaders::captured(kReferer, kCookie, kUserAgent);
    const QString save = m_root.path() + "/save";
    client.addUris({m_endpoint, kSecret},
                   {{m_http + "/media/42", "42", headers, 3}, {m_http + "/media/song.mp3", "song.mp3", headers, 2}}, save);
    QCOMPARE(client.pending(), 2);
    QVERIFY(finished.wait(20000));
    QCOMPARE(refused.count(), 0);
    QCOMPARE(handed.count(), 2);
    QVERIFY(!handed[0][1].toString().isEmpty()); // aria2's GID
    QVERIFY(waitForFile(save + "/42", content(70000, 'a')));
    QVERIFY(waitForFile(save + "/song.mp3", content(3000, 'A')));
    const QString seen = QStringLiteral("|%1|%2|%3").arg(QString::fromLatin1(kReferer), QString::fromLatin1(kCookie),
                                                        QString::fromLatin1(kUserAgent));
    QTRY_VERIFY(logged().contains("/media/42" + seen));
    QVERIFY(logged().contains("/media/song.mp3" + seen));
}

void TestAria2::failuresSayWhy_data()
{
    QTest::addColumn<QString>("endpoint"); // %1: aria2's, %2: a port nothing listens on
    QTest::addColumn<QString>("secret");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("detail"); // contained in the failure's detail
    QTest::addColumn<QString>("text");   // contained in the log line
    QTest::newRow("a wrong secret") << "%1" << "wrong" << int(Aria2Failure::Refused) << "Unauthorized"
                                    << "aria2 拒绝了下载：Unauthorized";
    QTest::newRow("no secret") << "%1" << "" << int(Aria2Failure::Refused) << "Unauthorized" << "aria2 拒绝了下载";
    QTest::newRow("nothing listens") << "http://127.0.0.1:%2/jsonrpc" << kSecret << int(Aria2Failure::Unreachable)
                                     << "refused" << "无法连接 aria2：";
    QTest::newRow("no address") << "ftp://127.0.0.1/jsonrpc" << kSecret << int(Aria2Failure::BadEndpoint)
                                << "ftp://127.0.0.1/jsonrpc" << "aria2 的地址无效（config.ini 的 aria2dz）";
    QTest::newRow("empty") << "" << kSecret << int(Aria2Failure::BadEndpoint) << "" << "aria2 的地址无效";
}

void TestAria2::failuresSayWhy()
{
    QFETCH(QString, endpoint);
    QFETCH(QString, secret);
    QFETCH(int, kind);
    QFETCH(QString, detail);
    QFETCH(QString, text);
    Aria2Client client;
    QSignalSpy refused(&client, &Aria2Client::refused);
    QSignalSpy finished(&client, &Aria2Client::finished);
    const QString address = endpoint.contains("%1") ? m_endpoint : endpoint.contains("%2") ? endpoint.arg(m_quiet) : endpoint;
    client.addUris({address, secret}, {{m_http + "/media/42", "42", {}, 3}}, m_root.path() + "/save");
    QVERIFY(finished.count() == 1 || finished.wait(20000));
    QCOMPARE(refused.count(), 1);
    const Aria2Failure failure = refused[0][1].value<Aria2Failure>();
    QCOMPARE(int(failure.kind), kind);
    QVERIFY2(failure.detail.contains(detail, Qt::CaseInsensitive), qPrintable(failure.detail));
    QVERIFY2(Aria2FailureText(failure).contains(text), qPrintable(Aria2FailureText(failure)));
}

// quorrel-fetch --aria2: a line per address in order, Queued with aria2's GID or Failed
// with the reason; the files arrive with the headers of a HAR file's requests.
void TestAria2::fetchToAria2()
{
    const QString save = m_root.path() + "/fetched";
    QVERIFY(QDir().mkpath(save));
    const QString har = m_root.path() + "/page.har";
    const auto entry = [&](const QString &url) {
        return QStringLiteral(R"({"request":{"method":"GET","url":"%1","httpVersion":"HTTP/1.1","headers":[)"
                              R"({"name":"Referer","value":"%2"},{"name":"Cookie","value":"%3"},{"name":"User-Agent","value":"%4"}]}})")
            .arg(url, QString::fromLatin1(kReferer), QString::fromLatin1(kCookie), QString::fromLatin1(kUserAgent));
    };
    writeFile(har, QStringLiteral(R"({"log":{"version":"1.2","creator":{"name":"t","version":"1"},"entries":[%1,%2]}})")
                       .arg(entry(m_http + "/media/42"), entry(m_http + "/media/song.mp3"))
                       .toUtf8());
    QProcess fetch;
    fetch.start(QStringLiteral(QUORREL_BIN_DIR "/quorrel-fetch"),
                {"--dir", m_root.path(), "--save-path", save, "--aria2", m_endpoint, "--aria2-secret", kSecret, "--har", har});
    QVERIFY(fetch.waitForFinished(30000));
    const QStringList lines = QString::fromLocal8Bit(fetch.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(fetch.exitCode(), 0);
    QCOMPARE(lines.size(), 2);
    QVERIFY2(lines[0].startsWith("Queued\t" + m_http + "/media/42\t"), qPrintable(lines[0]));
    QVERIFY2(lines[1].startsWith("Queued\t" + m_http + "/media/song.mp3\t"), qPrintable(lines[1]));
    QVERIFY(waitForFile(save + "/42", content(70000, 'a')));
    QVERIFY(waitForFile(save + "/song.mp3", content(3000, 'A')));

    // A wrong secret: Failed with aria2's reason, exit status 1.
    fetch.start(QStringLiteral(QUORREL_BIN_DIR "/quorrel-fetch"),
                {"--dir", m_root.path(), "--save-path", save, "--aria2", m_endpoint, "--aria2-secret", "wrong",
                 m_http + "/media/42"});
    QVERIFY(fetch.waitForFinished(30000));
    QCOMPARE(fetch.exitCode(), 1);
    QCOMPARE(QString::fromLocal8Bit(fetch.readAllStandardOutput()),
             "Failed\t" + m_http + QStringLiteral("/media/42\taria2 拒绝了下载：Unauthorized (1)\n"));
}

QTEST_GUILESS_MAIN(TestAria2)
#include "test_aria2.moc"
