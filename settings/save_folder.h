#pragma once
// The save folder of config.ini (xzpath): which folder it names, and whether downloads can
// be written there.

#include <QCoreApplication>
#include <QString>
#include <optional>

namespace quorrel {

// The folder downloads go to for an xzpath value: the value when it is an absolute path;
// downloadFolder (the user's download folder) when it is empty or relative, as when the key
// is missing. A relative folder would depend on where the program was started, and an
// empty one made every save path "/" + name.
QString EffectiveSavePath(const QString &xzpath, const QString &downloadFolder);

// Why files cannot be saved in folder, for the settings panel to say when it saves: a path
// that is not a folder, or a folder (or, while it is missing, the nearest folder above it,
// in which it would be made) where no file can be created, with the system's reason.
// Nothing when it can be written. It writes a file there for the test and removes it.
std::optional<QString> SaveFolderProblem(const QString &folder);

inline QString kSaveFolderNotAFolder() { return QCoreApplication::translate("Settings", "不是文件夹"); }

} // namespace quorrel
