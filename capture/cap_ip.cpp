#include "capture/cap_ip.h"

#include "base/gydy.h"
#include "capture/frame.h"
#include "capture/link_layer.h"

#include <QFileInfo>
#include <QProcess>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace quorrel {
namespace {

// Room for many frames between two turns of the event loop, and always for the largest.
constexpr qsizetype kBufferSize = 1 << 20;
static_assert(kBufferSize > qsizetype(frame::kHeaderSize + frame::kMaxFrameBody));

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// What a user can do about a capture that failed for lack of rights.
QString remedyFor(const QString &reason, const QString &helper)
{
    if (!reason.contains(QLatin1String("ermission")) && !reason.contains(QLatin1String("not permitted")))
        return QString();
    return QStringLiteral(" — quorrel-capture needs the capture rights: run ./quorrel.sh setcap from the source "
                          "folder, or: sudo setcap cap_net_raw,cap_net_admin=eip %1")
        .arg(helper);
}

} // namespace

Tcap_ip::Tcap_ip(QObject *owner) : QObject(owner), m_addressSource(&GetLocalAddresses) {}

Tcap_ip::~Tcap_ip()
{
    closeHelper();
}

QString Tcap_ip::helperPath() const
{
    return m_helperPath.isEmpty() ? AppFile(AppDir(), QStringLiteral("quorrel-capture")) : m_helperPath;
}

void Tcap_ip::bindFailure(const QString &message, const QString &detail)
{
    const bool repeated = message == m_lastBindFailure;
    m_lastBindFailure = message;
    throw ESocketException(message, detail, repeated);
}

void Tcap_ip::LoadSocketLibrary()
{
    if (m_initialized)
        return;
    const QString helper = helperPath();
    const QFileInfo info(helper);
    if (!info.isFile() || !info.isExecutable())
        bindFailure(kHelperMissingMessage, helper + QStringLiteral(": not found or not executable"));

    // The helper must speak this program's frames; one from another build would not.
    QProcess probe;
    probe.start(helper, {QStringLiteral("--protocol")});
    if (!probe.waitForFinished(10000) || probe.exitStatus() != QProcess::NormalExit || probe.exitCode() != 0) {
        const QString reason = probe.error() == QProcess::UnknownError ? QStringLiteral("it did not answer")
                                                                         : probe.errorString();
        probe.kill();
        probe.waitForFinished(1000);
        bindFailure(kHelperStartMessage, helper + QStringLiteral(": ") + reason);
    }
    const QByteArray answer = probe.readAllStandardOutput().trimmed();
    if (answer != QByteArray(frame::kProtocol))
        bindFailure(kHelperMismatchMessage,
                    helper + QStringLiteral(": speaks \"%1\", not \"%2\"")
                                 .arg(QString::fromLocal8Bit(answer), QString::fromLatin1(frame::kProtocol)));
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
    for (const LocalAddress &a : m_addressSource()) {
        if (m_captures.size() == kMaxLocalAddresses)
            break;
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
        reportError(QStringLiteral("cannot start the capture helper: ") + systemError(e));
        return;
    }
    ::fcntl(out[0], F_SETPIPE_SZ, 1 << 20); // fewer hand-overs at full speed; best effort
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
        reportError(QStringLiteral("cannot start the capture helper %1: %2").arg(helperPath(), systemError(spawned)));
        return;
    }
    m_pid = pid;
    m_toHelper = in[1];
    m_fromHelper = out[0];
    m_buffer.resize(0);
    m_buffer.reserve(kBufferSize);
    m_read = 0;
    m_notifier = new QSocketNotifier(m_fromHelper, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &Tcap_ip::readHelper);
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
    m_buffer.clear();
    m_read = 0;
    m_helperDone = false;
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
    emit OnError(reason + remedyFor(reason, helperPath()));
}

