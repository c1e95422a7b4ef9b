// The window, driven as a user drives it: the first start, monitoring control and its
// texts, a capture event, the tree's mouse and menu commands, the check box, the settings
// panel, the preview of a page served here on 127.0.0.1, the links and the shutdown.

#include "base/gbk_text.h"
#include "intake/capture_road.h"
#include "catalogue/tree_commands.h"
#include "downloads/transfer_reasons.h"
#include "shell/mainform.h"
#include "shell/monitoring_captions.h"
#include "shell/preview_layout.h"
#include "shell/preview_pane.h"
#include "shell/promo_strip.h"
#include "shell/rename_panel.h"
#include "shell/resource_tree_view.h"
#include "shell/settings_panel.h"
#include "shell/single_window.h"

#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QLineEdit>
#include <QMenu>
#include <QTabWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QToolButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTreeView>
#include <QWebEngineView>
#include <QTcpServer>
#include <QtTest>

#include "window_test_main.h"

#include "test_files.h"
#include "test_http_server.h"

#include <sys/stat.h>
#include <unistd.h>

using namespace quorrel;
using quorrel::test::readFile;
using quorrel::test::writeFile;

namespace {

QByteArray config()
{
    return toGbk(QStringLiteral("[XT]\r\nxzpath=/tmp/q\r\nfxwy=1\r\nmaxtype=3\r\n1=.htm\r\n2=.mp3\r\n3=.jpg\r\n"
                                "lxmc=01-网页连接;02-音乐;03-图片;\r\n"));
}

// One HTTP GET from 127.0.0.1, as the capture delivers it: IPv4, TCP, the request.
QByteArray getDatagram(const QByteArray &request)
{
    QByteArray d("\x45\x00\x00\x00\x00\x00\x40\x00\x40\x06\x00\x00\x7f\x00\x00\x01\x7f\x00\x00\x01", 20);
    d += QByteArray("\x9c\x40\x00\x50\x00\x00\x00\x01\x00\x00\x00\x01\x50\x18\x01\xf6\x00\x00\x00\x00", 20);
    d += request;
    d[2] = char(d.size() >> 8);
    d[3] = char(d.size() & 0xFF);
    return d;
}

// A TCP segment between two ports of 127.0.0.1, as the capture delivers it.
QByteArray tcpDatagram(quint16 from, quint16 to, quint32 seq, const QByteArray &payload)
{
    QByteArray d = getDatagram(payload);
    d[20] = char(from >> 8);
    d[21] = char(from);
    d[22] = char(to >> 8);
    d[23] = char(to);
    for (int i = 0; i < 4; ++i)
        d[24 + i] = char(seq >> (24 - 8 * i));
    return d;
}

// The two hellos of a TLS 1.2 session at that cipher suite: a ClientHello without
// extensions, and the server's answer.
QPair<QByteArray, QByteArray> tls12Hellos(quint16 suite)
{
    const auto record = [](char type, const QByteArray &body) {
        const QByteArray message = QByteArray(1, type) + char(0) + char(body.size() >> 8) + char(body.size()) + body;
        return QByteArray("\x16\x03\x03", 3) + char(message.size() >> 8) + char(message.size()) + message;
    };
    const QByteArray code = QByteArray(1, char(suite >> 8)) + char(suite);
    const QByteArray client = QByteArray("\x03\x03", 2) + QByteArray(32, '\x11') + QByteArray("\x00\x00\x02", 3) + code
        + QByteArray("\x01\x00", 2);
    const QByteArray server = QByteArray("\x03\x03", 2) + QByteArray(32, '\x22') + QByteArray(1, '\0') + code + QByteArray(1, '\0');
    return {record(1, client), record(2, server)};
}

const QByteArray kPage = "<html><head><title>Quorrel test page</title></head><body>hi</body></html>";

// A page of the test's own, whatever the path.
class PageServer : public quorrel::test::HttpServer {
public:
    PageServer() : HttpServer([](const QByteArray &) { return reply("200 OK", kPage, "Content-Type: text/html\r\n"); }) {}
    QString url(const QString &path) const { return HttpServer::url(path); }
};

bool opened = false;
bool fakeOpen(const QUrl &)
{
    opened = true;
    return true;
}

std::vector<LocalAddress> loopbackOnly()
{
    return {{QStringLiteral("lo"), IpAddress::v4(0x7F000001), QStringLiteral("127.0.0.1")}};
}

} // namespace

class TestWindow : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void firstStart();
    void monitoringTexts();
    void stopLastsUntilStart();
    void failedStartIsTriedAgain();
    void helperChangedSinceTheStart();
    void previewGeometry();
    void captureEventFilesResource();
    void answersDuringABurst_data();
    void answersDuringABurst();
    void lostDatagramsAreLogged();
    void helperCannotRun();
    void treeCommandsWithTheMouse();
    void checkBoxCycle();
    void settingsRoundTrip();
    void settingsPanelErrors();
    void preview();
    void links();
    void downloadSelection();
    void renameTableTakesTheOpenEdit();
    void aria2RefusedGoesBack();
    void downloadsRunOneAtATime();
    void saveFolderAndBoxes_data();
    void saveFolderAndBoxes();
    void failedTaskGoesBack();
    void shutdownWritesTheList();
    void typeGridDeletesTheSelectedRow();
    void typedDownloadModeAddsNoEntry();
    void saveTakesTheOpenEdit_data();
    void saveTakesTheOpenEdit();
    void exitStaysOpenWhenTheListCannotBeSaved();
    void keyboardMenuActsOnTheFocusedNode();
    void linesNotFiledAreKeptAndLogged();
    void listSurvivesAKill();
    void keyLogRefusedIsLogged();
    void tlsSuitesNotReadAreLogged();

private:
    TMainform *open(bool withConfig = true);
    TMainform *openSavingTo(const QString &savePath);
    int count(const QString &caption);
    TreeNode *add(const QString &address);
    void pressOn(TreeNode *node, Qt::MouseButton button = Qt::LeftButton);
    SettingsPanel *openTypeGrid(const QByteArray &names);
    QStringList gridNames() const;

    std::unique_ptr<QTemporaryDir> m_dir;
    TMainform *m_window = nullptr;
    QStringList m_messages;
};

void TestWindow::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_messages.clear();
    // Every case opens the window at its first size.
    QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("quorrel"), QStringLiteral("window")).clear();
}

void TestWindow::cleanup()
{
    delete m_window;
    m_window = nullptr;
}

TMainform *TestWindow::open(bool withConfig)
{
    if (withConfig)
        writeFile(m_dir->filePath("config.ini"), config());
    m_window = new TMainform(m_dir->path());
    m_window->setInform([this](const QString &text) { m_messages << text; });
    m_window->cap_ip1->setHelperPath(QStringLiteral(QUORREL_BIN_DIR "/quorrel-capture"));
    m_window->show();
    return m_window;
}

// A window whose config.ini names savePath as the save folder.
TMainform *TestWindow::openSavingTo(const QString &savePath)
{
    writeFile(m_dir->filePath("config.ini"),
              toGbk(QStringLiteral("[XT]\r\nxzpath=%1\r\nfxwy=1\r\nmaxtype=3\r\n1=.htm\r\n2=.mp3\r\n3=.jpg\r\n"
                                   "lxmc=01-网页连接;02-音乐;03-图片;\r\n")
                        .arg(savePath)));
    return open(false);
}

// How many nodes of the whole tree have this caption.
int TestWindow::count(const QString &caption)
{
    int n = 0;
    m_window->tree().forEachPreOrder([&](TreeNode *node, int) { n += node->caption() == caption; });
    return n;
}

TreeNode *TestWindow::add(const QString &address)
{
    m_window->catalogue().ClassifyLink(nullptr, FileMode::Found, address);
    TreeNode *node = m_window->tree().FindByCaption(address);
    m_window->fclstxzzy->expandFoundSide();
    return node;
}

