// The window on a desktop: where every control sits at the designed size, where the room
// goes when it grows (whole addresses in the tree, seen in a screenshot), what it
// remembers, its icon, the long log lines, the starter config.ini at the first start, and
// one window per folder, with the real program started twice.

#include "base/gbk_text.h"
#include "settings/file_places.h"
#include "shell/mainform.h"
#include "shell/promo_strip.h"
#include "shell/resource_tree_view.h"
#include "shell/single_window.h"
#include "shell/window_layout.h"
#include "shell/monitoring_captions.h"

#include <QLocalSocket>
#include <QLockFile>
#include <QPlainTextEdit>
#include <QProcess>
#include <QScrollArea>
#include <QScrollBar>
#include <QLabel>
#include <QSettings>
#include <QSplitter>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextLayout>
#include <QToolBar>
#include <QTreeView>
#include <QtTest>

#include "window_test_main.h"

#include <cmath>
#include <csignal>
#include <unistd.h>

#include "test_files.h"

using namespace quorrel;
using quorrel::test::readFile;
using quorrel::test::writeFile;

namespace {

QByteArray config()
{
    return toGbk(QStringLiteral("[XT]\r\nxzpath=/tmp/q\r\nfxwy=1\r\nmaxtype=3\r\n1=.htm\r\n2=.mp3\r\n3=.jpg\r\n"
                                "lxmc=01-网页连接;02-音乐;03-图片;\r\n"));
}

// Addresses as today's sites write them: long enough to be cut in a 204-pixel pane.
const QStringList kAddresses = {
    QStringLiteral("http://127.0.0.1:8080/media/2024/podcast/episode-017-interview.mp3"),
    QStringLiteral("http://cdn.example.test/music/albums/the-long-road/03-night-drive.mp3"),
    QStringLiteral("http://static.example.test/images/gallery/2024/06/beach-sunset.jpg"),
};

// Where a child sits in the window's client area.
QRect in(const QWidget *window, const QWidget *w)
{
    return QRect(w->mapTo(window, QPoint(0, 0)), w->size());
}

// The width an item needs to show whole: check box, icon and text.
int neededWidth(QTreeView *view, const QModelIndex &index)
{
    QStyleOptionViewItem option;
    option.initFrom(view);
    option.font = view->font();
    return view->itemDelegateForIndex(index)->sizeHint(option, index).width();
}

} // namespace

class TestDesktop : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void layoutAtTheDesignedSize();
    void grownRoomGoesToTheTreeAndTheTaskList_data();
    void grownRoomGoesToTheTreeAndTheTaskList();
    void smallWindowsDrawNothingOverAnything_data();
    void smallWindowsDrawNothingOverAnything();
    void rememberedStateBelowTheMinimumIsNotRestored_data();
    void rememberedStateBelowTheMinimumIsNotRestored();
    void selectedTaskStaysReadableWithoutFocus();
    void sizeAndSplitAreRemembered();
    void icon();
    void longLogLinesWrap();
    void starterConfigFilesAtTheFirstStart();
    void starterDoesNotReplaceTheUsersFile();
    void secondStartIsRefused();
    void staleLockDoesNotStopAStart();
    void folderWithoutALockRunsAndSaysWhy();

private:
    TMainform *open();
    void fill(TMainform *w);

    std::unique_ptr<QTemporaryDir> m_dir;
    TMainform *m_window = nullptr;
};

void TestDesktop::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    // Every case starts from a window that remembers nothing.
    QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("quorrel"), QStringLiteral("window")).clear();
}

void TestDesktop::cleanup()
{
    delete m_window;
    m_window = nullptr;
}

TMainform *TestDesktop::open()
{
    writeFile(m_dir->filePath("config.ini"), config());
    m_window = new TMainform(m_dir->path());
    m_window->setInform([](const QString &text) { QFAIL(qPrintable(text)); });
    m_window->Timesys->stop(); // no capture here: the layout is the point
    m_window->show();
    if (!QTest::qWaitForWindowExposed(m_window))
        qWarning("the window was not exposed");
    return m_window;
}

