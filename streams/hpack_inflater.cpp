#include "streams/hpack_inflater.h"

#include "streams/counted_memory.h"

#include <nghttp2/nghttp2.h>

namespace quorrel::streams {

HpackInflater::HpackInflater(std::size_t maxTableBytes)
{
    m_allocator = {&m_memory, counted::allocate, counted::release, counted::allocateZeroed, counted::reallocate};
    if (nghttp2_hd_inflate_new2(&m_inflater, &m_allocator) != 0) {
        m_inflater = nullptr;
        m_error = "no memory for an HPACK inflater";
        return;
    }
    // The table starts at 4096 bytes (RFC 9113, 6.5.2); this only raises what the
    // encoder may announce in a dynamic table size update.
    if (nghttp2_hd_inflate_change_table_size(m_inflater, maxTableBytes) != 0)
        m_error = "the HPACK table size could not be set";
}

HpackInflater::~HpackInflater()
{
    if (m_inflater)
        nghttp2_hd_inflate_del(m_inflater);
}

std::size_t HpackInflater::dynamicTableSize() const
{
    return m_inflater ? nghttp2_hd_inflate_get_dynamic_table_size(m_inflater) : 0;
}

bool HpackInflater::inflate(Bytes piece, bool last, FieldSink &sink)
{
    if (!m_inflater || m_error)
        return false;
    const auto *in = reinterpret_cast<const std::uint8_t *>(piece.data());
    std::size_t left = piece.size();
    while (true) {
        nghttp2_nv nv{};
        int flags = 0;
        const ssize_t used = nghttp2_hd_inflate_hd2(m_inflater, &nv, &flags, in, left, last ? 1 : 0);
        if (used < 0) {
            m_error = nghttp2_strerror(static_cast<int>(used));
            return false;
        }
        in += used;
        left -= static_cast<std::size_t>(used);
        if (flags & NGHTTP2_HD_INFLATE_EMIT) {
            const std::string_view name(reinterpret_cast<const char *>(nv.name), nv.namelen);
            const std::string_view value(reinterpret_cast<const char *>(nv.value), nv.valuelen);
            if (!sink.field(name, value)) {
                m_error = "decoding stopped";
                return false;
            }
        }
        if (flags & NGHTTP2_HD_INFLATE_FINAL) {
            nghttp2_hd_inflate_end_headers(m_inflater);
            return true;
        }
        if (!(flags & NGHTTP2_HD_INFLATE_EMIT) && left == 0)
            return true; // the rest of the block comes in a later piece
    }
}

} // namespace quorrel::streams
