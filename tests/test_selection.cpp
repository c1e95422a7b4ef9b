// Choosing what to download: the selection command in its three modes, the rename
// table, the clipboard text byte for byte, the double-click, and the task list's recipe.

#include "base/gbk_text.h"
#include "catalogue/resource_tree.h"
#include "downloads/selection.h"
#include "downloads/save_name.h"
#include "downloads/task_list.h"

#include <QAbstractItemModelTester>
#include <QtTest>

using namespace quorrel;

namespace {

struct Fixture {
    ResourceTree tree;
    TaskList tasks;
    SettingsValues settings;
    TreeNode *music;
    Fixture()
    {
        settings.SavePath = QStringLiteral("/home/me/dl");
        settings.DownloadMode = QStringLiteral("0");
        tree.BuildCategories(QStringLiteral("01-网页连接;02-音乐;"));
        music = tree.FindByCaption(QStringLiteral("02-音乐"));
    }
    TreeNode *song(const char *name, CheckBox check = CheckBox::Checked, TreeNode *under = nullptr)
    {
        const QString a = QStringLiteral("http://a.test/m/%1").arg(QLatin1String(name));
        return tree.add(under ? under : music, {.caption = a, .mark = "02", .link = a + " ", .image = 2, .check = check});
    }
};

} // namespace

class TestSelection : public QObject {
    Q_OBJECT
private slots:
    void fileNames_data();
    void fileNames();
    void distinctNames_data();
    void distinctNames();
    void queuesBottomUp();
    void handsOver_data();
    void handsOver();
    void renameTable();
    void doubleClick();
    void taskListModel();
    void capturedHeadersGoWithTheTask();
};

void TestSelection::fileNames_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("name");  // saved as
    QTest::addColumn<QString>("shown"); // DecodePercentText: the tree, task list and rename table
    const QString long300 = QString(300, QLatin1Char('a')) + ".mp4";
    const QString cjk100 = QString(100, QChar(0x6B4C)); // 300 bytes of UTF-8
    QTest::newRow("song") << "http://host/dir/song.mp3" << "song.mp3" << "http://host/dir/song.mp3";
    QTest::newRow("query") << "http://host/get.php?id=5" << "get.php" << "http://host/get.php?id=5";
    QTest::newRow("query after a video") << "https://h/v/clip.mp4?token=abc" << "clip.mp4" << "https://h/v/clip.mp4?token=abc";
    QTest::newRow("query with a slash") << "https://h/v/sunset.png?w=800/x" << "sunset.png" << "https://h/v/sunset.png?w=800/x";
    QTest::newRow("fragment") << "http://h/a/song.mp3#t=3" << "song.mp3" << "http://h/a/song.mp3#t=3";
    QTest::newRow("folder") << "http://host/dir/" << "" << "http://host/dir/";
    QTest::newRow("no path") << "http://host" << "" << "http://host";
    QTest::newRow("no slash at all") << "window.open(x.mp3)" << "window.open(x.mp3)" << "window.open(x.mp3)";
    QTest::newRow("UTF-8") << "https://m.test/media/%E6%AD%8C%E6%9B%B2.mp3" << "歌曲.mp3"
                           << "https://m.test/media/歌曲.mp3";
    QTest::newRow("GBK") << "http://m.test/%B8%E8%C7%FA.mp3" << "歌曲.mp3" << "http://m.test/歌曲.mp3";
    QTest::newRow("lower-case escapes") << "http://m.test/%e6%ad%8c.mp3" << "歌.mp3" << "http://m.test/歌.mp3";
    QTest::newRow("a space") << "http://m.test/my%20song.mp3" << "my song.mp3" << "http://m.test/my song.mp3";
    QTest::newRow("broken escape") << "http://m.test/a%2.mp3" << "a%2.mp3" << "http://m.test/a%2.mp3";
    QTest::newRow("half a character") << "http://m.test/%E6%AD.mp3" << "%E6%AD.mp3" << "http://m.test/%E6%AD.mp3";
    QTest::newRow("a bare percent") << "http://m.test/100%.mp3" << "100%.mp3" << "http://m.test/100%.mp3";
    QTest::newRow("an escaped slash stays escaped") << "http://m.test/a%2Fb.mp3" << "a%2Fb.mp3" << "http://m.test/a/b.mp3";
    QTest::newRow("climbing out stays escaped") << "http://m.test/..%2F..%2Fetc%2Fpasswd" << "..%2F..%2Fetc%2Fpasswd"
                                               << "http://m.test/../../etc/passwd";
    QTest::newRow("dot dot") << "http://m.test/a/.." << "%2E%2E" << "http://m.test/a/..";
    QTest::newRow("escaped dot dot") << "http://m.test/a/%2E%2E" << "%2E%2E" << "http://m.test/a/..";
    QTest::newRow("one dot") << "http://m.test/a/." << "%2E" << "http://m.test/a/.";
    QTest::newRow("NUL and controls stay escaped") << "http://m.test/a%00b%1B%07c%7F.mp3" << "a%00b%1B%07c%7F.mp3"
                                                   << "http://m.test/a%00b%1B%07c%7F.mp3";
    QTest::newRow("a right-to-left override") << "http://m.test/clip%E2%80%AEgpj.exe" << "clip%E2%80%AEgpj.exe"
                                              << "http://m.test/clip%E2%80%AEgpj.exe";
    QTest::newRow("300 bytes, cut before the extension")
        << "http://m.test/" + long300 << QString(251, QLatin1Char('a')) + ".mp4" << "http://m.test/" + long300;
    QTest::newRow("300 bytes of Chinese, cut between characters")
        << "http://m.test/" + QString::fromLatin1(cjk100.toUtf8().toPercentEncoding()) + ".mp3"
        << QString(83, QChar(0x6B4C)) + ".mp3" << "http://m.test/" + cjk100 + ".mp3";
}

