#include "catalogue/tree_commands.h"

#include "base/gydy.h"

namespace quorrel {

void ClearFoundResources(ResourceTree &tree)
{
    TreeNode *found = tree.FindByCaption(kFoundRootCaption);
    if (!found)
        return;
    for (int i = 0; i < found->childCount(); ++i)
        tree.deleteChildren(found->child(i));
}

void DeleteClickedNode(ResourceTree &tree)
{
    TreeNode *node = tree.ClickedNode();
    if (!node || node->Mark() == kFoundRootMark)
        return;
    tree.deleteNode(node);
}

void ClearClickedNode(ResourceTree &tree)
{
    TreeNode *node = tree.ClickedNode();
    if (node && node->isContainer())
        tree.deleteChildren(node);
}

std::optional<QString> PressNode(ResourceTree &tree, TreeNode *node, bool previewOpen)
{
    tree.setClickedNode(node);
    // FoundRoot is the one node that leaves the page as it is; a category sends its type
    // number, DownloadedRoot an empty address.
    if (!previewOpen || !node || TrimBlanks(node->Mark()) == kFoundRootMark)
        return std::nullopt;
    return TrimBlanks(node->Link());
}

DoubleClick DoubleClickNode(ResourceTree &tree, TreeNode *node)
{
    if (!node)
        return DoubleClick::Nothing;
    if (node->Mark() == QLatin1String("01")) {
        if (node->childCount() > 0)
            return DoubleClick::Nothing;
        tree.setBaseNode(node);
        return DoubleClick::BaseNodeSet;
    }
    if (node->isContainer())
        return DoubleClick::Nothing;
    return DoubleClick::Download;
}

} // namespace quorrel
