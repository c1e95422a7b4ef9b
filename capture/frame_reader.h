#pragma once
// Frames (capture/frame.h) out of the bytes of the helper's pipe, in whatever pieces the
// bytes arrive. The reader holds a buffer of fixed size, allocated once: a header is
// checked, its length against the maximum included, before its body is waited for, so
// no number from the pipe ever sizes an allocation. A frame it cannot trust ends the
// reading for good: nothing after it is read as a frame. Plain C++.

#include "capture/bytes.h"
#include "capture/frame.h"

#include <cstddef>
#include <span>
#include <string>
#include <vector>

namespace quorrel {

struct PipeFrame {
    frame::FrameType type;
    std::uint8_t index;
    Bytes body; // inside the reader's buffer: valid until the next room() or feed()
};

// How error() begins (UTF-8, for the log): the header's eight bytes in hex follow the first,
// what is wrong with the body the second.
inline const std::string kMalformedHeader = "截获助手程序发来的帧头有误：";
inline const std::string kMalformedFrame = "截获助手程序发来的帧有误：";

class FrameReader {
public:
    // Room for many frames between two turns of the event loop, and always for the largest.
    static constexpr std::size_t kDefaultCapacity = 4 << 20;

    explicit FrameReader(std::size_t capacity = kDefaultCapacity);

    // Where the next bytes from the pipe go, and how many fit; empty while the buffer is
    // full of frames not taken yet. commit(n) says n bytes were written there.
    std::span<std::byte> room();
    void commit(std::size_t n);
    // Copies bytes in (as room() and commit() do); returns how many fitted.
    std::size_t feed(Bytes bytes);

    enum class Next {
        Frame,  // frame holds the next whole frame
        More,   // no whole frame yet: feed more
        Broken, // a frame no helper writes: error() says how; reading is over
    };
    Next next(PipeFrame &frame);

    // Whether the pipe, ending now, ends cleanly: between two frames. Asked once next()
    // has said More (or Broken).
    enum class End { Clean, InsideFrame, Broken };
    End end() const;

    const std::string &error() const { return m_error; }
    std::size_t pending() const { return m_end - m_read; } // bytes held, not yet taken

private:
    bool fail(std::string reason);

    std::vector<std::byte> m_buffer;
    std::size_t m_read = 0; // where the next frame begins
    std::size_t m_end = 0;  // where the bytes held end
    std::string m_error;
};

} // namespace quorrel
