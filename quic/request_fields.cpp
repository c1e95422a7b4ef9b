#include "quic/request_fields.h"

namespace quorrel::quic {

RequestFields::RequestFields(std::size_t headBytes, std::size_t addressBytes)
    : m_addressBytes(addressBytes), m_list(headBytes, addressBytes)
{
}

bool RequestFields::field(std::string_view name, std::string_view value) { return m_list.add(name, value); }

RequestFields::Outcome RequestFields::finish(streams::StreamRequest &request)
{
    if (m_list.tooLong())
        return Outcome::TooLong;
    const streams::StreamRequest &r = m_list.request();
    if (r.method.isEmpty() || (r.method == "CONNECT" && r.path.isEmpty()))
        return Outcome::NotRequest; // trailers, or a tunnel (RFC 9114 4.4): no resource named
    if (m_list.malformed() || (r.path.isEmpty() && !m_list.addressTooLong()))
        return Outcome::Malformed;
    if (m_list.addressTooLong() || std::size_t(r.authority.size() + r.path.size()) > m_addressBytes)
        return Outcome::LongAddress;
    request = m_list.take();
    // HTTP/3 carries https URIs alone (RFC 9114 3.1), whatever :scheme says.
    request.scheme = QByteArrayLiteral("https");
    request.httpVersion = QByteArrayLiteral("HTTP/3");
    return Outcome::Request;
}

} // namespace quorrel::quic
