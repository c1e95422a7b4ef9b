#include "streams/http1_reader.h"

#include "streams/stream_start.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>

namespace quorrel::streams {

namespace {

constexpr std::size_t kNotFound = std::string_view::npos;
// A chunk-size line: hex digits and extensions nobody sends long.
constexpr std::size_t kChunkLineLimit = 1024;
constexpr std::string_view kPrefaceHead = "PRI * HTTP/2.0\r\n\r\n";

// tchar (RFC 9110, 5.6.2).
bool isTchar(unsigned char c)
{
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))
        return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != kNotFound;
}

bool isToken(std::string_view s)
{
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return isTchar(static_cast<unsigned char>(c)); });
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsNoCase(std::string_view a, std::string_view lowerB)
{
    if (a.size() != lowerB.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lowerB[i])
            return false;
    return true;
}

bool startsWithNoCase(std::string_view a, std::string_view lowerB)
{
    return a.size() >= lowerB.size() && equalsNoCase(a.substr(0, lowerB.size()), lowerB);
}

std::string_view trimmed(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

QByteArray bytes(std::string_view s) { return QByteArray(s.data(), static_cast<qsizetype>(s.size())); }

// The method and version nearly every request has, as shared texts: a request is read
// for every one a browser sends, and these would be two small copies each time.
QByteArray commonBytes(std::string_view s)
{
    static const QByteArray kGet = QByteArrayLiteral("GET");
    static const QByteArray kHttp11 = QByteArrayLiteral("HTTP/1.1");
    if (s == "GET")
        return kGet;
    if (s == "HTTP/1.1")
        return kHttp11;
    return bytes(s);
}

// Just past the empty line that ends a head (CR LF CR LF, or bare LFs, RFC 9112 2.2),
// searching from offset from; kNotFound when it has not come yet.
std::size_t headEnd(const char *p, std::size_t n, std::size_t from)
{
    std::size_t k = from;
    while (k < n) {
        const auto *q = static_cast<const char *>(std::memchr(p + k, '\n', n - k));
        if (!q)
            return kNotFound;
        const auto j = static_cast<std::size_t>(q - p);
        if (j + 1 < n && p[j + 1] == '\n')
            return j + 2;
        if (j + 2 < n && p[j + 1] == '\r' && p[j + 2] == '\n')
            return j + 3;
        k = j + 1;
    }
    return kNotFound;
}

// Content-Length: a decimal number, or a list of the same number (RFC 9110, 8.6).
std::optional<std::uint64_t> contentLength(std::string_view value)
{
    std::optional<std::uint64_t> result;
    while (true) {
        const std::size_t comma = value.find(',');
        const std::string_view item = trimmed(value.substr(0, comma));
        if (item.empty() || item.size() > 18)
            return std::nullopt;
        std::uint64_t n = 0;
        for (char c : item) {
            if (c < '0' || c > '9')
                return std::nullopt;
            n = n * 10 + static_cast<std::uint64_t>(c - '0');
        }
        if (result && *result != n)
            return std::nullopt;
        result = n;
        if (comma == kNotFound)
            return result;
        value.remove_prefix(comma + 1);
    }
}

// Whether the last transfer coding named is chunked (RFC 9112, 6.3: the final coding
// of a request must be chunked, or its length cannot be known).
bool endsChunked(std::string_view value)
{
    const std::size_t comma = value.rfind(',');
    std::string_view last = comma == kNotFound ? value : value.substr(comma + 1);
    last = trimmed(last.substr(0, last.find(';')));
    return equalsNoCase(last, "chunked");
}

struct RequestLine {
    std::string_view method, target, version;
    bool preface = false; // "PRI * HTTP/2.0", the start of the HTTP/2 preface
    bool ok = false;
};

// method SP request-target SP HTTP-version (RFC 9112, 3).
RequestLine requestLine(std::string_view line)
{
    RequestLine r;
    const std::size_t sp1 = line.find(' ');
    const std::size_t sp2 = line.rfind(' ');
    if (sp1 == kNotFound || sp2 == sp1)
        return r;
    r.method = line.substr(0, sp1);
    r.target = trimmed(line.substr(sp1 + 1, sp2 - sp1 - 1));
    r.version = line.substr(sp2 + 1);
    if (r.method == "PRI" && r.target == "*" && r.version == "HTTP/2.0") {
        r.preface = r.ok = true;
        return r;
    }
    const bool versionOk = r.version.size() == 8 && r.version.substr(0, 7) == "HTTP/1." && r.version[7] >= '0'
        && r.version[7] <= '9';
    const bool targetOk = !r.target.empty() && std::none_of(r.target.begin(), r.target.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
    });
    r.ok = isToken(r.method) && versionOk && targetOk;
    return r;
}

} // namespace

