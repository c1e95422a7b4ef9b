#include "downloads/stream_transfer.h"

#include "base/gbk_text.h"
#include "downloads/save_name.h"
#include "downloads/shown_address.h"
#include "downloads/tls_relay.h"
#include "downloads/transfer_reasons.h"

#include <QFileInfo>
#include <QMetaObject>
#include <QRegularExpression>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <signal.h>

namespace quorrel {
namespace {

const char kUserAgent[] = "Mozilla/3.0 (compatible; Indy Library)";
constexpr qsizetype kMaxLine = 64 * 1024; // a longer line from ffmpeg is cut there
constexpr int kKillAfterMs = 10000;

// The address without its query and fragment (RFC 3986, 3.4 and 3.5).
QStringView pathPart(QStringView address)
{
    const auto cut = std::find_if(address.begin(), address.end(), [](QChar c) { return c == u'?' || c == u'#'; });
    return address.first(cut - address.begin());
}

// The host and port of an address as written in it, without a user name: what ffmpeg
// matches a cookie's domain against.
QString authorityOf(const QString &address)
{
    const qsizetype scheme = address.indexOf(QLatin1String("://"));
    if (scheme < 0)
        return {};
    qsizetype end = scheme + 3;
    while (end < address.size() && address[end] != u'/' && address[end] != u'?' && address[end] != u'#')
        ++end;
    QString authority = address.mid(scheme + 3, end - scheme - 3);
    authority.remove(0, authority.lastIndexOf(QLatin1Char('@')) + 1);
    return authority;
}

// "[error]", "[fatal]": the level tags of -loglevel level+info.
bool isErrorLine(QByteArrayView line) { return line.contains("[error] ") || line.contains("[fatal] "); }

// An error line without its tags: "[https @ 0x55d0] [error] HTTP error 403 Forbidden" gives
// "HTTP error 403 Forbidden".
QString errorText(QByteArrayView line)
{
    QString text = QString::fromUtf8(line).trimmed();
    static const QRegularExpression tags(QStringLiteral("^(\\[[^\\]]*\\] )+"));
    text.remove(tags);
    return text;
}

// Whether the address names a user (and perhaps a password) before its host.
bool hasUserInfo(const QString &address)
{
    const qsizetype scheme = address.indexOf(QLatin1String("://"));
    if (scheme < 0)
        return false;
    for (qsizetype i = scheme + 3; i < address.size(); ++i) {
        const QChar c = address[i];
        if (c == u'/' || c == u'?' || c == u'#')
            return false;
        if (c == u'@')
            return true;
    }
    return false;
}

// What a web stream needs, and nothing else: ffmpeg's own defaults would also open files,
// "concat:" lists and the rest of its protocols that a playlist may name.
const char kProtocols[] = "http,https,tls,tcp,crypto,httpproxy";

} // namespace

bool IsWebAddress(const QString &address)
{
    return address.startsWith(QLatin1String("http://"), Qt::CaseInsensitive) ||
           address.startsWith(QLatin1String("https://"), Qt::CaseInsensitive);
}

bool IsStreamAddress(const QString &address)
{
    const QStringView path = pathPart(address);
    return path.endsWith(QLatin1String(".m3u8"), Qt::CaseInsensitive) ||
           path.endsWith(QLatin1String(".mpd"), Qt::CaseInsensitive);
}

QString StreamSavePath(const QString &savePath, const QString &extension)
{
    const qsizetype slash = savePath.lastIndexOf(QLatin1Char('/'));
    const QString folder = savePath.left(slash + 1);
    QString name = pathPart(QStringView(savePath).sliced(slash + 1)).toString();
    for (const QLatin1String known : {QLatin1String(".m3u8"), QLatin1String(".mpd")})
        if (name.endsWith(known, Qt::CaseInsensitive))
            name.chop(known.size());
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        name = QStringLiteral("stream");
    return folder + name + extension;
}

StreamTransfer::StreamTransfer(TransferRequest request, QObject *parent) : Transfer(std::move(request), parent)
{
    m_killTimer.setSingleShot(true);
    connect(&m_killTimer, &QTimer::timeout, this, [this] {
        if (m_process)
            m_process->kill();
    });
}

StreamTransfer::~StreamTransfer()
{
    if (m_process) {
        m_process->disconnect(this);
        if (m_process->state() != QProcess::NotRunning) {
            m_process->kill();
            m_process->waitForFinished(2000); // a killed process ends at once
        }
        delete m_process;
    }
    if (!m_temp.isEmpty() && !m_finished)
        QFile::remove(m_temp);
}

QString StreamTransfer::program()
{
    const QString chosen = qEnvironmentVariable("QUORREL_FFMPEG");
    return chosen.isEmpty() ? QStringLiteral("ffmpeg") : chosen;
}

void StreamTransfer::start()
{
    if (m_started)
        return;
    m_started = true;
    const QFileInfo target(m_request.savePath);
    if (m_request.savePath.isEmpty() || target.isDir())
        return finish(false, kSaveFileUnopenable.arg(m_request.savePath,
                                                     m_request.savePath.isEmpty() ? kNoFileName : kIsAFolder));
    if (!IsWebAddress(m_request.address))
        return finish(false, kNotAWebStream() + ShownAddress(m_request.address));
    if (hasUserInfo(m_request.address))
        return finish(false, kStreamWithLogin());
    if (const std::optional<QString> error = MakeSaveFolder(target.absolutePath()))
        return finish(false, *error);
    m_relay = std::make_unique<TlsRelay>();
    if (const std::optional<QString> error = m_relay->start())
        return finish(false, *error);
    if (!m_request.headers.cookie.isEmpty())
        m_relay->setPlainCookie(authorityOf(m_request.address).toLatin1(), m_request.headers.cookie);
    launch(Container::Mp4);
}

QStringList StreamTransfer::arguments() const
{
    const RequestHeaders &captured = m_request.headers;
    QStringList args{QStringLiteral("-hide_banner"), QStringLiteral("-nostdin"), QStringLiteral("-nostats"),
                     // Levels tagged, so that the error lines can be told from the rest.
                     QStringLiteral("-loglevel"), QStringLiteral("level+info"),
                     QStringLiteral("-progress"), QStringLiteral("pipe:1"), QStringLiteral("-y"),
                     // No byte for the stall time ends a request, as for the other transfers.
                     QStringLiteral("-rw_timeout"), QString::number(qint64(m_stallSeconds) * 1000000),
                     QStringLiteral("-user_agent"),
                     captured.userAgent.isEmpty() ? QString::fromLatin1(kUserAgent) : fromGbk(captured.userAgent)};
    if (!captured.referer.isEmpty())
        args << QStringLiteral("-headers") << QStringLiteral("Referer: ") + fromGbk(captured.referer) + QStringLiteral("\r\n");
    if (!captured.cookie.isEmpty()) {
        // One Set-Cookie-like line per cookie, bound to the playlist's host (ffmpeg's
        // -cookies; without a domain a cookie would go to every host a playlist names).
        // ffmpeg matches the domain against the end of the request's host and port as the
        // address writes them ("127.0.0.1:8080"), so that is the domain given.
        const QString host = authorityOf(m_request.address);
        QStringList cookies;
        for (const QByteArray &pair : captured.cookie.split(';')) {
            const QByteArray p = pair.trimmed();
            if (p.indexOf('=') > 0)
                cookies << fromGbk(p) + QStringLiteral("; path=/; domain=") + host;
        }
        if (!host.isEmpty() && !cookies.isEmpty())
            args << QStringLiteral("-cookies") << cookies.join(QLatin1Char('\n')) + QLatin1Char('\n');
    }
    args << QStringLiteral("-protocol_whitelist") << QString::fromLatin1(kProtocols) << QStringLiteral("-i") << m_request.address << QStringLiteral("-c") << QStringLiteral("copy")
         << QStringLiteral("-f") << (m_container == Container::Mp4 ? QStringLiteral("mp4") : QStringLiteral("matroska"))
         << m_temp;
    return args;
}

void StreamTransfer::launch(Container container)
{
    m_container = container;
    m_final = StreamSavePath(m_request.savePath, container == Container::Mp4 ? QStringLiteral(".mp4") : QStringLiteral(".mkv"));
    m_temp = PartialPath(m_final);
    m_out.clear();
    m_err.clear();
    m_lastError.clear();
    m_serverSaid.clear();
    m_wrongContainer = false;

    delete m_process;
    m_process = new QProcess(this);
    connect(m_process, &QProcess::readyReadStandardOutput, this, &StreamTransfer::readProgress);
    connect(m_process, &QProcess::readyReadStandardError, this, &StreamTransfer::readErrors);
    connect(m_process, &QProcess::finished, this, &StreamTransfer::ended);
    connect(m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            finish(false, kProgramUnstartable.arg(program(), m_process->errorString()));
    });
    // Every connection ffmpeg opens reads http_proxy (the relay); no_proxy would let a host
    // past it.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"no_proxy", "NO_PROXY", "http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        environment.remove(QString::fromLatin1(name));
    environment.insert(QStringLiteral("http_proxy"), m_relay->proxyAddress());
    m_process->setProcessEnvironment(environment);
    m_process->start(program(), arguments());
}

