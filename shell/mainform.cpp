#include "shell/mainform.h"

#include "catalogue/tree_commands.h"
#include "downloads/selection.h"
#include "shell/glyphs.h"
#include "shell/window_icon.h"
#include "shell/icon_delegate.h"
#include "shell/middle_splitter.h"
#include "shell/monitoring_captions.h"
#include "shell/preview_pane.h"
#include "shell/promo_strip.h"
#include "shell/rename_panel.h"
#include "shell/resource_tree_view.h"
#include "shell/settings_panel.h"
#include "shell/window_layout.h"
#include "streams/key_log_location.h"

#include <QApplication>
#include <QClipboard>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QScrollArea>
#include <QSettings>
#include <QSplitter>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QTreeView>
#include <QVBoxLayout>

#include <limits>

#include "shell/preview_layout.h"

namespace quorrel {

namespace {

const QString kCaption = QStringLiteral("QuorrelV1.0.1");
const QString kDownloadAreaCaption = QStringLiteral("本程序下载文件               本下载程序不支持自动跳转！");

// The core's fixed texts that the window shows, in the window's language: looked up whole
// (a text with more in it stays as it is). lupdate finds them here.
[[maybe_unused]] const char *const kShownTexts[] = {
    QT_TRANSLATE_NOOP("quorrel", "本程序下载文件               本下载程序不支持自动跳转！"),
    QT_TRANSLATE_NOOP("quorrel", "请点击开始按钮进行数据监听"),
    QT_TRANSLATE_NOOP("quorrel", "选择取得的资源点右键下载文件"),
    QT_TRANSLATE_NOOP("quorrel", "开始监听"),
    QT_TRANSLATE_NOOP("quorrel", "暂停监听"),
    QT_TRANSLATE_NOOP("quorrel", "继续监听"),
    QT_TRANSLATE_NOOP("quorrel", "停止监听"),
    QT_TRANSLATE_NOOP("quorrel", "暂停"),
    QT_TRANSLATE_NOOP("quorrel", "继续"),
    QT_TRANSLATE_NOOP("quorrel", "开始监测上网数据......"),
    QT_TRANSLATE_NOOP("quorrel", "请选择取得资源下的资源，点击右键下载文件"),
    QT_TRANSLATE_NOOP("quorrel", "取得资源"),
    QT_TRANSLATE_NOOP("quorrel", "已下载资源"),
    QT_TRANSLATE_NOOP("quorrel", "状态     文件地址/文件名"), // the task list's columns
    QT_TRANSLATE_NOOP("quorrel", "保存文件名"),
    QT_TRANSLATE_NOOP("quorrel", "aria2 的地址无效（config.ini 的 aria2dz）："), // Aria2FailureText
    QT_TRANSLATE_NOOP("quorrel", "无法连接 aria2："),
    QT_TRANSLATE_NOOP("quorrel", "aria2 拒绝了下载："),
    QT_TRANSLATE_NOOP("quorrel", "aria2 的回答无法读取："),
};

QString shown(const QString &text)
{
    return QCoreApplication::translate("quorrel", text.toUtf8().constData());
}

// The task list's grid lines; and its chosen row, which without a rule of its own is drawn
// in the selection's text colour on the page's when the list has no focus: white on white.
// Unfocused, it keeps a pale selection colour under the ordinary text colour, as desktops
// show a selection in a view that is not in use.
QString TaskListStyle()
{
    return QStringLiteral("QTreeView::item { border-right: 1px solid #d8d8d8; border-bottom: 1px solid #d8d8d8; }"
                          "QTreeView::item:selected:active { background: palette(highlight); color: palette(highlighted-text); }"
                          "QTreeView::item:selected:!active { background: #cce0f5; color: palette(text); }");
}

QWidget *gap(int width)
{
    auto *w = new QWidget;
    w->setFixedWidth(width);
    return w;
}

} // namespace

void CaptionBar::mouseReleaseEvent(QMouseEvent *event)
{
    QLabel::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit clicked();
}

TMainform::TMainform(const QString &dir, QWidget *parent) : TMainform(FilePlacesIn(dir), parent)
{
}

TMainform::TMainform(const FilePlaces &places, QWidget *parent)
    : QMainWindow(parent), m_placesError(PrepareFilePlaces(places)),
      m_catalogue(places, QStandardPaths::writableLocation(QStandardPaths::DownloadLocation))
{
    setObjectName(QStringLiteral("Mainform"));
    setWindowTitle(kCaption);
    setWindowIcon(QuorrelIcon());
    m_inform = [this](const QString &text) {
        // The files' texts separate lines with a lone CR, which a message box does not break at.
        QString shown = text;
        shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(QLatin1Char('\r'), QLatin1Char('\n'));
        QMessageBox::information(this, kCaption, shown);
    };
    m_pickFolder = [this] { return QFileDialog::getExistingDirectory(this, QString(), savePathHint()); };
    m_askResume = [this](const QString &question) {
        QString shown = question;
        shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
        switch (QMessageBox::question(this, kCaption, shown, QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel)) {
        case QMessageBox::Yes:
            return Resume::Yes;
        case QMessageBox::No:
            return Resume::No;
        default:
            return Resume::Cancel; // also a box closed without a choice
        }
    };
    m_askPassword = [this] {
        // The password is not shown as it is typed.
        return QInputDialog::getText(this, kPasswordCaption, kPasswordPrompt, QLineEdit::Password);
    };
    buildToolbar();
    buildCentre();
    buildStatusBar();
    buildMenu();
    // It opens at the size and place it was designed at; grown, the room goes to the tree
    // and the task list; smaller, to its minimum, the empty parts give way first.
    m_layout = new WindowLayout(m_bandsArea, m_bands, RzSizePanel3, RzSizePanel6, statusBar(), stat1, this);
    setMinimumSize(WindowLayout::kMinimumSize);
    resize(WindowLayout::kDesignedSize);
    move(203, 108);
    restoreWindowState();
    if (m_placesError)
        log(*m_placesError);
    FormCreate();
}

namespace {

// The window's own state, in $XDG_CONFIG_HOME/quorrel/window.ini.
QSettings rememberedState()
{
    return QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("quorrel"), QStringLiteral("window"));
}

} // namespace

