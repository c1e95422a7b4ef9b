#pragma once
// ClassifyLink: the one way addresses reach the resource tree. Captured requests, finished
// downloads and the saved list all pass through it: the text is cleaned, a relative
// address is joined to the base node's address, the extension gives the type, and the
// address is filed once under its type's category.

#include "base/gydy.h"
#include "base/request_headers.h"
#include "catalogue/resource_tree.h"
#include "settings/settings_values.h"

#include <QString>
#include <optional>

namespace quorrel {

inline const QString kWebLinkCategory = QStringLiteral("01-网页连接");
inline const QString kSelectResourceHint = QStringLiteral("请选择取得资源下的资源，点击右键下载文件");

enum class FileMode {
    Found = 0,      // under FoundRoot's categories
    Downloaded = 1, // under DownloadedRoot's "√" categories
};

struct Classification {
    enum Outcome {
        Filed,       // a node was added
        Duplicate,   // a node with the same caption exists somewhere in the tree
        PagesOff,    // type 1 while page analysis is off
        NoType,      // the type number read is below 1
        Full,        // new, but the tree holds all it may (TreeCapacity): refused
    };
    Outcome outcome = NoType;
    TreeNode *node = nullptr;  // the node added
    int type = 1;
    bool showHint = false;     // put kSelectResourceHint in the status bar
};

// Whether a new resource must fit the tree's capacity. Captured traffic must; what the
// user's own commands put back (a task returned to the tree, a finished download) and the
// saved list are the user's, and always find room.
enum class Admission {
    Always,
    WithinCapacity,
};

// headers: those of the request the address was captured with, when it was. They go with
// the new node; an address already in the tree takes them too, the newest replacing older
// ones (a cookie may have been renewed since). Nothing else of the rule depends on them.
// typeIfUnknown: the type to file under when the type table does not know the address's
// extension (it has none, or one no type lists), as what its request asked for says
// (MediaAskedFor) or the category it was saved under; taken only when the tree has that
// type's category. An extension the table knows always decides.
Classification ClassifyLink(ResourceTree &tree, const SettingsValues &settings,
                            const TreeNode *baseNode, FileMode mode, const QString &text,
                            const RequestHeaders *headers = nullptr, Admission admission = Admission::Always,
                            int typeIfUnknown = 0);

// The type the table gives an extension (".mp4"), when it lists it.
std::optional<int> TypeOfExtension(const SettingsValues &settings, QStringView extension);

// The caption of the category an address would be filed under by ClassifyLink in mode 0,
// on the same rules (the type by its extension, type 1 only with page analysis on); empty
// when it would not be filed. For lists that are sorted by category without a tree.
QString CategoryOfAddress(const SettingsValues &settings, const QString &address);

} // namespace quorrel
