// quorrel-scan end to end: real loopback captures in every link type it reads, the local
// address rule, saving the list, and bad input; HTTPS read with a key log: OpenSSL's own
// connections (PSK suites, 0-RTT early data, suites not read) made into captures, real
// openssl s_client and s_server on loopback, a key log that grows during the scan, one
// that others can write.

#include "base/gbk_text.h"
#include "capture/file_pieces.h"
#include "intake/capture_file.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "pcapng_builder.h"
#include "test_files.h"
#include "test_peers.h"
#include "tls_pair.h"

#include <atomic>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace quorrel;
using quorrel::test::readFile;
using quorrel::test::writeFile;

namespace {

const QString kScan = QStringLiteral(QUORREL_BIN_DIR "/quorrel-scan");
const QString kFixtures = QStringLiteral(QUORREL_FIXTURES);

struct Run {
    int status = -1;
    QString out;
    QString err;
};

Run scan(const QStringList &args)
{
    QProcess p;
    p.start(kScan, args);
    p.waitForFinished(60000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}



// Types as a user sets them up: pages analysed, music and pictures.
void writeConfig(const QString &dir)
{
    writeFile(dir + "/config.ini",
              toGbk(QStringLiteral("[XT]\r\nfxwy=1\r\nmaxtype=3\r\n1=.htm;.html\r\n2=.mp3\r\n3=.jpg\r\n"
                                   "lxmc=01-网页连接;02-音乐;03-图片;\r\n")));
}

const QString kEmptyTree = QStringLiteral("0\t取得资源\t+\t\t0\n"
                                          "1\t01-网页连接\t+qd\t01\t1\n"
                                          "1\t02-音乐\t+qd\t02\t2\n"
                                          "1\t03-图片\t+qd\t03\t3\n"
                                          "0\t已下载资源\t+xz\t\t0\n"
                                          "1\t√01-网页连接\t+xz\t01\t1\n"
                                          "1\t√02-音乐\t+xz\t02\t2\n"
                                          "1\t√03-图片\t+xz\t03\t3\n");

const QString kCurlTree = QStringLiteral("0\t取得资源\t+\t\t0\n"
                                         "1\t01-网页连接\t+qd\t01\t1\n"
                                         "1\t02-音乐\t+qd\t02\t2\n"
                                         "2\thttp://127.0.0.1:18081/x/y.mp3\t02\thttp://127.0.0.1:18081/x/y.mp3\t2\n"
                                         "1\t03-图片\t+qd\t03\t3\n"
                                         "2\thttp://127.0.0.1:18081/a/b.jpg\t03\thttp://127.0.0.1:18081/a/b.jpg\t3\n"
                                         "0\t已下载资源\t+xz\t\t0\n"
                                         "1\t√01-网页连接\t+xz\t01\t1\n"
                                         "1\t√02-音乐\t+xz\t02\t2\n"
                                         "1\t√03-图片\t+xz\t03\t3\n");

// A pcap file of raw IPv4 datagrams, each a TCP segment from src to dst with a
// Linux-style timestamp option and the given payload.
QByteArray rawCapture(const QList<std::tuple<QByteArray, QByteArray, QByteArray>> &segments)
{
    QByteArray file;
    QDataStream s(&file, QIODevice::WriteOnly);
    s.setByteOrder(QDataStream::LittleEndian);
    s << quint32(0xA1B2C3D4) << quint16(2) << quint16(4) << qint32(0) << quint32(0) << quint32(65535) << quint32(101);
    for (const auto &[src, dst, payload] : segments) {
        QByteArray d;
        QDataStream b(&d, QIODevice::WriteOnly);
        b << quint8(0x45) << quint8(0) << quint16(20 + 32 + payload.size()) << quint32(0) << quint8(64) << quint8(6)
          << quint16(0);
        d += src + dst;
        QDataStream t(&d, QIODevice::Append);
        t << quint16(40000) << quint16(80) << quint32(1) << quint32(1) << quint8(8 << 4) << quint8(0x18)
          << quint16(502) << quint32(0);
        d += QByteArray("\x01\x01\x08\x0a\0\0\0\1\0\0\0\2", 12) + payload;
        s << quint32(0) << quint32(0) << quint32(d.size()) << quint32(d.size());
        s.writeRawData(d.constData(), int(d.size()));
    }
    return file;
}

const QByteArray kLocal("\xC6\x33\x64\x07", 4);  // 198.51.100.7
const QByteArray kRemote("\xC0\x00\x02\x09", 4); // 192.0.2.9

// A pcap file of the given link type holding the given frames.
QByteArray captureFile(quint32 linkType, const QList<QByteArray> &frames)
{
    QByteArray file;
    QDataStream s(&file, QIODevice::WriteOnly);
    s.setByteOrder(QDataStream::LittleEndian);
    s << quint32(0xA1B2C3D4) << quint16(2) << quint16(4) << qint32(0) << quint32(0) << quint32(65535) << linkType;
    for (const QByteArray &f : frames) {
        s << quint32(0) << quint32(0) << quint32(f.size()) << quint32(f.size());
        s.writeRawData(f.constData(), int(f.size()));
    }
    return file;
}

const QByteArray kLocal6 = QByteArray::fromHex("fd000000000000000000000000000014");  // fd00::14
const QByteArray kRemote6 = QByteArray::fromHex("20010db8000000000000000000000022"); // 2001:db8::22

// An IPv6 datagram carrying a TCP segment (with Linux's timestamps) from src to dst, behind
// a hop-by-hop header when asked.
QByteArray tcp6(const QByteArray &src, const QByteArray &dst, const QByteArray &payload, bool hopByHop = false)
{
    QByteArray t;
    QDataStream b(&t, QIODevice::WriteOnly);
    b << quint16(40000) << quint16(8080) << quint32(1) << quint32(1) << quint8(8 << 4) << quint8(0x18) << quint16(502)
      << quint32(0);
    t += QByteArray("\x01\x01\x08\x0a\0\0\0\1\0\0\0\2", 12) + payload;
    const QByteArray hop = hopByHop ? QByteArray("\x06\x00\x01\x04\x00\x00\x00\x00", 8) : QByteArray();
    QByteArray d;
    QDataStream h(&d, QIODevice::WriteOnly);
    h << quint32(0x60000000) << quint16(hop.size() + t.size()) << quint8(hopByHop ? 0 : 6) << quint8(64);
    return d + src + dst + hop + t;
}

// The same datagram in the framing of each link type.
QByteArray framed(int linkType, const QByteArray &datagram)
{
    const auto be16 = [](int v) { return QByteArray(1, char(v >> 8)) + QByteArray(1, char(v)); };
    switch (linkType) {
    case 1: // Ethernet
        return QByteArray(12, '\x02') + be16(0x86DD) + datagram;
    case 113: // Linux cooked v1
        return be16(0) + be16(772) + be16(0) + QByteArray(8, '\0') + be16(0x86DD) + datagram;
    case 276: // Linux cooked v2
        return be16(0x86DD) + be16(0) + QByteArray("\0\0\0\1", 4) + be16(772) + QByteArray(2, '\0') + QByteArray(8, '\0') + datagram;
    case 0: // BSD loopback, AF_INET6 of macOS, written little-endian
        return QByteArray("\x1e\0\0\0", 4) + datagram;
    case 108: // OpenBSD loopback, AF_INET6 of OpenBSD
        return QByteArray("\0\0\0\x18", 4) + datagram;
    default: // raw IP, raw IPv6
        return datagram;
    }
}

// A raw-IP capture of TCP connections from kLocal to kRemote:443, each made of what its
// client and server sent: SYN, SYN-ACK, the client's first record, the server's bytes, the
// rest of the client's, its FIN; segments of at most 1400 bytes.
struct Connection {
    QByteArray client;
    QByteArray server;
};

QByteArray tcpSegment(bool fromClient, quint16 clientPort, quint32 seq, quint8 flags, const QByteArray &payload)
{
    QByteArray t;
    QDataStream b(&t, QIODevice::WriteOnly);
    b << quint16(fromClient ? clientPort : 443) << quint16(fromClient ? 443 : clientPort) << seq << quint32(0)
      << quint8(5 << 4) << flags << quint16(65535) << quint32(0);
    t += payload;
    QByteArray d;
    QDataStream h(&d, QIODevice::WriteOnly);
    h << quint8(0x45) << quint8(0) << quint16(20 + t.size()) << quint32(0) << quint8(64) << quint8(6) << quint16(0);
    return d + (fromClient ? kLocal + kRemote : kRemote + kLocal) + t;
}

QList<QByteArray> tlsFrames(const QList<Connection> &connections, quint16 port = 40000)
{
    QList<QByteArray> frames;
    for (const Connection &c : connections) {
        ++port;
        quint32 clientSeq = 1000, serverSeq = 5000;
        frames << tcpSegment(true, port, clientSeq++, 0x02, {}) << tcpSegment(false, port, serverSeq++, 0x12, {});
        const qsizetype hello = 5 + (qsizetype(quint8(c.client[3])) << 8 | quint8(c.client[4]));
        auto send = [&](bool fromClient, const QByteArray &bytes) {
            quint32 &seq = fromClient ? clientSeq : serverSeq;
            for (qsizetype at = 0; at < bytes.size(); at += 1400) {
                const QByteArray piece = bytes.mid(at, 1400);
                frames << tcpSegment(fromClient, port, seq, 0x18, piece);
                seq += quint32(piece.size());
            }
        };
        send(true, c.client.left(hello));
        send(false, c.server);
        send(true, c.client.mid(hello));
        frames << tcpSegment(true, port, clientSeq, 0x11, {});
    }
    return frames;
}

QByteArray tlsCapture(const QList<Connection> &connections) { return captureFile(101, tlsFrames(connections)); }

// A private file, as a key log is kept.
void writePrivate(const QString &path, const QByteArray &bytes)
{
    writeFile(path, bytes);
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
}

} // namespace

class TestScan : public QObject {
    Q_OBJECT
private slots:
    void init();
    void linkTypes_data();
    void linkTypes();
    void localAddresses_data();
    void localAddresses();
    void ipv6_data();
    void ipv6();
    void localIpv6Addresses_data();
    void localIpv6Addresses();
    void saveAndReload();
    void truncatedFile();
    void controlCharactersAreEscaped();
    void bytesThatAreNotGbkSurvive_data();
    void bytesThatAreNotGbkSurvive();
    void differentBytesAreDifferentResources();
    void badInput_data();
    void badInput();
    void secretsInTheFile_data();
    void secretsInTheFile();
    void captureTimes_data();
    void captureTimes();
    void httpsCaptures_data();
    void httpsCaptures();
    void quicCaptures_data();
    void quicCaptures();
    void secretsBlocksWithoutALastLineEnd();
    void keyLogGrowsDuringTheScan();
    void hugeKeyLogIsReadInPart();
    void keyLogRefused_data();
    void keyLogRefused();
    void realClients();
    void fileCutWhileRead_data();
    void fileCutWhileRead();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestScan::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    writeConfig(m_dir->path());
}

void TestScan::linkTypes_data()
{
    QTest::addColumn<QString>("file");
    // lo-curl.pcap is a real capture on Linux loopback: every segment carries the TCP
    // timestamp option, which sits between the fixed header and the request line.
    QTest::newRow("Ethernet, Linux TCP options") << "lo-curl.pcap";
    QTest::newRow("pcapng") << "lo-curl.pcapng";
    QTest::newRow("raw IPv4") << "lo-curl-raw.pcap";
    QTest::newRow("BSD loopback") << "lo-curl-null.pcap";
    QTest::newRow("Linux cooked v1") << "lo-curl-sll.pcap";
    QTest::newRow("Linux cooked v2") << "lo-curl-sll2.pcap";
}

void TestScan::linkTypes()
{
    QFETCH(QString, file);
    const Run r = scan({"--dir", m_dir->path(), kFixtures + "/" + file});
    QCOMPARE(r.status, 0);
    QCOMPARE(r.out, kCurlTree); // the POST is not filed
    QVERIFY2(r.err.contains(QRegularExpression("^quorrel-scan: \\d+ datagrams read, 2 requests found, 2 resources "
                                               "filed, [0-9.]+ s, 3 flows read, 0 TLS sessions decrypted, 0 without a secret\n$")),
             qPrintable(r.err));
}

void TestScan::localAddresses_data()
{
    QTest::addColumn<QStringList>("locals");
    QTest::addColumn<int>("filed");
    QTest::newRow("no --local: every sender counts") << QStringList{} << 2;
    QTest::newRow("the local address") << QStringList{"198.51.100.7"} << 1;
    QTest::newRow("the remote address: received, not sent") << QStringList{"192.0.2.9"} << 1;
    QTest::newRow("an address not in the file") << QStringList{"203.0.113.1"} << 0;
    QTest::newRow("both") << QStringList{"198.51.100.7", "192.0.2.9"} << 2;
}

void TestScan::localAddresses()
{
    QFETCH(QStringList, locals);
    QFETCH(int, filed);
    // One request sent by the local machine, one sent by the remote one.
    const QString path = m_dir->filePath("two.pcap");
    writeFile(path, rawCapture({{kLocal, kRemote, "GET /sent.mp3 HTTP/1.1\r\nHost: r.test\r\n\r\n"},
                                {kRemote, kLocal, "GET /received.jpg HTTP/1.1\r\nHost: l.test\r\n\r\n"}}));
    QStringList args{"--dir", m_dir->path()};
    for (const QString &l : locals)
        args << "--local" << l;
    const Run r = scan(args << path);
    QCOMPARE(r.status, 0);
    QVERIFY2(r.err.contains(QStringLiteral("%1 resources filed").arg(filed)), qPrintable(r.err));
    if (locals == QStringList{"198.51.100.7"})
        QVERIFY(r.out.contains("\thttp://r.test/sent.mp3\t") && !r.out.contains("received"));
    if (locals == QStringList{"192.0.2.9"})
        QVERIFY(r.out.contains("\thttp://l.test/received.jpg\t") && !r.out.contains("sent"));
}

// IPv6 in every link type the program reads: a request to an IPv6 literal keeps its
// brackets, and one behind a hop-by-hop header is found too.
void TestScan::ipv6_data()
{
    QTest::addColumn<int>("linkType"); // as written in the file
    QTest::newRow("Ethernet") << 1;
    QTest::newRow("Linux cooked v1") << 113;
    QTest::newRow("Linux cooked v2") << 276;
    QTest::newRow("BSD loopback") << 0;
    QTest::newRow("OpenBSD loopback") << 108;
    QTest::newRow("raw IP") << 101;
    QTest::newRow("raw IPv6") << 229;
}

void TestScan::ipv6()
{
    QFETCH(int, linkType);
    const QByteArray loopback = QByteArray(15, '\0') + '\x01';
    const QList<QByteArray> frames{
        framed(linkType, tcp6(loopback, loopback, "GET /v6/a.mp3 HTTP/1.1\r\nHost: [::1]:8080\r\n\r\n")),
        framed(linkType, tcp6(kLocal6, kRemote6, "GET /v6/b.jpg HTTP/1.1\r\nHost: [2001:db8::22]\r\n\r\n", true)),
        framed(linkType, tcp6(kLocal6, kRemote6, "POST /v6/c.mp3 HTTP/1.1\r\nHost: x.test\r\n\r\n"))};
    const QString path = m_dir->filePath("v6.pcap");
    writeFile(path, captureFile(quint32(linkType), frames));
    const Run r = scan({"--dir", m_dir->path(), path});
    QCOMPARE(r.status, 0);
    QVERIFY2(r.out.contains("2\thttp://[::1]:8080/v6/a.mp3\t02\thttp://[::1]:8080/v6/a.mp3\t2\n"), qPrintable(r.out));
    QVERIFY2(r.out.contains("2\thttp://[2001:db8::22]/v6/b.jpg\t03\thttp://[2001:db8::22]/v6/b.jpg\t3\n"), qPrintable(r.out));
    QVERIFY2(r.err.contains("3 datagrams read, 2 requests found, 2 resources filed"), qPrintable(r.err));
}

void TestScan::localIpv6Addresses_data()
{
    QTest::addColumn<QStringList>("locals");
    QTest::addColumn<int>("filed");
    QTest::newRow("the local address") << QStringList{"fd00::14"} << 1;
    QTest::newRow("written long") << QStringList{"FD00:0:0:0:0:0:0:0014"} << 1;
    QTest::newRow("the remote address: received, not sent") << QStringList{"2001:db8::22"} << 1;
    QTest::newRow("an address not in the file") << QStringList{"::1"} << 0;
    QTest::newRow("an IPv4 address") << QStringList{"198.51.100.7"} << 0;
    QTest::newRow("both") << QStringList{"fd00::14", "2001:db8::22"} << 2;
}

void TestScan::localIpv6Addresses()
{
    QFETCH(QStringList, locals);
    QFETCH(int, filed);
    const QString path = m_dir->filePath("two6.pcap");
    writeFile(path, captureFile(229, {tcp6(kLocal6, kRemote6, "GET /sent.mp3 HTTP/1.1\r\nHost: r.test\r\n\r\n"),
                                      tcp6(kRemote6, kLocal6, "GET /received.jpg HTTP/1.1\r\nHost: l.test\r\n\r\n")}));
    QStringList args{"--dir", m_dir->path()};
    for (const QString &l : locals)
        args << "--local" << l;
    const Run r = scan(args << path);
    QCOMPARE(r.status, 0);
    QVERIFY2(r.err.contains(QStringLiteral("%1 resources filed").arg(filed)), qPrintable(r.err));
    if (locals == QStringList{"fd00::14"})
        QVERIFY(r.out.contains("\thttp://r.test/sent.mp3\t") && !r.out.contains("received"));
}

void TestScan::saveAndReload()
{
    Run r = scan({"--dir", m_dir->path(), "--save", kFixtures + "/lo-curl.pcap"});
    QCOMPARE(r.status, 0);
    const QByteArray list = readFile(m_dir->filePath("zywj.txt"));
    QCOMPARE(list, QByteArray("02-\xD2\xF4\xC0\xD6  http://127.0.0.1:18081/x/y.mp3\r\n"
                              "03-\xCD\xBC\xC6\xAC  http://127.0.0.1:18081/a/b.jpg\r\n"));

    // The next start files the saved list back before reading new traffic.
    const QString path = m_dir->filePath("more.pcap");
    writeFile(path, rawCapture({{kLocal, kRemote, "GET /new.mp3 HTTP/1.1\r\nHost: r.test\r\n\r\n"}}));
    r = scan({"--dir", m_dir->path(), path});
    QCOMPARE(r.status, 0);
    QVERIFY(r.out.contains("2\thttp://127.0.0.1:18081/x/y.mp3\t02\thttp://127.0.0.1:18081/x/y.mp3\t2\n"
                           "2\thttp://r.test/new.mp3\t02\thttp://r.test/new.mp3\t2\n"));
    QVERIFY(r.err.contains("1 requests found, 1 resources filed"));
    QCOMPARE(readFile(m_dir->filePath("zywj.txt")), list); // read, kept, not rewritten without --save
}

void TestScan::truncatedFile()
{
    const Run r = scan({"--dir", m_dir->path(), kFixtures + "/lo-curl-truncated.pcap"});
    QCOMPARE(r.status, 0);
    QCOMPARE(r.out, kCurlTree); // the last record, a FIN, is lost; the requests are not
    QVERIFY2(r.err.contains("lo-curl-truncated.pcap breaks off: truncated dump file"), qPrintable(r.err));
    QCOMPARE(r.err.count('\n'), 1);
}

void TestScan::controlCharactersAreEscaped()
{
    const QString path = m_dir->filePath("odd.pcap");
    writeFile(path, rawCapture({{kLocal, kRemote, "GET /a\tb.mp3 HTTP/1.1\r\nHost: e\x1b[2Jvil.test\r\n\r\n"}}));
    const Run r = scan({"--dir", m_dir->path(), path});
    QCOMPARE(r.status, 0);
    QVERIFY2(r.out.contains("2\thttp://e%1B[2Jvil.test/a%09b.mp3\t02\thttp://e%1B[2Jvil.test/a%09b.mp3\t2\n"),
             qPrintable(r.out));
}

void TestScan::bytesThatAreNotGbkSurvive_data()
{
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QString>("shown");     // the address as quorrel-scan prints it
    QTest::addColumn<QByteArray>("category"); // its category's caption in GBK
    const QByteArray music("02-\xD2\xF4\xC0\xD6");
    const QByteArray pages("01-\xCD\xF8\xD2\xB3\xC1\xAC\xBD\xD3");
    QTest::newRow("byte FF") << QByteArray("h.test") << QByteArray("/\xFF.mp3") << "http://h.test/%FF.mp3" << music;
    QTest::newRow("lead byte before a dot") << QByteArray("h.test") << QByteArray("/\x87.mp3") << "http://h.test/%87.mp3"
                                            << music;
    QTest::newRow("raw UTF-8, as curl sends /中.mp3")
        << QByteArray("h.test") << QByteArray("/\xE4\xB8\xAD.mp3") << u"http://h.test/涓%AD.mp3"_qs << music;
    QTest::newRow("lone lead byte before a slash")
        << QByteArray("h.test") << QByteArray("/d\x81/x.mp3") << "http://h.test/d%81/x.mp3" << music;
    QTest::newRow("lone lead byte at the end") << QByteArray("h.test") << QByteArray("/x.mp3\x81")
                                               << "http://h.test/x.mp3%81" << pages;
    QTest::newRow("lead byte before DEL") << QByteArray("h.test") << QByteArray("/\x81\x7F.mp3")
                                          << "http://h.test/%81%7F.mp3" << music;
    QTest::newRow("in the host") << QByteArray("h\xFF\xFE.test") << QByteArray("/a.mp3") << "http://h%FF%FE.test/a.mp3"
                                 << music;
    QTest::newRow("GBK itself") << QByteArray("h.test") << QByteArray("/\xD6\xD0.mp3") << u"http://h.test/中.mp3"_qs
                                << music;
}

void TestScan::bytesThatAreNotGbkSurvive()
{
    // capture file -> tree -> zywj.txt -> tree -> zywj.txt, byte for byte.
    QFETCH(QByteArray, host);
    QFETCH(QByteArray, path);
    QFETCH(QString, shown);
    QFETCH(QByteArray, category);
    const QString capture = m_dir->filePath("bytes.pcap");
    writeFile(capture, rawCapture({{kLocal, kRemote, "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n"}}));
    Run r = scan({"--dir", m_dir->path(), "--save", capture});
    QCOMPARE(r.status, 0);
    const QByteArray line = category + "  http://" + host + path + "\r\n";
    QCOMPARE(readFile(m_dir->filePath("zywj.txt")), line);
    const QString node = QStringLiteral("\t%1\t").arg(shown);
    QVERIFY2(r.out.contains(node), qPrintable(r.out));

    const QString nothing = m_dir->filePath("nothing.pcap");
    writeFile(nothing, rawCapture({}));
    r = scan({"--dir", m_dir->path(), "--save", nothing});
    QCOMPARE(r.status, 0);
    QVERIFY2(r.out.contains(node), qPrintable(r.out)); // filed back from the list
    QCOMPARE(readFile(m_dir->filePath("zywj.txt")), line);
}

void TestScan::differentBytesAreDifferentResources()
{
    const QString capture = m_dir->filePath("two.pcap");
    writeFile(capture, rawCapture({{kLocal, kRemote, "GET /\x87.mp3 HTTP/1.1\r\nHost: h.test\r\n\r\n"},
                                   {kLocal, kRemote, "GET /\xFF.mp3 HTTP/1.1\r\nHost: h.test\r\n\r\n"},
                                   {kLocal, kRemote, "GET /\x87.mp3 HTTP/1.1\r\nHost: h.test\r\n\r\n"}}));
    const Run r = scan({"--dir", m_dir->path(), "--save", capture});
    QCOMPARE(r.status, 0);
    QVERIFY2(r.err.contains("3 requests found, 2 resources filed"), qPrintable(r.err));
    QCOMPARE(readFile(m_dir->filePath("zywj.txt")), QByteArray("02-\xD2\xF4\xC0\xD6  http://h.test/\x87.mp3\r\n"
                                                                "02-\xD2\xF4\xC0\xD6  http://h.test/\xFF.mp3\r\n"));
}

void TestScan::badInput_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");
    const QString f = kFixtures;
    QTest::newRow("unknown option") << QStringList{"--frobnicate", f + "/lo-curl.pcap"} << "frobnicate";
    QTest::newRow("no file") << QStringList{} << "no capture file given";
    QTest::newRow("missing file") << QStringList{f + "/nothing-here.pcap"} << "nothing-here.pcap: ";
    QTest::newRow("folder") << QStringList{f} << f + ": ";
    QTest::newRow("not a capture file") << QStringList{f + "/../test_scan.cpp"} << "test_scan.cpp: ";
    QTest::newRow("unsupported link type") << QStringList{f + "/wifi.pcap"} << "wifi.pcap: link type 105";
    QTest::newRow("bad --local") << QStringList{"--local", "1.2.3.256", f + "/lo-curl.pcap"} << "1.2.3.256";
    QTest::newRow("--local with brackets") << QStringList{"--local", "[::1]", f + "/lo-curl.pcap"} << "[::1]: not an IPv4 or IPv6 address";
    QTest::newRow("--local with a zone") << QStringList{"--local", "fe80::1%eth0", f + "/lo-curl.pcap"} << "fe80::1%eth0";
    QTest::newRow("a bad file after a good one") << QStringList{f + "/lo-curl.pcap", f + "/wifi.pcap"} << "wifi.pcap";
}

