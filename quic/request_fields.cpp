#include "quic/request_fields.h"

#include <algorithm>

namespace quorrel::quic {

namespace {

QByteArray bytes(std::string_view s) { return QByteArray(s.data(), qsizetype(s.size())); }

// The method and scheme nearly every request has, as shared texts.
QByteArray commonBytes(std::string_view s)
{
    static const QByteArray kGet = QByteArrayLiteral("GET");
    static const QByteArray kHttps = QByteArrayLiteral("https");
    if (s == "GET")
        return kGet;
    if (s == "https")
        return kHttps;
    return bytes(s);
}

bool breaksLine(std::string_view s)
{
    return std::any_of(s.begin(), s.end(), [](char c) { return c == '\0' || c == '\r' || c == '\n'; });
}

} // namespace

RequestFields::RequestFields(std::size_t headBytes, std::size_t addressBytes)
    : m_headBytes(headBytes), m_addressBytes(addressBytes)
{
}

bool RequestFields::field(std::string_view name, std::string_view value)
{
    m_listBytes += name.size() + value.size() + 32;
    if (m_listBytes > m_headBytes) {
        m_tooLong = true;
        return false;
    }
    if (breaksLine(name) || breaksLine(value)) {
        m_malformed = true;
        return true;
    }
    // A value stored once in the dynamic table can come back with every request: one too
    // long for an address is not copied again and again.
    if ((name == ":authority" || name == ":path" || name == "host") && value.size() > m_addressBytes) {
        m_addressTooLong = true;
        return true;
    }
    if (name == ":method") {
        m_request.method = commonBytes(value);
    } else if (name == ":authority") {
        m_request.authority = bytes(value);
    } else if (name == ":path") {
        m_request.path = bytes(value);
    } else if (name == "host") {
        if (m_request.authority.isEmpty())
            m_request.authority = bytes(value); // :authority, when it comes, wins
    } else if (name == "referer") {
        m_request.referer = bytes(value);
    } else if (name == "cookie") {
        // Cookie crumbs join with "; " (RFC 9114 4.2.1).
        if (!m_request.cookie.isEmpty())
            m_request.cookie += "; ";
        m_request.cookie += bytes(value);
    } else if (name == "user-agent") {
        m_request.userAgent = bytes(value);
    }
    return true;
}

RequestFields::Outcome RequestFields::finish(streams::StreamRequest &request)
{
    if (m_tooLong)
        return Outcome::TooLong;
    if (m_request.method.isEmpty() || (m_request.method == "CONNECT" && m_request.path.isEmpty()))
        return Outcome::NotRequest; // trailers, or a tunnel (RFC 9114 4.4): no resource named
    if (m_malformed || (m_request.path.isEmpty() && !m_addressTooLong))
        return Outcome::Malformed;
    if (m_addressTooLong || std::size_t(m_request.authority.size() + m_request.path.size()) > m_addressBytes)
        return Outcome::LongAddress;
    m_request.scheme = commonBytes("https");
    m_request.httpVersion = QByteArrayLiteral("HTTP/3");
    request = std::move(m_request);
    m_request = {};
    return Outcome::Request;
}

} // namespace quorrel::quic
