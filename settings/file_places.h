#pragma once
// Where the program's files live. Run from the folder it was built in, config.ini and
// zywj.txt sit beside the program, as they always have. Installed, the program's folder
// belongs to the system: the files then live in the user's own folders, and the starter
// config.ini that comes with the package is copied there at the first start.

#include <QString>
#include <optional>

namespace quorrel {

inline const QString kResourceListFileName = QStringLiteral("zywj.txt");

struct FilePlaces {
    QString configPath;        // config.ini
    QString resourceListPath;  // zywj.txt
    QString starterConfigPath; // copied to configPath when that is missing; empty: none
};

// Both files in dir, no starter: a build folder, a tool's --dir, a test's folder.
FilePlaces FilePlacesIn(const QString &dir);

// Whether the program in appDir is an installed one: the starter config.ini lies where an
// installation puts it (appDir/../share/quorrel/config.ini), or appDir is not writable.
bool ProgramIsInstalled(const QString &appDir);

// The program's own rule, for a program in appDir. It counts as installed when the starter
// config.ini lies where an installation puts it (appDir/../share/quorrel/config.ini), or
// when appDir is not writable: then config.ini is $XDG_CONFIG_HOME/quorrel/config.ini and
// zywj.txt $XDG_DATA_HOME/quorrel/zywj.txt. Otherwise both lie in appDir.
FilePlaces ProgramFilePlaces(const QString &appDir);

// Makes the folders of both files, and copies the starter to configPath when there is a
// starter and no config.ini yet. Returns what failed, for the log: the program runs on (a
// missing config.ini gives the defaults; a list that cannot be saved says why).
std::optional<QString> PrepareFilePlaces(const FilePlaces &places);

} // namespace quorrel
