#pragma once
// Captured TCP segments in, the requests their connections carry out: plain HTTP/1.x
// and HTTP/2, and the same inside TLS when the key log holds the session's secrets.
//
// A bounded table of flows keyed by their two ends (IPv4 and IPv6). A flow ends on FIN
// or RST, after an idle time, or when its reading cannot go on (a gap, a bound, bytes
// that are not HTTP): ended and unreadable flows are remembered, bounded, so that their
// later segments cost one lookup. Time comes from the segments' timeMs and from
// expire(nowMs); the reader reads no clock of its own.
//
// Nothing walks the table while traffic flows: a segment costs the same with ten flows
// held or maxFlows. The memory in use is a sum kept up to date by each flow that worked;
// expire() visits only the flows whose deadline has come (kept in order of deadline), the
// idle ones from the old end of the recency list, and, when the key log grew, the flows
// whose TLS records wait for it.
//
// What the reader does not read is said: feed() tells whether a reader took a segment's
// payload, and a flow that ends hands out through onUnread the bytes it took in but never
// read (held behind a hole that never filled, say). So whoever reads single datagrams
// reads exactly what no reader does.
//
// One thread. onRequest, onNote and onUnread are called from inside feed(), expire() and
// endAll(); they must not call back into the reader.

#include "streams/flow_key.h"
#include "streams/key_log.h"
#include "streams/stream_limits.h"
#include "streams/stream_types.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <unordered_map>

namespace quorrel::streams {

class Flow;
struct FlowContext;

class StreamReader {
public:
    explicit StreamReader(KeyLog &keys, StreamLimits limits = {});
    ~StreamReader();
    StreamReader(const StreamReader &) = delete;
    StreamReader &operator=(const StreamReader &) = delete;

    // Every request read, whatever its method (the caller picks the GETs).
    std::function<void(const StreamRequest &)> onRequest;
    // A flow whose reading ended early, and why (optional; for the log).
    std::function<void(const FlowNote &)> onNote;
    // Bytes a flow took in and never read, as its reading ends (optional).
    std::function<void(const UnreadBytes &)> onUnread;

    // One captured segment, in capture order. Its payload is not kept past the call.
    SegmentFate feed(const TcpSegment &segment);
    // Ends idle flows and holes that waited too long, and lets TLS records that wait for
    // the key log try again. Call it every second or so with the capture's clock.
    void expire(std::int64_t nowMs);
    // The capture has ended (a capture file's last segment): TLS records waiting for the
    // key log try once more, then every flow ends as it stands, counted (a hole left is a
    // gap, a TLS session still waiting is one without a secret).
    void endAll();

    // Each direction of a flow whose bytes a reader still wants, client first: sender,
    // receiver, and whether it is a client's (a server's is read only to its TLS hello).
    void forEachReadDirection(const std::function<void(const Endpoint &, const Endpoint &, bool client)> &visit) const;

    StreamCounters counters() const;
    std::size_t memoryInUse() const;
    std::size_t flowCount() const { return m_flows.size(); }
    std::size_t rememberedCount() const { return m_remembered.size(); }

private:
    // Flows by the time their next deadline comes; a flow's deadline only moves later
    // while it is in here (Flow::nextDeadlineMs), so it is entered again only when it comes
    // up and finds nothing due yet.
    using Deadlines = std::multimap<std::int64_t, FlowKey>;
    struct Entry {
        std::unique_ptr<Flow> flow;
        std::list<FlowKey>::iterator recent; // in m_recent
        std::size_t memory = 0;
        std::int64_t recentMs = 0;            // when it was last moved to the front of m_recent
        Deadlines::iterator deadline;           // in m_deadlines; its end() when not there
        std::list<FlowKey>::iterator waitingAt; // in m_waitingForKeys; its end() when not there
    };
    struct Remembered {
        std::int64_t lastSeenMs = 0;
        std::list<FlowKey>::iterator recent; // in m_recentRemembered
    };
    using Flows = std::unordered_map<FlowKey, Entry, FlowKeyHash>;

    // A flow that is active moves to the front of the recency list this often at most:
    // the list's nodes are spread over memory, and moving one touches three of them.
    static constexpr std::int64_t kRecencyStepMs = 1000;
    void touch(Entry &entry);
    Flows::iterator oldest();
    void retryWaiting();
    void settle(Flows::iterator it);
    void schedule(Entry &entry, const FlowKey &key, std::int64_t atMs);
    void remove(Flows::iterator it);
    void remember(const FlowKey &key);
    void enforceTotal();
    void evictOldest(const char *reason);
    void noteMemory();

    KeyLog &m_keys;
    StreamLimits m_limits;
    StreamCounters m_counters;
    std::unique_ptr<FlowContext> m_context;
    std::uint64_t m_generation = 0;
    std::int64_t m_nowMs = 0;

    Flows m_flows;
    std::list<FlowKey> m_recent; // flows, most recently active first
    Deadlines m_deadlines;
    std::list<FlowKey> m_waitingForKeys; // flows whose TLS records wait for the key log
    std::size_t m_flowMemory = 0;
    std::unordered_map<FlowKey, Remembered, FlowKeyHash> m_remembered;
    std::list<FlowKey> m_recentRemembered;
};

} // namespace quorrel::streams