void TestDesktop::fill(TMainform *w)
{
    for (const QString &address : kAddresses)
        w->catalogue().ClassifyLink(nullptr, FileMode::Found, address);
    w->fclstxzzy->expandFoundSide();
}

void TestDesktop::layoutAtTheDesignedSize()
{
    TMainform *w = open();
    QCOMPARE(w->size(), QSize(768, 594));
    QCOMPARE(w->pos(), QPoint(203, 108));
    QCOMPARE(in(w, w->RzToolbar1), QRect(0, 0, 768, 51));
    const QRect tree = in(w, w->RzSizePanel2);
    QCOMPARE(tree.left(), 0);
    QCOMPARE(tree.width(), 204);
    QVERIFY2(tree.top() >= 51 && tree.height() >= 281, qPrintable(QStringLiteral("%1 %2").arg(tree.top()).arg(tree.height())));
    const QRect right = in(w, w->RzSizePanel3);
    QCOMPARE(right.width(), 143);
    QCOMPARE(right.right(), 767);
    const QRect centre = in(w, w->RzSizePanel4);
    QVERIFY(centre.left() > tree.right() && centre.right() < right.left()); // fills the space between
    QVERIFY(right.left() - centre.right() <= 4);
    QCOMPARE(centre.top(), tree.top());
    QCOMPARE(centre.height(), tree.height());
    QCOMPARE(w->RzLabel1->height(), 19);
    QCOMPARE(w->RzLabel1->width(), centre.width());
    const QRect list = in(w, w->lstxzrw);
    QCOMPARE(list.top(), in(w, w->RzLabel1).bottom() + 1);
    QCOMPARE(list.bottom(), centre.bottom()); // the task list fills the pane
    const QRect log = in(w, w->redit1);
    QCOMPARE(log.left(), 0);
    QCOMPARE(log.width(), 768);
    QCOMPARE(log.height(), 111);
    QVERIFY(log.top() > tree.bottom());
    const QRect strip = in(w, w->RzSizePanel6);
    QCOMPARE(strip.width(), 768);
    QCOMPARE(strip.height(), 119);
    QVERIFY(strip.top() > log.bottom());
    QCOMPARE(in(w, w->statusBar()), QRect(0, 594 - 19, 768, 19));
    QCOMPARE(w->stat1[0]->width(), 400);
    QCOMPARE(w->stat1[1]->width(), 200);
    QCOMPARE(w->stat1[2]->width(), 50);
    QVERIFY(strip.bottom() < 594 - 19);

    // At this width a whole address does not fit in the tree pane: what a larger
    // window is for.
    fill(w);
    const QModelIndex first = w->tree().indexOf(w->tree().FindByCaption(kAddresses[0]));
    QVERIFY(first.isValid());
    QVERIFY(neededWidth(w->fclstxzzy, first) > w->fclstxzzy->visualRect(first).width());
}

void TestDesktop::grownRoomGoesToTheTreeAndTheTaskList_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("whole"); // every sample address shows whole in the tree
    // Half of 512 more pixels is not quite enough for the longest sample, 70 characters.
    QTest::newRow("1280x900") << QSize(1280, 900) << false;
    QTest::newRow("1600x1000") << QSize(1600, 1000) << true;
}

