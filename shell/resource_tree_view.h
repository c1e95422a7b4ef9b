#pragma once
// fclstxzzy: the resource tree on screen. A plain QTreeView over the core's model, with
// what the tree commands need from it: every mouse press reported before the selection
// moves, the double-click reported after its second press, icons by type number, and tool
// tips only for captions the width cuts off.

#include <QTreeView>

namespace quorrel {

class ResourceTree;
class TreeNode;

class ResourceTreeView : public QTreeView {
    Q_OBJECT
public:
    // New rows reach the view in batches, at most this often (ResourceTree).
    static constexpr int kAnnounceMs = 100;

    explicit ResourceTreeView(QWidget *parent = nullptr);
    void setTree(ResourceTree *tree);
    ResourceTree *tree() const { return m_tree; }

    // The focused node, or none.
    TreeNode *focusedNode() const;
    // Expands FoundRoot and every node below it with children; the rest stays collapsed.
    void expandFoundSide();

signals:
    // Any button, single or double, with the node under the pointer (or none); raised
    // before the tree changes its selection.
    void nodePressed(quorrel::TreeNode *node);
    // A double-click, raised from its second press after nodePressed.
    void doubleClicked();
    // The context menu is asked for at the global position at: by a right press (after
    // its nodePressed), or from the keyboard (the Menu key, Shift+F10), at the focused node.
    void menuRequested(const QPoint &at, bool fromKeyboard);

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    bool viewportEvent(QEvent *event) override;
    void drawBranches(QPainter *painter, const QRect &rect, const QModelIndex &index) const override;

private:
    ResourceTree *m_tree = nullptr;
};

} // namespace quorrel
