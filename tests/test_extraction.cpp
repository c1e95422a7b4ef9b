// Request extraction: which payloads give an address, and which address. Payloads are
// handed over in vectors of exactly their size with no zero byte after them, so the text
// is never looked for past the payload's end.

#include "base/text_rules.h"
#include "capture/datagram.h"
#include "detection/request_extraction.h"

#include <QRandomGenerator>
#include <QtTest>

#include <cstring>
#include <vector>

using namespace quorrel;

namespace {

constexpr std::uint32_t kLocal = 0xC0A80114;  // 192.168.1.20
constexpr std::uint32_t kRemote = 0x5DB8D822; // 93.184.216.34

std::vector<std::byte> exactly(const QByteArray &b)
{
    std::vector<std::byte> v(static_cast<std::size_t>(b.size()));
    if (!v.empty())
        std::memcpy(v.data(), b.constData(), v.size());
    return v;
}

// QByteArray("...") would stop at an embedded zero byte.
template <std::size_t N>
QByteArray raw(const char (&s)[N])
{
    return QByteArray(s, N - 1);
}

const QByteArray kNone; // no address: a null QByteArray

// An IPv4 datagram carrying one TCP segment with Linux's timestamp option (NOP NOP TS,
// RFC 7323), as this machine sends every segment of a connection.
QByteArray linuxSegment(std::uint32_t source, std::uint32_t destination, const QByteArray &payload)
{
    QByteArray d;
    auto be16 = [&d](unsigned v) { d.append(char(v >> 8)).append(char(v)); };
    auto be32 = [&](std::uint32_t v) { be16(v >> 16); be16(v & 0xFFFF); };
    d.append('\x45').append('\0');
    be16(20 + 32 + unsigned(payload.size()));
    be32(0x1C464000);
    d.append('\x40').append('\x06');
    be16(0);
    be32(source);
    be32(destination);
    be16(51234);
    be16(80);
    be32(1);
    be32(1);
    d.append('\x80').append('\x18'); // data offset 8: 32 bytes
    be16(502);
    be32(0);
    d.append(QByteArray::fromHex("0101080a1234abcd00c0ffee"));
    return d + payload;
}

} // namespace

class TestExtraction : public QObject {
    Q_OBJECT

private slots:
    void extract_data();
    void extract();
    void extractRequest_data();
    void extractRequest();
    void linuxSegmentEndToEnd_data();
    void linuxSegmentEndToEnd();
    void requestHead_data();
    void requestHeadHints_data();
    void requestHeadHints();
    void requestHead();
    void streamRequestAddress_data();
    void streamRequestAddress();
    void streamRequestAddressOnRandomText();
};

