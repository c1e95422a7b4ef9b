// The resource tree model and its file: building from the type table, the lookups,
// deletion with its references, the check box cycle, and zywj.txt round trips in GBK.

#include "base/gbk_text.h"
#include "intake/capture_road.h"
#include "catalogue/catalogue.h"
#include "catalogue/resource_list_autosave.h"
#include "catalogue/resource_list_file.h"
#include "catalogue/resource_tree.h"
#include "catalogue/tree_commands.h"

#include <QAbstractItemModelTester>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <map>

#include "test_files.h"

using namespace quorrel;
using quorrel::test::readFile;
using quorrel::test::writeFile;

namespace {

struct Row {
    int depth;
    QString caption, mark, link;
    int image;
};

QList<Row> rows(const ResourceTree &tree)
{
    QList<Row> out;
    tree.forEachPreOrder([&out](TreeNode *n, int depth) {
        out.append({depth, n->caption(), n->Mark(), n->Link(), n->imageIndex()});
    });
    return out;
}

QString render(const ResourceTree &tree)
{
    QStringList lines;
    for (const Row &r : rows(tree))
        lines << QStringLiteral("%1|%2|%3|%4|%5").arg(r.depth).arg(r.caption, r.mark, r.link).arg(r.image);
    return lines.join(QLatin1Char('\n'));
}



// A config.ini with four types, in GBK, as users' files are.
QByteArray fourTypes()
{
    return toGbk(QStringLiteral("[XT]\r\nmaxtype=5\r\n1=\r\n2=.mp3;.wma\r\n3=.flv\r\n4=.jpg\r\n5=.zip\r\n"
                                "lxmc=01-网页连接;02-音乐;03-视频;04-图片;05-压缩;\r\n"));
}

// A TCP segment from 192.0.2.7:40000 to 198.51.100.1:80 with seq and payload, as the
// capture of 192.0.2.7 reads it.
QByteArray segmentFromLocal(std::uint32_t seq, const QByteArray &payload, std::uint16_t sourcePort = 40000)
{
    QByteArray d;
    auto be16 = [&d](unsigned v) { d.append(char(v >> 8)).append(char(v)); };
    auto be32 = [&](std::uint32_t v) { be16(v >> 16); be16(v & 0xFFFF); };
    d.append('\x45').append('\0');
    be16(40 + unsigned(payload.size()));
    be32(0);
    d.append('\x40').append('\x06');
    be16(0);
    be32(0xC0000207);
    be32(0xC6336401);
    be16(sourcePort);
    be16(80);
    be32(seq);
    be32(1);
    d.append('\x50').append('\x18');
    be16(502);
    be32(0);
    return d + payload;
}

} // namespace

class TestCatalogue : public QObject {
    Q_OBJECT
private slots:
    void buildCategories_data();
    void buildCategories();
    void findByCaption();
    void findByCaptionMatchesAWalk();
    void deletingMendsReferences();
    void checkBoxCycle();
    void modelStaysConsistent();
    void rowsAnnouncedInBatches();
    void treeCommands();
    void pressAndDoubleClick();

    void saveBytesAreGbkWithCrLf();
    void roundTripKeepsPlaceAndSide();
    void roundTripUnderANewTypeTable();
    void readingRules_data();
    void readingRules();
    void categoryWithBlanksSurvives();
    void addressWithTwoBlanks();
    void writerCountsBytes_data();
    void writerCountsBytes();
    void linesNotFiledAreKept_data();
    void linesNotFiledAreKept();
    void keptLinesComeBackUnderANewTable();
    void unreadableListIsNotReplaced();
    void lineBreakInsideAnAddress();
    void listSurvivesLoading();
    void saveReplacesWholeFile();
    void saveErrorNamesTheFile();
    void saveSettingsKeepsResources();
    void autosaveFollowsChanges();
    void backgroundSaveKeepsOrder();
    void capturedHeadersStayInMemory();
    void captureRoadFilesEachRequestOnce_data();
    void captureRoadFilesEachRequestOnce();
    void captureRoadFilesWhatWasAskedFor_data();
    void captureRoadFilesWhatWasAskedFor();
    void askedForMediaKeepsItsCategory_data();
    void askedForMediaKeepsItsCategory();
    void captureStopsAtCapacity_data();
    void captureStopsAtCapacity();
    void captureRoadTakesAQuietLastKeyLogLine();
};

void TestCatalogue::buildCategories_data()
{
    QTest::addColumn<QString>("typeNameList");
    QTest::addColumn<QString>("expected");
    QTest::newRow("empty") << "" << "0|取得资源|+||0\n0|已下载资源|+xz||0";
    QTest::newRow("blank") << "  \r\n " << "0|取得资源|+||0\n0|已下载资源|+xz||0";
    QTest::newRow("two types") << "01-网页连接;02-音乐;"
                               << "0|取得资源|+||0\n1|01-网页连接|+qd|01|1\n1|02-音乐|+qd|02|2\n"
                                  "0|已下载资源|+xz||0\n1|√01-网页连接|+xz|01|1\n1|√02-音乐|+xz|02|2";
    QTest::newRow("blanks around an entry") << "01-a; 02-b ;"
                                            << "0|取得资源|+||0\n1|01-a|+qd|01|1\n1|02-b|+qd|02|2\n"
                                               "0|已下载资源|+xz||0\n1|√01-a|+xz|01|1\n1|√02-b|+xz|02|2";
    QTest::newRow("two semicolons in a row") << "01-a;;"
                                             << "0|取得资源|+||0\n1|01-a|+qd|01|1\n1||+qd||0\n"
                                                "0|已下载资源|+xz||0\n1|√01-a|+xz|01|1\n1|√|+xz||0";
    QTest::newRow("no dash, number not decimal") << "pages;x1-b;"
                                                 << "0|取得资源|+||0\n1|pages|+qd||0\n1|x1-b|+qd|x1|0\n"
                                                    "0|已下载资源|+xz||0\n1|√pages|+xz||0\n1|√x1-b|+xz|x1|0";
    QTest::newRow("last entry without semicolon") << "01-a;02-b"
                                                  << "0|取得资源|+||0\n1|01-a|+qd|01|1\n1|02-b|+qd|02|2\n"
                                                     "0|已下载资源|+xz||0\n1|√01-a|+xz|01|1\n1|√02-b|+xz|02|2";
}

void TestCatalogue::buildCategories()
{
    QFETCH(QString, typeNameList);
    QFETCH(QString, expected);
    ResourceTree tree;
    tree.BuildCategories(typeNameList);
    QCOMPARE(render(tree), expected);
    QCOMPARE(tree.nodeAt(0), tree.FoundRoot());
    QCOMPARE(tree.BaseNode(), tree.FoundRoot());
    QCOMPARE(tree.count(), int(rows(tree).size()));
    QVERIFY(!tree.ClickedNode());
}

void TestCatalogue::findByCaption()
{
    ResourceTree tree;
    tree.BuildCategories(QStringLiteral("01-Pages;02-音乐;"));
    TreeNode *pages = tree.FindByCaption(QStringLiteral("01-pages"));
    QVERIFY(pages);
    QCOMPARE(pages->caption(), QStringLiteral("01-Pages"));
    QCOMPARE(tree.FindByCaption(QStringLiteral("01-PAGES")), pages);
    QVERIFY(!tree.FindByCaption(QStringLiteral("01-Pages ")));
    QVERIFY(!tree.FindByCaption(QStringLiteral("02-音樂")));

    // With several nodes of one caption, the first in pre-order wins, also after
    // nodes are added out of order and the first one goes.
    TreeNode *downloadedRoot = tree.topLevel(1);
    TreeNode *late = tree.add(downloadedRoot, {.caption = "X"});
    TreeNode *topLevel = tree.add(nullptr, {.caption = "x"});
    TreeNode *early = tree.add(pages, {.caption = "x"});
    QCOMPARE(tree.FindByCaption("X"), early);
    tree.deleteNode(early);
    QCOMPARE(tree.FindByCaption("x"), late);
    tree.deleteNode(downloadedRoot);
    QCOMPARE(tree.FindByCaption("x"), topLevel);
    QCOMPARE(tree.nodeAt(tree.count() - 1), topLevel);
}

