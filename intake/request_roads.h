#pragma once
// The two roads a captured request can take, and the one rule that picks between them, so
// that each request is found once.
//
// The stream reader is the road for the TCP connections it follows: it has a request's
// head whole (split over segments, several in one segment, inside TLS, HTTP/2), and its
// headers with it. The datagram rule (one datagram by itself, detection/) is the road for
// everything the reader does not read: other datagrams, UDP too (whose QUIC datagrams go
// to the QUIC reader as well, quic/quic_reader.h, and its HTTP/3 requests as the stream
// reader's do); TCP segments the reader
// takes no reader for (a connection it does not follow: unknown, ended, remembered, the
// table full; a side that started no request; bytes that ended the reading; a copy of
// bytes read already, SegmentFate::NotRead); and, when a flow's reading ends, the bytes it
// took in and never read (held behind a hole that never filled: they never reached a
// reader, streams::UnreadBytes), so that no request a single datagram shows is lost.
//
// A request counts only when this machine sent it: the datagram rule takes a datagram sent
// from the address whose capture read it; the reader's requests and unread bytes, those of
// a client at a local address (the captures' own, as they come), unless every address
// counts (a capture file read without --local).

#include "base/fetch_hints.h"
#include "base/request_headers.h"
#include "capture/datagram.h"
#include "streams/key_log.h"
#include "streams/stream_limits.h"
#include "quic/quic_reader.h"
#include "streams/stream_reader.h"

#include <QByteArray>
#include <cstdint>
#include <functional>
#include <vector>

namespace quorrel {

// One GET request found, as its road read it.
struct FoundRequest {
    enum class Road : std::uint8_t {
        Stream,   // the stream reader read it from its connection
        Datagram, // the datagram rule read it from one datagram
        Unread,   // the datagram rule read it from bytes a flow never read
    };
    Road road = Road::Datagram;
    // The absolute address in the bytes it was captured with (GBK): a plain HTTP request is
    // cut by the datagram rule's own reading, whichever road found it, so the two roads give
    // the same text for the same request; "https://" + authority + path otherwise.
    QByteArray address;
    QByteArray httpVersion; // "HTTP/1.1", "HTTP/2"; empty when the request named none
    RequestHeaders headers; // its Referer, Cookie and User-Agent, checked (RequestHeaders::captured)
    FetchHints hints;       // its Sec-Fetch-Dest, Range and Accept: what it fetches (FetchHints::captured)
};

class RequestRoads {
public:
    explicit RequestRoads(streams::KeyLog &keys, streams::StreamLimits limits = {});
    RequestRoads(const RequestRoads &) = delete;
    RequestRoads &operator=(const RequestRoads &) = delete;

    // Each request found, once, as it is found: from inside datagram(), tick() and finish().
    std::function<void(const FoundRequest &)> onFound;

    // A tool that reads every request, whoever sent it, says so here.
    void setEveryAddressLocal(bool every) { m_everyAddressLocal = every; }

    // One datagram, as the capture of datagram.ip read it, at nowMs (a monotonic clock in
    // milliseconds; a capture file's own time stamps).
    void datagram(const Datagram &datagram, std::int64_t nowMs);
    // About once a second: holes that waited too long, idle flows, TLS records that wait for
    // the key log (which the caller has polled).
    void tick(std::int64_t nowMs);
    // The capture has ended: every flow ends as it stands.
    void finish();

    // A request read from a stream, as this road files it; nothing when it is no GET, or
    // its client is not at a local address.
    std::optional<FoundRequest> fromStream(const streams::StreamRequest &request) const;

    const streams::StreamReader &reader() const { return m_reader; }
    // The QUIC connections read, and those that could not be.
    quic::QuicCounters quicCounters() const { return m_quic.counters(); }
    // HTTP/3 that could not be read was seen: a QUIC connection the key log never named,
    // or of a version not read.
    bool sawHttp3() const { return m_sawHttp3; }

private:
    void tcp(const Datagram &datagram, std::int64_t nowMs);
    void udp(const Datagram &datagram, std::int64_t nowMs);
    void byDatagramRule(const IpAddress &capturedAt, const IpAddress &sender, Bytes payload, FoundRequest::Road road);
    void unread(const streams::UnreadBytes &bytes);
    void learnLocal(const IpAddress &address);
    bool isLocal(const IpAddress &address) const;
    void found(FoundRequest &&request);

    streams::StreamReader m_reader;
    quic::QuicReader m_quic;
    bool m_sawHttp3 = false;
    // The captures' own addresses, as they come: at most 20 of each family are captured.
    static constexpr std::size_t kMaxLocals = 64;
    std::vector<IpAddress> m_locals;
    bool m_everyAddressLocal = false;
};

} // namespace quorrel
