#pragma once
// The handle between the tree and the centre. A splitter shares a change of its width in
// proportion to its panes' widths, which would keep the task list narrow beside a tree
// that takes most of a larger window; this one shares it equally, from wherever the user
// left the handle, each pane kept at its minimum.

#include <QSplitter>

namespace quorrel {

class MiddleSplitter : public QSplitter {
    Q_OBJECT
public:
    explicit MiddleSplitter(QWidget *parent = nullptr) : QSplitter(Qt::Horizontal, parent) {}

    // The sizes of two panes that had before and now share total: the change in two equal
    // halves, within the panes' minimum widths.
    static QList<int> Shared(const QList<int> &before, int total, int firstMinimum, int secondMinimum);

protected:
    void resizeEvent(QResizeEvent *event) override;
};

} // namespace quorrel