// The index behind FindByCaption against the rule it stands for (the first node in
// pre-order whose caption equals the text, ASCII case ignored), through many additions and
// removals of nodes that share captions in every letter case, at every depth.
void TestCatalogue::findByCaptionMatchesAWalk()
{
    ResourceTree tree;
    tree.BuildCategories(QStringLiteral("01-a;02-b;03-A;"));
    QRandomGenerator random(20240611);
    const QStringList captions{"a", "A", "01-a", "01-A", "√02-b", "x.mp3", "X.MP3", "x.Mp3", "é", "É", ""};
    const auto sameIgnoringAsciiCase = [](const QString &a, const QString &b) {
        if (a.size() != b.size())
            return false;
        for (qsizetype i = 0; i < a.size(); ++i) {
            const auto fold = [](char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c; };
            if (fold(a[i].unicode()) != fold(b[i].unicode()))
                return false;
        }
        return true;
    };
    for (int step = 0; step < 600; ++step) {
        std::vector<TreeNode *> nodes;
        tree.forEachPreOrder([&nodes](TreeNode *n, int) { nodes.push_back(n); });
        if (nodes.size() > 4 && random.bounded(3) == 0) {
            tree.deleteNode(nodes[random.bounded(quint32(nodes.size()))]);
        } else {
            TreeNode *parent = nodes.empty() || random.bounded(8) == 0 ? nullptr : nodes[random.bounded(quint32(nodes.size()))];
            tree.add(parent, {.caption = captions[random.bounded(quint32(captions.size()))]});
        }
        for (const QString &text : captions) {
            TreeNode *expected = nullptr;
            tree.forEachPreOrder([&](TreeNode *n, int) {
                if (!expected && sameIgnoringAsciiCase(n->caption(), text))
                    expected = n;
            });
            QCOMPARE(tree.FindByCaption(text), expected);
        }
    }

    // Many captions, through the index's growth and removals all over it: every node left
    // is found, no node removed is.
    tree.clear();
    QList<TreeNode *> nodes;
    for (int i = 0; i < 3000; ++i)
        nodes << tree.add(nullptr, {.caption = QStringLiteral("http://a.test/%1.MP3").arg(i)});
    QSet<int> removed;
    for (int k = 0; k < 2000; ++k) {
        const int i = int(random.bounded(3000u));
        if (removed.contains(i))
            continue;
        removed.insert(i);
        tree.deleteNode(nodes[i]);
    }
    for (int i = 0; i < 3000; ++i) {
        TreeNode *found = tree.FindByCaption(QStringLiteral("HTTP://A.TEST/%1.mp3").arg(i));
        QCOMPARE(found, removed.contains(i) ? nullptr : nodes[i]);
    }
}

void TestCatalogue::deletingMendsReferences()
{
    ResourceTree tree;
    tree.BuildCategories(QStringLiteral("01-网页连接;02-音乐;"));
    TreeNode *pages = tree.FindByCaption(QStringLiteral("01-网页连接"));
    TreeNode *page = tree.add(pages, {.caption = "http://a.test/", .mark = "01", .link = "http://a.test/ "});
    TreeNode *song = tree.add(tree.FindByCaption(QStringLiteral("02-音乐")), {.caption = "s", .mark = "02"});

    tree.setBaseNode(page);
    tree.setClickedNode(song);
    tree.deleteNode(song);
    QVERIFY(!tree.ClickedNode());
    QCOMPARE(tree.BaseNode(), page);

    tree.setClickedNode(page);
    tree.deleteChildren(pages); // the base page and the clicked node go with it
    QVERIFY(!tree.ClickedNode());
    QCOMPARE(tree.BaseNode(), tree.FoundRoot());
    QCOMPARE(pages->childCount(), 0);
    QVERIFY(!tree.FindByCaption("http://a.test/"));

    tree.setClickedNode(pages);
    tree.deleteChildren(tree.FoundRoot());
    QVERIFY(!tree.ClickedNode());
    QCOMPARE(tree.FoundRoot()->childCount(), 0);
    QCOMPARE(tree.count(), 4); // two roots, the downloaded pair

    TreeNode *downloaded = tree.topLevel(1);
    QCOMPARE(downloaded->firstChild()->nextSibling()->caption(), QStringLiteral("√02-音乐"));
    QVERIFY(!downloaded->firstChild()->nextSibling()->nextSibling());
    tree.deleteNode(downloaded);
    QCOMPARE(tree.count(), 1);
    QVERIFY(!tree.FindByCaption(QStringLiteral("√02-音乐")));
}

void TestCatalogue::checkBoxCycle()
{
    ResourceTree tree;
    tree.BuildCategories(QStringLiteral("02-音乐;"));
    TreeNode *song = tree.add(tree.FindByCaption(QStringLiteral("02-音乐")),
                              {.caption = "s", .mark = "02", .check = CheckBox::Unchecked});
    const QModelIndex index = tree.indexOf(song);
    QVERIFY(tree.flags(index) & Qt::ItemIsUserCheckable);

    QList<int> seen;
    for (int i = 0; i < 4; ++i) {
        // Whatever state a view proposes, the tree moves one step along its own cycle.
        QVERIFY(tree.setData(index, Qt::Unchecked, Qt::CheckStateRole));
        seen << tree.data(index, Qt::CheckStateRole).toInt();
    }
    QCOMPARE(seen, (QList<int>{Qt::Checked, Qt::PartiallyChecked, Qt::Unchecked, Qt::Checked}));
    QVERIFY(song->checked());
    tree.cycleCheckBox(song);
    QVERIFY(song->checked() && song->grayed()); // grayed counts as ticked

    const QModelIndex category = tree.indexOf(song->parent());
    QVERIFY(!(tree.flags(category) & Qt::ItemIsUserCheckable));
    QVERIFY(!tree.setData(category, Qt::Checked, Qt::CheckStateRole));
    QVERIFY(!tree.data(category, Qt::CheckStateRole).isValid());
}

void TestCatalogue::modelStaysConsistent()
{
    ResourceTree tree;
    QAbstractItemModelTester tester(&tree, QAbstractItemModelTester::FailureReportingMode::QtTest);
    tree.BuildCategories(QStringLiteral("01-网页连接;02-音乐;03-视频;"));
    TreeNode *music = tree.FindByCaption(QStringLiteral("02-音乐"));
    QList<TreeNode *> songs;
    for (int i = 0; i < 20; ++i)
        songs << tree.add(music, {.caption = QStringLiteral("http://a.test/%1.mp3").arg(i), .mark = "02",
                                  .check = CheckBox::Unchecked});
    tree.deleteNode(songs[5]);
    tree.deleteNode(songs[0]);
    QCOMPARE(songs[6]->row(), 4);
    QCOMPARE(tree.index(4, 0, tree.indexOf(music)), tree.indexOf(songs[6]));
    QCOMPARE(tree.parent(tree.indexOf(songs[6])), tree.indexOf(music));
    tree.cycleCheckBox(songs[7]);
    tree.deleteChildren(music);
    tree.add(nullptr, {.caption = "top"});
    tree.deleteNode(tree.topLevel(1));
    tree.clear();
    QCOMPARE(tree.rowCount(), 0);
}

