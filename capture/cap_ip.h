#pragma once
// Tcap_ip: the capture component. It receives the datagrams of every local IPv4 and IPv6
// address that the program can use (capture/kernel_filter.h) and hands each one, decoded,
// to its owner through OnCap, on the thread that owns it: one datagram per event, in the
// order captured, in batches whose work is bounded so that the program's own events are
// never kept waiting for long.
//
// The capture itself runs in the helper program quorrel-capture, the only process that
// holds capture rights; this component starts it for each StartCap, reads its frames
// from a pipe through a QSocketNotifier, and closes the pipe on StopCap, which ends it.

#include "capture/datagram.h"
#include "capture/frame_reader.h"
#include "capture/local_addresses.h"

#include <QObject>
#include <QSet>
#include <QStringList>
#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

class QSocketNotifier;

namespace quorrel {

// Starting the capture layer failed. The three messages name the helper program in the
// place of the socket library of the original platform.
class ESocketException : public std::runtime_error {
public:
    ESocketException(const QString &message, const QString &detail, bool repeated)
        : std::runtime_error(message.toStdString()), m_message(message), m_detail(detail), m_repeated(repeated)
    {
    }
    QString message() const { return m_message; }
    QString detail() const { return m_detail; } // the path and the system's reason
    // The same failure as the previous StartCap: a retry every second is no news to the
    // user, so a caller shows only the first.
    bool repeated() const { return m_repeated; }

private:
    QString m_message;
    QString m_detail;
    bool m_repeated;
};

inline const QString kHelperMissingMessage = QStringLiteral("Unable to register quorrel-capture");
inline const QString kHelperMismatchMessage = QStringLiteral("加载dll函数错误!");
inline const QString kHelperStartMessage = QStringLiteral("初始化SOCKET2函数失败!");
inline const QString kNoAddressMessage = QStringLiteral("没有找到可绑定的IP!");
// The detail of kHelperMissingMessage when there is no helper file: "PATH：" and this.
inline const QString kHelperNotFound = QStringLiteral("找不到这个程序");

// A TCP direction whose bytes the program reads: a capture started again passes them as
// the one before did (capture/frame.h, the records on the helper's input).
struct FollowedDirection {
    IpAddress source;
    std::uint16_t sourcePort = 0;
    IpAddress destination;
    std::uint16_t destPort = 0;
    bool whole = true; // every byte; else a server's first bytes, to its TLS hello
};

class Tcap_ip : public QObject {
    Q_OBJECT
public:
    explicit Tcap_ip(QObject *owner = nullptr);
    ~Tcap_ip() override;

    // Binds the capture layer the first time (throws ESocketException), then lists the
    // local addresses and opens one capture for each. Called only while stopped.
    void StartCap();
    // Toggles FPaused once the layer is bound and captures were listed; otherwise nothing.
    void PauseCap();
    // Closes every capture still open; the address list and FPaused stay as they are.
    void StopCap();

    bool FPaused() const { return m_paused; }
    bool FInitialized() const { return m_initialized; }
    const QStringList &FAddresses() const { return m_addresses; }

    // Captures that reported open and have not failed since, and whether some capture
    // of the current start has not answered yet.
    int liveCaptures() const;
    bool settling() const;
    quint64 delivered() const { return m_delivered; }
    // Datagrams the kernel dropped for want of room, since the component was made, and
    // frames the helper passed whole because its flow table was full.
    quint64 dropped() const { return m_dropped; }
    quint64 flowTableOverflows() const { return m_overflows; }

    // The helper program; by default AppDir() + "/quorrel-capture", or the installed one
    // when that one can capture and the program's own cannot (ChooseCaptureHelper).
    void setHelperPath(const QString &path) { m_helperPath = path; }
    QString helperPath() const;

    // The directions the program reads, asked for at each start of the helper: the
    // connections open before a restart go on being read.
    using FollowedSource = std::function<std::vector<FollowedDirection>()>;
    void setFollowedSource(FollowedSource source) { m_followed = std::move(source); }

    // Where the addresses come from; tests put a fixed list here.
    using AddressSource = std::vector<LocalAddress> (*)();
    void setAddressSource(AddressSource source) { m_addressSource = source; }

signals:
    // One datagram, decoded: the capture event's ten values (capture/datagram.h). The
    // datagram's bytes are valid only during the call.
    void OnCap(const quorrel::Datagram &datagram);
    // A capture failed; each distinct reason once per start, with what to do about it.
    void OnError(const QString &Error);
    // The kernel dropped count more datagrams for want of room: the reader fell behind.
    void OnDrop(quint64 count);

private:
    enum class Slot { Waiting, Open, Failed };
    struct Capture {
        LocalAddress address;
        Slot state = Slot::Waiting;
        int linkType = -1;
    };

    void LoadSocketLibrary();
    void OpenSockets();
    [[noreturn]] void bindFailure(const QString &message, const QString &detail);
    void reportError(const QString &reason);
    void readHelper();
    void deliver();
    void handle(const PipeFrame &frame);
    void helperEnded();
    int closeHelper(); // the helper's wait status
    void tellFollowed();

    QString m_helperPath;
    QString m_chosenHelper; // the helper the layer was bound with
    AddressSource m_addressSource;
    FollowedSource m_followed;
    bool m_paused = false;
    bool m_initialized = false;
    bool m_rebind = false; // a start failed for want of rights: the next one binds afresh
    QString m_lastBindFailure;
    QStringList m_addresses;         // FAddresses: the addresses of the current start
    int m_sockets = 0;               // FSockets' length: captures of the last start, open or closed
    std::vector<Capture> m_captures; // the captures of the current start, by index
    QSet<QString> m_reported;        // reasons already reported since the last StartCap

    int m_pid = -1;                  // the helper of the current start
    int m_fromHelper = -1;           // its standard output
    int m_toHelper = -1;             // its standard input, held open to keep it alive
    QSocketNotifier *m_notifier = nullptr;
    std::unique_ptr<FrameReader> m_reader; // the frames read from the helper
    bool m_helperDone = false;       // its output has ended: deliver what is left, then close
    bool m_turnPending = false;      // a delivery turn is queued on the event loop
    quint64 m_generation = 0;        // bumps on every start and stop
    quint64 m_delivered = 0;
    quint64 m_dropped = 0;
    quint64 m_overflows = 0;
};

} // namespace quorrel
