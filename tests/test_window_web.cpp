// The window against a real web server: nginx on 127.0.0.1, started here, serves pages and
// files behind a Referer, Cookie and User-Agent check, a redirect to another host, a
// playlist, a manifest and an archive, a slow file, and pages over TLS with a certificate
// nobody trusts. Resources come into the tree as the capture files them (a datagram with
// the browser's headers). The preview sends a resource's captured headers and names the
// page it shows, says what it cannot show, and logs why it failed; a saved setting keeps
// the captured headers for the download; a running download shows its share, size, speed
// and time left, a resumed one from where its bytes end.

#include "base/gbk_text.h"
#include "capture/datagram.h"
#include "downloads/scheduler.h"
#include "shell/mainform.h"
#include "shell/preview_pane.h"
#include "shell/resource_tree_view.h"
#include "settings/config_file.h"
#include "shell/settings_panel.h"

#include <QContextMenuEvent>
#include <QDirIterator>
#include <QTreeView>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QToolButton>
#include <QWebEngineProfile>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <QtTest>

#include "window_test_main.h"

#include "test_files.h"
#include "test_peers.h"

#include <unistd.h>

using namespace quorrel;
using namespace quorrel::test;

namespace {

const QByteArray kUserAgent = "QuorrelTest/1.0 (a captured browser)";
const QByteArray kCookie = "session=s3cret; theme=dark";

QByteArray page(const char *title)
{
    return QByteArray("<html><head><title>") + title + "</title></head><body>" + title + "</body></html>";
}

// A GET from 127.0.0.1 as the capture delivers it: IPv4, TCP, the request.
Datagram captured(const QByteArray &request, QByteArray &storage)
{
    storage = QByteArray("\x45\x00\x00\x00\x00\x00\x40\x00\x40\x06\x00\x00\x7f\x00\x00\x01\x7f\x00\x00\x01", 20);
    storage += QByteArray("\x9c\x40\x00\x50\x00\x00\x00\x01\x00\x00\x00\x01\x50\x18\x01\xf6\x00\x00\x00\x00", 20);
    storage += request;
    storage[2] = char(storage.size() >> 8);
    storage[3] = char(storage.size() & 0xFF);
    return DecodeDatagram(0x7F000001, Bytes(reinterpret_cast<const std::byte *>(storage.constData()), storage.size()));
}

} // namespace

class TestWindowWeb : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void previewSendsTheCapturedHeaders_data();
    void previewSendsTheCapturedHeaders();
    void previewCookieStaysWithItsHost();
    void previewFailureIsLogged_data();
    void previewFailureIsLogged();
    void previewNamesThePageShown();
    void previewSaysWhatItCannotShow_data();
    void previewSaysWhatItCannotShow();
    void previewKeepsNothingOnDisk();
    void savedSettingsKeepTheCapturedHeaders();
    void progressIsShown();
    void resumedGaugeStartsAtItsBytes();
    void stopAndRemoveTasks();
    void quitDuringADownload();

private:
    TMainform *open();
    // Files path into the tree as the capture does, with the headers given (none empty).
    TreeNode *capture(const QString &path, const QByteArray &referer = {}, const QByteArray &cookie = {},
                      const QByteArray &userAgent = {});
    void preview(TreeNode *node);
    void pressOn(TreeNode *node);
    QWebEngineView *browser() { return m_window->Panbrow->WebBrow1(); }
    QString url(const QString &path) const { return m_base + path; }
    // nginx's log lines for path since mark: "uri|referer|cookie|user agent|status".
    QStringList logged(const QString &path, qint64 mark) const;
    qint64 logMark() const { return QFileInfo(m_root.filePath("logs/access.log")).size(); }

    QTemporaryDir m_root;
    Peer m_nginx;
    QString m_base;
    quint16 m_port = 0, m_tlsPort = 0;
    QByteArray m_song, m_big;
    std::unique_ptr<QTemporaryDir> m_dir;
    TMainform *m_window = nullptr;
    QStringList m_messages;
};

