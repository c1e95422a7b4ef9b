// Datagram decoding: the capture event's values, taken from IPv4 datagrams built here byte
// by byte. Every decode row has truncated twins, the same datagram cut short, and every
// datagram is handed over in a vector of exactly its size, so a read past its end shows up
// under AddressSanitizer or valgrind.

#include "capture/byte_cursor.h"
#include "capture/datagram.h"

#include <QtTest>

#include <cstring>
#include <optional>
#include <vector>

using namespace quorrel;

namespace {

constexpr std::uint32_t kLocal = 0xC0A80114; // 192.168.1.20
constexpr std::uint32_t kRemote = 0x5DB8D822; // 93.184.216.34

constexpr int kIcmp = 1;
constexpr int kIgmp = 2;
constexpr int kTcp = 6;
constexpr int kUdp = 17;
constexpr int kEsp = 50;

// A datagram under construction, in network byte order.
class Builder {
public:
    Builder &u8(unsigned v)
    {
        m_bytes.append(static_cast<char>(v & 0xFF));
        return *this;
    }
    Builder &be16(unsigned v) { return u8(v >> 8).u8(v); }
    Builder &be32(std::uint32_t v) { return be16(v >> 16).be16(v); }
    Builder &bytes(const QByteArray &b)
    {
        m_bytes.append(b);
        return *this;
    }
    QByteArray take() const { return m_bytes; }

private:
    QByteArray m_bytes;
};

// NOP, NOP, timestamps (RFC 7323): what Linux puts on every segment of a connection.
QByteArray linuxTimestamps()
{
    return Builder().u8(1).u8(1).u8(8).u8(10).be32(0x1234ABCD).be32(0x00C0FFEE).take();
}

// A SYN's options: MSS, SACK permitted, timestamps, NOP, window scale: 20 bytes.
QByteArray synOptions()
{
    return Builder()
        .u8(2).u8(4).be16(1460)
        .u8(4).u8(2)
        .u8(8).u8(10).be32(1).be32(0)
        .u8(1)
        .u8(3).u8(3).u8(7)
        .take();
}

// IP option router alert (RFC 2113), as IGMP sends it.
QByteArray routerAlert() { return Builder().u8(0x94).u8(4).be16(0).take(); }

struct Ip {
    int protocol = kTcp;
    std::uint32_t source = kLocal;
    std::uint32_t destination = kRemote;
    QByteArray options;               // a multiple of 4 bytes
    std::optional<int> ihl;           // otherwise from the options
    std::optional<int> totalLength;   // otherwise header plus body
    int fragmentOffset = 0;           // in 8-byte units
};

QByteArray ipv4(const Ip &ip, const QByteArray &body)
{
    const int ihl = ip.ihl.value_or(5 + int(ip.options.size()) / 4);
    const int total = ip.totalLength.value_or(20 + int(ip.options.size()) + int(body.size()));
    return Builder()
        .u8(0x40 | ihl).u8(0)
        .be16(total)
        .be16(0x1C46).be16(0x4000 * (ip.fragmentOffset == 0) | ip.fragmentOffset)
        .u8(64).u8(ip.protocol).be16(0)
        .be32(ip.source).be32(ip.destination)
        .bytes(ip.options)
        .bytes(body)
        .take();
}

QByteArray tcp(int sourcePort, int destPort, const QByteArray &options, const QByteArray &payload,
               std::optional<int> dataOffset = {})
{
    const int offset = dataOffset.value_or(5 + int(options.size()) / 4);
    return Builder()
        .be16(sourcePort).be16(destPort)
        .be32(0x01020304).be32(0x05060708)
        .u8(offset << 4).u8(0x18) // PSH ACK
        .be16(502).be16(0).be16(0)
        .bytes(options)
        .bytes(payload)
        .take();
}

QByteArray udp(int sourcePort, int destPort, const QByteArray &payload)
{
    return Builder().be16(sourcePort).be16(destPort).be16(8 + int(payload.size())).be16(0).bytes(payload).take();
}

QByteArray icmp(int type, int code, const QByteArray &rest)
{
    return Builder().u8(type).u8(code).be16(0).bytes(rest).take();
}

const QByteArray kGet = QByteArrayLiteral("GET /a/b.mp3 HTTP/1.1\r\nHost: a.test\r\n\r\n");

std::vector<std::byte> exactly(const QByteArray &b)
{
    std::vector<std::byte> v(static_cast<std::size_t>(b.size()));
    if (!v.empty())
        std::memcpy(v.data(), b.constData(), v.size());
    return v;
}

QByteArray toByteArray(Bytes b)
{
    return QByteArray(reinterpret_cast<const char *>(b.data()), static_cast<qsizetype>(b.size()));
}

// What a decode row expects. ipHeaderSize and protocol describe the full datagram, for
// the twins.
struct Row {
    QByteArray datagram;
    QString proto;
    QString source;
    QString destination;
    QString sourcePort;
    QString destPort;
    int headerSize = 0;
    int length = 0; // where the datagram ends
    QByteArray data;
    int protocol = 0;
    int ipHeaderSize = 20;
};

void addRow(const QString &name, const Row &r)
{
    QTest::newRow(qPrintable(name)) << r.datagram << r.proto << r.source << r.destination << r.sourcePort
                                    << r.destPort << r.headerSize << r.length << r.data;
}

// The datagram cut after `cut` bytes: every field whose bytes lie beyond the cut reads as
// zero, and the payload is what is left after the headers. Cuts never split a field here;
// rows of their own do that.
Row cutShort(const Row &full, int cut)
{
    Row t;
    t.datagram = full.datagram.left(cut);
    t.length = cut;
    const int protocol = cut >= 10 ? full.protocol : 0;
    t.proto = cut >= 10 ? full.proto : QStringLiteral("IP");
    t.source = cut >= 16 ? full.source : QStringLiteral("0.0.0.0");
    t.destination = cut >= 20 ? full.destination : QStringLiteral("0.0.0.0");
    const int at = full.ipHeaderSize; // where the transport header begins
    t.sourcePort = t.destPort = QStringLiteral("0");
    switch (protocol) {
    case kTcp:
    case kUdp:
        if (cut >= at + 2)
            t.sourcePort = full.sourcePort;
        if (cut >= at + 4)
            t.destPort = full.destPort;
        t.headerSize = protocol == kUdp ? at + 8 : cut >= at + 13 ? full.headerSize : at + 20;
        break;
    case kIcmp:
        if (cut >= at + 1)
            t.sourcePort = full.sourcePort;
        if (cut >= at + 2)
            t.destPort = full.destPort;
        t.headerSize = at + 8;
        break;
    default:
        t.headerSize = at;
        break;
    }
    t.data = cut > t.headerSize ? full.datagram.mid(t.headerSize, cut - t.headerSize) : QByteArray();
    return t;
}

bool splitsAField(const Row &full, int cut)
{
    if ((cut > 12 && cut < 16) || (cut > 16 && cut < 20))
        return true; // an address
    const int at = full.ipHeaderSize;
    const bool ports = full.protocol == kTcp || full.protocol == kUdp;
    return ports && (cut == at + 1 || cut == at + 3);
}

// The row, then its twins: cut inside the IP header (before and after the protocol,
// inside the addresses' range, inside IP options), inside the transport header (before
// and after the ports and the data offset), inside TCP options, at the end of the headers,
// and inside the payload.
void addWithTwins(const char *name, Row full)
{
    full.length = full.length ? full.length : int(full.datagram.size());
    addRow(QString::fromLatin1(name), full);
    const int at = full.ipHeaderSize;
    const int candidates[] = {1, 3, 9, 10, 16, 20, 22, at, at + 1, at + 4, at + 12, at + 13, at + 22,
                              full.headerSize - 1, full.headerSize, full.headerSize + 1, full.length - 1};
    QList<int> cuts;
    for (int cut : candidates)
        if (cut > 0 && cut < full.length && !cuts.contains(cut) && !splitsAField(full, cut))
            cuts.append(cut);
    std::sort(cuts.begin(), cuts.end());
    for (int cut : cuts)
        addRow(QStringLiteral("%1, cut at %2").arg(QString::fromLatin1(name)).arg(cut), cutShort(full, cut));
}

Row tcpRow(const QByteArray &datagram, int ipHeaderSize, int tcpHeaderSize, const QString &sp,
           const QString &dp, const QByteArray &payload)
{
    Row r;
    r.datagram = datagram;
    r.proto = QStringLiteral("TCP");
    r.source = QStringLiteral("192.168.1.20");
    r.destination = QStringLiteral("93.184.216.34");
    r.sourcePort = sp;
    r.destPort = dp;
    r.headerSize = ipHeaderSize + tcpHeaderSize;
    r.data = payload;
    r.protocol = kTcp;
    r.ipHeaderSize = ipHeaderSize;
    return r;
}

} // namespace

