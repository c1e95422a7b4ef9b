#include "quic/http3_session.h"

#include "capture/byte_cursor.h"
#include "quic/offset_reassembler.h"
#include "quic/varint.h"

#include <algorithm>
#include <array>
#include <climits>

namespace quorrel::quic {

namespace {

// HTTP/3 frame types (RFC 9114 7.2) and stream types (6.2), QPACK's (RFC 9204 4.2).
constexpr std::uint64_t kData = 0x00;
constexpr std::uint64_t kHeaders = 0x01;
constexpr std::uint64_t kSettings = 0x04;
constexpr std::uint64_t kControlStream = 0x00;
constexpr std::uint64_t kEncoderStream = 0x02;
// SETTINGS identifiers (RFC 9204 5).
constexpr std::uint64_t kQpackMaxTableCapacity = 0x01;
// A server's SETTINGS are a few pairs; more than this is not a real server's.
constexpr std::size_t kMaxSettingsBytes = 4096;
// Room for the stream type and frame headers (varints, and frames of reserved types that
// a client may send first, RFC 9114 7.2.8) ahead of the frame a stream is read for.
constexpr std::size_t kFrameHeadroom = 256;
// Blocked sections the decoder allows: the server's SETTINGS_QPACK_BLOCKED_STREAMS binds
// the client, not a reader, which takes what the client sent.
constexpr std::size_t kBlockedSections = 1024;

enum class Kind : std::uint8_t {
    Request,  // reading up to the first HEADERS
    Uni,      // its stream type not read yet
    Encoder,  // the client's QPACK encoder stream: read to its end
    Control,  // the server's control stream: read up to SETTINGS
    Done,
};

enum class Step : std::uint8_t { StreamType, FrameType, FrameLength, Payload, Skip };

} // namespace

struct Http3Session::Stream {
    Kind kind = Kind::Request;
    Step step = Step::FrameType;
    OffsetReassembler bytes;
    std::array<std::uint8_t, 8> varint{};
    std::uint8_t varintFill = 0;
    std::uint64_t frameType = 0;
    std::uint64_t left = 0;
    std::vector<std::byte> payload; // the HEADERS or SETTINGS payload being gathered
    // A section that waits: for the SETTINGS (no qpack yet) or for the encoder stream.
    std::unique_ptr<QpackDecoder::Section> qpack;
    std::unique_ptr<RequestFields> fields;
    bool waiting = false;
    std::int64_t waitingSinceMs = 0;
    std::list<std::uint64_t>::iterator waitingAt;

    // The next varint of data, gathered across pieces; false until it is whole.
    bool takeVarint(Bytes &data, std::uint64_t &value)
    {
        while (!data.empty()) {
            varint[varintFill++] = std::to_integer<std::uint8_t>(data[0]);
            data = data.subspan(1);
            if (varintFill == varintLength(varint[0])) {
                ByteCursor c(Bytes(reinterpret_cast<const std::byte *>(varint.data()), varintFill));
                value = *readVarint(c);
                varintFill = 0;
                return true;
            }
        }
        return false;
    }

