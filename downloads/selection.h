#pragma once
// "下载选择文件": the ticked resources leave the tree, to another download tool through the
// clipboard, into the rename table, or straight into the task list. And the tree's
// double-click on a resource, which does the same for one.

#include "base/gydy.h"
#include "catalogue/resource_tree.h"
#include "downloads/aria2_rpc.h"
#include "downloads/task_list.h"
#include "settings/settings_values.h"

namespace quorrel {

struct RenameRow {
    QString address;  // column 0: a blank, then the address
    QString fileName; // column 1: a blank, then the file name
    // The resource's captured headers; they go with the task only while column 0 still
    // holds the address they were captured with.
    RequestHeaders headers = {};
};

struct Selection {
    QString handOver;            // for another tool: CR and the caption, per resource
    QList<RenameRow> renameRows; // for the rename table, when it is to be shown
    int queued = 0;              // tasks added at once
    QList<Aria2Item> aria2;      // for aria2, when the settings hand over to it (handOver holds them too)
};

// Visits every node from the bottom of the tree up, takes each ticked resource out of it
// and hands it over, lists it for renaming, or queues it (appending its address to
// QueuedAddresses), as the settings say.
Selection N20Select(ResourceTree &tree, const SettingsValues &settings, TaskList &tasks);

// What goes on the clipboard for another tool: the hand-over text, then CR LF.
QString HandOverText(const QString &handOver);

// "确定" in the rename table: one task per row, the columns as the user left them.
void ConfirmRenameRows(const QList<RenameRow> &rows, const QString &savePath, TaskList &tasks);

// A double-click on a resource that is not a web page: handed over (clipboard set to the
// returned text), or queued unless its caption is queued already. The node goes either way.
struct DoubleClickDownload {
    QString clipboard; // empty unless handed over
    bool queued = false;
    std::optional<Aria2Item> aria2; // handed over to aria2 instead of the clipboard
};
DoubleClickDownload DownloadOnDoubleClick(ResourceTree &tree, TreeNode *node, const SettingsValues &settings,
                                          TaskList &tasks);

} // namespace quorrel