class TestCapture : public QObject {
    Q_OBJECT

private slots:
    void decode_data();
    void decode();
    void textIsBuiltOnDemand();

    void protocolName_data();
    void protocolName();

    void dottedAddress_data();
    void dottedAddress();
    void parseRejects_data();
    void parseRejects();

    void cursorReadsInOrder();
    void cursorFailedReadGoesToEnd();
    void cursorHugeLengthDoesNotWrap();
};

void TestCapture::decode_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<QString>("proto");
    QTest::addColumn<QString>("sourceIP");
    QTest::addColumn<QString>("destIP");
    QTest::addColumn<QString>("sourcePort");
    QTest::addColumn<QString>("destPort");
    QTest::addColumn<int>("headerSize");
    QTest::addColumn<int>("length");
    QTest::addColumn<QByteArray>("data");

    const QString zero = QStringLiteral("0");

    // TCP
    addWithTwins("TCP request with Linux timestamps",
                 tcpRow(ipv4({}, tcp(51234, 80, linuxTimestamps(), kGet)), 20, 32, "51234", "80", kGet));
    addWithTwins("TCP without options", tcpRow(ipv4({}, tcp(40000, 8080, {}, kGet)), 20, 20, "40000", "8080", kGet));
    addWithTwins("TCP SYN with a full set of options",
                 tcpRow(ipv4({}, tcp(40000, 443, synOptions(), {})), 20, 40, "40000", "443", {}));
    addWithTwins("TCP header of 60 bytes",
                 tcpRow(ipv4({}, tcp(1, 65535, QByteArray(40, '\x01'), "xyz")), 20, 60, "1", "65535", "xyz"));
    {
        Ip ip;
        ip.options = routerAlert();
        addWithTwins("IP options before TCP with timestamps",
                     tcpRow(ipv4(ip, tcp(51234, 80, linuxTimestamps(), kGet)), 24, 32, "51234", "80", kGet));
    }
    {
        Ip ip;
        ip.ihl = 3;
        addWithTwins("IHL below 5 counts as 5", tcpRow(ipv4(ip, tcp(51234, 80, {}, kGet)), 20, 20, "51234", "80", kGet));
    }
    addWithTwins("TCP data offset below 5 counts as 5",
                 tcpRow(ipv4({}, tcp(51234, 80, {}, kGet, 2)), 20, 20, "51234", "80", kGet));
    addWithTwins("TCP data offset 0 counts as 5",
                 tcpRow(ipv4({}, tcp(51234, 80, {}, kGet, 0)), 20, 20, "51234", "80", kGet));
    {
        // A later fragment carries no TCP header, but nothing in the datagram says
        // where the first one went: it is read as though one began it.
        Ip ip;
        ip.fragmentOffset = 185;
        const QByteArray rest = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
        addWithTwins("later fragment read as a TCP header",
                     tcpRow(ipv4(ip, rest), 20, 20, "16706", "17220", rest.mid(20)));
    }

    // UDP, ICMP, others
    {
        Ip ip;
        ip.protocol = kUdp;
        const QByteArray query = QByteArray::fromHex("abcd01000001000000000000");
        Row r;
        r.datagram = ipv4(ip, udp(40000, 53, query));
        r.proto = "UDP";
        r.source = "192.168.1.20";
        r.destination = "93.184.216.34";
        r.sourcePort = "40000";
        r.destPort = "53";
        r.headerSize = 28;
        r.data = query;
        r.protocol = kUdp;
        addWithTwins("UDP query", r);

        Ip withOptions = ip;
        withOptions.options = routerAlert();
        r.datagram = ipv4(withOptions, udp(65535, 0, query));
        r.sourcePort = "65535";
        r.destPort = "0";
        r.headerSize = 32;
        r.ipHeaderSize = 24;
        addWithTwins("UDP after IP options, highest port", r);
    }
    {
        Ip ip;
        ip.protocol = kIcmp;
        const QByteArray echo = Builder().be16(0x0B0B).be16(1).bytes("abcdefgh").take();
        Row r;
        r.datagram = ipv4(ip, icmp(8, 0, echo));
        r.proto = "ICMP";
        r.source = "192.168.1.20";
        r.destination = "93.184.216.34";
        r.sourcePort = "8";
        r.destPort = "0";
        r.headerSize = 28;
        r.data = "abcdefgh";
        r.protocol = kIcmp;
        addWithTwins("ICMP echo request", r);

        // Port unreachable quotes the offending datagram's IP header and 8 bytes.
        Ip incoming;
        incoming.protocol = kUdp;
        incoming.source = kRemote;
        incoming.destination = kLocal;
        const QByteArray quoted = ipv4(incoming, udp(53, 40000, {})).left(28);
        r.datagram = ipv4(ip, icmp(3, 3, QByteArray(4, '\0') + quoted));
        r.sourcePort = "3";
        r.destPort = "3";
        r.data = quoted;
        addWithTwins("ICMP port unreachable", r);
    }
    {
        Ip ip;
        ip.protocol = kIgmp;
        ip.options = routerAlert();
        ip.destination = 0xE00000FB; // 224.0.0.251
        const QByteArray report = Builder().u8(0x16).u8(0).be16(0).be32(0xE00000FB).take();
        Row r;
        r.datagram = ipv4(ip, report);
        r.proto = "IGMP";
        r.source = "192.168.1.20";
        r.destination = "224.0.0.251";
        r.sourcePort = zero;
        r.destPort = zero;
        r.headerSize = 24;
        r.data = report;
        r.protocol = kIgmp;
        r.ipHeaderSize = 24;
        addWithTwins("IGMP report after router alert", r);
    }
    {
        Ip ip;
        ip.protocol = kEsp;
        const QByteArray esp = QByteArray::fromHex("00001001000000070102030405060708");
        Row r;
        r.datagram = ipv4(ip, esp);
        r.proto = QString();
        r.source = "192.168.1.20";
        r.destination = "93.184.216.34";
        r.sourcePort = zero;
        r.destPort = zero;
        r.headerSize = 20;
        r.data = esp;
        r.protocol = kEsp;
        addWithTwins("protocol 50 has no name and no transport header", r);
    }

    // The IP total length
    {
        // A bare ACK is 40 bytes; Ethernet pads the frame to its 46-byte minimum payload.
        const QByteArray ack = ipv4({}, tcp(51234, 80, {}, {}));
        Row r = tcpRow(ack + QByteArray(6, '\0'), 20, 20, "51234", "80", {});
        r.length = 40;
        addWithTwins("Ethernet padding after a bare ACK", r);

        const QByteArray small = ipv4({}, tcp(51234, 80, {}, "hello"));
        r = tcpRow(small + QByteArray(15, '\xEE'), 20, 20, "51234", "80", "hello");
        r.length = 45;
        addWithTwins("padding after a short payload", r);
    }
    {
        Ip ip;
        ip.totalLength = 0;
        addWithTwins("total length 0 from segmentation offload",
                     tcpRow(ipv4(ip, tcp(51234, 80, linuxTimestamps(), kGet)), 20, 32, "51234", "80", kGet));
        ip.totalLength = 9000;
        addWithTwins("total length beyond the bytes received",
                     tcpRow(ipv4(ip, tcp(51234, 80, linuxTimestamps(), kGet)), 20, 32, "51234", "80", kGet));
        ip.totalLength = 12;
        addWithTwins("total length below the IP header",
                     tcpRow(ipv4(ip, tcp(51234, 80, {}, kGet)), 20, 20, "51234", "80", kGet));
        ip.totalLength = 20;
        Row r = tcpRow(ipv4(ip, tcp(51234, 80, {}, kGet)), 20, 20, "0", "0", {});
        r.length = 20;
        addWithTwins("total length equal to the IP header", r);
        ip.totalLength = 30;
        r = tcpRow(ipv4(ip, tcp(51234, 80, {}, kGet)), 20, 20, "51234", "80", {});
        r.length = 30;
        addWithTwins("total length inside the TCP header", r);
        ip.totalLength = 45;
        r = tcpRow(ipv4(ip, tcp(51234, 80, {}, kGet)), 20, 20, "51234", "80", "GET /");
        r.length = 45;
        addWithTwins("total length inside the payload", r);
    }

    // Cut short by hand, fields split on purpose.
    {
        Row r = tcpRow(ipv4({}, tcp(8080, 80, {}, kGet)).left(30), 20, 20, "8080", "80", {});
        r.length = 30;
        addRow("TCP datagram of 30 bytes", r);
        r.datagram = r.datagram.left(21);
        r.sourcePort = "7936"; // 0x1F90 with its second byte missing
        r.destPort = "0";
        r.length = 21;
        addRow("source port cut after its first byte", r);
        r.datagram = r.datagram.left(14);
        r.source = "192.168.0.0";
        r.destination = "0.0.0.0";
        r.sourcePort = "0";
        r.length = 14;
        addRow("source address cut after two bytes", r);
        addRow("nothing received", {QByteArray(), "IP", "0.0.0.0", "0.0.0.0", "0", "0", 20, 0, {}});
    }
}