void TestWindowWeb::initTestCase()
{
    QVERIFY(m_root.isValid());
    openToServerWorkers(m_root.path());
    const QString root = m_root.path();
    for (const char *folder : {"www/protected", "www/open", "www/hls", "www/dash", "www/files", "www/slow", "logs", "tmp", "site"})
        QVERIFY(QDir(root).mkpath(QString::fromLatin1(folder)));
    writeFile(root + "/www/protected/clip.htm", page("Protected clip"));
    writeFile(root + "/www/protected/bare.htm", page("Protected bare"));
    writeFile(root + "/www/open/page.htm", page("Open page"));
    writeFile(root + "/www/open/other.htm", page("Other page"));
    writeFile(root + "/www/open/same.htm", page("Same site"));
    writeFile(root + "/www/open/landing.htm", page("Landing"));
    writeFile(root + "/www/hls/master.m3u8", "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=100000\nv0/index.m3u8\n");
    writeFile(root + "/www/dash/manifest.mpd", "<?xml version=\"1.0\"?><MPD xmlns=\"urn:mpeg:dash:schema:mpd:2011\"/>");
    writeFile(root + "/www/files/archive.zip", QByteArray("PK\x03\x04", 4) + QByteArray(2000, '\0'));
    for (quint32 i = 0; i < 300 * 1024; ++i)
        m_song += char((i * 7919u) >> 3);
    writeFile(root + "/www/protected/song.mp3", m_song);
    for (quint32 i = 0; i < 3 * 1024 * 1024; ++i)
        m_big += char((i * 31u) ^ (i >> 9));
    writeFile(root + "/www/slow/big.bin", m_big);
    writeFile(root + "/www/slow/long.mp3", m_big);
    writeFile(root + "/www/slow/long2.mp3", m_big);

    // A certificate of the test's own, which nothing trusts.
    QProcess openssl;
    openssl.start("openssl", {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-subj",
                              "/CN=127.0.0.1", "-days", "1", "-keyout", root + "/site/key.pem", "-out", root + "/site/cert.pem"});
    QVERIFY(openssl.waitForFinished(30000) && openssl.exitCode() == 0);

    const QList<quint16> ports = freePorts(2);
    m_port = ports[0];
    m_tlsPort = ports[1];
    m_base = QStringLiteral("http://127.0.0.1:%1").arg(m_port);
    const QString conf = QStringLiteral(
        "daemon off;\n%1worker_processes 1;\npid %2/logs/nginx.pid;\nerror_log %2/logs/error.log;\n"
        "events { worker_connections 64; }\n"
        "http {\n"
        "  log_format q '$request_uri|$http_referer|$http_cookie|$http_user_agent|$status';\n"
        "  access_log %2/logs/access.log q;\n"
        "  client_body_temp_path %2/tmp/body;\n  proxy_temp_path %2/tmp/proxy;\n  fastcgi_temp_path %2/tmp/fastcgi;\n"
        "  uwsgi_temp_path %2/tmp/uwsgi;\n  scgi_temp_path %2/tmp/scgi;\n"
        "  types { text/html htm; audio/mpeg mp3; application/vnd.apple.mpegurl m3u8; application/dash+xml mpd;\n"
        "          application/zip zip; application/octet-stream bin; }\n"
        "  server {\n"
        "    listen 127.0.0.1:%3;\n"
        "    root %2/www;\n"
        // What a media site asks of a request: its page's site, its session, a browser.
        "    location /protected/ {\n"
        "      valid_referers page.test;\n"
        "      if ($invalid_referer) { return 403; }\n"
        "      if ($cookie_session != \"s3cret\") { return 403; }\n"
        "      if ($http_user_agent !~ \"^QuorrelTest/\") { return 403; }\n"
        "    }\n"
        "    location = /away/clip.htm { return 302 http://localhost:%3/open/landing.htm; }\n"
        "    location /slow/ { limit_rate 600k; }\n"
        "  }\n"
        "  server {\n"
        "    listen 127.0.0.1:%4 ssl;\n"
        "    ssl_certificate %2/site/cert.pem;\n    ssl_certificate_key %2/site/key.pem;\n"
        "    root %2/www;\n"
        "  }\n"
        "}\n")
                             .arg(::geteuid() == 0 ? QStringLiteral("user root;\n") : QString(), root)
                             .arg(m_port)
                             .arg(m_tlsPort);
    writeFile(root + "/nginx.conf", conf.toUtf8());
    QVERIFY(m_nginx.start("nginx", {"-c", root + "/nginx.conf", "-p", root, "-e", root + "/logs/error.log"}, m_port));
}