void TMainform::restoreWindowState()
{
    const QSettings state = rememberedState();
    // A size or a split that would leave the tree or the task list below its minimum is
    // not taken (a window manager that ignored the minimum, an older version's split): the
    // window opens as designed instead.
    const QByteArray geometry = state.value(QStringLiteral("geometry")).toByteArray();
    QWidget probe; // the remembered size as it is, which this window would raise to its minimum
    if (probe.restoreGeometry(geometry) && probe.width() >= minimumWidth() && probe.height() >= minimumHeight())
        restoreGeometry(geometry);
    const QByteArray split = state.value(QStringLiteral("split")).toByteArray();
    const auto least = [](const QWidget *pane) { return std::max(pane->minimumWidth(), pane->minimumSizeHint().width()); };
    if (const std::optional<QList<int>> sizes = WindowLayout::RememberedSplit(split);
        sizes && WindowLayout::SplitFits(*sizes, least(RzSizePanel2), least(RzSizePanel4)))
        m_middle->restoreState(split);
}

void TMainform::saveWindowState() const
{
    QSettings state = rememberedState();
    state.setValue(QStringLiteral("geometry"), saveGeometry());
    state.setValue(QStringLiteral("split"), m_middle->saveState());
}

void TMainform::bringToFront()
{
    if (isMinimized())
        showNormal();
    show();
    raise();
    activateWindow();
    log(tr("本程序又被启动了一次：同一个文件夹只开一个窗口（两个窗口会互相覆盖 %1），所以回到了这个窗口。")
            .arg(kResourceListFileName));
}

QString TMainform::savePathHint() const
{
    return m_catalogue.settings().SavePath;
}