void Tcap_ip::readHelper()
{
    // Deliveries drain the buffer before the next read, so what is left is at most the
    // beginning of one frame. Reading only into the room there is makes a slow reader
    // hold the helper back, and the kernel drops what its ring cannot hold, rather than
    // this process growing.
    if (m_read > 0) {
        m_buffer.remove(0, m_read);
        m_read = 0;
    }
    const qsizetype used = m_buffer.size();
    m_buffer.resize(kBufferSize);
    ssize_t n;
    do
        n = ::read(m_fromHelper, m_buffer.data() + used, static_cast<size_t>(kBufferSize - used));
    while (n < 0 && errno == EINTR);
    m_buffer.resize(used + (n > 0 ? n : 0));
    if (n == 0 || (n < 0 && errno != EAGAIN)) {
        if (n < 0)
            reportError(QStringLiteral("reading from the capture helper: ") + systemError(errno));
        m_helperDone = true;
        m_notifier->setEnabled(false);
    }
    pump();
}

void Tcap_ip::pump()
{
    const quint64 generation = m_generation;
    const bool more = deliverOne();
    if (generation != m_generation || !m_notifier)
        return; // a handler stopped or restarted the capture: that start is over
    if (more) {
        // One datagram per turn of the event loop, as with one notification per
        // datagram: the program handles its own events between any two.
        m_notifier->setEnabled(false);
        QTimer::singleShot(0, this, [this, generation] {
            if (generation == m_generation)
                pump();
        });
    } else if (m_helperDone) {
        helperEnded();
    } else {
        m_notifier->setEnabled(true);
    }
}

// Delivers the next whole frame in the buffer; true when another whole frame follows.
bool Tcap_ip::deliverOne()
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(m_buffer.constData());
    frame::Header h{};
    if (m_buffer.size() - m_read < qsizetype(frame::kHeaderSize))
        return false;
    if (!frame::readHeader(bytes + m_read, h)) {
        reportError(QStringLiteral("the capture helper sent a malformed frame; capture stopped"));
        m_buffer.clear();
        m_read = 0;
        m_helperDone = true;
        return false;
    }
    const qsizetype total = qsizetype(frame::kHeaderSize + h.length);
    if (m_buffer.size() - m_read < total)
        return false;
    const unsigned char *body = bytes + m_read + frame::kHeaderSize;
    m_read += total;
    const quint64 generation = m_generation;

    if (h.index < m_captures.size()) { // a frame for an index outside the list is ignored
        Capture &c = m_captures[h.index];
        switch (h.type) {
        case frame::FrameType::Opened:
            if (h.length >= 4) {
                c.linkType = int(body[0] | body[1] << 8 | body[2] << 16 | std::uint32_t(body[3]) << 24);
                c.state = Slot::Open;
            }
            break;
        case frame::FrameType::Error:
            c.state = Slot::Failed;
            reportError(QString::fromUtf8(reinterpret_cast<const char *>(body), h.length));
            break;
        case frame::FrameType::Frame:
            if (h.length == 0 || m_paused || c.state != Slot::Open)
                break; // taken off the pipe, and dropped while paused
            // The body ends in a zero byte after the frame: every payload is followed by one.
            if (const auto ip = Ipv4InFrame(c.linkType, Bytes(reinterpret_cast<const std::byte *>(body), h.length - 1))) {
                ++m_delivered;
                emit OnCap(DecodeDatagram(c.address.address, *ip));
            }
            break;
        }
    }
    if (generation != m_generation)
        return false; // a handler stopped or restarted the capture
    const qsizetype left = m_buffer.size() - m_read;
    frame::Header next{};
    if (left < qsizetype(frame::kHeaderSize))
        return false;
    // A malformed header is whole enough to be reported on the next turn.
    return !frame::readHeader(bytes + m_read, next) || left >= qsizetype(frame::kHeaderSize + next.length);
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
    const QString how = WIFSIGNALED(status) ? QStringLiteral("killed by signal %1").arg(WTERMSIG(status))
                                            : QStringLiteral("exit status %1").arg(WEXITSTATUS(status));
    reportError(QStringLiteral("the capture helper ended unexpectedly (%1); capture stopped").arg(how));
}

} // namespace quorrel