void TestCapture::decode()
{
    QFETCH(QByteArray, datagram);
    QFETCH(QString, proto);
    QFETCH(QString, sourceIP);
    QFETCH(QString, destIP);
    QFETCH(QString, sourcePort);
    QFETCH(QString, destPort);
    QFETCH(int, headerSize);
    QFETCH(int, length);
    QFETCH(QByteArray, data);

    const std::vector<std::byte> bytes = exactly(datagram);
    const Datagram d = DecodeDatagram(kLocal, bytes);

    QCOMPARE(d.ipText(), QStringLiteral("192.168.1.20"));
    QCOMPARE(d.proto(), proto);
    QCOMPARE(d.sourceIP(), sourceIP);
    QCOMPARE(d.destIP(), destIP);
    QCOMPARE(d.SourcePort(), sourcePort);
    QCOMPARE(d.DestPort(), destPort);
    QCOMPARE(d.header_size, headerSize);
    QCOMPARE(toByteArray(d.data), data);
    QCOMPARE(d.data_size, int(data.size()));

    // Both views lie inside the bytes given; nothing is copied.
    QCOMPARE(int(d.header.size()), length);
    QVERIFY(d.header.data() == bytes.data());
    if (!d.data.empty()) {
        QVERIFY(d.data.data() == bytes.data() + headerSize);
        QVERIFY(d.data.data() + d.data.size() <= bytes.data() + bytes.size());
    }
}