void TestSelection::fileNames()
{
    QFETCH(QString, address);
    QFETCH(QString, name);
    QFETCH(QString, shown);
    QCOMPARE(SaveFileName(address), name);
    QVERIFY(QFile::encodeName(SaveFileName(address)).size() <= 255);
    QCOMPARE(DecodePercentText(address), shown);
    // The tree and the task list show it so, and keep the address as captured.
    ResourceTree tree;
    tree.BuildCategories(QStringLiteral("01-网页连接;02-音乐;"));
    TreeNode *node = tree.add(tree.FindByCaption(QStringLiteral("02-音乐")),
                              {.caption = address, .mark = "02", .link = address + " ", .image = 2});
    QCOMPARE(tree.data(tree.indexOf(node), Qt::DisplayRole).toString(), GbkBytesShown(shown));
    QCOMPARE(node->caption(), address);
    TaskList tasks;
    tasks.AddTask(address, name, "/d");
    QCOMPARE(tasks.data(tasks.index(0, 0), Qt::DisplayRole).toString(), " " + shown);
    QCOMPARE(tasks.data(tasks.index(0, 0), Qt::EditRole).toString(), " " + address);
    QCOMPARE(tasks.task(0).address, " " + address);
}

// Two tasks never write one file: a second of the same name in one folder is numbered as
// browsers number a second download, within the 255 bytes.
void TestSelection::distinctNames_data()
{
    QTest::addColumn<QStringList>("addresses");
    QTest::addColumn<QStringList>("saved");
    QTest::newRow("two clips") << QStringList{"http://a/clip.mp4?x=1", "http://b/clip.mp4?x=2", "http://c/v/clip.mp4"}
                               << QStringList{" /d/clip.mp4", " /d/clip (2).mp4", " /d/clip (3).mp4"};
    QTest::newRow("no extension") << QStringList{"http://a/stream", "http://b/stream"}
                                  << QStringList{" /d/stream", " /d/stream (2)"};
    QTest::newRow("different names") << QStringList{"http://a/a.mp3", "http://a/b.mp3"}
                                     << QStringList{" /d/a.mp3", " /d/b.mp3"};
    const QString longName = QString(255 - 4, QLatin1Char('a')) + ".mp4";
    QTest::newRow("a long name keeps its bound")
        << QStringList{"http://a/" + longName, "http://b/" + longName}
        << QStringList{" /d/" + longName, " /d/" + QString(255 - 8, QLatin1Char('a')) + " (2).mp4"};
}

