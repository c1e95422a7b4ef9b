// Datagram decoding: the capture event's values, taken from IPv4 datagrams built here byte
// by byte. Every decode row has truncated twins, the same datagram cut short, and every
// datagram is handed over in a vector of exactly its size, so a read past its end shows up
// under AddressSanitizer or valgrind.

#include "capture/byte_cursor.h"
#include "capture/datagram.h"
#include "capture/flow_table.h"
#include "capture/kernel_filter.h"
#include "capture/link_layer.h"
#include "capture/loss_report.h"
#include "capture/pcapng_secrets.h"

#include <pcap/pcap.h>

#include <QTemporaryDir>
#include <QtTest>

#include "pcapng_builder.h"

#include <cstring>
#include <optional>
#include <vector>

using namespace quorrel;
using quorrel::test::Pcapng;

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

// The payload as decoded, and both views lying inside the bytes given: nothing is copied.
void checkPayloadViews(const Datagram &d, const std::vector<std::byte> &bytes, int headerSize, int length,
                       const QByteArray &data)
{
    QCOMPARE(d.header_size, headerSize);
    QCOMPARE(toByteArray(d.data), data);
    QCOMPARE(d.data_size, int(data.size()));
    QCOMPARE(int(d.header.size()), length);
    QVERIFY(d.header.data() == bytes.data());
    if (!d.data.empty()) {
        QVERIFY(d.data.data() == bytes.data() + headerSize);
        QVERIFY(d.data.data() + d.data.size() <= bytes.data() + bytes.size());
    }
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

// IPv6 --------------------------------------------------------------------------------

const QByteArray kLocal6 = QByteArray::fromHex("fd000000000000000000000000000014");  // fd00::14
const QByteArray kRemote6 = QByteArray::fromHex("20010db8000000000000000000000022"); // 2001:db8::22
constexpr int kHopByHop = 0;
constexpr int kRouting = 43;
constexpr int kFragment = 44;
constexpr int kDestinationOptions = 60;
constexpr int kIcmpV6 = 58;
constexpr int kNoNextHeader = 59;

IpAddress local6()
{
    std::array<std::uint8_t, 16> b{};
    std::memcpy(b.data(), kLocal6.constData(), 16);
    return IpAddress::v6(b);
}

// An IPv6 datagram: the fixed header, then whatever follows it (extension headers, the
// transport header, the payload).
QByteArray ipv6(int next, const QByteArray &rest, std::optional<int> payloadLength = {},
                const QByteArray &source = kLocal6, const QByteArray &destination = kRemote6)
{
    return Builder()
        .be32(0x60012345) // version 6, traffic class 0, a flow label
        .be16(payloadLength.value_or(int(rest.size())))
        .u8(next).u8(64)
        .bytes(source).bytes(destination)
        .bytes(rest)
        .take();
}

// Hop-by-hop, routing or destination options: next header, length in 8-byte units after
// the first 8, then options (PadN here, or anything: the walk does not read them).
QByteArray extension(int next, int units)
{
    Builder b;
    b.u8(next).u8(units).u8(1).u8(4 + 8 * units).be32(0);
    for (int i = 0; i < units; ++i)
        b.be32(0).be32(0);
    return b.take();
}

QByteArray fragmentHeader(int next, int offsetUnits, bool more)
{
    return Builder().u8(next).u8(0).be16(offsetUnits << 3 | (more ? 1 : 0)).be32(0xCAFEF00D).take();
}

// What an IPv6 decode row expects, and the layout its twins are worked out from.
struct Row6 {
    QByteArray datagram;
    int protocol = 0;
    QString sourcePort = QStringLiteral("0");
    QString destPort = QStringLiteral("0");
    int headerSize = 40;
    int length = 0;
    QByteArray data;
    struct Ext {
        int type;
        int start;
        int size;
    };
    QList<Ext> exts;           // the extension headers, in order
    int transportAt = 40;      // where the walk ends
    bool laterFragment = false;
};

void addRow6(const QString &name, const Row6 &r)
{
    QTest::newRow(qPrintable(name)) << r.datagram << r.protocol << r.sourcePort << r.destPort << r.headerSize
                                    << r.length << r.data;
}

// The IPv6 datagram cut after `cut` bytes: the fixed header's fields beyond the cut read
// as zero (a missing next header is 0: hop-by-hop, which is then missing too); the walk
// stops at the first extension header the cut reaches, taking the headers to run to its
// declared end (8 bytes when its length is missing too); a transport header reached reads
// as IPv4's does.
Row6 cutShort6(const Row6 &full, int cut)
{
    Row6 t;
    t.datagram = full.datagram.left(cut);
    t.length = cut;
    const auto finish = [&](int headerSize) {
        t.headerSize = headerSize;
        t.data = cut > headerSize ? full.datagram.mid(headerSize, cut - headerSize) : QByteArray();
        return t;
    };
    if (cut < 7) {
        t.protocol = kHopByHop;
        return finish(48);
    }
    int protocol = std::to_integer<int>(std::byte(full.datagram[6]));
    for (const Row6::Ext &e : full.exts) {
        const bool fragment = e.type == kFragment;
        if (fragment ? cut < e.start + 8 : cut < e.start + 2) {
            t.protocol = e.type;
            return finish(e.start + 8);
        }
        if (cut < e.start + e.size) {
            t.protocol = e.type;
            return finish(e.start + e.size);
        }
        protocol = std::to_integer<int>(std::byte(full.datagram[e.start]));
    }
    t.protocol = protocol;
    const int at = full.transportAt;
    if (full.laterFragment)
        return finish(at);
    if (protocol == kTcp || protocol == kUdp) {
        if (cut >= at + 2)
            t.sourcePort = full.sourcePort;
        if (cut >= at + 4)
            t.destPort = full.destPort;
        return finish(protocol == kUdp ? at + 8 : cut >= at + 13 ? full.headerSize : at + 20);
    }
    return finish(at);
}

bool splitsAField6(const Row6 &full, int cut)
{
    if ((cut > 8 && cut < 24) || (cut > 24 && cut < 40))
        return true; // an address
    const bool ports = !full.laterFragment && (full.protocol == kTcp || full.protocol == kUdp);
    return ports && (cut == full.transportAt + 1 || cut == full.transportAt + 3);
}

void addWithTwins6(const char *name, Row6 full)
{
    full.length = full.length ? full.length : int(full.datagram.size());
    addRow6(QString::fromLatin1(name), full);
    QList<int> candidates{1, 6, 7, 8, 24, 39, 40, 41, full.transportAt, full.transportAt + 1, full.transportAt + 4,
                          full.transportAt + 12, full.transportAt + 13, full.headerSize - 1, full.headerSize,
                          full.headerSize + 1, full.length - 1};
    for (const Row6::Ext &e : full.exts)
        candidates << e.start + 1 << e.start + 2 << e.start + e.size - 1;
    QList<int> cuts;
    for (int cut : candidates)
        if (cut > 0 && cut < full.length && !cuts.contains(cut) && !splitsAField6(full, cut))
            cuts.append(cut);
    std::sort(cuts.begin(), cuts.end());
    for (int cut : cuts)
        addRow6(QStringLiteral("%1, cut at %2").arg(QString::fromLatin1(name)).arg(cut), cutShort6(full, cut));
}

// A row for TCP behind the given extension headers (each: type, whole header bytes).
Row6 tcp6Row(const QList<std::pair<int, QByteArray>> &exts, const QByteArray &segment, int tcpHeaderSize,
             const QString &sp, const QString &dp, const QByteArray &payload)
{
    Row6 r;
    QByteArray rest;
    int at = 40;
    for (const auto &[type, bytes] : exts) {
        r.exts.append({type, at, int(bytes.size())});
        rest += bytes;
        at += int(bytes.size());
    }
    r.datagram = ipv6(exts.isEmpty() ? kTcp : exts.first().first, rest + segment);
    r.protocol = kTcp;
    r.sourcePort = sp;
    r.destPort = dp;
    r.transportAt = at;
    r.headerSize = at + tcpHeaderSize;
    r.data = payload;
    return r;
}

// Frames as the helper captures them --------------------------------------------------

QByteArray ether(int type, const QByteArray &datagram)
{
    return QByteArray(12, '\x02') + Builder().be16(type).take() + datagram;
}

constexpr int kEtherIpv4 = 0x0800;
constexpr int kEtherIpv6 = 0x86DD;

// A TCP segment in an Ethernet frame, from one end to the other, IPv4 or IPv6, with Linux's
// timestamps on it as on every segment of a real connection.
struct Ends {
    bool v6 = false;
    bool fromLocal = true;
    int localPort = 40000;
    int remotePort = 80;
};

QByteArray segment(const Ends &e, int flags, const QByteArray &payload)
{
    const int sp = e.fromLocal ? e.localPort : e.remotePort;
    const int dp = e.fromLocal ? e.remotePort : e.localPort;
    QByteArray t = tcp(sp, dp, linuxTimestamps(), payload);
    t[13] = char(flags);
    if (e.v6)
        return ether(kEtherIpv6, e.fromLocal ? ipv6(kTcp, t) : ipv6(kTcp, t, {}, kRemote6, kLocal6));
    Ip ip;
    if (!e.fromLocal)
        std::swap(ip.source, ip.destination);
    return ether(kEtherIpv4, ipv4(ip, t));
}

constexpr int kAck = 0x10;
constexpr int kPshAck = 0x18;
constexpr int kSyn = 0x02;
constexpr int kFinAck = 0x11;
constexpr int kRst = 0x04;

// Bytes no reader reads: what a download's body looks like.
QByteArray noise(int size, unsigned seed = 7)
{
    QByteArray b(size, '\0');
    for (int i = 0; i < size; ++i) {
        seed = seed * 1103515245u + 12345u;
        b[i] = char(seed >> 16);
    }
    b[0] = '\x9d'; // never a letter, never a TLS record
    return b;
}

QByteArray tlsRecord(int contentType, int handshakeType, int size)
{
    Builder b;
    b.u8(contentType).u8(3).u8(3).be16(size - 5);
    if (contentType == 0x16)
        b.u8(handshakeType);
    QByteArray r = b.take();
    return r + noise(size - int(r.size())).replace(0, 1, "\x01");
}

} // namespace

