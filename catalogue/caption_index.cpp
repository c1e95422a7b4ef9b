#include "catalogue/caption_index.h"

#include "catalogue/tree_node.h"

#include <QVarLengthArray>

namespace quorrel {
namespace {

constexpr char16_t foldAscii(char16_t c) { return (c >= u'A' && c <= u'Z') ? char16_t(c + (u'a' - u'A')) : c; }

} // namespace

CaptionIndex::Key CaptionIndex::keyOf(QStringView text)
{
    // Folded on the stack: captions are addresses, a few hundred characters at most.
    QVarLengthArray<char16_t, 512> folded;
    folded.reserve(text.size());
    for (QChar c : text)
        folded.append(foldAscii(c.unicode()));
    return {qHashBits(folded.constData(), size_t(folded.size()) * sizeof(char16_t), QHashSeed::globalSeed()), text};
}

bool operator==(const CaptionIndex::Key &a, const CaptionIndex::Key &b) noexcept
{
    if (a.hash != b.hash || a.text.size() != b.text.size())
        return false;
    const char16_t *p = a.text.utf16();
    const char16_t *q = b.text.utf16();
    for (qsizetype i = 0; i < a.text.size(); ++i)
        if (p[i] != q[i] && foldAscii(p[i]) != foldAscii(q[i]))
            return false;
    return true;
}

void CaptionIndex::insert(TreeNode *node)
{
    const Key key = keyOf(node->caption());
    auto it = m_first.find(key);
    if (it == m_first.end())
        m_first.emplace(key, node);
    else
        m_more.emplace(key, node);
}

void CaptionIndex::remove(TreeNode *node)
{
    const Key key = keyOf(node->caption());
    auto it = m_first.find(key);
    if (it == m_first.end())
        return;
    if (it.value() != node) {
        m_more.remove(key, node);
        return;
    }
    // The entry's key is the text of the node that goes: another node of the same caption
    // takes its place under its own text.
    m_first.erase(it);
    if (m_more.isEmpty())
        return;
    auto other = m_more.find(key);
    if (other == m_more.end())
        return;
    TreeNode *next = other.value();
    m_more.erase(other);
    m_first.emplace(keyOf(next->caption()), next);
}

void CaptionIndex::clear()
{
    m_first.clear();
    m_more.clear();
}

TreeNode *CaptionIndex::find(QStringView text) const
{
    const Key key = keyOf(text);
    const auto it = m_first.constFind(key);
    if (it == m_first.cend())
        return nullptr;
    TreeNode *best = it.value();
    if (m_more.isEmpty())
        return best;
    const auto [from, to] = m_more.equal_range(key);
    for (auto more = from; more != to; ++more)
        if (PrecedesInPreOrder(more.value(), best))
            best = more.value();
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
