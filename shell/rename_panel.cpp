#include "shell/rename_panel.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QTableWidget>
#include <QToolButton>
#include <QVBoxLayout>

namespace quorrel {
namespace {

// The grid, able to take in an edit that is still open. The buttons take no focus, so
// a click on "确定" leaves the editor open, its text not yet in the cell.
class RenameGrid : public QTableWidget {
public:
    using QTableWidget::QTableWidget;

    void commitOpenEdit()
    {
        if (state() != EditingState)
            return;
        // Editors live on the viewport; commitData passes over a widget that is none.
        for (QWidget *editor : viewport()->findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
            if (!editor->isHidden())
                commitData(editor);
    }
};

} // namespace

RenamePanel::RenamePanel(QWidget *parent) : QFrame(parent)
{
    setObjectName(QStringLiteral("panxgwjm"));
    setFrameStyle(QFrame::Panel | QFrame::Raised);
    setAutoFillBackground(true);
    resize(480, 260);

    RzPanel3 = new QLabel(tr("下载文件名更改"));
    RzPanel3->setObjectName(QStringLiteral("RzPanel3"));
    gridxgwjm = new RenameGrid(0, 2);
    gridxgwjm->setObjectName(QStringLiteral("gridxgwjm"));
    gridxgwjm->setHorizontalHeaderLabels({tr("下载地址"), tr("文件名")});
    gridxgwjm->setColumnWidth(0, 250);
    gridxgwjm->setColumnWidth(1, 200);
    gridxgwjm->verticalHeader()->setDefaultSectionSize(21);
    gridxgwjm->verticalHeader()->hide();
    RzToolButton6 = new QToolButton;
    RzToolButton6->setText(tr("确定"));
    RzToolButton7 = new QToolButton;
    RzToolButton7->setText(tr("取消"));
    auto *buttons = new QHBoxLayout;
    buttons->setObjectName(QStringLiteral("RzPanel4"));
    buttons->addStretch();
    buttons->addWidget(RzToolButton6);
    buttons->addWidget(RzToolButton7);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addWidget(RzPanel3);
    layout->addWidget(gridxgwjm, 1);
    layout->addLayout(buttons);
    connect(RzToolButton6, &QToolButton::clicked, this, &RenamePanel::confirmed);
    connect(RzToolButton7, &QToolButton::clicked, this, &RenamePanel::cancelled);
    hide();
}

void RenamePanel::setRows(const QList<RenameRow> &rows)
{
    ClearRenameGrid();
    m_rows = rows;
    for (const RenameRow &r : rows) {
        const int row = gridxgwjm->rowCount();
        gridxgwjm->insertRow(row);
        gridxgwjm->setItem(row, 0, new QTableWidgetItem(r.address));
        gridxgwjm->setItem(row, 1, new QTableWidgetItem(r.fileName));
    }
}

QList<RenameRow> RenamePanel::rows()
{
    static_cast<RenameGrid *>(gridxgwjm)->commitOpenEdit();
    QList<RenameRow> rows;
    for (int r = 0; r < gridxgwjm->rowCount(); ++r) {
        const auto cell = [&](int c) { return gridxgwjm->item(r, c) ? gridxgwjm->item(r, c)->text() : QString(); };
        // The captured headers stay with a row whose address the user left as it was.
        const bool same = r < m_rows.size() && TrimBlanks(m_rows[r].address) == TrimBlanks(cell(0));
        rows.append({cell(0), cell(1), same ? m_rows[r].headers : RequestHeaders()});
    }
    return rows;
}

void RenamePanel::ClearRenameGrid()
{
    gridxgwjm->setRowCount(0); // the header row stays
    m_rows.clear();
}

} // namespace quorrel
