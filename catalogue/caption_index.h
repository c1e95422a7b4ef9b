#pragma once
// The lookup behind FindByCaption: captions with ASCII letters folded to lower case,
// mapped to the nodes that bear them.
//
// Invariant: every node of the tree (roots, categories and resources, never the invisible
// root) is in the index under its folded caption exactly once, from the moment it is
// added until it is removed. Several nodes may share a key (a category and a resource,
// or categories made from a type table that names a type twice); the lookup then picks
// the one that comes first in pre-order, which is what a walk over the tree would find.

#include <QHash>
#include <QString>

namespace quorrel {

class TreeNode;

class CaptionIndex {
public:
    void insert(TreeNode *node);
    void remove(TreeNode *node);
    void clear() { m_nodes.clear(); }
    void reserve(qsizetype n) { m_nodes.reserve(n); }

    // The first node in pre-order whose caption equals text, ASCII case ignored.
    TreeNode *find(const QString &text) const;

    // ASCII A-Z folded to a-z; every other character kept. Shares the text's data when
    // there is nothing to fold.
    static QString fold(const QString &text);

private:
    // A folded caption with its hash, worked out once: growing the table moves keys without
    // hashing them again, and keys of different hashes are told apart without comparing text.
    struct Key {
        QString text;
        size_t hash;
        explicit Key(QString folded);
        friend bool operator==(const Key &a, const Key &b) { return a.hash == b.hash && a.text == b.text; }
        friend size_t qHash(const Key &key, size_t) { return key.hash; }
    };
    QMultiHash<Key, TreeNode *> m_nodes;
};

// True when a comes before b in pre-order (both in the same tree).
bool PrecedesInPreOrder(const TreeNode *a, const TreeNode *b);

} // namespace quorrel