Http1Reader::Http1Reader(Origin origin, std::size_t headLimit, std::size_t addressLimit)
    : m_origin(std::move(origin)), m_headLimit(headLimit), m_addressLimit(addressLimit)
{
}

void Http1Reader::stop(ReadEnd::Kind kind, const char *reason)
{
    m_state = State::Ended;
    m_end = {kind, reason};
    m_head = QByteArray();
    m_line = QByteArray();
}

std::size_t Http1Reader::feed(Bytes input)
{
    const auto *p = reinterpret_cast<const char *>(input.data());
    const std::size_t n = input.size();
    std::size_t i = 0;
    while (i < n && m_state != State::Ended && m_state != State::Http2) {
        switch (m_state) {
        case State::Head:
            i += readHead(p + i, n - i);
            break;
        case State::Body:
        case State::ChunkData: {
            const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(m_remaining, n - i));
            i += take;
            m_remaining -= take;
            if (m_remaining == 0)
                m_state = m_state == State::Body ? State::Head : State::ChunkDataEnd;
            break;
        }
        case State::ChunkDataEnd:
            // The CR LF after a chunk's data (a bare LF is taken too).
            if (p[i] == '\r' && !m_chunkCr) {
                m_chunkCr = true;
                ++i;
            } else if (p[i] == '\n') {
                m_chunkCr = false;
                ++i;
                m_state = State::ChunkSize;
            } else {
                stop(ReadEnd::Protocol, "a chunk is not followed by its line end");
            }
            break;
        case State::ChunkSize: {
            bool complete = false;
            i += readLine(p + i, n - i, kChunkLineLimit, complete);
            if (complete)
                parseChunkSize();
            break;
        }
        case State::Trailers: {
            bool complete = false;
            i += readLine(p + i, n - i, m_headLimit - std::min(m_trailerBytes, m_headLimit), complete);
            if (!complete)
                break;
            if (m_line.isEmpty()) {
                m_state = State::Head;
            } else {
                m_trailerBytes += static_cast<std::size_t>(m_line.size()) + 2;
                m_line.clear();
            }
            break;
        }
        case State::Http2:
        case State::Ended:
            break;
        }
    }
    return i;
}

std::size_t Http1Reader::readLine(const char *p, std::size_t n, std::size_t limit, bool &complete)
{
    const auto *lf = static_cast<const char *>(std::memchr(p, '\n', n));
    const std::size_t take = lf ? static_cast<std::size_t>(lf - p) + 1 : n;
    const std::size_t content = lf ? take - 1 : take;
    if (static_cast<std::size_t>(m_line.size()) + content > limit) {
        stop(ReadEnd::Oversize, m_state == State::Trailers ? "chunked trailers over their bound"
                                                           : "a chunk-size line over its bound");
        complete = false;
        return take;
    }
    m_line.append(p, static_cast<qsizetype>(content));
    complete = lf != nullptr;
    if (complete && m_line.endsWith('\r'))
        m_line.chop(1);
    return take;
}

bool Http1Reader::parseChunkSize()
{
    const std::string_view line(m_line.constData(), static_cast<std::size_t>(m_line.size()));
    std::size_t k = 0;
    std::uint64_t size = 0;
    for (; k < line.size(); ++k) {
        const char c = lower(line[k]);
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0)
            break;
        if (size >> 56) {
            stop(ReadEnd::Protocol, "a chunk size too large");
            return false;
        }
        size = size * 16 + static_cast<std::uint64_t>(digit);
    }
    const std::string_view rest = trimmed(line.substr(k));
    if (k == 0 || (!rest.empty() && rest.front() != ';')) {
        stop(ReadEnd::Protocol, "a chunk size that is not a number");
        return false;
    }
    m_line.clear();
    if (size == 0) {
        m_state = State::Trailers;
        m_trailerBytes = 0;
    } else {
        m_state = State::ChunkData;
        m_remaining = size;
    }
    return true;
}

