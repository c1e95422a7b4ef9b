// quorrel-fetch end to end: it drives the shared transfer layer (a download, a resume, an
// HTTP and an FTP failure), reads the list formats with --category, asks for a password
// on its terminal, and refuses bad usage. The transfer rules themselves are the transfer
// test's. It runs without a terminal unless a test gives it one.

#include "base/gbk_text.h"
#include "downloads/transfer_reasons.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QtTest>

#include "test_files.h"
#include "test_http_server.h"
#include "test_pcap.h"
#include "test_peers.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

using namespace quorrel;
using quorrel::test::HttpServer;
using quorrel::test::readFile;
using quorrel::test::writeFile;

namespace {

const QByteArray kBody = [] {
    QByteArray b;
    for (int i = 0; i < 5000; ++i)
        b += char('a' + i % 26);
    return b;
}();

// Every path is the same 5000-byte file, with ranges honoured; /missing* is a 404, and
// /guarded* a 403 without the page's Referer and the session's cookie.
QByteArray serve(const QByteArray &request)
{
    if (request.contains(" /guarded") &&
        (!request.contains("\r\nCookie: session=s3cret") || !request.contains("\r\nReferer: http://page.test/watch\r\n")))
        return HttpServer::reply("403 Forbidden", "no");
    if (request.contains(" /missing"))
        return HttpServer::reply("404 Not Found", "no such file");
    const QRegularExpressionMatch range = QRegularExpression("Range: bytes=(\\d+)-").match(QString::fromLatin1(request));
    if (request.startsWith("GET") && range.hasMatch()) {
        const int from = range.captured(1).toInt();
        return HttpServer::reply("206 Partial Content", kBody.mid(from),
                                 QByteArray("Content-Range: bytes ") + QByteArray::number(from) + "-4999/5000\r\n");
    }
    // A HEAD states the length its GET would have (RFC 9110, 9.3.2).
    if (request.startsWith("HEAD"))
        return "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(kBody.size()) + "\r\nConnection: close\r\n\r\n";
    return HttpServer::reply("200 OK", kBody);
}

struct Run {
    int status = -1;
    QStringList lines;
    QString err;
};

} // namespace

class TestFetch : public QObject {
    Q_OBJECT
private slots:
    void init();
    void downloadAndResume();
    void failures();
    void printedLines_data();
    void printedLines();
    void harOverTheBound();
    void listFormats_data();
    void listFormats();
    void badUsage_data();
    void badUsage();
    void unreadableConfig_data();
    void unreadableConfig();
    void passwordAtTheTerminal();
    void slowNameLookup();
    void harRoundTrip();
    void browserHar();
    void malformedHar_data();
    void malformedHar();

private:
    // withSavePath: --save-path the test's folder first; otherwise the folder comes from
    // config.ini, and the user's Downloads folder is one below the test's folder.
    Run fetch(const QStringList &args, const QByteArray &input = {}, bool withSavePath = true, int terminal = -1);
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<HttpServer> m_server;
};

void TestFetch::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_server = std::make_unique<HttpServer>(&serve);
}

