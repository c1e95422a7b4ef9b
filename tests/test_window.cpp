// The window, driven as a user drives it: the first start, monitoring control and its
// texts, a capture event, the tree's mouse and menu commands, the check box, the settings
// panel, the preview of a page served here on 127.0.0.1, the links and the shutdown.

#include "base/gbk_text.h"
#include "catalogue/tree_commands.h"
#include "detection/monitoring.h"
#include "shell/mainform.h"
#include "shell/preview_pane.h"
#include "shell/promo_strip.h"
#include "shell/rename_panel.h"
#include "shell/resource_tree_view.h"
#include "shell/settings_panel.h"

#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QToolButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTreeView>
#include <QWebEngineView>
#include <QtTest>

#include "test_files.h"
#include "test_http_server.h"

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
    void captureEventFilesResource();
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
    void downloadsRunOneAtATime();
    void shutdownWritesTheList();

private:
    TMainform *open(bool withConfig = true);
    TreeNode *add(const QString &address);
    void pressOn(TreeNode *node, Qt::MouseButton button = Qt::LeftButton);

    std::unique_ptr<QTemporaryDir> m_dir;
    TMainform *m_window = nullptr;
    QStringList m_messages;
};

void TestWindow::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_messages.clear();
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

    w->btntzClick(); // Stop shows Start and leaves the texts
    QVERIFY(w->btnks->isVisible());
    QCOMPARE(w->stat1[2]->text(), kListeningPaused);
    w->btntzClick();
    QVERIFY(w->btnks->isVisible());
    w->TimesysTimer(); // the automatic restart
    QCOMPARE(w->stat1[2]->text(), kListening);
    QCOMPARE(w->btnzt->text(), kContinueCaption);
    QVERIFY(w->cap_ip1->FPaused()); // still paused
    w->TimesysTimer();
    QCOMPARE(w->stat1[0]->text(), kDownloadPrompt);
    w->btnztClick();
    QCOMPARE(w->btnzt->text(), kPauseCaption);
    QCOMPARE(w->stat1[2]->text(), kListeningContinued);
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
// the test's own, as any of the window's, keeps firing on time). They travel as UDP
// datagrams, which the rules read as they read any other: a sender can make them as fast
// as it likes. All ask for the same address: filed once, then found to be there.
void TestWindow::answersDuringABurst()
{
    if (::geteuid() != 0)
        QSKIP("capturing needs root (CI runs the tests as root)");
    TMainform *w = open();
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
    QElapsedTimer since;
    qint64 worst = 0;
    int late = 0; // gaps of more than 50 ms
    QTimer tick;
    tick.setInterval(10);
    connect(&tick, &QTimer::timeout, [&] {
        const qint64 gap = since.restart();
        worst = std::max(worst, gap);
        late += gap > 50;
    });

    QProcess sender;
    sender.start("python3", {"-c",
                             "import socket,sys\n"
                             "r=socket.socket(socket.AF_INET,socket.SOCK_DGRAM); r.bind(('127.0.0.1',0))\n"
                             "s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
                             "for i in range(int(sys.argv[1])):\n"
                             "  s.sendto(sys.argv[2].encode()+b'song.mp3 HTTP/1.1\\r\\nHost: a.test\\r\\nX-N: %06d\\r\\n\\r\\n'%i,r.getsockname())\n",
                             QString::number(kCount), QString::fromLatin1(tag)});
    QVERIFY(sender.waitForStarted());
    since.start();
    tick.start();
    QElapsedTimer took;
    took.start();
    QTRY_COMPARE_WITH_TIMEOUT(delivered, kCount, 120000);
    tick.stop();
    sender.waitForFinished();
    qInfo("%d requests delivered in %lld ms; the timer fired at most %lld ms apart, %d times over 50 ms",
          kCount, took.elapsed(), worst, late);
    QVERIFY(w->tree().FindByCaption(QStringLiteral("http://a.test/qwin%1/song.mp3").arg(::getpid())));
    QVERIFY2(worst <= 50, qPrintable(QStringLiteral("the window did not answer for %1 ms").arg(worst)));
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
    QVERIFY2(m_messages.first().startsWith(kHelperMissingMessage) && m_messages.first().contains(missing + ": not found"),
             qPrintable(m_messages.first()));
    QVERIFY(w->redit1->toPlainText().contains(missing + ": not found"));
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

    pressOn(other); // the page follows the mouse, the label keeps the choice
    QTRY_COMPARE_WITH_TIMEOUT(browser->url().toString(), server.url("/other.htm"), 10000);
    QCOMPARE(w->Panbrow->Laburl->text(), page->Link());
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

int main(int argc, char *argv[])
{
    if (::geteuid() == 0)
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    TestWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_window.moc"
