#include "capture/cap_ip.h"

#include "base/gydy.h"
#include "capture/frame.h"
#include "capture/helper_access.h"
#include "capture/link_layer.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace quorrel {
namespace {

// The work of one turn of the event loop: after this long the rest of the frames wait for
// the next turn, so the program's own events (a timer, a click) wait no longer than this.
constexpr qint64 kTurnNs = 4'000'000;
// The clock is read once every so many deliveries: each is a few microseconds.
constexpr int kFramesBetweenClockReads = 8;
// The pipe from the helper: as large as an unprivileged process may make it, so a burst
// waits there, not in the kernel's ring.
constexpr int kPipeSize = 1 << 20;
// Closes the reason of a failure that ends every capture of the start.
const QString kCaptureStopped = QStringLiteral("；截获已停止");

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// What a user can do about a capture that failed for lack of rights (libpcap's reason
// says "permission", or the system's "not permitted").
QString remedyFor(const QString &reason, const QString &helper)
{
    if (!reason.contains(QLatin1String("ermission")) && !reason.contains(QLatin1String("not permitted")))
        return QString();
    return QStringLiteral("——") + MissingRightsRemedy(helper);
}

// The helper's path, then why.
QString about(const QString &helper, const QString &why)
{
    return helper + QStringLiteral("：") + why;
}

} // namespace

Tcap_ip::Tcap_ip(QObject *owner) : QObject(owner), m_addressSource(&GetLocalAddresses) {}

Tcap_ip::~Tcap_ip()
{
    closeHelper();
}

QString Tcap_ip::helperPath() const
{
    if (!m_helperPath.isEmpty())
        return m_helperPath;
    if (!m_chosenHelper.isEmpty())
        return m_chosenHelper;
    return ChooseCaptureHelper(AppFile(AppDir(), QStringLiteral("quorrel-capture")), InstalledCaptureHelper());
}

void Tcap_ip::bindFailure(const QString &message, const QString &detail)
{
    const bool repeated = message == m_lastBindFailure;
    m_lastBindFailure = message;
    throw ESocketException(message, detail, repeated);
}

void Tcap_ip::LoadSocketLibrary()
{
    if (m_initialized && !m_rebind)
        return;
    m_rebind = false;
    m_chosenHelper.clear(); // chosen afresh: rights may have been given meanwhile
    const QString helper = helperPath();
    const QFileInfo info(helper);
    if (!info.isFile())
        bindFailure(kHelperMissingMessage, about(helper, kHelperNotFound));
    if (const QString problem = HelperAccessProblem(helper); !problem.isEmpty())
        bindFailure(kHelperMissingMessage, about(helper, problem));

    // The helper must speak this program's frames; one from another build would not.
    QProcess probe;
    probe.start(helper, {QStringLiteral("--protocol")});
    if (!probe.waitForFinished(10000) || probe.exitStatus() != QProcess::NormalExit || probe.exitCode() != 0) {
        const QString reason = probe.error() == QProcess::UnknownError ? QStringLiteral("它没有应答")
                                                                         : probe.errorString();
        probe.kill();
        probe.waitForFinished(1000);
        bindFailure(kHelperStartMessage, about(helper, reason));
    }
    const QByteArray answer = probe.readAllStandardOutput().trimmed();
    if (answer != QByteArray(frame::kProtocol))
        bindFailure(kHelperMismatchMessage,
                    about(helper, QStringLiteral("它使用的帧协议是 \"%1\"，不是 \"%2\"")
                                      .arg(QString::fromLocal8Bit(answer), QString::fromLatin1(frame::kProtocol))));
    m_chosenHelper = helper;
    m_initialized = true;
    m_lastBindFailure.clear();
}