// With an announce interval, nodes are in the tree at once and reach the views together:
// one insertion per parent, removals and data changes kept to the rows the views know,
// under the model tester all along.
void TestCatalogue::rowsAnnouncedInBatches()
{
    ResourceTree tree;
    QAbstractItemModelTester tester(&tree, QAbstractItemModelTester::FailureReportingMode::QtTest);
    tree.BuildCategories(QStringLiteral("01-网页连接;02-音乐;03-视频;"));
    tree.setAnnounceInterval(20);
    QSignalSpy inserted(&tree, &QAbstractItemModel::rowsInserted);
    QSignalSpy removed(&tree, &QAbstractItemModel::rowsRemoved);
    QSignalSpy changed(&tree, &QAbstractItemModel::dataChanged);
    QSignalSpy resources(&tree, &ResourceTree::resourcesChanged);
    TreeNode *music = tree.FindByCaption(QStringLiteral("02-音乐"));
    TreeNode *video = tree.FindByCaption(QStringLiteral("03-视频"));
    const QModelIndex musicIndex = tree.indexOf(music);
    const QModelIndex videoIndex = tree.indexOf(video);
    const auto song = [](int i) {
        return NodeFields{QStringLiteral("http://a.test/%1.mp3").arg(i), "02", {}, 2, CheckBox::Unchecked};
    };

    QList<TreeNode *> songs, videos;
    for (int i = 0; i < 100; ++i)
        songs << tree.add(music, song(i));
    for (int i = 0; i < 10; ++i)
        videos << tree.add(video, {.caption = QStringLiteral("http://a.test/%1.flv").arg(i), .check = CheckBox::Unchecked});
    // The tree has them; the views do not yet.
    QCOMPARE(tree.count(), 8 + 110);
    QCOMPARE(music->childCount(), 100);
    QCOMPARE(tree.FindByCaption("http://a.test/7.mp3"), songs[7]);
    QCOMPARE(tree.nodeAt(3), songs[0]);
    QCOMPARE(resources.size(), 110);
    QCOMPARE(tree.rowCount(musicIndex), 0);
    QVERIFY(!tree.hasChildren(videoIndex));
    QCOMPARE(inserted.size(), 0);
    // Rows the views do not know change silently.
    tree.deleteNode(songs[99]);
    tree.deleteNode(songs.takeAt(50));
    songs.removeLast();
    tree.cycleCheckBox(songs[3]);
    tree.setLink(songs[4], "http://a.test/four.mp3 ");
    QCOMPARE(removed.size(), 0);
    QCOMPARE(changed.size(), 0);
    QCOMPARE(resources.size(), 113);

    // One insertion for each parent.
    QTRY_COMPARE(inserted.size(), 2);
    QList<std::tuple<QModelIndex, int, int>> ranges;
    for (const QList<QVariant> &args : inserted)
        ranges << std::tuple(args[0].toModelIndex(), args[1].toInt(), args[2].toInt());
    QVERIFY(ranges.contains(std::tuple(QModelIndex(musicIndex), 0, 97)));
    QVERIFY(ranges.contains(std::tuple(QModelIndex(videoIndex), 0, 9)));
    QCOMPARE(tree.rowCount(musicIndex), 98);
    QCOMPARE(tree.index(50, 0, musicIndex), tree.indexOf(songs[50]));
    QCOMPARE(tree.data(tree.indexOf(songs[3]), Qt::CheckStateRole).toInt(), int(Qt::Checked));
    QCOMPARE(tree.data(tree.indexOf(songs[4]), ResourceTree::LinkRole).toString(), "http://a.test/four.mp3 ");

    // Rows the views know are told of as they go; waiting rows go with them silently.
    tree.deleteNode(songs.takeFirst());
    QCOMPARE(removed.size(), 1);
    QCOMPARE(tree.rowCount(musicIndex), 97);
    for (int i = 200; i < 205; ++i)
        tree.add(music, song(i));
    tree.deleteChildren(music);
    QCOMPARE(removed.size(), 2);
    QCOMPARE(removed.last()[2].toInt(), 96);
    tree.add(video, song(300));
    tree.deleteNode(video);
    QCOMPARE(removed.size(), 3);
    QTest::qWait(60);
    QCOMPARE(inserted.size(), 2);
    QCOMPARE(tree.rowCount(musicIndex), 0);

    // Asking for a waiting node's index tells the views first.
    TreeNode *late = tree.add(music, song(400));
    const QModelIndex lateIndex = tree.indexOf(late);
    QCOMPARE(inserted.size(), 3);
    QCOMPARE(tree.nodeOf(tree.index(0, 0, musicIndex)), late);
    QCOMPARE(lateIndex, tree.index(0, 0, musicIndex));

    // A node added below a node the views do not know yet comes with it.
    TreeNode *top = tree.add(nullptr, {.caption = "top"});
    tree.add(top, {.caption = "below"});
    QTRY_COMPARE(inserted.size(), 4);
    QCOMPARE(inserted.last()[0].toModelIndex(), QModelIndex());
    QCOMPARE(tree.rowCount(tree.indexOf(top)), 1);

    // A rebuild, and a clear, tell the views everything at once; nothing waits after them.
    tree.add(music, song(500));
    tree.BuildCategories(QStringLiteral("02-音乐;"));
    tree.add(tree.FindByCaption(QStringLiteral("02-音乐")), song(501));
    tree.clear();
    QTest::qWait(60);
    QCOMPARE(inserted.size(), 4);
    QCOMPARE(tree.rowCount(), 0);

    // Back to telling each row as it comes.
    tree.BuildCategories(QStringLiteral("02-音乐;"));
    music = tree.FindByCaption(QStringLiteral("02-音乐"));
    tree.add(music, song(600));
    tree.setAnnounceInterval(-1);
    QCOMPARE(inserted.size(), 5);
    tree.add(music, song(601));
    QCOMPARE(inserted.size(), 6);
    QCOMPARE(tree.rowCount(tree.indexOf(music)), 2);
}

void TestCatalogue::saveBytesAreGbkWithCrLf()
{
    ResourceTree tree;
    tree.BuildCategories(QStringLiteral("01-网页连接;05-压缩;"));
    tree.add(tree.FindByCaption(QStringLiteral("05-压缩")), {.caption = "a", .mark = "05", .link = " http://a.test/a.zip "});
    tree.add(tree.FindByCaption(QStringLiteral("√05-压缩")), {.caption = "b", .mark = "05", .link = "http://a.test/b.zip "});
    tree.add(tree.FindByCaption(QStringLiteral("05-压缩")), {.caption = "c", .mark = "05", .link = "a.zip "}); // too short
    tree.add(nullptr, {.caption = "d", .mark = "05", .link = "http://a.test/top-level.zip"});                // no parent

    const QByteArray expected = QByteArray("05-") + QByteArray("\xD1\xB9\xCB\xF5") + "  http://a.test/a.zip\r\n"
        + QByteArray("\xA1\xCC") + "05-" + QByteArray("\xD1\xB9\xCB\xF5") + "  http://a.test/b.zip\r\n";
    QCOMPARE(ResourceListBytes(tree), expected);

    ResourceTree empty;
    empty.BuildCategories(QStringLiteral("01-网页连接;"));
    QCOMPARE(ResourceListBytes(empty), QByteArray());
}

void TestCatalogue::roundTripKeepsPlaceAndSide()
{
    QTemporaryDir dir;
    writeFile(dir.filePath("config.ini"), fourTypes());
    Catalogue first(dir.path(), "/tmp");
    QVERIFY(!first.LoadSettings());
    for (const char *a : {"http://a.test/1.flv", "http://a.test/2.flv", "http://a.test/3.flv"})
        first.ClassifyLink(first.tree().BaseNode(), FileMode::Found, a);
    first.ClassifyLink(first.tree().BaseNode(), FileMode::Downloaded, "http://a.test/song.mp3");
    first.ClassifyLink(first.tree().BaseNode(), FileMode::Found, "name~http://a.test/p.jpg");
    QVERIFY(!first.SaveResourceList());
    const QString before = render(first.tree()).replace("namehttp", "http");

    Catalogue second(dir.path(), "/tmp");
    QVERIFY(!second.LoadSettings());
    QCOMPARE(render(second.tree()), before);
    QCOMPARE(second.tree().FindByCaption("http://a.test/2.flv")->row(), 1);
    // What a rebuild expands: FoundRoot and the found categories that hold resources.
    QStringList expanded;
    for (TreeNode *n : second.tree().foundSideToExpand())
        expanded << n->caption();
    expanded.sort();
    QCOMPARE(expanded, (QStringList{"03-视频", "04-图片", "取得资源"}));
}

void TestCatalogue::roundTripUnderANewTypeTable()
{
    QTemporaryDir dir;
    writeFile(dir.filePath("config.ini"), fourTypes());
    writeFile(dir.filePath("zywj.txt"),
              toGbk(QStringLiteral("√02-音乐  http://a.test/x.flv\r\n01-网页连接  http://a.test/y.mp3\r\n")));
    Catalogue c(dir.path(), "/tmp");
    QVERIFY(!c.LoadSettings());
    // Each address is filed by its extension, on the side its category field names.
    QCOMPARE(c.tree().FindByCaption("http://a.test/x.flv")->parent()->caption(), QStringLiteral("√03-视频"));
    QCOMPARE(c.tree().FindByCaption("http://a.test/y.mp3")->parent()->caption(), QStringLiteral("02-音乐"));
}

