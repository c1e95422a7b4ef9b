#include "shell/settings_panel.h"

#include "shell/glyphs.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QTabWidget>
#include <QTableWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

namespace quorrel {

SettingsPanel::SettingsPanel(QWidget *parent) : QFrame(parent)
{
    setObjectName(QStringLiteral("panxtsz"));
    setFrameStyle(QFrame::Panel | QFrame::Raised);
    setAutoFillBackground(true);
    setFixedSize(469, 349);

    RzLabel2 = new QLabel(tr("参数设置"));
    btnbcsz = new QToolButton;
    btnbcsz->setObjectName(QStringLiteral("btnbcsz"));
    btnbcsz->setText(tr("保存"));
    btnbcsz->setToolTip(tr("保存设置"));
    RzToolButton3 = new QToolButton;
    RzToolButton3->setObjectName(QStringLiteral("RzToolButton3"));
    RzToolButton3->setIcon(ToolbarGlyph(Glyph::Close));
    RzToolButton3->setAutoRaise(true);
    auto *title = new QHBoxLayout;
    title->addWidget(RzLabel2);
    title->addStretch();
    title->addWidget(btnbcsz);
    title->addWidget(RzToolButton3);

    PAGECNT1 = new QTabWidget;
    auto *basic = new QWidget;
    basic->setObjectName(QStringLiteral("TabSheet1"));
    EditbcPath = new QLineEdit;
    EditbcPath->setObjectName(QStringLiteral("EditbcPath"));
    EditbcPath->setFixedWidth(281);
    RzToolButton4 = new QToolButton;
    RzToolButton4->setObjectName(QStringLiteral("RzToolButton4"));
    RzToolButton4->setIcon(ToolbarGlyph(Glyph::Folder));
    chktsggwjm = new QCheckBox(tr("提示更改文件名"));
    chktsggwjm->setObjectName(QStringLiteral("chktsggwjm"));
    cmbxzfs = new QComboBox;
    cmbxzfs->setObjectName(QStringLiteral("cmbxzfs"));
    cmbxzfs->setEditable(true);
    // Typed text selects nothing and adds nothing: an added entry would be saved as xzfs=3,
    // which hands every download to another tool.
    cmbxzfs->setInsertPolicy(QComboBox::NoInsert);
    cmbxzfs->addItems({tr("本 程 序 下 载"), tr("其他下载工具下载"), tr("交给 aria2 下载")});
    auto *pathRow = new QHBoxLayout;
    pathRow->addWidget(new QLabel(tr("保存路径")));
    pathRow->addWidget(EditbcPath);
    pathRow->addWidget(RzToolButton4);
    pathRow->addStretch();
    auto *modeRow = new QHBoxLayout;
    modeRow->addWidget(new QLabel(tr("下载方式")));
    modeRow->addWidget(cmbxzfs);
    modeRow->addStretch();
    auto *basicLayout = new QVBoxLayout(basic);
    basicLayout->addLayout(pathRow);
    basicLayout->addWidget(chktsggwjm);
    basicLayout->addLayout(modeRow);
    basicLayout->addStretch();

    gridxtsz = new QTableWidget(0, 2);
    gridxtsz->setObjectName(QStringLiteral("gridxtsz"));
    gridxtsz->setHorizontalHeaderLabels({tr("类型名称"), tr("类型扩展名")});
    gridxtsz->setColumnWidth(0, 200);
    gridxtsz->setColumnWidth(1, 200);
    gridxtsz->verticalHeader()->setDefaultSectionSize(20);
    gridxtsz->verticalHeader()->hide();
    gridxtsz->setContextMenuPolicy(Qt::CustomContextMenu);
    auto *types = new QWidget;
    types->setObjectName(QStringLiteral("TabSheet2"));
    auto *typesLayout = new QVBoxLayout(types);
    typesLayout->setContentsMargins(0, 0, 0, 0);
    typesLayout->addWidget(gridxtsz);
    PAGECNT1->addTab(basic, tr("基本设置"));
    PAGECNT1->addTab(types, tr("监测文件类型"));

    PopupMenulxbj = new QMenu(this);
    QAction *n13 = PopupMenulxbj->addAction(tr("增加类型"));
    PopupMenulxbj->addSeparator();
    QAction *n15 = PopupMenulxbj->addAction(tr("删除类型"));
    PopupMenulxbj->addSeparator();
    QAction *n17 = PopupMenulxbj->addAction(tr("保存类型"));
    n13->setObjectName(QStringLiteral("N13"));
    n15->setObjectName(QStringLiteral("N15"));
    n17->setObjectName(QStringLiteral("N17"));
    connect(n13, &QAction::triggered, this, &SettingsPanel::N13Click);
    connect(n15, &QAction::triggered, this, &SettingsPanel::N15Click);
    // "保存类型" saves as "保存" does: a user who edits the table expects this entry to keep it.
    connect(n17, &QAction::triggered, this, &SettingsPanel::saveRequested);
    connect(gridxtsz, &QWidget::customContextMenuRequested, this,
            [this](const QPoint &at) { PopupMenulxbj->popup(gridxtsz->viewport()->mapToGlobal(at)); });
    // A cell is selected when the user moves to it, or presses one that already is current.
    connect(gridxtsz, &QTableWidget::currentCellChanged, this, [this](int row, int) { gridxtszSelectCell(row); });
    connect(gridxtsz, &QTableWidget::cellPressed, this, [this](int row, int) { gridxtszSelectCell(row); });
    gridxtsz->viewport()->installEventFilter(this);

    connect(btnbcsz, &QToolButton::clicked, this, &SettingsPanel::saveRequested);
    connect(RzToolButton3, &QToolButton::clicked, this, &SettingsPanel::closeRequested);
    connect(RzToolButton4, &QToolButton::clicked, this, &SettingsPanel::folderRequested);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addLayout(title);
    layout->addWidget(PAGECNT1, 1);
    hide();
}

std::optional<QString> SettingsPanel::fill(const SettingsValues &settings, const TypeGridReading &grid)
{
    EditbcPath->setText(settings.SavePath);
    cmbxzfs->setCurrentIndex(settings.DownloadMode == QLatin1String("0") ? 0 : settings.handsOverToAria2() ? 2 : 1);
    chktsggwjm->setChecked(settings.PromptRename);
    m_rowsChanging = true;
    gridxtsz->setRowCount(0); // unsaved edits are replaced
    for (const TypeRow &row : grid.rows) {
        const int r = gridxtsz->rowCount();
        gridxtsz->insertRow(r);
        gridxtsz->setItem(r, 0, new QTableWidgetItem(row.name));
        gridxtsz->setItem(r, 1, new QTableWidgetItem(row.extensions));
    }
    m_rowsChanging = false;
    return grid.error;
}

SettingsForm SettingsPanel::form()
{
    // The open editor hands its text to the grid as its delegate does when it loses the
    // focus, then closes.
    const QModelIndex editing = gridxtsz->currentIndex();
    if (QWidget *editor = editing.isValid() ? gridxtsz->indexWidget(editing) : nullptr) {
        QAbstractItemDelegate *delegate = gridxtsz->itemDelegateForIndex(editing);
        emit delegate->commitData(editor);
        emit delegate->closeEditor(editor, QAbstractItemDelegate::NoHint);
    }

    SettingsForm f;
    f.savePath = EditbcPath->text();
    // Typed text that matches no entry leaves no entry selected.
    const int index = cmbxzfs->findText(cmbxzfs->currentText());
    f.downloadModeIndex = index;
    f.promptRename = chktsggwjm->isChecked();
    for (int r = 0; r < gridxtsz->rowCount(); ++r) {
        const auto cell = [&](int c) { return gridxtsz->item(r, c) ? gridxtsz->item(r, c)->text() : QString(); };
        f.types.append({cell(0), cell(1)});
    }
    return f;
}

void SettingsPanel::N13Click()
{
    gridxtsz->insertRow(gridxtsz->rowCount());
}

void SettingsPanel::N15Click()
{
    DeleteGridRow(SelectedTypeRow);
}

void SettingsPanel::DeleteGridRow(int row)
{
    // Row 0 is the header: it never goes, and nor does a row past the last.
    if (row < 1 || row > gridxtsz->rowCount())
        return;
    m_rowsChanging = true;
    const int column = std::max(gridxtsz->currentColumn(), 0);
    gridxtsz->removeRow(row - 1);
    // The highlight stays where it was, on the row that moved up into the deleted row's
    // place: the row a second "删除类型" deletes.
    if (gridxtsz->rowCount() > 0)
        gridxtsz->setCurrentCell(std::min(row - 1, gridxtsz->rowCount() - 1), column);
    m_rowsChanging = false;
}

void SettingsPanel::gridxtszSelectCell(int row)
{
    if (!m_rowsChanging && row >= 0)
        SelectedTypeRow = row + 1;
}

bool SettingsPanel::eventFilter(QObject *watched, QEvent *event)
{
    // A right press opens the grid's menu and selects nothing, so "删除类型" deletes the
    // row the user selected, the one still shown as selected.
    if (watched == gridxtsz->viewport()
        && (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick)
        && static_cast<QMouseEvent *>(event)->button() == Qt::RightButton)
        return true;
    return QFrame::eventFilter(watched, event);
}

} // namespace quorrel
