#pragma once
// zywj.txt: the resources of the tree from one run to the next. One line per resource,
// GBK, CR LF: the caption of its category, two blanks, its address. Reading does not
// restore nodes: each line is filed afresh by the current type table.

#include "catalogue/resource_tree.h"
#include "settings/file_places.h" // kResourceListFileName

#include <QList>
#include <QStringList>
#include <QString>
#include <optional>
#include <utility>
#include <vector>

namespace quorrel {

// Writes every resource that sits under a parent and has an address of 8 bytes or more
// (in GBK, as the file holds it), in pre-order, then the lines in keptLines as they are.
// The new list is written beside the old one and renamed over it, so the file is never
// missing or half written. Returns the error text on failure.
std::optional<QString> SaveResourceList(const ResourceTree &tree, const QString &path,
                                        const QStringList &keptLines = {});

// The bytes SaveResourceList writes.
QByteArray ResourceListBytes(const ResourceTree &tree, const QStringList &keptLines = {});

// What a save writes, taken from the tree at one moment: each node under a parent with its
// parent's caption, sharing the tree's texts (nothing is copied), so that the list can be
// written on another thread while the tree goes on changing. Which of them make lines is
// decided in the writing.
struct ResourceListSnapshot {
    std::vector<std::pair<QString, QString>> entries; // (the parent's caption, the node's Link)
    QStringList keptLines;
};
ResourceListSnapshot SnapshotResourceList(const ResourceTree &tree, const QStringList &keptLines = {});
QByteArray ResourceListBytes(const ResourceListSnapshot &snapshot);
// SaveResourceList for a snapshot; it touches nothing else, so any thread may run it.
std::optional<QString> WriteResourceList(const QString &path, const ResourceListSnapshot &snapshot);

// One line of the file, ready to be filed.
struct ListedResource {
    bool downloaded = false; // the category field holds "√"
    QString text;            // what to file: the line after its separator
    QString category;        // the category field as it stands
    QString line;            // the whole line as read, without its end
};

struct ResourceListReading {
    QList<ListedResource> resources; // blank lines and "×" lines left out
    std::optional<QString> error;    // the file exists but cannot be read
};

// Reads the file; a missing file is an empty list. The file stays where it is: the next
// save replaces it.
ResourceListReading ReadResourceList(const QString &path);

// The same for bytes already read. A line ends at CR LF, a lone CR or a lone LF. Its
// category field ends at the first blank; when the category caption holds blanks of its
// own (type names are the user's), the writer's two blanks end it instead. The two are
// told apart by what follows the first blank: an address (a scheme and "://") means the
// caption had no blank, anything else that the caption goes on.
QList<ListedResource> ParseResourceList(QByteArrayView bytes);

} // namespace quorrel
