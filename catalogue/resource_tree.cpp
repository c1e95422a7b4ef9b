#include "catalogue/resource_tree.h"

#include <QCoreApplication>

#include "base/gbk_text.h"
#include "base/gydy.h"

namespace quorrel {

TreeNode *TreeNode::parent() const
{
    // Top-level nodes hang below the tree's invisible root, which has no parent itself.
    return (m_parent && m_parent->m_parent) ? m_parent : nullptr;
}

TreeNode *TreeNode::nextSibling() const
{
    if (!m_parent || m_row + 1 >= m_parent->childCount())
        return nullptr;
    return m_parent->child(m_row + 1);
}

bool TreeNode::isContainer() const
{
    const QStringView mark = TrimBlanks(QStringView(m_mark));
    return !mark.isEmpty() && mark.front() == QLatin1Char('+');
}

ResourceTree::ResourceTree(QObject *parent) : QAbstractItemModel(parent)
{
    m_announceTimer.setSingleShot(true);
    connect(&m_announceTimer, &QTimer::timeout, this, &ResourceTree::announceWaitingRows);
}

ResourceTree::~ResourceTree() = default;

TreeNode *ResourceTree::add(TreeNode *parent, NodeFields fields)
{
    TreeNode *into = parent ? parent : &m_root;
    const int row = into->childCount();
    // Views are told of a row only once they know its parent; a rebuild tells them all at
    // its end.
    const bool tell = !m_rebuilding && isShown(into);
    const bool now = tell && m_announceMs < 0;
    if (now)
        beginInsertRows(rawIndex(parent), row, row);
    auto node = std::make_unique<TreeNode>();
    node->m_caption = std::move(fields.caption);
    node->m_mark = std::move(fields.mark);
    node->m_link = std::move(fields.link);
    node->m_image = fields.image;
    node->m_check = fields.check;
    node->m_row = row;
    node->m_parent = into;
    TreeNode *added = node.get();
    into->m_children.push_back(std::move(node));
    m_captions.insert(added);
    ++m_count;
    m_textBytes += textOf(*added);
    if (now) {
        into->m_shown = row + 1;
        endInsertRows();
    } else if (tell) {
        wait(into);
    }
    if (!m_rebuilding)
        emit resourcesChanged();
    return added;
}

bool ResourceTree::isShown(const TreeNode *node) const
{
    for (const TreeNode *n = node; n != &m_root; n = n->m_parent)
        if (n->m_row >= n->m_parent->m_shown)
            return false;
    return true;
}

void ResourceTree::wait(TreeNode *parent)
{
    if (!parent->m_waiting) {
        parent->m_waiting = true;
        m_waiting.push_back(parent);
    }
    if (m_announceTimer.isActive())
        return;
    // The first row after a quiet spell goes out at the next turn; a burst waits for the
    // interval since the last announcement.
    const qint64 since = m_sinceAnnounce.isValid() ? m_sinceAnnounce.elapsed() : m_announceMs;
    m_announceTimer.start(int(std::max<qint64>(0, m_announceMs - since)));
}

void ResourceTree::showSubtree(TreeNode *node)
{
    std::vector<TreeNode *> pending{node};
    while (!pending.empty()) {
        TreeNode *n = pending.back();
        pending.pop_back();
        n->m_shown = n->childCount();
        for (const auto &child : n->m_children)
            pending.push_back(child.get());
    }
}

void ResourceTree::announceWaitingRows()
{
    m_announceTimer.stop();
    if (m_rebuilding)
        return; // its end tells the views of everything
    m_sinceAnnounce.start();
    std::vector<TreeNode *> waiting;
    waiting.swap(m_waiting);
    for (TreeNode *parent : waiting) {
        parent->m_waiting = false;
        const int first = parent->m_shown;
        const int last = parent->childCount() - 1;
        if (last < first)
            continue; // removed before they were announced
        beginInsertRows(rawIndex(parent), first, last);
        for (int r = first; r <= last; ++r)
            showSubtree(parent->child(r));
        parent->m_shown = last + 1;
        endInsertRows();
    }
}

void ResourceTree::setAnnounceInterval(int ms)
{
    m_announceMs = ms;
    announceWaitingRows();
}

void ResourceTree::changed(TreeNode *node, int role)
{
    // A row not announced yet shows its data as it then is.
    if (m_rebuilding || !isShown(node))
        return;
    const QModelIndex index = rawIndex(node);
    emit dataChanged(index, index, {role});
}

void ResourceTree::setMark(TreeNode *node, const QString &mark)
{
    node->m_mark = mark;
    changed(node, MarkRole);
}

void ResourceTree::setHeaders(TreeNode *node, const RequestHeaders &headers)
{
    // Nothing a view shows changes: no signal.
    m_textBytes -= textOf(*node);
    if (headers.isEmpty())
        node->m_headers.reset();
    else
        node->m_headers = std::make_unique<RequestHeaders>(headers);
    m_textBytes += textOf(*node);
}

void ResourceTree::setLink(TreeNode *node, const QString &link)
{
    m_textBytes -= textOf(*node);
    node->m_link = link;
    m_textBytes += textOf(*node);
    changed(node, LinkRole);
    if (!m_rebuilding)
        emit resourcesChanged();
}

void ResourceTree::setImageIndex(TreeNode *node, int image)
{
    node->m_image = image;
    changed(node, ImageIndexRole);
}

void ResourceTree::setCheckBox(TreeNode *node, CheckBox state)
{
    node->m_check = state;
    changed(node, Qt::CheckStateRole);
}

void ResourceTree::cycleCheckBox(TreeNode *node)
{
    switch (node->m_check) {
    case CheckBox::None:
        return;
    case CheckBox::Unchecked:
        setCheckBox(node, CheckBox::Checked);
        return;
    case CheckBox::Checked:
        setCheckBox(node, CheckBox::Grayed);
        return;
    case CheckBox::Grayed:
        setCheckBox(node, CheckBox::Unchecked);
        return;
    }
}

void ResourceTree::forget(TreeNode *node)
{
    // Iterative, so that no shape of tree can exhaust the stack.
    std::vector<TreeNode *> pending{node};
    while (!pending.empty()) {
        TreeNode *n = pending.back();
        pending.pop_back();
        m_captions.remove(n);
        --m_count;
        m_textBytes -= textOf(*n);
        if (n->m_waiting)
            std::erase(m_waiting, n);
        if (n == m_clickedNode)
            m_clickedNode = nullptr;
        if (n == m_baseNode)
            m_baseNode = m_foundRoot;
        if (n == m_foundRoot) {
            m_foundRoot = nullptr; // only a rebuild replaces it
            if (m_baseNode == n)
                m_baseNode = nullptr;
        }
        for (const auto &child : n->m_children)
            pending.push_back(child.get());
    }
}

void ResourceTree::removeChildAt(TreeNode *parent, int row)
{
    TreeNode *from = parent ? parent : &m_root;
    const bool shown = row < from->m_shown;
    const bool tell = !m_rebuilding && shown && isShown(from);
    if (tell)
        beginRemoveRows(rawIndex(parent), row, row);
    forget(from->child(row));
    from->m_children.erase(from->m_children.begin() + row);
    for (int r = row; r < from->childCount(); ++r)
        from->child(r)->m_row = r;
    if (shown)
        --from->m_shown;
    if (tell)
        endRemoveRows();
    if (!m_rebuilding)
        emit resourcesChanged();
}

void ResourceTree::deleteNode(TreeNode *node)
{
    removeChildAt(node->parent(), node->row());
}

void ResourceTree::deleteChildren(TreeNode *node)
{
    if (node->m_children.empty())
        return;
    const bool tell = !m_rebuilding && node->m_shown > 0 && isShown(node);
    if (tell)
        beginRemoveRows(rawIndex(node), 0, node->m_shown - 1);
    for (const auto &child : node->m_children)
        forget(child.get());
    node->m_children.clear();
    node->m_shown = 0;
    if (tell)
        endRemoveRows();
    if (!m_rebuilding)
        emit resourcesChanged();
}

std::size_t ResourceTree::textOf(const TreeNode &node)
{
    // A captured address is its node's caption and link in one shared text.
    const qsizetype chars = node.m_caption.size() + (node.m_link.isSharedWith(node.m_caption) ? 0 : node.m_link.size());
    std::size_t bytes = std::size_t(chars) * sizeof(QChar);
    if (const RequestHeaders *h = node.m_headers.get())
        bytes += std::size_t(h->referer.size() + h->cookie.size() + h->userAgent.size());
    return bytes;
}

bool ResourceTree::hasRoomFor(const QString &caption, const QString &link) const
{
    const qsizetype chars = caption.size() + (link.isSharedWith(caption) ? 0 : link.size());
    return m_count < m_capacity.nodes && m_textBytes + std::size_t(chars) * sizeof(QChar) <= m_capacity.textBytes;
}

void ResourceTree::clear()
{
    if (!m_rebuilding)
        beginResetModel();
    m_root.m_children.clear();
    m_root.m_shown = 0;
    m_waiting.clear(); // its nodes are gone
    m_announceTimer.stop();
    m_captions.clear();
    m_count = 0;
    m_textBytes = 0;
    m_foundRoot = m_baseNode = m_clickedNode = nullptr;
    if (!m_rebuilding)
        endResetModel();
}

void ResourceTree::beginRebuild()
{
    if (m_rebuilding++ == 0)
        beginResetModel();
}

void ResourceTree::endRebuild()
{
    if (--m_rebuilding > 0)
        return;
    // The views start again from the whole tree.
    for (TreeNode *n : m_waiting)
        n->m_waiting = false;
    m_waiting.clear();
    m_announceTimer.stop();
    showSubtree(&m_root);
    endResetModel();
}

void ResourceTree::BuildCategories(const QString &typeNameList)
{
    beginRebuild();
    clear();

    TreeNode *found = add(nullptr, {.caption = kFoundRootCaption, .mark = kFoundRootMark});
    TreeNode *downloaded = add(nullptr, {.caption = kDownloadedRootCaption, .mark = kDownloadedMark});
    m_foundRoot = found;
    m_baseNode = found;

    // Entries run up to each ";". Text after the last ";" (an entry the settings writer
    // never produces) is taken as a last entry, so nothing the user typed is hidden.
    QStringView rest = TrimBlanks(QStringView(typeNameList));
    while (!rest.isEmpty()) {
        const qsizetype semicolon = rest.indexOf(QLatin1Char(';'));
        const QStringView entry = semicolon < 0 ? rest : rest.left(semicolon);
        rest = semicolon < 0 ? QStringView() : rest.sliced(semicolon + 1);

        const qsizetype dash = entry.indexOf(QLatin1Char('-'));
        const QString number = TrimBlanks(dash < 0 ? QStringView() : entry.left(dash)).toString();
        int image = 0;
        if (!ReadDecimal(number, image))
            image = 0;
        const QString caption = TrimBlanks(entry).toString();

        add(found, {caption, kFoundCategoryMark, number, image});
        add(downloaded, {kDownloadedPrefix + caption, kDownloadedMark, number, image});
    }
    endRebuild();
}

TreeNode *ResourceTree::nodeAt(int preOrderIndex) const
{
    if (preOrderIndex < 0 || preOrderIndex >= m_count)
        return nullptr;
    int i = 0;
    TreeNode *hit = nullptr;
    std::vector<const TreeNode *> pending;
    for (int r = m_root.childCount() - 1; r >= 0; --r)
        pending.push_back(m_root.child(r));
    while (!pending.empty()) {
        const TreeNode *n = pending.back();
        pending.pop_back();
        if (i++ == preOrderIndex) {
            hit = const_cast<TreeNode *>(n);
            break;
        }
        for (int r = n->childCount() - 1; r >= 0; --r)
            pending.push_back(n->child(r));
    }
    return hit;
}

void ResourceTree::forEachPreOrder(const std::function<void(TreeNode *, int)> &fn) const
{
    std::vector<std::pair<TreeNode *, int>> pending;
    for (int r = m_root.childCount() - 1; r >= 0; --r)
        pending.emplace_back(m_root.child(r), 0);
    while (!pending.empty()) {
        auto [n, depth] = pending.back();
        pending.pop_back();
        fn(n, depth);
        for (int r = n->childCount() - 1; r >= 0; --r)
            pending.emplace_back(n->child(r), depth + 1);
    }
}

std::vector<TreeNode *> ResourceTree::foundSideToExpand() const
{
    std::vector<TreeNode *> nodes;
    if (!m_foundRoot)
        return nodes;
    std::vector<TreeNode *> pending{m_foundRoot};
    while (!pending.empty()) {
        TreeNode *n = pending.back();
        pending.pop_back();
        if (n->childCount() == 0)
            continue;
        nodes.push_back(n);
        for (const auto &child : n->m_children)
            pending.push_back(child.get());
    }
    return nodes;
}

QModelIndex ResourceTree::indexOf(const TreeNode *node) const
{
    if (node && node != &m_root && !m_rebuilding && !isShown(node))
        const_cast<ResourceTree *>(this)->announceWaitingRows();
    return rawIndex(node);
}

QModelIndex ResourceTree::rawIndex(const TreeNode *node) const
{
    if (!node || node == &m_root)
        return {};
    return createIndex(node->row(), 0, const_cast<TreeNode *>(node));
}

TreeNode *ResourceTree::nodeOf(const QModelIndex &index) const
{
    if (!index.isValid())
        return nullptr;
    return static_cast<TreeNode *>(index.internalPointer());
}

QModelIndex ResourceTree::index(int row, int column, const QModelIndex &parent) const
{
    if (!hasIndex(row, column, parent))
        return {};
    const TreeNode *p = parent.isValid() ? nodeOf(parent) : &m_root;
    return createIndex(row, column, p->child(row));
}

QModelIndex ResourceTree::parent(const QModelIndex &child) const
{
    if (!child.isValid())
        return {};
    return rawIndex(nodeOf(child)->parent());
}

int ResourceTree::rowCount(const QModelIndex &parent) const
{
    if (parent.column() > 0)
        return 0;
    const TreeNode *p = parent.isValid() ? nodeOf(parent) : &m_root;
    return p->m_shown;
}

int ResourceTree::columnCount(const QModelIndex &) const
{
    return 1;
}

QVariant ResourceTree::data(const QModelIndex &index, int role) const
{
    const TreeNode *node = nodeOf(index);
    if (!node)
        return {};
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        // The two roots are the program's words, shown in the window's language; every other
        // caption is an address or a type name of the user's.
        if (!node->parent() && (node->caption() == kFoundRootCaption || node->caption() == kDownloadedRootCaption))
            return QCoreApplication::translate("quorrel", node->caption().toUtf8().constData());
        return GbkBytesShown(node->caption()); // a byte that was not GBK has no glyph: %XX

    case Qt::CheckStateRole:
        switch (node->checkBox()) {
        case CheckBox::None:
            return {};
        case CheckBox::Unchecked:
            return Qt::Unchecked;
        case CheckBox::Checked:
            return Qt::Checked;
        case CheckBox::Grayed:
            return Qt::PartiallyChecked;
        }
        return {};
    case MarkRole:
        return node->Mark();
    case LinkRole:
        return node->Link();
    case ImageIndexRole:
        return node->imageIndex();
    default:
        return {};
    }
}

bool ResourceTree::setData(const QModelIndex &index, const QVariant &, int role)
{
    // A view asks for the next state of a box on a click or the space bar; the tree has a
    // cycle of its own (unchecked, checked, grayed), so the value a view proposes is not used.
    TreeNode *node = nodeOf(index);
    if (!node || role != Qt::CheckStateRole || !node->hasCheckBox())
        return false;
    cycleCheckBox(node);
    return true;
}

Qt::ItemFlags ResourceTree::flags(const QModelIndex &index) const
{
    const TreeNode *node = nodeOf(index);
    if (!node)
        return Qt::NoItemFlags;
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (node->hasCheckBox())
        f |= Qt::ItemIsUserCheckable;
    return f;
}

} // namespace quorrel