void TestCatalogue::readingRules_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("expected"); // side:text per filed line
    QTest::newRow("downloaded and found") << QByteArray("\xA1\xCC" "02-x  http://a/1\r\n02-x  http://a/2\r\n")
                                          << "D: http://a/1|F: http://a/2";
    QTest::newRow("cross is skipped, the rest goes on")
        << QByteArray("\xA1\xC1" "02-x  http://a/1\r\n02-x  http://a/2\r\n") << "F: http://a/2";
    QTest::newRow("no blank: the whole line on the found side") << QByteArray("http://a/1\r\n") << "F:http://a/1";
    QTest::newRow("blank and whitespace lines") << QByteArray("\r\n   \r\n\t\r\n02-x  http://a/1") << "F: http://a/1";
    QTest::newRow("CR, LF and CR LF endings") << QByteArray("a  h1\rb  h2\nc  h3\r\n") << "F: h1|F: h2|F: h3";
    QTest::newRow("tab is no separator") << QByteArray("02-x\thttp://a/1") << "F:02-x\thttp://a/1";
    QTest::newRow("single blank") << QByteArray("02-x http://a/1") << "F:http://a/1";
    // The writer puts two blanks after the category; its caption may hold blanks of its
    // own, and so may the address.
    QTest::newRow("category with a blank") << QByteArray("02-my music  http://a/1") << "F: http://a/1";
    QTest::newRow("two blanks inside the address")
        << QByteArray("02-x  http://a/x  y.mp3") << "F: http://a/x  y.mp3";
    QTest::newRow("one blank after the category, two inside the address")
        << QByteArray("02-\xD2\xF4\xC0\xD6 http://a.test/x  y.mp3") << "F:http://a.test/x  y.mp3";
    QTest::newRow("category with a blank, two blanks inside the address")
        << QByteArray("\xA1\xCC" "02-my music  ftp://a/x  y.mp3") << "D: ftp://a/x  y.mp3";
}

void TestCatalogue::readingRules()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, expected);
    QStringList got;
    for (const ListedResource &r : ParseResourceList(file))
        got << QString(r.downloaded ? "D:" : "F:") + r.text;
    QCOMPARE(got.join('|'), expected);
}

void TestCatalogue::categoryWithBlanksSurvives()
{
    QTemporaryDir dir;
    writeFile(dir.filePath("config.ini"), toGbk(QStringLiteral("[XT]\r\nmaxtype=2\r\n2=.mp3\r\nlxmc=01-网页连接;02-my music;\r\n")));
    for (int round = 0; round < 3; ++round) {
        Catalogue c(dir.path(), "/tmp");
        QVERIFY(!c.LoadSettings());
        if (round == 0)
            c.ClassifyLink(c.tree().BaseNode(), FileMode::Downloaded, "http://a.test/s.mp3");
        const TreeNode *song = c.tree().FindByCaption("http://a.test/s.mp3");
        QVERIFY2(song, qPrintable(render(c.tree())));
        QCOMPARE(song->parent()->caption(), QStringLiteral("√02-my music"));
        QVERIFY(!c.SaveResourceList());
    }
    QCOMPARE(readFile(dir.filePath("zywj.txt")), QByteArray("\xA1\xCC" "02-my music  http://a.test/s.mp3\r\n"));
}

void TestCatalogue::addressWithTwoBlanks()
{
    QTemporaryDir dir;
    writeFile(dir.filePath("config.ini"), fourTypes());
    writeFile(dir.filePath("zywj.txt"), toGbk(QStringLiteral("02-音乐 http://a.test/x  y.mp3\r\n")));
    Catalogue c(dir.path(), "/tmp");
    QVERIFY(!c.LoadSettings());
    const TreeNode *song = c.tree().FindByCaption("http://a.test/x  y.mp3");
    QVERIFY2(song, qPrintable(render(c.tree())));
    QCOMPARE(song->parent()->caption(), QStringLiteral("02-音乐"));
    QVERIFY(!c.SaveResourceList());
    QCOMPARE(readFile(dir.filePath("zywj.txt")), toGbk(QStringLiteral("02-音乐  http://a.test/x  y.mp3\r\n")));
}

void TestCatalogue::writerCountsBytes_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("written");
    QTest::newRow("four characters, eight bytes") << QStringLiteral("中文（中") << true;
    QTest::newRow("four characters, seven bytes") << QStringLiteral("中文(中") << false;
    QTest::newRow("seven letters") << QStringLiteral("ab(cdef") << false;
    QTest::newRow("eight letters") << QStringLiteral("ab(cdefg") << true;
    QTest::newRow("bytes that are not GBK count one each") << fromGbk("\xFF\xFF\xFF(\xD6\xD0\xD6\xD0") << true;
}

void TestCatalogue::writerCountsBytes()
{
    // A line of zywj.txt is filed (a page, as it has "(") and written back, whatever its
    // characters: the writer's "shorter than 8" is about the bytes of the file.
    QFETCH(QString, address);
    QFETCH(bool, written);
    QTemporaryDir dir;
    writeFile(dir.filePath("config.ini"), fourTypes() + "fxwy=1\r\n");
    const QByteArray line = toGbk(QStringLiteral("01-网页连接  ") + address) + "\r\n";
    writeFile(dir.filePath("zywj.txt"), line);
    Catalogue c(dir.path(), "/tmp");
    QVERIFY(!c.LoadSettings());
    QVERIFY(c.tree().FindByCaption(address));
    QVERIFY(!c.SaveResourceList());
    QCOMPARE(readFile(dir.filePath("zywj.txt")), written ? line : QByteArray());
}

void TestCatalogue::linesNotFiledAreKept_data()
{
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<QByteArray>("saved"); // zywj.txt after a load and a save
    QTest::addColumn<QString>("note");

    const QByteArray song = toGbk(QStringLiteral("02-音乐  http://a.test/s.mp3\r\n"));
    const QByteArray done = toGbk(QStringLiteral("√03-视频  http://a.test/v.flv\r\n"));
    const QByteArray page = toGbk(QStringLiteral("01-网页连接  http://a.test/p.php\r\n"));
    const QByteArray odd = QByteArray("02-x   http://a.test/\xFF  odd.php\r\n"); // kept as read, blanks and all
    QByteArray noise;
    for (int i = 0; i < 600; ++i)
        noise += char((i * 7919 + 13) % 251);
    QTest::newRow("config.ini of random bytes") << noise << song + done + page + odd << song + done + page + odd
                                                << u"zywj.txt 中有 4 条资源不能按当前的类型设置归类，已原样保留在文件中（config.ini 没有定义任何类型）。"_qs;
    QTest::newRow("empty type table") << QByteArray("[XT]\r\nmaxtype=0\r\nlxmc=\r\n") << song + done << song + done
                                      << "没有定义任何类型";
    QTest::newRow("pages while page analysis is off") << fourTypes() << page + song + odd << song + page + odd
                                                      << "2 条是网页连接类型，而网页分析（fxwy）没有打开";
    QTest::newRow("type 1 without its category")
        << QByteArray("[XT]\r\nfxwy=1\r\nmaxtype=2\r\n2=.mp3\r\nlxmc=02-m;\r\n") << page + song
        << QByteArray("02-m  http://a.test/s.mp3\r\n") + page << "1 条的类型在类型表中没有分类";
    QTest::newRow("everything filed") << fourTypes() << song + done << song + done << "";
}

void TestCatalogue::linesNotFiledAreKept()
{
    QFETCH(QByteArray, config);
    QFETCH(QByteArray, list);
    QFETCH(QByteArray, saved);
    QFETCH(QString, note);
    QTemporaryDir dir;
    writeFile(dir.filePath("config.ini"), config);
    writeFile(dir.filePath("zywj.txt"), list);
    Catalogue c(dir.path(), "/tmp");
    QVERIFY(!c.LoadSettings());
    QCOMPARE(c.keptAsideNote().value_or(QString()).contains(note), true);
    if (note.isEmpty())
        QVERIFY(!c.keptAsideNote());
    for (int i = 0; i < c.tree().topLevelCount(); ++i)
        QVERIFY(c.tree().topLevel(i)->caption() == kFoundRootCaption || c.tree().topLevel(i)->caption() == kDownloadedRootCaption);
    QVERIFY(!c.SaveResourceList());
    QCOMPARE(readFile(dir.filePath("zywj.txt")), saved);

    // "清除" empties the found side the user sees; lines kept aside stay in the file.
    ClearFoundResources(c.tree());
    QVERIFY(!c.SaveResourceList());
    const QByteArray cleared = readFile(dir.filePath("zywj.txt"));
    for (const QString &line : c.keptAside())
        QVERIFY(cleared.contains(toGbk(line) + "\r\n"));
}

void TestCatalogue::keptLinesComeBackUnderANewTable()
{
    QTemporaryDir dir;
    writeFile(dir.filePath("config.ini"), "[XT]\r\n");
    writeFile(dir.filePath("zywj.txt"), toGbk(QStringLiteral("02-音乐  http://a.test/s.mp3\r\n")));
    Catalogue c(dir.path(), "/tmp");
    QVERIFY(!c.LoadSettings());
    QCOMPARE(c.keptAside().size(), 1);
    c.ClassifyLink(nullptr, FileMode::Found, "http://a.test/new.mp3"); // nothing files it either

    SettingsForm form;
    form.types = {{"网页连接", ""}, {"音乐", ".mp3"}};
    QVERIFY(c.SaveSettings(form).saved);
    QVERIFY(!c.LoadSettings());
    QVERIFY(c.keptAside().isEmpty());
    QVERIFY(!c.keptAsideNote());
    QCOMPARE(c.tree().FindByCaption("http://a.test/s.mp3")->parent()->caption(), QStringLiteral("02-音乐"));
}

