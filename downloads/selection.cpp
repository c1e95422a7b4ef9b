#include "downloads/selection.h"

namespace quorrel {

Selection N20Select(ResourceTree &tree, const SettingsValues &settings, TaskList &tasks)
{
    Selection s;
    std::vector<TreeNode *> nodes;
    nodes.reserve(static_cast<size_t>(tree.count()));
    tree.forEachPreOrder([&nodes](TreeNode *n, int) { nodes.push_back(n); });
    // From the last node up: a deleted node takes only nodes already visited with it.
    for (auto it = nodes.rbegin(); it != nodes.rend(); ++it) {
        TreeNode *node = *it;
        if (!node->checked() || node->isContainer())
            continue;
        const QString address = TrimBlanks(node->Link());
        const RequestHeaders headers = node->headers() ? *node->headers() : RequestHeaders();
        if (settings.handsOverDownloads()) {
            s.handOver += QLatin1Char('\r') + TrimBlanks(node->caption());
            if (settings.handsOverToAria2())
                s.aria2.append({address, FileNameOf(address), headers, node->imageIndex()});
        } else if (settings.PromptRename) {
            s.renameRows.append({QLatin1Char(' ') + address, QLatin1Char(' ') + FileNameOf(address), headers});
        } else {
            tasks.AddTask(address, FileNameOf(address), settings.SavePath, headers);
            tasks.QueuedAddresses.append(address);
            ++s.queued;
        }
        tree.deleteNode(node);
    }
    return s;
}

QString HandOverText(const QString &handOver)
{
    return handOver + QStringLiteral("\r\n");
}

void ConfirmRenameRows(const QList<RenameRow> &rows, const QString &savePath, TaskList &tasks)
{
    for (const RenameRow &r : rows) {
        tasks.addRow(QLatin1Char(' ') + r.address, QLatin1Char(' ') + savePath + QLatin1Char('/') + TrimBlanks(r.fileName),
                     r.headers);
        tasks.QueuedAddresses.append(TrimBlanks(r.address));
    }
}

DoubleClickDownload DownloadOnDoubleClick(ResourceTree &tree, TreeNode *node, const SettingsValues &settings,
                                          TaskList &tasks)
{
    DoubleClickDownload d;
    const QString caption = TrimBlanks(node->caption());
    if (settings.handsOverToAria2()) {
        const QString address = TrimBlanks(node->Link());
        d.aria2 = Aria2Item{address, FileNameOf(address), node->headers() ? *node->headers() : RequestHeaders(),
                            node->imageIndex()};
    } else if (settings.handsOverDownloads()) {
        d.clipboard = HandOverText(caption);
    } else if (!tasks.isQueued(caption)) {
        const QString address = TrimBlanks(node->Link());
        tasks.AddTask(address, FileNameOf(address), settings.SavePath,
                      node->headers() ? *node->headers() : RequestHeaders());
        d.queued = true;
    }
    tree.deleteNode(node);
    return d;
}

} // namespace quorrel