class TestCapture : public QObject {
    Q_OBJECT

private slots:
    void decode_data();
    void decode();
    void textIsBuiltOnDemand();
    void decode6_data();
    void decode6();
    void tcpSequenceAndFlags_data();
    void tcpSequenceAndFlags();
    void addressText_data();
    void addressText();
    void addressRejects_data();
    void addressRejects();
    void linkLayer_data();
    void linkLayer();

    void kernelFilter_data();
    void kernelFilter();
    void flowTable_data();
    void flowTable();
    void flowTableIsBounded();
    void lossReport();

    void protocolName_data();
    void protocolName();

    void dottedAddress_data();
    void dottedAddress();
    void parseRejects_data();
    void parseRejects();

    void cursorReadsInOrder();
    void cursorFailedReadGoesToEnd();
    void cursorHugeLengthDoesNotWrap();

    void captureSecrets_data();
    void captureSecrets();
    void captureSecretsFromFiles();
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
    checkPayloadViews(d, bytes, headerSize, length, data);
}

// The numbers are there at once; the text is made only when asked for, from them.
void TestCapture::textIsBuiltOnDemand()
{
    const std::vector<std::byte> bytes = exactly(ipv4({}, tcp(51234, 80, {}, kGet)));
    const Datagram d = DecodeDatagram(0x7F000001, bytes);
    QCOMPARE(d.ip, IpAddress::v4(0x7F000001u));
    QCOMPARE(int(d.protocol), 6);
    QCOMPARE(d.source, IpAddress::v4(kLocal));
    QCOMPARE(d.destination, IpAddress::v4(kRemote));
    QCOMPARE(int(d.sourcePort), 51234);
    QCOMPARE(int(d.destPort), 80);
    QCOMPARE(d.ipText(), QStringLiteral("127.0.0.1"));
}