void TestScan::badInput()
{
    QFETCH(QStringList, args);
    QFETCH(QString, message);
    const Run r = scan(QStringList{"--dir", m_dir->path(), "--save"} + args);
    QCOMPARE(r.status, 2);
    QVERIFY(r.out.isEmpty());
    QVERIFY2(r.err.startsWith("quorrel-scan: ") && r.err.contains(message) && r.err.count('\n') == 1,
             qPrintable(r.err));
    QVERIFY(!QFile::exists(m_dir->filePath("zywj.txt"))); // nothing written

    const Run noDir = scan({"--dir", m_dir->filePath("missing"), kFixtures + "/lo-curl.pcap"});
    QCOMPARE(noDir.status, 2);
}

// A pcapng file's own secrets (a Decryption Secrets Block) are read before its packets;
// damage to them is said in the summary, once, and the packets are read all the same.
void TestScan::secretsInTheFile_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("note"); // in the summary; empty: none

    const QByteArray get = rawCapture({{kLocal, kRemote, "GET /carried.mp3 HTTP/1.1\r\nHost: r.test\r\n\r\n"}}).mid(24 + 16);
    const QByteArray secret = "CLIENT_RANDOM " + QByteArray(64, 'a') + " " + QByteArray(96, 'b') + "\n";
    using quorrel::test::Pcapng;
    QTest::newRow("whole") << Pcapng().section().secrets(secret).interface().packet(get).take() << "";
    QByteArray lying = Pcapng(true).section().secrets(secret).interface().packet(get).take();
    lying.replace(28 + 12, 4, QByteArray("\0\0\1\0", 4)); // 256 bytes of secrets in a block of 112
    QTest::newRow("secrets that run past their block") << lying
        << "its secrets are read only in part (secrets at byte 28 run past their block)";
    const QByteArray cut = Pcapng().section().secrets(secret).interface().packet(get).take().chopped(8);
    QTest::newRow("cut inside the last packet") << cut << "breaks off";
}