void TestExtraction::extract_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QByteArray>("address");

    // The request and its Host header
    QTest::newRow("request line and Host")
        << raw("GET /x/y.mp3 HTTP/1.1\r\nHost: a.test\r\n\r\n") << raw("http://a.test/x/y.mp3");
    QTest::newRow("browser request")
        << raw("GET /music/song.mp3?id=7&x=%20 HTTP/1.1\r\nHost: cdn.a.test\r\nUser-Agent: Mozilla/5.0 (X11; Linux x86_64)\r\n"
               "Accept: */*\r\nAccept-Encoding: gzip, deflate\r\nConnection: keep-alive\r\n\r\n")
        << raw("http://cdn.a.test/music/song.mp3?id=7&x=%20");
    QTest::newRow("Host with port")
        << raw("GET /x HTTP/1.1\r\nHost: a.test:8080\r\n\r\n") << raw("http://a.test:8080/x");
    QTest::newRow("names in any case, values keep theirs")
        << raw("gEt /A/B.MP3 hTtP/1.0\r\nhOsT: A.Test\r\n\r\n") << raw("http://A.Test/A/B.MP3");
    QTest::newRow("Host before the request line")
        << raw("Host: a.test\r\nGET /x HTTP/1.1") << raw("http://a.test/x");
    QTest::newRow("blanks around the payload")
        << raw("\r\n\t GET /x HTTP/1.1\r\nHost: a.test\r\n\r\n  ") << raw("http://a.test/x");
    QTest::newRow("blanks around the target")
        << raw("GET   /x \t HTTP/1.1\r\nHost: a.test") << raw("http://a.test/x");
    QTest::newRow("blank inside the target kept")
        << raw("GET /a b.mp3 HTTP/1.1\r\nHost: a.test") << raw("http://a.test/a b.mp3");
    QTest::newRow("the byte before http/ is not part of the path")
        << raw("GET /xHTTP/1.1\r\nHost: a.test") << raw("http://a.test/");
    QTest::newRow("Host value trimmed")
        << raw("GET /x HTTP/1.1\r\nHost:\t a.test \r\nAccept: */*") << raw("http://a.test/x");
    QTest::newRow("blanks before a header line in the middle")
        << raw("GET /x HTTP/1.1\r\n   Host: a.test\r\nAccept: */*\r\n\r\n") << raw("http://a.test/x");
    QTest::newRow("an empty line between") << raw("GET /x HTTP/1.1\r\n\r\nHost: a.test") << raw("http://a.test/x");
    QTest::newRow("a bar splits like CR LF") << raw("GET /x HTTP/1.1|Host: a.test") << raw("http://a.test/x");

    // The last line is taken as it is, blanks and all
    QTest::newRow("blank before a last Host line") << raw("GET /x HTTP/1.1\r\n Host: a.test") << kNone;
    QTest::newRow("blank before a last request line") << raw("Host: a.test\r\n GET /x HTTP/1.1") << kNone;

    // Later lines overwrite earlier ones
    QTest::newRow("the last request line decides")
        << raw("GET /x HTTP/1.1\r\nHost: a.test\r\nGET /y HTTP/1.1\r\n") << raw("http://a.test/y");
    QTest::newRow("the last Host decides")
        << raw("GET /x HTTP/1.1\r\nHost: a.test\r\nHost: b.test\r\n") << raw("http://b.test/x");
    QTest::newRow("a later header line beginning with get wipes the path")
        << raw("GET /x HTTP/1.1\r\nHost: a.test\r\nGetaway: 1\r\n\r\n") << kNone;
    QTest::newRow("a later get line holding http/ gives its own path")
        << raw("GET /x HTTP/1.1\r\nHost: a.test\r\nget-from: http/y\r\n") << raw("http://a.test-from:");

    // Not a GET with a Host
    QTest::newRow("no protocol version") << raw("GET /x\r\nHost: a.test\r\n\r\n") << kNone;
    QTest::newRow("empty Host") << raw("GET /x HTTP/1.1\r\nHost:  \r\nAccept: */*") << kNone;
    QTest::newRow("no Host") << raw("GET /x HTTP/1.1\r\nAccept: */*\r\n\r\n") << kNone;
    QTest::newRow("POST") << raw("POST /form HTTP/1.1\r\nHost: a.test\r\n\r\nq=1") << kNone;
    QTest::newRow("HEAD") << raw("HEAD /x HTTP/1.1\r\nHost: a.test\r\n\r\n") << kNone;
    QTest::newRow("first half of a split request") << raw("GET /x/y.mp3 HTTP/1.1\r\n") << kNone;
    QTest::newRow("second half of a split request") << raw("Host: a.test\r\n\r\n") << kNone;
    QTest::newRow("no CR LF at all is one line") << raw("GET /x HTTP/1.1 Host: a.test") << kNone;
    QTest::newRow("a lone LF does not split") << raw("GET /x HTTP/1.1\nHost: a.test\n") << kNone;
    QTest::newRow("a lone CR does not split") << raw("GET /x HTTP/1.1\rHost: a.test\r") << kNone;
    QTest::newRow("a bar inside the target") << raw("GET /a|b HTTP/1.1\r\nHost: a.test") << kNone;
    QTest::newRow("TLS record") << raw("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03") << kNone;

    // Zero bytes, empty text
    QTest::newRow("a zero byte ends the text")
        << raw("GET /x HTTP/1.1\r\nHost: a.test\r\n\0GET /y HTTP/1.1\r\n") << raw("http://a.test/x");
    QTest::newRow("a zero byte before the Host line") << raw("GET /x HTTP/1.1\r\n\0Host: a.test\r\n") << kNone;
    QTest::newRow("a payload beginning with a zero byte") << raw("\0GET /x HTTP/1.1\r\nHost: a.test") << kNone;
    QTest::newRow("empty payload") << QByteArray() << kNone;
    QTest::newRow("blanks only") << raw(" \r\n\t ") << kNone;
    QTest::newRow("removed bytes only") << raw("\x01\x02\xb4\x05") << kNone;

    // Absolute targets (proxy form) are the address themselves
    QTest::newRow("proxy form") << raw("GET http://a.test/x HTTP/1.1\r\nHost: a.test\r\n\r\n") << raw("http://a.test/x");
    QTest::newRow("proxy form naming another host")
        << raw("GET HTTPS://b.test/x HTTP/1.1\r\nHost: a.test\r\n\r\n") << raw("HTTPS://b.test/x");
    QTest::newRow("proxy form without Host") << raw("GET Ftp://f.test/pub/x.zip HTTP/1.0\r\n\r\n")
                                             << raw("Ftp://f.test/pub/x.zip");
    QTest::newRow("proxy form on one line") << raw("GET http://a.test/x HTTP/1.1") << raw("http://a.test/x");
    QTest::newRow("one slash is not absolute")
        << raw("GET http:/x HTTP/1.1\r\nHost: a.test") << raw("http://a.testhttp:/x");
    QTest::newRow("other schemes are not absolute")
        << raw("GET gopher://g.test/ HTTP/1.1\r\nHost: a.test") << raw("http://a.testgopher://g.test/");

    // Removed bytes
    QTest::newRow("01 02 04 05 removed everywhere")
        << raw("G\x01" "E\x02T /\x04x\x05 HTTP/1.1\r\nHo\x05st: a.\x01test") << raw("http://a.test/x");
    QTest::newRow("removed bytes between the letters of GET")
        << raw("G\xb4" "E\x05\x04T /x HTTP/1.1\r\nHost: a.test") << raw("http://a.test/x");
    QTest::newRow("removal before CR LF joins the pair")
        << raw("GET /x HTTP/1.1\r\x05\nHost: a.test") << raw("http://a.test/x");
    QTest::newRow("other control bytes stay")
        << raw("GET /x\x03y\x7f HTTP/1.1\r\nHost: a.test") << raw("http://a.test/x\x03y\x7f");

    // Code page 936: a lead byte 81..FE and the byte after it are one character
    QTest::newRow("B4 at a character start removed")
        << raw("GET /\xb4x HTTP/1.1\r\nHost: a.test") << raw("http://a.test/x");
    QTest::newRow("B4 as a trail byte kept")
        << raw("GET /\xc4\xb4.mp3 HTTP/1.1\r\nHost: a.test") << raw("http://a.test/\xc4\xb4.mp3");
    QTest::newRow("01 after a lead byte kept")
        << raw("GET /\xc4\x01x HTTP/1.1\r\nHost: a.test") << raw("http://a.test/\xc4\x01x");
    QTest::newRow("01 after a removed B4 kept")
        << raw("GET /\xb4\x01x HTTP/1.1\r\nHost: a.test") << raw("http://a.test/\x01x");
    QTest::newRow("B4 B4 both removed")
        << raw("GET /\xb4\xb4x HTTP/1.1\r\nHost: a.test") << raw("http://a.test/x");
    QTest::newRow("the byte after a removed B4 begins a character")
        << raw("GET /\xb4\x81\x01x HTTP/1.1\r\nHost: a.test") << raw("http://a.test/\x81x");
    QTest::newRow("a CR as trail byte does not end the line")
        << raw("GET /\x81\r\nx HTTP/1.1\r\nHost: a.test") << raw("http://a.test/\x81\r\nx");
    QTest::newRow("a lead byte hides the CR LF after it")
        << raw("GET /x HTTP/1.1\xc4\r\nHost: a.test") << kNone;
    QTest::newRow("CR LF after a removed B4 ends the line")
        << raw("GET /x HTTP/1.1\xb4\r\nHost: a.test") << raw("http://a.test/x");
    QTest::newRow("a bar is found even as a trail byte")
        << raw("GET /x HTTP/1.1\x81|Host: a.test") << raw("http://a.test/x");
    QTest::newRow("a trail byte H is not lower-cased")
        << raw("GET /x\x81HTTP/1.1\r\nHost: a.test") << kNone;
    QTest::newRow("http/ may begin on a trail byte")
        << raw("GET /x\x81http/1.1\r\nHost: a.test") << raw("http://a.test/x");
    QTest::newRow("Chinese path")
        << raw("GET /\xd2\xf4\xc0\xd6/\xb8\xe8.mp3 HTTP/1.1\r\nHost: a.test") << raw("http://a.test/\xd2\xf4\xc0\xd6/\xb8\xe8.mp3");
    // Host and path together at most kMaxAddressBytes; a longer request is dropped, counted.
    const QByteArray longest = "/" + QByteArray(int(kMaxAddressBytes) - 7, 'p');
    QTest::newRow("an address of the longest length")
        << "GET " + longest + " HTTP/1.1\r\nHost: a.test" << "http://a.test" + longest;
    QTest::newRow("an address one byte longer") << "GET " + longest + "p HTTP/1.1\r\nHost: a.test" << kNone;
    QTest::newRow("a long host") << "GET /a.mp3 HTTP/1.1\r\nHost: " + QByteArray(int(kMaxAddressBytes), 'h') << kNone;
    QTest::newRow("absolute form, one byte too long")
        << "GET http://a.test" + longest + "p HTTP/1.1\r\nHost: a.test" << kNone;
}