void TestDesktop::grownRoomGoesToTheTreeAndTheTaskList()
{
    QFETCH(QSize, size);
    QFETCH(bool, whole);
    TMainform *w = open();
    fill(w);
    const int listHeight = w->lstxzrw->height();
    const int treeWidth = w->RzSizePanel2->width();
    const int centreWidth = w->RzSizePanel4->width();
    w->resize(size);
    QTRY_COMPARE(w->size(), size);
    QTest::qWait(50); // the layouts settle

    // The tree and the centre share the width, half each, the centre up to the window's
    // right edge: no empty band beside the task list.
    const int grown = size.width() - 768 + 143 + 2; // the empty band's width and its gap too
    QCOMPARE(w->RzSizePanel2->width(), treeWidth + grown / 2);
    QCOMPARE(w->RzSizePanel4->width(), centreWidth + grown - grown / 2);
    QVERIFY(!w->RzSizePanel3->isVisible());
    QCOMPARE(in(w, w->RzSizePanel4).right(), size.width() - 1);
    QCOMPARE(in(w, w->lstxzrw).right(), size.width() - 1);
    QCOMPARE(w->lstxzrw->height(), listHeight + size.height() - 594); // the task list the height
    QCOMPARE(w->redit1->height(), 111);
    QCOMPARE(w->RzSizePanel6->height(), 119);
    QCOMPARE(w->RzToolbar1->height(), 51);
    QCOMPARE(in(w, w->statusBar()), QRect(0, size.height() - 19, size.width(), 19));
    QCOMPARE(in(w, w->redit1).width(), size.width());

    // Every address shows whole.
    for (const QString &address : kAddresses) {
        const QModelIndex index = w->tree().indexOf(w->tree().FindByCaption(address));
        QVERIFY(index.isValid());
        const QRect shown = w->fclstxzzy->visualRect(index);
        if (!whole)
            break;
        QVERIFY2(!shown.isEmpty() && neededWidth(w->fclstxzzy, index) <= shown.width(),
                 qPrintable(QStringLiteral("%1: needs %2, has %3").arg(address).arg(neededWidth(w->fclstxzzy, index)).arg(shown.width())));
    }
    const QString shot = QStringLiteral(QUORREL_TEST_OUTPUT "/window-%1x%2.png").arg(size.width()).arg(size.height());
    QVERIFY2(w->grab().save(shot), qPrintable(shot));
    qInfo("screenshot: %s", qPrintable(shot));

    // Maximised (as far as the display's window manager allows), the same rule holds.
    w->showMaximized();
    QTest::qWait(200);
    QVERIFY(w->RzSizePanel2->width() >= 204);
    QCOMPARE(in(w, w->RzSizePanel4).right(), w->width() - 1);
    QCOMPARE(w->redit1->height(), 111);
}

namespace {

// The controls of the window that must never be drawn over one another, by name, in the
// window's coordinates.
struct Area {
    const char *name;
    QRect rect;
};

// The first two areas that overlap, named; empty when none does.
QString overlapping(const QList<Area> &areas)
{
    for (int i = 0; i < areas.size(); ++i)
        for (int j = i + 1; j < areas.size(); ++j)
            if (areas[i].rect.intersects(areas[j].rect))
                return QStringLiteral("%1 (%2,%3 %4x%5) and %6 (%7,%8 %9x%10)")
                    .arg(QLatin1String(areas[i].name)).arg(areas[i].rect.x()).arg(areas[i].rect.y())
                    .arg(areas[i].rect.width()).arg(areas[i].rect.height())
                    .arg(QLatin1String(areas[j].name)).arg(areas[j].rect.x()).arg(areas[j].rect.y())
                    .arg(areas[j].rect.width()).arg(areas[j].rect.height());
    return {};
}

} // namespace

void TestDesktop::smallWindowsDrawNothingOverAnything_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("fits"); // at least the window's minimum: every control whole and usable
    QTest::newRow("the minimum") << WindowLayout::kMinimumSize << true;
    QTest::newRow("560x420") << QSize(560, 420) << true;
    QTest::newRow("300x200, by a window manager that ignores the minimum") << QSize(300, 200) << false;
}

