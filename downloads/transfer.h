#pragma once
// Transfer: one download from an address into a save file, on the event loop. The program
// runs one at a time and starts the next after finished. MakeTransfer chooses the kind:
// a streamed video (an HLS playlist or a DASH manifest) is copied into one file by ffmpeg
// (downloads/stream_transfer.h); anything else is a CurlTransfer, HTTP(S) or FTP through a
// CurlMulti, which the rest of this comment is about.
//
// The save file's folder is made first, with its parents, when it is missing. A save path
// that is a folder is refused.
//
// The body goes to savePath's partial file (PartialPath: savePath + ".part"), renamed to
// savePath when it is whole; a save path that is a device or a pipe is written as it is.
// A resume continues that partial file, and only that: a file under the final name is a
// whole download or someone else's, and nothing is ever appended to it. Asked to resume
// such a file, the transfer only asks the server for the length (HEAD; FTP SIZE): the same
// length is a file already complete (done, alreadyComplete, not a byte written), any other
// refuses (kNotOurPartial()), the file left alone. Written again (no resume), the new file
// replaces the old one only once it is whole.
//
// HTTP: User-Agent "Mozilla/3.0 (compatible; Indy Library)" and Accept "*/*", redirects
// followed (at most 20, and only to http, https or ftp), the run's cookies, 300 ms for
// the TCP connect (the name look-up and the TLS handshake have the stall time, as every
// other wait does), certificates checked against the system's trust store. A resume
// sends a HEAD, then a GET for the bytes from n - 1 on (n the size of the file already
// there): the last byte on disk is fetched again and written where it was; a HEAD whose
// length is n says the partial file is complete, and it is renamed without a GET. A request
// captured with headers sends its User-Agent in place of the fixed one, its Referer, and
// its Cookie to the host it was captured for alone: the cookie goes into a cookie jar of
// the transfer's own, bound to that host, so a redirect elsewhere does not carry it.
// FTP: the login, port, directory and file of ParseFtpAddress; one CWD to the directory,
// SIZE, then RETR; a resume restarts at byte n with REST. A missing password is asked
// for once the save file is open.
//
// The body goes straight to the partial file. Whatever fails, it holds either what it held
// before or the bytes received, from where the body began; a reply that is not the file
// (an error page, a range other than the one asked for) is never written, and a partial file
// this transfer created and wrote nothing into is removed again.

#include "base/request_headers.h"
#include "downloads/curl_multi.h"
#include "downloads/ftp_address.h"
#include "downloads/transfer_reasons.h"

#include <QFile>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>

namespace quorrel {

struct TransferRequest {
    QString address; // trimmed; http, https or ftp (AddressScheme)
    QString savePath;
    bool resume = false; // continue the partial file of savePath rather than write it again
    // For an ftp address: its parts, with the password the user gave when it was missing.
    // Left empty, the address is parsed here and a missing password is taken as empty.
    std::optional<FtpAddress> ftp;
    // The headers of the request the address was captured with; none for an address from
    // a file, typed or listed, which is then fetched with the fixed headers alone.
    RequestHeaders headers = {};
};

struct TransferResult {
    bool done = false;
    QString reason;      // why it failed, for the log and the command line; empty when done
    qint64 fileSize = 0; // the save file's size at the end (while not done, the partial
                         // file's); -1 when it could not be opened
    // Done without a byte: the file was whole already (resumed, and its size is the
    // server's).
    bool alreadyComplete = false;
    qint64 ftpSize = 0;  // FTP: the size the server gave for the file, -1 none; 0 for HTTP
    bool ftpSizeAsked = false; // FTP: SIZE was sent (so ftpSize is its answer); a transfer
                               // that failed before it learned nothing about the size
    // FTP: logged in, the server refused a command (the directory, the file, the restart
    // offset). Unlike a failed connection or login, the user is shown the reason.
    bool refused = false;
    // The file the download was saved in, when that is not the request's save path (a
    // streamed video, saved as .mp4 or .mkv beside it); empty otherwise.
    QString savedAs = {};
};

class ConnectWatch;

// The program's words for what a libcurl result means (libcurl-errors.3); a transfer's
// reason gives them before libcurl's own.
QString CurlResultText(CURLcode code);

// The Netscape cookie-file lines (CURLOPT_COOKIELIST.3) of a captured Cookie header, each
// cookie bound to host alone, for the whole of it (path "/"), secure when asked, ending
// with the session.
QList<QByteArray> CookieJarLines(QByteArrayView cookie, QByteArrayView host, bool secure);

// What every kind of transfer offers the scheduler and quorrel-fetch.
class Transfer : public QObject {
    Q_OBJECT
public:
    // What begun and progress count in.
    enum class Unit {
        Bytes,        // of the file
        Microseconds, // of the stream's running time
    };

    explicit Transfer(TransferRequest request, QObject *parent = nullptr);
    ~Transfer() override; // a transfer still running is dropped, without finished

    // No byte for this many seconds fails the transfer; it bounds an FTP server's connect
    // and replies too. 60 unless set before start.
    void setStallTimeout(int seconds) { m_stallSeconds = seconds; }
    // Asks for the password of an FTP address that names a user and none, once the save
    // file is open (a modal question may run in it). No answer (nullopt) fails the
    // transfer. Without one, the password of the request's parts is taken as it is.
    using PasswordQuestion = std::function<std::optional<QString>(const FtpAddress &)>;
    void setPasswordQuestion(PasswordQuestion ask) { m_askPassword = std::move(ask); }