void TestCapture::decode6_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<int>("protocol");
    QTest::addColumn<QString>("sourcePort");
    QTest::addColumn<QString>("destPort");
    QTest::addColumn<int>("headerSize");
    QTest::addColumn<int>("length");
    QTest::addColumn<QByteArray>("data");

    const QByteArray stamped = tcp(51234, 80, linuxTimestamps(), kGet);
    addWithTwins6("TCP over IPv6 with Linux timestamps", tcp6Row({}, stamped, 32, "51234", "80", kGet));
    addWithTwins6("TCP over IPv6 without options", tcp6Row({}, tcp(40000, 8080, {}, kGet), 20, "40000", "8080", kGet));
    addWithTwins6("TCP data offset below 5 counts as 5",
                  tcp6Row({}, tcp(40000, 8080, {}, kGet, 3), 20, "40000", "8080", kGet));
    addWithTwins6("hop-by-hop, then TCP",
                  tcp6Row({{kHopByHop, extension(kTcp, 0)}}, stamped, 32, "51234", "80", kGet));
    addWithTwins6("hop-by-hop, routing, destination options, then TCP",
                  tcp6Row({{kHopByHop, extension(kRouting, 0)},
                           {kRouting, extension(kDestinationOptions, 2)},
                           {kDestinationOptions, extension(kTcp, 1)}},
                          stamped, 32, "51234", "80", kGet));
    addWithTwins6("first fragment, then TCP",
                  tcp6Row({{kFragment, fragmentHeader(kTcp, 0, true)}}, stamped, 32, "51234", "80", kGet));
    addWithTwins6("destination options, first fragment, then TCP",
                  tcp6Row({{kDestinationOptions, extension(kFragment, 0)}, {kFragment, fragmentHeader(kTcp, 0, true)}},
                          stamped, 32, "51234", "80", kGet));
    {
        // A later fragment carries the middle of a payload: no TCP header, no ports.
        const QByteArray middle = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
        Row6 r = tcp6Row({{kFragment, fragmentHeader(kTcp, 185, false)}}, middle, 0, "0", "0", middle);
        r.laterFragment = true;
        addWithTwins6("later fragment carries no TCP header", r);
    }
    {
        const QByteArray query = QByteArray::fromHex("abcd01000001000000000000");
        Row6 r;
        r.datagram = ipv6(kUdp, udp(40000, 53, query));
        r.protocol = kUdp;
        r.sourcePort = "40000";
        r.destPort = "53";
        r.headerSize = 48;
        r.data = query;
        addWithTwins6("UDP over IPv6", r);

        r.datagram = ipv6(kHopByHop, extension(kUdp, 0) + udp(65535, 0, query));
        r.exts = {{kHopByHop, 40, 8}};
        r.transportAt = 48;
        r.sourcePort = "65535";
        r.destPort = "0";
        r.headerSize = 56;
        addWithTwins6("hop-by-hop, then UDP, highest port", r);
    }
    {
        // ICMPv6 is not ICMP: no ports are taken from it, as for any other protocol.
        const QByteArray echo = icmp(128, 0, Builder().be16(7).be16(1).bytes("abcdefgh").take());
        Row6 r;
        r.datagram = ipv6(kIcmpV6, echo);
        r.protocol = kIcmpV6;
        r.data = echo;
        addWithTwins6("ICMPv6 echo request has no transport header here", r);

        // Next header 1 behind IPv6 is no ICMP message the program knows.
        r.datagram = ipv6(kIcmp, echo);
        r.protocol = kIcmp;
        addWithTwins6("protocol 1 behind IPv6 takes no ports", r);
    }
    {
        const QByteArray rest = "after no next header";
        Row6 r;
        r.datagram = ipv6(kHopByHop, extension(kNoNextHeader, 0) + rest);
        r.exts = {{kHopByHop, 40, 8}};
        r.transportAt = 48;
        r.protocol = kNoNextHeader;
        r.headerSize = 48;
        r.data = rest;
        addWithTwins6("no next header ends the walk", r);

        const QByteArray esp = QByteArray::fromHex("00001001000000070102030405060708");
        r.datagram = ipv6(kEsp, esp);
        r.exts = {};
        r.transportAt = 40;
        r.protocol = kEsp;
        r.headerSize = 40;
        r.data = esp;
        addWithTwins6("ESP ends the walk", r);
    }
    {
        // The length byte says 88 bytes; 16 are there.
        Row6 r;
        r.datagram = ipv6(kHopByHop, Builder().u8(kTcp).u8(10).bytes(QByteArray(14, '\0')).take(), 88);
        r.exts = {{kHopByHop, 40, 88}};
        r.transportAt = 128;
        r.protocol = kHopByHop;
        r.headerSize = 128;
        r.length = 56;
        addRow6("extension header longer than the datagram", r);
        r.datagram = ipv6(kHopByHop, extension(kTcp, 255));
        r.exts = {{kHopByHop, 40, 2048}};
        r.headerSize = 40 + 2048;
        r.length = int(r.datagram.size());
        addRow6("extension header of the largest length, whole", [&] {
            Row6 whole = r;
            whole.protocol = kTcp;
            whole.transportAt = whole.headerSize;
            whole.headerSize += 20;
            return whole;
        }());
    }

    // The payload length
    {
        Row6 r = tcp6Row({}, tcp(51234, 80, {}, "hello"), 20, "51234", "80", "hello");
        r.datagram += QByteArray(7, '\xEE');
        r.length = 65;
        addWithTwins6("bytes after the payload length", r);

        r = tcp6Row({}, stamped, 32, "51234", "80", kGet);
        r.datagram = ipv6(kTcp, stamped, 0);
        addWithTwins6("payload length 0 from segmentation offload", r);
        r.datagram = ipv6(kTcp, stamped, 9000);
        addWithTwins6("payload length beyond the bytes received", r);
        r.datagram = ipv6(kTcp, stamped, 10);
        r.length = 50;
        r.headerSize = 60; // the data offset is cut off: 20 bytes are taken
        r.data = {};
        addRow6("payload length inside the TCP header", r);
        r.datagram = ipv6(kTcp, stamped, 37);
        r.length = 77;
        r.headerSize = 72;
        r.data = kGet.left(5);
        addRow6("payload length inside the payload", r);
    }
    addRow6("nothing received", [] {
        Row6 r;
        r.protocol = kHopByHop;
        r.headerSize = 48;
        return r;
    }());
}

void TestCapture::decode6()
{
    QFETCH(QByteArray, datagram);
    QFETCH(int, protocol);
    QFETCH(QString, sourcePort);
    QFETCH(QString, destPort);
    QFETCH(int, headerSize);
    QFETCH(int, length);
    QFETCH(QByteArray, data);

    const std::vector<std::byte> bytes = exactly(datagram);
    const Datagram d = DecodeDatagram(local6(), bytes);

    QCOMPARE(d.family(), IpFamily::V6);
    QCOMPARE(d.ipText(), QStringLiteral("fd00::14"));
    QCOMPARE(int(d.protocol), protocol);
    QCOMPARE(d.proto(), ProtocolName(protocol));
    if (datagram.size() >= 40) {
        QCOMPARE(d.sourceIP(), QStringLiteral("fd00::14"));
        QCOMPARE(d.destIP(), QStringLiteral("2001:db8::22"));
    }
    QCOMPARE(d.SourcePort(), sourcePort);
    QCOMPARE(d.DestPort(), destPort);
    checkPayloadViews(d, bytes, headerSize, length, data);
}

