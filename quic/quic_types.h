#pragma once
// What the QUIC reader takes in: one UDP datagram as the capture saw it. Its ends are the
// stream reader's endpoints, so that a request read from QUIC names its client as one read
// from TCP does.

#include "capture/bytes.h"
#include "streams/stream_types.h"

#include <cstdint>

namespace quorrel::quic {

using streams::Endpoint;

struct UdpDatagram {
    Endpoint source;
    Endpoint destination;
    Bytes payload;        // the UDP payload, not copied: valid for the call only
    std::int64_t timeMs = 0; // capture time, milliseconds, monotonic within one source
};

} // namespace quorrel::quic