void StreamTransfer::readProgress()
{
    m_out += m_process->readAllStandardOutput();
    qsizetype end;
    while ((end = m_out.indexOf('\n')) >= 0) {
        const QByteArrayView line = QByteArrayView(m_out).first(end).trimmed();
        // "out_time_us=2000000": the running time written so far; one "progress=" line
        // closes each report (ffmpeg's -progress).
        if (line.startsWith("out_time_us=")) {
            bool ok = false;
            const qint64 us = line.sliced(12).toLongLong(&ok);
            if (ok && us >= 0)
                m_outTime = us;
        } else if (line.startsWith("progress=") && !m_finished && !m_cancelled) {
            // The input's duration comes on the other pipe, which may be read after this one:
            // the gauge waits for it a few reports (half a second each) before it starts
            // without a maximum, as for a live stream, which has none.
            if (!m_begunSent && (m_duration > 0 || ++m_reportsWithoutDuration >= 3 || line == "progress=end")) {
                m_begunSent = true;
                emit begun(m_duration > 0 ? m_duration : 0);
            }
            if (m_begunSent)
                emit progress(m_outTime);
        }
        m_out.remove(0, end + 1);
    }
    if (m_out.size() > kMaxLine)
        m_out.clear();
}

void StreamTransfer::readErrors()
{
    m_err += m_process->readAllStandardError();
    qsizetype end;
    while ((end = m_err.indexOf('\n')) >= 0) {
        takeErrorLine(QByteArrayView(m_err).first(end));
        m_err.remove(0, end + 1);
    }
    if (m_err.size() > kMaxLine) {
        takeErrorLine(m_err);
        m_err.clear();
    }
}

