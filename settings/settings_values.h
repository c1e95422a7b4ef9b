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
    // hlcs (忽略参数, "ignore the parameters") trimmed is exactly "1": an address's type
    // comes from its path alone, without its query and fragment. Off by default, as the
    // extension rule was always written.
    bool IgnoreQuery = false;
    // qqfl (按请求分类, "file by the request") trimmed is exactly "1": an address whose
    // extension the table does not know is filed as the media its request asked for
    // (Sec-Fetch-Dest, Range, Accept), and read back from the resource list under the
    // category it was saved under. Off when absent, as hlcs.
    bool FileByRequest = false;

    // aria2dz and aria2my: the aria2 JSON-RPC endpoint that xzfs=2 hands downloads to, and
    // its secret token (aria2c --rpc-secret; empty for none). aria2dz absent or blank is
    // aria2c's own default, http://127.0.0.1:6800/jsonrpc.
    QString Aria2Address;
    QString Aria2Secret;

    // Downloads go to another tool when DownloadMode sorts after "0" byte-wise.
    bool handsOverDownloads() const;
    // Of those, to aria2 through its JSON-RPC when DownloadMode is exactly "2" (the third
    // download mode, as the settings panel writes it); the others go through the clipboard.
    bool handsOverToAria2() const;
};

} // namespace quorrel
