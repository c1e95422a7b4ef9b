#pragma once
// The fields of one HTTP/3 request's field section (RFC 9114 4.2, 4.3), gathered as HTTP/2's
// are (streams/request_fields.h), with HTTP/3's own rules when the section ends. The
// address is "https://" + authority + path: HTTP/3 carries https URIs (RFC 9114 3.1).

#include "quic/qpack_decoder.h"
#include "streams/request_fields.h"
#include "streams/stream_types.h"

#include <cstddef>
#include <string_view>

namespace quorrel::quic {

class RequestFields final : public QpackDecoder::FieldSink {
public:
    // headBytes bounds the field section as RFC 9114 4.2.2 counts it (names and values
    // and 32 bytes a field); addressBytes the authority and path together.
    RequestFields(std::size_t headBytes, std::size_t addressBytes);

    bool field(std::string_view name, std::string_view value) override;

    enum class Outcome {
        Request,     // a request, in the StreamRequest given
        NotRequest,  // no :method: trailers or a response's fields
        Malformed,   // a field holds NUL, CR or LF (RFC 9114 4.2), or no :path
        TooLong,     // the section passes headBytes
        LongAddress, // the authority and path together pass addressBytes
    };
    // What the section was; the request is moved out.
    Outcome finish(streams::StreamRequest &request);

private:
    std::size_t m_addressBytes;
    streams::RequestFieldList m_list;
};

} // namespace quorrel::quic