void TestExtraction::extract()
{
    QFETCH(QByteArray, payload);
    QFETCH(QByteArray, address);

    const std::vector<std::byte> bytes = exactly(payload);
    const std::uint64_t droppedBefore = LongAddressesDropped();
    const std::optional<QByteArray> found = ExtractRequestBytes(bytes);
    QCOMPARE(found.has_value(), !address.isNull());
    if (found)
        QCOMPARE(*found, address);
    // Only a request too long for an address is counted as one.
    QCOMPARE(LongAddressesDropped() - droppedBefore, std::uint64_t(!found && payload.size() > kMaxAddressBytes));
}

void TestExtraction::extractRequest_data()
{
    QTest::addColumn<uint>("sourceIP");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("address");

    const QByteArray get = raw("GET /x.mp3 HTTP/1.1\r\nHost: a.test\r\n\r\n");
    const QString found = QStringLiteral("http://a.test/x.mp3");

    QTest::newRow("sent from here") << kLocal << get << found;
    QTest::newRow("incoming") << kRemote << get << QString();
    QTest::newRow("zero byte first") << kLocal << raw("\0GET /x.mp3 HTTP/1.1\r\nHost: a.test") << QString();
    QTest::newRow("empty payload") << kLocal << QByteArray() << QString();
    QTest::newRow("GBK path decoded") << kLocal << raw("GET /\xd2\xf4\xc0\xd6/\xb8\xe8.mp3 HTTP/1.1\r\nHost: a.test\r\n\r\n")
                                      << QString::fromUtf8("http://a.test/音乐/歌.mp3");
}

