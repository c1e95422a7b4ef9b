#pragma once
// The program's catalogue state: the settings values, the resource tree and the folder
// their files live in, with the operations that tie them together (loading the settings
// rebuilds the tree and files the saved list back; saving the settings keeps the list).
// The window and the headless tools each hold one.

#include "base/gydy.h"
#include "catalogue/classify_link.h"
#include "catalogue/resource_list_file.h"
#include "catalogue/resource_tree.h"
#include "settings/config_file.h"

#include <QString>
#include <optional>

namespace quorrel {

class Catalogue {
public:
    // dir holds config.ini and zywj.txt; defaultSavePath stands in for a missing xzpath.
    Catalogue(QString dir, QString defaultSavePath);

    const QString &dir() const { return m_dir; }
    QString configPath() const { return AppFile(m_dir, kConfigFileName); }
    QString resourceListPath() const { return AppFile(m_dir, kResourceListFileName); }

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
    std::optional<QString> SaveResourceList() const;

    Classification ClassifyLink(const TreeNode *baseNode, FileMode mode, const QString &text);

    // The file side of saving the settings panel: checks the type grid, writes the
    // resource list, then config.ini. The caller shows the message and, when saved is
    // true, runs LoadSettings once the user has read it.
    struct SaveOutcome {
        bool saved = false;
        QString message;
    };
    SaveOutcome SaveSettings(const SettingsForm &form);

private:
    QString m_dir;
    QString m_defaultSavePath;
    SettingsValues m_settings;
    ResourceTree m_tree;
};

} // namespace quorrel
