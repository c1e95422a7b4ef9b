#include "capture/helper_access.h"

#include "settings/file_places.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <sys/capability.h>

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

// Installed (a package, or cmake --install), the helper is the administrator's to set up;
// in a build folder, ./quorrel.sh does it.
bool installed(const QString &helper)
{
    return ProgramIsInstalled(QFileInfo(helper).absolutePath());
}

QString currentUserName()
{
    const passwd *user = getpwuid(getuid());
    return user ? QString::fromLocal8Bit(user->pw_name) : QString::number(getuid());
}

// The set-up script of a build folder's helper: quorrel.sh in the source folder, two above
// build/bin; its name as it is written when it is not there.
QString setUpScript(const QString &helper)
{
    const QString script = QFileInfo(QFileInfo(helper).absolutePath() + QStringLiteral("/../../quorrel.sh")).canonicalFilePath();
    return script.isEmpty() ? QStringLiteral("./quorrel.sh") : script;
}

// What the set-up says to do for a helper in a build folder, with the user named: one who
// may use sudo gives the helper its rights; anyone else gets them from the package an
// administrator builds from a copy of the source of the administrator's own (quorrel.sh
// refuses to give rights to a helper in someone else's folder).
QString buildFolderAdvice(const QString &helper)
{
    const QString user = currentUserName();
    return QStringLiteral("能使用 sudo 的用户请运行 sudo %1 setcap %2；在与他人共用的机器上，请管理员从自己的源代码副本"
                          "构建并安装 Quorrel 的软件包（./quorrel.sh package，再 sudo apt-get install "
                          "./build/quorrel_1.0.1_amd64.deb），然后运行 sudo usermod -aG quorrel %2 把您加入 quorrel 组；"
                          "重新登录后，本程序就会使用已安装的截获助手程序 %3")
        .arg(setUpScript(helper), user, InstalledCaptureHelper());
}

// Rights given while the program runs: a helper chosen afresh takes them at the next start
// of capture; a group joined meanwhile comes only with a new process.
const QString kTakenAtNextStart = QStringLiteral("（权限给好之后，下一次开始截获时本程序就会用上）");

// Whether the file's capabilities let the program capture when it runs: cap_net_raw in
// its permitted and effective sets (setcap cap_net_raw=eip; the helper does not raise
// capabilities itself).
bool fileHoldsRawCapture(const QByteArray &name)
{
    cap_t caps = cap_get_file(name.constData());
    if (!caps)
        return false;
    cap_flag_value_t permitted = CAP_CLEAR;
    cap_flag_value_t effective = CAP_CLEAR;
    const bool read = cap_get_flag(caps, CAP_NET_RAW, CAP_PERMITTED, &permitted) == 0
                      && cap_get_flag(caps, CAP_NET_RAW, CAP_EFFECTIVE, &effective) == 0;
    cap_free(caps);
    return read && permitted == CAP_SET && effective == CAP_SET;
}

} // namespace

QString HelperAccessProblem(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat st {};
    if (::stat(name.constData(), &st) != 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        return QStringLiteral("不是程序文件");
    if (::access(name.constData(), X_OK) == 0)
        return QString();

    const group *g = getgrgid(st.st_gid);
    const passwd *user = getpwuid(getuid());
    const QString userName = currentUserName();
    const bool groupMayRun = (st.st_mode & S_IXGRP) && !(st.st_mode & S_IXOTH);
    if (!g || !groupMayRun || processHasGroup(st.st_gid))
        return QStringLiteral("用户 %1 无权运行它（权限 %2）").arg(userName).arg(st.st_mode & 07777, 4, 8, QLatin1Char('0'));

    const QString groupName = QString::fromLocal8Bit(g->gr_name);
    const bool isInstalled = installed(path);
    if (listedInGroup(*g, user)) {
        // The group comes with the next login; sg gives it to one program at once. A
        // process started before cannot take it: the program is to be started again.
        const QString program = QCoreApplication::applicationFilePath();
        return QStringLiteral("只有 %1 组的成员才能截获数据；用户 %2 是在本程序启动之后才加入这个组的："
                              "请重新启动本程序（重新登录之后，或用 sg %1 -c %3 启动）")
                   .arg(groupName, userName, program.isEmpty() ? QStringLiteral("程序") : program) +
               (isInstalled ? QString() : QStringLiteral("（./quorrel.sh 就是这样启动窗口的）"));
    }
    if (isInstalled)
        return QStringLiteral("只有 %1 组的成员才能截获数据，用户 %2 不在这个组中：请管理员运行 sudo usermod -aG %1 %2 "
                              "把该用户加入这个组，然后重新登录")
            .arg(groupName, userName);
    return QStringLiteral("只有 %1 组的成员才能截获数据，用户 %2 不在这个组中：").arg(groupName, userName)
           + buildFolderAdvice(path);
}

QString MissingRightsRemedy(const QString &path)
{
    // The package gives the installed helper its rights, as its set-up does.
    if (installed(path))
        return QStringLiteral("截获助手程序没有截获权限：请管理员重新安装软件包：sudo apt-get install --reinstall quorrel，"
                              "它会给截获助手程序截获权限")
               + kTakenAtNextStart;
    // Root gives capture rights only to a helper built from a folder that root or the one
    // who asks through sudo owns: never to a file another user built (capture/helper_access.h).
    return QStringLiteral("截获助手程序没有截获权限：") + buildFolderAdvice(path) + kTakenAtNextStart;
}

bool HelperCanCapture(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat st {};
    if (::stat(name.constData(), &st) != 0 || !S_ISREG(st.st_mode) || ::access(name.constData(), X_OK) != 0)
        return false;
    return ::geteuid() == 0 || fileHoldsRawCapture(name);
}

QString ChooseCaptureHelper(const QString &own, const QString &installed)
{
    if (installed.isEmpty() || HelperCanCapture(own) || !HelperCanCapture(installed))
        return own;
    return installed;
}

QString InstalledCaptureHelper()
{
    return QStringLiteral(QUORREL_INSTALLED_HELPER);
}

} // namespace quorrel
