#pragma once
// ResourceTree: the program's one catalogue of found and downloaded resources, as an item
// model the window shows directly. Nodes own their children in order and know their own
// row, so parent() and index() are O(1) at any size; FindByCaption is a hash lookup.

#include "catalogue/caption_index.h"
#include "catalogue/tree_node.h"

#include <QAbstractItemModel>
#include <functional>

namespace quorrel {

inline const QString kFoundRootCaption = QStringLiteral("取得资源");
inline const QString kDownloadedRootCaption = QStringLiteral("已下载资源");
inline const QString kFoundRootMark = QStringLiteral("+");
inline const QString kDownloadedMark = QStringLiteral("+xz");
inline const QString kFoundCategoryMark = QStringLiteral("+qd");
inline const QString kDownloadedPrefix = QStringLiteral("√");

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

    // RebuildResourceTree steps 1 to 3: the two roots and a category pair per entry of
    // typeNameList. The saved resources are filed by the caller afterwards.
    void BuildCategories(const QString &typeNameList);

    // Lookups.
    TreeNode *FindByCaption(QStringView text) const { return m_captions.find(text); }
    TreeNode *FindByCaption(const QString &text) const { return m_captions.find(text); }
    int count() const { return m_count; }
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

    // The model.
    QModelIndex indexOf(const TreeNode *node) const;
    TreeNode *nodeOf(const QModelIndex &index) const;
    QModelIndex index(int row, int column, const QModelIndex &parent = {}) const override;
    QModelIndex parent(const QModelIndex &child) const override;
    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role) override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

private:
    void removeChildAt(TreeNode *parent, int row);
    void forget(TreeNode *node); // drops a subtree from the index and the references
    void changed(TreeNode *node, int role);

    TreeNode m_root; // invisible: its children are the top-level nodes
    CaptionIndex m_captions;
    int m_count = 0;
    int m_rebuilding = 0;
    TreeNode *m_foundRoot = nullptr;
    TreeNode *m_baseNode = nullptr;
    TreeNode *m_clickedNode = nullptr;
};

} // namespace quorrel