void TMainform::buildToolbar()
{
    RzToolbar1 = addToolBar(QStringLiteral("RzToolbar1"));
    RzToolbar1->setObjectName(QStringLiteral("RzToolbar1"));
    RzToolbar1->setMovable(false);
    RzToolbar1->setFloatable(false);
    RzToolbar1->setFixedHeight(51);
    RzToolbar1->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    RzToolbar1->setContextMenuPolicy(Qt::PreventContextMenu);
    const auto button = [this](const char *name, const QString &caption, const QString &hint, Glyph glyph) {
        QAction *a = RzToolbar1->addAction(ToolbarGlyph(glyph), caption);
        a->setObjectName(QString::fromLatin1(name));
        a->setToolTip(hint.isEmpty() ? caption : hint);
        a->setStatusTip(hint);
        return a;
    };
    btnks = button("btnks", tr("开始"), tr("开始监听上网数据"), Glyph::Start);
    btnzt = button("btnzt", shown(kPauseCaption), tr("暂停监听"), Glyph::Pause);
    btntz = button("btntz", tr("停止"), tr("停止监听"), Glyph::Stop);
    btnqc = button("btnqc", tr("清除"), tr("清除资源"), Glyph::Clear);
    RzToolbar1->addWidget(gap(16));
    RzToolButton8 = button("RzToolButton8", tr("下载"), QString(), Glyph::Download);
    RzToolbar1->addWidget(gap(21));
    RzToolButton2 = button("RzToolButton2", tr("设置"), QString(), Glyph::Settings);
    btntc = button("btntc", tr("退出"), QString(), Glyph::Exit);

    connect(btnks, &QAction::triggered, this, &TMainform::btnksClick);
    connect(btnzt, &QAction::triggered, this, &TMainform::btnztClick);
    connect(btntz, &QAction::triggered, this, &TMainform::btntzClick);
    connect(btnqc, &QAction::triggered, this, &TMainform::btnqcClick);
    connect(RzToolButton2, &QAction::triggered, this, &TMainform::RzToolButton2Click);
    connect(btntc, &QAction::triggered, this, &TMainform::btntcClick);
}