// Made small, the window first gives up what holds nothing (the empty band beside the task
// list, the empty part of the link strip); the tree and the task list keep their minimum;
// nothing is drawn over anything, whatever size the window is given.
void TestDesktop::smallWindowsDrawNothingOverAnything()
{
    QFETCH(QSize, size);
    QFETCH(bool, fits);
    TMainform *w = open();
    fill(w);
    w->tasks.AddTask("http://a.test/a.mp3", "a.mp3", "/tmp/q");
    QCOMPARE(w->minimumSize(), WindowLayout::kMinimumSize);
    QVERIFY(!fits || (size.width() >= w->minimumWidth() && size.height() >= w->minimumHeight()));
    if (!fits) {
        QVERIFY(size.width() < w->minimumWidth()); // the minimum forbids it where it is obeyed
        w->setMinimumSize(0, 0);                  // a window manager that does not
    }
    w->resize(size);
    QTRY_COMPARE(w->size(), size);
    QTest::qWait(100); // the layouts settle
    const QString shot = QStringLiteral(QUORREL_TEST_OUTPUT "/window-%1x%2.png").arg(size.width()).arg(size.height());
    QVERIFY2(w->grab().save(shot), qPrintable(shot));
    qInfo("screenshot: %s", qPrintable(shot));

    auto *area = qobject_cast<QScrollArea *>(w->centralWidget());
    QVERIFY(area);
    QWidget *bands = area->widget();
    const auto inBands = [bands](const QWidget *c) { return QRect(c->mapTo(bands, QPoint(0, 0)), c->size()); };
    // The window's three rows, then the bands in them, the links in their strip, the panels
    // in the status bar: side by side, never over one another.
    const QString rows = overlapping({{"toolbar", in(w, w->RzToolbar1)}, {"bands", in(w, area)}, {"status bar", in(w, w->statusBar())}});
    QVERIFY2(rows.isEmpty(), qPrintable(rows));
    QList<Area> inside{{"tree", inBands(w->RzSizePanel2)}, {"task list", inBands(w->RzSizePanel4)},
                       {"log", inBands(w->redit1)}, {"link strip", inBands(w->RzSizePanel6)}};
    if (w->RzSizePanel3->isVisible())
        inside.append({"empty band", inBands(w->RzSizePanel3)});
    QString overlap = overlapping(inside);
    QVERIFY2(overlap.isEmpty(), qPrintable(overlap));
    QList<Area> links;
    for (int i = 0; i < 3; ++i) {
        const QRect link(w->RzSizePanel6->label(i)->geometry());
        QVERIFY2(QRect(QPoint(0, 0), w->RzSizePanel6->size()).contains(link), qPrintable(QString::number(i)));
        links.append({i == 0 ? "link 0" : i == 1 ? "link 1" : "link 2", link});
    }
    overlap = overlapping(links);
    QVERIFY2(overlap.isEmpty(), qPrintable(overlap));
    QList<Area> panels;
    for (int i = 0; i < 3; ++i) {
        QLabel *panel = w->stat1[i];
        if (panel->width() > 0 && panel->isVisible()) {
            QVERIFY2(QRect(QPoint(0, 0), w->statusBar()->size()).contains(QRect(panel->mapTo(w->statusBar(), QPoint(0, 0)), panel->size())),
                     qPrintable(QString::number(i)));
            panels.append({i == 0 ? "panel 0" : i == 1 ? "panel 1" : "panel 2", in(w, panel)});
        }
    }
    overlap = overlapping(panels);
    QVERIFY2(overlap.isEmpty(), qPrintable(overlap));
    // The tree and the task list keep their minimum.
    QVERIFY(w->RzSizePanel2->width() >= WindowLayout::kTreeMinimum.width());
    QVERIFY(w->RzSizePanel2->height() >= WindowLayout::kTreeMinimum.height());
    QVERIFY(w->lstxzrw->height() >= WindowLayout::kTaskListMinimum.height());
    QVERIFY(w->RzSizePanel4->width() >= WindowLayout::kTaskListMinimum.width());
    if (!fits) {
        // What the window cannot show is reached by scrolling.
        QVERIFY(area->horizontalScrollBar()->isVisible() && area->verticalScrollBar()->isVisible());
        return;
    }
    // Every control whole in the window: nothing to scroll to.
    QVERIFY(!area->horizontalScrollBar()->isVisible() && !area->verticalScrollBar()->isVisible());
    const QRect window(QPoint(0, 0), size);
    for (const Area &a : inside)
        QVERIFY2(window.contains(in(w, bands).translated(a.rect.topLeft()).topLeft())
                     && window.contains(QRect(in(w, bands).topLeft() + a.rect.topLeft(), a.rect.size())),
                 a.name);
    for (QAction *action : w->RzToolbar1->actions())
        if (QWidget *button = w->RzToolbar1->widgetForAction(action))
            QVERIFY2(button->isVisible() && window.contains(in(w, button)), qPrintable(action->text()));
    for (int i = 0; i < 3; ++i) {
        QLabel *link = w->RzSizePanel6->label(i);
        QVERIFY2(link->width() >= link->sizeHint().width() && window.contains(in(w, link)), qPrintable(QString::number(i)));
    }
    // The tree shows seven rows and the task list three; the parts that hold nothing gave
    // way first.
    const int row = w->fclstxzzy->visualRect(w->tree().indexOf(w->tree().FoundRoot())).height();
    QVERIFY(row > 0);
    QVERIFY2(w->fclstxzzy->viewport()->height() >= 7 * row, qPrintable(QString::number(w->fclstxzzy->viewport()->height())));
    QVERIFY2(w->lstxzrw->viewport()->height() >= 3 * row, qPrintable(QString::number(w->lstxzrw->viewport()->height())));
    QVERIFY(!w->RzSizePanel3->isVisible());
    QCOMPARE(w->RzSizePanel6->height(), WindowLayout::kStripLinksHeight);
    QCOMPARE(w->stat1[2]->width(), 50);
    QCOMPARE(w->stat1[1]->width(), 200);
    QVERIFY(w->stat1[0]->width() >= w->stat1[0]->fontMetrics().horizontalAdvance(kStartPrompt));
    QCOMPARE(w->redit1->height(), 111);
}