void TestWindow::pressOn(TreeNode *node, Qt::MouseButton button)
{
    ResourceTreeView *view = m_window->fclstxzzy;
    const QModelIndex index = m_window->tree().indexOf(node);
    view->scrollTo(index);
    QTest::mouseClick(view->viewport(), button, {}, view->visualRect(index).center());
}

void TestWindow::firstStart()
{
    TMainform *w = open(false); // neither config.ini nor zywj.txt
    QCOMPARE(w->windowTitle(), QStringLiteral("QuorrelV1.0.1"));
    QCOMPARE(w->size(), QSize(768, 594));
    QCOMPARE(w->tree().count(), 2);
    QCOMPARE(w->tree().topLevel(0)->caption(), QStringLiteral("取得资源"));
    QCOMPARE(w->tree().topLevel(1)->caption(), QStringLiteral("已下载资源"));
    QCOMPARE(w->tasks.count(), 0);
    QCOMPARE(w->lstxzrw->model()->headerData(0, Qt::Horizontal).toString(), QStringLiteral("状态     文件地址/文件名"));
    QVERIFY(w->btnks->isVisible());
    QVERIFY(!w->PreviewOpen);
    QVERIFY(w->Panbrow->isHidden() && w->Gag1->isHidden() && w->panxtsz->isHidden());
    // Monitoring starts by itself at the first tick, about a second later.
    QTRY_VERIFY_WITH_TIMEOUT(!w->btnks->isVisible(), 3000);
    QCOMPARE(w->stat1[2]->text(), kListening);
    QTRY_COMPARE_WITH_TIMEOUT(w->stat1[0]->text(), kDownloadPrompt, 3000);
    QCOMPARE(w->stat1[1]->text(), QString()); // never used
    QVERIFY(m_messages.isEmpty());
}

void TestWindow::monitoringTexts()
{
    TMainform *w = open();
    w->Timesys->stop(); // the test presses the buttons itself
    w->btnztClick();    // before the first start: nothing to pause
    QVERIFY(!w->cap_ip1->FPaused());
    QCOMPARE(w->btnzt->text(), kPauseCaption);
    QCOMPARE(w->stat1[2]->text(), kListeningContinued);

    w->TimesysTimer(); // presses Start
    QCOMPARE(w->stat1[0]->text(), kStartPrompt);
    QVERIFY(!w->btnks->isVisible());
    QCOMPARE(w->stat1[2]->text(), kListening);
    w->btnztClick();
    QCOMPARE(w->btnzt->text(), kContinueCaption);
    QCOMPARE(w->stat1[2]->text(), kListeningPaused);

    w->btntzClick(); // Stop shows Start and says that listening stopped
    QVERIFY(w->btnks->isVisible());
    QCOMPARE(w->stat1[2]->text(), QStringLiteral("停止监听"));
    w->btntzClick();
    QVERIFY(w->btnks->isVisible());
    w->TimesysTimer(); // no start by itself: the user stopped
    w->TimesysTimer();
    QVERIFY(w->btnks->isVisible());
    QCOMPARE(w->stat1[0]->text(), kStartPrompt);
    QCOMPARE(w->stat1[2]->text(), QStringLiteral("停止监听"));
    w->btnksClick(); // the user's start
    QVERIFY(!w->btnks->isVisible());
    QCOMPARE(w->stat1[2]->text(), kListening);
    QCOMPARE(w->btnzt->text(), kContinueCaption);
    QVERIFY(w->cap_ip1->FPaused()); // still paused
    w->TimesysTimer();
    QCOMPARE(w->stat1[0]->text(), kDownloadPrompt);
    w->btnztClick();
    QCOMPARE(w->btnzt->text(), kPauseCaption);
    QCOMPARE(w->stat1[2]->text(), kListeningContinued);
}

// "停止" closes the capture, and it stays closed, the timer running, until "开始".
void TestWindow::stopLastsUntilStart()
{
    if (::geteuid() != 0)
        QSKIP("capturing needs root (CI runs the tests as root)");
    TMainform *w = open();
    w->cap_ip1->setAddressSource(&loopbackOnly);
    QTRY_VERIFY_WITH_TIMEOUT(!w->btnks->isVisible(), 3000); // started by the timer
    QTRY_COMPARE_WITH_TIMEOUT(w->cap_ip1->liveCaptures(), 1, 5000);
    w->btntz->trigger();
    QTest::qWait(2500); // two ticks of the timer and more
    QVERIFY(w->btnks->isVisible());
    QCOMPARE(w->cap_ip1->liveCaptures(), 0);
    QCOMPARE(w->stat1[0]->text(), kStartPrompt);
    QCOMPARE(w->stat1[2]->text(), QStringLiteral("停止监听"));
    w->btnks->trigger();
    QVERIFY(!w->btnks->isVisible());
    QTRY_COMPARE_WITH_TIMEOUT(w->cap_ip1->liveCaptures(), 1, 5000);
    QCOMPARE(w->stat1[2]->text(), kListening);
}

// A start that failed is tried again every second, said once, until it succeeds.
void TestWindow::failedStartIsTriedAgain()
{
    if (::geteuid() != 0)
        QSKIP("capturing needs root (CI runs the tests as root)");
    TMainform *w = open();
    w->cap_ip1->setAddressSource(&loopbackOnly);
    w->cap_ip1->setHelperPath(m_dir->filePath("no-helper-here"));
    QTRY_COMPARE_WITH_TIMEOUT(m_messages.size(), 1, 3000);
    QTest::qWait(2500);
    QVERIFY(w->btnks->isVisible());
    QCOMPARE(m_messages.size(), 1);
    w->cap_ip1->setHelperPath(QStringLiteral(QUORREL_BIN_DIR "/quorrel-capture"));
    QTRY_VERIFY_WITH_TIMEOUT(!w->btnks->isVisible(), 3000);
    QTRY_COMPARE_WITH_TIMEOUT(w->cap_ip1->liveCaptures(), 1, 5000);
}

