// Choosing what to download: the selection command in its three modes, the rename
// table, the clipboard text byte for byte, the double-click, and the task list's recipe.

#include "catalogue/resource_tree.h"
#include "downloads/selection.h"
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
    QTest::addColumn<QString>("name");
    QTest::newRow("song") << "http://host/dir/song.mp3" << "song.mp3";
    QTest::newRow("query") << "http://host/get.php?id=5" << "get.php?id=5";
    QTest::newRow("folder") << "http://host/dir/" << "";
    QTest::newRow("no slash at all") << "window.open(x.mp3)" << "window.open(x.mp3)";
}

void TestSelection::fileNames()
{
    QFETCH(QString, address);
    QFETCH(QString, name);
    QCOMPARE(FileNameOf(address), name);
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
        QCOMPARE(HandOverText(s.handOver).toLatin1(), QByteArray("\rhttp://a.test/m/y.mp3\rhttp://a.test/m/x.mp3\r\n"));
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
    QCOMPARE(d.clipboard.toLatin1(), QByteArray("http://a.test/m/b.mp3\r\n"));
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