void TestScan::secretsInTheFile()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, note);
    const QString path = m_dir->filePath("carried.pcapng");
    writeFile(path, file);
    const Run r = scan({"--dir", m_dir->path(), path});
    QCOMPARE(r.status, 0);
    QVERIFY2(r.err.count('\n') == 1, qPrintable(r.err));
    if (note.isEmpty())
        QVERIFY2(!r.err.contains(';'), qPrintable(r.err));
    else
        QVERIFY2(r.err.contains("; " + path) && r.err.contains(note) && r.err.count(path) == 1, qPrintable(r.err));
    QCOMPARE(r.out.contains("\thttp://r.test/carried.mp3\t"), !note.contains("breaks off"));
}

// A pcapng time stamp is 64 bits of units the file chooses (microseconds unless its
// interface says otherwise), plus an offset of the interface's own, so it can name a time
// far beyond any capture: its seconds are held to the years 1 to 9999, which a HAR file's
// ISO 8601 dates can show, and nothing is lost.
void TestScan::captureTimes_data()
{
    QTest::addColumn<int>("resolution");   // if_tsresol: units of 10^-n seconds; -1: none
    QTest::addColumn<qint64>("offset");    // if_tsoffset, seconds; 0: none
    QTest::addColumn<quint64>("timestamp");
    QTest::addColumn<QString>("started"); // the HAR entry's startedDateTime

    QTest::newRow("microseconds") << -1 << qint64(0) << quint64(1700000000123456) << "2023-11-14T22:13:20.123Z";
    QTest::newRow("nanoseconds, an offset") << 9 << qint64(100) << quint64(1700000000123456789) << "2023-11-14T22:15:00.123Z";
    QTest::newRow("the largest time stamp") << -1 << qint64(0) << ~quint64(0) << "9999-12-31T23:59:59.551Z";
    QTest::newRow("seconds, an offset") << 0 << qint64(1) << quint64(1) << "1970-01-01T00:00:02.000Z";
    QTest::newRow("seconds, an offset far ahead") << 0 << (qint64(1) << 62) << quint64(5) << "9999-12-31T23:59:59.000Z";
    QTest::newRow("seconds, an offset far back") << 0 << -(qint64(1) << 62) << quint64(5) << "0001-01-01T00:00:00.000Z";
}