Run TestFetch::fetch(const QStringList &args, const QByteArray &input, bool withSavePath, int terminal)
{
    QProcess p;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("HOME", m_dir->filePath("home"));
    environment.remove("XDG_CONFIG_HOME");
    p.setProcessEnvironment(environment);
    // A session of its own: no controlling terminal, or the one given.
    p.setChildProcessModifier([terminal] {
        ::setsid();
        if (terminal >= 0)
            ::ioctl(terminal, TIOCSCTTY, 0);
    });
    p.start(QStringLiteral(QUORREL_BIN_DIR "/quorrel-fetch"),
            (withSavePath ? QStringList{"--save-path", m_dir->path()} : QStringList{}) + args);
    p.waitForStarted();
    p.write(input);
    p.closeWriteChannel();
    // The server answers on this thread: keep the loop turning while the tool runs.
    QElapsedTimer waited;
    waited.start();
    while (p.state() != QProcess::NotRunning && waited.elapsed() < 30000)
        QTest::qWait(10);
    Run r;
    r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.lines = QString::fromUtf8(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

void TestFetch::downloadAndResume()
{
    const QString url = m_server->url("/music/song.mp3");
    Run r = fetch({url});
    QCOMPARE(r.status, 0);
    QCOMPARE(r.lines, QStringList{QStringLiteral("Done\t%1\t%2\t5000").arg(url, m_dir->filePath("song.mp3"))});
    QCOMPARE(readFile(m_dir->filePath("song.mp3")), kBody);

    // Its own partial file is resumed (from its last byte on), ends whole and takes the name.
    QFile::remove(m_dir->filePath("song.mp3"));
    writeFile(m_dir->filePath("song.mp3.part"), kBody.left(1234));
    r = fetch({url});
    QCOMPARE(r.status, 0);
    QCOMPARE(readFile(m_dir->filePath("song.mp3")), kBody);
    QVERIFY(!QFileInfo::exists(m_dir->filePath("song.mp3.part")));
    // A whole file under the name is left as it is, and said to be complete.
    r = fetch({url});
    QCOMPARE(r.status, 0);
    QVERIFY2(r.err.contains("already complete"), qPrintable(r.err));
    // A file this program did not write is never appended to, nor replaced by a resume.
    writeFile(m_dir->filePath("song.mp3"), "the user's own notes");
    r = fetch({url});
    QCOMPARE(r.status, 1);
    QVERIFY2(r.lines.value(0).startsWith("Failed\t" + url + "\t" + kNotOurPartial()), qPrintable(r.lines.value(0)));
    QCOMPARE(readFile(m_dir->filePath("song.mp3")), QByteArray("the user's own notes"));
    // --no-resume writes it again.
    writeFile(m_dir->filePath("song.mp3"), QByteArray(9000, 'z'));
    r = fetch({"--no-resume", url});
    QCOMPARE(r.status, 0);
    QCOMPARE(readFile(m_dir->filePath("song.mp3")), kBody);
}

void TestFetch::failures()
{
    const QString ok = m_server->url("/ok.zip");
    const Run r = fetch({m_server->url("/missing.mp3"), "ftp://127.0.0.1:1/pub/x.zip", m_server->url("/folder/"),
                         "ftp://bob@127.0.0.1:1/y.zip", ok});
    QCOMPARE(r.status, 1);
    QCOMPARE(r.lines.size(), 5);
    QVERIFY2(r.lines[0].startsWith("Failed\t" + m_server->url("/missing.mp3") + "\t" + kServerError.arg("HTTP 404")),
             qPrintable(r.lines[0]));
    QVERIFY(r.lines[1].startsWith("Failed\tftp://127.0.0.1:1/pub/x.zip\t"));
    QVERIFY(r.lines[2].startsWith("Failed\t" + m_server->url("/folder/") + "\tthe address names no file"));
    QVERIFY2(r.lines[3].startsWith("Failed\tftp://bob@127.0.0.1:1/y.zip\t" + kNoFtpPassword.arg("bob")), qPrintable(r.lines[3]));
    QVERIFY(r.lines[4].startsWith("Done\t" + ok)); // the queue goes on
    // No error page saved, and no empty file left where nothing was received.
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files), QStringList{"ok.zip"});
}