// A helper that ran before and no longer may (its mode changed, as when an administrator
// sets up its rights): the log says why and what to do, not a bare "Permission denied"
// with advice about capture rights; once it may run again, the next start takes it.
void TestWindow::helperChangedSinceTheStart()
{
    if (::geteuid() != 0)
        QSKIP("capturing needs root (CI runs the tests as root)");
    const QString helper = m_dir->filePath("quorrel-capture");
    QVERIFY(QFile::copy(QStringLiteral(QUORREL_BIN_DIR "/quorrel-capture"), helper));
    TMainform *w = open();
    w->Timesys->stop();
    w->cap_ip1->setHelperPath(helper);
    w->cap_ip1->setAddressSource(&loopbackOnly);
    w->btnksClick();
    QTRY_COMPARE_WITH_TIMEOUT(w->cap_ip1->liveCaptures(), 1, 5000);
    w->btntzClick();
    QVERIFY(QFile::setPermissions(helper, QFile::ReadOwner | QFile::WriteOwner));
    w->btnksClick();
    QTRY_VERIFY_WITH_TIMEOUT(w->redit1->toPlainText().contains(QStringLiteral("无法启动截获助手程序")), 3000);
    const QString said = w->redit1->toPlainText();
    QVERIFY2(said.contains(QStringLiteral("无权运行它（权限 0600）")), qPrintable(said));
    QVERIFY2(!said.contains(QStringLiteral("没有截获权限")) && !said.contains(QLatin1String("Permission denied")), qPrintable(said));
    QVERIFY(QFile::setPermissions(helper, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    w->btntzClick();
    w->btnksClick();
    QTRY_COMPARE_WITH_TIMEOUT(w->cap_ip1->liveCaptures(), 1, 5000);
}

// The preview pane widens in steps as it opens; its title bar splits its width.
void TestWindow::previewGeometry()
{
    const std::vector<int> steps = PreviewWideningSteps(421);
    QCOMPARE(steps.size(), size_t(28));
    QCOMPARE(steps.front(), 1);
    QCOMPARE(steps[1], 16);
    QCOMPARE(steps.back(), 406);
    QVERIFY(PreviewWideningSteps(1).empty());
    const PreviewTitleLayout title = LayOutPreviewTitle(398, 40);
    QCOMPARE(title.labelWidth, 318);
    QCOMPARE(title.buttonLeft, 320);
}

void TestWindow::captureEventFilesResource()
{
    TMainform *w = open();
    w->Timesys->stop();
    const QByteArray song = getDatagram("GET /m/song.mp3 HTTP/1.1\r\nHost: a.test\r\n\r\n");
    const QByteArray page = getDatagram("GET /index.htm HTTP/1.1\r\nHost: a.test\r\n\r\n");
    const auto deliver = [&](const QByteArray &bytes) {
        w->cap_ip1Cap(DecodeDatagram(0x7F000001, Bytes(reinterpret_cast<const std::byte *>(bytes.constData()), bytes.size())));
    };
    // The log's first line comes with the first datagram of any kind, one that holds no
    // request too; the window writes it, once.
    deliver(getDatagram(QByteArray()));
    QCOMPARE(w->redit1->toPlainText(), kMonitoringStartedLine);
    deliver(song);
    QCOMPARE(w->redit1->toPlainText(), QStringLiteral("开始监测上网数据......"));
    const TreeNode *node = w->tree().FindByCaption("http://a.test/m/song.mp3");
    QVERIFY(node);
    QCOMPARE(node->parent()->caption(), QStringLiteral("02-音乐"));
    deliver(page);
    QCOMPARE(w->stat1[0]->text(), kSelectResourceHint);
    QCOMPARE(w->redit1->document()->blockCount(), 1); // the line comes once
}

// 50,000 requests captured on loopback in a burst, each its own capture event that runs
// the rules through to ClassifyLink: the window keeps answering all the while (a timer of
// the test's own, as any of the window's, gets its turn after little work). The work is
// measured in the thread's own CPU time between two turns of the timer, not on the wall
// clock, which a machine busy with other programs stretches at will. They travel as UDP
// datagrams, which the rules read as they read any other: a sender can make them as fast
// as it likes. All ask for the same address: filed once, then found to be there.
void TestWindow::answersDuringABurst_data()
{
    QTest::addColumn<QByteArray>("path"); // after the tag; %06d takes the datagram's number
    QTest::addColumn<int>("listed");      // resources in zywj.txt: their category opens at start

    QTest::newRow("one address") << QByteArray("song.mp3") << 0;
    QTest::newRow("distinct addresses, category open") << QByteArray("%06d/song.mp3") << 1;
    // A view lays out every row it shows when rows come under an open branch: a user with
    // a long list makes each layout long.
    QTest::newRow("distinct addresses, 50,000 shown") << QByteArray("%06d/song.mp3") << 50'000;
}

void TestWindow::answersDuringABurst()
{
    QFETCH(QByteArray, path);
    QFETCH(int, listed);
    if (::geteuid() != 0)
        QSKIP("capturing needs root (CI runs the tests as root)");
    QByteArray list;
    for (int i = 0; i < listed; ++i)
        list += "02-" + toGbk(QStringLiteral("音乐")) + "  http://a.test/listed/" + QByteArray::number(i) + ".mp3\r\n";
    writeFile(m_dir->filePath("zywj.txt"), list);
    TMainform *w = open();
    TreeNode *music = w->tree().FindByCaption(QStringLiteral("02-音乐"));
    QCOMPARE(w->fclstxzzy->isExpanded(w->tree().indexOf(music)), listed > 0);
    const int before = music->childCount();
    w->Timesys->stop();
    w->cap_ip1->setAddressSource(&loopbackOnly);
    w->btnksClick();
    QTRY_COMPARE_WITH_TIMEOUT(w->cap_ip1->liveCaptures(), 1, 5000);

    constexpr int kCount = 50'000;
    const QByteArray tag = "GET /qwin" + QByteArray::number(::getpid()) + "/";
    int delivered = 0;
    connect(w->cap_ip1, &Tcap_ip::OnCap, w, [&](const Datagram &d) {
        if (d.data_size >= tag.size() && std::memcmp(d.data.data(), tag.constData(), std::size_t(tag.size())) == 0)
            ++delivered;
    });
    // The window's thread's CPU time, in ms.
    const auto cpuMs = [] {
        timespec t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return qint64(t.tv_sec) * 1000 + t.tv_nsec / 1'000'000;
    };
    qint64 lastCpu = 0;
    qint64 worst = 0;
    int late = 0; // more than 50 ms of work between two turns
    QTimer tick;
    tick.setInterval(10);
    connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = cpuMs();
        const qint64 gap = now - lastCpu;
        lastCpu = now;
        worst = std::max(worst, gap);
        late += gap > 50;
    });

    QProcess sender;
    sender.start("python3", {"-c",
                             "import socket,sys\n"
                             "r=socket.socket(socket.AF_INET,socket.SOCK_DGRAM); r.bind(('127.0.0.1',0))\n"
                             "s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
                             "t=sys.argv[2].encode(); p=sys.argv[3].encode()\n"
                             "for i in range(int(sys.argv[1])):\n"
                             "  s.sendto(t+(p%i if b'%' in p else p)+b' HTTP/1.1\\r\\nHost: a.test\\r\\nX-N: %06d\\r\\n\\r\\n'%i,r.getsockname())\n",
                             QString::number(kCount), QString::fromLatin1(tag), QString::fromLatin1(path)});
    QVERIFY(sender.waitForStarted());
    lastCpu = cpuMs();
    tick.start();
    QElapsedTimer took;
    took.start();
    QTRY_COMPARE_WITH_TIMEOUT(delivered, kCount, 120000);
    tick.stop();
    sender.waitForFinished();
    qInfo("%d requests delivered in %lld ms; at most %lld ms of work between two turns of the timer, %d times over 50 ms",
          kCount, took.elapsed(), worst, late);
    const QString address = QStringLiteral("http://a.test/qwin%1/").arg(::getpid()) + QString::fromLatin1(path);
    QVERIFY(w->tree().FindByCaption(QString(address).replace("%06d", QStringLiteral("%1").arg(kCount - 1, 6, 10, QLatin1Char('0')))));
    // Loopback carries whatever else runs on the machine (another program's requests for
    // songs are filed too): the burst's own resources are counted by their address.
    const QString ownPrefix = QStringLiteral("http://a.test/qwin%1/").arg(::getpid());
    int own = 0;
    for (int i = 0; i < music->childCount(); ++i)
        own += music->child(i)->Link().contains(ownPrefix);
    QCOMPARE(own, path.contains('%') ? kCount : 1);
    QVERIFY(music->childCount() >= before + own);
    // What the view shows agrees with the tree.
    QTRY_COMPARE_WITH_TIMEOUT(w->fclstxzzy->model()->rowCount(w->tree().indexOf(music)), music->childCount(), 1000);
    QVERIFY2(worst <= 50, qPrintable(QStringLiteral("the window worked %1 ms without answering").arg(worst)));
    QCOMPARE(w->cap_ip1->dropped(), 0u);
}

// Lost datagrams are told once, and then not more than once a minute.
void TestWindow::lostDatagramsAreLogged()
{
    TMainform *w = open();
    w->Timesys->stop();
    emit w->cap_ip1->OnDrop(12);
    QCOMPARE(w->redit1->toPlainText(), QStringLiteral("12个数据包因系统繁忙未能截获"));
    emit w->cap_ip1->OnDrop(3);
    emit w->cap_ip1->OnDrop(4);
    QTest::qWait(50);
    QCOMPARE(w->redit1->document()->blockCount(), 1); // the 7 wait for their minute
}

