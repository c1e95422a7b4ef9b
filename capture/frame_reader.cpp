#include "capture/frame_reader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace quorrel {
namespace {

const unsigned char *raw(const std::byte *p) { return reinterpret_cast<const unsigned char *>(p); }

// What each type's body must be; false for a body no helper writes.
bool bodyFits(frame::FrameType type, Bytes body, std::string &why)
{
    using frame::FrameType;
    const auto lastIsZero = [&] { return !body.empty() && body.back() == std::byte{0}; };
    switch (type) {
    case FrameType::Opened:
        if (body.size() == frame::kOpenedBody)
            return true;
        why = "Opened 帧的长度为 " + std::to_string(body.size()) + " 字节";
        return false;
    case FrameType::Stats:
        if (body.size() == frame::kStatsBody)
            return true;
        why = "Stats 帧的长度为 " + std::to_string(body.size()) + " 字节";
        return false;
    case FrameType::Frame:
        if (lastIsZero())
            return true;
        why = "数据帧末尾缺少零字节";
        return false;
    case FrameType::Cut:
        if (body.size() > frame::kCutPrefix && lastIsZero())
            return true;
        why = "截短的数据帧缺少原长度或末尾的零字节";
        return false;
    case FrameType::Error:
        return true;
    }
    why = "未知的帧类型";
    return false;
}

} // namespace

FrameReader::FrameReader(std::size_t capacity)
    : m_buffer(std::max(capacity, frame::kHeaderSize + frame::kMaxFrameBody))
{
}

bool FrameReader::fail(std::string reason)
{
    m_error = std::move(reason);
    return false;
}

std::span<std::byte> FrameReader::room()
{
    if (!m_error.empty())
        return {};
    // Move what is held to the front once the free end could not take a largest frame:
    // a memmove of what is left, never more than one turn's worth of frames.
    if (m_read > 0 && m_buffer.size() - m_end < frame::kHeaderSize + frame::kMaxFrameBody) {
        std::memmove(m_buffer.data(), m_buffer.data() + m_read, m_end - m_read);
        m_end -= m_read;
        m_read = 0;
    }
    return std::span<std::byte>(m_buffer).subspan(m_end);
}

void FrameReader::commit(std::size_t n)
{
    m_end += std::min(n, m_buffer.size() - m_end);
}

std::size_t FrameReader::feed(Bytes bytes)
{
    std::size_t taken = 0;
    while (taken < bytes.size()) {
        const std::span<std::byte> space = room();
        if (space.empty())
            break;
        const std::size_t n = std::min(space.size(), bytes.size() - taken);
        std::memcpy(space.data(), bytes.data() + taken, n);
        commit(n);
        taken += n;
    }
    return taken;
}

FrameReader::Next FrameReader::next(PipeFrame &out)
{
    if (!m_error.empty())
        return Next::Broken;
    const std::size_t held = m_end - m_read;
    if (held < frame::kHeaderSize)
        return Next::More;
    const unsigned char *at = raw(m_buffer.data() + m_read);
    frame::Header h{};
    if (!frame::readHeader(at, h)) {
        char bytes[3 * frame::kHeaderSize + 1];
        for (std::size_t i = 0; i < frame::kHeaderSize; ++i)
            std::snprintf(bytes + 3 * i, 4, "%02x ", at[i]);
        bytes[3 * frame::kHeaderSize - 1] = '\0';
        fail(kMalformedHeader + std::string(bytes));
        return Next::Broken;
    }
    if (held - frame::kHeaderSize < h.length)
        return Next::More;
    const Bytes body(m_buffer.data() + m_read + frame::kHeaderSize, h.length);
    std::string why;
    if (!bodyFits(h.type, body, why)) {
        fail(kMalformedFrame + why);
        return Next::Broken;
    }
    m_read += frame::kHeaderSize + h.length;
    if (m_read == m_end)
        m_read = m_end = 0; // empty: the next bytes go to the front, nothing to move
    out = {h.type, h.index, body};
    return Next::Frame;
}

FrameReader::End FrameReader::end() const
{
    if (!m_error.empty())
        return End::Broken;
    return m_read == m_end ? End::Clean : End::InsideFrame;
}

} // namespace quorrel
