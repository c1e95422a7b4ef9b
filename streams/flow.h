#pragma once
// One TCP connection as the stream reader follows it: both directions put in order, the
// client told apart from the server, and the client's bytes read as HTTP or as TLS (whose
// plaintext is read as HTTP in turn). From the server only the first bytes of a TLS
// connection are read, for its ServerHello.

#include "streams/flow_key.h"
#include "streams/http_stream.h"
#include "streams/key_log.h"
#include "streams/stream_limits.h"
#include "streams/stream_start.h"
#include "streams/tcp_reassembler.h"
#include "streams/tls_session.h"

#include <QByteArray>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>

namespace quorrel::streams {

// What every flow of one reader shares.
struct FlowContext {
    KeyLog &keys;
    const StreamLimits &limits;
    StreamCounters &counters;
    const std::function<void(const StreamRequest &)> &onRequest;
    const std::function<void(const FlowNote &)> &onNote;
    const std::function<void(const UnreadBytes &)> &onUnread;
};

class Flow {
public:
    enum class Ending {
        Closed,  // FIN or RST
        Idle,    // nothing seen for the idle time
        Evicted, // to keep the memory bound
        Unreadable,
        Gap,
        Oversize,
        Protocol,
        Quiet,   // the connection became something else: reading it ends, no fault
        TlsFailed,
        TlsWithoutSecret,
    };

    Flow(const FlowKey &key, FlowContext &context);
    ~Flow();
    Flow(const Flow &) = delete;
    Flow &operator=(const Flow &) = delete;

    // A segment sent by the key's end side (0 low, 1 high). changed is false when it
    // changed nothing but the time the flow was last seen; fate says whether a reader
    // took its payload (SegmentFate).
    struct Taken {
        bool changed = false;
        SegmentFate fate = SegmentFate::Read;
    };
    Taken segment(int side, const TcpSegment &segment);
    // The key log grew, or time passed: TLS records waiting for a secret try again.
    void retry(std::int64_t nowMs);
    // Ends the reading when a hole has waited too long, or a closed connection has
    // waited too long for its secret.
    void checkTimers(std::int64_t nowMs);
    // Ends the reading now, counted by why.
    void end(Ending why, const char *reason);

    bool ended() const { return m_ended; }
    Ending ending() const { return m_ending; }
    // Whether a reader still wants the bytes side sends (none once the flow ended), and
    // whether that side is the client (or not known yet: read as one).
    bool reads(int side) const { return !m_ended && !m_closed && wantsBytes(side); }
    bool isClient(int side) const { return m_client < 0 || side == m_client; }
    // A SYN the flow has seen already (sent again), not a new connection on the same ends.
    bool isRepeatedSyn(int side, std::uint32_t seq) const;
    bool waitsForSecret() const;
    // TLS records wait for a line of the key log: only a key log that grew moves them on.
    bool waitsForKeyLog() const;
    bool hasHole() const;
    std::int64_t lastSeenMs() const { return m_lastSeenMs; }
    // When retry() and checkTimers() next have something to do (a hole's wait, a closed
    // connection's wait for its secret, TLS records' wait), or kNever. Between two calls
    // that work on the flow it only moves later or goes away.
    static constexpr std::int64_t kNever = INT64_MAX;
    std::int64_t nextDeadlineMs() const;
    // Every byte the flow holds, itself included.
    std::size_t memory() const;
    // What the flow's own bound (StreamLimits::flowBytes) counts: all but the TLS records
    // waiting for their secret, which TLS reading bounds itself.
    std::size_t boundedMemory() const;

private:
    struct Side {
        TcpReassembler stream;
        bool synSeen = false;
        std::uint32_t isn = 0;
        bool notClient = false; // joined late, and its first bytes started no request
        std::array<std::byte, kStreamStartBytes> start{}; // first bytes, being judged
        std::size_t startFill = 0;
    };
    class SideSink : public ByteSink {
    public:
        SideSink(Flow &flow, int side) : m_flow(flow), m_side(side) {}
        bool bytes(Bytes bytes) override { return m_flow.deliver(m_side, bytes); }

    private:
        Flow &m_flow;
        int m_side;
    };
    enum class Kind { Undecided, Http, Tls };

    bool wantsBytes(int side) const;
    bool deliver(int side, Bytes bytes);
    bool judge(int side, Bytes bytes);
    void decide(int side, StreamStart start);
    bool deliverServer(Bytes bytes);
    void plaintext(Bytes bytes);
    void startHttp(QByteArray scheme);
    void httpEnded();
    void observeTls();
    void countSuiteNotRead(std::uint16_t suite);
    void closed();
    void note(FlowNote::Kind kind, const char *reason);
    void handOutUnread(Ending why);
    void request(StreamRequest &&request);
    int serverSide() const { return 1 - m_client; }

    FlowKey m_key;
    FlowContext &m_context;
    Side m_sides[2];
    int m_client = -1; // the client's side, once known
    Kind m_kind = Kind::Undecided;
    std::int64_t m_nowMs = 0;
    std::int64_t m_lastSeenMs = 0;

    QByteArray m_serverEarly; // server bytes that came before the client's were judged
    std::unique_ptr<HttpStream> m_http;
    std::unique_ptr<TlsSession> m_tls;
    std::size_t m_serverFed = 0;
    bool m_serverDone = false;
    TlsSession::State m_tlsState = TlsSession::State::Handshake;
    bool m_tlsDecrypted = false;
    bool m_tlsCounted = false; // counted as failed or without a secret

    bool m_closed = false; // FIN or RST seen while TLS records still wait for a secret
    std::int64_t m_closedAtMs = 0;
    bool m_ended = false;
    Ending m_ending = Ending::Closed;
    std::uint64_t m_requests = 0; // requests read, for what a segment gave
};

} // namespace quorrel::streams
