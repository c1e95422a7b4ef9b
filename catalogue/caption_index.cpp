#include "catalogue/caption_index.h"

#include "catalogue/tree_node.h"

namespace quorrel {

QString CaptionIndex::fold(const QString &text)
{
    qsizetype i = 0;
    const qsizetype n = text.size();
    const QChar *p = text.constData();
    while (i < n && !(p[i].unicode() >= u'A' && p[i].unicode() <= u'Z'))
        ++i;
    if (i == n)
        return text;
    QString folded = text;
    QChar *q = folded.data();
    for (; i < n; ++i)
        if (q[i].unicode() >= u'A' && q[i].unicode() <= u'Z')
            q[i] = QChar(q[i].unicode() + (u'a' - u'A'));
    return folded;
}

// Seeded per process, as QHash seeds its own: captions come from the wire.
CaptionIndex::Key::Key(QString folded) : text(std::move(folded)), hash(qHash(text, QHashSeed::globalSeed())) {}

void CaptionIndex::insert(TreeNode *node)
{
    m_nodes.insert(Key(fold(node->caption())), node);
}

void CaptionIndex::remove(TreeNode *node)
{
    m_nodes.remove(Key(fold(node->caption())), node);
}

TreeNode *CaptionIndex::find(const QString &text) const
{
    // The nodes of one key lie together: their end is found without comparing keys.
    const auto [first, last] = m_nodes.equal_range(Key(fold(text)));
    if (first == last)
        return nullptr;
    TreeNode *best = first.value();
    for (auto it = std::next(first); it != last; ++it)
        if (PrecedesInPreOrder(it.value(), best))
            best = it.value();
    return best;
}

namespace {

int depthOf(const TreeNode *node)
{
    int depth = 0;
    for (const TreeNode *n = node->parent(); n; n = n->parent())
        ++depth;
    return depth;
}

} // namespace

bool PrecedesInPreOrder(const TreeNode *a, const TreeNode *b)
{
    if (a == b)
        return false;
    const int da = depthOf(a);
    const int db = depthOf(b);
    const TreeNode *x = a;
    const TreeNode *y = b;
    for (int d = da; d > db; --d)
        x = x->parent();
    for (int d = db; d > da; --d)
        y = y->parent();
    if (x == y)
        return da < db; // one is the other's ancestor, and an ancestor comes first
    while (x->parent() != y->parent()) {
        x = x->parent();
        y = y->parent();
    }
    return x->row() < y->row();
}

} // namespace quorrel