void StreamTransfer::takeErrorLine(QByteArrayView line)
{
    if (m_duration < 0) {
        // "  Duration: 00:01:02.50, start: 0.000000, bitrate: N/A" of the input.
        static const QRegularExpression duration(QStringLiteral("Duration: (\\d+):(\\d\\d):(\\d\\d)\\.(\\d+)"));
        const QRegularExpressionMatch m = duration.match(QString::fromLatin1(line));
        if (m.hasMatch()) {
            const QString fraction = (m.captured(4) + QStringLiteral("000000")).left(6);
            m_duration = ((m.captured(1).toLongLong() * 60 + m.captured(2).toLongLong()) * 60 + m.captured(3).toLongLong()) *
                             1000000 + fraction.toLongLong();
        }
    }
    if (line.contains("[warning] ") && (line.contains("Server returned") || line.contains("HTTP error"))) {
        // A refused playlist or segment is only a warning to ffmpeg, which then ends with a
        // general error: the server's answer is the reason worth telling.
        m_serverSaid = errorText(line);
        return;
    }
    if (!isErrorLine(line))
        return;
    // ffmpeg refuses a codec the MP4 muxer has no tag for ("codec not currently supported
    // in container"), or takes only under -strict experimental (Vorbis, say).
    if (line.contains("not currently supported in container") || line.contains("support is experimental"))
        m_wrongContainer = true;
    const QString text = errorText(line);
    if (!text.isEmpty())
        m_lastError = text;
}