void TestWindowWeb::cleanupTestCase()
{
    m_nginx.stop();
}

void TestWindowWeb::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_messages.clear();
    QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("quorrel"), QStringLiteral("window")).clear();
}

void TestWindowWeb::cleanup()
{
    delete m_window;
    m_window = nullptr;
}

TMainform *TestWindowWeb::open()
{
    writeFile(m_dir->filePath("config.ini"),
              toGbk(QStringLiteral("[XT]\r\nxzpath=%1\r\nfxwy=1\r\nhlcs=1\r\nmaxtype=4\r\n1=.htm\r\n2=.mp3\r\n3=.m3u8;.mpd\r\n"
                                   "4=.zip\r\nlxmc=01-网页连接;02-音乐;03-视频流;04-压缩;\r\n")
                        .arg(m_dir->filePath("save"))));
    m_window = new TMainform(m_dir->path());
    m_window->setInform([this](const QString &text) { m_messages << text; });
    m_window->Timesys->stop(); // no capture: the test files what the capture would
    m_window->resize(1000, 700);
    m_window->show();
    return m_window;
}

TreeNode *TestWindowWeb::capture(const QString &path, const QByteArray &referer, const QByteArray &cookie,
                                 const QByteArray &userAgent)
{
    QByteArray request = "GET " + path.toLatin1() + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(m_port) + "\r\n";
    if (!referer.isEmpty())
        request += "Referer: " + referer + "\r\n";
    if (!cookie.isEmpty())
        request += "Cookie: " + cookie + "\r\n";
    if (!userAgent.isEmpty())
        request += "User-Agent: " + userAgent + "\r\n";
    QByteArray storage;
    m_window->cap_ip1Cap(captured(request + "\r\n", storage));
    m_window->fclstxzzy->expandFoundSide();
    return m_window->tree().FindByCaption(url(path));
}

void TestWindowWeb::preview(TreeNode *node)
{
    m_window->fclstxzzy->setCurrentIndex(m_window->tree().indexOf(node));
    m_window->N1->trigger();
}

void TestWindowWeb::pressOn(TreeNode *node)
{
    ResourceTreeView *view = m_window->fclstxzzy;
    const QModelIndex index = m_window->tree().indexOf(node);
    view->scrollTo(index);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(index).center());
}

QStringList TestWindowWeb::logged(const QString &path, qint64 mark) const
{
    QFile log(m_root.filePath("logs/access.log"));
    if (!log.open(QIODevice::ReadOnly) || !log.seek(mark))
        return {};
    QStringList lines;
    for (const QByteArray &line : log.readAll().split('\n'))
        if (line.startsWith(path.toLatin1() + '|'))
            lines << QString::fromLatin1(line);
    return lines;
}

void TestWindowWeb::previewSendsTheCapturedHeaders_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("referer");  // captured
    QTest::addColumn<bool>("withHeaders");    // the Cookie and User-Agent captured too
    QTest::addColumn<QString>("title");       // of the page shown
    QTest::addColumn<QString>("sent");        // the Referer nginx got, "-" for none
    QTest::newRow("another site's page: its origin")
        << "/protected/clip.htm" << QByteArray("http://page.test/watch?v=1#t=10") << true << "Protected clip" << "http://page.test/";
    QTest::newRow("the same site's page: whole, without its fragment")
        << "/open/same.htm" << QByteArray("SAME/watch?v=1#t=10") << true << "Same site" << "SAME/watch?v=1";
    QTest::newRow("an https page, to http: nothing")
        << "/open/other.htm" << QByteArray("https://page.test/watch") << true << "Other page" << "-";
    QTest::newRow("captured without headers: refused") << "/protected/bare.htm" << QByteArray() << false << "403 Forbidden" << "-";
}

