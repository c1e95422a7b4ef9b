#pragma once
// The commands the user gives the resource tree with the mouse, the context menu and the
// toolbar. Each acts on the node it names and reports nothing.

#include "catalogue/resource_tree.h"

#include <optional>

namespace quorrel {

// "清除": empties every found category; the categories and the downloaded side stay.
void ClearFoundResources(ResourceTree &tree);

// "删除": deletes ClickedNode with its subtree, unless there is none or it is FoundRoot.
void DeleteClickedNode(ResourceTree &tree);

// "清除本结点资源": deletes the children of ClickedNode when it is a root or a category.
void ClearClickedNode(ResourceTree &tree);

// A mouse press on node (or on blank space) while the preview is open or not: sets
// ClickedNode, and gives the address the preview shows now, if it changes.
std::optional<QString> PressNode(ResourceTree &tree, TreeNode *node, bool previewOpen);

// A double-click on the focused node. A web page without children becomes BaseNode;
// roots and categories are left to the tree's own expanding; any other resource is one
// to download (the caller decides how).
enum class DoubleClick { Nothing, BaseNodeSet, Download };
DoubleClick DoubleClickNode(ResourceTree &tree, TreeNode *node);

} // namespace quorrel