void TestScan::captureTimes()
{
    QFETCH(int, resolution);
    QFETCH(qint64, offset);
    QFETCH(quint64, timestamp);
    QFETCH(QString, started);
    using quorrel::test::Pcapng;
    Pcapng options;
    if (resolution >= 0)
        options.u16(9).u16(1).then(QByteArray(1, char(resolution))).then(QByteArray(3, '\0'));
    if (offset != 0)
        options.u16(14).u16(8).u32(quint32(quint64(offset))).u32(quint32(quint64(offset) >> 32));
    options.u16(0).u16(0);
    Pcapng interface;
    interface.u16(101).u16(0).u32(65535).then(options.take());
    const QByteArray get = rawCapture({{kLocal, kRemote, "GET /timed.mp3 HTTP/1.1\r\nHost: r.test\r\n\r\n"}}).mid(24 + 16);
    Pcapng packet;
    packet.u32(0).u32(quint32(timestamp >> 32)).u32(quint32(timestamp)).u32(quint32(get.size())).u32(quint32(get.size()));
    const QByteArray file = Pcapng().section().block(1, interface.take()).block(6, packet.take() + get).take();
    const QString path = m_dir->filePath("timed.pcapng");
    writeFile(path, file);
    const QString har = m_dir->filePath("timed.har");
    const Run r = scan({"--dir", m_dir->path(), "--har", har, path});
    QCOMPARE(r.status, 0);
    QVERIFY2(r.out.contains("\thttp://r.test/timed.mp3\t"), qPrintable(r.out + r.err));
    const QJsonArray entries = QJsonDocument::fromJson(readFile(har)).object().value("log").toObject().value("entries").toArray();
    QCOMPARE(entries.size(), 1);
    QCOMPARE(entries[0].toObject().value("startedDateTime").toString(), started);
}

