#pragma once
// config.ini: the settings values and the table of monitored types, section XT.

#include "base/gydy.h"
#include "settings/settings_values.h"

#include <QList>
#include <QString>
#include <optional>

namespace quorrel {

inline constexpr char16_t kConfigSection[] = u"XT";
inline const QString kConfigFileName = QStringLiteral("config.ini");

// One data row of the type grid: column 0 the type's name, column 1 its extension list.
struct TypeRow {
    QString name;
    QString extensions;
};

// What the settings panel holds when the user saves.
struct SettingsForm {
    QString savePath;          // EditbcPath, as typed
    int downloadModeIndex = 0; // cmbxzfs item index: 0 this program, 1 another tool, -1 none
    bool promptRename = false; // chktsggwjm
    QList<TypeRow> types;      // gridxtsz data rows, row 1 first
};

// Reads every key of config.ini into the settings values (LoadSettings without the tree
// rebuild). defaultSavePath stands in for a missing xzpath, and for one that is empty or
// relative (EffectiveSavePath). A missing file gives every
// default without complaint; a file that exists but cannot be read gives the defaults too,
// and its reason ("无法读取 <path>") in *readError when readError is given.
SettingsValues ReadSettingsValues(const QString &configPath, const QString &defaultSavePath,
                                  std::optional<QString> *readError = nullptr);

// The problems in the type grid, each line starting with CR; empty when there are none.
QString ValidateTypeGrid(const QList<TypeRow> &types);

// "数据无法保存:" + CR + CR + two blanks + problems, trimmed.
QString InvalidGridMessage(const QString &problems);

// Writes the form to config.ini in the order users' files have: xzpath, xzfs, tsggwjm,
// maxtype, the numbered keys, lxmc, as one write. A value that cannot be stored, or a file
// that refuses the write, gives its message ("Unable to write to <path>...") and leaves
// the file as it was.
std::optional<QString> WriteSettingsForm(const QString &configPath, const SettingsForm &form);

// The type grid as config.ini holds it, for the settings panel when it opens: one row per
// entry of typeNameList (trimmed; each entry runs up to the next ";", text after the last
// ";" is a last entry), the name after the entry's first "-", the extension list from the
// numbered key that the entry's number names (trimmed, given a final ";" unless empty). An
// entry whose number is not a decimal integer stops the reading there with
// "'%s' is not a valid integer value"; the rows before it stay. A config.ini that exists but
// cannot be read gives no rows and "无法读取 <path>".
struct TypeGridReading {
    QList<TypeRow> rows;
    std::optional<QString> error;
};
TypeGridReading ReadTypeGrid(const QString &configPath, const QString &typeNameList);

inline const QString kSettingsSavedMessage = QStringLiteral("配置数据顺利保存！！");

} // namespace quorrel
