#pragma once
// Every road from captured traffic into the catalogue, taken by the window and the tools
// alike. Each datagram is looked at by itself first (the request extraction of one
// datagram, filed as always); then the TCP stream it belongs to is read, which finds what
// a single datagram cannot show: the second and later requests of a segment, a request
// head split over segments, and HTTPS and HTTP/2 read with the browser's key log.
//
// A request the datagram rule filed is not counted again from its stream: plain-HTTP
// requests read from streams are cut to their address by the same rule (so the two roads
// give the same text for the same request), and the addresses the datagram rule filed
// lately are remembered. The stream's reading is filed again only for its headers (it has
// them whole, a datagram may not); when they are the ones the datagram rule just filed
// the address with, filing again would change nothing, and is left out.

#include "capture/datagram.h"
#include "intake/capture_filing.h"
#include "catalogue/catalogue.h"
#include "base/request_headers.h"
#include "streams/key_log.h"
#include "streams/stream_limits.h"

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace quorrel {

namespace streams {
class StreamReader;
struct StreamRequest;
}

// Said once in a run, when this machine sends UDP to port 443: HTTP/3 travels over QUIC,
// which a key log of TLS records does not open.
inline const QString kHttp3Notice = QStringLiteral(
    "发现HTTP/3（QUIC）流量：这部分请求无法读取。请在浏览器中关闭QUIC："
    "Chromium 加启动参数 --disable-quic，Firefox 在 about:config 中把 network.http.http3.enable 设为 false。");

// Said once for each cipher suite met that TLS reading does not read (CBC, CCM, TLS 1.0...):
// such sessions cannot be decrypted. The suite follows, as 0x002F.
inline const QString kSuiteNotReadNotice = QStringLiteral("发现使用无法读取的加密套件的TLS会话（这类会话无法解密）：");

// "0x002F, 0x0035" for the suites of sessions that could not be read, ", ..." when there
// were more than the counters name.
QString SuitesNotReadText(const streams::StreamCounters &counters);

class CaptureRoad {
public:
    explicit CaptureRoad(Catalogue &catalogue, streams::StreamLimits limits = {});
    ~CaptureRoad();
    CaptureRoad(const CaptureRoad &) = delete;
    CaptureRoad &operator=(const CaptureRoad &) = delete;

    // The secrets of the watched browser's TLS sessions. The window follows its key log
    // file; quorrel-scan reads a file (or a capture's own secrets) before the capture.
    streams::KeyLog &keyLog() { return m_keys; }

    struct Result {
        int requests = 0;          // GET requests found (each once, whichever road found it)
        int filed = 0;             // of them, new resources in the tree
        bool showHint = false;     // put kSelectResourceHint in the status bar
    };
    // One datagram, as the capture of datagram.ip read it, at nowMs (a monotonic clock in
    // milliseconds; a capture file's own time stamps). readStream is false when the same
    // datagram was already given for another local address: its stream has it.
    Result deliver(const Datagram &datagram, std::int64_t nowMs, bool readStream = true);

    // Requests are read from streams only when this machine sent them, as a single datagram
    // counts only when sent from the local address whose capture read it: the local
    // addresses are those the captures were bound to (datagram.ip). A tool that reads every
    // request, whoever sent it, says so here.
    void setEveryAddressLocal(bool every) { m_everyAddressLocal = every; }

    // About once a second: what the key log grew by, TLS records waiting for it, idle flows.
    // Requests whose secret came late are filed here.
    Result tick(std::int64_t nowMs);
    // The capture has ended (the last datagram of the capture files): every flow ends as it
    // stands; requests still held may come out.
    Result finish();

    // A request that made a new resource in the tree, as it came: for a record of what was
    // found (quorrel-scan's HAR file). Its headers are the captured ones, in memory only.
    struct FiledRequest {
        QString url;            // the resource's address as filed
        QByteArray httpVersion; // "HTTP/1.1", "HTTP/2"; empty when the request named none
        RequestHeaders headers;
    };
    std::function<void(const FiledRequest &)> onFiled;

    // Lines for the log, each said once in a run: HTTP/3 seen, a key log others can read (or
    // one refused), a cipher suite of a session that cannot be read (kSuiteNotReadNotice),
    // the tree full (said again when it fills again after room was made).
    std::function<void(const QString &)> onNotice;

    // A request read from a stream (HTTP/1.x or HTTP/2, plain or through TLS), filed: its
    // address against BaseNode on the found side, its Referer, Cookie and User-Agent with
    // it (checked as RequestHeaders::captured checks every captured value). The stream
    // reader hands each request here; nothing when it is no GET sent from a local address,
    // or one the datagram rule has just filed with the same headers.
    std::optional<Classification> fileStreamRequest(const streams::StreamRequest &request);

    // What a summary line tells: the streams read, the TLS sessions opened or not.
    streams::StreamCounters streamCounters() const;
    bool sawHttp3() const { return m_http3Said; }

private:
    void feedStream(const Datagram &datagram, std::int64_t nowMs, Result &result);
    void rememberDatagramAddress(const QString &address);
    bool filedByDatagramRule(const QString &address) const;
    bool justFiledByDatagramRule(QByteArrayView address, const streams::StreamRequest &request) const;
    void takeKeyLogWarning();
    void noteFull(const Classification &c);
    void noteSuitesNotRead();
    void learnLocal(const IpAddress &address);
    bool isLocal(const streams::Endpoint &end) const;

    Catalogue &m_catalogue;
    streams::KeyLog m_keys;
    std::unique_ptr<streams::StreamReader> m_reader;
    Result *m_current = nullptr; // the result of the call under way, for the requests it reads
    // The last addresses the datagram rule filed, oldest overwritten first: a stream read
    // of the same request comes within a few segments.
    static constexpr int kRecentAddresses = 64;
    QString m_recent[kRecentAddresses];
    size_t m_recentHash[kRecentAddresses] = {}; // compared first: most addresses differ
    int m_recentNext = 0;
    // What the datagram rule filed in the deliver() under way, while nothing else has been
    // filed since: the same address with the same headers again is a filing that changes
    // nothing.
    struct LastFiling {
        bool valid = false;
        QString address;
        RequestHeaders headers;
    };
    LastFiling m_lastFiling;
    bool m_http3Said = false;
    bool m_fullSaid = false;
    std::size_t m_suitesNotReadSaid = 0; // of the reader's suitesNotRead
    // The captures' own addresses, as they come: at most 20 of each family are captured.
    static constexpr std::size_t kMaxLocals = 64;
    std::vector<IpAddress> m_locals;
    bool m_everyAddressLocal = false;
};

} // namespace quorrel