// The numbers are there at once; the text is made only when asked for, from them.
void TestCapture::textIsBuiltOnDemand()
{
    const std::vector<std::byte> bytes = exactly(ipv4({}, tcp(51234, 80, {}, kGet)));
    const Datagram d = DecodeDatagram(0x7F000001, bytes);
    QCOMPARE(d.ip, 0x7F000001u);
    QCOMPARE(int(d.protocol), 6);
    QCOMPARE(d.source, kLocal);
    QCOMPARE(d.destination, kRemote);
    QCOMPARE(int(d.sourcePort), 51234);
    QCOMPARE(int(d.destPort), 80);
    QCOMPARE(d.ipText(), QStringLiteral("127.0.0.1"));
}

void TestCapture::protocolName_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("name");

    QTest::newRow("0") << 0 << "IP";
    QTest::newRow("1") << 1 << "ICMP";
    QTest::newRow("2") << 2 << "IGMP";
    QTest::newRow("3") << 3 << "GGP";
    QTest::newRow("6") << 6 << "TCP";
    QTest::newRow("12") << 12 << "PUP";
    QTest::newRow("17") << 17 << "UDP";
    QTest::newRow("22") << 22 << "IDP";
    QTest::newRow("77") << 77 << "NP";
    QTest::newRow("255") << 255 << "RAW";
    QTest::newRow("4 (IP in IP)") << 4 << QString();
    QTest::newRow("41 (IPv6)") << 41 << QString();
    QTest::newRow("50 (ESP)") << 50 << QString();
    QTest::newRow("58 (ICMPv6)") << 58 << QString();
    QTest::newRow("254") << 254 << QString();
    QTest::newRow("256 is no protocol byte") << 256 << QString();
    QTest::newRow("-1") << -1 << QString();
}

