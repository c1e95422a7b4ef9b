// quorrel-scan: runs captured traffic through the same road as live capture (decoding,
// request extraction, ClassifyLink) and prints the resulting tree, so a capture file can
// be mined without the window.
//
//   quorrel-scan [--dir DIR] [--local ADDR]... [--keylog FILE] [--save] CAPTURE...
//   quorrel-scan [--dir DIR] [--keylog FILE] [--save] --live [--seconds N]
//
// --har FILE also writes every request it filed, with its Referer, Cookie and User-Agent,
// as an HTTP Archive (downloads/har_file.h), for quorrel-fetch --har or a browser's tools.
//
// Exit status: 0 done, 1 the list could not be saved, 2 bad usage or input, or a live
// capture that failed.

#include "base/gbk_text.h"
#include "base/gydy.h"
#include "base/stop_signals.h"
#include "capture/cap_ip.h"
#include "capture/pcapng_secrets.h"
#include "intake/capture_road.h"
#include "intake/file_intake.h"
#include "intake/live_intake.h"
#include "catalogue/catalogue.h"
#include "detection/request_extraction.h"
#include "downloads/har_file.h"
#include "quic/quic_limits.h"
#include "streams/key_log_location.h"
#include "streams/stream_reader.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>
#include <vector>

using namespace quorrel;

