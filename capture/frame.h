#pragma once
// The pipe between the capture helper (quorrel-capture) and the program: the one format
// both sides speak. The helper writes frames to its standard output; the program reads
// them. Frames are little-endian on one machine; nothing else ever reads them.
//
//   byte 0     type (FrameType)
//   byte 1     capture index: the position of the capture's address in the helper's
//              argument list, 0 .. kMaxCaptures - 1
//   bytes 2-3  zero
//   bytes 4-7  body length, at most kMaxFrameBody
//   body
//
// Opened:   the capture at index is open; body: its link type (4 bytes, libpcap DLT).
// Frame:    one captured frame of that capture, whole; the body is the frame followed by
//           one zero byte, so the payload of every datagram ends in a zero byte without
//           the reader clearing a buffer.
// Error:    the capture at index failed; body: the reason, UTF-8.
// The helper's end of the pipe closing means the helper is gone.

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quorrel::frame {

enum class FrameType : std::uint8_t {
    Opened = 'O',
    Frame = 'F',
    Error = 'E',
};

inline constexpr std::size_t kHeaderSize = 8;
inline constexpr std::size_t kMaxCaptures = 20;
inline constexpr std::size_t kMaxFrameBytes = 65535 + 64; // an IPv4 datagram and its link header
inline constexpr std::size_t kMaxFrameBody = kMaxFrameBytes + 1;
// The helper's answer to --protocol: a reader speaks to a helper of its own protocol only.
inline constexpr char kProtocol[] = "quorrel-capture frames 1";

struct Header {
    FrameType type;
    std::uint8_t index;
    std::uint32_t length;
};

inline void writeHeader(unsigned char *out, FrameType type, std::uint8_t index, std::uint32_t length)
{
    out[0] = static_cast<unsigned char>(type);
    out[1] = index;
    out[2] = out[3] = 0;
    for (int i = 0; i < 4; ++i)
        out[4 + i] = static_cast<unsigned char>(length >> (8 * i));
}

// False for a header no helper writes (unknown type, index or length out of range): the
// reader then treats the pipe as broken rather than trusting any later byte.
inline bool readHeader(const unsigned char *in, Header &header)
{
    const auto type = static_cast<FrameType>(in[0]);
    if (type != FrameType::Opened && type != FrameType::Frame && type != FrameType::Error)
        return false;
    if (in[1] >= kMaxCaptures || in[2] != 0 || in[3] != 0)
        return false;
    std::uint32_t length = 0;
    for (int i = 0; i < 4; ++i)
        length |= std::uint32_t(in[4 + i]) << (8 * i);
    if (length > kMaxFrameBody)
        return false;
    header = {type, in[1], length};
    return true;
}

} // namespace quorrel::frame
