// The reader of the capture helper's pipe (capture/frame_reader.h), fed the input in pieces
// as the pipe delivers them: byte 0 sets the size of the pieces (1 to 256 bytes, or all at
// once), the rest is what the pipe carries. Every frame it hands out must be one the
// program may act on as capture/cap_ip.cpp does: a body of the size its type has, a
// frame's body ending in its zero byte; a Frame or a Cut is taken apart down to its
// datagram, with the link type of the last Opened frame.

#include "capture/datagram.h"
#include "capture/frame.h"
#include "capture/frame_reader.h"
#include "capture/link_layer.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

using namespace quorrel;

namespace {

void take(const PipeFrame &f, int &linkType)
{
    const auto *body = reinterpret_cast<const unsigned char *>(f.body.data());
    const auto endsInZero = [&] { return !f.body.empty() && f.body.back() == std::byte{0}; };
    switch (f.type) {
    case frame::FrameType::Opened:
        if (f.body.size() != frame::kOpenedBody)
            std::abort();
        linkType = int(frame::get32(body));
        return;
    case frame::FrameType::Stats:
        if (f.body.size() != frame::kStatsBody)
            std::abort();
        (void)(frame::get64(body) + frame::get64(body + 8));
        return;
    case frame::FrameType::Error:
        (void)QString::fromUtf8(reinterpret_cast<const char *>(body), qsizetype(f.body.size()));
        return;
    case frame::FrameType::Frame:
    case frame::FrameType::Cut: {
        const bool cut = f.type == frame::FrameType::Cut;
        if (!endsInZero() || (cut && f.body.size() <= frame::kCutPrefix) || f.index >= frame::kMaxCaptures)
            std::abort();
        const Bytes bytes = cut ? f.body.subspan(frame::kCutPrefix) : f.body;
        const std::optional<IpInLink> ip = IpInFrame(linkType, bytes.first(bytes.size() - 1));
        if (ip)
            (void)DecodeDatagram(IpAddress{ip->family, {}}, ip->datagram);
        if (cut)
            (void)frame::get32(body);
        return;
    }
    }
    std::abort(); // a type the reader should have refused
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    const std::size_t piece = data[0] == 0 ? size : std::size_t(data[0]);
    const Bytes pipe(reinterpret_cast<const std::byte *>(data + 1), size - 1);
    // The smallest buffer the reader allows: it fills up, and waits for frames to be taken.
    FrameReader reader(0);
    int linkType = 1;
    std::size_t at = 0;
    FrameReader::Next next = FrameReader::Next::More;
    while (next != FrameReader::Next::Broken) {
        std::size_t n = 0;
        if (at < pipe.size()) {
            const std::span<std::byte> room = reader.room();
            n = std::min({room.size(), piece, pipe.size() - at});
            std::copy_n(pipe.data() + at, n, room.data());
            reader.commit(n);
            at += n;
        }
        PipeFrame f;
        while ((next = reader.next(f)) == FrameReader::Next::Frame)
            take(f, linkType);
        if (next == FrameReader::Next::Broken && reader.error().empty())
            std::abort();
        // Bytes left, no room for them and no frame to take: the reader would stall the pipe.
        if (next == FrameReader::Next::More && n == 0 && at < pipe.size())
            std::abort();
        if (at == pipe.size())
            break;
    }
    (void)reader.end();
    return 0;
}
