#pragma once
// The lookup behind FindByCaption: captions with ASCII letters folded to lower case,
// mapped to the nodes that bear them.
//
// Invariant: every node of the tree (roots, categories and resources, never the invisible
// root) is in the index under its folded caption exactly once, from the moment it is
// added until it is removed. Several nodes may share a key (a category and a resource,
// or categories made from a type table that names a type twice); the lookup then picks
// the one that comes first in pre-order, which is what a walk over the tree would find.
//
// A key is the caption's own text (a node's caption never changes while it is in the
// tree) with the hash of its folded form, computed once: growing the table and comparing
// keys cost no hashing and no folded copies. The hash is Qt's, seeded per process, since
// captions come from the wire.

#include <QHash>
#include <QString>
#include <QStringView>

namespace quorrel {

class TreeNode;

class CaptionIndex {
public:
    void insert(TreeNode *node);
    void remove(TreeNode *node);
    void clear();
    void reserve(qsizetype n) { m_first.reserve(n); }

    // The first node in pre-order whose caption equals text, ASCII case ignored.
    TreeNode *find(QStringView text) const;

    // A caption as the table keeps it: equal keys are equal once ASCII letters are folded.
    struct Key {
        size_t hash;      // of the folded text
        QStringView text; // as it stands, letters unfolded
    };
    static Key keyOf(QStringView text);

private:
    // One node per caption: the usual case, without a chain per entry.
    QHash<Key, TreeNode *> m_first;
    // The other nodes whose caption is already in m_first: nearly always none.
    QMultiHash<Key, TreeNode *> m_more;
};

bool operator==(const CaptionIndex::Key &a, const CaptionIndex::Key &b) noexcept;
inline size_t qHash(const CaptionIndex::Key &key, size_t) noexcept { return key.hash; }

// True when a comes before b in pre-order (both in the same tree).
bool PrecedesInPreOrder(const TreeNode *a, const TreeNode *b);

} // namespace quorrel