void TestDesktop::rememberedStateBelowTheMinimumIsNotRestored_data()
{
    QTest::addColumn<int>("tree");  // the tree's remembered width, 0 for none
    QTest::addColumn<int>("list");  // the task list's, 0 for none
    QTest::addColumn<QSize>("size"); // the window's remembered size, invalid for none
    QTest::newRow("a tree of 100 px") << 100 << 0 << QSize();
    QTest::newRow("a task list of 100 px") << 0 << 100 << QSize();
    QTest::newRow("a window of 300 x 200") << 0 << 0 << QSize(300, 200);
}

// A split an older version left (its tree's minimum was 100 px), or a size a window manager
// that ignores the minimum gave: the window opens as designed instead.
void TestDesktop::rememberedStateBelowTheMinimumIsNotRestored()
{
    QFETCH(int, tree);
    QFETCH(int, list);
    QFETCH(QSize, size);
    QSettings state(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("quorrel"), QStringLiteral("window"));
    if (size.isValid()) {
        TMainform *w = open();
        w->setMinimumSize(0, 0);
        w->resize(size);
        QTRY_COMPARE(w->size(), size);
        w->close();
        delete m_window;
        m_window = nullptr;
    } else {
        // As the splitter of the designed window saves it, with panes that have no minimum.
        QSplitter split;
        split.addWidget(new QWidget);
        split.addWidget(new QWidget);
        split.setHandleWidth(4);
        const int total = 768 - 143 - 2 - 4;
        split.resize(total + 4, 100);
        const QList<int> sizes{tree ? tree : total - list, tree ? total - tree : list};
        split.setSizes(sizes);
        QCOMPARE(split.sizes(), sizes);
        state.setValue("split", split.saveState());
    }
    state.sync();

    TMainform *again = open();
    QTest::qWait(50);
    QCOMPARE(again->size(), WindowLayout::kDesignedSize);
    QCOMPARE(again->pos(), QPoint(203, 108));
    if (!size.isValid())
        QCOMPARE(again->RzSizePanel2->width(), 204);
    QVERIFY(again->RzSizePanel2->width() >= WindowLayout::kTreeMinimum.width());
    QVERIFY(again->RzSizePanel4->width() >= WindowLayout::kTaskListMinimum.width());
}