void TMainform::buildCentre()
{
    auto *centre = new QWidget;
    auto *column = new QVBoxLayout(centre);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(2);

    auto *band = new QHBoxLayout;
    band->setSpacing(2);
    RzSizePanel2 = new QWidget;
    RzSizePanel2->setObjectName(QStringLiteral("RzSizePanel2"));
    RzSizePanel2->setMinimumSize(WindowLayout::kTreeMinimum);
    fclstxzzy = new ResourceTreeView;
    fclstxzzy->setTree(&m_catalogue.tree());
    auto *treeLayout = new QVBoxLayout(RzSizePanel2);
    treeLayout->setContentsMargins(0, 0, 0, 0);
    treeLayout->addWidget(fclstxzzy);

    RzSizePanel4 = new QWidget;
    RzSizePanel4->setObjectName(QStringLiteral("RzSizePanel4"));
    RzLabel1 = new CaptionBar(shown(kDownloadAreaCaption));
    RzLabel1->setObjectName(QStringLiteral("RzLabel1"));
    RzLabel1->setFixedHeight(19);
    RzLabel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    RzLabel1->setStyleSheet(QStringLiteral("QLabel:hover { background: palette(highlight); color: palette(highlighted-text); }"));
    lstxzrw = new QTreeView;
    lstxzrw->setObjectName(QStringLiteral("lstxzrw"));
    lstxzrw->setModel(&tasks);
    lstxzrw->setItemDelegateForColumn(0, new IconDelegate(TaskList::StateRole, &TaskIcon, lstxzrw)); // the state, as its icon
    lstxzrw->setColumnWidth(0, 220);
    lstxzrw->setColumnWidth(1, 176);
    lstxzrw->setMinimumHeight(WindowLayout::kTaskListMinimum.height());
    lstxzrw->setRootIsDecorated(false);
    lstxzrw->setUniformRowHeights(true);
    lstxzrw->setAllColumnsShowFocus(true);
    lstxzrw->setSelectionBehavior(QAbstractItemView::SelectRows);
    lstxzrw->setEditTriggers(QAbstractItemView::EditKeyPressed | QAbstractItemView::SelectedClicked);
    lstxzrw->setStyleSheet(TaskListStyle());
    Gag1 = new QProgressBar;
    Gag1->setObjectName(QStringLiteral("Gag1"));
    Gag1->setFixedHeight(15);
    Gag1->setFormat(QStringLiteral("%p%")); // the running task's share, once its size is known
    Gag1->setTextVisible(false);
    QFont gaugeFont = Gag1->font();
    gaugeFont.setPixelSize(10); // fits the gauge's 15 pixels
    Gag1->setFont(gaugeFont);
    Gag1->hide();
    auto *centreLayout = new QVBoxLayout(RzSizePanel4);
    centreLayout->setContentsMargins(0, 0, 0, 0);
    centreLayout->setSpacing(0);
    centreLayout->addWidget(RzLabel1);
    centreLayout->addWidget(lstxzrw, 1);
    centreLayout->addWidget(Gag1);
    Panbrow = new PreviewPane(RzSizePanel4); // lies over the task list, outside the layout
    lstxzrw->installEventFilter(this);

    RzSizePanel3 = new QWidget; // its width is WindowLayout's
    RzSizePanel3->setObjectName(QStringLiteral("RzSizePanel3"));
    // The tree and the centre share a handle and, half each, the width a larger window
    // gives: whole addresses show in the tree, and the task list and the preview widen
    // beside it.
    RzSizePanel4->setMinimumWidth(WindowLayout::kTaskListMinimum.width());
    m_middle = new MiddleSplitter;
    m_middle->setObjectName(QStringLiteral("middleSplitter"));
    m_middle->setHandleWidth(4);
    m_middle->setChildrenCollapsible(false);
    m_middle->addWidget(RzSizePanel2);
    m_middle->addWidget(RzSizePanel4);
    m_middle->setSizes({204, WindowLayout::kDesignedSize.width() - 204 - m_middle->handleWidth() - band->spacing()
                                 - WindowLayout::kEmptyBandWidth});
    band->addWidget(m_middle, 1);
    band->addWidget(RzSizePanel3);
    column->addLayout(band, 1);

    redit1 = new QPlainTextEdit;
    redit1->setObjectName(QStringLiteral("redit1"));
    redit1->setFixedHeight(111);
    redit1->setReadOnly(true);
    // Long lines (a reason with a path) wrap, so they are read without scrolling sideways.
    redit1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    redit1->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    redit1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    column->addWidget(redit1);
    RzSizePanel6 = new PromoStrip;
    column->addWidget(RzSizePanel6);
    m_bands = centre;
    m_bandsArea = new QScrollArea;
    m_bandsArea->setObjectName(QStringLiteral("bandsArea"));
    setCentralWidget(m_bandsArea);

    panxgwjm = new RenamePanel(this);
    panxgwjm->move(140, 120);
    connect(panxgwjm, &RenamePanel::confirmed, this, &TMainform::RzToolButton6Click);
    connect(panxgwjm, &RenamePanel::cancelled, this, &TMainform::RzToolButton7Click);

    panxtsz = new SettingsPanel(this);
    connect(panxtsz, &SettingsPanel::saveRequested, this, &TMainform::btnbcszClick);
    connect(panxtsz, &SettingsPanel::closeRequested, this, &TMainform::RzToolButton3Click);
    connect(panxtsz, &SettingsPanel::folderRequested, this, &TMainform::RzToolButton4Click);
    connect(RzLabel1, &CaptionBar::clicked, this, &TMainform::RzLabel1Click);
    connect(Panbrow, &PreviewPane::closeRequested, this, &TMainform::RzLabel1Click);
    connect(Panbrow, &PreviewPane::failed, this, &TMainform::log);
}