void TestExtraction::extractRequest()
{
    QFETCH(uint, sourceIP);
    QFETCH(QByteArray, payload);
    QFETCH(QString, address);

    const std::vector<std::byte> bytes = exactly(payload);
    const Extraction e = ExtractRequest(kLocal, sourceIP, bytes);
    QCOMPARE(e.address.has_value(), !address.isNull());
    if (e.address)
        QCOMPARE(*e.address, address);
}

// The whole road: a segment as Linux sends it, decoded, then examined. Its 12 bytes of
// TCP options lie between the fixed header and the request line.
void TestExtraction::linuxSegmentEndToEnd_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<QString>("address");

    const QByteArray get = raw("GET /a/b.mp3 HTTP/1.1\r\nHost: a.test\r\n\r\n");
    QTest::newRow("sent") << linuxSegment(kLocal, kRemote, get) << QStringLiteral("http://a.test/a/b.mp3");
    QTest::newRow("received") << linuxSegment(kRemote, kLocal, get) << QString();
    QTest::newRow("bare ACK") << linuxSegment(kLocal, kRemote, {}) << QString();
    // Whatever follows the IP total length is link-layer padding, never a request.
    QTest::newRow("bytes after the total length")
        << linuxSegment(kLocal, kRemote, {}) + raw("GET /x HTTP/1.1\r\nHost: a.test") << QString();
}

