#pragma once
// One node of the resource tree: a root, a category or a resource.

#include "base/request_headers.h"

#include <QString>
#include <memory>
#include <vector>

namespace quorrel {

enum class CheckBox : unsigned char {
    None,      // roots and categories
    Unchecked,
    Checked,
    Grayed,    // the third state; counts as checked
};

// What a new node carries.
struct NodeFields {
    QString caption{};
    QString mark{};
    QString link{};
    int image = 0;
    CheckBox check = CheckBox::None;
};

class TreeNode {
public:
    const QString &caption() const { return m_caption; }
    const QString &Mark() const { return m_mark; }
    const QString &Link() const { return m_link; }
    int imageIndex() const { return m_image; }
    CheckBox checkBox() const { return m_check; }
    bool hasCheckBox() const { return m_check != CheckBox::None; }
    bool checked() const { return m_check == CheckBox::Checked || m_check == CheckBox::Grayed; }
    bool grayed() const { return m_check == CheckBox::Grayed; }
    // The headers of the request a resource was captured with in this run, or nullptr.
    // In memory only: the list file and the views never see them.
    const RequestHeaders *headers() const { return m_headers.get(); }

    // The parent node; nullptr for a top-level node.
    TreeNode *parent() const;
    int row() const { return m_row; }
    int childCount() const { return static_cast<int>(m_children.size()); }
    TreeNode *child(int i) const { return m_children[static_cast<size_t>(i)].get(); }
    TreeNode *firstChild() const { return m_children.empty() ? nullptr : m_children.front().get(); }
    TreeNode *nextSibling() const;

    // A container is a root or a category: its trimmed Mark begins with "+".
    bool isContainer() const;

private:
    friend class ResourceTree;

    QString m_caption;
    QString m_mark;
    QString m_link;
    int m_image = 0;
    CheckBox m_check = CheckBox::None;
    bool m_waiting = false;     // on the tree's list of nodes with rows the views have not been told of
    std::unique_ptr<RequestHeaders> m_headers; // most nodes have none: a pointer, not three arrays
    int m_row = 0;              // index among the parent's children, kept on every removal
    int m_shown = 0;            // the first children, the ones the views know (ResourceTree)
    TreeNode *m_parent = nullptr; // the tree's invisible root for top-level nodes
    std::vector<std::unique_ptr<TreeNode>> m_children;
};

} // namespace quorrel
