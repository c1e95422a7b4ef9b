#pragma once
// StreamTransfer: a streamed video, an HLS playlist (.m3u8) or a DASH manifest (.mpd),
// copied into one file by ffmpeg, run as a child process on the event loop: nothing here
// ever waits for it.
//
// The streams are copied as they are (-c copy) into an .mp4 named after the playlist, beside
// where the playlist itself would have been saved; when the codecs cannot go into MP4 the
// run is made again into an .mkv. A master playlist gives its best variant: ffmpeg keeps the
// video of the highest resolution and the audio with the most channels, and leaves the other
// variants' segments unfetched. The file is written under a temporary name (the final name +
// ".part") and renamed at the end: a run that fails or is cancelled leaves nothing under the
// final name, and its temporary file is removed.
//
// The captured headers go with every request ffmpeg makes: the User-Agent (else the fixed
// one of the HTTP transfer) and the Referer with -user_agent and -headers; the cookies with
// -cookies, each with the playlist's host and port as its domain, so that ffmpeg sends
// them only there (ffmpeg matches the end of the host and port, so a host whose name ends
// in the same letters, on the same port, would match too: ffmpeg's own matching).
//
// ffmpeg takes web addresses alone (IsWebAddress: http and https), and opens nothing but what
// a web stream needs: -protocol_whitelist names http, https, tls, tcp, crypto (AES-128 HLS)
// and httpproxy (below), for the playlist and everything it opens. An address with a user
// name or a password is refused: ffmpeg takes them only on its command line, which every
// user of the machine can read (ps). Its connections go through a TlsRelay of the
// transfer's own (downloads/tls_relay.h), which checks every TLS peer's certificate, as
// ffmpeg itself does only for the first.
//
// Progress comes from -progress: begun gives the running time ffmpeg reports for the input
// (0 for a live stream), progress the running time copied so far, both in microseconds.
// cancel sends SIGINT, on which ffmpeg closes its files and ends; if it has not ended 10 s
// later it is killed. A failed run's reason is ffmpeg's own last error line, with the
// server's refusal that caused it when ffmpeg only warned of that.

#include "downloads/transfer.h"

#include <QProcess>
#include <QTimer>

#include <memory>

namespace quorrel {

class TlsRelay;

// Whether an address names an HLS playlist or a DASH manifest: its path, without query and
// fragment, ends in .m3u8 or .mpd (ASCII letter case ignored).
bool IsStreamAddress(const QString &address);

// Whether an address is one ffmpeg may be given: it begins with "http://" or "https://"
// (ASCII letter case ignored). "concat:", "file:", "subfile," and plain paths are not.
bool IsWebAddress(const QString &address);

// The file a stream is saved in: savePath with the playlist's extension (and any query
// after it) replaced by extension (".mp4" or ".mkv"). "/d/master.m3u8?t=1" gives
// "/d/master.mp4".
QString StreamSavePath(const QString &savePath, const QString &extension);

class StreamTransfer : public Transfer {
    Q_OBJECT
public:
    explicit StreamTransfer(TransferRequest request, QObject *parent = nullptr);
    ~StreamTransfer() override; // a run still going is killed and its file removed

    void start() override;
    void cancel() override;
    Unit unit() const override { return Unit::Microseconds; }

    // The program run; "ffmpeg" from PATH unless QUORREL_FFMPEG names another.
    static QString program();

private:
    enum class Container { Mp4, Mkv };

    void launch(Container container);
    QStringList arguments() const;
    void readProgress();
    void readErrors();
    void takeErrorLine(QByteArrayView line);
    void ended(int exitCode, QProcess::ExitStatus status);
    void finish(bool done, const QString &reason);

    std::unique_ptr<TlsRelay> m_relay; // ffmpeg's way out, while it runs
    QProcess *m_process = nullptr;
    QTimer m_killTimer;
    Container m_container = Container::Mp4;
    QString m_final; // the file the stream ends in
    QString m_temp;  // where ffmpeg writes it
    QByteArray m_out; // -progress lines not yet read whole
    QByteArray m_err; // error output not yet read whole
    QString m_lastError;
    QString m_serverSaid; // the last refusal of a request ffmpeg warned about
    bool m_wrongContainer = false; // ffmpeg said the codecs do not go into MP4
    qint64 m_duration = -1;        // microseconds; -1 until ffmpeg says
    qint64 m_outTime = 0;
    bool m_started = false;
    bool m_begunSent = false;
    int m_reportsWithoutDuration = 0;
    bool m_cancelled = false;
    bool m_finished = false;
};

} // namespace quorrel