// A protected resource, freshly captured, shows in the preview: the requests for its
// address carry the captured Cookie and User-Agent, and the Referer as the browser engine
// lets it go (its policy cancels a request with more).
void TestWindowWeb::previewSendsTheCapturedHeaders()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, referer);
    QFETCH(bool, withHeaders);
    QFETCH(QString, title);
    QFETCH(QString, sent);
    referer.replace("SAME", m_base.toLatin1());
    sent.replace("SAME", m_base);
    open();
    TreeNode *node = capture(path, referer, withHeaders ? kCookie : QByteArray(), withHeaders ? kUserAgent : QByteArray());
    QVERIFY(node);
    QCOMPARE(node->headers() != nullptr, withHeaders || !referer.isEmpty());
    const qint64 mark = logMark();
    preview(node);
    QTRY_COMPARE_WITH_TIMEOUT(browser()->title(), title, 20000);
    QCOMPARE(m_window->Panbrow->Laburl->text(), node->Link());
    QTRY_VERIFY_WITH_TIMEOUT(!logged(path, mark).isEmpty(), 5000);
    const QStringList fields = logged(path, mark).first().split('|');
    QCOMPARE(fields.value(1), sent);
    if (withHeaders) {
        QCOMPARE(fields.value(2), QString::fromLatin1(kCookie));
        QCOMPARE(fields.value(3), QString::fromLatin1(kUserAgent));
        QCOMPARE(fields.value(4), QStringLiteral("200"));
    } else {
        QVERIFY(!fields.value(3).startsWith("QuorrelTest"));
        QCOMPARE(fields.value(4), QStringLiteral("403"));
        // The preview failed, and the log says why.
        QTRY_VERIFY(m_window->redit1->toPlainText().contains(kPreviewFailed.arg(url(path), QStringLiteral("服务器返回错误：HTTP 403"))));
    }
}

// The captured Cookie goes to its host alone: a redirect to another host does not carry it;
// and the address field names the page the redirect led to.
void TestWindowWeb::previewCookieStaysWithItsHost()
{
    open();
    TreeNode *node = capture("/away/clip.htm", "http://page.test/watch", kCookie, kUserAgent);
    QVERIFY(node);
    const qint64 mark = logMark();
    preview(node);
    QTRY_COMPARE_WITH_TIMEOUT(browser()->title(), QStringLiteral("Landing"), 20000);
    QTRY_VERIFY_WITH_TIMEOUT(!logged("/open/landing.htm", mark).isEmpty(), 5000);
    const QStringList away = logged("/away/clip.htm", mark).first().split('|');
    QCOMPARE(away.value(2), QString::fromLatin1(kCookie));
    const QStringList landing = logged("/open/landing.htm", mark).first().split('|');
    QCOMPARE(landing.value(2), QStringLiteral("-"));
    QTRY_COMPARE(m_window->Panbrow->Laburl->text(), QStringLiteral("http://localhost:%1/open/landing.htm").arg(m_port));
}

void TestWindowWeb::previewFailureIsLogged_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("reason"); // how the log's line goes on
    QTest::newRow("refused") << QStringLiteral("http://127.0.0.1:%1/open/page.htm").arg(freePorts(1)[0])
                             << QStringLiteral("无法连接到服务器：net::ERR_CONNECTION_REFUSED");
    QTest::newRow("a certificate nobody trusts") << QStringLiteral("https://127.0.0.1:TLS/open/page.htm")
                                                 << QStringLiteral("服务器的证书未通过验证：");
    QTest::newRow("a missing page") << QStringLiteral("BASE/open/missing.htm") << QStringLiteral("服务器返回错误：HTTP 404");
}