// What reading streams needs of a TCP segment is on the datagram as numbers: the
// sequence number and the flags, for IPv4 and IPv6.
void TestCapture::tcpSequenceAndFlags_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<bool>("v6");
    QTest::addColumn<bool>("transport");
    QTest::addColumn<uint>("seq");
    QTest::addColumn<int>("flags");

    const QByteArray segment = tcp(51234, 80, linuxTimestamps(), kGet); // seq 0x01020304, PSH ACK
    QTest::newRow("IPv4") << ipv4({}, segment) << false << true << 0x01020304u << 0x18;
    QTest::newRow("IPv6") << ipv6(kTcp, segment) << true << true << 0x01020304u << 0x18;
    QTest::newRow("IPv6 behind a first fragment")
        << ipv6(kFragment, fragmentHeader(kTcp, 0, true) + segment) << true << true << 0x01020304u << 0x18;
    QTest::newRow("IPv6 later fragment") << ipv6(kFragment, fragmentHeader(kTcp, 1, false) + segment) << true << false
                                         << 0u << 0;
    QTest::newRow("IPv4 cut inside the sequence number") << ipv4({}, segment).left(26) << false << true << 0x01020000u << 0;
    QTest::newRow("IPv4 cut before the flags") << ipv4({}, segment).left(33) << false << true << 0x01020304u << 0;
    Ip udpIp;
    udpIp.protocol = kUdp;
    QTest::newRow("UDP has none") << ipv4(udpIp, udp(1, 2, "x")) << false << true << 0u << 0;
    QTest::newRow("ICMPv6 has none") << ipv6(kIcmpV6, icmp(128, 0, "x")) << true << false << 0u << 0;
}

void TestCapture::tcpSequenceAndFlags()
{
    QFETCH(QByteArray, datagram);
    QFETCH(bool, v6);
    QFETCH(bool, transport);
    QFETCH(uint, seq);
    QFETCH(int, flags);
    const std::vector<std::byte> bytes = exactly(datagram);
    const Datagram d = v6 ? DecodeDatagram(local6(), bytes) : DecodeDatagram(kLocal, bytes);
    QCOMPARE(d.transport, transport);
    QCOMPARE(d.seq, std::uint32_t(seq));
    QCOMPARE(int(d.tcpFlags), flags);
}

void TestCapture::addressText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("canonical"); // RFC 5952

    QTest::newRow("IPv4") << "192.168.1.20" << "192.168.1.20";
    QTest::newRow("loopback") << "::1" << "::1";
    QTest::newRow("unspecified") << "::" << "::";
    QTest::newRow("unique local") << "fd00::2" << "fd00::2";
    QTest::newRow("link-local") << "fe80::fc:ff:fe00:1" << "fe80::fc:ff:fe00:1";
    QTest::newRow("upper case, leading zeros") << "FD00:0000:0000:0000:0000:0000:0000:0002" << "fd00::2";
    QTest::newRow("all eight groups") << "2001:db8:1:2:3:4:5:6" << "2001:db8:1:2:3:4:5:6";
    QTest::newRow("the longest run of zeros goes") << "2001:0:0:1:0:0:0:1" << "2001:0:0:1::1";
    QTest::newRow("IPv4-mapped") << "::ffff:192.0.2.1" << "::ffff:192.0.2.1";
}

void TestCapture::addressText()
{
    QFETCH(QString, text);
    QFETCH(QString, canonical);
    const std::optional<IpAddress> a = ParseIpAddress(text);
    QVERIFY(a);
    QCOMPARE(AddressText(*a), canonical);
    QCOMPARE(ParseIpAddress(canonical), a);
}

void TestCapture::addressRejects_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << "";
    QTest::newRow("brackets") << "[::1]";
    QTest::newRow("with a port") << "[::1]:80";
    QTest::newRow("zone") << "fe80::1%eth0";
    QTest::newRow("two runs of zeros") << "1::2::3";
    QTest::newRow("nine groups") << "1:2:3:4:5:6:7:8:9";
    QTest::newRow("group of five digits") << "12345::1";
    QTest::newRow("blank") << " ::1";
    QTest::newRow("a name") << "localhost";
    QTest::newRow("a filter") << "host 127.0.0.1";
    QTest::newRow("not ASCII") << QString::fromUtf8("::\xEF\xBC\x91");
    QTest::newRow("embedded zero") << QString::fromUtf8("::1\0x", 5);
    QTest::newRow("IPv4 with a port") << "127.0.0.1:80";
}

void TestCapture::addressRejects()
{
    QFETCH(QString, text);
    QCOMPARE(ParseIpAddress(text), std::nullopt);
}

