#pragma once
// The frames of a decrypted QUIC packet (RFC 9000 12.4, 19; RFC 9221 for DATAGRAM; the
// ACK_FREQUENCY and IMMEDIATE_ACK frames of the ack frequency extension), read in order.
// What a passive reader uses is handed to a sink: CRYPTO and STREAM data, connection IDs
// issued and retired, the end of a stream or of the connection. Every other frame is
// stepped over by its own layout. A frame type that is not known cannot be stepped over
// (frames carry no length): the rest of the packet is given up.

#include "quic/packet_header.h"
#include "quic/quic_types.h"

#include <cstdint>

namespace quorrel::quic {

class FrameSink {
public:
    virtual void crypto(std::uint64_t offset, Bytes data) = 0;
    virtual void stream(std::uint64_t id, std::uint64_t offset, Bytes data, bool fin) = 0;
    virtual void resetStream(std::uint64_t id) = 0;
    virtual void newConnectionId(std::uint64_t sequence, std::uint64_t retirePriorTo, const ConnectionId &id) = 0;
    virtual void retireConnectionId(std::uint64_t sequence) = 0;
    virtual void connectionClose() = 0;

protected:
    ~FrameSink() = default;
};

enum class FrameResult {
    Ok,
    Malformed,    // a frame runs past the packet, or breaks its own rules
    UnknownFrame, // a type not known: the rest of the packet cannot be read
    NotAllowed,   // a frame the packet's type may not carry (RFC 9000 12.4, Table 3)
};

// Which packets: Initial and Handshake carry CRYPTO, ACK, PING, PADDING and
// CONNECTION_CLOSE only; 0-RTT no ACK, CRYPTO, NEW_TOKEN, HANDSHAKE_DONE or
// RETIRE_CONNECTION_ID... (RFC 9000 12.4).
enum class FrameSpace { Initial, ZeroRtt, OneRtt };

// Reads every frame of payload in order into sink. A frame that breaks the rules ends the
// reading; the frames before it have been handed on.
FrameResult readFrames(Bytes payload, FrameSpace space, FrameSink &sink);

} // namespace quorrel::quic