// A task row chosen in the list stays chosen, and readable, when another control has the
// focus: its text stands out from the selection's colour as ordinary text from the page.
void TestDesktop::selectedTaskStaysReadableWithoutFocus()
{
    TMainform *w = open();
    w->tasks.AddTask("http://a.test/some/long/address/song.mp3", "song.mp3", "/tmp/q");
    w->tasks.AddTask("http://a.test/other.mp3", "other.mp3", "/tmp/q");
    w->lstxzrw->setCurrentIndex(w->tasks.index(0, 1));
    w->activateWindow();
    w->fclstxzzy->setFocus();
    QTRY_VERIFY(w->fclstxzzy->hasFocus());
    QVERIFY(!w->lstxzrw->hasFocus());
    QVERIFY(w->lstxzrw->selectionModel()->isRowSelected(0, {}));
    QTest::qWait(100);
    QImage shot = w->lstxzrw->viewport()->grab().toImage();
    const QString file = QStringLiteral(QUORREL_TEST_OUTPUT "/task-selected-unfocused.png");
    shot.save(file);
    const auto colours = [&shot, w](int row) {
        // The row's background is its most frequent colour; its text, the pixel farthest from it.
        const QRect r = w->lstxzrw->visualRect(w->tasks.index(row, 1)).adjusted(2, 2, -2, -2);
        QHash<QRgb, int> seen;
        for (int y = r.top(); y <= r.bottom(); ++y)
            for (int x = r.left(); x <= r.right(); ++x)
                ++seen[shot.pixel(x, y)];
        QRgb background = 0;
        int most = 0;
        for (auto it = seen.cbegin(); it != seen.cend(); ++it)
            if (it.value() > most) {
                most = it.value();
                background = it.key();
            }
        const auto luminance = [](QRgb c) {
            const auto channel = [](int v) {
                const double s = v / 255.0;
                return s <= 0.03928 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
            };
            return 0.2126 * channel(qRed(c)) + 0.7152 * channel(qGreen(c)) + 0.0722 * channel(qBlue(c));
        };
        double contrast = 1;
        for (auto it = seen.cbegin(); it != seen.cend(); ++it) {
            const double a = luminance(it.key()), b = luminance(background);
            contrast = std::max(contrast, (std::max(a, b) + 0.05) / (std::min(a, b) + 0.05));
        }
        return std::pair{background, contrast};
    };
    const auto [selected, selectedContrast] = colours(0);
    const auto [plain, plainContrast] = colours(1);
    QVERIFY2(selected != plain, "the chosen row still shows as chosen");
    // WCAG 2's contrast ratio for text: 4.5 at least.
    QVERIFY2(selectedContrast >= 4.5, qPrintable(QStringLiteral("%1 (plain rows: %2), %3").arg(selectedContrast).arg(plainContrast).arg(file)));

    // With the focus, in the desktop's selection colours (Fusion's blue under white text
    // comes to about 3.2, WCAG's ratio for large text).
    w->lstxzrw->setFocus();
    QTRY_VERIFY(w->lstxzrw->hasFocus());
    QTest::qWait(100);
    shot = w->lstxzrw->viewport()->grab().toImage();
    const auto [focused, focusedContrast] = colours(0);
    QVERIFY(focused != plain && focused != selected);
    QVERIFY2(focusedContrast >= 3, qPrintable(QString::number(focusedContrast)));
}

void TestDesktop::sizeAndSplitAreRemembered()
{
    TMainform *w = open();
    w->resize(1100, 800);
    QTRY_COMPARE(w->size(), QSize(1100, 800));
    w->middleSplitter()->setSizes({300, w->middleSplitter()->width() - 300 - w->middleSplitter()->handleWidth()});
    const QList<int> split = w->middleSplitter()->sizes();
    QCOMPARE(split.first(), 300);
    w->close();
    delete m_window;
    m_window = nullptr;
    // Remembered beside the user's other settings, not in config.ini.
    QVERIFY(!readFile(m_dir->filePath("config.ini")).contains("geometry"));
    QVERIFY(QFile::exists(QSettings(QSettings::IniFormat, QSettings::UserScope, "quorrel", "window").fileName()));

    TMainform *again = open();
    QTRY_COMPARE(again->size(), QSize(1100, 800));
    QCOMPARE(again->middleSplitter()->sizes(), split);
}