void TestCapture::linkLayer_data()
{
    QTest::addColumn<int>("dlt");
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<int>("version"); // 0: no IP datagram
    QTest::addColumn<int>("at");      // where the datagram begins

    const QByteArray v4 = ipv4({}, tcp(1, 2, {}, "x"));
    const QByteArray v6 = ipv6(kTcp, tcp(1, 2, {}, "x"));
    const auto le = [](std::uint32_t v) { return Builder().u8(v).u8(v >> 8).u8(v >> 16).u8(v >> 24).take(); };
    const auto be = [](std::uint32_t v) { return Builder().be32(v).take(); };
    const auto sll = [](int protocol) { return Builder().be16(0).be16(772).be16(0).be32(0).be32(0).be16(protocol).take(); };
    const auto sll2 = [](int protocol) { return Builder().be16(protocol).be16(0).be32(1).be16(772).u8(0).u8(6).be32(0).be32(0).take(); };

    QTest::newRow("Ethernet, IPv4") << 1 << ether(kEtherIpv4, v4) << 4 << 14;
    QTest::newRow("Ethernet, IPv6") << 1 << ether(kEtherIpv6, v6) << 6 << 14;
    QTest::newRow("Ethernet, 802.1Q tag, IPv6") << 1 << QByteArray(12, '\1') + Builder().be16(0x8100).be16(5).be16(kEtherIpv6).take() + v6 << 6 << 18;
    QTest::newRow("Ethernet says IPv6, the datagram is IPv4") << 1 << ether(kEtherIpv6, v4) << 0 << 0;
    QTest::newRow("Ethernet says IPv4, the datagram is IPv6") << 1 << ether(kEtherIpv4, v6) << 0 << 0;
    QTest::newRow("Ethernet, ARP") << 1 << ether(0x0806, QByteArray(28, '\1')) << 0 << 0;
    QTest::newRow("Ethernet header alone") << 1 << ether(kEtherIpv6, {}) << 0 << 0;
    QTest::newRow("Ethernet cut before its type") << 1 << QByteArray(13, '\1') << 0 << 0;
    QTest::newRow("BSD loopback, AF_INET, little-endian") << 0 << le(2) + v4 << 4 << 4;
    QTest::newRow("BSD loopback, AF_INET, big-endian") << 0 << be(2) + v4 << 4 << 4;
    QTest::newRow("BSD loopback, AF_INET6 of NetBSD and OpenBSD") << 0 << le(24) + v6 << 6 << 4;
    QTest::newRow("BSD loopback, AF_INET6 of FreeBSD") << 0 << le(28) + v6 << 6 << 4;
    QTest::newRow("BSD loopback, AF_INET6 of macOS") << 0 << le(30) + v6 << 6 << 4;
    QTest::newRow("BSD loopback, AF_INET6 of macOS, big-endian") << 0 << be(30) + v6 << 6 << 4;
    QTest::newRow("BSD loopback, AF_INET6 says IPv6, the datagram is IPv4") << 0 << le(30) + v4 << 0 << 0;
    QTest::newRow("BSD loopback, family 10 is not written there") << 0 << le(10) + v6 << 0 << 0;
    QTest::newRow("OpenBSD loopback, AF_INET6") << 108 << be(24) + v6 << 6 << 4;
    QTest::newRow("OpenBSD loopback, AF_INET") << 108 << be(2) + v4 << 4 << 4;
    QTest::newRow("Linux cooked v1, IPv6") << 113 << sll(kEtherIpv6) + v6 << 6 << 16;
    QTest::newRow("Linux cooked v1, cut in its header") << 113 << sll(kEtherIpv6).left(15) << 0 << 0;
    QTest::newRow("Linux cooked v2, IPv6") << 276 << sll2(kEtherIpv6) + v6 << 6 << 20;
    QTest::newRow("Linux cooked v2, IPv4") << 276 << sll2(kEtherIpv4) + v4 << 4 << 20;
    QTest::newRow("raw IP, IPv4") << 12 << v4 << 4 << 0;
    QTest::newRow("raw IP, IPv6") << 12 << v6 << 6 << 0;
    QTest::newRow("raw IP of OpenBSD, IPv6") << 14 << v6 << 6 << 0;
    QTest::newRow("raw IP, version 5") << 12 << QByteArray(1, '\x50') + v4.mid(1) << 0 << 0;
    QTest::newRow("raw IPv4 link type, IPv6 datagram") << 228 << v6 << 0 << 0;
    QTest::newRow("raw IPv6 link type") << 229 << v6 << 6 << 0;
    QTest::newRow("raw IPv6 link type, IPv4 datagram") << 229 << v4 << 0 << 0;
    QTest::newRow("raw IP, nothing") << 12 << QByteArray() << 0 << 0;
    QTest::newRow("802.11 is not read") << 105 << v6 << 0 << 0;
}

void TestCapture::linkLayer()
{
    QFETCH(int, dlt);
    QFETCH(QByteArray, frame);
    QFETCH(int, version);
    QFETCH(int, at);
    const std::vector<std::byte> bytes = exactly(frame);
    const std::optional<IpInLink> ip = IpInFrame(dlt, bytes);
    QCOMPARE(ip.has_value(), version != 0);
    QCOMPARE(Ipv4InFrame(dlt, bytes).has_value(), version == 4);
    QCOMPARE(Ipv6InFrame(dlt, bytes).has_value(), version == 6);
    if (!ip)
        return;
    QCOMPARE(int(ip->family), version);
    QVERIFY(ip->datagram.data() == bytes.data() + at);
    QCOMPARE(ip->datagram.size(), bytes.size() - std::size_t(at));
}

// The kernel filter, compiled by libpcap as the helper compiles it and run over frames as
// the kernel would run it.
void TestCapture::kernelFilter_data()
{
    QTest::addColumn<bool>("v6");
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<bool>("passes");

    const QByteArray serverHello = tlsRecord(0x16, 2, 90);
    for (bool v6 : {false, true}) {
        const QString family = v6 ? "IPv6: " : "IPv4: ";
        const auto row = [&](const char *name, const QByteArray &frame, bool passes) {
            QTest::newRow(qPrintable(family + name)) << v6 << frame << passes;
        };
        Ends sent;
        sent.v6 = v6;
        Ends received = sent;
        received.fromLocal = false;
        Ends tls = received;
        tls.remotePort = 8443;

        row("sent request", segment(sent, kPshAck, kGet), true);
        row("sent bare ACK", segment(sent, kAck, {}), false);
        row("sent SYN", segment(sent, kSyn, {}), true);
        row("sent FIN", segment(sent, kFinAck, {}), true);
        row("sent RST", segment(sent, kRst, {}), true);
        row("sent upload", segment(sent, kPshAck, noise(1400)), true);
        row("received download body", segment(received, kPshAck, noise(1400)), false);
        row("received request", segment(received, kPshAck, kGet), false);
        row("received bare ACK", segment(received, kAck, {}), false);
        row("received SYN-ACK", segment(received, kSyn | kAck, {}), false);
        row("received ServerHello from port 8443", segment(tls, kPshAck, serverHello), true);
        row("received ServerHello from port 443", segment(received, kPshAck, serverHello + tlsRecord(0x17, 0, 800)), true);
        row("received application data record", segment(tls, kPshAck, tlsRecord(0x17, 0, 800)), false);
        row("received 0x16 not followed by version 3", segment(tls, kPshAck, QByteArray("\x16\x01\x00\x05hello", 9)), false);
        row("received one byte 0x16", segment(tls, kPshAck, QByteArray("\x16", 1)), false);
    }
    // The host qualifier: traffic of other machines is never seen.
    {
        Ip ip;
        ip.source = kRemote;
        ip.destination = 0x0A000001;
        QTest::newRow("IPv4: between two other hosts") << false << ether(kEtherIpv4, ipv4(ip, tcp(1, 2, {}, kGet))) << false;
        QTest::newRow("IPv6: between two other hosts")
            << true << ether(kEtherIpv6, ipv6(kTcp, tcp(1, 2, {}, kGet), {}, kRemote6, kRemote6)) << false;
        ip.source = ip.destination = kLocal;
        QTest::newRow("IPv4: loopback bulk, sent and received here")
            << false << ether(kEtherIpv4, ipv4(ip, tcp(1, 2, {}, noise(9000)))) << true;
    }
    {
        Ip ip;
        ip.protocol = kUdp;
        QTest::newRow("IPv4: sent UDP") << false << ether(kEtherIpv4, ipv4(ip, udp(5353, 53, "q"))) << true;
        ip.protocol = kIcmp;
        QTest::newRow("IPv4: sent ICMP echo") << false << ether(kEtherIpv4, ipv4(ip, icmp(8, 0, "abcd"))) << true;
        ip.protocol = kTcp;
        ip.fragmentOffset = 100;
        QTest::newRow("IPv4: sent later fragment") << false << ether(kEtherIpv4, ipv4(ip, "middle of a payload")) << true;
        QTest::newRow("IPv6: sent UDP") << true << ether(kEtherIpv6, ipv6(kUdp, udp(5353, 53, "q"))) << true;
        // An HTTP/3 server's datagrams pass (the helper cuts all but its first); other
        // received UDP does not.
        Ip received;
        received.protocol = kUdp;
        received.source = kRemote;
        received.destination = kLocal;
        QTest::newRow("IPv4: received UDP from port 443") << false << ether(kEtherIpv4, ipv4(received, udp(443, 50000, noise(1200))))
                                                          << true;
        QTest::newRow("IPv4: received UDP from port 53") << false << ether(kEtherIpv4, ipv4(received, udp(53, 50000, "a")))
                                                         << false;
        QTest::newRow("IPv6: received UDP from port 443")
            << true << ether(kEtherIpv6, ipv6(kUdp, udp(443, 50000, noise(1200)), {}, kRemote6, kLocal6)) << true;
        QTest::newRow("IPv6: received UDP from port 53")
            << true << ether(kEtherIpv6, ipv6(kUdp, udp(53, 50000, "a"), {}, kRemote6, kLocal6)) << false;
        // 48 bytes: shorter than the TCP fields the bare-ACK test would read.
        QTest::newRow("IPv6: sent short ICMPv6 echo") << true << ether(kEtherIpv6, ipv6(kIcmpV6, icmp(128, 0, "abcd"))) << true;
        QTest::newRow("IPv6: sent bare ACK behind hop-by-hop passes")
            << true << ether(kEtherIpv6, ipv6(kHopByHop, extension(kTcp, 0) + tcp(1, 2, {}, {}))) << true;
        QTest::newRow("IPv6: received handshake behind hop-by-hop is not seen")
            << true << ether(kEtherIpv6, ipv6(kHopByHop, extension(kTcp, 0) + tcp(8443, 2, {}, serverHello), {}, kRemote6, kLocal6))
            << false;
    }
}

