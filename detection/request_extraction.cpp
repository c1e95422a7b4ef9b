#include "detection/request_extraction.h"

#include "base/gbk_text.h"
#include "base/text_rules.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace quorrel {
namespace {

// The text functions of this program work on code page 936: a lead byte and the byte after
// it are one character, and a pattern only matches where a character begins.
bool isLead(char c) { return isGbkLeadByte(static_cast<unsigned char>(c)); }

bool isBlank(char c) { return static_cast<unsigned char>(c) <= 32; }

char asciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string_view trimmed(std::string_view s)
{
    std::size_t begin = 0;
    std::size_t end = s.size();
    while (begin < end && isBlank(s[begin]))
        ++begin;
    while (end > begin && isBlank(s[end - 1]))
        --end;
    return s.substr(begin, end - begin);
}

bool hasNonBlank(std::string_view s)
{
    for (char c : s)
        if (!isBlank(c))
            return true;
    return false;
}

// Whether s begins with the ASCII pattern, ASCII letter case ignored. The pattern is all
// single-byte characters, so a match never involves a trail byte.
bool startsWithNoCase(std::string_view s, std::string_view lowerPattern)
{
    if (s.size() < lowerPattern.size())
        return false;
    for (std::size_t i = 0; i < lowerPattern.size(); ++i)
        if (asciiLower(s[i]) != lowerPattern[i])
            return false;
    return true;
}

// Whether the byte at i of s is the second byte of a double-byte character. The byte
// after any byte outside 81..FE begins a character, and so does s itself; so it depends
// only on the run of lead-range bytes right before i: an odd run ends with i's lead byte.
bool isTrailByte(std::string_view s, std::size_t i)
{
    std::size_t run = 0;
    while (run < i && isLead(s[i - 1 - run]))
        ++run;
    return run % 2 == 1;
}

// The 1-based position of the first "http/" in the line lower-cased character by character
// (ASCII letters only, never a trail byte), 0 when there is none. The search itself is
// byte-wise, so a match may begin on a trail byte that already was an "h". Each "/" is a
// candidate end: a lower-case letter matches as it is, an upper-case one only where it
// begins a character.
std::size_t findLowerHttpSlash(std::string_view line)
{
    constexpr std::string_view kHttp = "http";
    for (std::size_t slash = line.find('/', kHttp.size()); slash != std::string_view::npos;
         slash = line.find('/', slash + 1)) {
        const std::size_t start = slash - kHttp.size();
        bool match = true;
        for (std::size_t k = 0; k < kHttp.size() && match; ++k) {
            const char c = line[start + k];
            match = c == kHttp[k] || (c == kHttp[k] - ('a' - 'A') && !isTrailByte(line, start + k));
        }
        if (match)
            return start + 1;
    }
    return 0;
}

// Bytes that none of the rewriting steps looks at twice: printable ASCII and the control
// characters other than 01 02 04 05 CR. Runs of them are copied as they are.
constexpr std::array<bool, 256> kPlain = [] {
    std::array<bool, 256> plain{};
    for (int c = 0; c < 0x80; ++c)
        plain[c] = c != 0x01 && c != 0x02 && c != 0x04 && c != 0x05 && c != '\r';
    return plain;
}();

// Copies the run of plain bytes at p to out and advances both past it. Eight bytes at a
// time while none of them is below 0x0E or above 0x7F (the test for a byte below n is the
// one from Sean Eron Anderson's "Bit Twiddling Hacks"), then byte by byte. Loads stay inside
// [p, end); out never runs ahead of p, so its stores stay inside the text's room too.
void copyPlain(const char *&p, const char *end, char *&out)
{
    constexpr std::uint64_t kOnes = 0x0101'0101'0101'0101;
    constexpr std::uint64_t kHighBits = 0x8080'8080'8080'8080;
    while (end - p >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, sizeof word);
        if ((((word - kOnes * 0x0E) & ~word) | word) & kHighBits)
            break;
        std::memcpy(out, &word, sizeof word);
        p += 8;
        out += 8;
    }
    while (p != end && kPlain[static_cast<unsigned char>(*p)])
        *out++ = *p++;
}

