#pragma once
// ResourceTree: the program's one catalogue of found and downloaded resources, as an item
// model the window shows directly. Nodes own their children in order and know their own
// row, so parent() and index() are O(1) at any size; FindByCaption is a hash lookup.
//
// New rows may reach the views in batches. A tree view lays out every row it shows on
// each insertion under an open branch, so a burst of captures inserting row by row costs
// it a layout of the whole tree per event-loop turn. With setAnnounceInterval(ms), nodes
// added are in the tree at once (lookups, counts, walks, the duplicate test and the list
// file see them) and the views are told of them later, at most once every ms, with one
// beginInsertRows per parent. Nodes are only ever appended, so the rows a view has not
// been told of are always the last children of their parent: the model shows each parent's
// first m_shown children, and removals, data changes and resets keep to what was shown.

#include "catalogue/caption_index.h"
#include "catalogue/tree_node.h"

#include <QAbstractItemModel>
#include <QElapsedTimer>
#include <QTimer>
#include <functional>
#include <vector>

namespace quorrel {

inline const QString kFoundRootCaption = QStringLiteral("取得资源");
inline const QString kDownloadedRootCaption = QStringLiteral("已下载资源");
inline const QString kFoundRootMark = QStringLiteral("+");
inline const QString kDownloadedMark = QStringLiteral("+xz");
inline const QString kFoundCategoryMark = QStringLiteral("+qd");
inline const QString kDownloadedPrefix = QStringLiteral("√");

// What the tree may hold in all: captured traffic is a stranger's to shape (one page can
// request a million distinct addresses, each up to the readers' bound), and beyond this a
// captured address is refused rather than the program growing without end. A million
// resources are far more than anyone ticks through; the text bound stops long addresses
// first (32,000 of 8 KiB).
struct TreeCapacity {
    int nodes = 1'000'000;
    std::size_t textBytes = 256u * 1024 * 1024; // captions, links and captured headers
};

class ResourceTree : public QAbstractItemModel {
    Q_OBJECT
public:
    enum Role {
        MarkRole = Qt::UserRole + 1,
        LinkRole,
        ImageIndexRole,
    };

    explicit ResourceTree(QObject *parent = nullptr);
    ~ResourceTree() override;

    // Building. A null parent means the top level; a node is appended after its siblings.
    TreeNode *add(TreeNode *parent, NodeFields fields);
    TreeNode *addTopLevel(const QString &caption) { return add(nullptr, {.caption = caption}); }
    TreeNode *addChild(TreeNode *parent, const QString &caption) { return add(parent, {.caption = caption}); }
    void setMark(TreeNode *node, const QString &mark);
    void setLink(TreeNode *node, const QString &link);
    void setImageIndex(TreeNode *node, int image);
    void setCheckBox(TreeNode *node, CheckBox state);
    // Replaces a node's captured headers; empty ones take them away.
    void setHeaders(TreeNode *node, const RequestHeaders &headers);
    // The check box's cycle on a click or the space bar:
    // unchecked -> checked -> grayed -> unchecked. Nodes without a box stay as they are.
    void cycleCheckBox(TreeNode *node);

    // Removing. References to removed nodes are mended: ClickedNode becomes none and
    // BaseNode falls back to FoundRoot.
    void clear();
    void deleteNode(TreeNode *node);
    void deleteChildren(TreeNode *node);

    // Rebuilding many nodes at once: the views are told once, at the end.
    void beginRebuild();
    void endRebuild();

    // Rows added are announced to views at most once every ms (0: at the next turn of the
    // event loop); below 0, as they come (the default). announceWaitingRows() tells the
    // views now.
    void setAnnounceInterval(int ms);
    void announceWaitingRows();

    // RebuildResourceTree steps 1 to 3: the two roots and a category pair per entry of
    // typeNameList. The saved resources are filed by the caller afterwards.
    void BuildCategories(const QString &typeNameList);

    // Lookups.
    TreeNode *FindByCaption(QStringView text) const { return m_captions.find(text); }
    TreeNode *FindByCaption(const QString &text) const { return m_captions.find(text); }
    int count() const { return m_count; }
    // The text the nodes hold (captions, links that are not the caption's own text,
    // captured headers), in bytes: a running sum.
    std::size_t textBytes() const { return m_textBytes; }
    void setCapacity(TreeCapacity capacity) { m_capacity = capacity; }
    const TreeCapacity &capacity() const { return m_capacity; }
    // Whether a node with this caption and link still fits within the capacity.
    bool hasRoomFor(const QString &caption, const QString &link) const;
    TreeNode *nodeAt(int preOrderIndex) const; // walks the tree: for single lookups only
    int topLevelCount() const { return m_root.childCount(); }
    TreeNode *topLevel(int i) const { return m_root.child(i); }
    bool isTopLevel(const TreeNode *node) const { return node->parent() == nullptr; }
    // Every node in pre-order (collapsed children included); fn may not change the tree.
    void forEachPreOrder(const std::function<void(TreeNode *, int depth)> &fn) const;
    // FoundRoot and every node below it that has children: what a rebuild expands.
    std::vector<TreeNode *> foundSideToExpand() const;

    TreeNode *FoundRoot() const { return m_foundRoot; }
    TreeNode *BaseNode() const { return m_baseNode; }
    void setBaseNode(TreeNode *node) { m_baseNode = node; }
    TreeNode *ClickedNode() const { return m_clickedNode; }
    void setClickedNode(TreeNode *node) { m_clickedNode = node; }

    // The model. A node's index is one the views know: rows waiting for their announcement
    // are announced first when node is one of them.
    QModelIndex indexOf(const TreeNode *node) const;
    TreeNode *nodeOf(const QModelIndex &index) const;
    QModelIndex index(int row, int column, const QModelIndex &parent = {}) const override;
    QModelIndex parent(const QModelIndex &child) const override;
    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role) override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

signals:
    // Nodes were added or removed, or a Link changed, outside a rebuild: at once, before
    // the views may be told. What a copy of the resources (the list file) follows.
    void resourcesChanged();

private:
    bool isShown(const TreeNode *node) const; // the views know the node
    QModelIndex rawIndex(const TreeNode *node) const;
    void wait(TreeNode *parent);
    static void showSubtree(TreeNode *node);
    void removeChildAt(TreeNode *parent, int row);
    void forget(TreeNode *node); // drops a subtree from the index and the references
    void changed(TreeNode *node, int role);

    static std::size_t textOf(const TreeNode &node);

    TreeNode m_root; // invisible: its children are the top-level nodes
    CaptionIndex m_captions;
    int m_count = 0;
    std::size_t m_textBytes = 0; // textOf every node, kept where nodes and their texts change
    TreeCapacity m_capacity;
    int m_rebuilding = 0;
    TreeNode *m_foundRoot = nullptr;
    TreeNode *m_baseNode = nullptr;
    TreeNode *m_clickedNode = nullptr;

    int m_announceMs = -1;
    QTimer m_announceTimer;
    QElapsedTimer m_sinceAnnounce;
    // Shown nodes whose last children the views have not been told of yet. Invariant: a
    // node is here exactly when its m_waiting is set; removed nodes leave it.
    std::vector<TreeNode *> m_waiting;
};

} // namespace quorrel
