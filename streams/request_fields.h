#pragma once
// The fields of one request's header section, as HTTP/2 (RFC 9113 8.3) and HTTP/3
// (RFC 9114 4.3) both send them after decompression, gathered into the request the road
// files: its method, scheme, :authority (or Host) and :path, the Referer, Cookie and
// User-Agent a download of it needs, and the Sec-Fetch-Dest, Range and Accept that say what
// the browser asked for. Each reader adds its own rules when the section ends.

#include "streams/stream_types.h"

#include <cstddef>
#include <string_view>

namespace quorrel::streams {

class RequestFieldList {
public:
    // headBytes bounds the section as both protocols count it (names and values and 32
    // bytes a field); addressBytes bounds one :authority, Host or :path.
    RequestFieldList(std::size_t headBytes, std::size_t addressBytes)
        : m_headBytes(headBytes), m_addressBytes(addressBytes)
    {
    }

    // False once the section passes headBytes (tooLong()): the decoder stops there.
    bool add(std::string_view name, std::string_view value);

    bool tooLong() const { return m_tooLong; }
    bool malformed() const { return m_malformed; } // a field holds NUL, CR or LF
    // An :authority, Host or :path alone passed addressBytes: it was not kept.
    bool addressTooLong() const { return m_addressTooLong; }
    const StreamRequest &request() const { return m_request; }
    // The request gathered; the list is empty again, ready for the next section.
    StreamRequest take();
    void clear() { take(); }
    std::size_t memory() const;

private:
    std::size_t m_headBytes;
    std::size_t m_addressBytes;
    std::size_t m_listBytes = 0;
    bool m_tooLong = false;
    bool m_malformed = false;
    bool m_addressTooLong = false;
    StreamRequest m_request;
};

} // namespace quorrel::streams
