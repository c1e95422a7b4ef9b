// The road from captured datagrams to found requests: which road (the stream reader, the
// datagram rule, the bytes a flow never read) finds each request, and that it is found
// once.

#include "intake/request_roads.h"
#include "streams/key_log.h"

#include <QtTest>

#include <vector>

using namespace quorrel;

namespace {

// Who sends a datagram in a row: the local client (192.0.2.7:40000, whose capture reads
// every datagram), the server it talks to (198.51.100.1:80), or a client elsewhere
// (203.0.113.9:40000) talking to a server at the local address.
enum class From : std::uint8_t { Local, Server, Elsewhere, ToElsewhere };

struct Sent {
    From from = From::Local;
    std::uint8_t protocol = kIpTcp;
    std::uint32_t seq = 0;
    std::uint8_t flags = 0;
    QByteArray payload;
    bool cut = false; // the capture helper passed its headers only
};

} // namespace

Q_DECLARE_METATYPE(QList<Sent>)

namespace {

const IpAddress kLocal = IpAddress::v4(0xC0000207);
const IpAddress kServer = IpAddress::v4(0xC6336401);
const IpAddress kElsewhere = IpAddress::v4(0xCB007109);

Datagram datagramOf(const Sent &sent)
{
    Datagram d;
    d.ip = kLocal;
    d.protocol = sent.protocol;
    d.transport = true;
    switch (sent.from) {
    case From::Local:
        d.source = kLocal, d.destination = kServer, d.sourcePort = 40000, d.destPort = 80;
        break;
    case From::Server:
        d.source = kServer, d.destination = kLocal, d.sourcePort = 80, d.destPort = 40000;
        break;
    case From::Elsewhere:
        d.source = kElsewhere, d.destination = kLocal, d.sourcePort = 40000, d.destPort = 80;
        break;
    case From::ToElsewhere:
        d.source = kLocal, d.destination = kElsewhere, d.sourcePort = 80, d.destPort = 40000;
        break;
    }
    d.seq = sent.seq;
    d.tcpFlags = sent.flags;
    d.data = Bytes(reinterpret_cast<const std::byte *>(sent.payload.constData()), std::size_t(sent.payload.size()));
    d.data_size = int(sent.payload.size());
    d.cut = sent.cut;
    return d;
}

Sent tcp(From from, std::uint32_t seq, std::uint8_t flags, const QByteArray &payload = {})
{
    return {from, kIpTcp, seq, flags, payload, false};
}

QString roadName(FoundRequest::Road road)
{
    switch (road) {
    case FoundRequest::Road::Stream:
        return QStringLiteral("stream");
    case FoundRequest::Road::Datagram:
        return QStringLiteral("datagram");
    case FoundRequest::Road::Unread:
        return QStringLiteral("unread");
    }
    return {};
}

constexpr std::uint8_t kPshAck = 0x18;
constexpr std::uint8_t kAck = 0x10;

} // namespace

class TestIntake : public QObject {
    Q_OBJECT
private slots:
    void eachRequestTakesOneRoad_data();
    void eachRequestTakesOneRoad();
};