// HTTPS in capture files, read with the key log: connections made by OpenSSL in memory,
// each "VERSION CIPHERS [0-RTT]", become a capture. PSK key exchanges are read as any
// other; 0-RTT requests are filed as any other; a session at a suite not read is counted
// and named on a line after the summary, which keeps its form.
void TestScan::httpsCaptures_data()
{
    QTest::addColumn<QStringList>("connections");
    QTest::addColumn<bool>("chopLastLineEnd"); // the key log ends without a line end
    QTest::addColumn<int>("decrypted");
    QTest::addColumn<QString>("notRead"); // the line after the summary; empty: none

    QTest::newRow("TLS 1.2 PSK AES-128-GCM") << QStringList{"1.2 PSK-AES128-GCM-SHA256"} << false << 1 << "";
    QTest::newRow("TLS 1.2 RSA-PSK AES-256-GCM, DHE-PSK ChaCha20")
        << QStringList{"1.2 RSA-PSK-AES256-GCM-SHA384", "1.2 DHE-PSK-CHACHA20-POLY1305"} << false << 2 << "";
    QTest::newRow("TLS 1.3 0-RTT") << QStringList{"1.3 TLS_AES_128_GCM_SHA256 0-RTT"} << false << 1 << "";
    QTest::newRow("TLS 1.3 0-RTT, AES-256-GCM") << QStringList{"1.3 TLS_AES_256_GCM_SHA384 0-RTT"} << false << 1 << "";
    QTest::newRow("the key log's last line without its end") << QStringList{"1.2 ECDHE-PSK-CHACHA20-POLY1305"} << true << 1 << "";
    QTest::newRow("a CBC suite") << QStringList{"1.2 PSK-AES128-CBC-SHA"} << false << 0
                                 << "1 TLS sessions with a cipher suite not read: 0x008C";
    QTest::newRow("suites not read, each named once")
        << QStringList{"1.2 PSK-AES128-CBC-SHA", "1.2 ECDHE-ECDSA-AES256-SHA", "1.2 PSK-AES256-GCM-SHA384", "1.2 PSK-AES128-CBC-SHA"}
        << false << 1 << "3 TLS sessions with a cipher suite not read: 0x008C, 0xC00A";
    QTest::newRow("TLS 1.0") << QStringList{"1.0 ECDHE-ECDSA-AES128-SHA:@SECLEVEL=0"} << false << 0
                             << "1 TLS sessions with a cipher suite not read: 0xC009";
}