// Removes 02, 04, 05 and 01, then B4, then replaces CR LF by "|": three passes, each over
// the previous one's result and each character by character in code page 936. A removed
// B4 was a lead byte, so the byte after it was a trail byte for the first pass and becomes
// a character of its own for the next ones; that is why the B4 pass cannot join the first.
// The passes run as a pipeline over one scan: every byte the first pass keeps goes on to
// the second, and so on, each pass keeping its own place in the character sequence.
// out must hold text.size() bytes (the text only ever shrinks); returns the length.
std::size_t rewriteText(std::string_view text, char *out)
{
    char *const start = out;
    bool trail1 = false;    // first pass: the next byte is a trail byte
    bool trail2 = false;    // B4 pass
    bool trail3 = false;    // CR LF pass
    bool crPending = false; // CR LF pass: a CR that began a character, waiting for LF

    const char *p = text.data();
    const char *const end = p + text.size();
    while (p != end) {
        if (!trail1 && !trail2 && !trail3 && !crPending) {
            copyPlain(p, end, out);
            if (p == end)
                break;
        }
        const char c = *p++;

        if (trail1)
            trail1 = false;
        else if (c == 0x02 || c == 0x04 || c == 0x05 || c == 0x01)
            continue;
        else
            trail1 = isLead(c);

        if (trail2)
            trail2 = false;
        else if (c == '\xB4')
            continue; // the byte after it starts a character now
        else
            trail2 = isLead(c);

        if (crPending) {
            crPending = false;
            if (c == '\n') {
                *out++ = '|';
                continue;
            }
            *out++ = '\r'; // a lone CR stays; c begins a character
        }
        if (trail3)
            trail3 = false;
        else if (c == '\r') {
            crPending = true;
            continue;
        } else
            trail3 = isLead(c);
        *out++ = c;
    }
    if (crPending)
        *out++ = '\r';
    return static_cast<std::size_t>(out - start);
}

bool isRemoved(char c) { return c == 0x01 || c == 0x02 || c == 0x04 || c == 0x05 || c == '\xB4'; }

// The first "g" or "G" in [p, end), or end. Eight bytes at a time: a byte is g or G when it
// is 0x67 once bit 5 is set, and a word holds a zero byte when the "haszero" test of "Bit
// Twiddling Hacks" says so.
const char *findLetterG(const char *p, const char *end)
{
    constexpr std::uint64_t kOnes = 0x0101'0101'0101'0101;
    constexpr std::uint64_t kHighBits = 0x8080'8080'8080'8080;
    while (end - p >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, sizeof word);
        const std::uint64_t v = (word | kOnes * 0x20) ^ (kOnes * 'g');
        if ((v - kOnes) & ~v & kHighBits)
            break;
        p += 8;
    }
    while (p != end && (*p | 0x20) != 'g')
        ++p;
    return p;
}

// A request line begins with the letters g, e and t once the removed bytes are gone, so a
// text that never has them in a row, with nothing but removed bytes between, holds no
// request. Most of what this machine sends (TLS records, uploads) is ruled out here,
// before the rewriting, which costs several times more.
bool mayHoldGet(std::string_view text)
{
    const char *p = text.data();
    const char *const end = p + text.size();
    while ((p = findLetterG(p, end)) != end) {
        const char *q = p + 1;
        while (q != end && isRemoved(*q))
            ++q;
        if (q != end && (*q | 0x20) == 'e') {
            ++q;
            while (q != end && isRemoved(*q))
                ++q;
            if (q != end && (*q | 0x20) == 't')
                return true;
        }
        ++p;
    }
    return false;
}

bool isAbsoluteAddress(std::string_view path)
{
    return startsWithNoCase(path, "http://") || startsWithNoCase(path, "https://")
        || startsWithNoCase(path, "ftp://");
}