// What is printed is what was saved, whatever the name holds, and nothing a terminal acts on:
// the name is no format ("%1", "%2e", "%%"), control characters of an address are %XX, a
// password is hidden. The file name is the path's last segment, decoded, without the query.
void TestFetch::printedLines_data()
{
    QTest::addColumn<QString>("path");    // as given, after the server's address
    QTest::addColumn<QString>("shown");   // as printed, after the server's address
    QTest::addColumn<QString>("name");    // saved as
    QTest::addColumn<bool>("login");      // given as bob:s3cret@
    QTest::newRow("an escaped dot") << "/%2e" << "/%2e" << "%2e" << false;
    QTest::newRow("%1 in the name") << "/a%251.mp3" << "/a%251.mp3" << "a%1.mp3" << false;
    QTest::newRow("%2e in the name") << "/b%252e.mp3" << "/b%252e.mp3" << "b%2e.mp3" << false;
    QTest::newRow("%% in the name") << "/%25%25.bin" << "/%25%25.bin" << "%%.bin" << false;
    QTest::newRow("a query") << "/clip.mp4?token=abc" << "/clip.mp4?token=abc" << "clip.mp4" << false;
    QTest::newRow("a Chinese name") << "/%E6%AD%8C%E6%9B%B2.mp3" << "/%E6%AD%8C%E6%9B%B2.mp3" << "歌曲.mp3" << false;
    // libcurl refuses the address; the line saying so is printed as safely.
    QTest::newRow("ESC and BEL") << "/t\x1b]0;owned\x07.mp3" << "/t%1B]0;owned%07.mp3" << QString() << false;
    QTest::newRow("a password") << "/p.mp3" << "/p.mp3" << "p.mp3" << true;
}

void TestFetch::printedLines()
{
    QFETCH(QString, path);
    QFETCH(QString, shown);
    QFETCH(QString, name);
    QFETCH(bool, login);
    const QString base = m_server->url("");
    const QString given = login ? QString(base).replace("://", "://bob:s3cret@") : base;
    const QString printed = login ? QString(base).replace("://", "://bob:***@") : base;
    writeFile(m_dir->filePath("list.txt"), (given + path + "\n").toUtf8());
    const Run r = fetch({"--list", m_dir->filePath("list.txt")});
    if (name.isEmpty()) {
        QCOMPARE(r.status, 1);
        QCOMPARE(r.lines.size(), 1);
        QVERIFY2(r.lines[0].startsWith("Failed\t" + printed + shown + "\t"), qPrintable(r.lines[0]));
    } else {
        QCOMPARE(r.status, 0);
        QCOMPARE(r.lines, QStringList{"Done\t" + printed + shown + "\t" + m_dir->filePath(name) + "\t5000"});
        QCOMPARE(readFile(m_dir->filePath(name)), kBody);
    }
    for (const QString &text : {r.lines.join('\n'), r.err}) {
        QVERIFY(!text.contains(QChar(0x1b)) && !text.contains(QChar(0x07)));
        QVERIFY(!text.contains("s3cret"));
    }
}

// A HAR file over 256 MiB is refused by its size, before a byte of it is read.
void TestFetch::harOverTheBound()
{
    QFile big(m_dir->filePath("big.har"));
    QVERIFY(big.open(QIODevice::WriteOnly));
    QVERIFY(big.resize((qint64(256) << 20) + 1)); // sparse: no room taken
    big.close();
    const Run r = fetch({"--har", big.fileName()});
    QCOMPARE(r.status, 2);
    QVERIFY(r.lines.isEmpty());
    QVERIFY2(r.err.startsWith("quorrel-fetch: " + big.fileName() + ": ") && r.err.contains("larger than 256 MiB"),
             qPrintable(r.err));
}

