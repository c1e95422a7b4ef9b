#include "streams/stream_start.h"

namespace quorrel::streams {

namespace {
// Methods are tokens; the ones in use are upper-case letters, with "-" in a few WebDAV
// and SSDP names. The longest registered ones are under 20 characters.
constexpr std::size_t kLongestMethod = 20;

bool isMethodChar(unsigned char c) { return (c >= 'A' && c <= 'Z') || c == '-' || c == '_'; }

// The first byte of a request target: origin form "/", asterisk form "*", absolute form
// "http:", authority form (CONNECT) "host:port".
bool isTargetStart(unsigned char c)
{
    return c == '/' || c == '*' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
        || c == '[';
}
} // namespace

StreamStart ClassifyStreamStart(Bytes first)
{
    if (first.empty())
        return StreamStart::NeedMore;
    auto at = [&first](std::size_t i) { return static_cast<unsigned char>(first[i]); };

    if (at(0) == 0x16) {
        // ContentType handshake, legacy_record_version 3.x, a length, then the handshake
        // message type client_hello (1).
        if (first.size() > 1 && at(1) != 0x03)
            return StreamStart::Neither;
        if (first.size() > 2 && at(2) > 0x04)
            return StreamStart::Neither;
        if (first.size() < 6)
            return StreamStart::NeedMore;
        const unsigned length = at(3) << 8 | at(4);
        if (length < 4 || at(5) != 0x01)
            return StreamStart::Neither;
        return StreamStart::TlsClientHello;
    }

    std::size_t i = 0;
    while (i < first.size() && i <= kLongestMethod && isMethodChar(at(i)))
        ++i;
    if (i == 0 || i > kLongestMethod)
        return StreamStart::Neither;
    if (i == first.size())
        return StreamStart::NeedMore;
    if (at(i) != ' ')
        return StreamStart::Neither;
    if (i + 1 == first.size())
        return StreamStart::NeedMore;
    return isTargetStart(at(i + 1)) ? StreamStart::Http : StreamStart::Neither;
}

} // namespace quorrel::streams