void TestCatalogue::unreadableListIsNotReplaced()
{
    QTemporaryDir dir;
    writeFile(dir.filePath("config.ini"), fourTypes());
    QVERIFY(QDir(dir.path()).mkdir("zywj.txt"));
    Catalogue c(dir.path(), "/tmp");
    QVERIFY(c.LoadSettings()); // said, and the tree has its categories
    c.ClassifyLink(nullptr, FileMode::Found, "http://a.test/new.mp3");
    const std::optional<QString> error = c.SaveResourceList();
    QVERIFY(error);
    QVERIFY2(error->contains(QStringLiteral("没有被替换")), qPrintable(*error));

    // Readable again: its lines go back with the tree's, as they were.
    QVERIFY(QDir(dir.path()).rmdir("zywj.txt"));
    const QByteArray old = toGbk(QStringLiteral("03-视频  http://a.test/old.flv\r\n"));
    writeFile(dir.filePath("zywj.txt"), old);
    QVERIFY(!c.SaveResourceList());
    QCOMPARE(readFile(dir.filePath("zywj.txt")), toGbk(QStringLiteral("02-音乐  http://a.test/new.mp3\r\n")) + old);
}

void TestCatalogue::lineBreakInsideAnAddress()
{
    // A lone CR or LF survives the extraction inside a path; the list keeps the address
    // on one line instead of splitting it into two broken ones.
    QTemporaryDir dir;
    writeFile(dir.filePath("config.ini"), fourTypes());
    Catalogue c(dir.path(), "/tmp");
    QVERIFY(!c.LoadSettings());
    c.ClassifyLink(nullptr, FileMode::Found, QStringLiteral("http://a.test/a\rb.mp3"));
    QVERIFY(!c.SaveResourceList());
    QCOMPARE(readFile(dir.filePath("zywj.txt")), QByteArray("02-\xD2\xF4\xC0\xD6  http://a.test/a%0Db.mp3\r\n"));
}

void TestCatalogue::listSurvivesLoading()
{
    QTemporaryDir dir;
    writeFile(dir.filePath("config.ini"), fourTypes());
    const QByteArray list("02-x  http://a.test/s.mp3\r\n");
    writeFile(dir.filePath("zywj.txt"), list);
    Catalogue c(dir.path(), "/tmp");
    QVERIFY(!c.LoadSettings());
    // Loading leaves the list in place, so a run that ends in a crash still has it.
    QCOMPARE(readFile(dir.filePath("zywj.txt")), list);
    QVERIFY(c.tree().FindByCaption("http://a.test/s.mp3"));

    // A missing list is no error.
    QVERIFY(QFile::remove(dir.filePath("zywj.txt")));
    QVERIFY(!c.LoadSettings());
    QCOMPARE(c.tree().count(), 2 + 2 * 5);
}

void TestCatalogue::saveReplacesWholeFile()
{
    QTemporaryDir dir;
    writeFile(dir.filePath("zywj.txt"), QByteArray(10000, 'x'));
    ResourceTree tree;
    tree.BuildCategories(QStringLiteral("02-a;"));
    tree.add(tree.topLevel(0)->firstChild(), {.caption = "s", .mark = "02", .link = "http://a.test/s.mp3 "});
    QVERIFY(!SaveResourceList(tree, dir.filePath("zywj.txt")));
    QCOMPARE(readFile(dir.filePath("zywj.txt")), QByteArray("02-a  http://a.test/s.mp3\r\n"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"zywj.txt"}); // nothing left beside it
}

void TestCatalogue::saveErrorNamesTheFile()
{
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("zywj.txt")); // a folder where the file should go: even root cannot write
    ResourceTree tree;
    tree.BuildCategories(QString());
    const std::optional<QString> error = SaveResourceList(tree, dir.filePath("zywj.txt"));
    QVERIFY(error);
    QVERIFY2(error->startsWith(QStringLiteral("无法创建文件 \"%1\"：").arg(dir.filePath("zywj.txt"))),
             qPrintable(*error));

    const ResourceListReading reading = ReadResourceList(dir.filePath("zywj.txt"));
    QVERIFY(reading.error);
    QVERIFY2(reading.error->startsWith(QStringLiteral("无法打开文件")), qPrintable(*reading.error));

    // A config.ini that cannot be read is said so, and the defaults stand in for it.
    QVERIFY(QDir(dir.path()).mkdir("config.ini"));
    Catalogue c(dir.path(), "/tmp/default");
    const std::optional<QString> loadError = c.LoadSettings();
    QVERIFY(loadError);
    QVERIFY2(loadError->contains("config.ini"), qPrintable(*loadError));
    QCOMPARE(c.settings().SavePath, QStringLiteral("/tmp/default"));
}

void TestCatalogue::saveSettingsKeepsResources()
{
    QTemporaryDir dir;
    writeFile(dir.filePath("config.ini"), fourTypes());
    Catalogue c(dir.path(), "/tmp");
    QVERIFY(!c.LoadSettings());
    c.ClassifyLink(nullptr, FileMode::Found, "http://a.test/s.mp3");
    c.ClassifyLink(nullptr, FileMode::Downloaded, "http://a.test/v.flv");
    const RequestHeaders headers = RequestHeaders::captured("http://a.test/page", "s=1", "Agent/1");
    c.ClassifyLink(nullptr, FileMode::Found, "http://a.test/clip.flv", &headers);

    SettingsForm form;
    form.savePath = "/tmp/q";
    form.types = {{"网页连接", ""}, {"", ".flv"}};
    Catalogue::SaveOutcome outcome = c.SaveSettings(form);
    QVERIFY(!outcome.saved);
    QCOMPARE(outcome.message, QStringLiteral("数据无法保存:\r\r  第2行存在为空数据！"));

    // Types renumbered: the video type is now 2, music has no type any more.
    form.types = {{"网页连接", ""}, {"视频", ".flv"}, {"音乐", ".wma"}};
    outcome = c.SaveSettings(form);
    QVERIFY(outcome.saved);
    QCOMPARE(outcome.message, QStringLiteral("配置数据顺利保存！！"));
    QVERIFY(!c.LoadSettings());
    QCOMPARE(c.settings().SavePath, QStringLiteral("/tmp/q"));
    QCOMPARE(c.tree().FindByCaption("http://a.test/v.flv")->parent()->caption(), QStringLiteral("√02-视频"));
    QVERIFY(!c.tree().FindByCaption("http://a.test/s.mp3")); // type 1 now, and pages are off
    // The headers captured in this run stay with their resource, in memory, across the
    // rebuild the save makes.
    const TreeNode *clip = c.tree().FindByCaption("http://a.test/clip.flv");
    QVERIFY(clip && clip->headers());
    QCOMPARE(*clip->headers(), headers);
    QVERIFY(!readFile(dir.filePath("zywj.txt")).contains("Agent/1"));
}

