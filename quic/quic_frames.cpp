#include "quic/quic_frames.h"

#include "capture/byte_cursor.h"
#include "quic/varint.h"

namespace quorrel::quic {

namespace {

// Frame types (RFC 9000 19, 12.4).
enum : std::uint64_t {
    kPadding = 0x00,
    kPing = 0x01,
    kAck = 0x02,
    kAckEcn = 0x03,
    kResetStream = 0x04,
    kStopSending = 0x05,
    kCrypto = 0x06,
    kNewToken = 0x07,
    kStreamFirst = 0x08,
    kStreamLast = 0x0f,
    kMaxData = 0x10,
    kMaxStreamData = 0x11,
    kMaxStreamsBidi = 0x12,
    kMaxStreamsUni = 0x13,
    kDataBlocked = 0x14,
    kStreamDataBlocked = 0x15,
    kStreamsBlockedBidi = 0x16,
    kStreamsBlockedUni = 0x17,
    kNewConnectionId = 0x18,
    kRetireConnectionId = 0x19,
    kPathChallenge = 0x1a,
    kPathResponse = 0x1b,
    kConnectionClose = 0x1c,
    kConnectionCloseApp = 0x1d,
    kHandshakeDone = 0x1e,
    kDatagram = 0x30,        // RFC 9221: to the end of the packet
    kDatagramLength = 0x31,  // RFC 9221: with a length
    kAckFrequency = 0xaf,    // the ack frequency extension
    kImmediateAck = 0x1f,
};

// Steps over count varints; false when one is missing.
bool skipVarints(ByteCursor &c, int count)
{
    for (int i = 0; i < count; ++i) {
        if (!readVarint(c))
            return false;
    }
    return true;
}

bool skipAck(ByteCursor &c, bool ecn)
{
    // Largest Acknowledged, ACK Delay, ACK Range Count, First ACK Range, then the ranges
    // (a Gap and a Length each) and, for 0x03, three ECN counts (RFC 9000 19.3). Each range
    // takes at least two bytes, so a huge count runs out of bytes at once.
    if (!skipVarints(c, 2))
        return false;
    const auto ranges = readVarint(c);
    if (!ranges || *ranges > c.remaining() / 2 || !readVarint(c))
        return false;
    for (std::uint64_t i = 0; i < *ranges; ++i) {
        if (!skipVarints(c, 2))
            return false;
    }
    return !ecn || skipVarints(c, 3);
}

// Length-prefixed bytes of at most what is left.
std::optional<Bytes> lengthAndBytes(ByteCursor &c)
{
    const auto length = readVarint(c);
    if (!length || *length > c.remaining())
        return std::nullopt;
    return c.take(std::size_t(*length));
}

bool allowed(std::uint64_t type, FrameSpace space)
{
    if (space == FrameSpace::Initial) {
        return type == kPadding || type == kPing || type == kAck || type == kAckEcn || type == kCrypto
            || type == kConnectionClose;
    }
    if (space == FrameSpace::ZeroRtt) {
        return type != kAck && type != kAckEcn && type != kCrypto && type != kNewToken && type != kHandshakeDone
            && type != kPathResponse && type != kRetireConnectionId;
    }
    return true;
}

} // namespace

FrameResult readFrames(Bytes payload, FrameSpace space, FrameSink &sink)
{
    ByteCursor c(payload);
    while (!c.atEnd()) {
        const auto type = readVarint(c);
        if (!type)
            return FrameResult::Malformed;
        const bool isStream = *type >= kStreamFirst && *type <= kStreamLast;
        if (!allowed(isStream ? kStreamFirst : *type, space))
            return FrameResult::NotAllowed;
        if (isStream) {
            // RFC 9000 19.8: OFF (0x04), LEN (0x02), FIN (0x01) in the type's low bits.
            const auto id = readVarint(c);
            const auto offset = *type & 0x04 ? readVarint(c) : std::optional<std::uint64_t>(0);
            std::optional<Bytes> data;
            if (*type & 0x02)
                data = lengthAndBytes(c);
            else
                data = c.take(c.remaining());
            // The largest offset a stream may reach is 2^62 - 1 (RFC 9000 19.8).
            if (!id || !offset || !data || *offset > kMaxVarint - data->size())
                return FrameResult::Malformed;
            sink.stream(*id, *offset, *data, *type & 0x01);
            continue;
        }
        switch (*type) {
        case kPadding:
        case kPing:
        case kHandshakeDone:
        case kImmediateAck:
            break;
        case kAck:
        case kAckEcn:
            if (!skipAck(c, *type == kAckEcn))
                return FrameResult::Malformed;
            break;
        case kResetStream: {
            const auto id = readVarint(c);
            if (!id || !skipVarints(c, 2))
                return FrameResult::Malformed;
            sink.resetStream(*id);
            break;
        }
        case kStopSending:
        case kMaxStreamData:
        case kStreamDataBlocked:
            if (!skipVarints(c, 2))
                return FrameResult::Malformed;
            break;
        case kCrypto: {
            const auto offset = readVarint(c);
            const auto data = offset ? lengthAndBytes(c) : std::nullopt;
            if (!data || *offset > kMaxVarint - data->size())
                return FrameResult::Malformed;
            sink.crypto(*offset, *data);
            break;
        }
        case kNewToken:
            if (!lengthAndBytes(c))
                return FrameResult::Malformed;
            break;
        case kMaxData:
        case kMaxStreamsBidi:
        case kMaxStreamsUni:
        case kDataBlocked:
        case kStreamsBlockedBidi:
        case kStreamsBlockedUni:
        case kRetireConnectionId: {
            const auto value = readVarint(c);
            if (!value)
                return FrameResult::Malformed;
            if (*type == kRetireConnectionId)
                sink.retireConnectionId(*value);
            break;
        }
        case kNewConnectionId: {
            // Sequence Number, Retire Prior To, Length (8 bits, 1 to 20), the ID, and a
            // 16-byte Stateless Reset Token (RFC 9000 19.15).
            const auto sequence = readVarint(c);
            const auto retirePriorTo = readVarint(c);
            const auto length = c.u8();
            if (!sequence || !retirePriorTo || !length || *length < 1 || *length > ConnectionId::kMaxLength
                || *retirePriorTo > *sequence)
                return FrameResult::Malformed;
            const auto id = c.take(*length);
            if (!id || !c.skip(16))
                return FrameResult::Malformed;
            sink.newConnectionId(*sequence, *retirePriorTo, *ConnectionId::of(*id));
            break;
        }
        case kPathChallenge:
        case kPathResponse:
            if (!c.skip(8))
                return FrameResult::Malformed;
            break;
        case kConnectionClose:
        case kConnectionCloseApp:
            // Error Code, (transport only) Frame Type, Reason Phrase (RFC 9000 19.19).
            if (!skipVarints(c, *type == kConnectionClose ? 2 : 1) || !lengthAndBytes(c))
                return FrameResult::Malformed;
            sink.connectionClose();
            break;
        case kDatagram:
            c.skip(c.remaining());
            break;
        case kDatagramLength:
            if (!lengthAndBytes(c))
                return FrameResult::Malformed;
            break;
        case kAckFrequency:
            // Sequence Number, Ack-Eliciting Threshold, Request Max Ack Delay, Reordering Threshold.
            if (!skipVarints(c, 4))
                return FrameResult::Malformed;
            break;
        default:
            return FrameResult::UnknownFrame;
        }
    }
    return FrameResult::Ok;
}

} // namespace quorrel::quic
