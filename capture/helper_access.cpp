#include "capture/helper_access.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace quorrel {
namespace {

bool processHasGroup(gid_t gid)
{
    if (getegid() == gid)
        return true;
    const int n = getgroups(0, nullptr);
    if (n <= 0)
        return false;
    std::vector<gid_t> groups(static_cast<std::size_t>(n));
    const int got = getgroups(n, groups.data());
    for (int i = 0; i < got; ++i)
        if (groups[static_cast<std::size_t>(i)] == gid)
            return true;
    return false;
}

// Whether the group database lists the user in the group (a session started before the
// user was added does not have it yet).
bool listedInGroup(const group &g, const passwd *user)
{
    if (!user)
        return false;
    if (user->pw_gid == g.gr_gid)
        return true;
    for (char **member = g.gr_mem; member && *member; ++member)
        if (std::strcmp(*member, user->pw_name) == 0)
            return true;
    return false;
}

} // namespace

QString HelperAccessProblem(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat st {};
    if (::stat(name.constData(), &st) != 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        return QStringLiteral("not a program file");
    if (::access(name.constData(), X_OK) == 0)
        return QString();

    const group *g = getgrgid(st.st_gid);
    const passwd *user = getpwuid(getuid());
    const QString userName = user ? QString::fromLocal8Bit(user->pw_name) : QString::number(getuid());
    const bool groupMayRun = (st.st_mode & S_IXGRP) && !(st.st_mode & S_IXOTH);
    if (!g || !groupMayRun || processHasGroup(st.st_gid))
        return QStringLiteral("not executable by %1 (mode %2)").arg(userName).arg(st.st_mode & 07777, 4, 8, QLatin1Char('0'));

    const QString groupName = QString::fromLocal8Bit(g->gr_name);
    if (listedInGroup(*g, user))
        return QStringLiteral("only members of the group %1 may capture; %2 was added to it after this session "
                              "began: log in again, or start the program through: sg %1 -c PROGRAM "
                              "(./quorrel.sh does this)")
            .arg(groupName, userName);
    return QStringLiteral("only members of the group %1 may capture, and %2 is not one: sudo usermod -aG %1 %2, "
                          "then log in again (or run ./quorrel.sh as %2 once: it sets this up)")
        .arg(groupName, userName);
}

} // namespace quorrel