void TestCatalogue::autosaveFollowsChanges()
{
    QTemporaryDir dir;
    writeFile(dir.filePath("config.ini"), fourTypes());
    Catalogue c(dir.path(), "/tmp");
    QVERIFY(!c.LoadSettings());
    ResourceListAutosave autosave(c);
    const QString list = dir.filePath("zywj.txt");

    // A capture every 100 ms for 1.6 s: the first reaches the file within the delay of the
    // first change (later changes do not push the write back), and the writes are few.
    QElapsedTimer clock;
    clock.start();
    int filed = 0;
    qint64 firstSeen = -1;
    while (filed < 16) {
        c.ClassifyLink(nullptr, FileMode::Found, QStringLiteral("http://a.test/%1.mp3").arg(filed++));
        QTest::qWait(100);
        if (firstSeen < 0 && readFile(list).contains("http://a.test/0.mp3"))
            firstSeen = clock.elapsed();
    }
    QVERIFY2(firstSeen >= 0 && firstSeen <= kResourceListAutosaveMs + 500, qPrintable(QString::number(firstSeen)));
    QTRY_VERIFY_WITH_TIMEOUT(!autosave.pending(), kResourceListAutosaveMs + 500);
    QVERIFY2(autosave.writes() >= 2 && autosave.writes() <= 3, qPrintable(QString::number(autosave.writes())));
    QCOMPARE(readFile(list), ResourceListBytes(c.tree()));

    // Deleting counts; ticking a box does not. A rebuild reads the list and writes nothing.
    const int writes = autosave.writes();
    c.tree().cycleCheckBox(c.tree().FindByCaption("http://a.test/3.mp3"));
    QVERIFY(!autosave.pending());
    QVERIFY(!c.LoadSettings());
    QVERIFY(!autosave.pending());
    ClearFoundResources(c.tree());
    QVERIFY(autosave.pending());
    QTRY_VERIFY_WITH_TIMEOUT(!autosave.pending(), kResourceListAutosaveMs + 500);
    QCOMPARE(autosave.writes(), writes + 1);
    QCOMPARE(readFile(list), QByteArray());

    // A write that fails is reported once, and tried again at the next change.
    QSignalSpy failed(&autosave, &ResourceListAutosave::saveFailed);
    QVERIFY(QFile::remove(list));
    QVERIFY(QDir(dir.path()).mkdir("zywj.txt"));
    c.ClassifyLink(nullptr, FileMode::Found, "http://a.test/x.mp3");
    QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 1, kResourceListAutosaveMs + 500);
    c.ClassifyLink(nullptr, FileMode::Found, "http://a.test/y.mp3");
    QTRY_VERIFY_WITH_TIMEOUT(!autosave.pending(), kResourceListAutosaveMs + 500);
    QCOMPARE(failed.size(), 1);
    QVERIFY(QDir(dir.path()).rmdir("zywj.txt"));
    c.ClassifyLink(nullptr, FileMode::Found, "http://a.test/z.mp3");
    QTRY_VERIFY_WITH_TIMEOUT(readFile(list).contains("z.mp3") && readFile(list).contains("x.mp3"),
                             kResourceListAutosaveMs + 500);
}

// A save written in the background writes the tree as it was when it was asked for, while
// the tree goes on changing (its texts are shared, not copied, and outlive their nodes); a
// save asked for afterwards comes later and holds the changes: an older write never lands
// over a newer one.
void TestCatalogue::backgroundSaveKeepsOrder()
{
    QTemporaryDir dir;
    writeFile(dir.filePath("config.ini"), fourTypes());
    Catalogue c(dir.path(), "/tmp");
    QVERIFY(!c.LoadSettings());
    for (int i = 0; i < 20000; ++i)
        c.ClassifyLink(nullptr, FileMode::Found, QStringLiteral("http://a.test/%1.mp3").arg(i));

    const ResourceListSnapshot before = SnapshotResourceList(c.tree());
    c.tree().deleteNode(c.tree().FindByCaption("http://a.test/7.mp3"));
    QVERIFY(ResourceListBytes(before).contains("http://a.test/7.mp3\r\n"));
    QVERIFY(!ResourceListBytes(c.tree()).contains("http://a.test/7.mp3\r\n"));

    const QString list = dir.filePath("zywj.txt");
    for (bool atOnce : {false, true}) {
        QFuture<std::optional<QString>> first = c.SaveResourceListInBackground();
        const QString late = QStringLiteral("http://a.test/late-%1.mp3").arg(atOnce);
        c.ClassifyLink(nullptr, FileMode::Found, late);
        if (atOnce) {
            QVERIFY(!c.SaveResourceList());
        } else {
            QFuture<std::optional<QString>> second = c.SaveResourceListInBackground();
            second.waitForFinished();
            QVERIFY(!second.result());
        }
        QVERIFY(first.isFinished() && !first.result());
        QCOMPARE(readFile(list), ResourceListBytes(c.tree()));
        QVERIFY(readFile(list).contains(late.toLatin1()));
    }
}

namespace {

// Two roots, two found and two downloaded categories, a page and two songs.
struct CommandTree {
    ResourceTree tree;
    TreeNode *pages, *music, *page, *song, *done;
    CommandTree()
    {
        tree.BuildCategories(QStringLiteral("01-网页连接;02-音乐;"));
        pages = tree.FindByCaption(QStringLiteral("01-网页连接"));
        music = tree.FindByCaption(QStringLiteral("02-音乐"));
        page = tree.add(pages, {.caption = "http://a.test/", .mark = "01", .link = "http://a.test/ ", .image = 1});
        song = tree.add(music, {.caption = "http://a.test/s.mp3", .mark = "02", .link = "http://a.test/s.mp3 ", .image = 2});
        done = tree.add(tree.FindByCaption(QStringLiteral("√02-音乐")),
                        {.caption = "http://a.test/d.mp3", .mark = "02", .link = "http://a.test/d.mp3 ", .image = 2});
    }
};

} // namespace

void TestCatalogue::treeCommands()
{
    {
        CommandTree t; // "清除": found categories emptied, the rest stays
        ClearFoundResources(t.tree);
        QCOMPARE(t.pages->childCount(), 0);
        QCOMPARE(t.music->childCount(), 0);
        QVERIFY(t.tree.FindByCaption("http://a.test/d.mp3"));
        QCOMPARE(t.tree.count(), 7);
    }
    {
        CommandTree t; // "删除" on FoundRoot does nothing; on DownloadedRoot takes its side
        t.tree.setClickedNode(t.tree.FoundRoot());
        DeleteClickedNode(t.tree);
        QCOMPARE(t.tree.count(), 9);
        t.tree.setClickedNode(t.tree.topLevel(1));
        DeleteClickedNode(t.tree);
        QCOMPARE(t.tree.count(), 5);
        QVERIFY(!t.tree.ClickedNode());
        DeleteClickedNode(t.tree); // no new press: nothing
        QCOMPARE(t.tree.count(), 5);
    }
    {
        CommandTree t; // "清除本结点资源": not on a resource; a category stays, empty
        t.tree.setClickedNode(t.song);
        ClearClickedNode(t.tree);
        QCOMPARE(t.music->childCount(), 1);
        t.tree.setClickedNode(t.music);
        ClearClickedNode(t.tree);
        QCOMPARE(t.music->childCount(), 0);
        QCOMPARE(t.tree.ClickedNode(), t.music);
        t.tree.setClickedNode(t.tree.FoundRoot()); // on a root: its categories go
        ClearClickedNode(t.tree);
        QCOMPARE(t.tree.FoundRoot()->childCount(), 0);
        QCOMPARE(t.tree.ClickedNode(), t.tree.FoundRoot());
        t.tree.setClickedNode(nullptr);
        ClearClickedNode(t.tree);
        QCOMPARE(t.tree.count(), 5);
    }
}

void TestCatalogue::pressAndDoubleClick()
{
    CommandTree t;
    QCOMPARE(PressNode(t.tree, t.song, false), std::nullopt); // preview closed: only the press
    QCOMPARE(t.tree.ClickedNode(), t.song);
    QCOMPARE(PressNode(t.tree, t.song, true), std::optional<QString>("http://a.test/s.mp3"));
    QCOMPARE(PressNode(t.tree, t.tree.FoundRoot(), true), std::nullopt);
    QCOMPARE(PressNode(t.tree, t.music, true), std::optional<QString>("02"));
    QCOMPARE(PressNode(t.tree, t.tree.topLevel(1), true), std::optional<QString>(""));
    QCOMPARE(PressNode(t.tree, nullptr, true), std::nullopt);
    QVERIFY(!t.tree.ClickedNode());

    QCOMPARE(DoubleClickNode(t.tree, t.page), DoubleClick::BaseNodeSet);
    QCOMPARE(t.tree.BaseNode(), t.page);
    t.tree.add(t.page, {.caption = "child", .mark = "02"});
    t.tree.setBaseNode(t.tree.FoundRoot());
    QCOMPARE(DoubleClickNode(t.tree, t.page), DoubleClick::Nothing); // a page with children
    QCOMPARE(t.tree.BaseNode(), t.tree.FoundRoot());
    QCOMPARE(DoubleClickNode(t.tree, t.music), DoubleClick::Nothing);
    QCOMPARE(DoubleClickNode(t.tree, t.song), DoubleClick::Download);
    QCOMPARE(DoubleClickNode(t.tree, nullptr), DoubleClick::Nothing);
}