void StreamTransfer::ended(int exitCode, QProcess::ExitStatus status)
{
    readProgress();
    readErrors();
    if (!m_err.isEmpty()) {
        takeErrorLine(m_err);
        m_err.clear();
    }
    if (m_finished)
        return;
    if (m_cancelled)
        return finish(false, kTransferCancelled);
    // ffmpeg goes on past a segment it could not open and ends well: a peer the relay
    // refused (a certificate that failed, a server not reached) leaves a file without it,
    // which is no download. Nothing goes under the final name.
    if (status == QProcess::NormalExit && exitCode == 0 && m_relay && m_relay->refusal()) {
        QFile::remove(m_temp);
        return finish(false, *m_relay->refusal());
    }
    if (status == QProcess::NormalExit && exitCode == 0) {
        // ::rename replaces a file of that name at once, never leaving a half of either.
        if (std::rename(QFile::encodeName(m_temp).constData(), QFile::encodeName(m_final).constData()) != 0)
            return finish(false, QStringLiteral("无法把 \"%1\" 改名为 \"%2\"：%3")
                                     .arg(m_temp, m_final, QString::fromLocal8Bit(std::strerror(errno))));
        return finish(true, QString());
    }
    if (m_wrongContainer && m_container == Container::Mp4) {
        QFile::remove(m_temp);
        return launch(Container::Mkv);
    }
    // ffmpeg's own words follow the program's; the server's refusal, when ffmpeg only
    // warned of it, in brackets.
    QString said = m_lastError;
    if (!m_serverSaid.isEmpty())
        said = said.isEmpty() ? m_serverSaid : said + QStringLiteral("（") + m_serverSaid + QStringLiteral("）");
    // A peer the relay refused (a certificate that failed) is the reason; ffmpeg's words,
    // which only say that its proxy answered 502, follow.
    if (m_relay && m_relay->refusal())
        return finish(false, *m_relay->refusal() + (said.isEmpty() ? QString() : QStringLiteral("（") + kStreamFailed + said + QStringLiteral("）")));
    if (!said.isEmpty())
        return finish(false, kStreamFailed + said);
    finish(false, status == QProcess::NormalExit ? kProgramFailed.arg(program(), QString::number(exitCode))
                                                 : program() + QStringLiteral(" 被强行结束"));
}

void StreamTransfer::cancel()
{
    if (m_finished || m_cancelled)
        return;
    m_cancelled = true;
    if (m_process && m_process->state() != QProcess::NotRunning) {
        // ffmpeg ends on SIGINT as on "q": it closes its input and output cleanly.
        if (m_process->state() == QProcess::Running)
            ::kill(static_cast<pid_t>(m_process->processId()), SIGINT);
        else
            m_process->kill();
        m_killTimer.start(kKillAfterMs);
        return; // finished comes when it has ended
    }
    finish(false, kTransferCancelled);
}

void StreamTransfer::finish(bool done, const QString &reason)
{
    if (m_finished)
        return;
    m_finished = true;
    m_killTimer.stop();
    TransferResult result;
    result.done = done;
    result.reason = reason;
    if (done) {
        result.savedAs = m_final;
        result.fileSize = QFileInfo(m_final).size();
    } else if (!m_temp.isEmpty()) {
        QFile::remove(m_temp); // nothing half made stays behind
    }
    // From the loop, as every transfer reports.
    QMetaObject::invokeMethod(this, [this, result] { emit finished(result); }, Qt::QueuedConnection);
}

} // namespace quorrel