// A helper that cannot be run: the message box says why, not only that it failed.
void TestWindow::helperCannotRun()
{
    TMainform *w = open();
    w->Timesys->stop();
    const QString missing = m_dir->filePath("no-helper-here");
    w->cap_ip1->setHelperPath(missing);
    w->btnksClick();
    QCOMPARE(m_messages.size(), 1);
    const QString why = missing + QStringLiteral("：") + kHelperNotFound;
    QVERIFY2(m_messages.first().startsWith(kHelperMissingMessage) && m_messages.first().contains(why),
             qPrintable(m_messages.first()));
    QVERIFY(w->redit1->toPlainText().contains(why));
    QVERIFY(w->btnks->isVisible());
    w->btnksClick(); // the retry of every second is no news
    QCOMPARE(m_messages.size(), 1);
}

void TestWindow::treeCommandsWithTheMouse()
{
    TMainform *w = open();
    w->Timesys->stop();
    TreeNode *a = add("http://a.test/a.mp3");
    TreeNode *b = add("http://a.test/b.mp3");
    add("http://a.test/c.jpg");
    TreeNode *music = w->tree().FindByCaption("02-音乐");

    pressOn(a, Qt::RightButton); // a right press selects the node the menu then acts on
    QCOMPARE(w->tree().ClickedNode(), a);
    QCOMPARE(w->fclstxzzy->focusedNode(), a);
    w->N5->trigger();
    QVERIFY(!w->tree().FindByCaption("http://a.test/a.mp3"));
    QVERIFY(!w->tree().ClickedNode());
    w->N5->trigger(); // nothing pressed since
    QCOMPARE(music->childCount(), 1);

    pressOn(b);
    w->N19->trigger(); // on a resource: nothing
    QCOMPARE(music->childCount(), 1);
    pressOn(music);
    w->N19->trigger();
    QCOMPARE(music->childCount(), 0);
    QCOMPARE(w->tree().FindByCaption("02-音乐"), music);

    add("http://a.test/d.mp3");
    w->catalogue().ClassifyLink(nullptr, FileMode::Downloaded, "http://a.test/done.mp3");
    w->btnqc->trigger(); // "清除": the found side emptied, the downloaded side kept
    QCOMPARE(w->tree().FoundRoot()->child(1)->childCount(), 0);
    QCOMPARE(w->tree().FoundRoot()->child(2)->childCount(), 0);
    QVERIFY(w->tree().FindByCaption("http://a.test/done.mp3"));

    // A double-click on a web page makes it the base for relative addresses.
    TreeNode *page = add("http://a.test/dir/p.htm");
    const QModelIndex index = w->tree().indexOf(page);
    QTest::mouseDClick(w->fclstxzzy->viewport(), Qt::LeftButton, {}, w->fclstxzzy->visualRect(index).center());
    QCOMPARE(w->tree().BaseNode(), page);
    QVERIFY(w->tree().FindByCaption("http://a.test/dir/p.htm"));
}

void TestWindow::checkBoxCycle()
{
    TMainform *w = open();
    w->Timesys->stop();
    TreeNode *song = add("http://a.test/s.mp3");
    ResourceTreeView *view = w->fclstxzzy;
    const QModelIndex index = w->tree().indexOf(song);
    view->setFocus();
    view->setCurrentIndex(index);

    // A click on the box...
    QStyleOptionViewItem option;
    option.initFrom(view);
    option.rect = view->visualRect(index);
    option.features |= QStyleOptionViewItem::HasCheckIndicator;
    const QRect box = view->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, view);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, box.center());
    QCOMPARE(song->checkBox(), CheckBox::Checked);
    // ...and the space bar go the same way round.
    QTest::keyClick(view, Qt::Key_Space);
    QCOMPARE(song->checkBox(), CheckBox::Grayed);
    QVERIFY(song->checked());
    QTest::keyClick(view, Qt::Key_Space);
    QCOMPARE(song->checkBox(), CheckBox::Unchecked);
}

void TestWindow::settingsRoundTrip()
{
    TMainform *w = open();
    w->Timesys->stop();
    add("http://a.test/s.mp3");
    add("http://a.test/v.flv"); // no type for .flv yet: a page, filed as such
    w->RzToolButton2->trigger();
    SettingsPanel *p = w->panxtsz;
    QVERIFY(p->isVisible());
    QCOMPARE(p->EditbcPath->text(), QStringLiteral("/tmp/q"));
    QCOMPARE(p->cmbxzfs->currentIndex(), 0);
    QCOMPARE(p->gridxtsz->rowCount(), 3);
    QCOMPARE(p->gridxtsz->item(1, 1)->text(), QStringLiteral(".mp3;"));

    // A new type for videos; a row without a name is refused first.
    p->N13Click();
    p->N13Click();
    p->gridxtsz->setItem(3, 1, new QTableWidgetItem(".flv"));
    p->gridxtsz->setItem(4, 0, new QTableWidgetItem("其他"));
    p->btnbcsz->click();
    QCOMPARE(m_messages.takeLast(), QStringLiteral("数据无法保存:\r\r  第4行存在为空数据！"));
    p->gridxtsz->setCurrentCell(4, 0);
    p->N15Click(); // "删除类型" on the row selected last
    QCOMPARE(p->gridxtsz->rowCount(), 4);
    p->gridxtsz->setItem(3, 0, new QTableWidgetItem("视频"));
    p->EditbcPath->setText("/tmp/elsewhere");
    p->chktsggwjm->setChecked(true);
    p->btnbcsz->click();
    QCOMPARE(m_messages.takeLast(), QStringLiteral("配置数据顺利保存！！"));

    // The tree is rebuilt under the new table and the resources come back.
    QCOMPARE(w->tree().FindByCaption("http://a.test/v.flv")->parent()->caption(), QStringLiteral("04-视频"));
    QCOMPARE(w->tree().FindByCaption("http://a.test/s.mp3")->parent()->caption(), QStringLiteral("02-音乐"));
    QCOMPARE(w->catalogue().settings().SavePath, QStringLiteral("/tmp/elsewhere"));
    QVERIFY(w->catalogue().settings().PromptRename);
    QVERIFY(p->isVisible()); // the panel stays open
    w->RzToolButton3Click();
    QVERIFY(p->isHidden());

    // The folder picker's choice lands in the edit; a cancel changes nothing.
    w->setFolderPicker([] { return QStringLiteral("/srv/music"); });
    w->RzToolButton4Click();
    QCOMPARE(p->EditbcPath->text(), QStringLiteral("/srv/music"));
    w->setFolderPicker([] { return QString(); });
    w->RzToolButton4Click();
    QCOMPARE(p->EditbcPath->text(), QStringLiteral("/srv/music"));
}

void TestWindow::settingsPanelErrors()
{
    writeFile(m_dir->filePath("config.ini"),
              toGbk(QStringLiteral("[XT]\r\nxzfs=-1\r\nmaxtype=2\r\n2=.mp3\r\nlxmc=01-网页连接;02-音乐;x3-坏;04-a;\r\n")));
    TMainform *w = open(false);
    w->Timesys->stop();
    w->RzToolButton2Click();
    QCOMPARE(m_messages.takeLast(), QStringLiteral("'x3' is not a valid integer value"));
    QCOMPARE(w->panxtsz->gridxtsz->rowCount(), 2); // the rows before it stay
    QCOMPARE(w->panxtsz->cmbxzfs->currentIndex(), 1); // -1 shows "其他下载工具下载"
    w->panxtsz->SelectedTypeRow = 0;
    w->panxtsz->N15Click(); // nothing selected: nothing deleted
    QCOMPARE(w->panxtsz->gridxtsz->rowCount(), 2);
}