void TestCapture::kernelFilter()
{
    QFETCH(bool, v6);
    QFETCH(QByteArray, frame);
    QFETCH(bool, passes);

    pcap_t *dead = pcap_open_dead(DLT_EN10MB, 65535);
    QVERIFY(dead);
    const auto close = qScopeGuard([&] { pcap_close(dead); });
    const std::string expression = KernelFilter(v6 ? IpFamily::V6 : IpFamily::V4, v6 ? "fd00::14" : "192.168.1.20");
    bpf_program program{};
    QVERIFY2(pcap_compile(dead, &program, expression.c_str(), 1, PCAP_NETMASK_UNKNOWN) == 0, pcap_geterr(dead));
    const auto free = qScopeGuard([&] { pcap_freecode(&program); });
    pcap_pkthdr header{};
    header.caplen = header.len = bpf_u_int32(frame.size());
    const bool passed = pcap_offline_filter(&program, &header, reinterpret_cast<const u_char *>(frame.constData())) != 0;
    QCOMPARE(passed, passes);
}

// Rows: the frames of one capture in order, and what of each passes: the whole frame or
// its headers only.
void TestCapture::flowTable_data()
{
    QTest::addColumn<QList<QByteArray>>("frames");
    QTest::addColumn<QList<bool>>("whole");

    Ends client;             // this machine's end: 40000 -> 80
    Ends server = client;    // the other end, also on this machine (loopback)
    server.fromLocal = false;
    const QByteArray post = "POST /up HTTP/1.1\r\nHost: a.test\r\nContent-Length: 9000\r\n\r\n";
    const auto row = [](const char *name, const QList<QByteArray> &frames, const QList<bool> &whole) {
        QTest::newRow(name) << frames << whole;
    };

    row("a download's body is cut from its first segment",
        {segment(server, kAck, noise(1400)), segment(server, kPshAck, noise(9000, 1)), segment(server, kAck, noise(500, 3))},
        {false, false, false});
    row("a request's direction passes whole, body and all",
        {segment(client, kPshAck, post), segment(client, kAck, noise(1400)), segment(client, kPshAck, noise(7600, 2))},
        {true, true, true});
    row("a request after blanks and bytes the rules remove",
        {segment(client, kPshAck, "\r\n\x01" + kGet), segment(client, kPshAck, noise(100))}, {true, true});
    row("HTTP/2 without TLS opens with PRI", {segment(client, kPshAck, "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"),
                                              segment(client, kPshAck, noise(100))},
        {true, true});
    row("a reply is cut", {segment(server, kPshAck, "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello"),
                           segment(server, kPshAck, "HTTP/1.1 200 OK\r\n")},
        {false, false});
    row("a text protocol's greeting is cut", {segment(server, kPshAck, "SSH-2.0-OpenSSH_9.2\r\n")}, {false});
    row("after a ClientHello every record passes",
        {segment(client, kPshAck, tlsRecord(0x16, 1, 517)), segment(client, kPshAck, tlsRecord(0x17, 0, 1400)),
         segment(client, kPshAck, noise(1400))},
        {true, true, true});
    row("a ServerHello direction passes its first 24 KiB",
        {segment(server, kPshAck, tlsRecord(0x16, 2, 1000)), segment(server, kPshAck, noise(20000)),
         segment(server, kPshAck, noise(10000, 3)), segment(server, kPshAck, noise(1000, 4))},
        {true, true, true, false});
    row("a handshake record cut before its type passes",
        {segment(server, kPshAck, tlsRecord(0x16, 2, 90).left(5)), segment(server, kPshAck, noise(100))}, {true, true});
    row("a request inside a SOCKS tunnel passes, what follows it is cut",
        {segment(client, kPshAck, QByteArray("\x05\x01\x00", 3)), segment(client, kPshAck, QByteArray("\x05\x01\x00\x03", 4)),
         segment(client, kPshAck, kGet), segment(client, kPshAck, noise(1400)),
         segment(client, kPshAck, tlsRecord(0x16, 1, 300))},
        {false, false, true, false, true});
    row("a download's body that happens to begin like a request passes that segment",
        {segment(server, kPshAck, noise(1400)), segment(server, kPshAck, "abc " + noise(100)),
         segment(server, kPshAck, noise(100, 9))},
        {false, true, false});
    row("segments without payload pass in a cut direction",
        {segment(server, kPshAck, noise(1400)), segment(server, kAck, {}), segment(server, kPshAck, noise(10))},
        {false, true, false});
    row("SYN starts a direction afresh",
        {segment(client, kPshAck, noise(1400)), segment(client, kSyn, {}), segment(client, kPshAck, kGet),
         segment(client, kPshAck, noise(50))},
        {false, true, true, true});
    row("FIN ends a direction",
        {segment(client, kFinAck | 0x08, noise(1400)), segment(client, kPshAck, kGet), segment(client, kPshAck, noise(50))},
        {false, true, true});
    row("RST ends a direction",
        {segment(client, kPshAck, kGet), segment(client, kRst, {}), segment(client, kPshAck, noise(50))},
        {true, true, false});
    row("the two directions of one connection are told apart",
        {segment(client, kPshAck, kGet), segment(server, kPshAck, noise(1400)), segment(client, kPshAck, kGet),
         segment(server, kPshAck, noise(1400, 5))},
        {true, false, true, false});
    {
        Ends other = client;
        other.localPort = 40001;
        row("connections are told apart by their ports",
            {segment(client, kPshAck, kGet), segment(other, kPshAck, noise(100)), segment(client, kPshAck, noise(100))},
            {true, false, true});
    }
    {
        Ends client6 = client;
        client6.v6 = true;
        Ends server6 = server;
        server6.v6 = true;
        row("IPv6: request whole, download cut",
            {segment(client6, kPshAck, kGet), segment(server6, kPshAck, noise(1400)), segment(client6, kPshAck, noise(99))},
            {true, false, true});
        const QByteArray later = ether(kEtherIpv6, ipv6(kFragment, fragmentHeader(kTcp, 100, false) + noise(800)));
        row("IPv6: a later fragment passes whole", {later}, {true});
    }
    {
        Ip ip;
        ip.protocol = kUdp;
        row("UDP passes whole", {ether(kEtherIpv4, ipv4(ip, udp(443, 50000, noise(1200))))}, {true});
        // A QUIC client's Initial (a long header, 1200 bytes), then its server's datagrams:
        // long headers and the first 32 short ones whole, later short ones cut. The
        // client's own pass whole, however many, and so does another UDP flow.
        Ip back = ip;
        std::swap(back.source, back.destination);
        const QByteArray initial = ether(kEtherIpv4, ipv4(ip, udp(50000, 443, "\xc3" + noise(1199))));
        const auto fromServer = [&](char first, int size) {
            return ether(kEtherIpv4, ipv4(back, udp(443, 50000, QByteArray(1, first) + noise(size))));
        };
        // The server's Initial is padded to 1200 bytes as the client's is: it names no server.
        QList<QByteArray> frames{initial, fromServer('\xc0', 1199), ether(kEtherIpv4, ipv4(ip, udp(50000, 443, "\x41" + noise(100))))};
        QList<bool> whole{true, true, true};
        for (int i = 0; i < 33; ++i) {
            frames << fromServer('\x41', 1000);
            whole << (i < 32);
        }
        for (int i = 0; i < 40; ++i) {
            frames << ether(kEtherIpv4, ipv4(ip, udp(50000, 443, "\x41" + noise(100, 3))));
            whole << true;
        }
        frames << fromServer('\xe5', 300) << fromServer('\x41', 1000)
               << ether(kEtherIpv4, ipv4(ip, udp(50000, 443, "\x41" + noise(100))))
               << ether(kEtherIpv4, ipv4(back, udp(443, 50001, "\x41" + noise(100))));
        whole << true << false << true << true;
        row("a QUIC server's first datagrams pass, then only its long headers", frames, whole);
    }
    row("ARP passes whole", {ether(0x0806, QByteArray(28, '\1'))}, {true});
    row("a TCP header cut short passes whole", {segment(server, kPshAck, noise(100)).left(14 + 20 + 16)}, {true});
}