void TMainform::buildStatusBar()
{
    QStatusBar *bar = statusBar();
    bar->setObjectName(QStringLiteral("stat1"));
    bar->setFixedHeight(19);
    bar->setSizeGripEnabled(false);
    for (int i = 0; i < 3; ++i) {
        stat1[i] = new QLabel;
        stat1[i]->setFixedWidth(WindowLayout::kStatusWidths[i]); // and narrower in a narrow window
        stat1[i]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        stat1[i]->setContentsMargins(0, 0, 0, 0);
        QFont f = stat1[i]->font();
        f.setPixelSize(10); // "开始监听" fits the narrow third panel
        stat1[i]->setFont(f);
        bar->addWidget(stat1[i]);
    }
}

void TMainform::buildMenu()
{
    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    const auto entry = [this](const char *name, const QString &caption, std::optional<Glyph> glyph) {
        QAction *a = glyph ? PopupMenu1->addAction(ToolbarGlyph(*glyph), caption) : PopupMenu1->addAction(caption);
        a->setObjectName(QString::fromLatin1(name));
        return a;
    };
    N1 = entry("N1", tr("预览brow"), Glyph::Preview);
    PopupMenu1->addSeparator();
    N3 = entry("N3", tr("分析本节点"), std::nullopt);
    N3->setEnabled(false);
    PopupMenu1->addSeparator();
    N20 = entry("N20", tr("下载选择文件"), std::nullopt);
    PopupMenu1->addSeparator();
    N5 = entry("N5", tr("删除"), Glyph::Delete);
    PopupMenu1->addSeparator();
    N19 = entry("N19", tr("清除本结点资源"), Glyph::ClearNode);
    connect(N1, &QAction::triggered, this, &TMainform::N1Click);
    connect(N20, &QAction::triggered, this, &TMainform::N20Click);
    connect(RzToolButton8, &QAction::triggered, N20, &QAction::trigger); // the very same command
    connect(N5, &QAction::triggered, this, &TMainform::N5Click);
    connect(N19, &QAction::triggered, this, &TMainform::N19Click);

    connect(fclstxzzy, &ResourceTreeView::nodePressed, this, &TMainform::fclstxzzyMouseDown);
    connect(fclstxzzy, &ResourceTreeView::doubleClicked, this, &TMainform::fclstxzzyDblClick);
    connect(fclstxzzy, &ResourceTreeView::menuRequested, this, [this](const QPoint &at, bool fromKeyboard) {
        // A right press set ClickedNode to the node pressed; a menu opened from the
        // keyboard acts on the focused node in the same way.
        if (fromKeyboard)
            tree().setClickedNode(fclstxzzy->focusedNode());
        PopupMenu1->popup(at);
    });
}

void TMainform::FormCreate()
{
    PreviewOpen = false;
    LoadSettings();
    m_road = std::make_unique<CaptureRoad>(m_catalogue);
    m_road->onNotice = [this](const QString &line) { log(line); };
    // The watched browser's key log; a file that is not there yet is read once it is.
    m_road->keyLog().follow(streams::DefaultKeyLogPath());
    m_intake = new LiveIntake(*m_road, this);
    cap_ip1 = &m_intake->capture();
    // Capture failures are shown: without them a user without capture rights would see
    // "开始监听" and nothing ever arriving.
    connect(cap_ip1, &Tcap_ip::OnError, this, &TMainform::cap_ip1Error);
    // The log's first line says that traffic is arriving, with the first datagram of any
    // kind; other lines (a capture error, say) do not hold it back.
    connect(m_intake, &LiveIntake::firstDatagram, this, [this] { log(kMonitoringStartedLine); });
    connect(m_intake, &LiveIntake::found, this, &TMainform::roadResult);
    connect(m_intake, &LiveIntake::lossLine, this, &TMainform::log);
    // From now on the list on disk follows the tree within a second: a run that ends
    // without an orderly close (a crash, a kill, a power cut) keeps what it found.
    m_autosave = std::make_unique<ResourceListAutosave>(m_catalogue);
    connect(m_autosave.get(), &ResourceListAutosave::saveFailed, this, &TMainform::log);
    tasks.clear();

    Timesys = new QTimer(this);
    Timesys->setObjectName(QStringLiteral("Timesys"));
    connect(Timesys, &QTimer::timeout, this, &TMainform::TimesysTimer);
    Timesys->start(1000);
    m_scheduler = new DownloadScheduler(tasks, *this, this);
    Timexzwj = new QTimer(this);
    Timexzwj->setObjectName(QStringLiteral("Timexzwj"));
    connect(Timexzwj, &QTimer::timeout, this, &TMainform::TimexzwjTimer);
    Timexzwj->start(1000);
}