thread_local std::uint64_t t_longAddresses = 0;

// The authority and path of an absolute address: what follows its "scheme://".
std::size_t authorityAndPath(std::string_view absolute) { return absolute.size() - (absolute.find("://") + 3); }

// Writes the address of the GET request in payload into address; false when there is
// none, or when it is longer than an address may be (counted). Both buffers are reused between datagrams: at the rate datagrams come in, an
// allocation for each would cost more than the work itself.
bool findAddress(Bytes payload, std::string &address)
{
    if (payload.empty())
        return false;
    // The payload is text up to its first zero byte.
    const char *bytes = reinterpret_cast<const char *>(payload.data());
    std::size_t length = payload.size();
    if (const void *zero = std::memchr(bytes, 0, length))
        length = static_cast<std::size_t>(static_cast<const char *>(zero) - bytes);
    const std::string_view raw = trimmed(std::string_view(bytes, length));
    if (raw.empty() || !mayHoldGet(raw))
        return false;

    thread_local std::vector<char> buffer;
    if (buffer.size() < raw.size())
        buffer.resize(raw.size());
    std::string_view text(buffer.data(), rewriteText(raw, buffer.data()));

    // Every line is looked at; the last request line and the last Host line decide.
    std::string_view path;
    std::string_view host;
    while (hasNonBlank(text)) {
        std::string_view line;
        const std::size_t bar = text.find('|');
        if (bar != std::string_view::npos) {
            line = trimmed(text.substr(0, bar));
            text.remove_prefix(bar + 1);
        } else {
            line = text; // the last line is taken as it is, blanks and all
            text = {};
        }
        if (startsWithNoCase(line, "get")) {
            // The target lies between "GET " and "HTTP/" (RFC 9112, 3); the byte just
            // before "HTTP/" is taken as the blank that should be there.
            const std::size_t p = findLowerHttpSlash(line);
            path = p > 5 ? trimmed(line.substr(3, p - 5)) : std::string_view();
        }
        if (startsWithNoCase(line, "host:"))
            host = trimmed(line.substr(5));
    }

    address.clear();
    if (isAbsoluteAddress(path)) {
        if (authorityAndPath(path) > std::size_t(kMaxAddressBytes)) {
            ++t_longAddresses;
            return false;
        }
        address.append(path);
        return true;
    }
    if (path.empty() || host.empty())
        return false;
    if (host.size() + path.size() > std::size_t(kMaxAddressBytes)) {
        ++t_longAddresses;
        return false;
    }
    address.append("http://").append(host).append(path);
    return true;
}

} // namespace

std::optional<QByteArray> ExtractRequestBytes(Bytes payload)
{
    thread_local std::string address;
    if (!findAddress(payload, address))
        return std::nullopt;
    return QByteArray(address.data(), static_cast<qsizetype>(address.size()));
}

std::optional<QByteArray> ExtractRequestBytes(QByteArrayView path, QByteArrayView host)
{
    // Printable ASCII but "|" passes the rewriting unchanged and splits no line; blanks and
    // control bytes would, and so would GBK's lead bytes. Then the request line's target is
    // the path, unless the path itself holds the "http/" that ends it.
    const auto plain = [](QByteArrayView s) {
        return std::all_of(s.begin(), s.end(), [](char c) { return c > 0x20 && c < 0x7F && c != '|'; });
    };
    const std::string_view p(path.data(), std::size_t(path.size()));
    if (!path.isEmpty() && !host.isEmpty() && plain(path) && plain(host) && findLowerHttpSlash(p) == 0) {
        if (isAbsoluteAddress(p))
            return path.toByteArray();
        constexpr std::string_view kScheme = "http://";
        QByteArray address(qsizetype(kScheme.size()) + host.size() + path.size(), Qt::Uninitialized);
        char *out = address.data();
        std::memcpy(out, kScheme.data(), kScheme.size());
        std::memcpy(out + kScheme.size(), host.data(), std::size_t(host.size()));
        std::memcpy(out + kScheme.size() + host.size(), path.data(), std::size_t(path.size()));
        return address;
    }
    thread_local QByteArray head;
    head.resize(0); // keeps its room
    head.append("GET ").append(path).append(" HTTP/1.1\r\nHost: ").append(host).append("\r\n\r\n");
    return ExtractRequestBytes(Bytes(reinterpret_cast<const std::byte *>(head.constData()), std::size_t(head.size())));
}