void TestSelection::distinctNames()
{
    QFETCH(QStringList, addresses);
    QFETCH(QStringList, saved);
    TaskList tasks;
    for (const QString &a : addresses)
        tasks.AddTask(a, SaveFileName(a), "/d");
    QStringList paths;
    for (int r = 0; r < tasks.count(); ++r)
        paths << tasks.task(r).savePath;
    QCOMPARE(paths, saved);
    // The rename table numbers a name the user typed as well.
    TaskList renamed;
    QList<RenameRow> rows;
    for (const QString &a : addresses)
        rows.append({" " + a, " same.bin", {}});
    ConfirmRenameRows(rows, "/d", renamed);
    QCOMPARE(renamed.task(renamed.count() - 1).savePath,
             addresses.size() == 1 ? QStringLiteral(" /d/same.bin") : " /d/same (" + QString::number(addresses.size()) + ").bin");
}

void TestSelection::queuesBottomUp()
{
    Fixture f;
    f.song("a.mp3");
    f.song("b.mp3");
    f.song("c.mp3", CheckBox::Grayed); // grayed counts as ticked
    f.song("left.mp3", CheckBox::Unchecked);
    TreeNode *done = f.tree.FindByCaption(QStringLiteral("√02-音乐"));
    f.song("again.mp3", CheckBox::Checked, done); // downloaded before: downloaded again
    const Selection s = N20Select(f.tree, f.settings, f.tasks);
    QCOMPARE(s.queued, 4);
    QVERIFY(s.handOver.isEmpty() && s.renameRows.isEmpty());
    QStringList order;
    for (int r = 0; r < f.tasks.count(); ++r)
        order << f.tasks.task(r).address;
    QCOMPARE(order, (QStringList{" http://a.test/m/again.mp3", " http://a.test/m/c.mp3", " http://a.test/m/b.mp3",
                                 " http://a.test/m/a.mp3"}));
    QCOMPARE(f.tasks.task(1).savePath, QStringLiteral(" /home/me/dl/c.mp3"));
    QCOMPARE(f.tasks.task(1).state, TaskState::Waiting);
    QCOMPARE(f.tasks.QueuedAddresses.first(), QStringLiteral("http://a.test/m/again.mp3"));
    QCOMPARE(f.music->childCount(), 1); // only the unticked one stays
    QCOMPARE(done->childCount(), 0);
}

void TestSelection::handsOver_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<bool>("handsOver");
    QTest::newRow("1") << "1" << true;
    QTest::newRow("2: aria2") << "2" << true;
    QTest::newRow("0") << "0" << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("-1") << "-1" << false;
}

void TestSelection::handsOver()
{
    QFETCH(QString, mode);
    QFETCH(bool, handsOver);
    Fixture f;
    f.settings.DownloadMode = mode;
    f.settings.PromptRename = true; // the hand-over wins over the rename table
    f.song("x.mp3");
    f.song("y.mp3");
    const Selection s = N20Select(f.tree, f.settings, f.tasks);
    if (handsOver) {
        QCOMPARE(HandOverText(s.handOver).toLatin1(), QByteArray("http://a.test/m/y.mp3\nhttp://a.test/m/x.mp3\n"));
        QVERIFY(s.renameRows.isEmpty());
        // To aria2 with the file names and the type each had, bottom-most first as the text.
        QCOMPARE(s.aria2.size(), mode == "2" ? 2 : 0);
        if (mode == "2") {
            QCOMPARE(s.aria2[0].address, QStringLiteral("http://a.test/m/y.mp3"));
            QCOMPARE(s.aria2[0].fileName, QStringLiteral("y.mp3"));
            QCOMPARE(s.aria2[1].type, 2);
        }
    } else {
        QVERIFY(s.aria2.isEmpty());
        QVERIFY(s.handOver.isEmpty());
        QCOMPARE(s.renameRows.size(), 2);
    }
    QCOMPARE(f.tasks.count(), 0);
    QCOMPARE(f.music->childCount(), 0);
}