TMainform::~TMainform()
{
    saveWindowState();
    // FormDestroy: the "退出" command once more, while every control still exists.
    m_destroying = true;
    btntcClick();
}

void TMainform::LoadSettings()
{
    if (const auto error = m_catalogue.LoadSettings())
        inform(*error);
    if (const auto note = m_catalogue.keptAsideNote())
        log(*note);
    fclstxzzy->expandFoundSide();
}

void TMainform::log(const QString &line)
{
    redit1->appendPlainText(shown(line));
}

void TMainform::inform(const QString &text)
{
    m_inform(text);
}

void TMainform::noteUnsandboxedPreview()
{
    log(tr("程序以 root 身份运行：预览页面在没有浏览器沙箱保护的情况下打开。"));
}

// Monitoring control --------------------------------------------------------------------

void TMainform::btnksClick()
{
    try {
        m_intake->start();
    } catch (const ESocketException &e) {
        // Start stays visible, so the next tick tries again; the same failure is not
        // shown again every second.
        if (!e.repeated()) {
            log(e.message() + QStringLiteral(": ") + e.detail());
            // The detail says why (no rights, not in the group) and what to do about it.
            inform(e.message() + QStringLiteral("\n\n") + e.detail());
        }
        return;
    }
    btnks->setVisible(false);
    stat1[2]->setText(shown(kListening));
}

void TMainform::btnztClick()
{
    m_intake->pause();
    if (m_intake->paused()) {
        btnzt->setText(shown(kContinueCaption));
        stat1[2]->setText(shown(kListeningPaused));
    } else {
        btnzt->setText(shown(kPauseCaption));
        stat1[2]->setText(shown(kListeningContinued));
    }
}

void TMainform::btntzClick()
{
    m_intake->stop();
    btnks->setVisible(true);
    // Capture stays off until "开始": the status bar says so.
    stat1[2]->setText(shown(kListeningStopped));
}

void TMainform::TimesysTimer()
{
    if (btnks->isVisible()) {
        stat1[0]->setText(shown(kStartPrompt));
        // Monitoring starts by itself after start-up, and a start that failed is tried
        // again; a stop the user asked for lasts until the user presses "开始".
        if (m_intake->startDue())
            btnks->trigger();
    } else {
        stat1[0]->setText(shown(kDownloadPrompt));
    }
}

void TMainform::cap_ip1Cap(const Datagram &datagram)
{
    m_intake->deliver(datagram);
}

void TMainform::roadResult(const CaptureRoad::Result &result)
{
    if (result.showHint)
        stat1[0]->setText(shown(kSelectResourceHint));
}

void TMainform::cap_ip1Error(const QString &error)
{
    log(error);
}

// The tree -------------------------------------------------------------------------------

void TMainform::fclstxzzyMouseDown(TreeNode *node)
{
    // The address field names the page shown, whichever way it was chosen.
    if (const std::optional<QString> address = PressNode(tree(), node, PreviewOpen))
        Panbrow->navigate(*address, node ? node->headers() : nullptr);
}

void TMainform::fclstxzzyDblClick()
{
    TreeNode *node = fclstxzzy->focusedNode();
    if (DoubleClickNode(tree(), node) != DoubleClick::Download)
        return;
    const DoubleClickDownload d = DownloadOnDoubleClick(tree(), node, m_catalogue.settings(), tasks);
    if (!d.clipboard.isEmpty())
        setClipboardText(d.clipboard);
    if (d.aria2)
        handToAria2({*d.aria2});
}