void TestFetch::listFormats_data()
{
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<QStringList>("categories");
    QTest::addColumn<QStringList>("addresses"); // given as arguments, before --list
    QTest::addColumn<QStringList>("fetched");   // file names, in order
    const QByteArray zywj = toGbk(QStringLiteral("02-音乐  URL/a.mp3\r\n√02-音乐  URL/b.mp3\r\n04-图片  URL/c.jpg\r\n"
                                                  "×02-音乐  URL/skipped.mp3\r\n"));
    QTest::newRow("resource list") << zywj << QStringList{} << QStringList{} << QStringList{"a.mp3", "b.mp3", "c.jpg"};
    QTest::newRow("resource list, one category on both sides") << zywj << QStringList{"02-音乐"} << QStringList{}
                                                               << QStringList{"a.mp3", "b.mp3"};
    QTest::newRow("a category named with its mark") << zywj << QStringList{"√04-图片"} << QStringList{}
                                                    << QStringList{"c.jpg"};
    QTest::newRow("addresses given with a category are taken")
        << zywj << QStringList{"02-音乐"} << QStringList{"URL/z.jpg"} << QStringList{"z.jpg", "a.mp3", "b.mp3"};
    const QByteArray scan = QStringLiteral("0\t取得资源\t+\t\t0\n1\t02-音乐\t+qd\t02\t2\n2\tURL/d.mp3\t02\tURL/d.mp3\t2\n"
                                           "1\t04-图片\t+qd\t04\t4\n2\tURL/e.jpg\t04\tURL/e.jpg\t4\n0\t已下载资源\t+xz\t\t0\n"
                                           "1\t√04-图片\t+xz\t04\t4\n2\tURL/f.jpg\t04\tURL/f.jpg\t4\n")
                                .toUtf8();
    QTest::newRow("scan output") << scan << QStringList{} << QStringList{} << QStringList{"d.mp3", "e.jpg", "f.jpg"};
    QTest::newRow("scan output, one category") << scan << QStringList{"04-图片"} << QStringList{}
                                               << QStringList{"e.jpg", "f.jpg"};
    QTest::newRow("plain and captioned addresses") << QByteArray("URL/g.mp3\nsong~URL/h.mp3\n\n") << QStringList{}
                                                   << QStringList{} << QStringList{"g.mp3", "h.mp3"};
}

void TestFetch::listFormats()
{
    QFETCH(QByteArray, list);
    QFETCH(QStringList, categories);
    QFETCH(QStringList, addresses);
    QFETCH(QStringList, fetched);
    list.replace("URL", m_server->url("/x").toLatin1());
    QStringList args{"--list", "-"};
    for (const QString &a : addresses)
        args << QString(a).replace("URL", m_server->url("/x"));
    for (const QString &c : categories)
        args << "--category" << c;
    const Run r = fetch(args, list);
    QCOMPARE(r.status, 0);
    QStringList names;
    for (const QString &line : r.lines)
        names << QFileInfo(line.split('\t').value(2)).fileName();
    QCOMPARE(names, fetched);
}

void TestFetch::badUsage_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("why");
    QTest::newRow("unknown option") << QStringList{"--frobnicate", "http://127.0.0.1:1/a"} << "frobnicate";
    QTest::newRow("unreadable list") << QStringList{"--list", "/nonexistent/list.txt"} << "/nonexistent/list.txt";
    QTest::newRow("no address") << QStringList{} << "no address";
    QTest::newRow("both resume options") << QStringList{"--resume", "--no-resume", "http://127.0.0.1:1/a"} << "exclude";
}

void TestFetch::badUsage()
{
    QFETCH(QStringList, args);
    QFETCH(QString, why);
    const Run r = fetch(args);
    QCOMPARE(r.status, 2);
    QVERIFY(r.lines.isEmpty());
    QVERIFY2(r.err.startsWith("quorrel-fetch: ") && r.err.contains(why) && r.err.count('\n') == 1, qPrintable(r.err));
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files), QStringList{}); // nothing fetched
}

void TestFetch::unreadableConfig_data()
{
    QTest::addColumn<bool>("folder"); // config.ini is a folder; otherwise a file nobody may read
    QTest::newRow("config.ini is a folder") << true;
    QTest::newRow("config.ini may not be read") << false;
}

// A config.ini that is there but cannot be read names no save folder: nothing is fetched
// into another one, as quorrel-scan does not run on defaults either.
void TestFetch::unreadableConfig()
{
    QFETCH(bool, folder);
    const QString config = m_dir->filePath("config.ini");
    if (folder) {
        QVERIFY(QDir(m_dir->path()).mkdir("config.ini"));
    } else {
        if (::geteuid() == 0)
            QSKIP("root reads every file");
        writeFile(config, "[XT]\r\nxzpath=/tmp\r\n");
        QVERIFY(::chmod(QFile::encodeName(config).constData(), 0) == 0);
    }
    const Run r = fetch({"--dir", m_dir->path(), m_server->url("/song.mp3")}, {}, false);
    QCOMPARE(r.status, 2);
    QVERIFY(r.lines.isEmpty());
    QVERIFY2(r.err == QStringLiteral("quorrel-fetch: 无法读取 ") + config + "\n", qPrintable(r.err));
    QVERIFY(!QFileInfo::exists(m_dir->filePath("home/Downloads/song.mp3")));
}

