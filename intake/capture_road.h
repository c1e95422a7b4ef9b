#pragma once
// Every road from captured traffic into the catalogue, taken by the window and the tools
// alike: each request found once (intake/request_roads.h says by which road), filed
// against BaseNode on the found side with the headers it was captured with, counted once.

#include "base/request_headers.h"
#include "capture/cap_ip.h"
#include "capture/datagram.h"
#include "catalogue/catalogue.h"
#include "intake/request_roads.h"
#include "streams/key_log.h"
#include "streams/stream_limits.h"

#include <QString>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace quorrel {

namespace streams {
struct StreamRequest;
}

// Said once in a run, when a QUIC connection of this machine's could not be read: the key
// log never named it, or it spoke a QUIC version other than 1 and 2.
inline const QString kHttp3Notice = QStringLiteral(
    "发现无法读取的HTTP/3（QUIC）流量（密钥日志中没有它的密钥，或其QUIC版本无法读取）：这部分请求无法读取。"
    "请用 ./quorrel.sh browser 启动浏览器，或在浏览器中关闭QUIC："
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
        int requests = 0;      // GET requests found (each once, whichever road found it)
        int filed = 0;         // of them, new resources in the tree
        bool showHint = false; // put kSelectResourceHint in the status bar
    };
    // One datagram, as the capture of datagram.ip read it, at nowMs (a monotonic clock in
    // milliseconds; a capture file's own time stamps).
    Result deliver(const Datagram &datagram, std::int64_t nowMs);

    // Requests are read from streams only when this machine sent them, as a single datagram
    // counts only when sent from the local address whose capture read it: the local
    // addresses are those the captures were bound to (datagram.ip). A tool that reads every
    // request, whoever sent it, says so here.
    void setEveryAddressLocal(bool every) { m_roads.setEveryAddressLocal(every); }

    // About once a second: what the key log grew by, TLS records waiting for it, idle flows,
    // holes that waited too long. Requests whose secret came late are filed here, and those
    // a flow held behind a hole that never filled.
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

    // A request read from a stream (HTTP/1.x or HTTP/2, plain or through TLS; HTTP/3), filed as the
    // road files it: its address against BaseNode on the found side, its Referer, Cookie and
    // User-Agent with it (checked as RequestHeaders::captured checks every captured value).
    // Nothing when it is no GET sent from a local address.
    std::optional<Classification> fileStreamRequest(const streams::StreamRequest &request);

    // The TCP directions whose bytes the stream reader still reads, at most maxCount: a
    // capture started again passes them as before (Tcap_ip::setFollowedSource).
    std::vector<FollowedDirection> followedDirections(std::size_t maxCount) const;

    // What a summary line tells: the streams read, the TLS sessions opened or not.
    streams::StreamCounters streamCounters() const;
    // The QUIC connections read, and those that could not be.
    quic::QuicCounters quicCounters() const { return m_roads.quicCounters(); }
    // HTTP/3 that could not be read was seen (kHttp3Notice was said).
    bool sawHttp3() const { return m_http3Said; }

private:
    Classification file(const FoundRequest &request);
    Result taken();
    void takeKeyLogWarning();
    void noteHttp3();
    void noteFull(const Classification &c);
    void noteSuitesNotRead();

    Catalogue &m_catalogue;
    streams::KeyLog m_keys;
    RequestRoads m_roads;
    Result m_result; // what the call under way found, handed back as it returns
    bool m_http3Said = false;
    bool m_fullSaid = false;
    std::size_t m_suitesNotReadSaid = 0; // of the reader's suitesNotRead
};

} // namespace quorrel
