#pragma once
// The HTTP/3 side of one QUIC connection (RFC 9114, RFC 9204): the client's request
// streams, each read up to its first HEADERS frame, whose field section is the request;
// the client's QPACK encoder stream, which builds the dynamic table those sections refer
// to; and the server's control stream, read up to its SETTINGS for the table capacity the
// QPACK decoder must be made with. Everything else (bodies, the other streams) is let go.
//
// Stream data comes in as the STREAM frames carried it, in any order; each stream is put
// back in order here. A field section that refers to the dynamic table waits for the
// server's SETTINGS (0-RTT requests come before them), or for the encoder stream's
// instructions it needs (RFC 9204 2.1.2), at most keyWaitMs; one that refers to no
// dynamic entry is read at once.

#include "quic/qpack_decoder.h"
#include "quic/quic_limits.h"
#include "quic/request_fields.h"
#include "streams/stream_types.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <vector>

namespace quorrel::quic {

class Http3Session {
public:
    Http3Session(const QuicLimits &limits, QuicCounters &counters);
    ~Http3Session();
    Http3Session(const Http3Session &) = delete;
    Http3Session &operator=(const Http3Session &) = delete;

    // Each request read (its client left for the caller to set).
    std::function<void(streams::StreamRequest &&)> onRequest;

    // A STREAM frame of the client's, or of the server's.
    void clientStream(std::uint64_t id, std::uint64_t offset, Bytes data, std::int64_t nowMs);
    void serverStream(std::uint64_t id, std::uint64_t offset, Bytes data, std::int64_t nowMs);
    // RESET_STREAM from the client: nothing more comes on that stream.
    void clientReset(std::uint64_t id);

    bool settingsKnown() const { return m_settingsKnown; }
    // The server's SETTINGS_QPACK_MAX_TABLE_CAPACITY, once its SETTINGS were read.
    std::uint64_t maxTableCapacity() const { return m_maxTableCapacity; }

    // When the first section waiting now gives up; INT64_MAX when none waits.
    std::int64_t deadline() const;
    // Sections that waited too long are dropped, counted.
    void expire(std::int64_t nowMs);
    // The connection ended: the sections still waiting are dropped, counted.
    void end();

    // No field section can be read any more (the QPACK decoder failed): the connection's
    // requests are lost from here. reason() says why.
    bool failed() const { return m_failReason != nullptr; }
    const char *reason() const { return m_failReason; }

    std::size_t memory() const;

private:
    struct Stream;
    using Streams = std::map<std::uint64_t, Stream>;
    struct Side {
        Streams streams;
        std::uint64_t doneBelow; // streams of this kind below it are done (or never used)
    };

    Stream *streamFor(Side &side, std::uint64_t id);
    void settle(Side &side);
    bool bytes(Stream &stream, std::uint64_t id, Bytes data, bool client, std::int64_t nowMs);
    bool requestBytes(Stream &stream, std::uint64_t id, Bytes &data, std::int64_t nowMs);
    bool controlBytes(Stream &stream, Bytes &data);
    void decodeSection(Stream &stream, std::uint64_t id, std::int64_t nowMs);
    void finishSection(Stream &stream, RequestFields::Outcome outcome, streams::StreamRequest &request);
    void encoderBytes(Bytes data);
    void readSettings(Bytes payload);
    void retryWaiting();
    void fail(const char *reason);
    void dropWaiting(Stream &stream);
    static std::size_t memoryOf(const Stream &stream);
    // Runs work on stream, keeping m_streamsMemory up to date with what it holds after.
    template <typename Work>
    void tracked(Stream &stream, Work &&work);

    const QuicLimits &m_limits;
    QuicCounters &m_counters;
    Side m_requests; // client-initiated bidirectional streams: 0, 4, 8...
    Side m_uni;      // client-initiated unidirectional streams: 2, 6, 10...
    Side m_server;   // server-initiated unidirectional streams: 3, 7, 11...
    bool m_settingsKnown = false;
    std::uint64_t m_maxTableCapacity = 0;
    std::unique_ptr<QpackDecoder> m_qpack;       // made with the server's capacity
    std::unique_ptr<QpackDecoder> m_staticQpack; // for sections that refer to no dynamic entry
    std::vector<std::byte> m_encoderPending;     // encoder stream bytes before the SETTINGS
    std::list<std::uint64_t> m_waiting;          // request streams whose section waits, in order
    const char *m_failReason = nullptr;
    std::size_t m_streamsMemory = 0; // what the streams of the three sides hold, kept up to date
};

} // namespace quorrel::quic
