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
// An open-addressing table of (hash of the folded caption, node) slots, probed linearly,
// at most half full. Each capture looks a caption up and usually files it, so this runs
// for every request: the hash sits in the slot beside its node, and a probe reads one
// stretch of memory, where QHash reads its bucket array, then the entry elsewhere, then
// the key. Captions are compared only when their hashes are equal. The hash is Qt's,
// seeded per process, since captions come from the wire; a removal shifts the slots that
// follow back, so no tombstones build up.

#include <QString>
#include <QStringView>

#include <cstddef>
#include <vector>

namespace quorrel {

class TreeNode;

class CaptionIndex {
public:
    void insert(TreeNode *node);
    void remove(TreeNode *node);
    void clear();

    // The first node in pre-order whose caption equals text, ASCII case ignored.
    TreeNode *find(QStringView text) const;
    // The same; a node inserted next with this very caption (ClassifyLink files a caption
    // it has just looked up) takes the hash computed here.
    TreeNode *find(const QString &text) const;

    // The hash of text with ASCII letters folded.
    static size_t hashOf(QStringView text);
    // text and other are equal once ASCII letters are folded.
    static bool sameCaption(QStringView text, QStringView other);

private:
    struct Slot {
        size_t hash = 0;
        TreeNode *node = nullptr; // none: the slot is free
    };

    TreeNode *find(size_t hash, QStringView text) const;
    void grow();

    std::vector<Slot> m_slots; // a power of two long, or empty
    std::size_t m_used = 0;

    // The caption last looked up as a QString, and its hash. Holding the text keeps its
    // characters from changing or being freed: a caption with the same characters' address
    // is the same text.
    mutable QString m_lastText;
    mutable size_t m_lastHash = 0;
};

// True when a comes before b in pre-order (both in the same tree).
bool PrecedesInPreOrder(const TreeNode *a, const TreeNode *b);

} // namespace quorrel
