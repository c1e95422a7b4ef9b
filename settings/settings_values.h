#pragma once
// The values of config.ini the program works with, process-wide.

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

} // namespace quorrel
