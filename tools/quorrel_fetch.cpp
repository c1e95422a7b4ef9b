// quorrel-fetch: downloads addresses without the window, on the window's own transfer
// code: one task at a time, in order, each saved as SavePath + "/" + its file name.
//
//   quorrel-fetch [--dir DIR] [--save-path FOLDER] [--resume | --no-resume] [--password TEXT]
//                 [--category NAME]... [--list FILE] [--har FILE]
//                 [--aria2 URL [--aria2-secret TEXT]] [ADDRESS...]
//
// --har takes the GET requests of a HAR file with their Referer, Cookie and User-Agent;
// --category sorts them by the category their address would be filed under (the type
// table of DIR/config.ini). A streamed video (.m3u8, .mpd) is saved by ffmpeg as one .mp4.
//
// --aria2 URL hands every address to the aria2 JSON-RPC endpoint at URL instead (aria2.addUri
// with its headers, the save folder and the file name; --aria2-secret, or config.ini's
// aria2my, the token): one line each, in order, Queued<TAB>address<TAB>aria2's GID, or Failed.
//
// Each task ends with one line on standard output:
//   Done<TAB>address<TAB>save path<TAB>size in bytes    or    Failed<TAB>address<TAB>reason
// Exit status: 0 every task Done, 1 any failed (or interrupted), 2 bad usage or a
// config.ini that cannot be read.

#include "base/gydy.h"
#include "base/stop_signals.h"
#include "downloads/aria2_rpc.h"
#include "downloads/curl_multi.h"
#include "catalogue/classify_link.h"
#include "downloads/fetch_list.h"
#include "downloads/ftp_address.h"
#include "downloads/har_file.h"
#include "downloads/task_list.h"
#include "downloads/transfer.h"
#include "settings/config_file.h"
#include "settings/file_places.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QStandardPaths>

#include <cstdio>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

using namespace quorrel;

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

int usage(const QString &why)
{
    std::fprintf(stderr, "quorrel-fetch: %s\n", why.toLocal8Bit().constData());
    return kExitUsage;
}

QString human(double bytes)
{
    const char *units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int u = 0;
    while (bytes >= 1024 && u < 4) {
        bytes /= 1024;
        ++u;
    }
    return QString::number(bytes, 'f', u ? 1 : 0) + QLatin1Char(' ') + QLatin1String(units[u]);
}

// The password of an FTP address that names a user but none: asked on the terminal with
// the input hidden, whatever standard input is (a list may come through it). Nothing
// when the tool has no terminal (a service, a script started without one).
std::optional<QString> askPassword(const QString &user, const QString &host)
{
    const int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (tty < 0)
        return std::nullopt;
    const QByteArray prompt = QStringLiteral("Password for %1 at %2: ").arg(user, host).toLocal8Bit();
    [[maybe_unused]] ssize_t w = ::write(tty, prompt.constData(), size_t(prompt.size()));
    termios saved {};
    const bool canHide = ::tcgetattr(tty, &saved) == 0;
    if (canHide) {
        termios hidden = saved;
        hidden.c_lflag &= ~tcflag_t(ECHO);
        ::tcsetattr(tty, TCSAFLUSH, &hidden);
    }
    QByteArray line;
    char c;
    while (::read(tty, &c, 1) == 1 && c != '\n')
        line += c;
    if (canHide)
        ::tcsetattr(tty, TCSAFLUSH, &saved);
    w = ::write(tty, "\n", 1);
    ::close(tty);
    return QString::fromLocal8Bit(line);
}

QString clock(double microseconds)
{
    const qint64 s = qint64(microseconds / 1e6);
    return QStringLiteral("%1:%2:%3").arg(s / 3600, 2, 10, QLatin1Char('0')).arg(s / 60 % 60, 2, 10, QLatin1Char('0')).arg(s % 60, 2, 10, QLatin1Char('0'));
}