// The captured headers are for the download only: the list file never holds them, and
// a resource read back from it has none.
void TestCatalogue::capturedHeadersStayInMemory()
{
    QTemporaryDir dir;
    writeFile(dir.filePath("config.ini"), fourTypes());
    Catalogue catalogue(dir.path(), "/tmp");
    QVERIFY(!catalogue.LoadSettings());
    const RequestHeaders headers = RequestHeaders::captured("http://a.test/referer-page", "session=s3cret", "Agent/9");
    catalogue.ClassifyLink(catalogue.tree().BaseNode(), FileMode::Found, "http://a.test/1.flv", &headers);
    QVERIFY(catalogue.tree().FindByCaption("http://a.test/1.flv")->headers());
    QVERIFY(!catalogue.SaveResourceList());
    const QByteArray list = readFile(dir.filePath("zywj.txt"));
    QVERIFY(list.contains("http://a.test/1.flv"));
    for (const char *secret : {"s3cret", "referer-page", "Agent/9"}) {
        QVERIFY2(!list.contains(secret), secret);
        QVERIFY2(!readFile(dir.filePath("config.ini")).contains(secret), secret);
    }
    Catalogue again(dir.path(), "/tmp");
    QVERIFY(!again.LoadSettings());
    QVERIFY(!again.tree().FindByCaption("http://a.test/1.flv")->headers());

    // A request read from a stream (HTTPS, HTTP/2) takes the same road, headers checked:
    // a value that could split a request is dropped.
    streams::StreamRequest request;
    request.method = "GET";
    request.scheme = "https";
    request.authority = "b.test";
    request.path = "/v/2.flv";
    request.referer = "https://b.test/watch";
    request.cookie = "s=1\r\nX-Injected: 1";
    request.userAgent = "Agent/10";
    CaptureRoad road(again);
    road.setEveryAddressLocal(true);
    const std::optional<Classification> filed = road.fileStreamRequest(request);
    QVERIFY(filed);
    QCOMPARE(filed->outcome, Classification::Filed);
    const TreeNode *node = again.tree().FindByCaption("https://b.test/v/2.flv");
    QVERIFY(node && node->headers());
    QCOMPARE(*node->headers(), RequestHeaders({"https://b.test/watch", {}, "Agent/10"}));
}

// Each request is filed once, whether the datagram rule, the stream reader or both read
// it, and the resource keeps the headers of the newest request, read whole: the stream
// reader has a head split over segments whole, where a single datagram does not.
void TestCatalogue::captureRoadFilesEachRequestOnce_data()
{
    QTest::addColumn<QList<QByteArray>>("segments"); // in order, on one connection
    QTest::addColumn<int>("requests");
    QTest::addColumn<int>("filed");
    QTest::addColumn<QByteArray>("cookie"); // of http://h.test/a.mp3

    const QByteArray a = "GET /a.mp3 HTTP/1.1\r\nHost: h.test\r\n";
    const QByteArray b = "GET /b.mp3 HTTP/1.1\r\nHost: h.test\r\n\r\n";
    QTest::newRow("one segment") << QList<QByteArray>{a + "Cookie: c=1\r\n\r\n"} << 1 << 1 << QByteArray("c=1");
    QTest::newRow("no headers") << QList<QByteArray>{a + "\r\n"} << 1 << 1 << QByteArray();
    QTest::newRow("head over two segments") << QList<QByteArray>{a, "Cookie: c=2\r\n\r\n"} << 1 << 1 << QByteArray("c=2");
    QTest::newRow("again with a new cookie")
        << QList<QByteArray>{a + "Cookie: c=1\r\n\r\n", a + "Cookie: c=3\r\n\r\n"} << 2 << 1 << QByteArray("c=3");
    QTest::newRow("again without a cookie")
        << QList<QByteArray>{a + "Cookie: c=1\r\n\r\n", a + "\r\n"} << 2 << 1 << QByteArray("c=1");
    QTest::newRow("two requests in one segment")
        << QList<QByteArray>{a + "Cookie: c=4\r\n\r\n" + b} << 2 << 2 << QByteArray("c=4");
    // Two requests, both counted: the stream reader reads them both, and the datagram rule,
    // which would read the last of them alone, does not read what the reader reads.
    QTest::newRow("the same address twice in one segment")
        << QList<QByteArray>{a + "Cookie: c=5\r\n\r\n" + a + "Cookie: c=6\r\n\r\n"} << 2 << 1 << QByteArray("c=6");
    QTest::newRow("cookie in the second segment, then again in one")
        << QList<QByteArray>{a, "Cookie: c=7\r\n\r\n", a + "Cookie: c=8\r\n\r\n"} << 2 << 1 << QByteArray("c=8");
}

void TestCatalogue::captureRoadFilesEachRequestOnce()
{
    QFETCH(QList<QByteArray>, segments);
    QFETCH(int, requests);
    QFETCH(int, filed);
    QFETCH(QByteArray, cookie);

    QTemporaryDir dir;
    writeFile(dir.filePath("config.ini"), fourTypes());
    Catalogue catalogue(dir.path(), "/tmp");
    QVERIFY(!catalogue.LoadSettings());
    CaptureRoad road(catalogue);
    const IpAddress local = IpAddress::v4(0xC0000207);
    int foundRequests = 0, foundFiled = 0;
    std::uint32_t seq = 1000;
    for (const QByteArray &payload : segments) {
        const QByteArray bytes = segmentFromLocal(seq, payload);
        seq += std::uint32_t(payload.size());
        const Datagram datagram = DecodeDatagram(local, Bytes(reinterpret_cast<const std::byte *>(bytes.constData()),
                                                             std::size_t(bytes.size())));
        const CaptureRoad::Result r = road.deliver(datagram, seq);
        foundRequests += r.requests;
        foundFiled += r.filed;
    }
    QCOMPARE(foundRequests, requests);
    QCOMPARE(foundFiled, filed);
    const TreeNode *node = catalogue.tree().FindByCaption("http://h.test/a.mp3");
    QVERIFY(node);
    QCOMPARE(node->headers() ? node->headers()->cookie : QByteArray(), cookie);
}

// A request whose address the type table does not file is filed by what it asked for,
// when qqfl is on: by a single datagram and by its stream (a head over two segments).
void TestCatalogue::captureRoadFilesWhatWasAskedFor_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QList<QByteArray>>("headers"); // the head's lines after Host, one segment each
    QTest::addColumn<bool>("on");                   // qqfl=1
    QTest::addColumn<QString>("category");          // empty: not filed

    const QList<QByteArray> video{"Sec-Fetch-Dest: video\r\nRange: bytes=0-\r\n"};
    QTest::newRow("video") << QByteArray("/stream/42") << video << true << "03-视频";
    QTest::newRow("audio") << QByteArray("/api/song?id=3") << QList<QByteArray>{"Sec-Fetch-Dest: audio\r\n"} << true
                           << "02-音乐";
    QTest::newRow("image") << QByteArray("/img?id=7")
                           << QList<QByteArray>{"Accept: image/avif,image/webp,*/*;q=0.8\r\nSec-Fetch-Dest: image\r\n"}
                           << true << "04-图片";
    QTest::newRow("a range from fetch()") << QByteArray("/videoplayback?itag=18")
                                          << QList<QByteArray>{"Sec-Fetch-Dest: empty\r\nRange: bytes=0-65535\r\n"}
                                          << true << "03-视频";
    QTest::newRow("a range, no destination") << QByteArray("/media/8f3a") << QList<QByteArray>{"Range: bytes=100-\r\n"}
                                             << true << "03-视频";
    QTest::newRow("pictures first, no destination")
        << QByteArray("/thumb/9") << QList<QByteArray>{"Accept: image/png,image/*;q=0.8\r\n"} << true << "04-图片";
    QTest::newRow("a page") << QByteArray("/watch")
                            << QList<QByteArray>{"Sec-Fetch-Dest: document\r\nAccept: text/html,image/webp\r\n"}
                            << true << "";
    QTest::newRow("a track") << QByteArray("/subs/1") << QList<QByteArray>{"Sec-Fetch-Dest: track\r\n"} << true << "";
    QTest::newRow("an unknown extension") << QByteArray("/v/clip.xyz") << video << true << "03-视频";
    QTest::newRow("a known extension wins") << QByteArray("/a/pack.zip") << video << true << "05-压缩";
    QTest::newRow("the switch off") << QByteArray("/stream/42") << video << false << "";
    QTest::newRow("the destination in a second segment")
        << QByteArray("/stream/43") << QList<QByteArray>{"User-Agent: ua\r\n", "Sec-Fetch-Dest: audio\r\n"} << true
        << "02-音乐";
}