void TMainform::btnqcClick()
{
    ClearFoundResources(tree());
}

void TMainform::N5Click()
{
    DeleteClickedNode(tree());
}

void TMainform::N19Click()
{
    ClearClickedNode(tree());
}

void TMainform::N1Click()
{
    TreeNode *node = fclstxzzy->focusedNode();
    if (tree().count() == 0 || !node)
        return;
    Panbrow->navigate(node->Link(), node->headers()); // and names it in Laburl
    if (!PreviewOpen) {
        Panbrow->RzPan1->setFixedHeight(Panbrow->Laburl->height() + 2);
        Panbrow->show();
        Panbrow->raise();
        Panbrow->setGeometry(0, 0, 0, 0);
        Panbrow->resize(0, RzSizePanel4->height() - 15);
        for (int width : PreviewWideningSteps(RzSizePanel4->width()))
            Panbrow->resize(width, Panbrow->height());
        PreviewOpen = true;
        Panbrow->setGeometry(lstxzrw->geometry()); // and follows it from now on
    }
    QCoreApplication::processEvents(); // painted before the command returns
}

void TMainform::RzLabel1Click()
{
    Panbrow->hide();
    Panbrow->stopAndClear();
    PreviewOpen = false;
}

bool TMainform::eventFilter(QObject *watched, QEvent *event)
{
    // Once opened, the preview covers exactly the task list's area.
    if (watched == lstxzrw && (event->type() == QEvent::Resize || event->type() == QEvent::Move) && PreviewOpen)
        Panbrow->setGeometry(lstxzrw->geometry());
    return QMainWindow::eventFilter(watched, event);
}

// Settings -------------------------------------------------------------------------------

void TMainform::RzToolButton2Click()
{
    panxtsz->show();
    panxtsz->raise();
    const QSize outer = frameGeometry().size();
    panxtsz->move((outer.width() - panxtsz->width()) / 2, (outer.height() - panxtsz->height()) / 2);
    const SettingsValues &settings = m_catalogue.settings();
    if (const auto error = panxtsz->fill(settings, ReadTypeGrid(m_catalogue.configPath(), settings.TypeNameList)))
        inform(*error);
}

void TMainform::RzToolButton3Click()
{
    panxtsz->hide();
    panxtsz->lower();
}

void TMainform::RzToolButton4Click()
{
    const QString folder = m_pickFolder();
    if (!folder.isEmpty())
        panxtsz->EditbcPath->setText(folder);
}

void TMainform::btnbcszClick()
{
    const Catalogue::SaveOutcome outcome = m_catalogue.SaveSettings(panxtsz->form());
    inform(outcome.message);
    if (outcome.saved)
        LoadSettings(); // the tree again, under the new types, its resources filed back
}

// Downloads ------------------------------------------------------------------------------

void TMainform::setClipboardText(const QString &text)
{
    QGuiApplication::clipboard()->setText(text);
}

void TMainform::N20Click()
{
    panxgwjm->ClearRenameGrid();
    const Selection s = N20Select(tree(), m_catalogue.settings(), tasks);
    if (!s.aria2.isEmpty())
        handToAria2(s.aria2);
    else if (!s.handOver.isEmpty())
        setClipboardText(HandOverText(s.handOver));
    if (!s.renameRows.isEmpty()) {
        panxgwjm->setRows(s.renameRows);
        panxgwjm->move(WindowLayout::PlaceInside(QPoint(140, 120), panxgwjm->size(), size()));
        panxgwjm->show();
        panxgwjm->raise();
    }
}