void TestCapture::protocolName()
{
    QFETCH(int, number);
    QFETCH(QString, name);
    QCOMPARE(ProtocolName(number), name);
    QCOMPARE(ProtocolName(number).isNull(), name.isNull());
}

void TestCapture::dottedAddress_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<uint>("address");

    QTest::newRow("lowest") << "0.0.0.0" << 0u;
    QTest::newRow("highest") << "255.255.255.255" << 0xFFFFFFFFu;
    QTest::newRow("loopback") << "127.0.0.1" << 0x7F000001u;
    QTest::newRow("first byte first") << "192.168.1.20" << kLocal;
    QTest::newRow("every width") << "1.22.203.9" << 0x0116CB09u;
}

void TestCapture::dottedAddress()
{
    QFETCH(QString, text);
    QFETCH(uint, address);
    QCOMPARE(DottedAddress(address), text);
    std::uint32_t parsed = 0x12345678;
    QVERIFY(ParseDottedAddress(text, parsed));
    QCOMPARE(parsed, address);
}

void TestCapture::parseRejects_data()
{
    QTest::addColumn<QString>("text");

    QTest::newRow("empty") << "";
    QTest::newRow("three parts") << "1.2.3";
    QTest::newRow("five parts") << "1.2.3.4.5";
    QTest::newRow("empty part") << "1..3.4";
    QTest::newRow("empty last part") << "1.2.3.";
    QTest::newRow("leading dot") << ".1.2.3";
    QTest::newRow("over 255") << "256.1.1.1";
    QTest::newRow("four digits") << "0001.2.3.4";
    QTest::newRow("trailing blank") << "1.2.3.4 ";
    QTest::newRow("leading blank") << " 1.2.3.4";
    QTest::newRow("trailing garbage") << "1.2.3.4x";
    QTest::newRow("port") << "1.2.3.4:80";
    QTest::newRow("sign") << "1.2.3.+4";
    QTest::newRow("minus") << "1.2.-3.4";
    QTest::newRow("hex") << "0x7f.0.0.1";
    QTest::newRow("full-width digit") << QString::fromUtf8("\xEF\xBC\x91.2.3.4");
    QTest::newRow("Arabic-Indic digit") << QString::fromUtf8("\xD9\xA3.2.3.4");
}

