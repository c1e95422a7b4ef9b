#pragma once
// The values of config.ini the program works with, process-wide.

#include <QString>

namespace quorrel {

// The settings read from config.ini, replaced wholesale by every LoadSettings.
struct SettingsValues {
    QString SavePath;          // xzpath, as read; the download folder when empty or relative
    QString DownloadMode;      // xzfs, text; "hand over to another tool" when it sorts after "0"
    bool PromptRename = false; // tsggwjm trimmed is exactly "1"
    QString AnalysePages;      // fxwy, text; type-1 addresses are filed only when exactly "1"
    QString TypeExtensionList; // ".ext-N;" entries, built from the numbered keys
    QString TypeNameList;      // lxmc as read: "NN-name;" entries
    // hlcs (忽略参数, "ignore the parameters") trimmed is exactly "1": an address's type
    // comes from its path alone, without its query and fragment. Off by default, as the
    // extension rule was always written.
    bool IgnoreQuery = false;

    // Downloads go to another tool when DownloadMode sorts after "0" byte-wise.
    bool handsOverDownloads() const;
};

} // namespace quorrel
