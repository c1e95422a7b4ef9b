#include "streams/stream_reader.h"

#include "streams/flow.h"

#include <algorithm>
#include <iterator>
#include <vector>

namespace quorrel::streams {

namespace {
// What malloc adds to each block, and the links of a node of a hash table, a list or a map.
constexpr std::size_t kMallocCost = 16;
constexpr std::size_t kHashLink = sizeof(void *);
constexpr std::size_t kListLinks = 2 * sizeof(void *);
constexpr std::size_t kTreeLinks = 4 * sizeof(void *);
constexpr std::size_t kRememberedCost = kHashLink + sizeof(FlowKey) + 32 + kMallocCost + kListLinks + sizeof(FlowKey) + kMallocCost;
} // namespace

StreamReader::StreamReader(KeyLog &keys, StreamLimits limits)
    : m_keys(keys),
      m_limits(limits),
      m_context(std::make_unique<FlowContext>(FlowContext{keys, m_limits, m_counters, onRequest, onNote, onUnread})),
      m_generation(keys.generation())
{
}

StreamReader::~StreamReader() = default;

SegmentFate StreamReader::feed(const TcpSegment &segment)
{
    m_nowMs = std::max(m_nowMs, segment.timeMs);
    if (m_keys.generation() != m_generation)
        retryWaiting();
    int side = 0;
    const FlowKey key = FlowKey::of(segment, side);
    const bool opens = (segment.flags & kTcpSyn) && !(segment.flags & kTcpAck);

    // A key is in one table at most: a flow is remembered once it is out of m_flows, and
    // forgotten before it comes back.
    auto it = m_flows.find(key);
    if (it == m_flows.end()) {
        // A bare ACK or FIN of a connection not followed holds nothing to read; one that
        // was followed and ended is kept in mind by the bytes it carries.
        if (segment.payload.empty() && !(segment.flags & kTcpSyn))
            return SegmentFate::Read;
        if (const auto r = m_remembered.find(key); r != m_remembered.end()) {
            if (!opens) {
                r->second.lastSeenMs = m_nowMs;
                m_recentRemembered.splice(m_recentRemembered.begin(), m_recentRemembered, r->second.recent);
                return segment.payload.empty() ? SegmentFate::Read : SegmentFate::NotRead;
            }
            // The same two ends again: a new connection.
            m_recentRemembered.erase(r->second.recent);
            m_remembered.erase(r);
        }
    }
    if (it != m_flows.end() && opens && !it->second.flow->isRepeatedSyn(side, segment.seq)) {
        it->second.flow->end(Flow::Ending::Closed, nullptr);
        remove(it);
        it = m_flows.end();
    }
    if (it == m_flows.end()) {
        while (m_flows.size() >= m_limits.maxFlows && !m_recent.empty())
            evictOldest("the table of flows is full");
        if (m_limits.maxFlows == 0)
            return segment.payload.empty() ? SegmentFate::Read : SegmentFate::NotRead;
        m_recent.push_front(key);
        it = m_flows
                 .emplace(key, Entry{std::make_unique<Flow>(key, *m_context), m_recent.begin(), 0, m_nowMs, m_deadlines.end(),
                                     m_waitingForKeys.end()})
                 .first;
    } else if (m_nowMs - it->second.recentMs >= kRecencyStepMs) {
        touch(it->second);
    }
    // A segment that only says the connection lives (an ACK, bytes of a side not read)
    // changes nothing the entry keeps.
    const Flow::Taken taken = it->second.flow->segment(side, segment);
    if (!taken.changed)
        return taken.fate;
    settle(it);
    enforceTotal();
    noteMemory();
    return taken.fate;
}

void StreamReader::forEachReadDirection(
    const std::function<void(const Endpoint &, const Endpoint &, bool client)> &visit) const
{
    for (const auto &[key, entry] : m_flows) {
        for (int side = 0; side < 2; ++side) {
            if (entry.flow->reads(side))
                visit(key.end(side), key.end(1 - side), entry.flow->isClient(side));
        }
    }
}

void StreamReader::touch(Entry &entry)
{
    m_recent.splice(m_recent.begin(), m_recent, entry.recent);
    entry.recentMs = m_nowMs;
}

// The flow at the old end of the recency list, once those that were active since they
// were placed are moved to the front: the list is kept in order a step at a time (a
// segment moves its flow at most once every kRecencyStepMs), so the old end may hold a
// flow that has been active a moment ago.
StreamReader::Flows::iterator StreamReader::oldest()
{
    while (true) {
        const auto it = m_flows.find(m_recent.back());
        Entry &entry = it->second;
        if (entry.flow->lastSeenMs() <= entry.recentMs || m_recent.size() == 1)
            return it;
        m_recent.splice(m_recent.begin(), m_recent, entry.recent);
        entry.recentMs = entry.flow->lastSeenMs();
    }
}

void StreamReader::expire(std::int64_t nowMs)
{
    m_nowMs = std::max(m_nowMs, nowMs);
    if (m_keys.generation() != m_generation)
        retryWaiting();
    // The flows due now, taken out first: what they do may enter them again, for later.
    std::vector<FlowKey> due;
    while (!m_deadlines.empty() && m_deadlines.begin()->first <= m_nowMs) {
        const auto first = m_deadlines.begin();
        due.push_back(first->second);
        m_flows.find(first->second)->second.deadline = m_deadlines.end();
        m_deadlines.erase(first);
    }
    for (const FlowKey &key : due) {
        const auto it = m_flows.find(key);
        if (it == m_flows.end())
            continue;
        it->second.flow->retry(m_nowMs);
        it->second.flow->checkTimers(m_nowMs);
        settle(it);
    }
    while (!m_recent.empty()) {
        const auto it = oldest();
        if (it->second.flow->lastSeenMs() + m_limits.idleMs > m_nowMs)
            break;
        it->second.flow->end(Flow::Ending::Idle, nullptr);
        remove(it);
    }
    while (!m_recentRemembered.empty()) {
        const auto r = m_remembered.find(m_recentRemembered.back());
        if (r->second.lastSeenMs + m_limits.rememberMs > m_nowMs)
            break;
        m_recentRemembered.pop_back();
        m_remembered.erase(r);
    }
    noteMemory();
}

void StreamReader::endAll()
{
    m_generation = m_keys.generation();
    for (auto it = m_flows.begin(); it != m_flows.end();) {
        const auto next = std::next(it);
        it->second.flow->retry(m_nowMs);
        it->second.flow->end(Flow::Ending::Idle, nullptr);
        remove(it);
        it = next;
    }
    noteMemory();
}

// The key log grew: the flows whose records wait for it try again, no others (a flow
// waiting for the server's hello, or for nothing, has nothing the key log can give).
void StreamReader::retryWaiting()
{
    m_generation = m_keys.generation();
    const std::vector<FlowKey> waiting(m_waitingForKeys.begin(), m_waitingForKeys.end());
    for (const FlowKey &key : waiting) {
        const auto it = m_flows.find(key);
        if (it == m_flows.end())
            continue;
        it->second.flow->retry(m_nowMs);
        settle(it);
    }
}

// Brings an entry up to date after its flow has worked: its memory, its deadline, its
// place among the flows waiting for the key log. Ends a flow over its bound, and takes
// ended flows out (remembered, but for idle ones: a connection that wakes up again may
// still be read from its next request).
void StreamReader::settle(Flows::iterator it)
{
    Entry &entry = it->second;
    Flow &flow = *entry.flow;
    if (!flow.ended() && flow.boundedMemory() > m_limits.flowBytes)
        flow.end(flow.hasHole() ? Flow::Ending::Gap : Flow::Ending::Oversize, "over the flow's memory bound");
    if (flow.ended()) {
        const bool keep = flow.ending() != Flow::Ending::Idle;
        const FlowKey key = it->first;
        remove(it);
        if (keep)
            remember(key);
        return;
    }
    const std::size_t memory = flow.memory();
    m_flowMemory = m_flowMemory - entry.memory + memory;
    entry.memory = memory;
    schedule(entry, it->first, flow.nextDeadlineMs());
    const bool waiting = flow.waitsForKeyLog();
    if (waiting != (entry.waitingAt != m_waitingForKeys.end())) {
        if (waiting) {
            entry.waitingAt = m_waitingForKeys.insert(m_waitingForKeys.end(), it->first);
        } else {
            m_waitingForKeys.erase(entry.waitingAt);
            entry.waitingAt = m_waitingForKeys.end();
        }
    }
}

// An earlier deadline already entered stays: when it comes the flow finds nothing due
// and is entered again at its real one. So a hole that moves on costs nothing here.
void StreamReader::schedule(Entry &entry, const FlowKey &key, std::int64_t atMs)
{
    const bool scheduled = entry.deadline != m_deadlines.end();
    if (atMs == Flow::kNever || (scheduled && entry.deadline->first <= atMs))
        return;
    if (scheduled)
        m_deadlines.erase(entry.deadline);
    entry.deadline = m_deadlines.emplace(atMs, key);
}

void StreamReader::remove(Flows::iterator it)
{
    Entry &entry = it->second;
    m_flowMemory -= entry.memory;
    m_recent.erase(entry.recent);
    if (entry.deadline != m_deadlines.end())
        m_deadlines.erase(entry.deadline);
    if (entry.waitingAt != m_waitingForKeys.end())
        m_waitingForKeys.erase(entry.waitingAt);
    m_flows.erase(it);
}

void StreamReader::remember(const FlowKey &key)
{
    if (m_limits.maxRemembered == 0)
        return;
    if (const auto r = m_remembered.find(key); r != m_remembered.end()) {
        r->second.lastSeenMs = m_nowMs;
        m_recentRemembered.splice(m_recentRemembered.begin(), m_recentRemembered, r->second.recent);
        return;
    }
    while (m_remembered.size() >= m_limits.maxRemembered) {
        m_remembered.erase(m_recentRemembered.back());
        m_recentRemembered.pop_back();
    }
    m_recentRemembered.push_front(key);
    m_remembered[key] = Remembered{m_nowMs, m_recentRemembered.begin()};
}

void StreamReader::enforceTotal()
{
    while (memoryInUse() > m_limits.totalBytes && !m_recent.empty())
        evictOldest("over the memory bound of all flows");
}

// Ends the flow idle the longest, counted as evicted, and remembers it.
void StreamReader::evictOldest(const char *reason)
{
    const auto it = oldest();
    const FlowKey key = it->first;
    it->second.flow->end(Flow::Ending::Evicted, reason);
    remove(it);
    remember(key);
}

std::size_t StreamReader::memoryInUse() const
{
    // A flow's table entry: its hash node (key and entry) and its node in the recency list;
    // the flows with a deadline or waiting for the key log have a node there too.
    constexpr std::size_t kEntryCost = kHashLink + sizeof(FlowKey) + sizeof(Entry) + kMallocCost + kListLinks + sizeof(FlowKey)
        + kMallocCost;
    constexpr std::size_t kDeadlineCost = kTreeLinks + sizeof(std::int64_t) + sizeof(FlowKey) + kMallocCost;
    constexpr std::size_t kWaitingCost = kListLinks + sizeof(FlowKey) + kMallocCost;
    return m_flowMemory + m_flows.size() * kEntryCost + m_deadlines.size() * kDeadlineCost
        + m_waitingForKeys.size() * kWaitingCost + m_remembered.size() * kRememberedCost
        + (m_flows.bucket_count() + m_remembered.bucket_count()) * sizeof(void *);
}

void StreamReader::noteMemory()
{
    m_counters.peakMemory = std::max(m_counters.peakMemory, memoryInUse());
}

StreamCounters StreamReader::counters() const
{
    StreamCounters counters = m_counters;
    counters.memoryInUse = memoryInUse();
    // The readers count the requests dropped for their address alone; they are oversize too.
    counters.oversize += counters.longAddresses;
    return counters;
}

} // namespace quorrel::streams
