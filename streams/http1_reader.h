#pragma once
// The requests of one HTTP/1.x client stream (RFC 9112): keep-alive and pipelined
// requests one after the other, a head split anywhere, bodies stepped over by their
// Content-Length or their chunks, never stored. A stream that turns into HTTP/2 (the
// preface after an "Upgrade: h2c", or prior knowledge) is handed over at the preface.

#include "streams/read_end.h"
#include "streams/stream_types.h"

#include <QByteArray>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace quorrel::streams {

class Http1Reader {
public:
    using Origin = RequestOrigin;

    // addressLimit: a request whose authority and path pass it is not handed on.
    Http1Reader(Origin origin, std::size_t headLimit, std::size_t addressLimit = std::size_t(-1));

    std::function<void(StreamRequest &&)> onRequest;
    // Counts each request dropped for its address, when set.
    std::uint64_t *longAddresses = nullptr;

    // Reads the stream's next bytes and returns how many it took: all of them, unless
    // the reading ended (end()) or the stream turned to HTTP/2 (switchedToHttp2(): the
    // bytes not taken start right after "PRI * HTTP/2.0\r\n\r\n").
    std::size_t feed(Bytes bytes);

    bool switchedToHttp2() const { return m_state == State::Http2; }
    // The head being gathered: a request that has not ended yet, as it came.
    Bytes pendingHead() const { return m_state == State::Head ? viewOf(m_head) : Bytes(); }
    const Origin &origin() const { return m_origin; }
    const ReadEnd &end() const { return m_end; }
    std::size_t memory() const { return static_cast<std::size_t>(m_head.capacity() + m_line.capacity()); }

private:
    enum class State { Head, Body, ChunkSize, ChunkData, ChunkDataEnd, Trailers, Http2, Ended };

    std::size_t readHead(const char *p, std::size_t n);
    bool checkRequestLine(const char *p, std::size_t n, std::size_t from);
    void notHttp(const char *reason);
    bool parseHead(const char *p, std::size_t n);
    std::size_t readLine(const char *p, std::size_t n, std::size_t limit, bool &complete);
    bool parseChunkSize();
    void stop(ReadEnd::Kind kind, const char *reason);

    Origin m_origin;
    std::size_t m_headLimit;
    std::size_t m_addressLimit;
    State m_state = State::Head;
    QByteArray m_head; // a head split over several pieces, gathered
    QByteArray m_line; // a chunk-size or trailer line split over pieces
    std::uint64_t m_remaining = 0; // body or chunk bytes still to step over
    std::size_t m_trailerBytes = 0;
    bool m_chunkCr = false;
    bool m_upgradeAsked = false; // the last request asked to switch protocols
    bool m_lineChecked = false;  // the request line of the head being gathered is sound
    bool m_sawRequest = false;
    ReadEnd m_end;
};

} // namespace quorrel::streams
