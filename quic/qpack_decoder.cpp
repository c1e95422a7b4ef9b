#include "quic/qpack_decoder.h"

#include "streams/counted_memory.h"

#include <vector>

namespace quorrel::quic {

namespace {

std::string_view textOf(const nghttp3_rcbuf *buffer)
{
    const nghttp3_vec v = nghttp3_rcbuf_get_buf(buffer);
    return {reinterpret_cast<const char *>(v.base), v.len};
}

} // namespace

QpackDecoder::QpackDecoder(std::size_t maxTableCapacity, std::size_t maxBlockedStreams)
    : m_maxTableCapacity(maxTableCapacity)
{
    namespace counted = streams::counted;
    m_allocator = {&m_memory, counted::allocate, counted::release, counted::allocateZeroed, counted::reallocate};
    if (nghttp3_qpack_decoder_new(&m_decoder, maxTableCapacity, maxBlockedStreams, &m_allocator) != 0) {
        m_decoder = nullptr;
        m_error = "no memory for a QPACK decoder";
    }
}

QpackDecoder::~QpackDecoder()
{
    if (m_decoder)
        nghttp3_qpack_decoder_del(m_decoder);
}

std::uint64_t QpackDecoder::insertCount() const
{
    return m_decoder ? nghttp3_qpack_decoder_get_icnt(m_decoder) : 0;
}

void QpackDecoder::dropDecoderStream()
{
    // The decoder writes its acknowledgments for a decoder stream (RFC 9204 4.4) that a
    // passive reader never sends: they are taken out and dropped, so they cannot pile up.
    const std::size_t length = nghttp3_qpack_decoder_get_decoder_streamlen(m_decoder);
    if (length == 0)
        return;
    std::vector<std::uint8_t> scratch(length);
    nghttp3_buf buffer;
    buffer.begin = buffer.pos = buffer.last = scratch.data();
    buffer.end = scratch.data() + scratch.size();
    nghttp3_qpack_decoder_write_decoder(m_decoder, &buffer);
}

bool QpackDecoder::readEncoder(Bytes bytes)
{
    if (!usable())
        return false;
    const auto *in = reinterpret_cast<const std::uint8_t *>(bytes.data());
    const nghttp3_ssize read = nghttp3_qpack_decoder_read_encoder(m_decoder, in, bytes.size());
    if (read < 0) {
        m_error = nghttp3_strerror(int(read));
        return false;
    }
    dropDecoderStream();
    return true;
}

QpackDecoder::Section::Section(QpackDecoder &decoder, std::int64_t streamId) : m_decoder(decoder)
{
    if (nghttp3_qpack_stream_context_new(&m_context, streamId, &decoder.m_allocator) != 0)
        m_context = nullptr;
}

QpackDecoder::Section::~Section()
{
    if (m_context)
        nghttp3_qpack_stream_context_del(m_context);
}

std::uint64_t QpackDecoder::Section::requiredInsertCount() const
{
    return m_context ? nghttp3_qpack_stream_context_get_ricnt(m_context) : 0;
}

QpackDecoder::Decode QpackDecoder::decode(Section &section, Bytes block, FieldSink &sink)
{
    m_sectionError = nullptr;
    if (!usable() || !section.m_context || &section.m_decoder != this || section.m_consumed > block.size()) {
        m_sectionError = m_error ? m_error : "no memory for a QPACK section";
        return Decode::Failed;
    }
    const auto *in = reinterpret_cast<const std::uint8_t *>(block.data());
    while (true) {
        nghttp3_qpack_nv nv{};
        std::uint8_t flags = 0;
        const std::size_t left = block.size() - section.m_consumed;
        const nghttp3_ssize read = nghttp3_qpack_decoder_read_request(
            m_decoder, section.m_context, &nv, &flags, in + section.m_consumed, left, 1);
        if (read < 0) {
            m_sectionError = nghttp3_strerror(int(read));
            // A fatal error leaves the decoder unusable; a malformed section only itself.
            if (read == NGHTTP3_ERR_QPACK_FATAL || read == NGHTTP3_ERR_NOMEM)
                m_error = m_sectionError;
            return Decode::Failed;
        }
        section.m_consumed += std::size_t(read);
        if (flags & NGHTTP3_QPACK_DECODE_FLAG_EMIT) {
            const bool go = sink.field(textOf(nv.name), textOf(nv.value));
            nghttp3_rcbuf_decref(nv.name);
            nghttp3_rcbuf_decref(nv.value);
            if (!go) {
                m_sectionError = "decoding stopped";
                return Decode::Failed;
            }
        }
        if (flags & NGHTTP3_QPACK_DECODE_FLAG_FINAL) {
            dropDecoderStream();
            return Decode::Done;
        }
        if (flags & NGHTTP3_QPACK_DECODE_FLAG_BLOCKED)
            return Decode::Blocked;
        if (read == 0 && !(flags & NGHTTP3_QPACK_DECODE_FLAG_EMIT)) {
            m_sectionError = "a QPACK field section cut short";
            return Decode::Failed;
        }
    }
}

} // namespace quorrel::quic