namespace {

constexpr int kExitSaveFailed = 1;
constexpr int kExitUsage = 2;

int fail(int status, const QString &message)
{
    std::fprintf(stderr, "quorrel-scan: %s\n", message.toLocal8Bit().constData());
    return status;
}

// Fields go out tab-separated, one node a line, in UTF-8; a control character inside a
// captured address would break a line (or reach the terminal), so it is written as %XX. So
// is a byte that was not GBK (base/gbk_text.h): UTF-8 has no character that stands for it.
// Written straight as UTF-8, plain ASCII a run at a time: a big capture's tree is mostly that.
void appendField(QByteArray &out, QStringView text)
{
    // Room at least for the text as it is, grown by doubling: resize() alone would give
    // each field exactly its room, a copy of the whole output every time.
    if (out.capacity() - out.size() < text.size())
        out.reserve(std::max(2 * out.capacity(), out.size() + text.size()));
    const auto isPlain = [](char16_t u) { return u >= 0x20 && u < 0x7F; };
    const auto isEscaped = [](QChar ch) { return ch.unicode() < 0x20 || ch.unicode() == 0x7F || isGbkByte(ch); };
    const qsizetype n = text.size();
    qsizetype i = 0;
    while (i < n) {
        qsizetype j = i;
        while (j < n && isPlain(text[j].unicode()))
            ++j;
        if (j > i) {
            const qsizetype at = out.size();
            out.resize(at + (j - i));
            char *to = out.data() + at;
            for (qsizetype k = i; k < j; ++k)
                *to++ = char(text[k].unicode());
            i = j;
            continue;
        }
        if (isEscaped(text[i])) {
            const unsigned byte = isGbkByte(text[i]) ? text[i].unicode() - kGbkByteFirst + 0x80 : text[i].unicode();
            out += '%';
            out += "0123456789ABCDEF"[byte >> 4];
            out += "0123456789ABCDEF"[byte & 0xF];
            ++i;
            continue;
        }
        while (j < n && !isPlain(text[j].unicode()) && !isEscaped(text[j]))
            ++j;
        out += text.sliced(i, j - i).toUtf8();
        i = j;
    }
}

QByteArray renderTree(const ResourceTree &tree)
{
    QByteArray out;
    tree.forEachPreOrder([&out](TreeNode *node, int depth) {
        out += QByteArray::number(depth);
        out += '\t';
        appendField(out, node->caption());
        out += '\t';
        appendField(out, node->Mark());
        out += '\t';
        QStringView link(node->Link());
        while (!link.isEmpty() && link.back().unicode() <= 32)
            link.chop(1);
        appendField(out, link);
        out += '\t';
        out += QByteArray::number(node->imageIndex());
        out += '\n';
    });
    return out;
}

// Captures live traffic through the capture component until the time is up or the user
// interrupts. Returns kExitUsage when a capture failed, after saying why.
int captureLive(int seconds, LiveIntake &intake, QString &cost)
{
    Tcap_ip &capture = intake.capture();
    int status = 0;
    const auto stop = [] { QTimer::singleShot(0, QCoreApplication::instance(), &QCoreApplication::quit); };
    QObject::connect(&capture, &Tcap_ip::OnError, [&](const QString &error) {
        fail(kExitUsage, error);
        status = kExitUsage;
    });
    try {
        intake.start();
    } catch (const ESocketException &e) {
        return fail(kExitUsage, QStringLiteral("%1 (%2)").arg(e.message(), e.detail()));
    }
    // Once every capture has answered and none is open, there is nothing to wait for. The
    // answers come within moments of the start; later a capture fails rarely, and a check
    // a second is enough (each wake-up of an idle process costs as much as a few requests).
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (capture.settling())
            return;
        if (capture.liveCaptures() == 0)
            stop();
        watch.setInterval(1000);
    });
    watch.start(100);

    if (QSocketNotifier *interrupted = WatchStopSignals(&capture))
        QObject::connect(interrupted, &QSocketNotifier::activated, stop);
    if (seconds > 0)
        QTimer::singleShot(seconds * 1000, &capture, stop);
    QCoreApplication::exec();
    intake.stop();
    intake.finish();

    // What capturing cost this process (the helper's share is its own).
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    const double cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    const double wall = intake.seconds();
    const quint64 datagrams = intake.counts().datagrams;
    cost = QStringLiteral(", %1 datagrams/s, %2 s CPU (%3 s per 100,000 datagrams), %4 datagrams lost")
               .arg(datagrams / (wall > 0 ? wall : 1), 0, 'f', 0)
               .arg(cpu, 0, 'f', 2)
               .arg(datagrams ? cpu * 100000.0 / double(datagrams) : 0.0, 0, 'f', 3)
               .arg(capture.dropped());
    return status;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quorrel-scan"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0.1"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Files the HTTP requests found in capture files, or in live traffic, into the resource tree and prints it."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption dirOption(QStringLiteral("dir"),
                                       QStringLiteral("Folder of config.ini and zywj.txt (default: the window's: the program's "
                                                      "folder, or ~/.config/quorrel and ~/.local/share/quorrel when installed)."),
                                       QStringLiteral("DIR"));
    const QCommandLineOption localOption(QStringLiteral("local"),
                                         QStringLiteral("A local address (IPv4 or IPv6), as a capture bound to it sees traffic; repeatable."),
                                         QStringLiteral("ADDR"));
    const QCommandLineOption saveOption(QStringLiteral("save"), QStringLiteral("Write zywj.txt into DIR at the end."));
    const QCommandLineOption liveOption(QStringLiteral("live"),
                                        QStringLiteral("Capture live traffic on every local address instead of reading files."));
    const QCommandLineOption secondsOption(QStringLiteral("seconds"),
                                           QStringLiteral("With --live: stop after N seconds (default: when interrupted)."),
                                           QStringLiteral("N"));
    const QCommandLineOption keylogOption(
        QStringLiteral("keylog"),
        QStringLiteral("The TLS key log (NSS format) of the browser whose traffic is read: HTTPS requests are read too. "
                       "It is read as it is at the start; with --live it is followed as it grows. A file others "
                       "can write, or another user's, is refused. A pcapng file's own secrets (Decryption Secrets "
                       "Blocks) are read without it. With --live the default is SSLKEYLOGFILE, else the launcher's "
                       "browser's key log."),
        QStringLiteral("FILE"));
    const QCommandLineOption harOption(QStringLiteral("har"),
                                       QStringLiteral("Also write the filed requests, with their headers, as a HAR file."),
                                       QStringLiteral("FILE"));
    parser.addOptions({dirOption, localOption, saveOption, liveOption, secondsOption, keylogOption, harOption});
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("pcap or pcapng capture files."),
                                 QStringLiteral("FILE..."));

    if (!parser.parse(QCoreApplication::arguments()))
        return fail(kExitUsage, parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        std::fputs(parser.helpText().toLocal8Bit().constData(), stdout);
        return 0;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        std::puts("quorrel-scan 1.0.1");
        return 0;
    }

    QElapsedTimer clock;
    clock.start();

    std::vector<IpAddress> locals;
    for (const QString &text : parser.values(localOption)) {
        const std::optional<IpAddress> address = ParseIpAddress(text);
        if (!address)
            return fail(kExitUsage, QStringLiteral("--local %1: not an IPv4 or IPv6 address").arg(text));
        locals.push_back(*address);
    }

    // Without --dir, the files are where the window keeps them.
    const QString dir = parser.value(dirOption);
    if (parser.isSet(dirOption) && !QFileInfo(dir).isDir())
        return fail(kExitUsage, QStringLiteral("%1: no such folder").arg(dir));
    const FilePlaces places = parser.isSet(dirOption) ? FilePlacesIn(dir) : ProgramFilePlaces(AppDir());

    const bool live = parser.isSet(liveOption);
    int seconds = 0;
    if (parser.isSet(secondsOption) && (!live || !ReadDecimal(parser.value(secondsOption), seconds) || seconds < 1))
        return fail(kExitUsage, live ? QStringLiteral("--seconds %1: not a number of seconds").arg(parser.value(secondsOption))
                                     : QStringLiteral("--seconds goes with --live"));
    const QStringList paths = parser.positionalArguments();
    if (live && (!paths.isEmpty() || !locals.empty()))
        return fail(kExitUsage, QStringLiteral("--live captures every local address itself: no FILE, no --local"));
    if (!live && paths.isEmpty())
        return fail(kExitUsage, QStringLiteral("no capture file given (see --help)"));

    // Every file is opened before anything is read, so bad input writes nothing.
    std::vector<std::unique_ptr<CaptureFile>> files;
    for (const QString &path : paths) {
        QString error;
        auto file = CaptureFile::open(path, error);
        if (!file)
            return fail(kExitUsage, QStringLiteral("%1: %2").arg(path, error));
        files.push_back(std::move(file));
    }

    // The secrets come before the traffic, so that bad input still writes nothing.
    Catalogue catalogue(places, QStandardPaths::writableLocation(QStandardPaths::DownloadLocation));
    CaptureRoad road(catalogue);
    // HTTP/3 and the suites not read go into the summary; anything else said once (a key
    // log that other users can read) gets a line of its own.
    road.onNotice = [](const QString &line) {
        if (line != kHttp3Notice && !line.startsWith(kSuiteNotReadNotice))
            std::fprintf(stderr, "quorrel-scan: %s\n", line.toLocal8Bit().constData());
    };
    if (parser.isSet(keylogOption)) {
        // Live, the key log is followed as the browser writes it. A scan of capture files
        // reads it as it is at the start: a file that others go on writing to would keep the
        // scan from ever ending (its last line is taken without its end, as a file's).
        const QString keylog = parser.value(keylogOption);
        QString error;
        const bool ok = QFileInfo(keylog).isFile() && (live ? road.keyLog().follow(keylog, &error) : road.keyLog().read(keylog, &error));
        if (!ok)
            return fail(kExitUsage, QStringLiteral("--keylog ") + keylog + QStringLiteral(": ")
                                        + (error.isEmpty() ? QStringLiteral("not a file") : error));
    } else if (live) {
        road.keyLog().follow(streams::DefaultKeyLogPath());
    }
    // Secrets a file carries past a damaged block are not read: the summary says so.
    std::vector<std::pair<QString, QString>> secretsCut;
    for (const QString &path : paths) {
        QString error;
        const std::optional<CaptureSecrets> secrets = ReadCaptureSecrets(path, &error);
        if (!secrets)
            return fail(kExitUsage, QStringLiteral("%1: %2").arg(path, error));
        road.keyLog().addText(secrets->keyLog);
        if (!secrets->brokenNote.isEmpty())
            secretsCut.emplace_back(path, secrets->brokenNote);
    }

    if (const auto error = PrepareFilePlaces(places))
        std::fprintf(stderr, "quorrel-scan: %s\n", error->toLocal8Bit().constData());
    if (const auto error = catalogue.LoadSettings())
        return fail(kExitUsage, *error);
    const std::optional<QString> keptAside = catalogue.keptAsideNote();

    // Without --local every request in the files counts, whoever sent it.
    std::unique_ptr<FileIntake> fromFiles;
    std::unique_ptr<LiveIntake> fromCapture;
    if (live)
        fromCapture = std::make_unique<LiveIntake>(road);
    else
        fromFiles = std::make_unique<FileIntake>(road, locals);
    QList<HarRequest> har;
    if (parser.isSet(harOption)) {
        // Refused before anything is read, as every other bad argument is.
        const QFileInfo harFile(parser.value(harOption));
        if (harFile.isDir() || !QFileInfo(harFile.absolutePath()).isDir())
            return fail(kExitUsage, QStringLiteral("--har %1: no such folder, or a folder").arg(parser.value(harOption)));
        road.onFiled = [&har, &fromFiles](const CaptureRoad::FiledRequest &filed) {
            HarRequest h;
            h.url = filed.url;
            if (!filed.httpVersion.isEmpty())
                h.httpVersion = QString::fromLatin1(filed.httpVersion).toUpper();
            h.headers = filed.headers;
            h.started = fromFiles ? QDateTime::fromMSecsSinceEpoch(fromFiles->capturedMs(), Qt::UTC)
                                  : QDateTime::currentDateTimeUtc();
            har.append(h);
        };
    }
    QStringList broken;
    int status = 0;
    QString cost;
    if (live)
        status = captureLive(seconds, *fromCapture, cost);
    else if (QString cut; !fromFiles->read(files, paths, broken, cut)) {
        // As for a file that cannot be read: nothing is written.
        fail(kExitUsage, cut);
        std::fflush(stderr);
        std::_Exit(kExitUsage);
    }

    const QByteArray tree = renderTree(catalogue.tree());
    std::fwrite(tree.constData(), 1, static_cast<size_t>(tree.size()), stdout);
    std::fflush(stdout);

    if (parser.isSet(saveOption)) {
        if (const auto error = catalogue.SaveResourceList()) {
            fail(kExitSaveFailed, *error);
            status = status ? status : kExitSaveFailed;
        }
    }

    if (parser.isSet(harOption)) {
        if (const auto error = WriteHarFile(parser.value(harOption), har, QStringLiteral("quorrel-scan"),
                                            QCoreApplication::applicationVersion())) {
            fail(kExitSaveFailed, *error);
            status = status ? status : kExitSaveFailed;
        }
    }

    const IntakeCounts &counts = live ? fromCapture->counts() : fromFiles->counts();
    QString summary = QStringLiteral("%1 datagrams read, %2 requests found, %3 resources filed, %4 s")
                          .arg(counts.datagrams)
                          .arg(counts.requests)
                          .arg(counts.filed)
                          .arg(double(clock.nsecsElapsed()) / 1e9, 0, 'f', 3);
    summary += cost;
    const streams::StreamCounters streams = road.streamCounters();
    summary += QStringLiteral(", %1 flows read, %2 TLS sessions decrypted, %3 without a secret")
                   .arg(streams.flowsRead)
                   .arg(streams.tlsDecrypted)
                   .arg(streams.tlsWithoutSecret);
    // Each road drops them by itself: a plain request may be counted by both.
    if (const std::uint64_t inDatagrams = LongAddressesDropped(); inDatagrams || streams.longAddresses)
        summary += QStringLiteral("; requests dropped for an address over %1 bytes: %2 in single datagrams, %3 in streams")
                       .arg(kMaxAddressBytes)
                       .arg(inDatagrams)
                       .arg(streams.longAddresses);
    if (road.sawHttp3())
        summary += QStringLiteral("; HTTP/3 (QUIC) traffic seen: it cannot be read, turn QUIC off in the browser");
    if (keptAside)
        summary += QStringLiteral("; ") + *keptAside;
    for (const QString &b : broken)
        summary += QStringLiteral("; ") + b;
    // A file cut short is said once, above, when libpcap met the same damage.
    for (const auto &[path, note] : secretsCut) {
        if (std::none_of(broken.begin(), broken.end(), [&path](const QString &b) { return b.startsWith(path + " breaks off"); }))
            summary += QStringLiteral("; %1: its secrets are read only in part (%2)").arg(path, note);
    }
    std::fprintf(stderr, "quorrel-scan: %s\n", summary.toLocal8Bit().constData());
    // No session is passed over without a word; on a line of its own, so that the summary
    // stays as it was for those who read it.
    if (streams.tlsSuiteNotRead > 0)
        std::fprintf(stderr, "quorrel-scan: %llu TLS sessions with a cipher suite not read: %s\n",
                     static_cast<unsigned long long>(streams.tlsSuiteNotRead), SuitesNotReadText(streams).toLocal8Bit().constData());
    // HTTP/3 over QUIC, on a line of its own for the same reason.
    const quic::QuicCounters quic = road.quicCounters();
    if (quic.connectionsStarted > 0 || quic.versionNotRead > 0) {
        QString line = QStringLiteral("%1 QUIC connections read, %2 without a secret").arg(quic.connectionsRead).arg(quic.withoutSecret);
        if (quic.versionNotRead > 0)
            line += QStringLiteral(", %1 of a version not read").arg(quic.versionNotRead);
        std::fprintf(stderr, "quorrel-scan: %s\n", line.toLocal8Bit().constData());
    }
    // A big capture leaves a tree of as many nodes, and freeing them one by one on the way
    // out takes longer than printing them: the process's end frees its memory at once (the
    // key log's secrets with it).
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(status);
}