    // Takes the frame's payload from data, gathered across pieces; true once it is whole.
    bool gatherPayload(Bytes &data)
    {
        const auto take = std::size_t(std::min<std::uint64_t>(left, data.size()));
        payload.insert(payload.end(), data.begin(), data.begin() + std::ptrdiff_t(take));
        left -= take;
        data = data.subspan(take);
        return left == 0;
    }
};

std::size_t Http3Session::memoryOf(const Stream &s)
{
    constexpr std::size_t kNode = 48; // a map node's links and key
    return kNode + sizeof(Stream) + s.bytes.memory() - sizeof(OffsetReassembler) + s.payload.capacity()
        + (s.fields ? sizeof(RequestFields) : 0) + (s.qpack ? sizeof(QpackDecoder::Section) + 64 : 0)
        + (s.waiting ? 32 : 0);
}

template <typename Work>
void Http3Session::tracked(Stream &stream, Work &&work)
{
    const std::size_t before = memoryOf(stream);
    work();
    m_streamsMemory = m_streamsMemory - before + memoryOf(stream);
}

Http3Session::Http3Session(const QuicLimits &limits, QuicCounters &counters)
    : m_limits(limits), m_counters(counters), m_requests{{}, 0}, m_uni{{}, 2}, m_server{{}, 3}
{
}

Http3Session::~Http3Session() = default;

void Http3Session::fail(const char *reason)
{
    if (!m_failReason)
        m_failReason = reason;
}

Http3Session::Stream *Http3Session::streamFor(Side &side, std::uint64_t id)
{
    if (id < side.doneBelow)
        return nullptr;
    auto it = side.streams.find(id);
    if (it == side.streams.end()) {
        // Streams open in order (RFC 9000 2.1): one far above those followed is let go
        // rather than crowd them out.
        if (side.streams.size() >= m_limits.maxStreams) {
            // The lowest goes; a section it held is lost, counted.
            auto lowest = side.streams.begin();
            dropWaiting(lowest->second);
            if (lowest->second.kind != Kind::Done)
                ++m_counters.streamsDropped;
            side.doneBelow = lowest->first + 4;
            m_streamsMemory -= memoryOf(lowest->second);
            side.streams.erase(lowest);
            settle(side);
            if (id < side.doneBelow)
                return nullptr;
        }
        it = side.streams.emplace(id, Stream{}).first;
        Stream &s = it->second;
        const bool bidi = (id & 0x02) == 0;
        s.kind = bidi ? Kind::Request : Kind::Uni;
        s.step = bidi ? Step::FrameType : Step::StreamType;
        m_streamsMemory += memoryOf(s);
    }
    return &it->second;
}

void Http3Session::settle(Side &side)
{
    while (!side.streams.empty()) {
        auto first = side.streams.begin();
        if (first->first != side.doneBelow || first->second.kind != Kind::Done)
            break;
        side.doneBelow += 4;
        m_streamsMemory -= memoryOf(first->second);
        side.streams.erase(first);
    }
}

void Http3Session::clientStream(std::uint64_t id, std::uint64_t offset, Bytes data, std::int64_t nowMs)
{
    if (failed())
        return;
    // Client-initiated streams have the low bit clear (RFC 9000 2.1).
    if (id & 0x01)
        return;
    Side &side = id & 0x02 ? m_uni : m_requests;
    // Of a request stream only its first HEADERS frame is read, within headBytes of its
    // start (and a few frame headers before it): bytes beyond are never needed.
    if (&side == &m_requests && offset > m_limits.headBytes + kFrameHeadroom) {
        m_counters.streamBytesDropped += data.size();
        return;
    }
    Stream *s = streamFor(side, id);
    if (!s || s->kind == Kind::Done || s->bytes.done())
        return;
    tracked(*s, [&] {
        const auto add = s->bytes.add(offset, data, m_limits.connectionBytes / 4,
                                      [&](Bytes in) { return bytes(*s, id, in, true, nowMs); });
        if (add == OffsetReassembler::Add::Overflow)
            m_counters.streamBytesDropped += data.size();
        if (s->bytes.done() && !s->waiting)
            s->kind = Kind::Done;
    });
    settle(side);
}

void Http3Session::serverStream(std::uint64_t id, std::uint64_t offset, Bytes data, std::int64_t nowMs)
{
    // Only the server's unidirectional streams (3, 7...) hold its control stream.
    if (m_settingsKnown || failed() || (id & 0x03) != 0x03)
        return;
    if (offset > kMaxSettingsBytes + kFrameHeadroom) {
        m_counters.streamBytesDropped += data.size();
        return;
    }
    Stream *s = streamFor(m_server, id);
    if (!s || s->kind == Kind::Done || s->bytes.done())
        return;
    tracked(*s, [&] {
        if (s->bytes.add(offset, data, kMaxSettingsBytes, [&](Bytes in) { return bytes(*s, id, in, false, nowMs); })
            == OffsetReassembler::Add::Overflow)
            m_counters.streamBytesDropped += data.size();
        if (s->bytes.done())
            s->kind = Kind::Done;
    });
    settle(m_server);
}

void Http3Session::clientReset(std::uint64_t id)
{
    if (id & 0x01)
        return;
    Side &side = id & 0x02 ? m_uni : m_requests;
    Stream *s = streamFor(side, id);
    if (!s)
        return;
    // A request whose section was read is filed already; one still waiting for SETTINGS
    // or the encoder stream was cancelled by its client, and is let go too.
    tracked(*s, [&] {
        dropWaiting(*s);
        s->bytes.finish();
        s->kind = Kind::Done;
    });
    settle(side);
}

bool Http3Session::bytes(Stream &s, std::uint64_t id, Bytes data, bool client, std::int64_t nowMs)
{
    while (!data.empty()) {
        if (s.step == Step::StreamType) {
            std::uint64_t type = 0;
            if (!s.takeVarint(data, type))
                return true;
            if (client && type == kEncoderStream) {
                s.kind = Kind::Encoder;
                s.step = Step::Payload; // instructions from here to the stream's end
            } else if (!client && type == kControlStream) {
                s.kind = Kind::Control;
                s.step = Step::FrameType;
            } else {
                return false; // the client's control and decoder streams, push, extensions: nothing to read
            }
            continue;
        }
        if (s.kind == Kind::Encoder) {
            encoderBytes(data);
            return !failed();
        }
        const bool more = s.kind == Kind::Request ? requestBytes(s, id, data, nowMs) : controlBytes(s, data);
        if (!more)
            return false;
    }
    return true;
}

bool Http3Session::requestBytes(Stream &s, std::uint64_t id, Bytes &data, std::int64_t nowMs)
{
    switch (s.step) {
    case Step::FrameType:
        if (s.takeVarint(data, s.frameType))
            s.step = Step::FrameLength;
        return true;
    case Step::FrameLength:
        if (!s.takeVarint(data, s.left))
            return true;
        if (s.frameType == kHeaders) {
            if (s.left == 0) {
                ++m_counters.packetsMalformed;
                return false;
            }
            if (s.left > m_limits.headBytes) {
                ++m_counters.oversize;
                return false;
            }
            s.payload.reserve(std::size_t(s.left));
            s.step = Step::Payload;
        } else if (s.frameType == kData) {
            ++m_counters.packetsMalformed; // RFC 9114 4.1: DATA before HEADERS is malformed
            return false;
        } else {
            s.step = s.left > 0 ? Step::Skip : Step::FrameType; // reserved and unknown frame types (7.2.8, 9)
        }
        return true;
    case Step::Skip: {
        const auto take = std::size_t(std::min<std::uint64_t>(s.left, data.size()));
        s.left -= take;
        data = data.subspan(take);
        if (s.left == 0)
            s.step = Step::FrameType;
        return true;
    }
    case Step::Payload:
        if (!s.gatherPayload(data))
            return true;
        decodeSection(s, id, nowMs);
        return false; // the request is all that is read of a request stream
    case Step::StreamType:
        break;
    }
    return false;
}

bool Http3Session::controlBytes(Stream &s, Bytes &data)
{
    switch (s.step) {
    case Step::FrameType:
        if (s.takeVarint(data, s.frameType))
            s.step = Step::FrameLength;
        return true;
    case Step::FrameLength:
        if (!s.takeVarint(data, s.left))
            return true;
        // RFC 9114 6.2.1: the control stream's first frame is SETTINGS.
        if (s.frameType != kSettings || s.left > kMaxSettingsBytes) {
            ++m_counters.packetsMalformed;
            return false;
        }
        s.step = Step::Payload;
        if (s.left == 0) {
            readSettings({});
            return false;
        }
        return true;
    case Step::Payload:
        if (!s.gatherPayload(data))
            return true;
        readSettings(s.payload);
        return false;
    case Step::StreamType:
    case Step::Skip:
        break;
    }
    return false;
}

void Http3Session::readSettings(Bytes payload)
{
    // Identifier and value pairs (RFC 9114 7.2.4); a setting not sent has its default, 0
    // for the QPACK table capacity (RFC 9204 5).
    ByteCursor c(payload);
    std::uint64_t capacity = 0;
    while (!c.atEnd()) {
        const auto id = readVarint(c);
        const auto value = id ? readVarint(c) : std::nullopt;
        if (!value) {
            ++m_counters.packetsMalformed;
            fail("the server's HTTP/3 SETTINGS are malformed");
            return;
        }
        if (*id == kQpackMaxTableCapacity)
            capacity = *value;
    }
    // The table can hold no more than the connection may keep.
    if (capacity > m_limits.connectionBytes) {
        ++m_counters.oversize;
        fail("the server's QPACK table is larger than a connection may keep");
        return;
    }
    m_settingsKnown = true;
    m_maxTableCapacity = capacity;
    m_qpack = std::make_unique<QpackDecoder>(std::size_t(capacity), kBlockedSections);
    if (!m_qpack->usable()) {
        fail(m_qpack->error());
        return;
    }
    if (!m_encoderPending.empty()) {
        std::vector<std::byte> pending;
        pending.swap(m_encoderPending);
        encoderBytes(pending);
    }
    retryWaiting();
}

void Http3Session::encoderBytes(Bytes data)
{
    if (!m_qpack) {
        // Before the SETTINGS no decoder can be made: the instructions wait, bounded.
        if (m_encoderPending.size() + data.size() > m_limits.headBytes) {
            ++m_counters.oversize;
            fail("the QPACK encoder stream waited too long for the server's SETTINGS");
            return;
        }
        m_encoderPending.insert(m_encoderPending.end(), data.begin(), data.end());
        return;
    }
    if (!m_qpack->readEncoder(data)) {
        ++m_counters.qpackErrors;
        fail(m_qpack->error());
        return;
    }
    retryWaiting();
}

void Http3Session::decodeSection(Stream &s, std::uint64_t id, std::int64_t nowMs)
{
    QpackDecoder *decoder = m_qpack.get();
    // Required Insert Count 0 is encoded as a zero byte (RFC 9204 4.5.1.1): such a
    // section refers to no dynamic entry, and any decoder reads it.
    const bool noDynamic = !s.payload.empty() && s.payload[0] == std::byte{0};
    if (!decoder && noDynamic) {
        if (!m_staticQpack)
            m_staticQpack = std::make_unique<QpackDecoder>(0, 0);
        decoder = m_staticQpack.get();
    }
    if (!decoder) {
        if (!s.waiting) {
            s.waiting = true;
            s.waitingSinceMs = nowMs;
            s.waitingAt = m_waiting.insert(m_waiting.end(), id);
        }
        return;
    }
    if (!s.qpack)
        s.qpack = std::make_unique<QpackDecoder::Section>(*decoder, std::int64_t(id));
    if (!s.fields)
        s.fields = std::make_unique<RequestFields>(m_limits.headBytes, m_limits.addressBytes);
    const QpackDecoder::Decode result = decoder->decode(*s.qpack, s.payload, *s.fields);
    if (result == QpackDecoder::Decode::Blocked) {
        if (!s.waiting) {
            s.waiting = true;
            s.waitingSinceMs = nowMs;
            s.waitingAt = m_waiting.insert(m_waiting.end(), id);
        }
        return;
    }
    streams::StreamRequest request;
    const RequestFields::Outcome outcome = s.fields->finish(request);
    if (result == QpackDecoder::Decode::Failed && outcome != RequestFields::Outcome::TooLong) {
        ++m_counters.qpackErrors;
        if (!decoder->usable())
            fail(decoder->error());
        dropWaiting(s);
        s.kind = Kind::Done;
        s.qpack.reset();
        s.fields.reset();
        s.payload = {};
        return;
    }
    finishSection(s, outcome, request);
}

void Http3Session::finishSection(Stream &s, RequestFields::Outcome outcome, streams::StreamRequest &request)
{
    if (s.waiting) {
        m_waiting.erase(s.waitingAt);
        s.waiting = false;
    }
    s.kind = Kind::Done;
    s.qpack.reset();
    s.fields.reset();
    s.payload = {};
    switch (outcome) {
    case RequestFields::Outcome::Request:
        ++m_counters.requests;
        if (onRequest)
            onRequest(std::move(request));
        break;
    case RequestFields::Outcome::TooLong:
        ++m_counters.oversize;
        break;
    case RequestFields::Outcome::LongAddress:
        ++m_counters.oversize;
        ++m_counters.longAddresses;
        break;
    case RequestFields::Outcome::Malformed:
        ++m_counters.packetsMalformed;
        break;
    case RequestFields::Outcome::NotRequest:
        break;
    }
}

void Http3Session::retryWaiting()
{
    // In the order they began to wait; each one decoded (or still waiting) in turn. A
    // decoded one leaves the list, so the walk takes the next from a copy of the ids.
    const std::vector<std::uint64_t> ids(m_waiting.begin(), m_waiting.end());
    for (const std::uint64_t id : ids) {
        auto it = m_requests.streams.find(id);
        if (it == m_requests.streams.end() || !it->second.waiting)
            continue;
        Stream &s = it->second;
        if (!m_qpack)
            break;
        if (s.qpack && !m_qpack->unblocked(*s.qpack))
            continue;
        tracked(s, [&] { decodeSection(s, id, s.waitingSinceMs); });
    }
    settle(m_requests);
}

void Http3Session::dropWaiting(Stream &s)
{
    if (!s.waiting)
        return;
    m_waiting.erase(s.waitingAt);
    s.waiting = false;
    s.qpack.reset();
    s.fields.reset();
    s.payload = {};
}

std::int64_t Http3Session::deadline() const
{
    if (m_waiting.empty())
        return INT64_MAX;
    const auto it = m_requests.streams.find(m_waiting.front());
    return it == m_requests.streams.end() ? INT64_MAX : it->second.waitingSinceMs + m_limits.keyWaitMs;
}

void Http3Session::expire(std::int64_t nowMs)
{
    while (!m_waiting.empty()) {
        auto it = m_requests.streams.find(m_waiting.front());
        if (it == m_requests.streams.end()) {
            m_waiting.pop_front();
            continue;
        }
        Stream &s = it->second;
        if (s.waitingSinceMs + m_limits.keyWaitMs > nowMs)
            break;
        ++(s.qpack ? m_counters.qpackErrors : m_counters.sectionsWithoutSettings);
        tracked(s, [&] {
            dropWaiting(s);
            s.kind = Kind::Done;
        });
    }
    settle(m_requests);
}

void Http3Session::end()
{
    expire(INT64_MAX);
}

std::size_t Http3Session::memory() const
{
    return sizeof(*this) + m_streamsMemory + m_encoderPending.capacity()
        + (m_qpack ? sizeof(QpackDecoder) + m_qpack->memory() : 0)
        + (m_staticQpack ? sizeof(QpackDecoder) + m_staticQpack->memory() : 0);
}

} // namespace quorrel::quic
