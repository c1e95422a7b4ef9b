#include "settings/save_folder.h"

#include "base/gydy.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <unistd.h>

namespace quorrel {

QString EffectiveSavePath(const QString &xzpath, const QString &downloadFolder)
{
    // The value as read: the save paths are made from it and trimmed where they are used.
    return TrimBlanks(xzpath).startsWith(QLatin1Char('/')) ? xzpath : downloadFolder;
}

std::optional<QString> SaveFolderProblem(const QString &folder)
{
    const auto problem = [&folder](const QString &why) {
        return QCoreApplication::translate("Settings", "保存文件夹 \"") + folder + QCoreApplication::translate("Settings", "\" 无法保存下载的文件：") + why;
    };
    // The folder itself, or the first one above it that exists: a missing save folder is
    // made, with its parents, at the first download.
    QFileInfo place(folder);
    while (!place.exists() && !place.isSymLink() && place.absoluteFilePath() != QLatin1String("/"))
        place = QFileInfo(place.absolutePath());
    if (!place.isDir())
        return problem(place.absoluteFilePath() == QFileInfo(folder).absoluteFilePath()
                           ? kSaveFolderNotAFolder()
                           : QStringLiteral("\"") + place.absoluteFilePath() + QStringLiteral("\" ") + kSaveFolderNotAFolder());
    // access(2) would not see a file system mounted read-only for root, nor what a
    // security module refuses: creating a file says it as the download will meet it.
    QByteArray probe = QFile::encodeName(place.absoluteFilePath() + QStringLiteral("/.quorrel-write-test-XXXXXX"));
    const int fd = ::mkstemp(probe.data());
    if (fd < 0)
        return problem(QString::fromLocal8Bit(std::strerror(errno)));
    ::close(fd);
    ::unlink(probe.constData());
    return std::nullopt;
}

} // namespace quorrel