void TestScan::httpsCaptures()
{
    QFETCH(QStringList, connections);
    QFETCH(bool, chopLastLineEnd);
    QFETCH(int, decrypted);
    QFETCH(QString, notRead);

    QList<Connection> captured;
    QByteArray keyLog;
    QStringList addresses;
    for (int i = 0; i < connections.size(); ++i) {
        const QStringList fields = connections[i].split(' ');
        const int version = fields[0] == "1.3" ? TLS1_3_VERSION : fields[0] == "1.2" ? TLS1_2_VERSION : TLS1_VERSION;
        test::TlsPairOptions options(version, fields[1].toStdString());
        if (fields[1].contains("PSK")) {
            options.psk = "0123456789abcdef0123456789abcdef";
            options.rsaKey = fields[1].startsWith("RSA-");
        }
        options.earlyData = fields.size() > 2;
        test::TlsPair pair(options);
        QVERIFY2(pair.handshake(), qPrintable(pair.error()));
        if (options.earlyData) {
            const QString early = QStringLiteral("/early%1.mp3").arg(i);
            QVERIFY2(pair.reconnectWithEarlyData("GET " + early.toLatin1() + " HTTP/1.1\r\nHost: tls.test\r\n\r\n"),
                     qPrintable(pair.error()));
            addresses << "https://tls.test" + early;
        }
        const QString path = QStringLiteral("/c%1.mp3").arg(i);
        QVERIFY2(pair.write("GET " + path.toLatin1() + " HTTP/1.1\r\nHost: tls.test\r\n\r\n"), qPrintable(pair.error()));
        addresses << "https://tls.test" + path;
        captured << Connection{pair.clientToServer, pair.serverToClient};
        keyLog += pair.keyLogLines;
    }
    if (chopLastLineEnd) {
        QVERIFY(keyLog.endsWith('\n'));
        keyLog.chop(1);
    }
    const QString capture = m_dir->filePath("https.pcap");
    const QString keys = m_dir->filePath("keys.log");
    writeFile(capture, tlsCapture(captured));
    writePrivate(keys, keyLog);

    const Run r = scan({"--dir", m_dir->path(), "--keylog", keys, capture});
    QCOMPARE(r.status, 0);
    const int read = decrypted == connections.size() ? int(addresses.size()) : decrypted;
    QString summary = QStringLiteral("^quorrel-scan: \\d+ datagrams read, \\d+ requests found, %1 resources filed, [0-9.]+ s, "
                                     "%2 flows read, %3 TLS sessions decrypted, 0 without a secret\n")
                          .arg(read)
                          .arg(connections.size())
                          .arg(decrypted);
    if (!notRead.isEmpty())
        summary += "quorrel-scan: " + QRegularExpression::escape(notRead) + "\n";
    QVERIFY2(r.err.contains(QRegularExpression(summary + "$")), qPrintable(r.err));
    if (decrypted == connections.size()) {
        for (const QString &address : addresses)
            QVERIFY2(r.out.contains("\t" + address + "\t"), qPrintable(address + " in\n" + r.out));
    }
}

// Chromium's HTTP/3 to caddy (tests/fixtures/quic: forced onto QUIC, the server's datagrams
// after its first short-header ones left out, as the capture helper leaves them): read with
// its key log, given as a file or carried in the capture (editcap --inject-secrets), every
// request caddy logged is filed; without it nothing is, and the connection is counted.
void TestScan::quicCaptures_data()
{
    QTest::addColumn<QString>("keys"); // "file", "carried" or "none"
    QTest::addColumn<int>("filed");
    QTest::addColumn<QString>("quicLine");
    QTest::newRow("the key log") << "file" << 5 << "1 QUIC connections read, 0 without a secret";
    QTest::newRow("its secrets in the capture") << "carried" << 5 << "1 QUIC connections read, 0 without a secret";
    QTest::newRow("no key log") << "none" << 0 << "0 QUIC connections read, 1 without a secret";
}

void TestScan::quicCaptures()
{
    QFETCH(QString, keys);
    QFETCH(int, filed);
    QFETCH(QString, quicLine);
    const QString capture = kFixtures + "/quic/chromium-caddy.pcap";
    const QString keyLog = m_dir->filePath("quic-keys.log");
    writePrivate(keyLog, readFile(kFixtures + "/quic/chromium-caddy.keys"));
    QStringList args{"--dir", m_dir->path()};
    if (keys == "file") {
        args << "--keylog" << keyLog << capture;
    } else if (keys == "carried") {
        const QString carried = m_dir->filePath("quic-dsb.pcapng");
        QProcess editcap;
        editcap.start("editcap", {"--inject-secrets", "tls," + keyLog, capture, carried});
        QVERIFY2(editcap.waitForFinished(30000) && editcap.exitCode() == 0, editcap.readAllStandardError().constData());
        args << carried;
    } else {
        args << capture;
    }
    const Run r = scan(args);
    QCOMPARE(r.status, 0);
    QVERIFY2(r.err.contains(QStringLiteral(", %1 resources filed, ").arg(filed)), qPrintable(r.err));
    QVERIFY2(r.err.contains("\nquorrel-scan: " + quicLine + "\n"), qPrintable(r.err));
    QCOMPARE(r.err.contains("HTTP/3 (QUIC) traffic seen"), filed == 0);
    for (const char *path : {"/index.html", "/m/a.png", "/m/b.jpg", "/m/d.mp4", "/favicon.ico"})
        QCOMPARE(r.out.contains(QStringLiteral("\thttps://quic.test:8443%1\t").arg(path)), filed > 0);
}

// Each capture's Decryption Secrets Block is a key log of its own: a last line without its
// end is read, and is not joined to the first line of the next file's block (pcapng files
// of two captures, as editcap --inject-secrets writes them from key logs without an end).
void TestScan::secretsBlocksWithoutALastLineEnd()
{
    QStringList paths;
    for (int i = 0; i < 2; ++i) {
        test::TlsPairOptions options(TLS1_2_VERSION, "PSK-AES256-GCM-SHA384");
        options.psk = "0123456789abcdef0123456789abcdef";
        test::TlsPair pair(options);
        QVERIFY2(pair.handshake(), qPrintable(pair.error()));
        QVERIFY(pair.write("GET /carried" + QByteArray::number(i) + ".mp3 HTTP/1.1\r\nHost: tls.test\r\n\r\n"));
        QByteArray secrets = pair.keyLogLines;
        QVERIFY(secrets.endsWith('\n'));
        secrets.chop(1);
        test::Pcapng file;
        file.section().secrets(secrets).interface();
        for (const QByteArray &frame : tlsFrames({{pair.clientToServer, pair.serverToClient}}, quint16(41000 + 100 * i)))
            file.packet(frame);
        paths << m_dir->filePath(QStringLiteral("carried%1.pcapng").arg(i));
        writeFile(paths.last(), file.take());
    }
    const Run r = scan(QStringList{"--dir", m_dir->path()} + paths);
    QCOMPARE(r.status, 0);
    QVERIFY2(r.err.contains("2 TLS sessions decrypted, 0 without a secret\n"), qPrintable(r.err));
    QVERIFY(r.out.contains("\thttps://tls.test/carried0.mp3\t") && r.out.contains("\thttps://tls.test/carried1.mp3\t"));
}