void TestWindowWeb::previewFailureIsLogged()
{
    QFETCH(QString, address);
    QFETCH(QString, reason);
    address.replace("TLS", QString::number(m_tlsPort)).replace("BASE", m_base);
    open();
    m_window->catalogue().ClassifyLink(nullptr, FileMode::Found, address);
    m_window->fclstxzzy->expandFoundSide();
    TreeNode *node = m_window->tree().FindByCaption(address);
    QVERIFY(node);
    preview(node);
    QTRY_VERIFY_WITH_TIMEOUT(m_window->redit1->toPlainText().contains(kPreviewFailed.arg(address, reason)), 20000);
    qInfo("%s", qPrintable(m_window->redit1->toPlainText().split('\n').filter(QStringLiteral("预览失败")).first()));
    QCOMPARE(m_window->redit1->toPlainText().count(QStringLiteral("预览失败")), 1);
}

// With the pane open, whichever way a resource is chosen, the address field names it.
void TestWindowWeb::previewNamesThePageShown()
{
    open();
    TreeNode *first = capture("/open/page.htm");
    TreeNode *second = capture("/open/other.htm");
    preview(first);
    QTRY_COMPARE_WITH_TIMEOUT(browser()->title(), QStringLiteral("Open page"), 20000);
    QCOMPARE(m_window->Panbrow->Laburl->text(), first->Link());
    pressOn(second); // a press shows the address trimmed
    QTRY_COMPARE_WITH_TIMEOUT(browser()->title(), QStringLiteral("Other page"), 20000);
    QCOMPARE(m_window->Panbrow->Laburl->text(), second->Link().trimmed());
    pressOn(first);
    QTRY_COMPARE_WITH_TIMEOUT(browser()->title(), QStringLiteral("Open page"), 20000);
    QCOMPARE(m_window->Panbrow->Laburl->text(), first->Link().trimmed());
    // A category shows its type number, which is no resource: the browser's failure to find
    // it is not logged.
    pressOn(first->parent());
    QCOMPARE(m_window->Panbrow->Laburl->text(), first->parent()->Link().trimmed());
    QTRY_VERIFY_WITH_TIMEOUT(browser()->url().host() != QLatin1String("127.0.0.1"), 5000);
    QTest::qWait(2000);
    QVERIFY2(!m_window->redit1->toPlainText().contains(QStringLiteral("预览失败")), qPrintable(m_window->redit1->toPlainText()));
}

void TestWindowWeb::previewSaysWhatItCannotShow_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("says");
    QTest::newRow("an HLS playlist") << "/hls/master.m3u8" << kCannotPreviewStream;
    QTest::newRow("a DASH manifest") << "/dash/manifest.mpd" << kCannotPreviewStream;
    QTest::newRow("an archive") << "/files/archive.zip" << kCannotPreviewType.arg("application/zip");
}

// A resource the browser cannot show replaces the page shown before with the pane's word
// that it cannot, under its own address.
void TestWindowWeb::previewSaysWhatItCannotShow()
{
    QFETCH(QString, path);
    QFETCH(QString, says);
    open();
    TreeNode *before = capture("/open/page.htm");
    TreeNode *node = capture(path);
    QVERIFY(node);
    preview(before);
    QTRY_COMPARE_WITH_TIMEOUT(browser()->title(), QStringLiteral("Open page"), 20000);
    pressOn(node);
    QTRY_COMPARE_WITH_TIMEOUT(browser()->title(), kCannotPreviewTitle, 20000);
    QCOMPARE(m_window->Panbrow->Laburl->text(), node->Link().trimmed());
    QString text;
    browser()->page()->toPlainText([&text](const QString &t) { text = t; });
    QTRY_VERIFY(!text.isEmpty());
    QVERIFY2(text.contains(says) && text.contains(url(path)), qPrintable(text));
    QVERIFY(!m_window->redit1->toPlainText().contains(QStringLiteral("预览失败")));
}