void TestWindow::preview()
{
    PageServer server;
    TMainform *w = open();
    w->Timesys->stop();
    TreeNode *page = add(server.url("/page.htm"));
    TreeNode *other = add(server.url("/other.htm"));
    w->fclstxzzy->setCurrentIndex(w->tree().indexOf(page));
    w->N1->trigger();
    QVERIFY(w->PreviewOpen);
    QVERIFY(w->Panbrow->isVisible());
    QCOMPARE(w->Panbrow->geometry(), w->lstxzrw->geometry()); // over the task list
    QCOMPARE(w->Panbrow->Laburl->text(), page->Link());
    QCOMPARE(w->Panbrow->Laburl->width(), w->Panbrow->width() - 2 * w->Panbrow->rbtnfd->width());
    QWebEngineView *browser = w->Panbrow->WebBrow1();
    QTRY_COMPARE_WITH_TIMEOUT(browser->title(), QStringLiteral("Quorrel test page"), 20000);
    QCOMPARE(browser->url().toString(), server.url("/page.htm"));

    pressOn(other); // the page follows the mouse, and the label names it
    QTRY_COMPARE_WITH_TIMEOUT(browser->url().toString(), server.url("/other.htm"), 10000);
    QCOMPARE(w->Panbrow->Laburl->text(), other->Link().trimmed());
    pressOn(w->tree().FoundRoot()); // FoundRoot leaves the page as it is
    QTest::qWait(200);
    QCOMPARE(browser->url().toString(), server.url("/other.htm"));

    QTest::mouseClick(w->RzLabel1, Qt::LeftButton);
    QVERIFY(!w->PreviewOpen);
    QVERIFY(w->Panbrow->isHidden());
    w->N1->trigger(); // opens again
    QVERIFY(w->PreviewOpen);
}

void TestWindow::links()
{
    TMainform *w = open();
    w->Timesys->stop();
    w->RzSizePanel6->setOpener(&fakeOpen);
    QVERIFY(!w->RzSizePanel6->visited(1));
    w->RzSizePanel6->open(1);
    QVERIFY(opened);
    QVERIFY(w->RzSizePanel6->visited(1));
    QVERIFY(w->RzSizePanel6->label(1)->text().contains("purple"));
    QVERIFY(!w->RzSizePanel6->label(0)->text().contains("purple"));
}

void TestWindow::downloadSelection()
{
    TMainform *w = open();
    w->Timesys->stop();
    w->Timexzwj->stop();
    const auto tick = [&](const char *name) {
        TreeNode *n = add(QStringLiteral("http://a.test/%1").arg(QLatin1String(name)));
        w->tree().cycleCheckBox(n);
        return n;
    };
    // The built-in downloader: bottom-most first, straight into the task list.
    tick("a.mp3");
    tick("b.mp3");
    w->RzToolButton8->trigger(); // the toolbar's "下载" is the menu's "下载选择文件"
    QCOMPARE(w->tasks.count(), 2);
    QCOMPARE(w->tasks.task(0).address, QStringLiteral(" http://a.test/b.mp3"));
    QCOMPARE(w->tasks.task(0).savePath, QStringLiteral(" /tmp/q/b.mp3"));
    QVERIFY(!w->tree().FindByCaption("http://a.test/a.mp3"));
    QCOMPARE(w->lstxzrw->model()->rowCount(), 2);

    // A double-click on a resource queues it too, and takes it out of the tree.
    TreeNode *c = add("http://a.test/c.jpg");
    const QModelIndex index = w->tree().indexOf(c);
    QTest::mouseDClick(w->fclstxzzy->viewport(), Qt::LeftButton, {}, w->fclstxzzy->visualRect(index).center());
    QCOMPARE(w->tasks.count(), 3);
    QCOMPARE(w->tasks.task(2).address, QStringLiteral(" http://a.test/c.jpg"));
    QVERIFY(!w->tree().FindByCaption("http://a.test/c.jpg"));
    delete m_window;
    m_window = nullptr;

    // With the rename prompt on, the table comes first; "确定" takes the edits.
    writeFile(m_dir->filePath("config.ini"), config() + "tsggwjm=1\r\n");
    w = open(false);
    w->Timesys->stop();
    w->Timexzwj->stop();
    tick("d.mp3");
    w->N20->trigger();
    QVERIFY(w->panxgwjm->isVisible());
    QCOMPARE(w->panxgwjm->gridxgwjm->item(0, 1)->text(), QStringLiteral(" d.mp3"));
    w->panxgwjm->gridxgwjm->item(0, 1)->setText("mine.mp3");
    w->panxgwjm->RzToolButton6->click();
    QVERIFY(w->panxgwjm->isHidden());
    QCOMPARE(w->tasks.task(0).address, QStringLiteral("  http://a.test/d.mp3"));
    QCOMPARE(w->tasks.task(0).savePath, QStringLiteral(" /tmp/q/mine.mp3"));
    tick("e.mp3");
    w->N20->trigger();
    w->panxgwjm->RzToolButton7->click(); // "取消": neither queued nor back in the tree
    QCOMPARE(w->tasks.count(), 1);
    QVERIFY(!w->tree().FindByCaption("http://a.test/e.mp3"));
    delete m_window;
    m_window = nullptr;

    // Another download tool: the clipboard gets the addresses, byte for byte.
    writeFile(m_dir->filePath("config.ini"), config() + "xzfs=1\r\n");
    w = open(false);
    w->Timesys->stop();
    w->Timexzwj->stop();
    tick("x.mp3");
    tick("y.mp3");
    w->N20->trigger();
    QCOMPARE(QGuiApplication::clipboard()->text().toLatin1(), QByteArray("\rhttp://a.test/y.mp3\rhttp://a.test/x.mp3\r\n"));
    QCOMPARE(w->tasks.count(), 0);
}

// The third download mode hands the ticked resources to aria2; one that aria2 does not take
// (here: nothing listens at the endpoint) goes back under its category, and the log says
// why. The clipboard is left alone.
void TestWindow::aria2RefusedGoesBack()
{
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const quint16 port = probe.serverPort();
    probe.close();
    writeFile(m_dir->filePath("config.ini"),
              config() + "xzfs=2\r\naria2dz=http://127.0.0.1:" + QByteArray::number(port) + "/jsonrpc\r\n");
    TMainform *w = open(false);
    w->Timesys->stop();
    w->Timexzwj->stop();
    QCOMPARE(w->panxtsz->cmbxzfs->count(), 3);
    QCOMPARE(w->panxtsz->cmbxzfs->itemText(2), QStringLiteral("交给 aria2 下载"));
    w->RzToolButton2Click();
    QCOMPARE(w->panxtsz->cmbxzfs->currentIndex(), 2);
    w->RzToolButton3Click();
    QGuiApplication::clipboard()->setText(QStringLiteral("untouched"));
    // A picture whose address has no extension, filed by its request.
    w->catalogue().ClassifyLink(nullptr, FileMode::Found, QStringLiteral("http://a.test/img?id=7"), nullptr, 3);
    TreeNode *n = w->tree().FindByCaption(QStringLiteral("http://a.test/img?id=7"));
    QVERIFY(n);
    w->tree().cycleCheckBox(n);
    w->N20->trigger();
    QVERIFY(!w->tree().FindByCaption(QStringLiteral("http://a.test/img?id=7"))); // handed over
    QTRY_VERIFY_WITH_TIMEOUT(w->redit1->toPlainText().contains(QStringLiteral("无法连接 aria2：")), 20000);
    QVERIFY2(w->redit1->toPlainText().contains(QStringLiteral("。资源已放回列表：http://a.test/img?id=7")),
             qPrintable(w->redit1->toPlainText()));
    n = w->tree().FindByCaption(QStringLiteral("http://a.test/img?id=7"));
    QVERIFY(n);
    QCOMPARE(n->parent()->caption(), QStringLiteral("03-图片"));
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("untouched"));
    QCOMPARE(w->tasks.count(), 0);
}

