#pragma once
// Values and helpers shared by every part of the program.

#include <QString>

namespace quorrel {

// The settings read from config.ini, replaced wholesale by every LoadSettings.
struct SettingsValues {
    QString SavePath;          // xzpath, as read (not trimmed)
    QString DownloadMode;      // xzfs, text; "hand over to another tool" when it sorts after "0"
    bool PromptRename = false; // tsggwjm trimmed is exactly "1"
    QString AnalysePages;      // fxwy, text; type-1 addresses are filed only when exactly "1"
    QString TypeExtensionList; // ".ext-N;" entries, built from the numbered keys
    QString TypeNameList;      // lxmc as read: "NN-name;" entries

    // Downloads go to another tool when DownloadMode sorts after "0" byte-wise.
    bool handsOverDownloads() const;
};

// The folder of the running program, without a trailing "/" (except "/" itself).
// Every file of the program is AppFile(name). Needs a QCoreApplication.
QString AppDir();

// dir + "/" + name, without doubling a "/" that dir already ends with.
QString AppFile(const QString &dir, const QString &name);

// The text before the last "/" of a path; "/" when that last "/" is the first character;
// empty when the path has no "/".
QString PathDirectory(const QString &path);

// number in decimal, widened with leading "0" to at least width characters.
QString ZeroPad(long long number, int width);

// Removes every character with a code of 32 or less from both ends.
QString TrimBlanks(const QString &text);
QStringView TrimBlanks(QStringView text);

// Reads text as a decimal integer: an optional sign and digits, nothing else, within
// the range of int. Returns false for anything else (empty text included).
bool ReadDecimal(QStringView text, int &value);

} // namespace quorrel