// Each row: the datagrams of one connection (and beside it), then the end of the capture;
// found: every request found, in order, as "road address cookie".
void TestIntake::eachRequestTakesOneRoad_data()
{
    QTest::addColumn<QList<Sent>>("sent");
    QTest::addColumn<bool>("everyAddressLocal");
    QTest::addColumn<QStringList>("found");

    const QByteArray a = "GET /a.mp3 HTTP/1.1\r\nHost: h.test\r\n";
    const QByteArray b = "GET /b.mp3 HTTP/1.1\r\nHost: h.test\r\n\r\n";
    const QByteArray a1 = a + "Cookie: c=1\r\n\r\n";
    const QByteArray reply = "HTTP/1.1 200 OK\r\nContent-Length: 37\r\n\r\n" + b;
    const QString streamA = QStringLiteral("stream http://h.test/a.mp3 c=1");
    const std::uint8_t syn = kTcpSyn;

    QTest::newRow("read by the reader") << QList<Sent>{tcp(From::Local, 999, syn), tcp(From::Local, 1000, kPshAck, a1)}
                                        << false << QStringList{streamA};
    QTest::newRow("a connection joined late")
        << QList<Sent>{tcp(From::Local, 1000, kPshAck, a1)} << false << QStringList{streamA};
    QTest::newRow("a head over two segments, its headers whole")
        << QList<Sent>{tcp(From::Local, 1000, kPshAck, a), tcp(From::Local, 1000 + a.size(), kPshAck, "Cookie: c=1\r\n\r\n")}
        << false << QStringList{streamA};
    QTest::newRow("two requests in one segment")
        << QList<Sent>{tcp(From::Local, 1000, kPshAck, a1 + b)} << false
        << QStringList{streamA, QStringLiteral("stream http://h.test/b.mp3 ")};
    QTest::newRow("a server's reply is no request")
        << QList<Sent>{tcp(From::Local, 1000, kPshAck, a1), tcp(From::Server, 5000, kPshAck, reply)} << false
        << QStringList{streamA};
    QTest::newRow("a copy of a segment read already: the datagram rule's")
        << QList<Sent>{tcp(From::Local, 1000, kPshAck, a1), tcp(From::Local, 1000, kPshAck, a1)} << false
        << QStringList{streamA, QStringLiteral("datagram http://h.test/a.mp3 c=1")};
    QTest::newRow("another request where one was read: the datagram rule's")
        << QList<Sent>{tcp(From::Local, 1000, kPshAck, a1), tcp(From::Local, 1000, kPshAck, b)} << false
        << QStringList{streamA, QStringLiteral("datagram http://h.test/b.mp3 ")};
    QTest::newRow("a longer request where one was read: the datagram rule's")
        << QList<Sent>{tcp(From::Local, 1000, kPshAck, b), tcp(From::Local, 1000, kPshAck, "GET /bb.mp3" + b.mid(10))}
        << false << QStringList{QStringLiteral("stream http://h.test/b.mp3 "), QStringLiteral("datagram http://h.test/bb.mp3 ")};
    QTest::newRow("a side that started no request: the datagram rule's")
        << QList<Sent>{tcp(From::Local, 1000, kPshAck, "HELLO THERE\r\n"), tcp(From::Local, 1013, kPshAck, a1)} << false
        << QStringList{QStringLiteral("datagram http://h.test/a.mp3 c=1")};
    QTest::newRow("held behind a hole that never fills: read as the flow ends")
        << QList<Sent>{tcp(From::Local, 999, syn), tcp(From::Local, 1100, kPshAck, a1)} << false
        << QStringList{QStringLiteral("unread http://h.test/a.mp3 c=1")};
    QTest::newRow("a segment cut to its headers")
        << QList<Sent>{{From::Local, kIpTcp, 1000, kPshAck, a1, true}, tcp(From::Local, 1000 + a1.size(), kAck | kTcpFin)}
        << false << QStringList{};
    QTest::newRow("UDP: the datagram rule's")
        << QList<Sent>{{From::Local, kIpUdp, 0, 0, a1, false}} << false
        << QStringList{QStringLiteral("datagram http://h.test/a.mp3 c=1")};
    QTest::newRow("UDP sent to here is not this machine's")
        << QList<Sent>{{From::Elsewhere, kIpUdp, 0, 0, a1, false}} << false << QStringList{};
    QTest::newRow("a request another machine sent here")
        << QList<Sent>{tcp(From::Elsewhere, 999, syn), tcp(From::Elsewhere, 1000, kPshAck, a1)} << false << QStringList{};
    QTest::newRow("every address counts")
        << QList<Sent>{tcp(From::Elsewhere, 999, syn), tcp(From::Elsewhere, 1000, kPshAck, a1)} << true
        << QStringList{streamA};
    // The reader reads no server's side it did not see asked; the datagram rule reads any
    // datagram this machine sent, as it always has.
    QTest::newRow("a local server's reply: the datagram rule's")
        << QList<Sent>{tcp(From::ToElsewhere, 5000, kPshAck, reply)} << false
        << QStringList{QStringLiteral("datagram http://h.test/b.mp3 ")};
}

void TestIntake::eachRequestTakesOneRoad()
{
    QFETCH(QList<Sent>, sent);
    QFETCH(bool, everyAddressLocal);
    QFETCH(QStringList, found);

    streams::KeyLog keys;
    RequestRoads roads(keys);
    roads.setEveryAddressLocal(everyAddressLocal);
    QStringList seen;
    roads.onFound = [&seen](const FoundRequest &r) {
        seen << roadName(r.road) + QLatin1Char(' ') + QString::fromLatin1(r.address) + QLatin1Char(' ')
                    + QString::fromLatin1(r.headers.cookie);
    };
    std::int64_t now = 1000;
    for (const Sent &s : sent)
        roads.datagram(datagramOf(s), now += 10);
    roads.tick(now += 1000);
    roads.finish();
    QCOMPARE(seen, found);
}

QTEST_GUILESS_MAIN(TestIntake)
#include "test_intake.moc"