// "确定" takes no focus, so a cell still being edited has not given its text to the grid
// when the button is clicked: the table takes it in before it is read.
void TestWindow::renameTableTakesTheOpenEdit()
{
    writeFile(m_dir->filePath("config.ini"), config() + "tsggwjm=1\r\n");
    TMainform *w = open(false);
    w->Timesys->stop();
    w->Timexzwj->stop();
    TreeNode *n = add("http://a.test/d.mp3");
    w->tree().cycleCheckBox(n);
    w->N20->trigger();
    QTableWidget *grid = w->panxgwjm->gridxgwjm;
    QVERIFY(grid->isVisible());
    grid->setCurrentCell(0, 1);
    grid->editItem(grid->item(0, 1));
    auto *editor = grid->viewport()->findChild<QLineEdit *>();
    QVERIFY(editor);
    editor->selectAll();
    QTest::keyClicks(editor, "typed.mp3"); // and no Enter
    QTest::mouseClick(w->panxgwjm->RzToolButton6, Qt::LeftButton);
    QVERIFY(w->panxgwjm->isHidden());
    QCOMPARE(w->tasks.count(), 1);
    QCOMPARE(w->tasks.task(0).savePath, QStringLiteral(" /tmp/q/typed.mp3"));
}

void TestWindow::downloadsRunOneAtATime()
{
    PageServer server;
    writeFile(m_dir->filePath("config.ini"),
              toGbk(QStringLiteral("[XT]\r\nxzpath=%1\r\nfxwy=1\r\nmaxtype=3\r\n1=.htm\r\n2=.mp3\r\n3=.jpg\r\n"
                                   "lxmc=01-网页连接;02-音乐;03-图片;\r\n")
                        .arg(m_dir->path())));
    TMainform *w = open(false);
    w->Timesys->stop();
    QStringList questions;
    w->setResumeAnswer([&](const QString &q) {
        questions << q;
        return SchedulerHost::Resume::No;
    });
    writeFile(m_dir->filePath("b.mp3"), "old and longer than the page is");
    for (const char *name : {"a.mp3", "b.mp3"}) {
        TreeNode *n = add(server.url(QStringLiteral("/") + QLatin1String(name)));
        w->tree().cycleCheckBox(n);
    }
    w->tasks.AddTask("mms://a.test/stream.mp3", "stream.mp3", m_dir->path());
    w->N20->trigger(); // b.mp3 first: the walk runs from the bottom up
    QCOMPARE(w->tasks.count(), 3);

    // Each tick starts the next waiting row once the previous has ended; the window
    // goes on answering meanwhile.
    QTRY_COMPARE_WITH_TIMEOUT(w->tasks.task(1).state, TaskState::Done, 15000);
    QTRY_COMPARE_WITH_TIMEOUT(w->tasks.task(2).state, TaskState::Done, 15000);
    QCOMPARE(w->tasks.task(0).state, TaskState::Failed); // the unrecognised address
    QVERIFY(m_messages.contains(QStringLiteral("不可识别的地址！")));
    QCOMPARE(questions.size(), 1);
    QCOMPARE(questions.first(), QStringLiteral("文件已经存在，是否续传？ \r") + m_dir->filePath("b.mp3"));
    QCOMPARE(readFile(m_dir->filePath("a.mp3")), kPage);
    QCOMPARE(readFile(m_dir->filePath("b.mp3")), kPage); // written again, nothing stale after it
    // The save path as its column stores it (a leading blank), then an empty line.
    const QString log = w->redit1->toPlainText();
    QVERIFY2(log.contains(QStringLiteral("任务下载完毕： ") + m_dir->filePath("b.mp3") + "\n\n"), qPrintable(log));
    QVERIFY2(log.endsWith(QStringLiteral("任务下载完毕： ") + m_dir->filePath("a.mp3") + "\n"), qPrintable(log));
    QCOMPARE(w->tree().FindByCaption(server.url("/a.mp3"))->parent()->caption(), QStringLiteral("√02-音乐"));
    QVERIFY(w->Gag1->isHidden());
    // With nothing left waiting, the next tick empties the list.
    QTRY_COMPARE_WITH_TIMEOUT(w->tasks.count(), 0, 5000);
}

void TestWindow::saveFolderAndBoxes_data()
{
    QTest::addColumn<QString>("folder"); // the save folder, below the test's
    QTest::addColumn<bool>("done");
    QTest::newRow("a missing folder is made") << "no/such/Downloads" << true;
    QTest::newRow("a folder that cannot be made: a box per task") << "file/Downloads" << false;
}

// A user's first try, with a save folder that is not there: two ticked resources, "下载".
// Where the folder cannot be made, each task's failure is told in a box that stays open
// a while, as a user reads it: Timexzwj fires under it, and nothing may start, end or be
// removed until it is closed.
void TestWindow::saveFolderAndBoxes()
{
    QFETCH(QString, folder);
    QFETCH(bool, done);
    PageServer server;
    writeFile(m_dir->filePath("file"), "a file, where a folder would have to be");
    const QString savePath = m_dir->filePath(folder);
    TMainform *w = openSavingTo(savePath);
    w->Timesys->stop();
    QStringList boxes;
    int open = 0, underABox = 0;
    w->setInform([&](const QString &text) {
        boxes << text;
        ++open;
        QEventLoop loop;
        QTimer::singleShot(1200, &loop, &QEventLoop::quit); // longer than Timexzwj's interval
        loop.exec();
        --open;
    });
    connect(&w->tasks, &QAbstractItemModel::dataChanged, this, [&] { underABox += open > 0; });
    connect(&w->tasks, &QAbstractItemModel::modelAboutToBeReset, this, [&] { underABox += open > 0; });
    const QStringList urls{server.url("/a.mp3"), server.url("/b.mp3")};
    for (const QString &url : urls)
        w->tree().cycleCheckBox(add(url));
    w->RzToolButton8->trigger();
    QCOMPARE(w->tasks.count(), 2);
    QTRY_COMPARE_WITH_TIMEOUT(w->tasks.count(), 0, 20000); // emptied once both have ended
    QCOMPARE(underABox, 0);
    const QString log = w->redit1->toPlainText();
    for (const QString &url : urls) {
        const QString name = url.mid(url.lastIndexOf('/') + 1);
        QCOMPARE(count(url), 1);
        if (done) {
            QCOMPARE(readFile(savePath + "/" + name), kPage);
            QCOMPARE(w->tree().FindByCaption(url)->parent()->caption(), QStringLiteral("√02-音乐"));
        } else {
            // Failed: back where it was found, to be tried again.
            QCOMPARE(w->tree().FindByCaption(url)->parent(), w->tree().FindByCaption("02-音乐"));
        }
    }
    if (done) {
        QVERIFY(boxes.isEmpty());
    } else {
        QCOMPARE(boxes.size(), 2);
        for (const QString &box : boxes)
            QVERIFY2(box.contains(kFolderUnmakeable.arg(savePath, QString())), qPrintable(box));
        QCOMPARE(log.count(QStringLiteral("下载任务失败!")), 2);
    }
}

// A task that fails goes back under its category below FoundRoot, once: not beside the
// same address captured again meanwhile, nor twice for two failed tasks.
void TestWindow::failedTaskGoesBack()
{
    quorrel::test::HttpServer server([](const QByteArray &) { return quorrel::test::HttpServer::reply("404 Not Found", "no"); });
    TMainform *w = openSavingTo(m_dir->path());
    w->Timesys->stop();
    w->Timexzwj->stop();
    const QString lost = server.url("/lost.mp3"), again = server.url("/again.mp3"), twice = server.url("/twice.jpg");
    w->tree().cycleCheckBox(add(lost));
    w->tree().cycleCheckBox(add(again));
    w->N20->trigger();
    QCOMPARE(count(lost) + count(again), 0);
    add(again); // captured again while its task waits
    w->tasks.AddTask(twice, "twice.jpg", m_dir->path());
    w->tasks.AddTask(twice, "twice.jpg", m_dir->path());
    w->Timexzwj->start(10);
    QTRY_COMPARE_WITH_TIMEOUT(w->tasks.count(), 0, 20000);
    QCOMPARE(count(lost), 1);
    QCOMPARE(count(again), 1);
    QCOMPARE(count(twice), 1);
    QCOMPARE(w->tree().FindByCaption(lost)->parent(), w->tree().FindByCaption("02-音乐"));
    QCOMPARE(w->tree().FindByCaption(twice)->parent(), w->tree().FindByCaption("03-图片"));
    QVERIFY(!w->tree().FindByCaption(lost)->checked());
    QCOMPARE(QDir(m_dir->path()).entryList({"*.mp3", "*.jpg"}, QDir::Files), QStringList{}); // nothing left empty
}