// A scan of capture files reads the key log as it is when the scan starts: one that goes
// on growing (here by a gigabyte each 20 ms, as a hole: no room taken) would keep it
// reading for ever.
void TestScan::keyLogGrowsDuringTheScan()
{
    test::TlsPairOptions options(TLS1_2_VERSION, "PSK-AES128-GCM-SHA256");
    options.psk = "0123456789abcdef0123456789abcdef";
    test::TlsPair psk(options);
    QVERIFY2(psk.handshake(), qPrintable(psk.error()));
    QVERIFY(psk.write("GET /grown.mp3 HTTP/1.1\r\nHost: tls.test\r\n\r\n"));
    const QString capture = m_dir->filePath("https.pcap");
    const QString keys = m_dir->filePath("keys.log");
    writeFile(capture, tlsCapture({{psk.clientToServer, psk.serverToClient}}));
    writePrivate(keys, psk.keyLogLines);

    std::atomic<bool> done{false};
    std::thread grower([&] {
        const int fd = ::open(QFile::encodeName(keys).constData(), O_WRONLY | O_CLOEXEC);
        for (off_t size = 1LL << 30; fd >= 0 && !done && size < (1LL << 40); size += 1LL << 30) {
            if (::ftruncate(fd, size) != 0)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (fd >= 0)
            ::close(fd);
    });
    QProcess p;
    p.start(kScan, {"--dir", m_dir->path(), "--keylog", keys, capture});
    const bool finished = p.waitForFinished(30000);
    done = true;
    grower.join();
    if (!finished) {
        p.kill();
        p.waitForFinished();
    }
    QVERIFY2(finished, "the scan went on reading the growing key log");
    QCOMPARE(p.exitCode(), 0);
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    QVERIFY2(out.contains("\thttps://tls.test/grown.mp3\t"), qPrintable(out));
}

// A key log larger than any browser writes is read only up to its bound, and the scan says
// so: the secrets at its start still open their sessions.
void TestScan::hugeKeyLogIsReadInPart()
{
    test::TlsPairOptions options(TLS1_2_VERSION, "PSK-AES128-GCM-SHA256");
    options.psk = "0123456789abcdef0123456789abcdef";
    test::TlsPair psk(options);
    QVERIFY2(psk.handshake(), qPrintable(psk.error()));
    QVERIFY(psk.write("GET /huge.mp3 HTTP/1.1\r\nHost: tls.test\r\n\r\n"));
    const QString capture = m_dir->filePath("huge.pcap");
    const QString keys = m_dir->filePath("huge-keys.log");
    writeFile(capture, tlsCapture({{psk.clientToServer, psk.serverToClient}}));
    writePrivate(keys, psk.keyLogLines);
    QVERIFY(::truncate(QFile::encodeName(keys).constData(), off_t(300) * 1024 * 1024) == 0); // a hole: no room taken
    const Run r = scan({"--dir", m_dir->path(), "--keylog", keys, capture});
    QCOMPARE(r.status, 0);
    QVERIFY2(r.out.contains("\thttps://tls.test/huge.mp3\t"), qPrintable(r.out));
    QVERIFY2(r.err.contains("256 MiB"), qPrintable(r.err));
}

// Whoever can write the key log can make the program decrypt with secrets of their
// choosing: a key log others can write, or another user's, is refused with the reason
// (exit status 2, nothing written); a link to a file of the user's own is taken.
void TestScan::keyLogRefused_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("foreign"); // another user's (made by root)
    QTest::addColumn<bool>("link");
    QTest::addColumn<QString>("message"); // empty: read
    QTest::newRow("world-writable") << 0666 << false << false << "refused: users other than you can write it (mode 0666)";
    QTest::newRow("group-writable") << 0660 << false << false << "refused: users other than you can write it (mode 0660)";
    QTest::newRow("another owner") << 0600 << true << false << "refused: it belongs to nobody, not to you";
    QTest::newRow("a link to a good file") << 0600 << false << true << "";
    QTest::newRow("a link to a foreign file") << 0600 << true << true << ", and it belongs to nobody, not to you";
    QTest::newRow("a link to a world-writable file") << 0666 << false << true << ", and users other than you can write it";
}

void TestScan::keyLogRefused()
{
    QFETCH(int, mode);
    QFETCH(bool, foreign);
    QFETCH(bool, link);
    QFETCH(QString, message);
    if (foreign && ::geteuid() != 0)
        QSKIP("a file of another user's is made by root (as CI runs the tests)");
    const QString keys = m_dir->filePath("keys.log");
    writeFile(keys, "CLIENT_RANDOM " + QByteArray(64, 'a') + " " + QByteArray(96, 'b') + "\n");
    QVERIFY(::chmod(QFile::encodeName(keys).constData(), mode_t(mode)) == 0);
    if (foreign)
        QVERIFY(::chown(QFile::encodeName(keys).constData(), 65534, 65534) == 0);
    const QString named = link ? m_dir->filePath("link.log") : keys;
    if (link)
        QVERIFY(QFile::link(keys, named));
    const Run r = scan({"--dir", m_dir->path(), "--save", "--keylog", named, kFixtures + "/lo-curl.pcap"});
    if (message.isEmpty()) {
        QCOMPARE(r.status, 0);
        QCOMPARE(r.out, kCurlTree);
        return;
    }
    QCOMPARE(r.status, 2);
    QVERIFY(r.out.isEmpty());
    QVERIFY2(r.err.startsWith("quorrel-scan: --keylog " + named + ": ") && r.err.contains(message) && r.err.count('\n') == 1,
             qPrintable(r.err));
    QVERIFY(!QFile::exists(m_dir->filePath("zywj.txt")));
}

namespace {

// An openssl s_client run to its end: what goes to its standard input is sent (after the
// handshake), and its input closes a second later, when the server's answer and tickets
// have come.
bool runClient(const QStringList &args, const QByteArray &input)
{
    QProcess client;
    client.setProcessChannelMode(QProcess::MergedChannels);
    client.start("openssl", QStringList{"s_client"} + args);
    if (!client.waitForStarted(10000))
        return false;
    client.write(input);
    QTest::qWait(1000);
    client.closeWriteChannel();
    if (client.state() != QProcess::NotRunning && !client.waitForFinished(15000)) {
        client.kill();
        client.waitForFinished();
        qWarning("openssl s_client did not end: %s", client.readAll().constData());
        return false;
    }
    const QByteArray said = client.readAll();
    if (client.exitStatus() != QProcess::NormalExit || client.exitCode() != 0) {
        qWarning("openssl s_client failed: %s", said.constData());
        return false;
    }
    return true;
}

} // namespace