void TestSelection::renameTable()
{
    Fixture f;
    f.settings.PromptRename = true;
    f.song("x.mp3");
    f.song("dir/");
    Selection s = N20Select(f.tree, f.settings, f.tasks);
    QCOMPARE(s.renameRows.size(), 2);
    QCOMPARE(s.renameRows[0].address, QStringLiteral(" http://a.test/m/dir/"));
    QCOMPARE(s.renameRows[0].fileName, QStringLiteral(" "));
    QCOMPARE(s.renameRows[1].fileName, QStringLiteral(" x.mp3"));
    s.renameRows[1].fileName = QStringLiteral("  renamed.mp3 "); // the user's edit
    ConfirmRenameRows(s.renameRows, f.settings.SavePath, f.tasks);
    QCOMPARE(f.tasks.task(0).address, QStringLiteral("  http://a.test/m/dir/")); // two blanks: as it came
    QCOMPARE(f.tasks.task(0).savePath, QStringLiteral(" /home/me/dl/"));
    QCOMPARE(f.tasks.task(1).savePath, QStringLiteral(" /home/me/dl/renamed.mp3"));
    QCOMPARE(f.tasks.QueuedAddresses, (QStringList{"http://a.test/m/dir/", "http://a.test/m/x.mp3"}));
}

void TestSelection::doubleClick()
{
    Fixture f;
    TreeNode *a = f.song("a.mp3", CheckBox::Unchecked);
    DoubleClickDownload d = DownloadOnDoubleClick(f.tree, a, f.settings, f.tasks);
    QVERIFY(d.queued && d.clipboard.isEmpty());
    QCOMPARE(f.tasks.task(0).address, QStringLiteral(" http://a.test/m/a.mp3"));
    QVERIFY(f.tasks.QueuedAddresses.isEmpty()); // a double-click does not extend it
    QVERIFY(!f.tree.FindByCaption("http://a.test/m/a.mp3"));

    // Captured again, it can be double-clicked into a second task...
    d = DownloadOnDoubleClick(f.tree, f.song("a.mp3"), f.settings, f.tasks);
    QVERIFY(d.queued);
    QCOMPARE(f.tasks.count(), 2);
    // ...unless the selection command queued it: then the node only goes.
    f.tasks.QueuedAddresses << "HTTP://A.TEST/m/a.mp3";
    d = DownloadOnDoubleClick(f.tree, f.song("a.mp3"), f.settings, f.tasks);
    QVERIFY(!d.queued);
    QCOMPARE(f.tasks.count(), 2);
    QVERIFY(!f.tree.FindByCaption("http://a.test/m/a.mp3"));

    f.settings.DownloadMode = "1";
    d = DownloadOnDoubleClick(f.tree, f.song("b.mp3"), f.settings, f.tasks);
    QCOMPARE(d.clipboard.toLatin1(), QByteArray("http://a.test/m/b.mp3\n"));
    QCOMPARE(f.tasks.count(), 2);

    // aria2: the resource with its headers, nothing on the clipboard, no task.
    f.settings.DownloadMode = "2";
    TreeNode *c = f.song("c.mp3");
    f.tree.setHeaders(c, RequestHeaders::captured("http://page.test/", "s=1", "UA"));
    d = DownloadOnDoubleClick(f.tree, c, f.settings, f.tasks);
    QVERIFY(d.clipboard.isEmpty() && !d.queued);
    QVERIFY(d.aria2);
    QCOMPARE(d.aria2->address, QStringLiteral("http://a.test/m/c.mp3"));
    QCOMPARE(d.aria2->headers.cookie, QByteArray("s=1"));
    QCOMPARE(f.tasks.count(), 2);
    QVERIFY(!f.tree.FindByCaption("http://a.test/m/c.mp3"));
}