// The preview's profile is off the record: neither the captured cookie nor anything the
// server set is written under the user's folders.
void TestWindowWeb::previewKeepsNothingOnDisk()
{
    open();
    TreeNode *node = capture("/protected/clip.htm", "http://page.test/watch", kCookie, kUserAgent);
    preview(node);
    QTRY_COMPARE_WITH_TIMEOUT(browser()->title(), QStringLiteral("Protected clip"), 20000);
    QVERIFY(m_window->Panbrow->profile()->isOffTheRecord());
    delete m_window;
    m_window = nullptr;
    for (const char *folder : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"}) {
        QDirIterator it(qEnvironmentVariable(folder), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            QFile file(it.next());
            QVERIFY2(!file.open(QIODevice::ReadOnly) || !file.readAll().contains("s3cret"), qPrintable(file.fileName()));
        }
    }
    QDirIterator it(m_dir->path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        QVERIFY2(!file.open(QIODevice::ReadOnly) || !file.readAll().contains("s3cret"), qPrintable(file.fileName()));
    }
}

// "保存" in the settings panel rebuilds the tree from the list, which holds no headers: the
// resource keeps those captured in this run, and its download passes the server's checks.
void TestWindowWeb::savedSettingsKeepTheCapturedHeaders()
{
    open();
    TreeNode *node = capture("/protected/song.mp3", "http://page.test/watch", kCookie, kUserAgent);
    QVERIFY(node && node->headers());
    m_window->RzToolButton2->trigger();
    QVERIFY(m_window->panxtsz->isVisible());
    m_window->panxtsz->btnbcsz->click(); // "保存", nothing changed
    QVERIFY2(!m_messages.filter(kSettingsSavedMessage).isEmpty(), qPrintable(m_messages.join('\n')));
    m_window->panxtsz->RzToolButton3->click();
    node = m_window->tree().FindByCaption(url("/protected/song.mp3"));
    QVERIFY(node);
    m_window->tree().cycleCheckBox(node);
    const qint64 mark = logMark();
    m_window->RzToolButton8->trigger(); // "下载"
    QCOMPARE(m_window->tasks.count(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(m_window->tasks.count(), 0, 20000); // ended, and the list emptied
    QCOMPARE(readFile(m_dir->filePath("save/song.mp3")), m_song);
    QCOMPARE(m_window->tree().FindByCaption(url("/protected/song.mp3"))->parent()->caption(), QStringLiteral("√02-音乐"));
    const QStringList fields = logged("/protected/song.mp3", mark).value(0).split('|');
    QCOMPARE(fields.value(4), QStringLiteral("200"));
    QCOMPARE(fields.value(2), QString::fromLatin1(kCookie));
    QVERIFY(!m_window->redit1->toPlainText().contains(QStringLiteral("下载任务失败")));
}

// While a task runs, the gauge shows its share and the status bar its size, speed and time
// left; once it has ended, the status bar's figures go.
void TestWindowWeb::progressIsShown()
{
    open();
    QStringList shares, figures;
    connect(m_window->Gag1, &QProgressBar::valueChanged, this, [&] {
        if (m_window->Gag1->isTextVisible())
            shares << m_window->Gag1->text();
        figures << m_window->stat1[1]->text();
    });
    m_window->tasks.AddTask(url("/slow/big.bin"), "big.bin", m_dir->filePath("save"));
    QTRY_COMPARE_WITH_TIMEOUT(m_window->tasks.count(), 0, 30000); // ended, and the list emptied
    QCOMPARE(readFile(m_dir->filePath("save/big.bin")), m_big);
    QVERIFY(!shares.isEmpty());
    QVERIFY2(shares.filter(QRegularExpression("^[1-9][0-9]?%$")).size() > 2, qPrintable(shares.join(' ')));
    QCOMPARE(shares.last(), QStringLiteral("100%"));
    // "1.2 MB / 3.0 MB  600.0 KB/秒  剩余 0:03", once the speed is known.
    const QStringList measured = figures.filter(QRegularExpression("^[0-9.]+ [KM]?B / 3\\.0 MB  [0-9]+ KB/秒  剩余 0:0[0-9]$"));
    QVERIFY2(!measured.isEmpty(), qPrintable(figures.join('\n')));
    const int width = m_window->stat1[1]->fontMetrics().horizontalAdvance(measured.first());
    QVERIFY2(width <= m_window->stat1[1]->contentsRect().width(), qPrintable(QStringLiteral("%1: %2 px").arg(measured.first()).arg(width)));
    QVERIFY(m_window->stat1[1]->text().isEmpty());
}

// A resumed task's gauge starts where its bytes end, and never goes back.
void TestWindowWeb::resumedGaugeStartsAtItsBytes()
{
    open();
    QVERIFY(QDir().mkpath(m_dir->filePath("save")));
    writeFile(m_dir->filePath("save/big.bin.part"), m_big.left(2 * 1024 * 1024)); // a download of its own, stopped
    m_window->setResumeAnswer([](const QString &) { return SchedulerHost::Resume::Yes; });
    QList<int> values;
    connect(m_window->Gag1, &QProgressBar::valueChanged, this, [&](int v) {
        if (m_window->Gag1->maximum() > 0 && v >= 0) // -1: reset, showing nothing
            values << v * 100 / m_window->Gag1->maximum();
    });
    m_window->tasks.AddTask(url("/slow/big.bin"), "big.bin", m_dir->filePath("save"));
    QTRY_COMPARE_WITH_TIMEOUT(m_window->tasks.count(), 0, 30000); // ended, and the list emptied
    QCOMPARE(readFile(m_dir->filePath("save/big.bin")), m_big);
    QVERIFY(!values.isEmpty());
    QVERIFY2(*std::min_element(values.cbegin(), values.cend()) >= 66, qPrintable(QString::number(values.first())));
    QCOMPARE(values.last(), 100);
}

// The task list's menu, from the keyboard: the running task stopped (its bytes kept under the
// partial name, nothing under the final one), a waiting task removed (its resource back in
// the tree), and the scheduler going on with the next; the stopped task resumed later to an
// identical file.
void TestWindowWeb::stopAndRemoveTasks()
{
    open();
    const QString save = m_dir->filePath("save");
    TaskList &tasks = m_window->tasks;
    QTreeView *list = m_window->lstxzrw;
    tasks.AddTask(url("/slow/big.bin"), "big.bin", save);
    TreeNode *zip = capture("/files/archive.zip");
    QVERIFY(zip);
    m_window->tree().cycleCheckBox(zip);
    m_window->N20->trigger(); // the archive, out of the tree into the list
    QVERIFY(!m_window->tree().FindByCaption(url("/files/archive.zip")));
    tasks.AddTask(url("/open/page.htm"), "page.htm", save);
    QCOMPARE(tasks.count(), 3);
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(save + "/big.bin.part").size() > 0, 15000);

    // The menu key opens the menu on the current row: stop for the running one.
    list->setFocus();
    list->setCurrentIndex(tasks.index(0, 0));
    QStringList offered;
    QTimer::singleShot(300, this, [&] {
        if (QWidget *menu = QApplication::activePopupWidget()) {
            for (QAction *a : menu->actions())
                if (a->isEnabled())
                    offered << a->text();
            menu->close();
        }
    });
    const QPoint at = list->visualRect(list->currentIndex()).center();
    QContextMenuEvent key(QContextMenuEvent::Keyboard, at, list->viewport()->mapToGlobal(at));
    QApplication::sendEvent(list->viewport(), &key);
    QCOMPARE(offered, QStringList{QStringLiteral("停止任务")});

    // Delete on the waiting archive: out of the list, back in the tree.
    list->setCurrentIndex(tasks.index(1, 0));
    QVERIFY(m_window->removeTaskAction->isEnabled() && !m_window->stopTaskAction->isEnabled());
    QTest::keyClick(list, Qt::Key_Delete);
    QCOMPARE(tasks.count(), 2);
    QVERIFY(m_window->tree().FindByCaption(url("/files/archive.zip")));
    QCOMPARE(tasks.task(0).state, TaskState::Running); // the download goes on meanwhile

    list->setCurrentIndex(tasks.index(0, 0));
    m_window->stopTaskAction->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(tasks.task(0).state, TaskState::Failed, 5000);
    const qint64 kept = QFileInfo(save + "/big.bin.part").size();
    QVERIFY2(kept > 0 && kept < m_big.size(), qPrintable(QString::number(kept)));
    QVERIFY(!QFileInfo::exists(save + "/big.bin"));
    QVERIFY2(m_window->redit1->toPlainText().contains(kTaskStopped() + save + "/big.bin"), qPrintable(m_window->redit1->toPlainText()));
    // The scheduler goes on with the next task.
    QTRY_COMPARE_WITH_TIMEOUT(tasks.count(), 0, 15000);
    QCOMPARE(readFile(save + "/page.htm"), page("Open page"));

    // Later: resumed from the bytes kept, to the very file served.
    QStringList asked;
    m_window->setResumeAnswer([&](const QString &q) {
        asked << q;
        return SchedulerHost::Resume::Yes;
    });
    tasks.AddTask(url("/slow/big.bin"), "big.bin", save);
    QTRY_COMPARE_WITH_TIMEOUT(tasks.count(), 0, 30000);
    QCOMPARE(asked.size(), 1);
    QCOMPARE(readFile(save + "/big.bin"), m_big);
    QVERIFY(!QFileInfo::exists(save + "/big.bin.part"));
}

// "退出" while a task runs asks first; leaving, the running download stops keeping its bytes,
// and every unfinished task is back in the tree and in zywj.txt.
void TestWindowWeb::quitDuringADownload()
{
    open();
    const QString save = m_dir->filePath("save");
    int asked = 0;
    bool leave = false;
    m_window->setQuitAnswer([&] {
        ++asked;
        return leave;
    });
    // Taken from the bottom up: the archive, then one song running while the other waits.
    const QStringList paths{"/slow/long.mp3", "/slow/long2.mp3", "/files/archive.zip"};
    for (const QString &path : paths)
        m_window->tree().cycleCheckBox(capture(path));
    m_window->N20->trigger();
    QCOMPARE(m_window->tasks.count(), 3);
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(save + "/long2.mp3.part").size() > 0, 15000);
    m_window->btntc->trigger(); // "No": the window stays, the download goes on
    QCOMPARE(asked, 1);
    QVERIFY(m_window->isVisible());
    QCOMPARE(m_window->tasks.task(1).state, TaskState::Running);
    QCOMPARE(m_window->tasks.task(2).state, TaskState::Waiting);
    leave = true;
    m_window->btntc->trigger();
    QCOMPARE(asked, 2);
    QVERIFY(!m_window->isVisible());
    const qint64 kept = QFileInfo(save + "/long2.mp3.part").size();
    QVERIFY2(kept > 0 && kept < m_big.size(), qPrintable(QString::number(kept)));
    QVERIFY(!QFileInfo::exists(save + "/long2.mp3"));
    // Both songs back under their category, in the tree and in the list on disk.
    const QByteArray list = readFile(m_dir->filePath("zywj.txt"));
    for (const QString &path : paths.first(2)) {
        QVERIFY2(list.contains(toGbk(QStringLiteral("02-音乐  ")) + url(path).toLatin1()), list.constData());
        QCOMPARE(m_window->tree().FindByCaption(url(path))->parent()->caption(), QStringLiteral("02-音乐"));
    }
    // Nothing is asked when nothing runs.
    delete m_window;
    m_window = nullptr;
    QCOMPARE(asked, 2);
}

int main(int argc, char *argv[])
{
    // The user's folders of the test's own: nothing of the browser engine's goes to the real home.
    QTemporaryDir home;
    for (const char *folder : {"HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"}) {
        const QString path = home.filePath(QString::fromLatin1(folder));
        QDir().mkpath(path);
        qputenv(folder, path.toLocal8Bit());
    }
    return quorrel::test::runWindowTest<TestWindowWeb>(argc, argv);
}

#include "test_window_web.moc"