// Shows a transfer's progress on standard error: a bar redrawn at most ten times a
// second on a terminal, one line at the end otherwise. A stream counts its running time.
class Progress {
public:
    Progress(QString address, bool byTime)
        : m_address(std::move(address)), m_tty(::isatty(STDERR_FILENO)), m_show(byTime ? clock : human)
    {
        m_clock.start();
    }
    void begun(qint64 total) { m_total = total; }
    void at(qint64 bytes)
    {
        m_bytes = bytes;
        if (m_tty && (m_drawn.isValid() ? m_drawn.elapsed() >= 100 : true)) {
            m_drawn.start();
            draw();
        }
    }
    void end()
    {
        if (m_tty) {
            draw();
            std::fputs("\n", stderr);
        } else {
            std::fprintf(stderr, "quorrel-fetch: %s: %s in %.1f s\n", m_address.toLocal8Bit().constData(),
                         m_show(double(m_bytes)).toLocal8Bit().constData(), double(m_clock.elapsed()) / 1000);
        }
    }

private:
    void draw()
    {
        const double seconds = std::max(0.001, double(m_clock.elapsed()) / 1000);
        const double rate = double(m_bytes) / seconds;
        QString line;
        if (m_total > 0) {
            const int filled = int(30.0 * double(std::min(m_bytes, m_total)) / double(m_total));
            const double left = rate > 0 ? double(m_total - m_bytes) / rate : 0;
            line = QStringLiteral("[%1%2] %3 / %4  %5/s  %6 s left")
                       .arg(QString(filled, QLatin1Char('#')), QString(30 - filled, QLatin1Char('.')),
                            m_show(double(m_bytes)), m_show(double(m_total)), m_show(rate))
                       .arg(left, 0, 'f', 0);
        } else {
            line = QStringLiteral("%1  %2/s").arg(m_show(double(m_bytes)), m_show(rate));
        }
        std::fprintf(stderr, "\r%s\033[K", line.toLocal8Bit().constData());
    }

    QString m_address;
    bool m_tty;
    QString (*m_show)(double);
    qint64 m_total = 0;
    qint64 m_bytes = 0;
    QElapsedTimer m_clock;
    QElapsedTimer m_drawn;
};