// What ends the reading at bytes that are no request: on a stream that never carried one
// it was not HTTP at all; after an upgrade it became another protocol.
void Http1Reader::notHttp(const char *reason)
{
    if (!m_sawRequest)
        stop(ReadEnd::Unreadable, "not an HTTP request");
    else if (m_upgradeAsked)
        stop(ReadEnd::Quiet, "the connection switched to another protocol");
    else
        stop(ReadEnd::Protocol, reason);
}

// Checks the request line as soon as it is whole, without waiting for the head's end:
// a stream that only looked like HTTP (an SMTP "EHLO host") ends at its first line.
bool Http1Reader::checkRequestLine(const char *p, std::size_t n, std::size_t from)
{
    if (m_lineChecked || from >= n)
        return true;
    const auto *lf = static_cast<const char *>(std::memchr(p + from, '\n', n - from));
    if (!lf)
        return true;
    std::string_view line(p, static_cast<std::size_t>(lf - p));
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    if (!requestLine(line).ok) {
        notHttp("not an HTTP/1 request line");
        return false;
    }
    m_lineChecked = true;
    return true;
}

std::size_t Http1Reader::readHead(const char *p, std::size_t n)
{
    if (m_head.isEmpty()) {
        std::size_t i = 0;
        // Empty lines before a request are skipped (RFC 9112, 2.2).
        while (i < n && (p[i] == '\r' || p[i] == '\n'))
            ++i;
        if (i == n)
            return i;
        const Bytes start(reinterpret_cast<const std::byte *>(p + i), std::min(n - i, kStreamStartBytes));
        if (ClassifyStreamStart(start) == StreamStart::Neither) {
            notHttp("bytes that do not start an HTTP request");
            return i;
        }
        const std::size_t avail = std::min(n - i, m_headLimit);
        if (!checkRequestLine(p + i, avail, 0))
            return i;
        const std::size_t end = headEnd(p + i, avail, 0);
        if (end != kNotFound) {
            // The usual case: the whole head in one piece, read where it lies.
            parseHead(p + i, end);
            return i + end;
        }
        if (avail < n - i) {
            stop(ReadEnd::Oversize, "a request head over its bound");
            return i;
        }
        m_head.append(p + i, static_cast<qsizetype>(avail));
        return n;
    }
    const auto old = static_cast<std::size_t>(m_head.size());
    const std::size_t avail = std::min(n, m_headLimit - old);
    m_head.append(p, static_cast<qsizetype>(avail));
    // Only the new bytes can hold the line's end: an earlier one was checked already.
    if (!checkRequestLine(m_head.constData(), static_cast<std::size_t>(m_head.size()), old))
        return avail;
    const std::size_t end = headEnd(m_head.constData(), static_cast<std::size_t>(m_head.size()), old >= 3 ? old - 3 : 0);
    if (end != kNotFound) {
        QByteArray head;
        head.swap(m_head);
        head.truncate(static_cast<qsizetype>(end));
        parseHead(head.constData(), end);
        return end - old;
    }
    if (static_cast<std::size_t>(m_head.size()) >= m_headLimit)
        stop(ReadEnd::Oversize, "a request head over its bound");
    return avail;
}