void TestWindow::shutdownWritesTheList()
{
    const QByteArray expected = QByteArray("02-\xD2\xF4\xC0\xD6  http://a.test/s.mp3\r\n");
    {
        TMainform *w = open();
        w->Timesys->stop();
        add("http://a.test/s.mp3");
        w->btntc->trigger(); // "退出": saved, and the window closes
        QVERIFY(!w->isVisible());
        QCOMPARE(readFile(m_dir->filePath("zywj.txt")), expected);
        QFile::remove(m_dir->filePath("zywj.txt"));
        delete m_window; // its destruction saves once more, the same content
        m_window = nullptr;
        QCOMPARE(readFile(m_dir->filePath("zywj.txt")), expected);
    }
    {
        TMainform *w = open();
        w->Timesys->stop();
        QVERIFY(w->tree().FindByCaption("http://a.test/s.mp3")); // filed back at start-up
        add("http://a.test/t.mp3");
        w->close(); // the close box
        delete m_window;
        m_window = nullptr;
        QCOMPARE(readFile(m_dir->filePath("zywj.txt")),
                 expected + QByteArray("02-\xD2\xF4\xC0\xD6  http://a.test/t.mp3\r\n"));
    }
}

SettingsPanel *TestWindow::openTypeGrid(const QByteArray &names)
{
    writeFile(m_dir->filePath("config.ini"), "[XT]\r\nmaxtype=4\r\n1=.a\r\n2=.b\r\n3=.c\r\n4=.d\r\nlxmc=" + names + "\r\n");
    TMainform *w = open(false);
    w->Timesys->stop();
    w->RzToolButton2->trigger();
    SettingsPanel *p = w->panxtsz;
    p->PAGECNT1->setCurrentIndex(1);
    return p;
}

QStringList TestWindow::gridNames() const
{
    QStringList names;
    QTableWidget *grid = m_window->panxtsz->gridxtsz;
    for (int r = 0; r < grid->rowCount(); ++r)
        names << (grid->item(r, 0) ? grid->item(r, 0)->text() : QString());
    return names;
}

void TestWindow::typeGridDeletesTheSelectedRow()
{
    SettingsPanel *p = openTypeGrid("01-n1;02-n2;03-n3;04-n4;");
    QTableWidget *grid = p->gridxtsz;
    const auto cellCentre = [grid](int row) { return grid->visualRect(grid->model()->index(row, 0)).center(); };
    QCOMPARE(gridNames(), (QStringList{"n1", "n2", "n3", "n4"}));

    // "删除类型" twice after selecting row 2: rows 2 and then 3, which moved up into its
    // place, go; the cell the grid moves to on its own selects nothing.
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, cellCentre(1));
    QCOMPARE(p->SelectedTypeRow, 2);
    p->N15Click();
    QCOMPARE(grid->currentRow(), 1); // the highlight stays on the row the next delete takes
    p->N15Click();
    QCOMPARE(gridNames(), (QStringList{"n1", "n4"}));
    QCOMPARE(p->SelectedTypeRow, 2);

    // A right press opens the menu and leaves the selection alone.
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, cellCentre(0));
    QCOMPARE(p->SelectedTypeRow, 1);
    const QPoint inWindow = grid->viewport()->mapTo(m_window, cellCentre(1));
    QTest::mouseClick(m_window->windowHandle(), Qt::RightButton, {}, inWindow);
    QTRY_VERIFY(p->PopupMenulxbj->isVisible());
    p->PopupMenulxbj->hide();
    QCOMPARE(p->SelectedTypeRow, 1);
    QCOMPARE(grid->currentRow(), 0);
    p->N15Click();
    QCOMPARE(gridNames(), (QStringList{"n4"}));

    // The last row deleted, a second delete does nothing; "增加类型" adds an empty row.
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, cellCentre(0));
    p->N15Click();
    p->N15Click();
    QCOMPARE(grid->rowCount(), 0);
    p->N13Click();
    QCOMPARE(gridNames(), QStringList{""});
}

void TestWindow::typedDownloadModeAddsNoEntry()
{
    TMainform *w = open();
    w->Timesys->stop();
    w->RzToolButton2->trigger();
    QComboBox *mode = w->panxtsz->cmbxzfs;
    mode->lineEdit()->selectAll();
    QTest::keyClicks(mode->lineEdit(), "fast");
    QTest::keyClick(mode->lineEdit(), Qt::Key_Return);
    QCOMPARE(mode->count(), 3); // the three modes, nothing added
    w->panxtsz->btnbcsz->click();
    QCOMPARE(m_messages.takeLast(), QStringLiteral("配置数据顺利保存！！"));
    QVERIFY2(readFile(m_dir->filePath("config.ini")).contains("\r\nxzfs=-1\r\n"), readFile(m_dir->filePath("config.ini")).constData());
    QVERIFY(!w->catalogue().settings().handsOverDownloads()); // -1: the built-in downloader
}

void TestWindow::saveTakesTheOpenEdit_data()
{
    QTest::addColumn<bool>("fromMenu");
    QTest::newRow("保存") << false;
    QTest::newRow("保存类型") << true;
}

void TestWindow::saveTakesTheOpenEdit()
{
    QFETCH(bool, fromMenu);
    SettingsPanel *p = openTypeGrid("01-n1;02-n2;");
    QTableWidget *grid = p->gridxtsz;
    grid->setFocus();
    grid->setCurrentCell(1, 0);
    grid->editItem(grid->item(1, 0));
    QLineEdit *editor = qobject_cast<QLineEdit *>(grid->indexWidget(grid->model()->index(1, 0)));
    QVERIFY(editor);
    editor->selectAll();
    QTest::keyClicks(editor, "songs"); // still being edited when the user saves
    if (fromMenu)
        p->PopupMenulxbj->findChild<QAction *>("N17")->trigger();
    else
        QTest::mouseClick(p->btnbcsz, Qt::LeftButton);
    QCOMPARE(m_messages.takeLast(), QStringLiteral("配置数据顺利保存！！"));
    QVERIFY2(readFile(m_dir->filePath("config.ini")).contains("lxmc=01-n1;02-songs;"),
             readFile(m_dir->filePath("config.ini")).constData());
    QVERIFY(m_window->tree().FindByCaption("02-songs"));
}

void TestWindow::exitStaysOpenWhenTheListCannotBeSaved()
{
    TMainform *w = open();
    w->Timesys->stop();
    add("http://a.test/s.mp3");
    QVERIFY(QDir(m_dir->path()).mkdir("zywj.txt")); // the list cannot be written there
    w->btntc->trigger();
    QVERIFY(!m_messages.isEmpty());
    QVERIFY2(m_messages.last().startsWith(QStringLiteral("无法创建文件")), qPrintable(m_messages.last()));
    QVERIFY(w->isVisible()); // the command ended at the error; nothing found is lost
    QVERIFY(w->tree().FindByCaption("http://a.test/s.mp3"));

    QVERIFY(QDir(m_dir->path()).rmdir("zywj.txt")); // room made, "退出" again
    w->btntc->trigger();
    QVERIFY(!w->isVisible());
    QCOMPARE(readFile(m_dir->filePath("zywj.txt")), QByteArray("02-\xD2\xF4\xC0\xD6  http://a.test/s.mp3\r\n"));
}