// --aria2: every item to aria2, one line each in the order given.
int handToAria2(const Aria2Endpoint &endpoint, const QList<FetchItem> &items, const QString &savePath)
{
    if (const std::optional<Aria2Failure> bad = CheckAria2Endpoint(endpoint))
        return usage(QStringLiteral("--aria2: not an http or https address: %1").arg(bad->detail));
    QList<Aria2Item> handed;
    for (const FetchItem &item : items)
        handed.append({item.address, FileNameOf(item.address), item.headers, 0});
    QList<QString> lines(handed.size());
    Aria2Client client;
    QEventLoop loop;
    int status = 0;
    const auto put = [&](const Aria2Item &item, const QString &line) {
        // An address given twice: the first line still empty takes the answer.
        for (qsizetype i = 0; i < handed.size(); ++i)
            if (handed[i].address == item.address && lines[i].isEmpty()) {
                lines[i] = line;
                return;
            }
    };
    QObject::connect(&client, &Aria2Client::handed, [&](const Aria2Item &item, const QString &gid) {
        put(item, QStringLiteral("Queued\t%1\t%2").arg(item.address, gid));
    });
    QObject::connect(&client, &Aria2Client::refused, [&](const Aria2Item &item, const Aria2Failure &failure) {
        put(item, QStringLiteral("Failed\t%1\t%2").arg(item.address, Aria2FailureText(failure)));
        status = kExitFailed;
    });
    QObject::connect(&client, &Aria2Client::headersLeftOut, [](const Aria2Item &item, const QStringList &names) {
        std::fprintf(stderr, "quorrel-fetch: %s: sent without %s (not UTF-8 text)\n", item.address.toLocal8Bit().constData(),
                     names.join(QStringLiteral(", ")).toLocal8Bit().constData());
    });
    QObject::connect(&client, &Aria2Client::finished, &loop, &QEventLoop::quit);
    client.addUris(endpoint, handed, savePath);
    if (client.pending() > 0)
        loop.exec();
    for (const QString &line : lines)
        std::printf("%s\n", line.toLocal8Bit().constData());
    std::fflush(stdout);
    return status;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quorrel-fetch"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0.1"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Downloads addresses with Quorrel's own transfer code."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption dirOption(QStringLiteral("dir"), QStringLiteral("Folder of config.ini (default: the window's: the program's folder, or "
                                                                      "~/.config/quorrel when installed)."),
                                       QStringLiteral("DIR"));
    const QCommandLineOption savePathOption(QStringLiteral("save-path"),
                                            QStringLiteral("Save the files here instead of config.ini's folder."),
                                            QStringLiteral("FOLDER"));
    const QCommandLineOption resumeOption(QStringLiteral("resume"), QStringLiteral("Continue existing files (the default)."));
    const QCommandLineOption noResumeOption(QStringLiteral("no-resume"), QStringLiteral("Write existing files again."));
    const QCommandLineOption passwordOption(QStringLiteral("password"),
                                            QStringLiteral("The password of FTP addresses that name a user but none."),
                                            QStringLiteral("TEXT"));
    const QCommandLineOption categoryOption(
        QStringLiteral("category"),
        QStringLiteral("Only the resources of --list filed under this category; repeatable. Addresses given as "
                       "arguments have no category and are always taken."),
        QStringLiteral("NAME"));
    const QCommandLineOption listOption(QStringLiteral("list"),
                                        QStringLiteral("Addresses one a line (plain, zywj.txt or quorrel-scan output); - for standard input."),
                                        QStringLiteral("FILE"));
    const QCommandLineOption harOption(QStringLiteral("har"),
                                       QStringLiteral("The GET requests of a HAR file, with their Referer, Cookie and User-Agent."),
                                       QStringLiteral("FILE"));
    const QCommandLineOption aria2Option(QStringLiteral("aria2"),
                                         QStringLiteral("Hand the addresses to the aria2 JSON-RPC endpoint at URL (such as "
                                                        "http://127.0.0.1:6800/jsonrpc) instead of fetching them."),
                                         QStringLiteral("URL"));
    const QCommandLineOption aria2SecretOption(QStringLiteral("aria2-secret"),
                                               QStringLiteral("aria2's RPC secret token (default: config.ini's aria2my)."),
                                               QStringLiteral("TEXT"));
    parser.addOptions({dirOption, savePathOption, resumeOption, noResumeOption, passwordOption, categoryOption, listOption,
                       harOption, aria2Option, aria2SecretOption});
    parser.addPositionalArgument(QStringLiteral("ADDRESS"), QStringLiteral("Addresses to download."), QStringLiteral("[ADDRESS...]"));
    if (!parser.parse(QCoreApplication::arguments()))
        return usage(parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        std::fputs(parser.helpText().toLocal8Bit().constData(), stdout);
        return 0;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        std::puts("quorrel-fetch 1.0.1");
        return 0;
    }
    if (parser.isSet(resumeOption) && parser.isSet(noResumeOption))
        return usage(QStringLiteral("--resume and --no-resume exclude each other"));
    const bool resume = !parser.isSet(noResumeOption);

    const QStringList categories = parser.values(categoryOption);
    QList<FetchItem> items;
    // Addresses given one by one are meant: --category sorts the list alone.
    for (const QString &a : parser.positionalArguments())
        items.append({TrimBlanks(a), QString()});
    if (parser.isSet(listOption)) {
        const QString path = parser.value(listOption);
        QFile list;
        const bool opened = path == QLatin1String("-") ? list.open(stdin, QIODevice::ReadOnly) : (list.setFileName(path), list.open(QIODevice::ReadOnly));
        if (!opened)
            return usage(QStringLiteral("%1: %2").arg(path, list.errorString()));
        items += ReadFetchList(list.readAll(), categories);
    }
    if (parser.isSet(harOption)) {
        const QString path = parser.value(harOption);
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return usage(QStringLiteral("%1: %2").arg(path, file.errorString()));
        const HarReading har = ReadHar(file.readAll());
        if (har.error)
            return usage(QStringLiteral("%1: %2").arg(path, *har.error));
        // Sorted by the category each address would be filed under, by config.ini's types.
        SettingsValues types;
        if (!categories.isEmpty()) {
            const QString dir = parser.isSet(dirOption) ? parser.value(dirOption) : AppDir();
            std::optional<QString> readError;
            types = ReadSettingsValues(AppFile(dir, kConfigFileName), QString(), &readError);
            if (readError)
                return usage(*readError);
        }
        QStringList wanted;
        for (const QString &c : categories)
            wanted << CategoryName(c);
        for (const HarRequest &r : har.requests) {
            const QString category = categories.isEmpty() ? QString() : CategoryName(CategoryOfAddress(types, r.url));
            if (categories.isEmpty() || (!category.isEmpty() && wanted.contains(category)))
                items.append({r.url, category, r.headers});
        }
    }
    if (items.isEmpty())
        return usage(QStringLiteral("no address to fetch (see --help)"));

    QString savePath = parser.value(savePathOption);
    QString aria2Secret = parser.value(aria2SecretOption);
    const bool needConfig = !parser.isSet(savePathOption) || (parser.isSet(aria2Option) && !parser.isSet(aria2SecretOption));
    if (needConfig) {
        // A config.ini that is there but cannot be read is not a missing one: its save
        // folder is unknown, and nothing is fetched into another.
        const FilePlaces places = parser.isSet(dirOption) ? FilePlacesIn(parser.value(dirOption)) : ProgramFilePlaces(AppDir());
        std::optional<QString> readError;
        const SettingsValues values = ReadSettingsValues(
            places.configPath, QStandardPaths::writableLocation(QStandardPaths::DownloadLocation), &readError);
        if (readError)
            return usage(*readError);
        if (!parser.isSet(savePathOption))
            savePath = values.SavePath;
        if (!parser.isSet(aria2SecretOption))
            aria2Secret = values.Aria2Secret;
    }
    if (parser.isSet(aria2Option))
        return handToAria2({parser.value(aria2Option), aria2Secret}, items, savePath);

    QSocketNotifier *interrupted = WatchStopSignals(&app);

    CurlMulti multi;
    int status = 0;
    for (const FetchItem &item : items) {
        const QString address = item.address;
        const QString fileName = FileNameOf(address);
        const QString target = AppFile(savePath, fileName);
        const auto report = [&](bool done, const QString &detail) {
            std::printf("%s\t%s\t%s\n", done ? "Done" : "Failed", address.toLocal8Bit().constData(),
                        detail.toLocal8Bit().constData());
            std::fflush(stdout);
            if (!done)
                status = kExitFailed;
        };
        // Every file lands in the save folder: a name that is none, or that would climb
        // out of it, is refused before anything is written.
        if (fileName.isEmpty() || fileName == QLatin1String(".") || fileName == QLatin1String("..")) {
            report(false, QStringLiteral("the address names no file to save"));
            continue;
        }
        std::unique_ptr<Transfer> owned(
            MakeTransfer(multi, {address, target, resume && QFileInfo(target).isFile(), std::nullopt, item.headers}));
        Transfer &transfer = *owned;
        // Asked once the save file is open, as the window asks.
        bool noPassword = false;
        transfer.setPasswordQuestion([&](const FtpAddress &ftp) -> std::optional<QString> {
            std::optional<QString> password;
            if (parser.isSet(passwordOption))
                password = parser.value(passwordOption);
            else
                password = askPassword(ftp.user, ftp.host);
            noPassword = !password;
            return password;
        });
        Progress progress(address, transfer.unit() == Transfer::Unit::Microseconds);
        std::optional<TransferResult> result;
        QEventLoop loop;
        QObject::connect(&transfer, &Transfer::begun, [&](qint64 total) { progress.begun(total); });
        QObject::connect(&transfer, &Transfer::progress, [&](qint64 bytes) { progress.at(bytes); });
        QObject::connect(&transfer, &Transfer::finished, &loop, [&](const TransferResult &r) {
            result = r;
            loop.quit();
        });
        bool stopped = false;
        QMetaObject::Connection connection;
        if (interrupted)
            connection = QObject::connect(interrupted, &QSocketNotifier::activated, &loop, [&] {
                stopped = true;
                transfer.cancel(); // the bytes received stay for a later resume; a stream ends cleanly, leaving nothing
            });
        transfer.start();
        loop.exec();
        QObject::disconnect(connection);
        progress.end();
        if (result && result->done) {
            const QString saved = result->savedAs.isEmpty() ? target : result->savedAs;
            report(true, QStringLiteral("%1\t%2").arg(saved).arg(QFileInfo(saved).size()));
        }
        else if (stopped)
            report(false, QStringLiteral("interrupted"));
        else
            report(false, (result ? result->reason : QStringLiteral("no result")) +
                              (noPassword ? QStringLiteral(": give --password") : QString()));
        if (stopped)
            return kExitFailed;
    }
    return status;
}