// The password question goes to the terminal, also when standard input carries the list.
void TestFetch::passwordAtTheTerminal()
{
    const QList<quint16> ports = quorrel::test::freePorts(1);
    QVERIFY(QDir(m_dir->path()).mkpath("ftp"));
    writeFile(m_dir->filePath("ftp/a.bin"), kBody);
    writeFile(m_dir->filePath("ftp.log"), {});
    quorrel::test::Peer ftp;
    QVERIFY(ftp.start(quorrel::test::python(),
                      {quorrel::test::kServers + "/ftp_server.py", "--port", QString::number(ports[0]), "--root",
                       m_dir->filePath("ftp"), "--user", "bob", "--password", "s3cret", "--log", m_dir->filePath("ftp.log")},
                      ports[0]));
    int master = -1, terminal = -1;
    QVERIFY(::openpty(&master, &terminal, nullptr, nullptr, nullptr) == 0);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    // The tool asks, and the user answers.
    QByteArray shown;
    QSocketNotifier asked(master, QSocketNotifier::Read);
    connect(&asked, &QSocketNotifier::activated, this, [&] {
        char buffer[256];
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n <= 0)
            return asked.setEnabled(false);
        shown += QByteArray(buffer, n);
        if (shown.endsWith(": ") && shown.contains("Password for bob at 127.0.0.1"))
            QVERIFY(::write(master, "s3cret\n", 7) == 7);
    });
    const QString address = QStringLiteral("ftp://bob@127.0.0.1:%1/a.bin").arg(ports[0]);
    const Run r = fetch({"--list", "-"}, address.toLatin1() + "\n", true, terminal);
    ::close(terminal);
    ::close(master);
    QCOMPARE(r.status, 0);
    QVERIFY2(shown.contains("Password for bob at 127.0.0.1: "), shown.constData());
    QVERIFY(!shown.contains("s3cret")); // not echoed
    QCOMPARE(r.lines, QStringList{QStringLiteral("Done\t%1\t%2\t5000").arg(address, m_dir->filePath("a.bin"))});
    QCOMPARE(readFile(m_dir->filePath("a.bin")), kBody);
}

// The 300 ms bound is the TCP connect's alone: a name that takes longer to resolve is
// fetched. The test runs the tool in a network of its own (root only), whose name server
// answers after 0.8 s.
void TestFetch::slowNameLookup()
{
    if (::geteuid() != 0)
        QSKIP("a network and a resolv.conf of the test's own need root");
    QVERIFY(QDir(m_dir->path()).mkpath("www"));
    writeFile(m_dir->filePath("www/song.mp3"), kBody);
    QProcess p;
    p.setChildProcessModifier([] { ::setsid(); });
    p.start("unshare", {"--net", "--mount", "--", quorrel::test::python(), quorrel::test::kServers + "/slow_names.py",
                        "--delay", "0.8", "--root", m_dir->filePath("www"), "--port", "8080", "--resolv",
                        m_dir->filePath("resolv.conf"), "--", QStringLiteral(QUORREL_BIN_DIR "/quorrel-fetch"),
                        "--save-path", m_dir->path(), "http://slow.quorrel.test:8080/song.mp3"});
    QVERIFY(p.waitForFinished(30000));
    const QByteArray err = p.readAllStandardError();
    if (p.exitCode() == 77 || (p.exitCode() != 0 && err.startsWith("unshare")))
        QSKIP(qPrintable("no network namespace here: " + QString::fromLocal8Bit(err)));
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    QVERIFY2(p.exitCode() == 0, qPrintable(out + QString::fromLocal8Bit(err)));
    QVERIFY2(out.startsWith("Done\thttp://slow.quorrel.test:8080/song.mp3\t"), qPrintable(out));
    QCOMPARE(readFile(m_dir->filePath("song.mp3")), kBody);
}