void TestExtraction::linuxSegmentEndToEnd()
{
    QFETCH(QByteArray, datagram);
    QFETCH(QString, address);

    const std::vector<std::byte> bytes = exactly(datagram);
    const Datagram d = DecodeDatagram(kLocal, bytes);
    const Extraction e = ExtractRequest(d.ip, d.source, d.data);
    QCOMPARE(e.address.has_value(), !address.isNull());
    if (e.address)
        QCOMPARE(*e.address, address);
}

// The headers a download of the address needs, from the same request's head.
void TestExtraction::requestHead_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QByteArray>("version");
    QTest::addColumn<QByteArray>("referer");
    QTest::addColumn<QByteArray>("cookie");
    QTest::addColumn<QByteArray>("userAgent");
    QTest::newRow("all three") << QByteArray("GET /a.mp3 HTTP/1.1\r\nHost: h.test\r\nUser-Agent: Mozilla/5.0 X\r\n"
                                             "Referer: http://h.test/page\r\nCookie: a=1; b=2\r\n\r\n")
                               << QByteArray("HTTP/1.1") << QByteArray("http://h.test/page") << QByteArray("a=1; b=2")
                               << QByteArray("Mozilla/5.0 X");
    QTest::newRow("none") << QByteArray("GET /a.mp3 HTTP/1.0\r\nHost: h.test\r\n\r\n") << QByteArray("HTTP/1.0")
                          << QByteArray() << QByteArray() << QByteArray();
    QTest::newRow("names in any case, values trimmed")
        << QByteArray("get /a.mp3 HTTP/1.1\r\nREFERER:   http://r/  \r\ncookie:x=1\r\nuser-AGENT: ua\r\n\r\n")
        << QByteArray("HTTP/1.1") << QByteArray("http://r/") << QByteArray("x=1") << QByteArray("ua");
    QTest::newRow("two Cookie lines are joined") << QByteArray("GET /a HTTP/1.1\r\nCookie: a=1\r\nCookie: b=2\r\n\r\n")
                                                 << QByteArray("HTTP/1.1") << QByteArray() << QByteArray("a=1; b=2")
                                                 << QByteArray();
    QTest::newRow("bare LF line ends") << QByteArray("GET /a HTTP/1.1\nReferer: http://r/\n\n") << QByteArray("HTTP/1.1")
                                       << QByteArray("http://r/") << QByteArray() << QByteArray();
    QTest::newRow("the last request of the datagram counts")
        << QByteArray("GET /a HTTP/1.1\r\nCookie: first=1\r\n\r\nGET /b HTTP/1.1\r\nReferer: http://second/\r\n\r\n")
        << QByteArray("HTTP/1.1") << QByteArray("http://second/") << QByteArray() << QByteArray();
    QTest::newRow("a body after the head is no header")
        << QByteArray("GET /a HTTP/1.1\r\nHost: h\r\n\r\nCookie: not=a-header\r\n") << QByteArray("HTTP/1.1")
        << QByteArray() << QByteArray() << QByteArray();
    QTest::newRow("a value with a lone CR is dropped, the others stay")
        << QByteArray("GET /a HTTP/1.1\r\nReferer: http://r/\rInjected: 1\r\nCookie: c=1\r\n\r\n") << QByteArray("HTTP/1.1")
        << QByteArray() << QByteArray("c=1") << QByteArray();
    QTest::newRow("up to the first zero byte") << QByteArray("GET /a HTTP/1.1\r\nCookie: c=1\0\r\nReferer: http://r/\r\n", 47)
                                               << QByteArray("HTTP/1.1") << QByteArray() << QByteArray("c=1") << QByteArray();
    QTest::newRow("a value too long is dropped")
        << QByteArray("GET /a HTTP/1.1\r\nCookie: c=" + QByteArray(9000, 'x') + "\r\nUser-Agent: ua\r\n\r\n")
        << QByteArray("HTTP/1.1") << QByteArray() << QByteArray() << QByteArray("ua");
    QTest::newRow("a header before any request line") << QByteArray("Cookie: c=1\r\n") << QByteArray() << QByteArray()
                                                       << QByteArray() << QByteArray();
    QTest::newRow("GBK bytes kept") << QByteArray("GET /a HTTP/1.1\r\nReferer: http://r/\xD6\xD0\xB4\r\n\r\n")
                                    << QByteArray("HTTP/1.1") << QByteArray("http://r/\xD6\xD0\xB4") << QByteArray()
                                    << QByteArray();
}

