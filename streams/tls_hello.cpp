#include "streams/tls_hello.h"

#include "capture/byte_cursor.h"

#include <algorithm>
#include <cstring>

namespace quorrel::streams::tls {

namespace {

constexpr std::uint16_t kExtServerName = 0;
constexpr std::uint16_t kExtEarlyData = 42;
constexpr std::uint16_t kExtSupportedVersions = 43;

// SHA-256 of "HelloRetryRequest" (RFC 8446 4.1.3).
constexpr std::array<std::uint8_t, 32> kHelloRetryRandom = {
    0xCF, 0x21, 0xAD, 0x74, 0xE5, 0x9A, 0x61, 0x11, 0xBE, 0x1D, 0x8C, 0x02, 0x1E, 0x65, 0xB8, 0x91,
    0xC2, 0xA2, 0x11, 0x16, 0x7A, 0xBB, 0x8C, 0x5E, 0x07, 0x9E, 0x09, 0xE2, 0xC8, 0xA8, 0x33, 0x9C,
};

std::optional<Bytes> vector8(ByteCursor &cursor)
{
    const auto length = cursor.u8();
    return length ? cursor.take(*length) : std::nullopt;
}

std::optional<Bytes> vector16(ByteCursor &cursor)
{
    const auto length = cursor.be16();
    return length ? cursor.take(*length) : std::nullopt;
}

bool readRandom(ByteCursor &cursor, std::array<std::uint8_t, 32> &random)
{
    const auto bytes = cursor.take(random.size());
    if (!bytes)
        return false;
    std::memcpy(random.data(), bytes->data(), random.size());
    return true;
}

// A host name is kept only when every byte is printable ASCII: it may end up in an address.
QByteArray hostName(Bytes name)
{
    if (name.empty() || name.size() > 255)
        return {};
    for (const std::byte b : name) {
        const auto c = static_cast<unsigned char>(b);
        if (c <= 0x20 || c >= 0x7F)
            return {};
    }
    return QByteArray(reinterpret_cast<const char *>(name.data()), qsizetype(name.size()));
}

// server_name (RFC 6066 3): a list of (type, name); the first host_name (type 0) counts.
QByteArray serverName(Bytes data)
{
    ByteCursor cursor(data);
    const auto list = vector16(cursor);
    if (!list)
        return {};
    ByteCursor names(*list);
    while (!names.atEnd()) {
        const auto type = names.u8();
        const auto name = vector16(names);
        if (!type || !name)
            return {};
        if (*type == 0)
            return hostName(*name);
    }
    return {};
}

// Extensions: (type, length, data) to the end of the message. False when they do not fit.
template <typename Visit>
bool forEachExtension(ByteCursor &cursor, Visit &&visit)
{
    if (cursor.atEnd())
        return true; // a hello without extensions (TLS 1.2 allows it)
    const auto block = vector16(cursor);
    if (!block || !cursor.atEnd())
        return false;
    ByteCursor extensions(*block);
    while (!extensions.atEnd()) {
        const auto type = extensions.be16();
        const auto data = vector16(extensions);
        if (!type || !data)
            return false;
        visit(*type, *data);
    }
    return true;
}

} // namespace

void HandshakeReader::append(Bytes bytes)
{
    if (m_failed || bytes.empty())
        return;
    if (m_pos > 0) {
        m_bytes.erase(m_bytes.begin(), m_bytes.begin() + std::ptrdiff_t(m_pos));
        m_pos = 0;
    }
    m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end());
}

std::optional<HandshakeReader::Message> HandshakeReader::next()
{
    if (m_failed)
        return std::nullopt;
    ByteCursor cursor(Bytes(m_bytes).subspan(m_pos));
    const auto type = cursor.u8();
    const auto high = cursor.u8();
    const auto low = cursor.be16();
    if (!type || !high || !low)
        return std::nullopt;
    const std::size_t length = std::size_t{*high} << 16 | *low;
    if (length > m_maxMessage) {
        m_failed = true;
        m_bytes.clear();
        m_pos = 0;
        return std::nullopt;
    }
    const auto body = cursor.take(length);
    if (!body)
        return std::nullopt;
    m_pos += 4 + length;
    return Message{*type, *body};
}

std::optional<ClientHelloInfo> parseClientHello(Bytes body)
{
    ByteCursor cursor(body);
    ClientHelloInfo info;
    if (!cursor.be16() || !readRandom(cursor, info.random))
        return std::nullopt;
    const auto sessionId = vector8(cursor);
    const auto suites = vector16(cursor);
    const auto compression = vector8(cursor);
    if (!sessionId || sessionId->size() > 32 || !suites || suites->empty() || suites->size() % 2 != 0 || !compression)
        return std::nullopt;
    ByteCursor offered(*suites);
    while (const auto code = offered.be16()) {
        const bool known = std::find(info.tls13Suites.begin(), info.tls13Suites.begin() + info.tls13SuiteCount, *code)
            != info.tls13Suites.begin() + info.tls13SuiteCount;
        if ((*code >> 8) == 0x13 && !known && info.tls13SuiteCount < info.tls13Suites.size())
            info.tls13Suites[info.tls13SuiteCount++] = *code;
    }
    const bool fits = forEachExtension(cursor, [&](std::uint16_t type, Bytes data) {
        if (type == kExtServerName && info.serverName.isEmpty())
            info.serverName = serverName(data);
        else if (type == kExtEarlyData)
            info.offersEarlyData = true;
    });
    if (!fits)
        return std::nullopt;
    return info;
}

std::optional<ServerHelloInfo> parseServerHello(Bytes body)
{
    ByteCursor cursor(body);
    ServerHelloInfo info;
    const auto legacyVersion = cursor.be16();
    if (!legacyVersion || !readRandom(cursor, info.random))
        return std::nullopt;
    const auto sessionId = vector8(cursor);
    const auto suite = cursor.be16();
    const auto compression = cursor.u8();
    if (!sessionId || sessionId->size() > 32 || !suite || !compression)
        return std::nullopt;
    info.version = *legacyVersion;
    info.cipherSuite = *suite;
    info.helloRetryRequest = info.random == kHelloRetryRandom;
    bool bad = false;
    const bool fits = forEachExtension(cursor, [&](std::uint16_t type, Bytes data) {
        if (type != kExtSupportedVersions)
            return;
        ByteCursor ext(data);
        const auto selected = ext.be16();
        if (!selected || !ext.atEnd())
            bad = true;
        else
            info.version = *selected;
    });
    if (!fits || bad)
        return std::nullopt;
    return info;
}

} // namespace quorrel::streams::tls