// Real clients and servers: openssl s_client and s_server on loopback, captured by
// tcpdump, read through quorrel-scan --keylog with the client's own key log. TLS 1.2 with
// a pre-shared key (AES-256-GCM, read; AES-128-CBC, named), and TLS 1.3 resumed with 0-RTT
// early data (-sess_out, -sess_in -early_data).
void TestScan::realClients()
{
    if (::geteuid() != 0)
        QFAIL("capturing on loopback needs root (as CI runs the tests)");
    const QString dir = m_dir->path();
    const QList<quint16> ports = test::freePorts(2);
    const QString psk = QString::number(ports[0]), early = QString::number(ports[1]);
    const QString key = "00112233445566778899aabbccddeeff";
    QVERIFY(QProcess::execute("openssl", {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                                          "-subj", "/CN=early.test", "-days", "1", "-keyout", dir + "/key.pem", "-out",
                                          dir + "/cert.pem"})
            == 0);

    const QString capture = dir + "/real.pcap";
    QProcess tcpdump;
    tcpdump.start("tcpdump", {"-i", "lo", "-U", "--immediate-mode", "-Z", "root", "-w", capture,
                              QStringLiteral("tcp port %1 or tcp port %2").arg(psk, early)});
    QVERIFY2(tcpdump.waitForStarted(), "tcpdump (Debian package tcpdump) is needed");
    QByteArray said;
    QTRY_VERIFY_WITH_TIMEOUT((said += tcpdump.readAllStandardError()).contains("listening on") || tcpdump.state() != QProcess::Running,
                             10000);
    QVERIFY2(tcpdump.state() == QProcess::Running, said.constData());

    test::Peer pskServer;
    QVERIFY(pskServer.start("openssl", {"s_server", "-accept", "127.0.0.1:" + psk, "-nocert", "-psk", key, "-psk_identity",
                                        "client", "-tls1_2", "-cipher", "PSK-AES256-GCM-SHA384:PSK-AES128-CBC-SHA", "-www"},
                            ports[0]));
    test::Peer earlyServer;
    QVERIFY(earlyServer.start("openssl", {"s_server", "-accept", "127.0.0.1:" + early, "-cert", dir + "/cert.pem", "-key",
                                          dir + "/key.pem", "-tls1_3", "-early_data", "-no_anti_replay"},
                              ports[1]));
    const QString keys = dir + "/keys.log";
    writePrivate(keys, {});
    const QStringList pskClient{"-connect", "127.0.0.1:" + psk, "-psk", key, "-psk_identity", "client", "-tls1_2",
                                "-keylogfile", keys, "-ign_eof"};
    QVERIFY(runClient(pskClient + QStringList{"-cipher", "PSK-AES256-GCM-SHA384"},
                      "GET /psk.mp3 HTTP/1.1\r\nHost: psk.test\r\n\r\n"));
    QVERIFY(runClient(pskClient + QStringList{"-cipher", "PSK-AES128-CBC-SHA"}, "GET /cbc.mp3 HTTP/1.1\r\nHost: psk.test\r\n\r\n"));
    const QStringList earlyClient{"-connect", "127.0.0.1:" + early, "-servername", "early.test", "-tls1_3", "-keylogfile", keys};
    QVERIFY(runClient(earlyClient + QStringList{"-sess_out", dir + "/session.pem"},
                      "GET /first.mp3 HTTP/1.1\r\nHost: early.test\r\n\r\n"));
    writeFile(dir + "/early.txt", "GET /early.mp3 HTTP/1.1\r\nHost: early.test\r\n\r\n");
    QVERIFY(runClient(earlyClient + QStringList{"-sess_in", dir + "/session.pem", "-early_data", dir + "/early.txt"},
                      "GET /later.mp3 HTTP/1.1\r\nHost: early.test\r\n\r\n"));
    // The server read the early data as early data.
    QTRY_VERIFY_WITH_TIMEOUT(earlyServer.output().contains("GET /later.mp3"), 5000);
    QVERIFY2(earlyServer.output().contains("Early data received:") && earlyServer.output().contains("GET /early.mp3"),
             earlyServer.output().constData());
    QVERIFY(readFile(keys).contains("CLIENT_EARLY_TRAFFIC_SECRET "));

    QTest::qWait(300);
    tcpdump.terminate();
    QVERIFY(tcpdump.waitForFinished(10000));
    pskServer.stop();
    earlyServer.stop();

    const Run r = scan({"--dir", dir, "--keylog", keys, capture});
    QCOMPARE(r.status, 0);
    for (const char *address : {"https://psk.test/psk.mp3", "https://early.test/first.mp3", "https://early.test/early.mp3",
                                "https://early.test/later.mp3"})
        QVERIFY2(r.out.contains(QStringLiteral("\t%1\t").arg(QLatin1String(address))), qPrintable(address + ("\n" + r.out)));
    QVERIFY(!r.out.contains("cbc.mp3"));
    QVERIFY2(r.err.contains(QRegularExpression("4 resources filed, [0-9.]+ s, 4 flows read, 3 TLS sessions decrypted, 0 without a "
                                               "secret\nquorrel-scan: 1 TLS sessions with a cipher suite not read: 0x008C\n$")),
             qPrintable(r.err));
}

// Another program cuts the file short while it is read: the reading ends with the reason,
// never with a signal (a mapped file would take SIGBUS past its new end). The files are
// larger than the reading's buffer, so the cut lies ahead of what was read.
void TestScan::fileCutWhileRead_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<qint64>("cutAt");

    QList<std::tuple<QByteArray, QByteArray, QByteArray>> segments;
    for (int i = 0; i < 4000; ++i)
        segments.append({kLocal, kRemote, "GET /" + QByteArray::number(i) + ".mp3 HTTP/1.1\r\nHost: r.test\r\n\r\n"
                                              + QByteArray(1000, 'x')});
    const QByteArray pcap = rawCapture(segments);
    const qint64 record = 16 + 20 + 32 + qint64(std::get<2>(segments.first()).size()); // the first record
    QTest::newRow("pcap, cut between records") << pcap << 24 + 3000 * record;
    QTest::newRow("pcap, cut inside a record") << pcap << 24 + 3000 * record + 100;
    QTest::newRow("pcap, cut to nothing") << pcap << qint64(0);
    quorrel::test::Pcapng pcapng;
    pcapng.section().interface();
    const QByteArray first = pcap.mid(24 + 16, record - 16);
    for (int i = 0; i < 4000; ++i)
        pcapng.packet(first);
    QTest::newRow("pcapng, cut inside a packet block") << pcapng.take() << qint64(2500 * 1024);
}

void TestScan::fileCutWhileRead()
{
    QFETCH(QByteArray, file);
    QFETCH(qint64, cutAt);
    const QString path = m_dir->filePath("cut.pcap");
    writeFile(path, file);
    QString error;
    const std::unique_ptr<CaptureFile> capture = CaptureFile::open(path, error);
    QVERIFY2(capture, qPrintable(error));
    Bytes frame;
    for (int i = 0; i < 10; ++i)
        QCOMPARE(capture->next(frame), CaptureFile::Read::Frame);
    QVERIFY(QFile::resize(path, cutAt));
    CaptureFile::Read read;
    int frames = 0;
    while ((read = capture->next(frame)) == CaptureFile::Read::Frame)
        ++frames;
    QCOMPARE(read, CaptureFile::Read::Cut);
    QCOMPARE(capture->brokenReason(), kFileCutWhileRead);
    QVERIFY(frames < 4000);

    // The walk over a pcapng file's blocks (for its secrets) reads in pieces too.
    writeFile(path, file);
    const std::unique_ptr<FilePieces> pieces = FilePieces::open(path, error);
    QVERIFY2(pieces, qPrintable(error));
    QVERIFY(pieces->bytes(0, 16));
    QVERIFY(QFile::resize(path, cutAt));
    QCOMPARE(pieces->bytes(pieces->size() - 16, 16), nullptr);
    QVERIFY(pieces->cut());
}

QTEST_GUILESS_MAIN(TestScan)
#include "test_scan.moc"
