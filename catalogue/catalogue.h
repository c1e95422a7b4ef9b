#pragma once
// The program's catalogue state: the settings values, the resource tree and the places of
// their files, with the operations that tie them together (loading the settings
// rebuilds the tree and files the saved list back; saving the settings keeps the list).
// The window and the headless tools each hold one.

#include "base/fetch_hints.h"
#include "base/gydy.h"
#include "catalogue/classify_link.h"
#include "catalogue/resource_list_file.h"
#include "catalogue/resource_tree.h"
#include "settings/config_file.h"
#include "settings/file_places.h"

#include <QFuture>
#include <QString>
#include <QStringList>
#include <optional>

namespace quorrel {

class Catalogue {
public:
    // places names config.ini and zywj.txt; defaultSavePath stands in for a missing xzpath.
    Catalogue(FilePlaces places, QString defaultSavePath);
    // Both files in dir.
    Catalogue(const QString &dir, QString defaultSavePath);

    const FilePlaces &places() const { return m_places; }
    const QString &configPath() const { return m_places.configPath; }
    const QString &resourceListPath() const { return m_places.resourceListPath; }

    ResourceTree &tree() { return m_tree; }
    const ResourceTree &tree() const { return m_tree; }
    const SettingsValues &settings() const { return m_settings; }

    // Reads config.ini, then rebuilds the tree. Returns the error of reading config.ini
    // (its defaults are used) or the saved list (the tree then holds its roots and
    // categories only), if any.
    std::optional<QString> LoadSettings();

    // The two roots, a category pair per type, the saved resources filed again.
    std::optional<QString> RebuildResourceTree();
    std::optional<QString> LoadResourceList();
    // Writes the tree's resources and the lines kept aside. A list that could not be read
    // when the tree was built is not replaced while it still cannot be read: what it
    // holds would be lost.
    std::optional<QString> SaveResourceList();
    // The same, written on another thread from a snapshot of the tree taken now: a list of
    // a hundred thousand resources takes a quarter of a second to write, which the window
    // must not wait for. Saves reach the file in the order they were asked for: one asked
    // for while another is being written waits for it first.
    QFuture<std::optional<QString>> SaveResourceListInBackground();
    ~Catalogue();

    // Lines of zywj.txt that the current type table does not file (page addresses while
    // page analysis is off, types without a category, type numbers below 1) are kept aside
    // and written back as they were read: a resource leaves the list only through the
    // user's own commands. Read again at every rebuild, so a new type table may file them.
    const QStringList &keptAside() const { return m_keptAside; }
    // What the log says about them after a rebuild; nothing when no line was kept aside.
    std::optional<QString> keptAsideNote() const;

    // headers: those of the request the address was captured with (see quorrel::ClassifyLink).
    // typeIfUnknown: the type a resource had, to put it back there (see quorrel::ClassifyLink).
    Classification ClassifyLink(const TreeNode *baseNode, FileMode mode, const QString &text,
                                const RequestHeaders *headers = nullptr, int typeIfUnknown = 0);
    // A captured request's address, filed against BaseNode on the found side, within the
    // tree's capacity. hints: what the request said it fetches; with qqfl on, an address
    // whose extension the table does not know is filed as that media (MediaAskedFor).
    Classification FileCaptured(const QString &address, const RequestHeaders *headers,
                                const FetchHints *hints = nullptr);

    // What the log says when a captured address is refused because the tree is full.
    QString fullNotice() const;

    // The file side of saving the settings panel: checks the type grid, writes the
    // resource list, then config.ini. The caller shows the message and, when saved is
    // true, runs LoadSettings once the user has read it.
    struct SaveOutcome {
        bool saved = false;
        QString message;
    };
    SaveOutcome SaveSettings(const SettingsForm &form);

private:
    FilePlaces m_places;
    QString m_defaultSavePath;
    SettingsValues m_settings;
    ResourceTree m_tree;
    QStringList m_keptAside;
    int m_keptPagesOff = 0;     // type 1 while page analysis is off
    int m_keptNoCategory = 0;   // no category node bears its type's caption
    int m_keptNoType = 0;       // a type number below 1
    std::optional<QString> m_listUnread; // why zywj.txt could not be read at the last rebuild
    std::optional<QString> takeBackUnreadList();
    QFuture<std::optional<QString>> m_writing; // the last save written in the background
};

} // namespace quorrel