namespace {

// Types for --category: pages analysed, music, pictures.
void writeTypes(const QString &dir)
{
    writeFile(dir + "/config.ini", toGbk(QStringLiteral("[XT]\r\nfxwy=1\r\nmaxtype=3\r\n1=.htm;.html\r\n2=.mp3\r\n3=.jpg\r\n"
                                                        "lxmc=01-网页连接;02-音乐;03-图片;\r\n")));
}

const QByteArray kHere("\x7F\x00\x00\x01", 4); // 127.0.0.1

} // namespace

// quorrel-scan --har writes what it filed with the request headers; quorrel-fetch --har
// fetches it with them, where the same address without them is refused.
void TestFetch::harRoundTrip()
{
    writeTypes(m_dir->path());
    const QByteArray host = m_server->url("").mid(7).toLatin1();
    const QByteArray guarded = "GET /guarded/song.mp3 HTTP/1.1\r\nHost: " + host +
                               "\r\nUser-Agent: Mozilla/5.0 Test\r\nReferer: http://page.test/watch\r\n"
                               "Cookie: session=s3cret; theme=dark\r\n\r\n";
    const QByteArray plain = "GET /plain/b.jpg?x=1 HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
    writeFile(m_dir->filePath("web.pcap"), quorrel::test::rawCapture({{kHere, kHere, guarded}, {kHere, kHere, plain}}));

    const QString har = m_dir->filePath("found.har");
    QProcess scan;
    scan.start(QStringLiteral(QUORREL_BIN_DIR "/quorrel-scan"), {"--dir", m_dir->path(), "--har", har, m_dir->filePath("web.pcap")});
    QVERIFY(scan.waitForFinished(30000));
    QCOMPARE(scan.exitCode(), 0);
    QVERIFY(scan.readAllStandardOutput().contains("/guarded/song.mp3")); // the tree, as ever
    // It holds the captured cookies: its owner's alone.
    const QFileDevice::Permissions mode = QFile::permissions(har);
    QVERIFY(mode.testFlags(QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    QVERIFY(!(mode & (QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ReadOther | QFileDevice::WriteOther)));

    // HAR 1.2: every field it requires, an entry per filed request.
    const QJsonObject log = QJsonDocument::fromJson(readFile(har)).object().value("log").toObject();
    QCOMPARE(log.value("version").toString(), QStringLiteral("1.2"));
    QCOMPARE(log.value("creator").toObject().value("name").toString(), QStringLiteral("quorrel-scan"));
    const QJsonArray entries = log.value("entries").toArray();
    QCOMPARE(entries.size(), 2);
    for (const QJsonValue &e : entries) {
        const QJsonObject entry = e.toObject();
        for (const char *field : {"startedDateTime", "time", "request", "response", "cache", "timings"})
            QVERIFY2(entry.contains(field), field);
        QVERIFY(QDateTime::fromString(entry.value("startedDateTime").toString(), Qt::ISODateWithMs).isValid());
        const QJsonObject request = entry.value("request").toObject();
        for (const char *field : {"method", "url", "httpVersion", "cookies", "headers", "queryString", "headersSize", "bodySize"})
            QVERIFY2(request.contains(field), field);
        QCOMPARE(entry.value("response").toObject().value("status").toInt(-1), 0);
        for (const char *field : {"send", "wait", "receive"})
            QVERIFY2(entry.value("timings").toObject().contains(field), field);
    }
    const QJsonObject first = entries[0].toObject().value("request").toObject();
    QCOMPARE(first.value("url").toString(), m_server->url("/guarded/song.mp3"));
    QCOMPARE(first.value("httpVersion").toString(), QStringLiteral("HTTP/1.1"));
    QStringList headers;
    for (const QJsonValue &h : first.value("headers").toArray())
        headers << h.toObject().value("name").toString() + ": " + h.toObject().value("value").toString();
    QCOMPARE(headers, (QStringList{"Host: " + QString::fromLatin1(host), "User-Agent: Mozilla/5.0 Test",
                                    "Referer: http://page.test/watch", "Cookie: session=s3cret; theme=dark"}));
    QCOMPARE(first.value("cookies").toArray().size(), 2);
    QCOMPARE(entries[1].toObject().value("request").toObject().value("queryString").toArray().size(), 1);

    Run r = fetch({m_server->url("/guarded/song.mp3")});
    QCOMPARE(r.status, 1);
    QVERIFY2(r.lines.value(0).endsWith("\t" + kServerError.arg("HTTP 403 Forbidden")), qPrintable(r.lines.value(0)));
    r = fetch({"--har", har});
    QCOMPARE(r.status, 0);
    QCOMPARE(r.lines, (QStringList{QStringLiteral("Done\t%1\t%2\t5000").arg(m_server->url("/guarded/song.mp3"), m_dir->filePath("song.mp3")),
                                   QStringLiteral("Done\t%1\t%2\t5000").arg(m_server->url("/plain/b.jpg?x=1"), m_dir->filePath("b.jpg"))}));
    QCOMPARE(readFile(m_dir->filePath("song.mp3")), kBody);
}

// A HAR as a browser's developer tools export it: an HTTP/2 page's requests with their
// pseudo-headers and lower-case names, requests that are not GETs or not of this program's
// schemes, an address twice, the cookie in the cookies list alone.
void TestFetch::browserHar()
{
    writeTypes(m_dir->path());
    const QString authority = m_server->url("").mid(7);
    const auto request = [&](const QString &method, const QString &url, const QJsonArray &extra, const QJsonArray &cookies = {}) {
        QJsonArray headers{QJsonObject{{"name", ":authority"}, {"value", authority}},
                           QJsonObject{{"name", ":method"}, {"value", method}},
                           QJsonObject{{"name", ":path"}, {"value", url.mid(url.indexOf('/', 8))}},
                           QJsonObject{{"name", ":scheme"}, {"value", "http"}},
                           QJsonObject{{"name", "accept"}, {"value", "*/*"}},
                           QJsonObject{{"name", "accept-language"}, {"value", "en-US,en;q=0.9"}}};
        for (const QJsonValue &h : extra)
            headers.append(h);
        return QJsonObject{
            {"_initiator", QJsonObject{{"type", "parser"}}},
            {"_priority", "High"},
            {"_resourceType", "media"},
            {"cache", QJsonObject()},
            {"connection", "443"},
            {"pageref", "page_1"},
            {"request", QJsonObject{{"method", method}, {"url", url}, {"httpVersion", "http/2.0"}, {"headers", headers},
                                    {"queryString", QJsonArray()}, {"cookies", cookies}, {"headersSize", -1}, {"bodySize", 0}}},
            {"response", QJsonObject{{"status", 200}, {"statusText", ""}, {"httpVersion", "http/2.0"}, {"headers", QJsonArray()},
                                     {"cookies", QJsonArray()}, {"content", QJsonObject{{"size", 5000}, {"mimeType", "audio/mpeg"}}},
                                     {"redirectURL", ""}, {"headersSize", -1}, {"bodySize", -1}, {"_transferSize", 5100}}},
            {"serverIPAddress", "127.0.0.1"},
            {"startedDateTime", "2024-05-01T10:00:00.000Z"},
            {"time", 12.5},
            {"timings", QJsonObject{{"blocked", 1.2}, {"dns", -1}, {"ssl", -1}, {"connect", -1}, {"send", 0.1}, {"wait", 10.0},
                                    {"receive", 1.2}, {"_blocked_queueing", 0.8}}},
        };
    };
    const QJsonObject referer{{"name", "referer"}, {"value", "http://page.test/watch"}};
    const QJsonObject agent{{"name", "user-agent"}, {"value", "Mozilla/5.0 (X11; Linux x86_64) Chrome/120.0"}};
    const QJsonArray entries{
        request("GET", m_server->url("/guarded/c.mp3"), {referer, agent, QJsonObject{{"name", "cookie"}, {"value", "session=old"}}}),
        request("POST", m_server->url("/api/log.mp3"), {referer}),
        request("GET", "data:audio/mpeg;base64,AAAA.mp3", {}),
        request("GET", m_server->url("/x/page.html"), {referer}),
        request("GET", m_server->url("/guarded/d.mp3"), {referer, agent},
                QJsonArray{QJsonObject{{"name", "session"}, {"value", "s3cret"}}}),
        // The same address again, with the cookie renewed since.
        request("GET", m_server->url("/guarded/c.mp3"), {referer, agent, QJsonObject{{"name", "cookie"}, {"value", "session=s3cret"}}}),
    };
    const QJsonObject har{{"log", QJsonObject{{"version", "1.2"},
                                              {"creator", QJsonObject{{"name", "WebInspector"}, {"version", "537.36"}}},
                                              {"pages", QJsonArray{QJsonObject{{"id", "page_1"}, {"title", "watch"},
                                                                               {"startedDateTime", "2024-05-01T10:00:00.000Z"},
                                                                               {"pageTimings", QJsonObject()}}}},
                                              {"entries", entries}}}};
    writeFile(m_dir->filePath("chrome.har"), QJsonDocument(har).toJson());

    const Run r = fetch({"--dir", m_dir->path(), "--har", m_dir->filePath("chrome.har"), "--category", "02-音乐"});
    QCOMPARE(r.status, 0);
    QCOMPARE(r.lines, (QStringList{QStringLiteral("Done\t%1\t%2\t5000").arg(m_server->url("/guarded/c.mp3"), m_dir->filePath("c.mp3")),
                                   QStringLiteral("Done\t%1\t%2\t5000").arg(m_server->url("/guarded/d.mp3"), m_dir->filePath("d.mp3"))}));
    // Without --category every GET of the program's schemes is taken, the page too.
    const Run all = fetch({"--har", m_dir->filePath("chrome.har")});
    QCOMPARE(all.lines.size(), 3);
}

void TestFetch::malformedHar_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("reason");
    QTest::newRow("not JSON") << QByteArray("GET http://a.test/x.mp3\n") << "not a HAR file: illegal value at byte ";
    QTest::newRow("cut short") << QByteArray("{\"log\": {\"entries\": [") << "not a HAR file: ";
    QTest::newRow("a list") << QByteArray("[]") << "not a HAR file: the document is not an object";
    QTest::newRow("no log") << QByteArray("{\"entries\": []}") << "not a HAR file: no \"log\" object";
    QTest::newRow("entries not a list") << QByteArray("{\"log\": {\"entries\": {}}}") << "no \"log.entries\" list";
    QTest::newRow("an entry without request")
        << QByteArray("{\"log\": {\"entries\": [{\"request\": {\"method\": \"GET\", \"url\": \"http://a.test/a.mp3\"}}, {}]}}")
        << "entry 2: no \"request\" object";
    QTest::newRow("a url that is no text") << QByteArray("{\"log\": {\"entries\": [{\"request\": {\"method\": \"GET\", \"url\": 5}}]}}")
                                           << "entry 1: the request has no \"method\" or \"url\" text";
    QTest::newRow("headers not a list")
        << QByteArray("{\"log\": {\"entries\": [{\"request\": {\"method\": \"GET\", \"url\": \"http://a/b\", \"headers\": 1}}]}}")
        << "entry 1: \"headers\" is not a list";
}

// A file that is not a HAR is refused as a whole, with the reason, and nothing is fetched.
void TestFetch::malformedHar()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, reason);
    writeFile(m_dir->filePath("bad.har"), file.replace("http://a.test", m_server->url("").toLatin1()));
    const Run r = fetch({"--har", m_dir->filePath("bad.har"), m_server->url("/also.mp3")});
    QCOMPARE(r.status, 2);
    QVERIFY(r.lines.isEmpty());
    QVERIFY2(r.err.startsWith("quorrel-fetch: " + m_dir->filePath("bad.har") + ": ") && r.err.contains(reason), qPrintable(r.err));
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files), QStringList{"bad.har"});
}

QTEST_GUILESS_MAIN(TestFetch)
#include "test_fetch.moc"