void TMainform::handToAria2(const QList<Aria2Item> &items)
{
    if (!m_aria2) {
        m_aria2 = new Aria2Client(this);
        connect(m_aria2, &Aria2Client::handed, this, [this](const Aria2Item &item, const QString &gid) {
            log(tr("已交给 aria2 下载（GID %1）：%2").arg(gid, item.address));
        });
        connect(m_aria2, &Aria2Client::headersLeftOut, this, [this](const Aria2Item &item, const QStringList &names) {
            log(tr("交给 aria2 时没有带上不是 UTF-8 文字的请求头 %1：%2").arg(names.join(QStringLiteral("、")), item.address));
        });
        connect(m_aria2, &Aria2Client::refused, this, [this](const Aria2Item &item, const Aria2Failure &failure) {
            log(Aria2FailureText(failure) + tr("。资源已放回列表：") + item.address);
            // Back under its category below FoundRoot, as a failed download goes back.
            m_catalogue.ClassifyLink(tree().ClickedNode(), FileMode::Found, item.address, &item.headers, item.type);
        });
    }
    const SettingsValues &settings = m_catalogue.settings();
    m_aria2->addUris({settings.Aria2Address, settings.Aria2Secret}, items, settings.SavePath);
}

void TMainform::RzToolButton6Click()
{
    ConfirmRenameRows(panxgwjm->rows(), m_catalogue.settings().SavePath, tasks);
    panxgwjm->ClearRenameGrid();
    panxgwjm->hide();
}

void TMainform::RzToolButton7Click()
{
    panxgwjm->ClearRenameGrid();
    panxgwjm->hide();
}

void TMainform::TimexzwjTimer()
{
    // While a transfer or a box about it is open (a box turns the loop, so this timer
    // fires under it), the tick's work is not over: nothing to do.
    if (m_scheduler->busy())
        return;
    m_scheduler->TimexzwjTimer();
}

SchedulerHost::Resume TMainform::askResume(const QString &question)
{
    return m_askResume(question);
}

QString TMainform::askFtpPassword(const QString &)
{
    return m_askPassword();
}

void TMainform::showGauge(bool shown)
{
    Gag1->setVisible(shown);
    if (!shown) { // the transfer is over: its figures go with it
        stat1[1]->clear();
        stat1[1]->setToolTip(QString());
    }
}

void TMainform::setGaugeMaximum(qint64 maximum)
{
    m_gaugeScale = maximum > std::numeric_limits<int>::max() ? maximum / std::numeric_limits<int>::max() + 1 : 1;
    // Empty until the transfer says where it starts (a resumed file, where its bytes end).
    Gag1->reset();
    Gag1->setRange(0, static_cast<int>(maximum / m_gaugeScale));
    Gag1->setTextVisible(maximum > 0); // a share of nothing known is no share
}

void TMainform::showProgress(const TransferProgress &progress)
{
    // Status panel 1, empty until now, tells the running task's size, speed and time left.
    const QString text = ProgressText(progress);
    stat1[1]->setText(text);
    stat1[1]->setToolTip(text);
}

void TMainform::setGaugeValue(qint64 value)
{
    Gag1->setValue(static_cast<int>(std::min<qint64>(value / m_gaugeScale, Gag1->maximum())));
}

void TMainform::taskDone(int row)
{
    // The task's address, as its row stores it, filed under the downloaded side.
    m_catalogue.ClassifyLink(tree().ClickedNode(), FileMode::Downloaded, tasks.task(row).address);
}

void TMainform::taskFailed(int row)
{
    // Back under its category below FoundRoot, to be ticked again; not when the address
    // is in the tree already (captured again meanwhile, say).
    m_catalogue.ClassifyLink(tree().ClickedNode(), FileMode::Found, tasks.task(row).address, &tasks.task(row).headers);
}

// Leaving --------------------------------------------------------------------------------

void TMainform::btntcClick()
{
    // A list that cannot be saved ends the command here: the window stays open with the
    // reason, so that the user can make room and try again, and nothing found is lost.
    // (Closing from the frame still closes, after the same message: the session ends
    // windows that way.)
    if (const auto error = m_catalogue.SaveResourceList()) {
        inform(*error);
        return;
    }
    if (m_autosave)
        m_autosave->saved();
    if (!m_destroying)
        close();
}

} // namespace quorrel