void TestCapture::flowTable()
{
    QFETCH(QList<QByteArray>, frames);
    QFETCH(QList<bool>, whole);
    QCOMPARE(frames.size(), whole.size());

    FlowTable table;
    std::int64_t now = 1000;
    for (qsizetype i = 0; i < frames.size(); ++i) {
        const std::vector<std::byte> bytes = exactly(frames[i]);
        const std::size_t kept = table.keep(int(LinkType::Ethernet), bytes, now += 10);
        if (whole[i]) {
            QVERIFY2(kept == bytes.size(), qPrintable(QStringLiteral("frame %1 was cut").arg(i)));
            continue;
        }
        // Cut right after the TCP header: the frame decodes to the same headers and no payload.
        const std::optional<IpInLink> ip = IpInFrame(int(LinkType::Ethernet), bytes);
        QVERIFY(ip);
        const Datagram d = DecodeDatagram(ip->family == IpFamily::V6 ? local6() : IpAddress::v4(kLocal), ip->datagram);
        QCOMPARE(kept, std::size_t(ip->datagram.data() - bytes.data()) + std::size_t(d.header_size));
        QVERIFY(kept < bytes.size());
    }
    QCOMPARE(table.overflows(), 0u);
}

// A full table lets what it cannot remember pass whole, counts it, and makes room by
// forgetting the idle.
void TestCapture::flowTableIsBounded()
{
    FlowTable table(4, 1000);
    const auto bulk = [](int port, unsigned seed) {
        Ends e;
        e.fromLocal = false;
        e.localPort = port;
        return exactly(segment(e, kPshAck, noise(1000, seed)));
    };
    for (int port = 1; port <= 4; ++port)
        QVERIFY(table.keep(1, bulk(port, port), 0) < bulk(port, port).size());
    QCOMPARE(table.size(), std::size_t(4));

    const std::vector<std::byte> fifth = bulk(5, 5);
    QCOMPARE(table.keep(1, fifth, 10), fifth.size());
    QCOMPARE(table.keep(1, fifth, 20), fifth.size());
    QCOMPARE(table.overflows(), 2u);
    QVERIFY(table.keep(1, bulk(1, 9), 30) < bulk(1, 9).size()); // the known are still cut
    QCOMPARE(table.size(), std::size_t(4));

    // Ports 2 to 4 have been idle for over a second; port 1 spoke at 30.
    QVERIFY(table.keep(1, fifth, 1020) < fifth.size());
    QCOMPARE(table.size(), std::size_t(2));
    QCOMPARE(table.overflows(), 2u);
    table.evictIdle(5000);
    QCOMPARE(table.size(), std::size_t(0));

    // A frame of a link type the table does not read passes whole.
    QCOMPARE(table.keep(147, fifth, 5000), fifth.size());
}