void TestSelection::taskListModel()
{
    TaskList tasks;
    QAbstractItemModelTester tester(&tasks, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QCOMPARE(tasks.headerData(0, Qt::Horizontal, Qt::DisplayRole).toString(), QStringLiteral("状态     文件地址/文件名"));
    QCOMPARE(tasks.headerData(1, Qt::Horizontal, Qt::DisplayRole).toString(), QStringLiteral("保存文件名"));
    QCOMPARE(tasks.firstWaiting(), -1);
    tasks.AddTask("http://a/1", "1", "/d");
    tasks.AddTask("http://a/2", "2", "/d");
    tasks.setState(0, TaskState::Running);
    QCOMPARE(tasks.firstWaiting(), 1);
    QCOMPARE(tasks.data(tasks.index(0, 0), TaskList::StateRole).toInt(), 1);
    QVERIFY(tasks.setData(tasks.index(1, 0), " http://a/edited", Qt::EditRole)); // edited while waiting
    QCOMPARE(tasks.task(1).address, QStringLiteral(" http://a/edited"));
    QVERIFY(!tasks.setData(tasks.index(1, 1), "x", Qt::EditRole));
    tasks.QueuedAddresses << "http://a/1";
    tasks.clear();
    QCOMPARE(tasks.count(), 0);
    QVERIFY(tasks.isQueued("http://a/1")); // outlives the list
}

// The headers a resource was captured with reach its task by every road (at once, through
// the rename table, by a double-click), and leave it when the user changes the address.
void TestSelection::capturedHeadersGoWithTheTask()
{
    const RequestHeaders captured = RequestHeaders::captured("http://a.test/page", "s=1", "UA/1");
    {
        Fixture f;
        f.tree.setHeaders(f.song("a.mp3"), captured);
        f.song("b.mp3");
        QCOMPARE(N20Select(f.tree, f.settings, f.tasks).queued, 2);
        QCOMPARE(f.tasks.task(0).headers, RequestHeaders()); // b, visited first
        QCOMPARE(f.tasks.task(1).headers, captured);
        // An edit that keeps the address keeps them; another address loses them.
        QVERIFY(f.tasks.setData(f.tasks.index(1, 0), "  http://a.test/m/a.mp3", Qt::EditRole));
        QCOMPARE(f.tasks.task(1).headers, captured);
        QVERIFY(f.tasks.setData(f.tasks.index(1, 0), " http://other.test/a.mp3", Qt::EditRole));
        QCOMPARE(f.tasks.task(1).headers, RequestHeaders());
    }
    {
        Fixture f;
        f.settings.PromptRename = true;
        f.tree.setHeaders(f.song("a.mp3"), captured);
        QList<RenameRow> rows = N20Select(f.tree, f.settings, f.tasks).renameRows;
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows[0].headers, captured);
        rows[0].fileName = " renamed.mp3";
        ConfirmRenameRows(rows, f.settings.SavePath, f.tasks);
        QCOMPARE(f.tasks.task(0).headers, captured);
    }
    {
        Fixture f;
        TreeNode *node = f.song("a.mp3", CheckBox::Unchecked);
        f.tree.setHeaders(node, captured);
        QVERIFY(DownloadOnDoubleClick(f.tree, node, f.settings, f.tasks).queued);
        QCOMPARE(f.tasks.task(0).headers, captured);
    }
}

QTEST_APPLESS_MAIN(TestSelection)
#include "test_selection.moc"
