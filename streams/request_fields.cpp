#include "streams/request_fields.h"

#include <algorithm>

namespace quorrel::streams {

namespace {

QByteArray bytes(std::string_view s) { return QByteArray(s.data(), static_cast<qsizetype>(s.size())); }

// The method and scheme nearly every request has, as shared texts: two small copies a
// request otherwise.
QByteArray commonBytes(std::string_view s)
{
    static const QByteArray kGet = QByteArrayLiteral("GET");
    static const QByteArray kHttps = QByteArrayLiteral("https");
    static const QByteArray kHttp = QByteArrayLiteral("http");
    if (s == "GET")
        return kGet;
    if (s == "https")
        return kHttps;
    if (s == "http")
        return kHttp;
    return bytes(s);
}

bool breaksLine(std::string_view s)
{
    return std::any_of(s.begin(), s.end(), [](char c) { return c == '\0' || c == '\r' || c == '\n'; });
}

} // namespace

bool RequestFieldList::add(std::string_view name, std::string_view value)
{
    m_listBytes += name.size() + value.size() + 32;
    if (m_listBytes > m_headBytes) {
        m_tooLong = true;
        return false;
    }
    // No field may hold NUL, CR or LF (RFC 9113 8.2.1, RFC 9114 4.2): such a request is
    // malformed, and its address would carry a line break into the list.
    if (breaksLine(name) || breaksLine(value)) {
        m_malformed = true;
        return true;
    }
    // A value stored once in the decoder's dynamic table comes back with every request that
    // names it: one too long for an address is not copied again and again.
    if ((name == ":authority" || name == ":path" || name == "host") && value.size() > m_addressBytes) {
        m_addressTooLong = true;
        return true;
    }
    if (name == ":method") {
        m_request.method = commonBytes(value);
    } else if (name == ":scheme") {
        m_request.scheme = commonBytes(value);
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
        // A cookie may be split into crumbs; they join with "; " (RFC 9113 8.2.3,
        // RFC 9114 4.2.1).
        if (!m_request.cookie.isEmpty())
            m_request.cookie += "; ";
        m_request.cookie += bytes(value);
    } else if (name == "user-agent") {
        m_request.userAgent = bytes(value);
    } else if (name == "sec-fetch-dest") {
        m_request.secFetchDest = bytes(value);
    } else if (name == "range") {
        m_request.range = bytes(value);
    } else if (name == "accept") {
        m_request.accept = bytes(value);
    }
    return true;
}

StreamRequest RequestFieldList::take()
{
    StreamRequest request = std::move(m_request);
    m_request = {};
    m_listBytes = 0;
    m_tooLong = m_malformed = m_addressTooLong = false;
    return request;
}

std::size_t RequestFieldList::memory() const
{
    const StreamRequest &r = m_request;
    return static_cast<std::size_t>(r.method.capacity() + r.scheme.capacity() + r.authority.capacity()
                                    + r.path.capacity() + r.referer.capacity() + r.cookie.capacity()
                                    + r.userAgent.capacity() + r.secFetchDest.capacity() + r.range.capacity()
                                    + r.accept.capacity());
}

} // namespace quorrel::streams
