#pragma once
// panxgwjm: the rename table, where the user may change the addresses and file names of
// the ticked resources before they become tasks. It lies over the window, which stays
// usable while it is open.

#include "downloads/selection.h"

#include <QFrame>

class QLabel;
class QTableWidget;
class QToolButton;

namespace quorrel {

class RenamePanel : public QFrame {
    Q_OBJECT
public:
    explicit RenamePanel(QWidget *parent = nullptr);

    QLabel *RzPanel3;
    QTableWidget *gridxgwjm;
    QToolButton *RzToolButton6; // "确定"
    QToolButton *RzToolButton7; // "取消"

    void setRows(const QList<RenameRow> &rows);
    // As the user left them, an edit still open in the grid included.
    QList<RenameRow> rows();
    void ClearRenameGrid();

signals:
    void confirmed();
    void cancelled();

private:
    QList<RenameRow> m_rows; // as given, for the headers of the rows left unchanged
};

} // namespace quorrel
