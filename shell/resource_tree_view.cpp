#include "shell/resource_tree_view.h"

#include "catalogue/resource_tree.h"
#include "shell/glyphs.h"
#include "shell/icon_delegate.h"

#include <QContextMenuEvent>
#include <QHelpEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>

namespace quorrel {
ResourceTreeView::ResourceTreeView(QWidget *parent) : QTreeView(parent)
{
    setObjectName(QStringLiteral("fclstxzzy"));
    setHeaderHidden(true);
    setIndentation(19);
    setRootIsDecorated(true);
    setUniformRowHeights(true); // 100,000 resources scroll smoothly
    setExpandsOnDoubleClick(true);
    // An address too long for the pane keeps its start and its file name.
    setTextElideMode(Qt::ElideMiddle);
    setContextMenuPolicy(Qt::DefaultContextMenu); // contextMenuEvent tells mouse from keyboard
    setItemDelegate(new IconDelegate(ResourceTree::ImageIndexRole, &TreeIcon, this));
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    // The selection is not shown while the tree does not have the focus.
    QPalette p = palette();
    p.setColor(QPalette::Inactive, QPalette::Highlight, p.color(QPalette::Inactive, QPalette::Base));
    p.setColor(QPalette::Inactive, QPalette::HighlightedText, p.color(QPalette::Inactive, QPalette::Text));
    setPalette(p);
}

void ResourceTreeView::setTree(ResourceTree *tree)
{
    m_tree = tree;
    // A tree view lays out every row it shows again for each insertion under an open
    // branch: a burst of captures, told row by row, would cost a layout of the whole tree
    // each turn of the event loop. Told in batches, it costs one every kAnnounceMs (about
    // 8 ms per 50,000 rows shown), and a new resource shows within that time.
    tree->setAnnounceInterval(kAnnounceMs);
    setModel(tree);
}

TreeNode *ResourceTreeView::focusedNode() const
{
    return m_tree ? m_tree->nodeOf(currentIndex()) : nullptr;
}

void ResourceTreeView::expandFoundSide()
{
    if (!m_tree)
        return;
    m_tree->announceWaitingRows();
    for (TreeNode *node : m_tree->foundSideToExpand())
        expand(m_tree->indexOf(node));
}

void ResourceTreeView::mousePressEvent(QMouseEvent *event)
{
    emit nodePressed(m_tree ? m_tree->nodeOf(indexAt(event->position().toPoint())) : nullptr);
    // A press of any button, the right one included, selects the node under the pointer.
    QTreeView::mousePressEvent(event);
}

void ResourceTreeView::mouseDoubleClickEvent(QMouseEvent *event)
{
    // The second press of a double-click is a press like any other.
    emit nodePressed(m_tree ? m_tree->nodeOf(indexAt(event->position().toPoint())) : nullptr);
    QTreeView::mouseDoubleClickEvent(event);
    emit doubleClicked();
}

void ResourceTreeView::contextMenuEvent(QContextMenuEvent *event)
{
    const bool fromKeyboard = event->reason() != QContextMenuEvent::Mouse;
    QPoint at = event->globalPos();
    if (fromKeyboard && currentIndex().isValid()) {
        // Under the focused node, where the user is looking.
        scrollTo(currentIndex());
        at = viewport()->mapToGlobal(visualRect(currentIndex()).bottomLeft());
    }
    event->accept();
    emit menuRequested(at, fromKeyboard);
}

bool ResourceTreeView::viewportEvent(QEvent *event)
{
    if (event->type() == QEvent::ToolTip) {
        // Only a caption the width cuts off gets a tool tip.
        auto *help = static_cast<QHelpEvent *>(event);
        const QModelIndex index = indexAt(help->pos());
        if (index.isValid()) {
            const QRect shown = visualRect(index);
            const int needed = sizeHintForIndex(index).width();
            if (shown.left() + needed <= viewport()->width()) {
                QToolTip::hideText();
                event->ignore();
                return true;
            }
        }
    }
    return QTreeView::viewportEvent(event);
}

void ResourceTreeView::drawBranches(QPainter *painter, const QRect &rect, const QModelIndex &index) const
{
    // Connecting lines in blue, then the style's expand buttons over them.
    painter->save();
    painter->setPen(QPen(QColor(0x33, 0x66, 0xCC), 1, Qt::DotLine));
    const int step = indentation();
    int depth = 0;
    for (QModelIndex p = index.parent(); p.isValid(); p = p.parent())
        ++depth;
    const int midY = rect.top() + rect.height() / 2;
    // This node's own elbow.
    const int x = rect.left() + depth * step + step / 2;
    const bool last = !index.sibling(index.row() + 1, 0).isValid();
    painter->drawLine(x, rect.top(), x, last ? midY : rect.bottom());
    painter->drawLine(x, midY, x + step / 2, midY);
    // The lines of the ancestors that have siblings below.
    QModelIndex ancestor = index.parent();
    for (int d = depth - 1; d >= 0 && ancestor.isValid(); --d, ancestor = ancestor.parent()) {
        if (ancestor.sibling(ancestor.row() + 1, 0).isValid()) {
            const int ax = rect.left() + d * step + step / 2;
            painter->drawLine(ax, rect.top(), ax, rect.bottom());
        }
    }
    painter->restore();
    if (model()->hasChildren(index)) {
        QStyleOption opt;
        opt.initFrom(this);
        opt.rect = QRect(rect.left() + depth * step, rect.top(), step, rect.height());
        opt.state |= QStyle::State_Children;
        if (isExpanded(index))
            opt.state |= QStyle::State_Open;
        style()->drawPrimitive(QStyle::PE_IndicatorBranch, &opt, painter, this);
    }
}

} // namespace quorrel