bool Http1Reader::parseHead(const char *p, std::size_t n)
{
    const std::string_view head(p, n);
    std::size_t pos = 0;
    // The head ends with a line feed, so every line has one.
    auto nextLine = [&head, &pos]() {
        const std::size_t lf = head.find('\n', pos);
        std::string_view line = head.substr(pos, lf - pos);
        pos = lf + 1;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        return line;
    };

    m_lineChecked = false;
    const RequestLine line = requestLine(nextLine());
    if (!line.ok) {
        notHttp("not an HTTP/1 request line");
        return false;
    }
    if (line.preface) {
        if (head != kPrefaceHead) {
            stop(ReadEnd::Protocol, "a broken HTTP/2 preface");
            return false;
        }
        m_state = State::Http2;
        return true;
    }
    m_sawRequest = true;
    const std::string_view method = line.method;
    const std::string_view target = line.target;
    const QByteArray version = commonBytes(line.version);

    QByteArray host, referer, cookie, userAgent, secFetchDest, range, accept;
    bool hasHost = false;
    std::optional<std::uint64_t> length;
    bool hasTransferEncoding = false;
    bool chunked = false;
    bool upgrade = false;
    QByteArray *last = nullptr; // the kept value a folded line continues
    // A field with NUL or a lone CR is invalid (RFC 9110, 5.5): the request is read for its
    // framing but not handed on, so no such byte reaches an address or a download's headers.
    bool invalidField = false;
    while (true) {
        const std::string_view line = nextLine();
        if (line.empty())
            break;
        if (std::any_of(line.begin(), line.end(), [](char c) { return c == '\0' || c == '\r'; }))
            invalidField = true;
        if (line.front() == ' ' || line.front() == '\t') {
            // Obsolete line folding (RFC 9112, 5.2): one space in place of the fold.
            if (last)
                *last += ' ' + bytes(trimmed(line));
            continue;
        }
        const std::size_t colon = line.find(':');
        const std::string_view name = line.substr(0, colon);
        if (colon == kNotFound || !isToken(name)) {
            stop(ReadEnd::Protocol, "a header line without a valid name");
            return false;
        }
        const std::string_view value = trimmed(line.substr(colon + 1));
        last = nullptr;
        if (equalsNoCase(name, "host")) {
            if (!hasHost) {
                host = bytes(value);
                hasHost = true;
                last = &host;
            }
        } else if (equalsNoCase(name, "referer")) {
            referer = bytes(value);
            last = &referer;
        } else if (equalsNoCase(name, "cookie")) {
            if (!cookie.isEmpty())
                cookie += "; ";
            cookie += bytes(value);
            last = &cookie;
        } else if (equalsNoCase(name, "user-agent")) {
            userAgent = bytes(value);
            last = &userAgent;
        } else if (equalsNoCase(name, "sec-fetch-dest")) {
            secFetchDest = bytes(value);
            last = &secFetchDest;
        } else if (equalsNoCase(name, "range")) {
            range = bytes(value);
            last = &range;
        } else if (equalsNoCase(name, "accept")) {
            accept = bytes(value);
            last = &accept;
        } else if (equalsNoCase(name, "content-length")) {
            const auto n = contentLength(value);
            if (!n || (length && *length != *n)) {
                stop(ReadEnd::Protocol, "a Content-Length that is not one number");
                return false;
            }
            length = n;
        } else if (equalsNoCase(name, "transfer-encoding")) {
            hasTransferEncoding = true;
            chunked = endsChunked(value);
        } else if (equalsNoCase(name, "upgrade")) {
            upgrade = true;
        }
    }

    StreamRequest request;
    request.method = commonBytes(method);
    request.httpVersion = version;
    request.scheme = m_origin.scheme;
    const bool connect = method == "CONNECT";
    if (startsWithNoCase(target, "http://") || startsWithNoCase(target, "https://")) {
        // Absolute form (a request to a proxy): the target names the address itself.
        const std::size_t colon = target.find(':');
        request.scheme = bytes(target.substr(0, colon)).toLower();
        const std::string_view rest = target.substr(colon + 3);
        const std::size_t authorityEnd = std::min(rest.find_first_of("/?#"), rest.size());
        request.authority = bytes(rest.substr(0, authorityEnd));
        request.path = bytes(rest.substr(authorityEnd));
    } else if (connect) {
        request.authority = bytes(target);
    } else {
        request.authority = hasHost && !host.isEmpty() ? host : m_origin.fallbackAuthority;
        request.path = bytes(target);
    }
    request.referer = std::move(referer);
    request.cookie = std::move(cookie);
    request.userAgent = std::move(userAgent);
    request.secFetchDest = std::move(secFetchDest);
    request.range = std::move(range);
    request.accept = std::move(accept);
    if (std::size_t(request.authority.size() + request.path.size()) > m_addressLimit) {
        if (longAddresses)
            ++*longAddresses;
    } else if (onRequest && !invalidField) {
        onRequest(std::move(request));
    }

    m_upgradeAsked = upgrade;
    if (connect) {
        stop(ReadEnd::Quiet, "a tunnel after CONNECT");
    } else if (hasTransferEncoding) {
        if (chunked)
            m_state = State::ChunkSize;
        else
            stop(ReadEnd::Protocol, "a request body that cannot be delimited");
    } else if (length && *length > 0) {
        m_state = State::Body;
        m_remaining = *length;
    }
    return true;
}

} // namespace quorrel::streams