void TestWindow::keyboardMenuActsOnTheFocusedNode()
{
    TMainform *w = open();
    w->Timesys->stop();
    TreeNode *song = add("http://a.test/s.mp3");
    TreeNode *music = w->tree().FindByCaption("02-音乐");
    ResourceTreeView *view = w->fclstxzzy;
    w->activateWindow();
    view->setFocus();
    QTRY_VERIFY(view->hasFocus());

    pressOn(music); // pressed with the mouse...
    QCOMPARE(w->tree().ClickedNode(), music);
    QTest::keyClick(view, Qt::Key_Down); // ...then the resource below it focused from the keyboard
    QCOMPARE(w->fclstxzzy->focusedNode(), song);
    // The Menu key (or Shift+F10): the platform turns it into a keyboard context menu
    // event for the focused widget.
    QContextMenuEvent menuKey(QContextMenuEvent::Keyboard, view->rect().center(), view->mapToGlobal(view->rect().center()));
    QApplication::sendEvent(view, &menuKey);
    QTRY_VERIFY(w->PopupMenu1->isVisible());
    QCOMPARE(w->tree().ClickedNode(), song);
    w->N5->trigger(); // "删除"
    w->PopupMenu1->hide();
    QVERIFY(!w->tree().FindByCaption("http://a.test/s.mp3"));
    QCOMPARE(w->tree().FindByCaption("02-音乐"), music); // the category pressed earlier stays

    // A right press still acts on the node pressed.
    TreeNode *other = add("http://a.test/t.mp3");
    pressOn(other, Qt::RightButton);
    QCOMPARE(w->tree().ClickedNode(), other);
}

void TestWindow::linesNotFiledAreKeptAndLogged()
{
    QByteArray noise;
    for (int i = 0; i < 400; ++i)
        noise += char((i * 7919 + 13) % 251);
    writeFile(m_dir->filePath("config.ini"), noise);
    const QByteArray list = toGbk(QStringLiteral("02-音乐  http://a.test/s.mp3\r\n√03-视频  http://a.test/v.flv\r\n"));
    writeFile(m_dir->filePath("zywj.txt"), list);
    TMainform *w = open(false);
    w->Timesys->stop();
    QCOMPARE(w->tree().count(), 2); // nothing filed...
    QVERIFY2(w->redit1->toPlainText().contains(QStringLiteral("zywj.txt 中有 2 条资源不能按当前的类型设置归类")),
             qPrintable(w->redit1->toPlainText()));
    w->close();
    delete m_window;
    m_window = nullptr;
    QCOMPARE(readFile(m_dir->filePath("zywj.txt")), list); // ...and nothing lost
}

void TestWindow::listSurvivesAKill()
{
    // The real program, in a folder of its own (its files live beside it), watching the
    // loopback traffic of this machine; killed without warning a few seconds after it
    // saw a request, it has the resource in its list.
    if (::geteuid() != 0)
        QSKIP("capturing needs root or a capture helper with capture rights");
    QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/test_window-%1-XXXXXX").arg(QCoreApplication::applicationPid()));
    QVERIFY(QFile::copy(QStringLiteral(QUORREL_BIN_DIR "/quorrel"), dir.filePath("quorrel")));
    QVERIFY(QFile::setPermissions(dir.filePath("quorrel"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    QVERIFY(QFile::link(QStringLiteral(QUORREL_BIN_DIR "/quorrel-capture"), dir.filePath("quorrel-capture")));
    writeFile(dir.filePath("config.ini"), config());
    PageServer server;

    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("QTWEBENGINE_DISABLE_SANDBOX", "1");
    env.insert("XDG_CONFIG_HOME", dir.filePath("config"));
    program.setProcessEnvironment(env);
    program.setProcessChannelMode(QProcess::ForwardedChannels);
    program.start(dir.filePath("quorrel"), {});
    QVERIFY(program.waitForStarted());

    const auto fetch = [&](const QString &path) {
        QProcess curl;
        curl.start("curl", {"-s", "-o", "/dev/null", "--max-time", "5", server.url(path)});
        QVERIFY(curl.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(curl.state() == QProcess::NotRunning, 10000); // the server answers meanwhile
    };
    // Until the program captures (it starts monitoring by itself after a second); a
    // request it saw shows in the list by the time of the next one.
    const QString list = dir.filePath("zywj.txt");
    QElapsedTimer waited;
    waited.start();
    for (int probe = 0; !readFile(list).contains("/probe-"); ++probe) {
        QVERIFY2(waited.elapsed() < 30000, "the program saw no request, or never wrote its list");
        QVERIFY(program.state() == QProcess::Running);
        fetch(QStringLiteral("/probe-%1.mp3").arg(probe));
        QTest::qWait(500);
    }

    fetch("/found-before-the-kill.mp3");
    QTest::qWait(3000);
    program.kill(); // SIGKILL: no signal handler, no close, no destructor
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitStatus(), QProcess::CrashExit);
    // Its socket for a second start stays behind, as after any kill; the folder goes away.
    QLocalServer::removeServer(SingleWindow::serverName(dir.path()));
    QVERIFY2(readFile(list).contains("  " + server.url("/found-before-the-kill.mp3").toLatin1() + "\r\n"),
             readFile(list).constData());
}

int main(int argc, char *argv[]) { return quorrel::test::runWindowTest<TestWindow>(argc, argv); }

// A key log that others can write is not read: the log says why, once.
void TestWindow::keyLogRefusedIsLogged()
{
    const QString keyLog = m_dir->filePath("keys.log");
    writeFile(keyLog, "# keys\n");
    QVERIFY(::chmod(QFile::encodeName(keyLog).constData(), 0666) == 0);
    const QByteArray before = qgetenv("SSLKEYLOGFILE");
    qputenv("SSLKEYLOGFILE", QFile::encodeName(keyLog));
    TMainform *w = open();
    qputenv("SSLKEYLOGFILE", before);
    const QString said = QStringLiteral("TLS密钥日志文件已被拒绝：") + keyLog + QStringLiteral(" 可被其他用户写入（权限 0666）");
    QTRY_VERIFY_WITH_TIMEOUT(w->redit1->toPlainText().contains(said), 5000);
    QTest::qWait(600); // two more looks at the file
    QCOMPARE(w->redit1->toPlainText().count(QStringLiteral("TLS密钥日志文件")), 1);
}

// A TLS session at a cipher suite that is not read is named in the log, once for each suite.
void TestWindow::tlsSuitesNotReadAreLogged()
{
    TMainform *w = open();
    quint16 port = 40000;
    const auto session = [&](quint16 suite) {
        const auto [client, server] = tls12Hellos(suite);
        ++port;
        for (const QByteArray &bytes : {tcpDatagram(port, 443, 1, client), tcpDatagram(443, port, 1, server)})
            w->cap_ip1Cap(DecodeDatagram(0x7F000001, Bytes(reinterpret_cast<const std::byte *>(bytes.constData()), bytes.size())));
    };
    session(0xC013);
    session(0xC013);
    session(0xC02F); // read: no word of it
    const QString cbc = kSuiteNotReadNotice + QStringLiteral("0xC013");
    QTRY_VERIFY_WITH_TIMEOUT(w->redit1->toPlainText().contains(cbc), 5000);
    session(0x000A);
    QTRY_VERIFY_WITH_TIMEOUT(w->redit1->toPlainText().contains(kSuiteNotReadNotice + QStringLiteral("0x000A")), 5000);
    QCOMPARE(w->redit1->toPlainText().count(kSuiteNotReadNotice), 2);
    QVERIFY(!w->redit1->toPlainText().contains(QStringLiteral("0xC02F")));
}

#include "test_window.moc"