void TestCatalogue::captureRoadFilesWhatWasAskedFor()
{
    QFETCH(QByteArray, path);
    QFETCH(QList<QByteArray>, headers);
    QFETCH(bool, on);
    QFETCH(QString, category);

    QTemporaryDir dir;
    writeFile(dir.filePath("config.ini"),
              toGbk(QStringLiteral("[XT]\r\nmaxtype=5\r\n1=\r\n2=.mp3;.wma\r\n3=.flv;.mp4\r\n4=.jpg\r\n5=.zip\r\n"
                                   "lxmc=01-网页连接;02-音乐;03-视频;04-图片;05-压缩;\r\nqqfl=%1\r\n")
                        .arg(on ? 1 : 0)));
    Catalogue catalogue(dir.path(), "/tmp");
    QVERIFY(!catalogue.LoadSettings());
    CaptureRoad road(catalogue);
    const IpAddress local = IpAddress::v4(0xC0000207);
    QList<QByteArray> segments = headers;
    segments.first().prepend("GET " + path + " HTTP/1.1\r\nHost: h.test\r\n");
    segments.last().append("\r\n");
    std::uint32_t seq = 1000;
    for (const QByteArray &payload : segments) {
        const QByteArray bytes = segmentFromLocal(seq, payload);
        seq += std::uint32_t(payload.size());
        road.deliver(DecodeDatagram(local, Bytes(reinterpret_cast<const std::byte *>(bytes.constData()),
                                                       std::size_t(bytes.size()))),
                     seq);
    }
    const TreeNode *node = catalogue.tree().FindByCaption(QStringLiteral("http://h.test") + QString::fromLatin1(path));
    QCOMPARE(node && node->parent() ? node->parent()->caption() : QString(), category);
}

// What was filed by its request comes back from zywj.txt under the category it was saved
// under, while qqfl is on; an extension the table knows still decides.
void TestCatalogue::askedForMediaKeepsItsCategory_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("on");
    QTest::addColumn<QString>("category"); // empty: kept aside
    QTest::newRow("video") << "03-视频  http://h.test/stream/42" << true << "03-视频";
    QTest::newRow("downloaded") << "√02-音乐  http://h.test/api/song?id=3" << true << "√02-音乐";
    QTest::newRow("a known extension wins") << "03-视频  http://h.test/a.mp3" << true << "02-音乐";
    QTest::newRow("a category the table does not have") << "09-其他  http://h.test/stream/42" << true << "";
    QTest::newRow("a root is no category") << "取得资源  http://h.test/stream/42" << true << "";
    QTest::newRow("the switch off") << "03-视频  http://h.test/stream/42" << false << "";
}

void TestCatalogue::askedForMediaKeepsItsCategory()
{
    QFETCH(QString, line);
    QFETCH(bool, on);
    QFETCH(QString, category);
    QTemporaryDir dir;
    writeFile(dir.filePath("config.ini"), fourTypes() + (on ? "qqfl=1\r\n" : ""));
    writeFile(dir.filePath("zywj.txt"), toGbk(line + "\r\n"));
    Catalogue catalogue(dir.path(), "/tmp");
    QVERIFY(!catalogue.LoadSettings());
    const QString address = line.mid(line.indexOf("http"));
    const TreeNode *node = catalogue.tree().FindByCaption(address);
    QCOMPARE(node && node->parent() ? node->parent()->caption() : QString(), category);
    // Nothing is lost: the list written again holds the line, filed or kept aside.
    QVERIFY(!catalogue.SaveResourceList());
    QVERIFY(fromGbk(readFile(dir.filePath("zywj.txt"))).contains(address));
}

// Captured traffic fills the tree up to its capacity and no further, in nodes or in text:
// new addresses are refused with one log line, those already filed still take newer
// headers, and what the user puts back (a task returned to the tree) always finds room.
// Room made by the user lets capture go on, and a tree full again says so again.
void TestCatalogue::captureStopsAtCapacity_data()
{
    QTest::addColumn<bool>("byText"); // the text bound reached first, not the node count
    QTest::newRow("nodes") << false;
    QTest::newRow("text") << true;
}

void TestCatalogue::captureStopsAtCapacity()
{
    QFETCH(bool, byText);
    QTemporaryDir dir;
    writeFile(dir.filePath("config.ini"), fourTypes());
    Catalogue catalogue(dir.path(), "/tmp");
    QVERIFY(!catalogue.LoadSettings());
    ResourceTree &tree = catalogue.tree();
    const auto address = [](int i) { return QStringLiteral("http://h.test/%1.mp3").arg(i, 3, 10, QLatin1Char('0')); };

    // What one captured resource costs, measured on the tree itself.
    const std::size_t empty = tree.textBytes();
    CaptureRoad probe(catalogue);
    // Each resource asked for on a connection of its own, each request of a connection
    // after the one before it.
    std::map<int, std::uint32_t> nextSeq;
    const auto capture = [&address, &nextSeq](CaptureRoad &road, int i, const QByteArray &cookie) {
        const QByteArray request = "GET /" + address(i).mid(14).toLatin1() + " HTTP/1.1\r\nHost: h.test\r\n"
                                   + (cookie.isEmpty() ? QByteArray() : "Cookie: " + cookie + "\r\n") + "\r\n";
        std::uint32_t &seq = nextSeq.try_emplace(i, 1000u).first->second;
        const QByteArray bytes = segmentFromLocal(seq, request, std::uint16_t(40000 + i));
        seq += std::uint32_t(request.size());
        const Datagram datagram = DecodeDatagram(IpAddress::v4(0xC0000207),
                                                 Bytes(reinterpret_cast<const std::byte *>(bytes.constData()),
                                                       std::size_t(bytes.size())));
        return road.deliver(datagram, 1000 + i);
    };
    QCOMPARE(capture(probe, 999, {}).filed, 1);
    const std::size_t perResource = tree.textBytes() - empty;
    QVERIFY(perResource >= std::size_t(address(999).size()) * 2);
    tree.deleteNode(tree.FindByCaption(address(999)));
    QCOMPARE(tree.textBytes(), empty);

    TreeCapacity capacity;
    if (byText)
        capacity.textBytes = empty + 10 * perResource;
    else
        capacity.nodes = tree.count() + 10;
    tree.setCapacity(capacity);

    CaptureRoad road(catalogue);
    QStringList notices;
    road.onNotice = [&notices](const QString &line) { notices << line; };
    int filed = 0;
    for (int i = 0; i < 50; ++i)
        filed += capture(road, i, {}).filed;
    QCOMPARE(filed, 10);
    QCOMPARE(notices.size(), 1);
    QVERIFY2(notices.first().contains(QStringLiteral("资源列表已满")), qPrintable(notices.first()));
    QVERIFY(tree.FindByCaption(address(9)) && !tree.FindByCaption(address(10)));

    // Filed already: still takes the newest headers, and nothing more is said.
    capture(road, 3, "c=new");
    QVERIFY(tree.FindByCaption(address(3))->headers());
    QCOMPARE(tree.FindByCaption(address(3))->headers()->cookie, QByteArray("c=new"));
    QCOMPARE(notices.size(), 1);

    // The user's own: a task back in the tree finds room beyond the capacity.
    const Classification back = catalogue.ClassifyLink(tree.BaseNode(), FileMode::Found, address(500));
    QCOMPARE(back.outcome, Classification::Filed);

    // Room made: capture files again, and a tree full again says so again.
    for (int i : {0, 1, 2, 500})
        tree.deleteNode(tree.FindByCaption(address(i)));
    QCOMPARE(capture(road, 60, {}).filed, 1);
    for (int i = 61; i < 70; ++i)
        capture(road, i, {});
    QCOMPARE(notices.size(), 2);
    QVERIFY(byText ? tree.textBytes() <= capacity.textBytes : tree.count() <= capacity.nodes);
}

// The road's tick follows the key log by its clock: a last line written without its end
// is taken once the file has not changed for a second, as a browser's whole lines are.
void TestCatalogue::captureRoadTakesAQuietLastKeyLogLine()
{
    QTemporaryDir dir;
    writeFile(dir.filePath("config.ini"), fourTypes());
    Catalogue catalogue(dir.path(), "/tmp");
    CaptureRoad road(catalogue);
    const QString keyLog = dir.filePath("keys.log");
    writeFile(keyLog, "CLIENT_RANDOM " + QByteArray(64, 'a') + " " + QByteArray(96, 'b'));
    QVERIFY(QFile::setPermissions(keyLog, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    QVERIFY(road.keyLog().follow(keyLog));
    road.tick(5000);
    road.tick(5250);
    QCOMPARE(road.keyLog().size(), std::size_t(0));
    road.tick(6000);
    QCOMPARE(road.keyLog().size(), std::size_t(1));
}

QTEST_GUILESS_MAIN(TestCatalogue)
#include "test_catalogue.moc"