void TestCapture::parseRejects()
{
    QFETCH(QString, text);
    std::uint32_t address = 0x12345678;
    QVERIFY(!ParseDottedAddress(text, address));
    QCOMPARE(address, 0x12345678u);
}

void TestCapture::cursorReadsInOrder()
{
    const std::vector<std::byte> bytes = exactly(QByteArray::fromHex("450001020304050607"));
    ByteCursor c(bytes);
    QCOMPARE(c.u8(), std::optional<std::uint8_t>(0x45));
    QCOMPARE(c.be16(), std::optional<std::uint16_t>(0x0001));
    QCOMPARE(c.be32(), std::optional<std::uint32_t>(0x02030405));
    const auto rest = c.take(2);
    QVERIFY(rest.has_value());
    QCOMPARE(toByteArray(*rest), QByteArray::fromHex("0607"));
    QVERIFY(c.atEnd());
}

// A field that is not all there is missing, and so is everything after it.
void TestCapture::cursorFailedReadGoesToEnd()
{
    const std::vector<std::byte> bytes = exactly(QByteArray::fromHex("0102030405"));
    ByteCursor c(bytes);
    QVERIFY(c.skip(2));
    QCOMPARE(c.be32(), std::nullopt);
    QVERIFY(c.atEnd());
    QCOMPARE(c.u8(), std::nullopt);
    QCOMPARE(c.remaining(), std::size_t{0});
    QVERIFY(c.rest().empty());
}

void TestCapture::cursorHugeLengthDoesNotWrap()
{
    const std::vector<std::byte> bytes = exactly("abcd");
    ByteCursor c(bytes);
    QVERIFY(c.skip(1));
    QCOMPARE(c.take(SIZE_MAX), std::nullopt);
    QVERIFY(c.atEnd());
    ByteCursor d(bytes);
    QVERIFY(!d.skip(SIZE_MAX - 1));
    QCOMPARE(d.take(0).has_value(), true);
}

QTEST_APPLESS_MAIN(TestCapture)
#include "test_capture.moc"
