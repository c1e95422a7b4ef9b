#pragma once
// QPACK field section decoding (RFC 9204) through libnghttp3's decoder, used on its own:
// one per HTTP/3 connection, since every request's field section may refer to the
// dynamic table that the client's encoder stream builds. Its memory is counted through
// streams' counted allocator, so the reader's bounds include it.
//
// The decoder must be made with the table capacity the server allowed, exactly
// (SETTINGS_QPACK_MAX_TABLE_CAPACITY, RFC 9204 3.2.3): the Required Insert Count of each
// section is sent modulo twice the number of entries that capacity holds (4.5.1.1), and
// read back against it. A section whose Required Insert Count is zero refers to no
// dynamic entry, so any decoder reads it.

#include "quic/quic_types.h"

#include <nghttp3/nghttp3.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quorrel::quic {

class QpackDecoder {
public:
    QpackDecoder(std::size_t maxTableCapacity, std::size_t maxBlockedStreams);
    ~QpackDecoder();
    QpackDecoder(const QpackDecoder &) = delete;
    QpackDecoder &operator=(const QpackDecoder &) = delete;

    // False once the decoder cannot be used (its error says why).
    bool usable() const { return m_decoder && !m_error; }
    const char *error() const { return m_error; }
    // Why the last section that failed did.
    const char *sectionError() const { return m_sectionError; }
    std::size_t maxTableCapacity() const { return m_maxTableCapacity; }

    // The client's encoder stream, in order, after its stream type. False on an error.
    bool readEncoder(Bytes bytes);
    std::uint64_t insertCount() const;

    class FieldSink {
    public:
        // False stops the section: it is abandoned.
        virtual bool field(std::string_view name, std::string_view value) = 0;

    protected:
        ~FieldSink() = default;
    };

    // One field section being decoded (a HEADERS frame's payload, RFC 9114 4.2).
    class Section {
    public:
        explicit Section(QpackDecoder &decoder, std::int64_t streamId);
        ~Section();
        Section(const Section &) = delete;
        Section &operator=(const Section &) = delete;

        // The Required Insert Count, once the section's prefix has been read.
        std::uint64_t requiredInsertCount() const;
        std::size_t consumed() const { return m_consumed; }

    private:
        friend class QpackDecoder;
        QpackDecoder &m_decoder;
        nghttp3_qpack_stream_context *m_context = nullptr;
        std::size_t m_consumed = 0;
    };

    enum class Decode {
        Done,    // every field handed to the sink
        Blocked, // it refers to entries not inserted yet: decode again after more of the encoder stream
        Failed,  // malformed, or the sink stopped: error() says why
    };
    // Decodes block, the whole field section, from where the section stopped.
    Decode decode(Section &section, Bytes block, FieldSink &sink);
    // Whether a blocked section can go on now.
    bool unblocked(const Section &section) const { return section.requiredInsertCount() <= insertCount(); }

    // What libnghttp3 holds for this decoder (its table among it).
    std::size_t memory() const { return m_memory; }

private:
    void dropDecoderStream();

    nghttp3_mem m_allocator{}; // libnghttp3 keeps a pointer to it
    nghttp3_qpack_decoder *m_decoder = nullptr;
    std::size_t m_maxTableCapacity;
    std::size_t m_memory = 0;
    const char *m_error = nullptr;
    const char *m_sectionError = nullptr; // of the last section, when it failed
};

} // namespace quorrel::quic
