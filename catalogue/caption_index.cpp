#include "catalogue/caption_index.h"

#include "catalogue/tree_node.h"

#include <QHash>
#include <QVarLengthArray>

namespace quorrel {
namespace {

constexpr char16_t foldAscii(char16_t c) { return (c >= u'A' && c <= u'Z') ? char16_t(c + (u'a' - u'A')) : c; }

constexpr std::size_t kFirstSize = 64;

} // namespace

size_t CaptionIndex::hashOf(QStringView text)
{
    // Folded on the stack: captions are addresses, a few hundred characters at most.
    QVarLengthArray<char16_t, 512> folded;
    folded.reserve(text.size());
    for (QChar c : text)
        folded.append(foldAscii(c.unicode()));
    return qHashBits(folded.constData(), size_t(folded.size()) * sizeof(char16_t), QHashSeed::globalSeed());
}

bool CaptionIndex::sameCaption(QStringView text, QStringView other)
{
    if (text.size() != other.size())
        return false;
    const char16_t *p = text.utf16();
    const char16_t *q = other.utf16();
    for (qsizetype i = 0; i < text.size(); ++i)
        if (p[i] != q[i] && foldAscii(p[i]) != foldAscii(q[i]))
            return false;
    return true;
}

void CaptionIndex::insert(TreeNode *node)
{
    const QString &caption = node->caption();
    const bool looked = !m_lastText.isNull() && caption.constData() == m_lastText.constData()
        && caption.size() == m_lastText.size();
    const size_t hash = looked ? m_lastHash : hashOf(caption);
    m_lastText = QString();
    if ((m_used + 1) * 2 > m_slots.size())
        grow();
    const std::size_t mask = m_slots.size() - 1;
    std::size_t i = hash & mask;
    while (m_slots[i].node)
        i = (i + 1) & mask;
    m_slots[i] = {hash, node};
    ++m_used;
}

void CaptionIndex::grow()
{
    std::vector<Slot> old;
    old.swap(m_slots);
    m_slots.resize(old.empty() ? kFirstSize : old.size() * 2);
    const std::size_t mask = m_slots.size() - 1;
    for (const Slot &slot : old) {
        if (!slot.node)
            continue;
        std::size_t i = slot.hash & mask;
        while (m_slots[i].node)
            i = (i + 1) & mask;
        m_slots[i] = slot;
    }
}

void CaptionIndex::remove(TreeNode *node)
{
    if (m_slots.empty())
        return;
    const std::size_t mask = m_slots.size() - 1;
    std::size_t i = hashOf(node->caption()) & mask;
    while (m_slots[i].node != node) {
        if (!m_slots[i].node)
            return; // not in the index
        i = (i + 1) & mask;
    }
    // Shift back each later slot of the run that may sit at the freed place: one whose home
    // is not cyclically within (i, j].
    for (std::size_t j = (i + 1) & mask; m_slots[j].node; j = (j + 1) & mask) {
        const std::size_t home = m_slots[j].hash & mask;
        const bool between = i <= j ? (i < home && home <= j) : (i < home || home <= j);
        if (!between) {
            m_slots[i] = m_slots[j];
            i = j;
        }
    }
    m_slots[i] = {};
    --m_used;
}

void CaptionIndex::clear()
{
    m_lastText = QString();
    m_slots.clear();
    m_used = 0;
}

TreeNode *CaptionIndex::find(QStringView text) const
{
    return find(hashOf(text), text);
}

TreeNode *CaptionIndex::find(const QString &text) const
{
    const size_t hash = hashOf(text);
    m_lastText = text;
    m_lastHash = hash;
    return find(hash, text);
}

TreeNode *CaptionIndex::find(size_t hash, QStringView text) const
{
    if (m_slots.empty())
        return nullptr;
    const std::size_t mask = m_slots.size() - 1;
    TreeNode *best = nullptr;
    for (std::size_t i = hash & mask; m_slots[i].node; i = (i + 1) & mask) {
        const Slot &slot = m_slots[i];
        if (slot.hash == hash && sameCaption(slot.node->caption(), text)
            && (!best || PrecedesInPreOrder(slot.node, best)))
            best = slot.node;
    }
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
