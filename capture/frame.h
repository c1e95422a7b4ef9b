#pragma once
// The pipe between the capture helper (quorrel-capture) and the program: the one format
// both sides speak. The helper writes frames to its standard output; the program reads
// them (capture/frame_reader.h). Frames are little-endian on one machine; nothing else
// ever reads them.
//
//   byte 0     type (FrameType)
//   byte 1     capture index: the position of the capture's address in the helper's
//              argument list, 0 .. kMaxCaptures - 1
//   bytes 2-3  zero
//   bytes 4-7  body length, at most kMaxFrameBody
//   body
//
// Opened:  the capture at index is open; body: its link type (4 bytes, libpcap DLT).
// Frame:   one captured frame of that capture, whole; the body is the frame followed by
//          one zero byte, so the payload of every datagram ends in a zero byte without
//          the reader clearing a buffer.
// Cut:     one captured frame of that capture of which only the headers pass (link, IP,
//          TCP with its options: capture/flow_table.h says when); body: the frame's
//          length on the wire (4 bytes), then its first bytes up to the end of its TCP
//          header, then one zero byte. The IP length fields still give the length on the
//          wire, beyond the bytes that came.
// Stats:   the kernel's counts for that capture since the previous Stats frame of the same
//          capture; body: datagrams the kernel dropped for want of room (8 bytes), frames
//          passed whole because the helper's flow table was full (8 bytes). Sent when
//          either is not zero, at most every kStatsIntervalMs.
// Error:   the capture at index failed, or the helper refused to start (then sent for
//          the argument it refused); body: the reason, UTF-8.
// The helper's end of the pipe closing means the helper is gone.
//
// The program writes to the helper's standard input, which it holds open while the
// capture runs: a TCP direction its readers read (kDirectionRecord bytes each), so that a
// helper started again passes that connection's bytes as the one before did, where it
// would judge a connection met in its middle by bytes that no longer begin anything:
//   byte 0       what passes: 'W' every byte, 'H' a server's first kServerHelloBytes
//   byte 1       4 or 6, the family
//   bytes 2-17   source address (IPv4 in the first 4 bytes)
//   bytes 18-33  destination address
//   bytes 34-35  source port, big-endian
//   bytes 36-37  destination port, big-endian
// A record the helper cannot read is dropped; its input closing ends it.

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quorrel::frame {

enum class FrameType : std::uint8_t {
    Opened = 'O',
    Frame = 'F',
    Cut = 'C',
    Stats = 'S',
    Error = 'E',
};

inline constexpr std::size_t kHeaderSize = 8;
// At most 20 IPv4 and 20 IPv6 addresses.
inline constexpr std::size_t kMaxCaptures = 40;
// An IP datagram (an IPv6 payload of 65535 bytes and its fixed header) and its link header.
inline constexpr std::size_t kMaxFrameBytes = 65535 + 40 + 64;
inline constexpr std::size_t kMaxFrameBody = kMaxFrameBytes + 1;
inline constexpr std::size_t kCutPrefix = 4;   // a Cut body's length on the wire
inline constexpr std::size_t kStatsBody = 16;
inline constexpr std::size_t kOpenedBody = 4;
inline constexpr int kStatsIntervalMs = 500;
// The helper's answer to --protocol: a reader speaks to a helper of its own protocol only.
inline constexpr char kProtocol[] = "quorrel-capture frames 3";

inline constexpr std::size_t kDirectionRecord = 38;
inline constexpr unsigned char kPassWhole = 'W';
inline constexpr unsigned char kPassServerHello = 'H';

struct Header {
    FrameType type;
    std::uint8_t index;
    std::uint32_t length;
};

inline void put32(unsigned char *out, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<unsigned char>(value >> (8 * i));
}

inline void put64(unsigned char *out, std::uint64_t value)
{
    for (int i = 0; i < 8; ++i)
        out[i] = static_cast<unsigned char>(value >> (8 * i));
}

inline std::uint32_t get32(const unsigned char *in)
{
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
        value |= std::uint32_t(in[i]) << (8 * i);
    return value;
}

inline std::uint64_t get64(const unsigned char *in)
{
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i)
        value |= std::uint64_t(in[i]) << (8 * i);
    return value;
}

inline void writeHeader(unsigned char *out, FrameType type, std::uint8_t index, std::uint32_t length)
{
    out[0] = static_cast<unsigned char>(type);
    out[1] = index;
    out[2] = out[3] = 0;
    put32(out + 4, length);
}

// False for a header no helper writes (unknown type, index or length out of range): the
// reader then treats the pipe as broken rather than trusting any later byte.
inline bool readHeader(const unsigned char *in, Header &header)
{
    const auto type = static_cast<FrameType>(in[0]);
    if (type != FrameType::Opened && type != FrameType::Frame && type != FrameType::Cut
        && type != FrameType::Stats && type != FrameType::Error)
        return false;
    if (in[1] >= kMaxCaptures || in[2] != 0 || in[3] != 0)
        return false;
    const std::uint32_t length = get32(in + 4);
    if (length > kMaxFrameBody)
        return false;
    header = {type, in[1], length};
    return true;
}

} // namespace quorrel::frame