void TestCapture::lossReport()
{
    LossReport r;
    QCOMPARE(r.dueAtMs(), std::nullopt);
    QCOMPARE(r.add(5, 1000), std::optional<QString>(QStringLiteral("5个数据包因系统繁忙未能截获")));
    QCOMPARE(r.dueAtMs(), std::nullopt);
    QCOMPARE(r.add(3, 10'000), std::nullopt); // within the minute: held
    QCOMPARE(r.add(4, 20'000), std::nullopt);
    QCOMPARE(r.dueAtMs(), std::optional<std::int64_t>(61'000));
    QCOMPARE(r.flush(60'999), std::nullopt);
    QCOMPARE(r.flush(61'000), std::optional<QString>(LossLine(7)));
    QCOMPARE(r.flush(200'000), std::nullopt); // nothing held
    QCOMPARE(r.add(0, 200'000), std::nullopt);
    QCOMPARE(r.add(2, 200'001), std::optional<QString>(LossLine(2)));
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

// The key log a pcapng file carries in its Decryption Secrets Blocks (editcap
// --inject-secrets), every length of the file checked: lies and cuts end the walk with a
// reason, and the secrets read before them are kept.
void TestCapture::captureSecrets_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("keyLog");
    QTest::addColumn<int>("blocks");
    QTest::addColumn<QString>("broken"); // in brokenNote; empty: the walk reached the end

    const QByteArray a = "CLIENT_RANDOM 0011 2233\n";
    const QByteArray b = "CLIENT_TRAFFIC_SECRET_0 4455 6677\n"; // a length that needs padding
    const QByteArray packet(40, '\x45');
    const auto plain = [&](bool big) { return Pcapng(big).section().interface().packet(packet); };

    QTest::newRow("empty file") << QByteArray() << QByteArray() << 0 << "";
    QByteArray pcap = Pcapng().u32(0xA1B2C3D4).u16(2).u16(4).u32(0).u32(0).u32(65535).u32(101).take();
    QTest::newRow("pcap file") << pcap + Pcapng().u32(0).u32(0).u32(40).u32(40).take() + packet << QByteArray() << 0 << "";
    QTest::newRow("pcapng without secrets") << plain(false).take() << QByteArray() << 0 << "";
    QTest::newRow("secrets, little-endian")
        << Pcapng().section().secrets(a + b).interface().packet(packet).take() << a + b << 1 << "";
    QTest::newRow("secrets, big-endian")
        << Pcapng(true).section().secrets(a + b).interface().packet(packet).take() << a + b << 1 << "";
    QTest::newRow("two blocks, the last line unended")
        << Pcapng().section().secrets(a).interface().packet(packet).secrets(b.chopped(1)).packet(packet).take() << a + b << 2
        << "";
    QTest::newRow("two sections, each its own byte order")
        << Pcapng().section().secrets(a).interface().take() + Pcapng(true).section().secrets(b).interface().packet(packet).take()
        << a + b << 2 << "";
    QTest::newRow("secrets of another kind (WireGuard)")
        << Pcapng().section().secrets("key\n", 0x57474B4C).secrets(a).take() << a << 1 << "";

    // Cut short.
    const QByteArray whole = Pcapng().section().secrets(a).interface().secrets(b).take();
    QTest::newRow("cut inside a block's header") << whole.left(whole.size() - b.size() - 16 - 4 + 6) << a << 1 << "breaks off";
    QTest::newRow("cut inside the secrets") << whole.chopped(10) << a << 1 << "bad length";
    QTest::newRow("cut before the last length") << whole.chopped(4) << a << 1 << "bad length";

    // Lengths that lie. The second block is the secrets of b, at byte 28 + 12 + a.size() + 20.
    const qsizetype second = 28 + 16 + a.size() + 4 + 20;
    const auto lie = [&](qsizetype at, std::uint32_t value, bool big = false) {
        QByteArray f = big ? Pcapng(true).section().secrets(a).interface().secrets(b).take() : whole;
        const QByteArray v = Pcapng(big).u32(value).take();
        f.replace(at, 4, v);
        return f;
    };
    QTest::newRow("block length past the file") << lie(second + 4, 0xFFFFFFF0) << a << 1 << "bad length";
    QTest::newRow("block length past the file, big-endian") << lie(second + 4, 0xFFFFFFF0, true) << a << 1 << "bad length";
    QTest::newRow("block length under 12") << lie(second + 4, 8) << a << 1 << "bad length";
    QTest::newRow("block length not a multiple of 4") << lie(second + 4, 4 * 10 + 2) << a << 1 << "bad length";
    QTest::newRow("trailing length differs") << lie(whole.size() - 4, 100) << a << 1 << "bad length";
    QTest::newRow("secrets past their block") << lie(second + 12, std::uint32_t(b.size() + 4)) << a << 1 << "run past";
    QTest::newRow("secrets length 2^32 - 1") << lie(second + 12, 0xFFFFFFFF) << a << 1 << "run past";
    QTest::newRow("section without a byte order")
        << Pcapng().section().secrets(a).take() + Pcapng().u32(0x0A0D0D0A).u32(28).u32(0x12345678).u32(0).u32(0).u32(0).u32(28).take()
        << a << 1 << "no byte order";
}

void TestCapture::captureSecrets()
{
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, keyLog);
    QFETCH(int, blocks);
    QFETCH(QString, broken);
    // Exactly the file's bytes, so a read past them shows under a sanitizer.
    const std::vector<char> bytes(file.begin(), file.end());
    const CaptureSecrets s = ReadCaptureSecrets(QByteArrayView(bytes.data(), qsizetype(bytes.size())));
    QCOMPARE(s.keyLog, keyLog);
    QCOMPARE(s.blocks, blocks);
    if (broken.isEmpty())
        QVERIFY2(s.brokenNote.isEmpty(), qPrintable(s.brokenNote));
    else
        QVERIFY2(s.brokenNote.contains(broken), qPrintable(s.brokenNote));
}

void TestCapture::captureSecretsFromFiles()
{
    QTemporaryDir dir;
    QString error;
    QCOMPARE(ReadCaptureSecrets(dir.filePath("none.pcapng"), &error), std::nullopt);
    QVERIFY(!error.isEmpty());
    const QString empty = dir.filePath("empty.pcapng");
    QFile(empty).open(QIODevice::WriteOnly);
    const std::optional<CaptureSecrets> nothing = ReadCaptureSecrets(empty, &error);
    QVERIFY(nothing && nothing->blocks == 0 && nothing->keyLog.isEmpty());
    const QString one = dir.filePath("one.pcapng");
    QFile f(one);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(Pcapng(true).section().secrets("CLIENT_RANDOM 00 11\n").take());
    f.close();
    const std::optional<CaptureSecrets> read = ReadCaptureSecrets(one, &error);
    QVERIFY(read);
    QCOMPARE(read->keyLog, QByteArray("CLIENT_RANDOM 00 11\n"));
}

QTEST_APPLESS_MAIN(TestCapture)
#include "test_capture.moc"