void Tcap_ip::StartCap()
{
    LoadSocketLibrary();
    ++m_generation;
    m_reported.clear();
    m_captures.clear();
    m_addresses.clear();
    std::size_t v4 = 0;
    std::size_t v6 = 0;
    for (const LocalAddress &a : m_addressSource()) {
        std::size_t &taken = a.address.family == IpFamily::V6 ? v6 : v4;
        if (taken == kMaxLocalAddresses)
            continue;
        ++taken;
        m_captures.push_back({a});
        m_addresses << a.text;
    }
    if (m_captures.empty()) {
        reportError(kNoAddressMessage);
        return; // the sockets of an earlier start stay listed
    }
    OpenSockets();
}

void Tcap_ip::OpenSockets()
{
    m_sockets = static_cast<int>(m_captures.size());
    int out[2] = {-1, -1};
    int in[2] = {-1, -1};
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(in, O_CLOEXEC) != 0) {
        const int e = errno;
        for (int fd : {out[0], out[1], in[0], in[1]})
            if (fd >= 0)
                ::close(fd);
        for (Capture &c : m_captures)
            c.state = Slot::Failed;
        reportError(QStringLiteral("无法启动截获助手程序：") + systemError(e));
        return;
    }
    ::fcntl(out[0], F_SETPIPE_SZ, kPipeSize); // best effort: the system may allow less
    ::fcntl(out[0], F_SETFL, ::fcntl(out[0], F_GETFL) | O_NONBLOCK);

    const QByteArray program = QFile::encodeName(helperPath());
    std::vector<QByteArray> args{program};
    for (const Capture &c : m_captures) {
        args.push_back(c.address.interface.toLocal8Bit());
        args.push_back(c.address.text.toLatin1());
    }
    std::vector<char *> argv;
    for (QByteArray &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, program.constData(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    if (spawned != 0) {
        ::close(in[1]);
        ::close(out[0]);
        for (Capture &c : m_captures)
            c.state = Slot::Failed;
        // Refused to run a helper that ran before: its owner, group or mode changed since
        // (an administrator gave it its rights); the access check says what to do.
        const QString problem = spawned == EACCES ? HelperAccessProblem(helperPath()) : QString();
        m_rebind = true;
        reportError(problem.isEmpty() ? QStringLiteral("无法启动截获助手程序 %1：%2").arg(helperPath(), systemError(spawned))
                                      : QStringLiteral("无法启动截获助手程序 ") + about(helperPath(), problem));
        return;
    }
    m_pid = pid;
    m_toHelper = in[1];
    tellFollowed();
    m_fromHelper = out[0];
    m_reader = std::make_unique<FrameReader>();
    m_notifier = new QSocketNotifier(m_fromHelper, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &Tcap_ip::readHelper);
}

// The directions read before this start, written whole records at a time to the helper's
// input without waiting: what does not fit in the pipe is left out (those connections are
// judged by the helper as it meets them). The helper reads them before its captures' first
// frames come in.
void Tcap_ip::tellFollowed()
{
    if (!m_followed)
        return;
    const std::vector<FollowedDirection> directions = m_followed();
    if (directions.empty())
        return;
    ::fcntl(m_toHelper, F_SETPIPE_SZ, kPipeSize);
    ::fcntl(m_toHelper, F_SETFL, ::fcntl(m_toHelper, F_GETFL) | O_NONBLOCK);
    std::vector<unsigned char> records;
    records.reserve(directions.size() * frame::kDirectionRecord);
    for (const FollowedDirection &d : directions) {
        unsigned char r[frame::kDirectionRecord] = {};
        r[0] = d.whole ? frame::kPassWhole : frame::kPassServerHello;
        r[1] = d.source.family == IpFamily::V6 ? 6 : 4;
        std::memcpy(r + 2, d.source.bytes.data(), 16);
        std::memcpy(r + 18, d.destination.bytes.data(), 16);
        r[34] = static_cast<unsigned char>(d.sourcePort >> 8);
        r[35] = static_cast<unsigned char>(d.sourcePort);
        r[36] = static_cast<unsigned char>(d.destPort >> 8);
        r[37] = static_cast<unsigned char>(d.destPort);
        records.insert(records.end(), r, r + sizeof r);
    }
    // A helper that ended at once (it refused its arguments) has closed its input: the
    // write fails with EPIPE, and the signal it raises is held back and taken here, not
    // left to end the program.
    sigset_t pipeSignal;
    sigset_t before;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &before);
    // Whole records only: a pipe takes a write of up to PIPE_BUF bytes whole or not at all.
    constexpr std::size_t kChunk = (PIPE_BUF / frame::kDirectionRecord) * frame::kDirectionRecord;
    bool broken = false;
    for (std::size_t at = 0; at < records.size(); at += kChunk) {
        const std::size_t n = std::min(kChunk, records.size() - at);
        if (::write(m_toHelper, records.data() + at, n) != static_cast<ssize_t>(n)) {
            broken = errno == EPIPE; // or full: the rest is left out
            break;
        }
    }
    if (broken && !sigismember(&before, SIGPIPE)) {
        const timespec now{0, 0};
        sigtimedwait(&pipeSignal, nullptr, &now);
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

int Tcap_ip::closeHelper()
{
    if (m_pid < 0)
        return 0;
    delete m_notifier; // no notification can reach this component after this
    m_notifier = nullptr;
    ::close(m_toHelper); // the helper ends when its input closes
    ::close(m_fromHelper);
    ::kill(m_pid, SIGTERM);
    int status = 0;
    while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_pid = m_fromHelper = m_toHelper = -1;
    m_reader.reset();
    m_helperDone = false;
    m_turnPending = false;
    return status;
}

void Tcap_ip::StopCap()
{
    ++m_generation;
    closeHelper();
    for (Capture &c : m_captures)
        if (c.state == Slot::Open)
            c.state = Slot::Failed;
}

void Tcap_ip::PauseCap()
{
    if (m_initialized && m_sockets > 0)
        m_paused = !m_paused;
}

int Tcap_ip::liveCaptures() const
{
    return static_cast<int>(std::count_if(m_captures.begin(), m_captures.end(),
                                          [](const Capture &c) { return c.state == Slot::Open; }));
}

bool Tcap_ip::settling() const
{
    return m_pid >= 0 && std::any_of(m_captures.begin(), m_captures.end(),
                                     [](const Capture &c) { return c.state == Slot::Waiting; });
}

void Tcap_ip::reportError(const QString &reason)
{
    // A reason shared by several addresses (no rights, say) is reported once per start.
    const qsizetype colon = reason.indexOf(QLatin1String("): "));
    const QString key = colon >= 0 ? reason.mid(colon + 3) : reason;
    if (m_reported.contains(key))
        return;
    m_reported.insert(key);
    const QString remedy = remedyFor(reason, helperPath());
    // Rights may be given while the program runs: the next start chooses and checks the
    // helper afresh, and takes them.
    if (!remedy.isEmpty())
        m_rebind = true;
    emit OnError(reason + remedy);
}

void Tcap_ip::readHelper()
{
    m_turnPending = false;
    if (!m_reader)
        return;
    // Take in what the pipe holds, as far as there is room. A reader that falls behind
    // leaves the rest in the pipe: the helper waits, and the kernel drops what its ring
    // cannot hold and says so (a Stats frame), rather than this process growing.
    while (!m_helperDone) {
        const std::span<std::byte> room = m_reader->room();
        if (room.empty())
            break;
        ssize_t n;
        do
            n = ::read(m_fromHelper, room.data(), room.size());
        while (n < 0 && errno == EINTR);
        if (n > 0) {
            m_reader->commit(static_cast<std::size_t>(n));
            if (static_cast<std::size_t>(n) < room.size())
                break; // the pipe is empty for now
            continue;
        }
        if (n < 0 && errno == EAGAIN)
            break;
        if (n < 0)
            reportError(QStringLiteral("无法读取截获助手程序的输出：") + systemError(errno));
        m_helperDone = true;
    }
    deliver();
}

void Tcap_ip::deliver()
{
    const quint64 generation = m_generation;
    QElapsedTimer turn;
    turn.start();
    bool more = false;
    for (int count = 1;; ++count) {
        PipeFrame f;
        const FrameReader::Next next = m_reader->next(f);
        if (next == FrameReader::Next::More)
            break;
        if (next == FrameReader::Next::Broken) {
            reportError(QString::fromStdString(m_reader->error()) + kCaptureStopped);
            m_helperDone = true;
            break;
        }
        handle(f);
        if (generation != m_generation || !m_reader)
            return; // a handler stopped or restarted the capture: that start is over
        if (count % kFramesBetweenClockReads == 0 && turn.nsecsElapsed() > kTurnNs) {
            more = true;
            break;
        }
    }
    if (more || (!m_helperDone && m_reader->room().empty())) {
        // The rest on the next turn, after whatever else is waiting there. The pipe is
        // read then too, so the notifier rests meanwhile.
        m_notifier->setEnabled(false);
        if (!m_turnPending) {
            m_turnPending = true;
            QTimer::singleShot(0, this, [this, generation] {
                if (generation == m_generation)
                    readHelper();
            });
        }
        return;
    }
    if (m_helperDone) {
        if (m_reader->end() == FrameReader::End::InsideFrame)
            reportError(QStringLiteral("截获助手程序的输出在一帧的中间断开了"));
        helperEnded();
        return;
    }
    m_notifier->setEnabled(true);
}

// Acts on one frame: a datagram delivered, a capture opened or failed, a loss counted.
void Tcap_ip::handle(const PipeFrame &f)
{
    if (f.index >= m_captures.size())
        return; // a frame for an index outside the list is ignored
    Capture &c = m_captures[f.index];
    const auto *body = reinterpret_cast<const unsigned char *>(f.body.data());
    switch (f.type) {
    case frame::FrameType::Opened:
        c.linkType = int(frame::get32(body));
        c.state = Slot::Open;
        return;
    case frame::FrameType::Error:
        c.state = Slot::Failed;
        reportError(QString::fromUtf8(reinterpret_cast<const char *>(body), qsizetype(f.body.size())));
        return;
    case frame::FrameType::Stats: {
        const quint64 dropped = frame::get64(body);
        m_overflows += frame::get64(body + 8);
        if (dropped > 0) {
            m_dropped += dropped;
            emit OnDrop(dropped);
        }
        return;
    }
    case frame::FrameType::Frame:
    case frame::FrameType::Cut: {
        if (m_paused || c.state != Slot::Open)
            return; // taken off the pipe, and dropped while paused
        const bool cut = f.type == frame::FrameType::Cut;
        const Bytes bytes = cut ? f.body.subspan(frame::kCutPrefix) : f.body;
        // The body ends in a zero byte after the frame: every payload is followed by one.
        const std::optional<IpInLink> ip = IpInFrame(c.linkType, bytes.first(bytes.size() - 1));
        if (!ip || ip->family != c.address.address.family)
            return;
        Datagram d = DecodeDatagram(c.address.address, ip->datagram);
        if (cut) {
            d.cut = true;
            const std::uint32_t onWire = frame::get32(body);
            const std::size_t linkHeader = std::size_t(ip->datagram.data() - bytes.data());
            d.originalLength = onWire > linkHeader ? onWire - std::uint32_t(linkHeader) : 0;
        }
        ++m_delivered;
        emit OnCap(d);
        return;
    }
    }
}

void Tcap_ip::helperEnded()
{
    // All captures had failed (their reasons are reported), or the helper died.
    const bool unexpected = std::any_of(m_captures.begin(), m_captures.end(),
                                        [](const Capture &c) { return c.state != Slot::Failed; });
    const int status = closeHelper();
    for (Capture &c : m_captures)
        c.state = Slot::Failed;
    if (!unexpected)
        return;
    const QString how = WIFSIGNALED(status) ? QStringLiteral("被信号 %1 终止").arg(WTERMSIG(status))
                                            : QStringLiteral("退出状态 %1").arg(WEXITSTATUS(status));
    reportError(QStringLiteral("截获助手程序意外结束（%1）").arg(how) + kCaptureStopped);
}

} // namespace quorrel
