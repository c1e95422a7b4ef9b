#pragma once
// HPACK header block decoding (RFC 7541) through libnghttp2's inflater: one per HTTP/2
// connection, since every header block of a connection shares its dynamic table. Its
// memory is counted through an allocator of our own, so the reader's bounds include it.

#include "streams/stream_types.h"

#include <nghttp2/nghttp2.h>

#include <cstddef>
#include <string_view>

namespace quorrel::streams {

class HpackInflater {
public:
    // maxTableBytes: the largest dynamic table the encoder may announce (RFC 7541, 4.2);
    // a larger announcement is a decoding error.
    explicit HpackInflater(std::size_t maxTableBytes);
    ~HpackInflater();
    HpackInflater(const HpackInflater &) = delete;
    HpackInflater &operator=(const HpackInflater &) = delete;

    // Receives each decoded field; returns false to stop decoding (the block is then
    // abandoned and the inflater unusable).
    class FieldSink {
    public:
        virtual bool field(std::string_view name, std::string_view value) = 0;

    protected:
        ~FieldSink() = default;
    };

    // Decodes the next piece of a header block; last: it is the block's last piece. A
    // block may come in any number of pieces. False on a decoding error (error() says
    // which) or when the sink stopped; the inflater is not used again after that.
    bool inflate(Bytes piece, bool last, FieldSink &sink);

    const char *error() const { return m_error; }
    std::size_t memory() const { return m_memory; }
    std::size_t dynamicTableSize() const;

private:
    nghttp2_mem m_allocator{}; // libnghttp2 keeps a pointer to it
    nghttp2_hd_inflater *m_inflater = nullptr;
    std::size_t m_memory = 0; // what libnghttp2 allocated for this inflater
    const char *m_error = nullptr;
};

} // namespace quorrel::streams