void TestDesktop::icon()
{
    TMainform *w = open();
    QVERIFY(!w->windowIcon().isNull());
    // The pictures built into the program, whatever the desktop's theme holds.
    for (int size : {16, 32, 48, 256})
        QCOMPARE(QImage(QStringLiteral(":/icons/quorrel-%1.png").arg(size)).size(), QSize(size, size));
}

void TestDesktop::longLogLinesWrap()
{
    TMainform *w = open();
    const QString line = QStringLiteral("任务下载完毕：") + QStringLiteral("/home/someone/Downloads/").repeated(8) + "file.mp3";
    w->note(line);
    QCoreApplication::processEvents();
    const QTextBlock block = w->redit1->document()->lastBlock();
    QCOMPARE(block.text(), line);
    QVERIFY2(block.layout()->lineCount() > 1, "a long line is shown on several lines");
    QCOMPARE(w->redit1->horizontalScrollBar()->maximum(), 0); // nothing to scroll sideways to
}

void TestDesktop::starterConfigFilesAtTheFirstStart()
{
    // Installed: the user's folders are empty, the starter config.ini comes with the package.
    const QString starter = QStringLiteral(QUORREL_STARTER_CONFIG);
    const QByteArray starterBytes = readFile(starter);
    QVERIFY2(starterBytes.startsWith("[XT]\r\n"), "the starter is written with CR LF");
    const FilePlaces places{m_dir->filePath("config/quorrel/config.ini"), m_dir->filePath("data/quorrel/zywj.txt"), starter};
    m_window = new TMainform(places);
    m_window->Timesys->stop();
    QCOMPARE(readFile(places.configPath), starterBytes); // copied byte for byte: GBK, CR LF

    // Music and video of today's web are filed at once, a signed address too (hlcs=1); a
    // page is not, as fxwy=0 says.
    const QStringList addresses = {"http://a.test/song.mp3", "http://a.test/clip.mp4", "http://a.test/live/index.m3u8",
                                   "http://a.test/index.html", "http://cdn.a.test/v/movie.webm?token=abc&t=1"};
    for (const QString &address : addresses)
        m_window->catalogue().ClassifyLink(nullptr, FileMode::Found, address);
    const auto categoryOf = [this](const QString &address) {
        const TreeNode *node = m_window->tree().FindByCaption(address);
        return node && node->parent() ? node->parent()->caption() : QString();
    };
    QCOMPARE(categoryOf(addresses[0]), QStringLiteral("02-音乐"));
    QCOMPARE(categoryOf(addresses[1]), QStringLiteral("03-视频"));
    QCOMPARE(categoryOf(addresses[2]), QStringLiteral("04-视频流"));
    QCOMPARE(categoryOf(addresses[3]), QString());
    QCOMPARE(categoryOf(addresses[4]), QStringLiteral("03-视频"));

    // The list goes to the data folder, the settings stay the user's.
    m_window->btntcClick();
    QVERIFY(readFile(places.resourceListPath).contains("http://a.test/song.mp3"));
    QVERIFY(!QFile::exists(m_dir->filePath("config/quorrel/zywj.txt")));
}

void TestDesktop::starterDoesNotReplaceTheUsersFile()
{
    const FilePlaces places{m_dir->filePath("c/config.ini"), m_dir->filePath("d/zywj.txt"), QStringLiteral(QUORREL_STARTER_CONFIG)};
    QVERIFY(QDir().mkpath(m_dir->filePath("c")));
    writeFile(places.configPath, config());
    m_window = new TMainform(places);
    m_window->Timesys->stop();
    QCOMPARE(readFile(places.configPath), config());
    QVERIFY(m_window->tree().FindByCaption(QStringLiteral("03-图片")));
}

namespace {

// The real program, copied into a folder of its own (bin/, as installed side by side),
// its files beside it.
struct Program {
    QTemporaryDir dir{QDir::tempPath() + QStringLiteral("/test_desktop-%1-XXXXXX").arg(QCoreApplication::applicationPid())};
    QString bin() const { return dir.filePath("bin"); }