void TestExtraction::requestHead()
{
    QFETCH(QByteArray, payload);
    QFETCH(QByteArray, version);
    QFETCH(QByteArray, referer);
    QFETCH(QByteArray, cookie);
    QFETCH(QByteArray, userAgent);
    const CapturedHead head = ExtractRequestHead(Bytes(reinterpret_cast<const std::byte *>(payload.constData()), size_t(payload.size())));
    QCOMPARE(head.httpVersion, version);
    QCOMPARE(head.headers.referer, referer);
    QCOMPARE(head.headers.cookie, cookie);
    QCOMPARE(head.headers.userAgent, userAgent);
}

// What the request says it fetches, from the same head, each value checked and bounded.
void TestExtraction::requestHeadHints_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QByteArray>("dest");
    QTest::addColumn<QByteArray>("range");
    QTest::addColumn<QByteArray>("accept");
    QTest::newRow("all three") << QByteArray("GET /s/42 HTTP/1.1\r\nHost: h\r\nSec-Fetch-Dest: video\r\n"
                                             "Range: bytes=0-\r\nAccept: */*\r\n\r\n")
                               << QByteArray("video") << QByteArray("bytes=0-") << QByteArray("*/*");
    QTest::newRow("names in any case") << QByteArray("GET /i HTTP/1.1\r\nsec-fetch-DEST:image\r\nACCEPT:  image/webp \r\n\r\n")
                                       << QByteArray("image") << QByteArray() << QByteArray("image/webp");
    QTest::newRow("the last request counts")
        << QByteArray("GET /a HTTP/1.1\r\nSec-Fetch-Dest: audio\r\n\r\nGET /b HTTP/1.1\r\nRange: bytes=5-\r\n\r\n")
        << QByteArray() << QByteArray("bytes=5-") << QByteArray();
    QTest::newRow("a body is no header") << QByteArray("GET /a HTTP/1.1\r\n\r\nSec-Fetch-Dest: video\r\n")
                                         << QByteArray() << QByteArray() << QByteArray();
    QTest::newRow("a value too long is dropped")
        << QByteArray("GET /a HTTP/1.1\r\nAccept: image/" + QByteArray(300, 'x') + "\r\nSec-Fetch-Dest: image\r\n\r\n")
        << QByteArray("image") << QByteArray() << QByteArray();
    QTest::newRow("a control character drops the value")
        << QByteArray("GET /a HTTP/1.1\r\nSec-Fetch-Dest: vi\x01" "deo\r\n\r\n") << QByteArray() << QByteArray()
        << QByteArray();
}

void TestExtraction::requestHeadHints()
{
    QFETCH(QByteArray, payload);
    QFETCH(QByteArray, dest);
    QFETCH(QByteArray, range);
    QFETCH(QByteArray, accept);
    const CapturedHead head = ExtractRequestHead(Bytes(reinterpret_cast<const std::byte *>(payload.constData()), size_t(payload.size())));
    QCOMPARE(head.hints.dest, dest);
    QCOMPARE(head.hints.range, range);
    QCOMPARE(head.hints.accept, accept);
}

