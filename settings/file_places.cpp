#include "settings/file_places.h"

#include "base/gydy.h"
#include "settings/config_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace quorrel {

namespace {

const QString kFolderName = QStringLiteral("quorrel");

QString userFile(QStandardPaths::StandardLocation location, const QString &name)
{
    return AppFile(AppFile(QStandardPaths::writableLocation(location), kFolderName), name);
}

std::optional<QString> makeFolderOf(const QString &path)
{
    const QString folder = QFileInfo(path).absolutePath();
    if (QDir().mkpath(folder))
        return std::nullopt;
    return QStringLiteral("无法创建文件夹 %1").arg(folder);
}

// QUORREL_DATA_FROM_BIN: the installed data folder as seen from the installed programs'
// folder ("../share/quorrel"), so any install prefix works.
QString installedStarter(const QString &appDir)
{
    return QDir::cleanPath(AppFile(AppFile(appDir, QStringLiteral(QUORREL_DATA_FROM_BIN)), kConfigFileName));
}

} // namespace

FilePlaces FilePlacesIn(const QString &dir)
{
    return {AppFile(dir, kConfigFileName), AppFile(dir, kResourceListFileName), QString()};
}

bool ProgramIsInstalled(const QString &appDir)
{
    return QFileInfo::exists(installedStarter(appDir)) || !QFileInfo(appDir).isWritable();
}

FilePlaces ProgramFilePlaces(const QString &appDir)
{
    const QString starter = installedStarter(appDir);
    if (!ProgramIsInstalled(appDir))
        return FilePlacesIn(appDir);
    return {userFile(QStandardPaths::GenericConfigLocation, kConfigFileName),
            userFile(QStandardPaths::GenericDataLocation, kResourceListFileName),
            QFileInfo::exists(starter) ? starter : QString()};
}

std::optional<QString> PrepareFilePlaces(const FilePlaces &places)
{
    if (const auto error = makeFolderOf(places.configPath))
        return error;
    if (const auto error = makeFolderOf(places.resourceListPath))
        return error;
    if (places.starterConfigPath.isEmpty() || QFileInfo::exists(places.configPath))
        return std::nullopt;
    // Copied as it is: GBK with CR LF, as the program writes config.ini itself.
    QFile starter(places.starterConfigPath);
    if (!starter.copy(places.configPath))
        return QStringLiteral("无法把初始配置文件 %1 复制为 %2：%3")
            .arg(places.starterConfigPath, places.configPath, starter.errorString());
    // The copy is the user's own file, whatever the mode of the system's one.
    QFile::setPermissions(places.configPath, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                                                 | QFileDevice::ReadOther);
    return std::nullopt;
}

} // namespace quorrel