    bool install()
    {
        return QDir().mkpath(bin()) && QFile::copy(QStringLiteral(QUORREL_BIN_DIR "/quorrel"), bin() + "/quorrel")
            && QFile::setPermissions(bin() + "/quorrel", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    void start(QProcess &p) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("QTWEBENGINE_DISABLE_SANDBOX", "1");
        env.insert("XDG_CONFIG_HOME", dir.filePath("config"));
        env.insert("XDG_DATA_HOME", dir.filePath("data"));
        env.insert("QUORREL_LANG", "zh"); // the texts looked for are the Chinese ones, whatever the machine's locale
        p.setProcessEnvironment(env);
        p.start(bin() + "/quorrel", {});
    }
};

// Waits until the first window holds its folder and answers on its socket.
bool listening(const QString &folder)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 30000) {
        QLocalSocket probe;
        probe.connectToServer(SingleWindow::serverName(folder));
        if (probe.waitForConnected(200))
            return true;
        QTest::qWait(200);
    }
    return false;
}

} // namespace

void TestDesktop::secondStartIsRefused()
{
    Program program;
    QVERIFY(program.install());
    writeFile(program.bin() + "/config.ini", config());
    QProcess first;
    program.start(first);
    QVERIFY(first.waitForStarted());
    QVERIFY2(listening(program.bin()), first.readAllStandardError().constData());

    QProcess second;
    program.start(second);
    QVERIFY(second.waitForFinished(30000));
    const QString said = QString::fromLocal8Bit(second.readAllStandardError());
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0); // the first window came to the front
    QVERIFY2(said.contains(QStringLiteral("已经有一个 Quorrel 窗口在运行，已把它提到最前面")), qPrintable(said));
    QCOMPARE(first.state(), QProcess::Running);

    // Ended in order, the first frees the folder: the next start is the window.
    ::kill(static_cast<pid_t>(first.processId()), SIGTERM);
    QVERIFY(first.waitForFinished(30000));
    QCOMPARE(first.exitCode(), 0);
    QVERIFY(QFile::exists(program.bin() + "/zywj.txt")); // saved where the program lies
    QVERIFY(!QFile::exists(program.bin() + "/.quorrel.lock"));
    QProcess third;
    program.start(third);
    QVERIFY(third.waitForStarted());
    QVERIFY(listening(program.bin()));
    ::kill(static_cast<pid_t>(third.processId()), SIGTERM);
    QVERIFY(third.waitForFinished(30000));
    QCOMPARE(third.exitCode(), 0);
}

void TestDesktop::staleLockDoesNotStopAStart()
{
    // A window killed without warning leaves its lock behind; its process is gone, so
    // the lock is stale however new it is.
    Program program;
    QVERIFY(program.install());
    QProcess first;
    program.start(first);
    QVERIFY(first.waitForStarted());
    QVERIFY(listening(program.bin()));
    first.kill();
    QVERIFY(first.waitForFinished(10000));
    QVERIFY(QFile::exists(program.bin() + "/.quorrel.lock"));

    QProcess second;
    program.start(second);
    QVERIFY(second.waitForStarted());
    QVERIFY2(listening(program.bin()), second.readAllStandardError().constData());
    QCOMPARE(second.state(), QProcess::Running);
    ::kill(static_cast<pid_t>(second.processId()), SIGTERM);
    QVERIFY(second.waitForFinished(30000));
    QCOMPARE(second.exitCode(), 0);
}

void TestDesktop::folderWithoutALockRunsAndSaysWhy()
{
    // A folder where no lock can be made (here: under a file): the window runs, and its
    // log says that it could not make sure it is alone.
    writeFile(m_dir->filePath("file"), "x");
    SingleWindow single(m_dir->filePath("file/quorrel"));
    QCOMPARE(single.claim(), SingleWindow::Claim::Unchecked);
    QVERIFY2(single.why().contains(QStringLiteral("无法在")), qPrintable(single.why()));
}

int main(int argc, char *argv[]) { return quorrel::test::runWindowTest<TestDesktop>(argc, argv); }

#include "test_desktop.moc"