// A request read from a stream is cut by the same rule as a datagram holding its request
// line and Host header alone; the shortcut for printable text gives what the rule gives.
void TestExtraction::streamRequestAddress_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("host");

    QTest::newRow("plain") << QByteArray("/m/a.mp3?x=1&y=2#f") << QByteArray("a.test:8080");
    QTest::newRow("IPv6 host") << QByteArray("/a.mp3") << QByteArray("[::1]:8080");
    QTest::newRow("http/ in the path") << QByteArray("/x/http/a.mp3") << QByteArray("a.test");
    QTest::newRow("HTTP/ in the path") << QByteArray("/x/HtTp/a.mp3") << QByteArray("a.test");
    QTest::newRow("http:/ in the path") << QByteArray("/r?u=http://b.test/a.mp3") << QByteArray("a.test");
    QTest::newRow("absolute http") << QByteArray("http://b.test/a.mp3") << QByteArray("a.test");
    QTest::newRow("absolute FTP") << QByteArray("FTP://b.test/a.mp3") << QByteArray("a.test");
    QTest::newRow("absolute https") << QByteArray("https://b.test/a.mp3") << QByteArray("a.test");
    QTest::newRow("bar in the path") << QByteArray("/a|get /b.mp3") << QByteArray("a.test");
    QTest::newRow("bar in the host") << QByteArray("/a.mp3") << QByteArray("a.test|host: b.test");
    QTest::newRow("blank in the path") << QByteArray("/a b.mp3") << QByteArray("a.test");
    QTest::newRow("tab in the host") << QByteArray("/a.mp3") << QByteArray("a.test\t");
    QTest::newRow("removed bytes") << QByteArray("/a\x01\x02\x04\x05.mp3") << QByteArray("a\x05.test");
    QTest::newRow("GBK") << QByteArray("/\xD2\xF4\xC0\xD6/a.mp3") << QByteArray("a.test");
    QTest::newRow("B4 before a letter") << QByteArray("/\xB4" "a.mp3") << QByteArray("a.test");
    QTest::newRow("lone lead byte") << QByteArray("/a\x81") << QByteArray("a.test");
    QTest::newRow("CR LF in the path") << QByteArray("/a\r\nHost: b.test\r\n") << QByteArray("a.test");
    QTest::newRow("zero byte") << QByteArray("/a\0b.mp3", 8) << QByteArray("a.test");
    QTest::newRow("DEL") << QByteArray("/a\x7F.mp3") << QByteArray("a.test");
    QTest::newRow("empty path") << QByteArray() << QByteArray("a.test");
    QTest::newRow("empty host") << QByteArray("/a.mp3") << QByteArray();
    QTest::newRow("star") << QByteArray("*") << QByteArray("a.test");
}

void TestExtraction::streamRequestAddressOnRandomText()
{
    // The letters of the rule's words in both cases, its separators and the bytes it treats
    // apart, thrown together.
    const QByteArray alphabet("hHtTpP/:|gGeE .a\x01\x81\xB4\xD2\r\n\t", 24);
    QRandomGenerator random(7);
    const auto text = [&](int most) {
        QByteArray t;
        for (int n = int(random.bounded(most + 1)); n > 0; --n)
            t += alphabet[int(random.bounded(quint32(alphabet.size())))];
        return t;
    };
    for (int i = 0; i < 20000; ++i) {
        const QByteArray path = (random.bounded(2) ? QByteArray("/") : QByteArray()) + text(12);
        const QByteArray host = text(6);
        const QByteArray head = "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
        const std::optional<QByteArray> expected = ExtractRequestBytes(exactly(head));
        const std::optional<QByteArray> address = ExtractRequestBytes(path, host);
        QVERIFY2(address == expected, (path.toHex() + " " + host.toHex()).constData());
    }
}

void TestExtraction::streamRequestAddress()
{
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, host);
    const QByteArray head = "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
    const std::optional<QByteArray> expected = ExtractRequestBytes(exactly(head));
    const std::optional<QByteArray> address = ExtractRequestBytes(path, host);
    QCOMPARE(address.has_value(), expected.has_value());
    if (address)
        QCOMPARE(*address, *expected);
}

QTEST_APPLESS_MAIN(TestExtraction)
#include "test_extraction.moc"