    // Opens the save file and sends the first request. Once; later calls do nothing.
    virtual void start() = 0;
    // Ends the transfer as a failure (kTransferCancelled): a file transfer keeps the bytes
    // received, a stream leaves nothing. Idempotent; nothing once finished.
    virtual void cancel() = 0;
    virtual Unit unit() const { return Unit::Bytes; }
    // Where the body begins in the save file, once begun: the bytes a resume kept before
    // it (0 when the whole file comes again, and for a stream).
    virtual qint64 bodyStart() const { return 0; }

    const TransferRequest &request() const { return m_request; }

signals:
    // The body of the reply begins: expected is its stated length, <= 0 when it states
    // none (FTP: the size given, less the restart offset; a stream: its running time).
    // Not emitted when the transfer fails before its body.
    void begun(qint64 expected);
    // Bytes of that body written so far (a stream: the running time copied); emitted from
    // the loop as they arrive.
    void progress(qint64 bytes);
    // Exactly once per started transfer, always from the event loop (never from inside
    // start or cancel), after the file is closed.
    void finished(const quorrel::TransferResult &result);

protected:
    TransferRequest m_request;
    int m_stallSeconds = 60;
    PasswordQuestion m_askPassword;
};

// Makes the save folder with its parents, as download tools do (a fresh machine often has
// no Downloads folder); when it cannot, the reason (kFolderUnmakeable).
std::optional<QString> MakeSaveFolder(const QString &folder);

// The transfer for request: a StreamTransfer for an HLS playlist or a DASH manifest
// (IsStreamAddress), a CurlTransfer on multi otherwise.
Transfer *MakeTransfer(CurlMulti &multi, TransferRequest request, QObject *parent = nullptr);

// HTTP and FTP through libcurl.
class CurlTransfer : public Transfer, private CurlJob {
    Q_OBJECT
public:
    CurlTransfer(CurlMulti &multi, TransferRequest request, QObject *parent = nullptr);
    ~CurlTransfer() override;

    void start() override;
    void cancel() override;
    qint64 bodyStart() const override { return m_bodyStart; }

private:
    enum class Phase { Idle, Check, Head, Get, Finished };
    struct Reply {
        int status = 0;         // HTTP status code; 0 for an FTP server's replies
        QByteArray phrase;      // its reason phrase
        qint64 length = -1;     // Content-Length
        qint64 rangeFirst = -1; // the first byte of Content-Range
        bool ftp = false;       // the replies come from an FTP server (also after a redirect)
    };

    void curlDone(CURLcode code) override;
    bool openFile();
    bool prepareHttp();
    bool prepareFtp();
    void setCommonOptions();
    bool startBody();
    bool cutFile(qint64 size);
    void reportProgress();
    void fail(const QString &reason);
    void finish(bool done, const QString &reason, bool refused = false);
    void finishComplete();
    QString failureText(CURLcode code) const;

    static size_t writeCallback(char *data, size_t size, size_t count, void *self);
    static size_t headerCallback(char *data, size_t size, size_t count, void *self);
    static int debugCallback(CURL *, curl_infotype type, char *data, size_t size, void *self);
    size_t takeBody(const char *data, size_t size);
    void takeHeader(QByteArrayView line);

    bool setCapturedHeaders();

    CurlMulti &m_multi;
    bool m_started = false;
    Phase m_phase = Phase::Idle;
    bool m_isFtp = false;

    CURL *m_easy = nullptr;
    bool m_added = false;
    bool m_ownJar = false; // the captured cookies are in a jar of this transfer's own
    curl_slist *m_headers = nullptr; // Accept; libcurl keeps the list, not a copy
    char m_error[CURL_ERROR_SIZE] = {};

    ConnectWatch *m_connectWatch = nullptr; // HTTP: the TCP connect's bound
    FtpAddress m_ftpAddress;

    QFile m_file;            // the partial file; the save path itself when m_direct
    QString m_partPath;
    bool m_direct = false;   // the save path is a device or a pipe, written as it is
    bool m_checkOnly = false; // a resume of a file under the final name: its length asked
    bool m_complete = false; // the file was whole already
    bool m_created = false;  // no partial file was there before: one left empty by a failure goes
    qint64 m_existing = 0;   // the file's size when opened
    qint64 m_rangeFirst = -1; // HTTP resume: the first byte asked for; -1 for the whole file
    qint64 m_restOffset = 0;  // where an FTP retrieval restarts

    Reply m_reply;               // the reply whose headers came last
    bool m_inHttpHeaders = false;
    qint64 m_ftpSize = -1;
    bool m_ftpSizeAsked = false;
    QByteArray m_ftpRefusal;     // the FTP server's last 4xx or 5xx reply

    QString m_failReason;        // set by the callbacks before they stop libcurl
    bool m_bodyStarted = false;
    qint64 m_expected = 0;
    qint64 m_position = 0;       // where the next body byte goes
    qint64 m_bodyStart = 0;      // where the body's first byte went
    qint64 m_received = 0;
    bool m_begunSent = false;
    qint64 m_progressSent = 0;
};

} // namespace quorrel