Extraction ExtractRequest(std::uint32_t ip, std::uint32_t sourceIP, Bytes payload)
{
    return ExtractRequest(IpAddress::v4(ip), IpAddress::v4(sourceIP), payload);
}

Extraction ExtractRequest(const IpAddress &ip, const IpAddress &sourceIP, Bytes payload)
{
    Extraction result;
    // Only what this machine sent: a request coming in was made by someone else.
    if (sourceIP != ip)
        return result;
    thread_local std::string address;
    if (findAddress(payload, address))
        result.address = fromGbk(QByteArrayView(address.data(), static_cast<qsizetype>(address.size())));
    return result;
}

std::uint64_t LongAddressesDropped() { return t_longAddresses; }

CapturedHead ExtractRequestHead(Bytes payload)
{
    const char *bytes = reinterpret_cast<const char *>(payload.data());
    std::size_t length = payload.size();
    if (const void *zero = std::memchr(bytes, 0, length))
        length = static_cast<std::size_t>(static_cast<const char *>(zero) - bytes);
    std::string_view text(bytes, length);

    CapturedHead head;
    std::string_view referer, userAgent, dest, range, accept;
    QByteArray cookie;
    bool inHead = false;
    while (!text.empty()) {
        const std::size_t lf = text.find('\n');
        std::string_view line = text.substr(0, lf);
        text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        const std::string_view trimmedLine = trimmed(line);
        if (startsWithNoCase(trimmedLine, "get")) {
            // A later request of the same datagram: its head is the one that counts.
            inHead = true;
            head = CapturedHead();
            referer = userAgent = dest = range = accept = {};
            cookie.clear();
            const std::size_t space = trimmedLine.rfind(' ');
            const std::string_view version = space == std::string_view::npos ? std::string_view() : trimmedLine.substr(space + 1);
            if (startsWithNoCase(version, "http/"))
                head.httpVersion = QByteArray(version.data(), qsizetype(version.size()));
            continue;
        }
        if (!inHead)
            continue;
        if (trimmedLine.empty()) {
            inHead = false; // the head ends; a body or the next request follows
            continue;
        }
        const auto value = [&line](std::size_t nameLength) { return trimmed(line.substr(nameLength)); };
        if (startsWithNoCase(line, "referer:"))
            referer = value(8);
        else if (startsWithNoCase(line, "user-agent:"))
            userAgent = value(11);
        else if (startsWithNoCase(line, "sec-fetch-dest:"))
            dest = value(15);
        else if (startsWithNoCase(line, "range:"))
            range = value(6);
        else if (startsWithNoCase(line, "accept:"))
            accept = value(7);
        else if (startsWithNoCase(line, "cookie:")) {
            const std::string_view crumb = value(7);
            if (!crumb.empty()) {
                if (!cookie.isEmpty())
                    cookie += "; ";
                cookie += QByteArrayView(crumb.data(), qsizetype(crumb.size()));
            }
        }
    }
    head.headers = RequestHeaders::captured(QByteArrayView(referer.data(), qsizetype(referer.size())), cookie,
                                            QByteArrayView(userAgent.data(), qsizetype(userAgent.size())));
    const auto view = [](std::string_view v) { return QByteArrayView(v.data(), qsizetype(v.size())); };
    head.hints = FetchHints::captured(view(dest), view(range), view(accept));
    return head;
}

} // namespace quorrel
