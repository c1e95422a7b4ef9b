// The stream reader: TCP segments put back in order per connection, the requests of
// HTTP/1.x and HTTP/2 read from them (HPACK against RFC 7541's own examples), TLS
// connections handed to TLS reading, every bound held; and end to end, real HTTP/2 and
// HTTP/1.1 clients against nginx on 127.0.0.1 and ::1, recorded by tcpdump and read back
// from the capture file.

#include "streams/hpack_inflater.h"
#include "streams/key_log.h"
#include "streams/stream_reader.h"
#include "streams/stream_start.h"
#include "streams/tcp_reassembler.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "http2_frames.h"
#include "test_files.h"
#include "test_peers.h"
#include "tls_pair.h"

#include <nghttp2/nghttp2.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <pcap/pcap.h>

#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <vector>

using namespace quorrel;
using namespace quorrel::streams;
using quorrel::test::readFile;
using quorrel::test::accepts;
using quorrel::test::Deflater;
using quorrel::test::frame;
using quorrel::test::freePorts;
using quorrel::test::openToServerWorkers;
using quorrel::test::writeFile;

// A step of a scripted connection (whatIsNotRead).
struct StreamStep {
    enum Kind { Open, Client, ClientAhead, Server, Again, Fin, Wait, End } kind;
    QByteArray bytes = {};
    int offset = 0; // ClientAhead: past the client's next byte; Again: back from it
};
using StreamSteps = QList<StreamStep>;
Q_DECLARE_METATYPE(StreamSteps)

namespace {

Endpoint v4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d, std::uint16_t port)
{
    Endpoint e;
    e.address = IpAddress::v4(std::uint32_t(a) << 24 | std::uint32_t(b) << 16 | std::uint32_t(c) << 8 | d);
    e.port = port;
    return e;
}

Endpoint v6(const char *text, std::uint16_t port)
{
    Endpoint e;
    e.address.family = IpFamily::V6;
    e.port = port;
    inet_pton(AF_INET6, text, e.address.bytes.data());
    return e;
}

constexpr std::uint16_t kServerPort = 80;

// A StreamReader and what it hands on.
class Wire {
public:
    explicit Wire(const StreamLimits &limits = {}) : reader(keys, limits)
    {
        reader.onRequest = [this](const StreamRequest &r) { requests << r; };
        reader.onNote = [this](const FlowNote &n) { notes << QByteArray(n.reason ? n.reason : ""); };
        reader.onUnread = [this](const UnreadBytes &u) {
            unread << QByteArray(u.sender.port == kServerPort ? "server: " : "client: ")
                          + QByteArray(reinterpret_cast<const char *>(u.bytes.data()), qsizetype(u.bytes.size()));
        };
    }

    void send(const Endpoint &from, const Endpoint &to, std::uint32_t seq, const QByteArray &payload,
              std::uint8_t flags = kTcpAck | kTcpPsh)
    {
        TcpSegment s;
        s.source = from;
        s.destination = to;
        s.seq = seq;
        s.flags = flags;
        s.payload = viewOf(payload);
        s.timeMs = nowMs;
        const SegmentFate fate = reader.feed(s);
        if (!payload.isEmpty())
            fates += fate == SegmentFate::Read ? 'R' : 'N';
        peak = std::max(peak, reader.memoryInUse());
    }

    QStringList addresses() const
    {
        QStringList out;
        for (const StreamRequest &r : requests)
            out << QString::fromLatin1(r.method + " " + r.address());
        return out;
    }

    KeyLog keys;
    StreamReader reader;
    QList<StreamRequest> requests;
    QList<QByteArray> notes;
    QList<QByteArray> unread; // "client: bytes", "server: bytes"
    QByteArray fates;         // R or N for each segment with a payload, in order
    std::int64_t nowMs = 1000;
    std::size_t peak = 0;
};

// One TCP connection as a test writes it: each side's next sequence number.
struct Conn {
    Wire &wire;
    Endpoint client;
    Endpoint server;
    std::uint32_t clientSeq;
    std::uint32_t serverSeq;

    Conn(Wire &w, Endpoint c, Endpoint s, std::uint32_t cisn = 1000, std::uint32_t sisn = 50000)
        : wire(w), client(c), server(s), clientSeq(cisn), serverSeq(sisn)
    {
    }
    void open()
    {
        wire.send(client, server, clientSeq++, {}, kTcpSyn);
        wire.send(server, client, serverSeq++, {}, kTcpSyn | kTcpAck);
        wire.send(client, server, clientSeq, {}, kTcpAck);
    }
    void fromClient(const QByteArray &bytes, std::uint8_t flags = kTcpAck | kTcpPsh)
    {
        wire.send(client, server, clientSeq, bytes, flags);
        clientSeq += static_cast<std::uint32_t>(bytes.size());
    }
    // The client's bytes at an offset from its next sequence number, the next one untouched.
    void fromClientAt(std::int64_t offset, const QByteArray &bytes)
    {
        wire.send(client, server, clientSeq + static_cast<std::uint32_t>(offset), bytes);
    }
    void fromServer(const QByteArray &bytes)
    {
        wire.send(server, client, serverSeq, bytes);
        serverSeq += static_cast<std::uint32_t>(bytes.size());
    }
    void finFromClient() { wire.send(client, server, clientSeq, {}, kTcpFin | kTcpAck); }
};

const Endpoint kClient = v4(10, 0, 0, 2, 40000);
const Endpoint kServer = v4(10, 0, 0, 1, 80);

QByteArray get(const QByteArray &path, const QByteArray &host = "a.test")
{
    return "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\nAccept: */*\r\n\r\n";
}

// Collects what a reassembler hands on.
struct Collect : ByteSink {
    QByteArray got;
    bool bytes(Bytes b) override
    {
        got.append(reinterpret_cast<const char *>(b.data()), static_cast<qsizetype>(b.size()));
        return true;
    }
};


const QByteArray kPreface("PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n");
constexpr std::uint8_t kData = 0, kHeadersType = 1, kSettings = 4, kWindowUpdate = 8, kContinuation = 9;
constexpr std::uint8_t kEndStream = 0x1, kEndHeaders = 0x4, kPadded = 0x8, kPriorityFlag = 0x20;

QList<QPair<QByteArray, QByteArray>> getFields(const QByteArray &path, const QByteArray &authority = "h2.test")
{
    return {{":method", "GET"}, {":scheme", "https"}, {":authority", authority}, {":path", path},
            {"user-agent", "test-agent"}};
}

QByteArray h2Start() { return kPreface + frame(kSettings, 0, 0, QByteArray::fromHex("000300000064")); }

QByteArray headers(std::uint32_t stream, const QByteArray &block) { return frame(kHeadersType, kEndHeaders | kEndStream, stream, block); }

// Feeds bytes as one client stream: in segments of piece bytes.
void feedClient(Wire &wire, const QByteArray &bytes, qsizetype piece, const Endpoint &server = kServer)
{
    Conn c(wire, kClient, server);
    c.open();
    for (qsizetype i = 0; i < bytes.size(); i += piece)
        c.fromClient(bytes.mid(i, piece));
}

QByteArray repeated(char c, int n) { return QByteArray(n, c); }

} // namespace

namespace {

QByteArray *g_keyLines = nullptr;

void keyLogLine(const SSL *, const char *line)
{
    if (g_keyLines)
        *g_keyLines += QByteArray(line) + '\n';
}

int selectAlpn(SSL *, const unsigned char **out, unsigned char *outlen, const unsigned char *in, unsigned int inlen, void *arg)
{
    const auto *want = static_cast<const QByteArray *>(arg);
    unsigned char *selected = nullptr;
    const int r = SSL_select_next_proto(&selected, outlen, reinterpret_cast<const unsigned char *>(want->constData()),
                                        static_cast<unsigned>(want->size()), in, inlen);
    *out = selected;
    return r == OPENSSL_NPN_NEGOTIATED ? SSL_TLSEXT_ERR_OK : SSL_TLSEXT_ERR_NOACK;
}

// A TLS connection made by OpenSSL itself over memory, both sides: the bytes each side
// put on the wire, in the order they were sent, and the client's key log lines.
struct TlsExchange {
    QList<QPair<bool, QByteArray>> wire; // (from the client, bytes)
    QByteArray keyLines;
    bool ok = false;
};

QByteArray drain(BIO *bio)
{
    QByteArray out;
    char buf[16384];
    int n;
    while ((n = BIO_read(bio, buf, sizeof buf)) > 0)
        out.append(buf, n);
    return out;
}

TlsExchange tlsExchange(int version, const QByteArray &alpn, const QByteArray &serverName, const QList<QByteArray> &requests)
{
    TlsExchange x;
    g_keyLines = &x.keyLines;
    EVP_PKEY *key = EVP_EC_gen("P-256");
    X509 *cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
    X509_set_pubkey(cert, key);
    X509_NAME *name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>("tls.test"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509_sign(cert, key, EVP_sha256());

    SSL_CTX *sctx = SSL_CTX_new(TLS_server_method());
    SSL_CTX *cctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_use_certificate(sctx, cert);
    SSL_CTX_use_PrivateKey(sctx, key);
    for (SSL_CTX *ctx : {sctx, cctx}) {
        SSL_CTX_set_min_proto_version(ctx, version);
        SSL_CTX_set_max_proto_version(ctx, version);
    }
    const QByteArray serverAlpn = QByteArray(1, char(alpn.size())) + alpn;
    SSL_CTX_set_alpn_select_cb(sctx, selectAlpn, const_cast<QByteArray *>(&serverAlpn));
    SSL_CTX_set_keylog_callback(cctx, keyLogLine);

    SSL *client = SSL_new(cctx);
    SSL *server = SSL_new(sctx);
    BIO *toServer = BIO_new(BIO_s_mem()), *fromClient = BIO_new(BIO_s_mem());
    BIO *toClient = BIO_new(BIO_s_mem()), *fromServer = BIO_new(BIO_s_mem());
    SSL_set_bio(client, toClient, fromClient); // client reads toClient, writes fromClient
    SSL_set_bio(server, toServer, fromServer);
    SSL_set_connect_state(client);
    SSL_set_accept_state(server);
    if (!serverName.isEmpty())
        SSL_set_tlsext_host_name(client, serverName.constData());
    const QByteArray offer = QByteArray("\x02h2\x08http/1.1", 12);
    SSL_set_alpn_protos(client, reinterpret_cast<const unsigned char *>(offer.constData()), static_cast<unsigned>(offer.size()));

    auto shuttle = [&] {
        const QByteArray c = drain(fromClient);
        if (!c.isEmpty()) {
            x.wire << qMakePair(true, c);
            BIO_write(toServer, c.constData(), int(c.size()));
        }
        const QByteArray s = drain(fromServer);
        if (!s.isEmpty()) {
            x.wire << qMakePair(false, s);
            BIO_write(toClient, s.constData(), int(s.size()));
        }
    };
    for (int i = 0; i < 10 && !(SSL_is_init_finished(client) && SSL_is_init_finished(server)); ++i) {
        SSL_do_handshake(client);
        shuttle();
        SSL_do_handshake(server);
        shuttle();
    }
    x.ok = SSL_is_init_finished(client) && SSL_is_init_finished(server);
    for (const QByteArray &r : requests) {
        SSL_write(client, r.constData(), int(r.size()));
        shuttle();
    }
    SSL_free(client);
    SSL_free(server);
    SSL_CTX_free(cctx);
    SSL_CTX_free(sctx);
    X509_free(cert);
    EVP_PKEY_free(key);
    g_keyLines = nullptr;
    return x;
}

void replay(Conn &c, const TlsExchange &x)
{
    for (const auto &[fromClient, bytes] : x.wire) {
        for (qsizetype i = 0; i < bytes.size(); i += 1448) {
            if (fromClient)
                c.fromClient(bytes.mid(i, 1448));
            else
                c.fromServer(bytes.mid(i, 1448));
        }
    }
}

} // namespace

class TestStreams : public QObject {
    Q_OBJECT

private slots:
    void reassembly_data();
    void reassembly();
    void holdLimit();
    void streamStart_data();
    void streamStart();

    void whatIsNotRead_data();
    void whatIsNotRead();
    void gapNeverFills();
    void gapFillsLate();
    void gapMovesOn();
    void flowMemoryBound();
    void totalMemoryBound();
    void flowTableBound();
    void idleExpiry();
    void endOfCapture();
    void finAndRst_data();
    void finAndRst();
    void neitherHttpNorTls();
    void joinedLate();
    void ipv6();
    void portReused();

    void http1_data();
    void http1();
    void http1Headers();
    void fetchHints();

    void hpack_data();
    void hpack();
    void http2_data();
    void http2();

    void hostileTraffic();

    void tlsWithoutSecret();
    void tlsWaitingIsBounded();
    void tlsRequests_data();
    void tlsRequests();
    void tlsEarlyDataRequests_data();
    void tlsEarlyDataRequests();

    void capturedH2c();
};

// ---------------------------------------------------------------- TCP streams

void TestStreams::reassembly_data()
{
    QTest::addColumn<uint>("isn");
    // "offset:text", in arrival order; "offset=text" for bytes all handed on before (Stale)
    QTest::addColumn<QStringList>("segments");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<int>("held");

    QTest::newRow("in order") << 1000u << QStringList{"0:hello ", "6:world"} << QByteArray("hello world") << 0;
    QTest::newRow("out of order") << 1000u << QStringList{"6:world", "0:hello "} << QByteArray("hello world") << 0;
    QTest::newRow("three reversed") << 1000u << QStringList{"4:ef", "2:cd", "0:ab"} << QByteArray("abcdef") << 0;
    QTest::newRow("duplicate") << 1000u << QStringList{"0:hello", "0=hello", "5: world", "5= world"}
                               << QByteArray("hello world") << 0;
    QTest::newRow("duplicate of held bytes") << 1000u << QStringList{"5:fghij", "5:fghij", "0:abcde"}
                                             << QByteArray("abcdefghij") << 0;
    // Where copies disagree, the first to arrive wins: held bytes are never replaced.
    QTest::newRow("overlap over held, first copy wins") << 1000u << QStringList{"4:efgh", "2:cdEFGHij", "0:ab"}
                                                        << QByteArray("abcdefghij") << 0;
    QTest::newRow("overlap over handed-on bytes") << 1000u << QStringList{"0:abcd", "2:XXef"} << QByteArray("abcdef") << 0;
    QTest::newRow("overlap spanning two held pieces") << 1000u << QStringList{"2:cd", "6:gh", "0:abXXefXXij"}
                                                      << QByteArray("abcdefghij") << 0;
    QTest::newRow("retransmission of old bytes") << 1000u << QStringList{"0:abcdef", "-4=zzzz", "0=ab", "6:g"}
                                                 << QByteArray("abcdefg") << 0;
    QTest::newRow("a hole keeps the rest held") << 1000u << QStringList{"0:ab", "4:ef", "8:ij"} << QByteArray("ab") << 4;
    // Sequence numbers wrap around 2^32: serial arithmetic, not plain comparison.
    QTest::newRow("wrap-around in order") << 0xfffffffau << QStringList{"0:abcd", "4:efgh", "8:ijkl"}
                                          << QByteArray("abcdefghijkl") << 0;
    QTest::newRow("wrap-around out of order") << 0xfffffffcu << QStringList{"6:ghij", "2:cdef", "0:ab"}
                                              << QByteArray("abcdefghij") << 0;
    QTest::newRow("wrap-around, old copy from before the wrap") << 0xfffffffeu << QStringList{"0:abcd", "0=XX", "4:ef"}
                                                                << QByteArray("abcdef") << 0;
}

void TestStreams::reassembly()
{
    QFETCH(uint, isn);
    QFETCH(QStringList, segments);
    QFETCH(QByteArray, expected);
    QFETCH(int, held);

    TcpReassembler stream;
    stream.start(isn);
    Collect sink;
    for (const QString &s : segments) {
        const qsizetype colon = s.indexOf(QRegularExpression("[:=]"));
        const int offset = s.left(colon).toInt();
        const QByteArray bytes = s.mid(colon + 1).toLatin1();
        const TcpReassembler::Add added = s[colon] == '=' ? TcpReassembler::Add::Stale : TcpReassembler::Add::Ok;
        QCOMPARE(stream.add(isn + static_cast<std::uint32_t>(offset), viewOf(bytes), 1 << 20, 0, sink), added);
    }
    QCOMPARE(sink.got, expected);
    QCOMPARE(int(stream.heldBytes()), held);
    QCOMPARE(stream.hasHole(), held > 0);
    QCOMPARE(stream.nextSeq(), static_cast<std::uint32_t>(isn + expected.size()));
}

void TestStreams::holdLimit()
{
    TcpReassembler stream;
    stream.start(7);
    Collect sink;
    const QByteArray piece(100, 'x');
    QCOMPARE(stream.add(7 + 10, viewOf(piece), 250, 0, sink), TcpReassembler::Add::Ok);
    QCOMPARE(stream.add(7 + 200, viewOf(piece), 250, 0, sink), TcpReassembler::Add::Ok);
    QCOMPARE(stream.add(7 + 400, viewOf(piece), 250, 0, sink), TcpReassembler::Add::Overflow);
    // Refused whole: a segment whose new bytes do not all fit leaves none of them held,
    // not the part before the bound (its bytes go elsewhere whole).
    QCOMPARE(stream.heldBytes(), std::size_t(200));
    QCOMPARE(stream.add(7 + 5, viewOf(QByteArray(400, 'z')), 250, 0, sink), TcpReassembler::Add::Overflow);
    QCOMPARE(stream.heldBytes(), std::size_t(200));
    // In-order bytes are never held: they pass whatever the limit.
    TcpReassembler inOrder;
    inOrder.start(0);
    const QByteArray big(100000, 'y');
    QCOMPARE(inOrder.add(0, viewOf(big), 10, 0, sink), TcpReassembler::Add::Ok);
    QCOMPARE(inOrder.heldBytes(), std::size_t(0));
}

void TestStreams::streamStart_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("kind");
    const int needMore = int(StreamStart::NeedMore), http = int(StreamStart::Http),
              tls = int(StreamStart::TlsClientHello), neither = int(StreamStart::Neither);
    QTest::newRow("GET") << QByteArray("GET / HTTP/1.1\r\n") << http;
    QTest::newRow("POST absolute form") << QByteArray("POST http://a/ HTTP/1.1") << http;
    QTest::newRow("CONNECT") << QByteArray("CONNECT a.test:443 HTTP/1.1") << http;
    QTest::newRow("HTTP/2 preface") << kPreface << http;
    QTest::newRow("two bytes of GET") << QByteArray("GE") << needMore;
    QTest::newRow("method and space") << QByteArray("GET ") << needMore;
    QTest::newRow("ClientHello") << QByteArray::fromHex("160301020001") << tls;
    QTest::newRow("ClientHello, 3 bytes") << QByteArray::fromHex("160301") << needMore;
    QTest::newRow("ServerHello") << QByteArray::fromHex("160303005a02") << neither;
    QTest::newRow("application data") << QByteArray::fromHex("1703030020") << neither;
    QTest::newRow("SSH") << QByteArray("SSH-2.0-OpenSSH_9.2\r\n") << neither;
    QTest::newRow("HTTP response") << QByteArray("HTTP/1.1 200 OK\r\n") << neither;
    QTest::newRow("lower-case method") << QByteArray("get / HTTP/1.1") << neither;
    QTest::newRow("method too long") << QByteArray("ABCDEFGHIJKLMNOPQRSTUVWXYZ / HTTP/1.1") << neither;
    QTest::newRow("binary") << QByteArray::fromHex("00010203") << neither;
}

void TestStreams::streamStart()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, kind);
    QCOMPARE(int(ClassifyStreamStart(viewOf(bytes))), kind);
}

// The reader says what it does not read: each segment's fate (R, read or held to be read;
// N, taken by no reader), and, as a flow ends, what it took in and never read.

void TestStreams::whatIsNotRead_data()
{
    QTest::addColumn<StreamSteps>("steps");
    QTest::addColumn<int>("maxFlows");
    QTest::addColumn<QByteArray>("fates");
    QTest::addColumn<QStringList>("requests");
    QTest::addColumn<QList<QByteArray>>("unread");

    using S = StreamStep;
    const QByteArray a = get("/a.mp3"), b = get("/b.mp3");
    const QByteArray reply = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";
    const QString getA = "GET http://a.test/a.mp3", getB = "GET http://a.test/b.mp3";
    const QByteArray cut = "GET /c.mp3 HTTP/1.1\r\nHost: a.test\r\n";
    QTest::newRow("in order") << StreamSteps{{S::Open}, {S::Client, a}, {S::Server, reply}, {S::Client, b}} << 65536
                              << QByteArray("RRR") << QStringList{getA, getB} << QList<QByteArray>{};
    QTest::newRow("behind a hole that fills")
        << StreamSteps{{S::Open}, {S::ClientAhead, b, int(a.size())}, {S::Client, a}} << 65536 << QByteArray("RR")
        << QStringList{getA, getB} << QList<QByteArray>{};
    QTest::newRow("behind a hole that never fills")
        << StreamSteps{{S::Open}, {S::Client, a}, {S::ClientAhead, b, 100}, {S::Wait}} << 65536 << QByteArray("RR")
        << QStringList{getA} << QList<QByteArray>{"client: " + b};
    QTest::newRow("the end of the capture behind a hole")
        << StreamSteps{{S::Open}, {S::ClientAhead, b, 100}, {S::End}} << 65536 << QByteArray("R") << QStringList{}
        << QList<QByteArray>{"client: " + b};
    QTest::newRow("a head cut by a hole")
        << StreamSteps{{S::Open}, {S::Client, cut}, {S::ClientAhead, "Accept: */*\r\n\r\n", 10}, {S::End}} << 65536
        << QByteArray("RR") << QStringList{} << QList<QByteArray>{"client: " + cut, "client: Accept: */*\r\n\r\n"};
    QTest::newRow("a head that never ended, closed")
        << StreamSteps{{S::Open}, {S::Client, cut}, {S::Fin}} << 65536 << QByteArray("R") << QStringList{}
        << QList<QByteArray>{"client: " + cut};
    QTest::newRow("first bytes still judged, closed")
        << StreamSteps{{S::Open}, {S::Client, "GE"}, {S::Fin}} << 65536 << QByteArray("R") << QStringList{}
        << QList<QByteArray>{"client: GE"};
    QTest::newRow("not HTTP: that segment and the later ones")
        << StreamSteps{{S::Open}, {S::Client, "HELO mail.test\r\n"}, {S::Client, a}} << 65536 << QByteArray("NN")
        << QStringList{} << QList<QByteArray>{};
    QTest::newRow("a copy of bytes read") << StreamSteps{{S::Open}, {S::Client, a}, {S::Again, b, int(a.size())}} << 65536
                                          << QByteArray("RN") << QStringList{getA} << QList<QByteArray>{};
    QTest::newRow("joined late: a reply, then a request")
        << StreamSteps{{S::Server, reply}, {S::Client, a}} << 65536 << QByteArray("NR") << QStringList{getA}
        << QList<QByteArray>{};
    QTest::newRow("the table holds no flow") << StreamSteps{{S::Open}, {S::Client, a}} << 0 << QByteArray("N")
                                             << QStringList{} << QList<QByteArray>{};
    QTest::newRow("held over the flow's bound")
        << StreamSteps{{S::Open}, {S::ClientAhead, b, 10}, {S::ClientAhead, QByteArray(300 * 1024, 'x'), 10 + int(b.size())}}
        << 65536 << QByteArray("RN") << QStringList{} << QList<QByteArray>{"client: " + b};
}

void TestStreams::whatIsNotRead()
{
    QFETCH(StreamSteps, steps);
    QFETCH(int, maxFlows);
    QFETCH(QByteArray, fates);
    QFETCH(QStringList, requests);
    QFETCH(QList<QByteArray>, unread);

    StreamLimits limits;
    limits.maxFlows = std::size_t(maxFlows);
    Wire wire(limits);
    Conn c(wire, kClient, kServer);
    for (const StreamStep &step : steps) {
        switch (step.kind) {
        case StreamStep::Open: c.open(); break;
        case StreamStep::Client: c.fromClient(step.bytes); break;
        case StreamStep::ClientAhead: c.fromClientAt(step.offset, step.bytes); break;
        case StreamStep::Server: c.fromServer(step.bytes); break;
        case StreamStep::Again: c.fromClientAt(-step.offset, step.bytes); break;
        case StreamStep::Fin: c.finFromClient(); break;
        case StreamStep::Wait:
            wire.nowMs += limits.gapWaitMs + 1;
            wire.reader.expire(wire.nowMs);
            break;
        case StreamStep::End: wire.reader.endAll(); break;
        }
    }
    QCOMPARE(wire.fates, fates);
    QCOMPARE(wire.addresses(), requests);
    QCOMPARE(wire.unread, unread);
}

void TestStreams::gapNeverFills()
{
    StreamLimits limits;
    limits.gapWaitMs = 2000;
    Wire wire(limits);
    Conn c(wire, kClient, kServer);
    c.open();
    const QByteArray first = get("/1.mp3"), second = get("/2.mp3"), third = get("/3.mp3");
    c.fromClient(first);
    // The second request never comes (the capture missed it); the third waits behind it.
    c.fromClientAt(second.size(), third);
    QCOMPARE(wire.addresses(), QStringList{"GET http://a.test/1.mp3"});
    wire.reader.expire(wire.nowMs + 1000);
    QCOMPARE(wire.reader.flowCount(), std::size_t(1));
    wire.reader.expire(wire.nowMs + 2000);
    QCOMPARE(wire.reader.flowCount(), std::size_t(0));
    QCOMPARE(wire.reader.counters().gaps, std::uint64_t(1));
    // Never guessed across: the third request is not read.
    QCOMPARE(wire.addresses(), QStringList{"GET http://a.test/1.mp3"});
    // The second, retransmitted late, finds the flow ended: nothing is read twice or out of order.
    c.fromClient(second);
    QCOMPARE(wire.addresses(), QStringList{"GET http://a.test/1.mp3"});
    QCOMPARE(wire.reader.flowCount(), std::size_t(0));
}

void TestStreams::gapFillsLate()
{
    Wire wire;
    Conn c(wire, kClient, kServer);
    c.open();
    const QByteArray first = get("/1.mp3"), second = get("/2.mp3"), third = get("/3.mp3");
    c.fromClientAt(first.size() + second.size(), third);
    c.fromClientAt(first.size(), second);
    QVERIFY(wire.requests.isEmpty());
    wire.nowMs += 1500;
    c.fromClient(first);
    QCOMPARE(wire.addresses(), (QStringList{"GET http://a.test/1.mp3", "GET http://a.test/2.mp3", "GET http://a.test/3.mp3"}));
    QCOMPARE(wire.reader.counters().gaps, std::uint64_t(0));
}

// A hole that fills while bytes still wait behind a later one: the wait starts again from
// then, and a tick at the first hole's time ends nothing.
void TestStreams::gapMovesOn()
{
    StreamLimits limits;
    limits.gapWaitMs = 2000;
    Wire wire(limits);
    Conn c(wire, kClient, kServer);
    c.open();
    const QByteArray first = get("/1.mp3"), second = get("/2.mp3"), third = get("/3.mp3"), fourth = get("/4.mp3"),
                     fifth = get("/5.mp3");
    c.fromClient(first);
    c.fromClientAt(second.size(), third);
    c.fromClientAt(second.size() + third.size() + fourth.size(), fifth);
    wire.nowMs += 1500;
    c.fromClient(second);
    QCOMPARE(wire.addresses(), (QStringList{"GET http://a.test/1.mp3", "GET http://a.test/2.mp3", "GET http://a.test/3.mp3"}));
    wire.reader.expire(1000 + 2000);
    wire.reader.expire(wire.nowMs + 1999);
    QCOMPARE(wire.reader.flowCount(), std::size_t(1));
    QCOMPARE(wire.reader.counters().gaps, std::uint64_t(0));
    wire.reader.expire(wire.nowMs + 2000);
    QCOMPARE(wire.reader.flowCount(), std::size_t(0));
    QCOMPARE(wire.reader.counters().gaps, std::uint64_t(1));
}

void TestStreams::flowMemoryBound()
{
    StreamLimits limits;
    limits.flowBytes = 16 * 1024;
    Wire wire(limits);
    Conn c(wire, kClient, kServer);
    c.open();
    c.fromClient(get("/1.mp3"));
    // Bytes behind a hole, more than one flow may hold.
    for (int i = 0; i < 20; ++i)
        c.fromClientAt(100 + i * 1000, repeated('x', 1000));
    QCOMPARE(wire.reader.flowCount(), std::size_t(0));
    QCOMPARE(wire.reader.counters().gaps, std::uint64_t(1));
    QVERIFY2(wire.peak < limits.flowBytes + 8 * 1024, qPrintable(QString::number(wire.peak)));
    QCOMPARE(wire.addresses(), QStringList{"GET http://a.test/1.mp3"});
}

void TestStreams::totalMemoryBound()
{
    StreamLimits limits;
    limits.flowBytes = 64 * 1024;
    limits.totalBytes = 512 * 1024;
    Wire wire(limits);
    // Many connections each holding bytes behind a hole: the oldest go first, the total
    // never passes its bound.
    for (int i = 0; i < 200; ++i) {
        Conn c(wire, kClient, v4(10, 0, 1, std::uint8_t(i), 80));
        c.open();
        c.fromClient("GET /a");
        for (int k = 0; k < 8; ++k)
            c.fromClientAt(100 + k * 4000, repeated('y', 4000));
        QVERIFY2(wire.reader.memoryInUse() <= limits.totalBytes, qPrintable(QString::number(wire.reader.memoryInUse())));
    }
    const StreamCounters counters = wire.reader.counters();
    QVERIFY(counters.flowsEvicted > 100);
    QVERIFY(counters.peakMemory <= limits.totalBytes);
    QVERIFY(wire.reader.flowCount() < 30);
}

void TestStreams::flowTableBound()
{
    StreamLimits limits;
    limits.maxFlows = 8;
    limits.maxRemembered = 16;
    Wire wire(limits);
    for (int i = 0; i < 100; ++i) {
        Conn c(wire, v4(10, 0, 2, std::uint8_t(i), 40000), kServer);
        c.open();
        if (i % 2)
            c.fromClient("SSH-2.0-x\r\n"); // dropped, remembered
        QVERIFY(wire.reader.flowCount() <= limits.maxFlows);
        QVERIFY(wire.reader.rememberedCount() <= limits.maxRemembered);
    }
    QVERIFY(wire.reader.counters().flowsEvicted > 0);
}

void TestStreams::idleExpiry()
{
    StreamLimits limits;
    limits.idleMs = 60000;
    Wire wire(limits);
    Conn a(wire, kClient, kServer);
    a.open();
    a.fromClient(get("/1.mp3"));
    wire.nowMs += 50000;
    Conn b(wire, v4(10, 0, 0, 3, 40001), kServer);
    b.open();
    b.fromClient(get("/2.mp3"));
    QCOMPARE(wire.reader.flowCount(), std::size_t(2));
    wire.reader.expire(1000 + 60000);
    QCOMPARE(wire.reader.flowCount(), std::size_t(1)); // a, idle for 60 s
    wire.reader.expire(wire.nowMs + 60000);
    QCOMPARE(wire.reader.flowCount(), std::size_t(0));
    QCOMPARE(wire.reader.memoryInUse() < 2048, true);
    // A keep-alive connection that wakes up is read again from its next request.
    wire.nowMs += 120000;
    a.fromClient(get("/3.mp3"));
    QCOMPARE(wire.addresses().last(), QString("GET http://a.test/3.mp3"));
}

void TestStreams::endOfCapture()
{
    Wire wire;
    Conn held(wire, kClient, kServer);
    held.open();
    held.fromClient(get("/1.mp3"));
    held.fromClientAt(500, get("/3.mp3")); // behind a hole
    Conn tls(wire, v4(10, 0, 0, 9, 40009), v4(10, 0, 0, 1, 443));
    tls.open();
    const TlsExchange x = tlsExchange(TLS1_3_VERSION, "http/1.1", "tls.test", {get("/s.mp3", "tls.test")});
    QVERIFY(x.ok);
    replay(tls, x);
    Conn open(wire, v4(10, 0, 0, 8, 40008), kServer);
    open.open();
    open.fromClient(get("/2.mp3"));
    QCOMPARE(wire.reader.flowCount(), std::size_t(3));
    wire.reader.endAll();
    QCOMPARE(wire.reader.flowCount(), std::size_t(0));
    const StreamCounters counters = wire.reader.counters();
    QCOMPARE(counters.gaps, std::uint64_t(1));
    QCOMPARE(counters.tlsWithoutSecret, std::uint64_t(1));
    QCOMPARE(wire.addresses(), (QStringList{"GET http://a.test/1.mp3", "GET http://a.test/2.mp3"}));
}

void TestStreams::finAndRst_data()
{
    QTest::addColumn<int>("flags");
    QTest::newRow("FIN from the client") << int(kTcpFin | kTcpAck);
    QTest::newRow("RST from the client") << int(kTcpRst);
    QTest::newRow("RST from the server") << -int(kTcpRst);
}

void TestStreams::finAndRst()
{
    QFETCH(int, flags);
    Wire wire;
    Conn c(wire, kClient, kServer);
    c.open();
    c.fromClient(get("/1.mp3"));
    if (flags > 0)
        wire.send(c.client, c.server, c.clientSeq, {}, std::uint8_t(flags));
    else
        wire.send(c.server, c.client, c.serverSeq, {}, std::uint8_t(-flags));
    QCOMPARE(wire.reader.flowCount(), std::size_t(0));
    QCOMPARE(wire.reader.rememberedCount(), std::size_t(1));
    // A late copy of the request finds the flow remembered: read once only.
    c.clientSeq -= static_cast<std::uint32_t>(get("/1.mp3").size());
    c.fromClient(get("/1.mp3"));
    QCOMPARE(wire.addresses(), QStringList{"GET http://a.test/1.mp3"});
    QCOMPARE(wire.reader.flowCount(), std::size_t(0));
}

void TestStreams::neitherHttpNorTls()
{
    Wire wire;
    Conn c(wire, kClient, v4(10, 0, 0, 1, 22));
    c.open();
    c.fromClient("SSH-2.0-OpenSSH_9.2p1 Debian-2\r\n");
    QCOMPARE(wire.reader.flowCount(), std::size_t(0));
    QCOMPARE(wire.reader.counters().flowsDropped, std::uint64_t(1));
    const std::size_t memory = wire.reader.memoryInUse();
    // What follows costs a lookup: no flow, no memory, even for bytes that look like HTTP.
    for (int i = 0; i < 1000; ++i)
        c.fromClient(i == 500 ? get("/x.mp3") : repeated('z', 1000));
    QCOMPARE(wire.reader.flowCount(), std::size_t(0));
    QCOMPARE(wire.reader.memoryInUse(), memory);
    QCOMPARE(wire.reader.counters().flowsDropped, std::uint64_t(1));
    QVERIFY(wire.requests.isEmpty());
    // A server that speaks first (after a SYN) is not HTTP or TLS either.
    Conn smtp(wire, v4(10, 0, 0, 2, 40002), v4(10, 0, 0, 1, 25));
    smtp.open();
    smtp.fromServer("220 mail ESMTP\r\n");
    smtp.fromClient("EHLO x\r\n");
    QCOMPARE(wire.reader.counters().flowsDropped, std::uint64_t(2));
}

void TestStreams::joinedLate()
{
    Wire wire;
    // No SYN seen: the capture started in the middle of a keep-alive connection. The
    // server's reply comes first; the client's next request is read from its start.
    Conn c(wire, kClient, kServer, 777777, 888888);
    c.fromServer("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello");
    c.fromClient(get("/next.mp3"));
    QCOMPARE(wire.addresses(), QStringList{"GET http://a.test/next.mp3"});
    QCOMPARE(wire.reader.counters().flowsRead, std::uint64_t(1));
    // Joined in the middle of a request body: nothing to read from, dropped.
    Conn d(wire, v4(10, 0, 0, 4, 40004), kServer, 5, 6);
    d.fromClient(repeated('b', 500));
    d.fromServer("HTTP/1.1 100 Continue\r\n\r\n");
    QCOMPARE(wire.reader.counters().flowsDropped, std::uint64_t(1));
}

void TestStreams::ipv6()
{
    Wire wire;
    const Endpoint client = v6("2001:db8::2", 50000), server = v6("2001:db8::1", 8080);
    Conn c(wire, client, server);
    c.open();
    c.fromClient("GET /v6.mp3 HTTP/1.0\r\n\r\n"); // no Host: the server's address stands in
    c.fromClient(get("/v6b.mp3", "six.test"));
    // The same ports on other addresses are another connection.
    Conn other(wire, v6("2001:db8::3", 50000), server);
    other.open();
    other.fromClient("SSH-2.0-x\r\n");
    QCOMPARE(wire.addresses(), (QStringList{"GET http://[2001:db8::1]:8080/v6.mp3", "GET http://six.test/v6b.mp3"}));
    QCOMPARE(wire.reader.flowCount(), std::size_t(1));
}

void TestStreams::portReused()
{
    Wire wire;
    Conn c(wire, kClient, kServer, 1000);
    c.open();
    c.fromClient(get("/1.mp3"));
    c.finFromClient();
    // The same ends, a new connection (a new SYN, another sequence number).
    Conn again(wire, kClient, kServer, 900000);
    again.open();
    again.fromClient(get("/2.mp3"));
    // A SYN sent again within one connection changes nothing.
    Conn third(wire, v4(10, 0, 0, 5, 40005), kServer, 5000);
    third.open();
    wire.send(third.client, third.server, 5000, {}, kTcpSyn);
    third.fromClient(get("/3.mp3"));
    QCOMPARE(wire.addresses(), (QStringList{"GET http://a.test/1.mp3", "GET http://a.test/2.mp3", "GET http://a.test/3.mp3"}));
}

// ---------------------------------------------------------------- HTTP/1.x

void TestStreams::http1_data()
{
    QTest::addColumn<QList<QByteArray>>("segments");
    QTest::addColumn<QStringList>("addresses");
    QTest::addColumn<int>("oversize");
    QTest::addColumn<int>("protocol");

    const QByteArray one = get("/one.mp3"), two = get("/two.jpg");
    QTest::newRow("head split over three segments")
        << QList<QByteArray>{"GET /split/a.mp3 HT", "TP/1.1\r\nHo", "st: split.test\r\n\r\n"}
        << QStringList{"GET http://split.test/split/a.mp3"} << 0 << 0;
    QTest::newRow("two pipelined requests in one segment")
        << QList<QByteArray>{one + two} << QStringList{"GET http://a.test/one.mp3", "GET http://a.test/two.jpg"} << 0 << 0;
    QTest::newRow("Host line in a later segment")
        << QList<QByteArray>{"GET /late.mp3 HTTP/1.1\r\nAccept: */*\r\n", "Host: late.test\r\n\r\n"}
        << QStringList{"GET http://late.test/late.mp3"} << 0 << 0;
    QTest::newRow("head end split between CR and LF")
        << QList<QByteArray>{"GET /cr.mp3 HTTP/1.1\r\nHost: cr.test\r\n\r", "\n" + two}
        << QStringList{"GET http://cr.test/cr.mp3", "GET http://a.test/two.jpg"} << 0 << 0;
    QTest::newRow("keep-alive with a Content-Length body")
        << QList<QByteArray>{"POST /form HTTP/1.1\r\nHost: a.test\r\nContent-Length: 11\r\n\r\nhello", " world" + one}
        << QStringList{"POST http://a.test/form", "GET http://a.test/one.mp3"} << 0 << 0;
    QTest::newRow("body that looks like a request")
        << QList<QByteArray>{"PUT /up HTTP/1.1\r\nHost: a.test\r\nContent-Length: " + QByteArray::number(two.size()) +
                             "\r\n\r\n" + two + one}
        << QStringList{"PUT http://a.test/up", "GET http://a.test/one.mp3"} << 0 << 0;
    QTest::newRow("keep-alive with a chunked body")
        << QList<QByteArray>{"POST /c HTTP/1.1\r\nHost: a.test\r\nTransfer-Encoding: chunked\r\n\r\n5;ext=1\r\nhel",
                             "lo\r\n1A\r\nabcdefghijklmnopqrstuvwxyz\r\n0\r\nX-Trailer: t\r\n\r\n" + one}
        << QStringList{"POST http://a.test/c", "GET http://a.test/one.mp3"} << 0 << 0;
    QTest::newRow("chunked body, chunk lines with bare LF")
        << QList<QByteArray>{"POST /c HTTP/1.1\r\nHost: a.test\r\nTransfer-Encoding: gzip, chunked\r\n\r\n3\nabc\n0\n\n" + one}
        << QStringList{"POST http://a.test/c", "GET http://a.test/one.mp3"} << 0 << 0;
    QTest::newRow("empty lines between requests") << QList<QByteArray>{one + "\r\n\r\n", two}
                                                  << QStringList{"GET http://a.test/one.mp3", "GET http://a.test/two.jpg"}
                                                  << 0 << 0;
    QTest::newRow("absolute form") << QList<QByteArray>{"GET http://proxy.test/p.mp3?x=1 HTTP/1.1\r\nHost: other\r\n\r\n"}
                                   << QStringList{"GET http://proxy.test/p.mp3?x=1"} << 0 << 0;
    QTest::newRow("no Host: the server's address")
        << QList<QByteArray>{"GET /old.mp3 HTTP/1.0\r\n\r\n"} << QStringList{"GET http://10.0.0.1/old.mp3"} << 0 << 0;
    // A field value with NUL or a lone CR is invalid (RFC 9110, 5.5): the request is not
    // handed on (its Host would put a line break into the address, its Referer into the
    // download's request), and the next is read as ever.
    QTest::newRow("field values with a lone CR or NUL")
        << QList<QByteArray>{"GET /cr.mp3 HTTP/1.1\r\nHost: a.test\rX: y\r\n\r\n",
                             QByteArray("GET /nul.mp3 HTTP/1.1\r\nHost: a.test\r\nReferer: http://a.test/\0x\r\n\r\n", 66) + one}
        << QStringList{"GET http://a.test/one.mp3"} << 0 << 0;
    QTest::newRow("oversize head") << QList<QByteArray>{"GET /big HTTP/1.1\r\nHost: a.test\r\nX: " + repeated('x', 70000)}
                                   << QStringList{} << 1 << 0;
    QTest::newRow("oversize head over many segments")
        << QList<QByteArray>{"GET /big HTTP/1.1\r\n", "X: " + repeated('x', 30000), repeated('x', 30000),
                             repeated('x', 30000), "\r\n\r\n" + one}
        << QStringList{} << 1 << 0;
    // Authority and path together at most 8 KiB: a longer request is dropped and counted,
    // and the connection read on.
    QTest::newRow("an address over its bound")
        << QList<QByteArray>{get("/" + repeated('p', 8192)), one} << QStringList{"GET http://a.test/one.mp3"} << 1 << 0;
    QTest::newRow("a Host over the bound") << QList<QByteArray>{get("/a.mp3", repeated('h', 8192)) + two}
                                           << QStringList{"GET http://a.test/two.jpg"} << 1 << 0;
    QTest::newRow("a body that cannot be delimited")
        << QList<QByteArray>{"POST /g HTTP/1.1\r\nHost: a.test\r\nTransfer-Encoding: gzip\r\n\r\n" + one}
        << QStringList{"POST http://a.test/g"} << 0 << 1;
    QTest::newRow("two different Content-Lengths")
        << QList<QByteArray>{"POST /g HTTP/1.1\r\nHost: a.test\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\nabcd" + one}
        << QStringList{} << 0 << 1;
    QTest::newRow("garbage after a request") << QList<QByteArray>{one + "\x01\x02garbage\r\n\r\n"}
                                             << QStringList{"GET http://a.test/one.mp3"} << 0 << 1;
    QTest::newRow("bad chunk size") << QList<QByteArray>{"POST /c HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n"}
                                    << QStringList{"POST http://a/c"} << 0 << 1;
    QTest::newRow("CONNECT ends the reading quietly")
        << QList<QByteArray>{"CONNECT a.test:443 HTTP/1.1\r\nHost: a.test:443\r\n\r\n", QByteArray::fromHex("160301020001")}
        << QStringList{"CONNECT http://a.test:443"} << 0 << 0;
    QTest::newRow("websocket upgrade ends the reading quietly")
        << QList<QByteArray>{"GET /ws HTTP/1.1\r\nHost: a.test\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n",
                             QByteArray::fromHex("818537fa213d7f9f4d5158")}
        << QStringList{"GET http://a.test/ws"} << 0 << 0;
}

void TestStreams::http1()
{
    QFETCH(QList<QByteArray>, segments);
    QFETCH(QStringList, addresses);
    QFETCH(int, oversize);
    QFETCH(int, protocol);

    // As the rows split them, then one byte a segment: the same requests either way.
    for (const bool bytewise : {false, true}) {
        Wire wire;
        Conn c(wire, kClient, kServer);
        c.open();
        for (const QByteArray &s : segments) {
            if (!bytewise)
                c.fromClient(s);
            else
                for (char b : s)
                    c.fromClient(QByteArray(1, b));
        }
        QCOMPARE(wire.addresses(), addresses);
        const StreamCounters counters = wire.reader.counters();
        QCOMPARE(int(counters.oversize), oversize);
        QCOMPARE(int(counters.protocolErrors), protocol);
        QCOMPARE(int(counters.requests), addresses.size());
        QCOMPARE(int(counters.flowsRead), 1);
    }
}

void TestStreams::http1Headers()
{
    Wire wire;
    Conn c(wire, kClient, kServer);
    c.open();
    c.fromClient("GET /h.mp3 HTTP/1.1\r\nhost: h.test\r\nUser-Agent: Mozilla/5.0 (X11)\r\n"
                 "Referer: http://r.test/page\r\nCookie: a=1\r\nCookie: b=2\r\n\r\n");
    QCOMPARE(wire.requests.size(), 1);
    const StreamRequest &r = wire.requests[0];
    QCOMPARE(r.method, QByteArray("GET"));
    QCOMPARE(r.scheme, QByteArray("http"));
    QCOMPARE(r.authority, QByteArray("h.test"));
    QCOMPARE(r.path, QByteArray("/h.mp3"));
    QCOMPARE(r.userAgent, QByteArray("Mozilla/5.0 (X11)"));
    QCOMPARE(r.referer, QByteArray("http://r.test/page"));
    QCOMPARE(r.cookie, QByteArray("a=1; b=2"));
}

// ---------------------------------------------------------------- HPACK and HTTP/2

namespace {
struct Fields : HpackInflater::FieldSink {
    QStringList got;
    bool field(std::string_view name, std::string_view value) override
    {
        got << QString::fromLatin1(name.data(), qsizetype(name.size())) + ": "
                + QString::fromLatin1(value.data(), qsizetype(value.size()));
        return true;
    }
};
} // namespace

void TestStreams::hpack_data()
{
    QTest::addColumn<QStringList>("blocks");  // hex, one header block each, on one inflater
    QTest::addColumn<QStringList>("expected"); // the fields of each block, joined by "|"
    QTest::addColumn<QList<int>>("tableSizes");

    const QStringList expected{
        ":method: GET|:scheme: http|:path: /|:authority: www.example.com",
        ":method: GET|:scheme: http|:path: /|:authority: www.example.com|cache-control: no-cache",
        ":method: GET|:scheme: https|:path: /index.html|:authority: www.example.com|custom-key: custom-value"};
    // RFC 7541, C.3: requests without Huffman coding.
    QTest::newRow("C.3") << QStringList{"8286 8441 0f77 7777 2e65 7861 6d70 6c65 2e63 6f6d",
                                        "8286 84be 5808 6e6f 2d63 6163 6865",
                                        "8287 85bf 400a 6375 7374 6f6d 2d6b 6579 0c63 7573 746f 6d2d 7661 6c75 65"}
                         << expected << QList<int>{57, 110, 164};
    // RFC 7541, C.4: the same requests with Huffman coding.
    QTest::newRow("C.4") << QStringList{"8286 8441 8cf1 e3c2 e5f2 3a6b a0ab 90f4 ff", "8286 84be 5886 a8eb 1064 9cbf",
                                        "8287 85bf 4088 25a8 49e9 5ba9 7d7f 8925 a849 e95b b8e8 b4bf"}
                         << expected << QList<int>{57, 110, 164};
}

void TestStreams::hpack()
{
    QFETCH(QStringList, blocks);
    QFETCH(QStringList, expected);
    QFETCH(QList<int>, tableSizes);

    // Whole, then one byte a piece: the inflater keeps its place between pieces.
    for (const bool bytewise : {false, true}) {
        HpackInflater inflater(64 * 1024);
        for (int i = 0; i < blocks.size(); ++i) {
            const QByteArray block = QByteArray::fromHex(blocks[i].toLatin1());
            Fields fields;
            if (!bytewise) {
                QVERIFY(inflater.inflate(viewOf(block), true, fields));
            } else {
                for (qsizetype k = 0; k < block.size(); ++k)
                    QVERIFY(inflater.inflate(viewOf(block.mid(k, 1)), k + 1 == block.size(), fields));
            }
            QCOMPARE(fields.got.join('|'), expected[i]);
            QCOMPARE(int(inflater.dynamicTableSize()), tableSizes[i]);
        }
        QVERIFY(inflater.memory() > 0);
    }
}

void TestStreams::http2_data()
{
    QTest::addColumn<QByteArray>("bytes"); // the client stream
    QTest::addColumn<uint>("maxFrame");    // 0: the default
    QTest::addColumn<QStringList>("addresses");
    QTest::addColumn<QStringList>("cookies");
    QTest::addColumn<int>("oversize");
    QTest::addColumn<int>("protocol");

    {
        // HPACK stores a 60 KB :authority once (after raising its table to 64 KiB, as a
        // client may), then names it with one byte a request (RFC 7541, 6.1): each request
        // would file 60 KB. They are dropped, counted, and the reading goes on.
        QByteArray bytes = h2Start();
        const QByteArray store = QByteArray::fromHex("3fe1ff03") // dynamic table size update: 65536
            + QByteArray::fromHex("417fe1d303") + repeated('a', 60000) // :authority, indexed
            + QByteArray::fromHex("828784");                              // GET, https, /
        for (qsizetype i = 0; i < store.size(); i += 16384) {
            const bool first = i == 0, last = i + 16384 >= store.size();
            bytes += frame(first ? kHeadersType : kContinuation, (last ? kEndHeaders : 0) | (first ? kEndStream : 0), 1,
                           store.mid(i, 16384));
        }
        for (std::uint32_t k = 1; k <= 2000; ++k)
            bytes += headers(1 + 2 * k, QByteArray::fromHex("be828784")); // the stored :authority again
        Deflater d;
        bytes += headers(4003, QByteArray::fromHex("20") + d.block(getFields("/after.mp4"))); // table emptied first
        QTest::newRow("a long :authority named again and again")
            << bytes << 0u << QStringList{"GET https://h2.test/after.mp4"} << QStringList{""} << 2001 << 0;
    }
    {
        Deflater d;
        const QByteArray block = d.block(getFields("/padded.mp4"));
        // PADDED and PRIORITY: pad length, dependency and weight, the block, padding.
        const QByteArray payload = QByteArray(1, char(7)) + QByteArray::fromHex("8000000310") + block + QByteArray(7, '\0');
        QTest::newRow("HEADERS with padding and priority")
            << h2Start() + frame(kHeadersType, kEndHeaders | kEndStream | kPadded | kPriorityFlag, 1, payload) << 0u
            << QStringList{"GET https://h2.test/padded.mp4"} << QStringList{""} << 0 << 0;
    }
    {
        Deflater d;
        const QByteArray block = d.block(getFields("/continued.mp4") + QList<QPair<QByteArray, QByteArray>>{{"x-long", repeated('v', 300)}});
        const QByteArray bytes = h2Start() + frame(kHeadersType, kEndStream, 1, block.left(10))
            + frame(kContinuation, 0, 1, block.mid(10, 100)) + frame(kContinuation, 0, 1, {})
            + frame(kContinuation, kEndHeaders, 1, block.mid(110));
        QTest::newRow("CONTINUATION until END_HEADERS") << bytes << 0u << QStringList{"GET https://h2.test/continued.mp4"}
                                                        << QStringList{""} << 0 << 0;
    }
    {
        Deflater d;
        QByteArray bytes = h2Start();
        bytes += frame(kHeadersType, kEndHeaders, 1, d.block({{":method", "POST"}, {":scheme", "https"},
                                                              {":authority", "h2.test"}, {":path", "/upload"}}));
        bytes += headers(3, d.block(getFields("/three.mp4")));
        bytes += frame(kData, 0, 1, repeated('d', 20000)); // a DATA frame bigger than 16 KiB, stepped over
        bytes += frame(kWindowUpdate, 0, 0, QByteArray::fromHex("00010000"));
        bytes += frame(kData, kEndStream, 1, repeated('d', 10));
        bytes += frame(kHeadersType, kEndHeaders | kEndStream, 1, d.block({{"x-trailer", "t"}})); // trailers
        bytes += headers(5, d.block(getFields("/five.mp4")));
        QTest::newRow("two streams, DATA and trailers between")
            << bytes << 0u << QStringList{"POST https://h2.test/upload", "GET https://h2.test/three.mp4", "GET https://h2.test/five.mp4"}
            << QStringList{"", "", ""} << 0 << 0;
    }
    {
        Deflater d;
        auto fields = getFields("/crumbs.mp4");
        fields << QPair<QByteArray, QByteArray>{"cookie", "a=1"} << QPair<QByteArray, QByteArray>{"cookie", "b=2"}
               << QPair<QByteArray, QByteArray>{"referer", "https://h2.test/"} << QPair<QByteArray, QByteArray>{"cookie", "c=3"};
        QTest::newRow("cookie crumbs joined") << h2Start() + headers(1, d.block(fields)) << 0u
                                              << QStringList{"GET https://h2.test/crumbs.mp4"} << QStringList{"a=1; b=2; c=3"}
                                              << 0 << 0;
    }
    {
        // The client announces a 64 KiB table and fills it past 4 KiB; later blocks refer
        // to entries beyond the first 4 KiB.
        Deflater d;
        d.announce(64 * 1024);
        QByteArray bytes = h2Start();
        QStringList addresses, cookies;
        for (int i = 0; i < 30; ++i) {
            auto fields = getFields("/t" + QByteArray::number(i));
            const QByteArray cookie = "k" + QByteArray::number(i) + "=" + repeated(char('a' + i % 26), 200);
            fields << QPair<QByteArray, QByteArray>{"cookie", cookie};
            bytes += headers(1 + 2 * std::uint32_t(i), d.block(fields));
            addresses << "GET https://h2.test/t" + QString::number(i);
            cookies << QString::fromLatin1(cookie);
        }
        auto again = getFields("/again");
        again << QPair<QByteArray, QByteArray>{"cookie", "k0=" + repeated('a', 200)};
        bytes += headers(61, d.block(again));
        addresses << "GET https://h2.test/again";
        cookies << "k0=" + QString(200, 'a');
        QTest::newRow("dynamic table size update to 64 KiB") << bytes << 0u << addresses << cookies << 0 << 0;
    }
    {
        Deflater d;
        d.announce(1 << 20);
        QTest::newRow("table size update beyond what is accepted")
            << h2Start() + headers(1, d.block(getFields("/big-table"))) << 0u << QStringList{} << QStringList{} << 0 << 1;
    }
    {
        Deflater d;
        const QByteArray a = headers(1, d.block(getFields("/a")));
        const QByteArray b = headers(3, d.block(getFields("/b")));
        QTest::newRow("oversize frame") << h2Start() + a + frame(kData, 0, 1, repeated('d', 16385)) + b << 16384u << QStringList{"GET https://h2.test/a"} << QStringList{""} << 1 << 0;
    }
    {
        // A short block whose decoded list is huge: one big indexed field, many times.
        Deflater d;
        d.announce(64 * 1024);
        auto first = getFields("/x");
        first << QPair<QByteArray, QByteArray>{"x-big", repeated('b', 30000)};
        auto second = getFields("/y");
        for (int i = 0; i < 3; ++i)
            second << QPair<QByteArray, QByteArray>{"x-big", repeated('b', 30000)};
        const QByteArray firstBlock = headers(1, d.block(first));
        const QByteArray secondBlock = headers(3, d.block(second));
        QTest::newRow("header list over its bound") << h2Start() + firstBlock + secondBlock << 0u << QStringList{"GET https://h2.test/x"}
            << QStringList{""} << 1 << 0;
    }
    {
        Deflater d;
        const QByteArray block = d.block(getFields("/i"));
        QTest::newRow("header block interrupted")
            << h2Start() + frame(kHeadersType, 0, 1, block.left(5)) + frame(kData, 0, 1, "x") + frame(kContinuation, kEndHeaders, 1, block.mid(5))
            << 0u << QStringList{} << QStringList{} << 0 << 1;
        QTest::newRow("padding longer than the frame")
            << h2Start() + frame(kHeadersType, kEndHeaders | kPadded, 1, QByteArray(1, char(200)) + block) << 0u << QStringList{}
            << QStringList{} << 0 << 1;
        QTest::newRow("broken preface") << QByteArray("PRI * HTTP/2.0\r\n\r\nXX\r\n\r\n") << 0u << QStringList{} << QStringList{} << 0 << 1;
    }
    {
        // HTTP/1.1 upgraded to h2c: the first request in HTTP/1, the rest after the preface.
        Deflater d;
        const QByteArray bytes = "GET /first.mp4 HTTP/1.1\r\nHost: up.test\r\nConnection: Upgrade, HTTP2-Settings\r\n"
                                 "Upgrade: h2c\r\nHTTP2-Settings: AAMAAABkAAQCAAAAAAIAAAAA\r\n\r\n"
            + h2Start() + headers(3, d.block({{":method", "GET"}, {":scheme", "http"}, {":authority", "up.test"}, {":path", "/second.mp4"}}));
        QTest::newRow("h2c upgrade") << bytes << 0u << QStringList{"GET http://up.test/first.mp4", "GET http://up.test/second.mp4"}
                                     << QStringList{"", ""} << 0 << 0;
    }
    {
        // No :authority and no Host: the server's address.
        Deflater d;
        QTest::newRow("no authority") << h2Start() + headers(1, d.block({{":method", "GET"}, {":scheme", "http"}, {":path", "/na"}}))
                                      << 0u << QStringList{"GET http://10.0.0.1/na"} << QStringList{""} << 0 << 0;
    }
    {
        // A field with NUL, CR or LF makes the request malformed (RFC 9113, 8.2.1): it is
        // not handed on (its address would carry a line break, or a Host line of its own, into
        // the list), and the connection's other requests are read as ever.
        Deflater d;
        QByteArray bytes = h2Start();
        bytes += headers(1, d.block({{":method", "GET"}, {":scheme", "http"}, {":authority", "h2.test"},
                                     {":path", "/a.mp4\r\nHost: evil.test"}}));
        bytes += headers(3, d.block({{":method", "GET"}, {":scheme", "https"}, {":authority", QByteArray("h2.test\0x", 9)},
                                     {":path", "/b.mp4"}}));
        bytes += headers(5, d.block(getFields("/c.mp4") + QList<QPair<QByteArray, QByteArray>>{{"referer", "https://h2.test/\n"}}));
        bytes += headers(7, d.block(getFields("/d.mp4")));
        QTest::newRow("fields with NUL, CR or LF") << bytes << 0u << QStringList{"GET https://h2.test/d.mp4"} << QStringList{""}
                                                   << 0 << 0;
    }
}

void TestStreams::http2()
{
    QFETCH(QByteArray, bytes);
    QFETCH(uint, maxFrame);
    QFETCH(QStringList, addresses);
    QFETCH(QStringList, cookies);
    QFETCH(int, oversize);
    QFETCH(int, protocol);

    StreamLimits limits;
    if (maxFrame)
        limits.maxFrameLength = maxFrame;
    for (const qsizetype piece : {qsizetype(1448), qsizetype(1), qsizetype(7)}) {
        Wire wire(limits);
        feedClient(wire, bytes, piece);
        QCOMPARE(wire.addresses(), addresses);
        QStringList gotCookies;
        for (const StreamRequest &r : wire.requests)
            gotCookies << QString::fromLatin1(r.cookie);
        QCOMPARE(gotCookies, cookies);
        for (const StreamRequest &r : wire.requests)
            if (r.method == "GET" && r.scheme == "https")
                QCOMPARE(r.userAgent, QByteArray("test-agent"));
        const StreamCounters counters = wire.reader.counters();
        QCOMPARE(int(counters.oversize), oversize);
        QCOMPARE(int(counters.protocolErrors), protocol);
        QVERIFY(wire.peak < limits.flowBytes + 64 * 1024);
    }
}

// Random traffic on a few connections, starting as HTTP/1, HTTP/2 or TLS and going on
// with anything: nothing crashes, and the bounds hold after every segment.
void TestStreams::hostileTraffic()
{
    StreamLimits limits;
    limits.flowBytes = 16 * 1024;
    limits.totalBytes = 256 * 1024;
    limits.maxFlows = 48;
    limits.maxRemembered = 96;
    limits.headBytes = 4 * 1024;
    Wire wire(limits);
    QRandomGenerator random(20260101);
    Deflater d;
    const QList<QByteArray> starts{
        get("/r.mp3"),
        "POST /p HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n10\r\n",
        "GET /x HTTP/1.1\r\nHost: ",
        h2Start() + headers(1, d.block(getFields("/h2"))),
        h2Start() + frame(kHeadersType, 0, 1, d.block(getFields("/c")).left(3)),
        QByteArray::fromHex("16030100c8010000c40303") + QByteArray(200, '\x01'),
        "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n\x00\x00\x05\x01\x2d\x00\x00\x00\x01",
    };
    std::vector<std::array<std::uint32_t, 2>> seqs(64);
    for (auto &s : seqs)
        s = {random.generate(), random.generate()};
    for (int i = 0; i < 40000; ++i) {
        const int conn = random.bounded(64);
        const bool fromClient = random.bounded(4) != 0;
        const Endpoint client = v4(10, 9, 0, std::uint8_t(conn), std::uint16_t(30000 + conn % 7));
        const Endpoint server = conn % 5 == 0 ? v6("::1", 443) : v4(10, 9, 1, 1, 80);
        std::uint32_t &seq = seqs[size_t(conn)][fromClient ? 0 : 1];
        QByteArray payload;
        const int kind = random.bounded(10);
        if (kind < 3)
            payload = starts[random.bounded(starts.size())];
        else if (kind < 8) {
            payload.resize(random.bounded(1, 3000));
            for (char &c : payload)
                c = char(random.bounded(256));
            if (kind == 7)
                payload = frame(std::uint8_t(random.bounded(11)), std::uint8_t(random.bounded(256)), random.bounded(8),
                                payload.left(random.bounded(payload.size() + 1)));
        }
        std::uint8_t flags = kTcpAck;
        const int f = random.bounded(100);
        if (f < 4)
            flags = kTcpSyn;
        else if (f < 6)
            flags = kTcpSyn | kTcpAck;
        else if (f < 8)
            flags |= kTcpFin;
        else if (f < 9)
            flags = kTcpRst;
        std::uint32_t at = seq;
        const int jump = random.bounded(10);
        if (jump == 0)
            at = random.generate(); // anywhere
        else if (jump < 3)
            at = seq + random.bounded(20000); // ahead: a hole
        else if (jump < 4)
            at = seq - random.bounded(5000); // old
        if (fromClient)
            wire.send(client, server, at, payload, flags);
        else
            wire.send(server, client, at, payload, flags);
        if (at == seq)
            seq += std::uint32_t(payload.size()) + ((flags & kTcpSyn) ? 1 : 0);
        QVERIFY(wire.reader.memoryInUse() <= limits.totalBytes);
        QVERIFY(wire.reader.flowCount() <= limits.maxFlows);
        QVERIFY(wire.reader.rememberedCount() <= limits.maxRemembered);
        wire.nowMs += random.bounded(50);
        if (i % 1000 == 0)
            wire.reader.expire(wire.nowMs);
    }
    const StreamCounters c = wire.reader.counters();
    qInfo("read %llu, dropped %llu, gaps %llu, oversize %llu, protocol %llu, evicted %llu, TLS %llu, requests %llu",
          (unsigned long long)c.flowsRead, (unsigned long long)c.flowsDropped, (unsigned long long)c.gaps,
          (unsigned long long)c.oversize, (unsigned long long)c.protocolErrors, (unsigned long long)c.flowsEvicted,
          (unsigned long long)c.tlsStarted, (unsigned long long)c.requests);
    wire.reader.expire(wire.nowMs + limits.idleMs);
    wire.reader.expire(wire.nowMs + limits.idleMs + limits.rememberMs);
    QCOMPARE(wire.reader.flowCount(), std::size_t(0));
    QCOMPARE(wire.reader.rememberedCount(), std::size_t(0));
}

// ---------------------------------------------------------------- TLS


void TestStreams::tlsWithoutSecret()
{
    const TlsExchange x = tlsExchange(TLS1_3_VERSION, "http/1.1", "tls.test", {get("/secret.mp3", "tls.test")});
    QVERIFY(x.ok);
    StreamLimits limits;
    limits.closedWaitMs = 5000;
    Wire wire(limits);
    Conn c(wire, kClient, v4(10, 0, 0, 1, 443));
    c.open();
    replay(c, x); // the key log never names the session
    QCOMPARE(wire.reader.counters().tlsStarted, std::uint64_t(1));
    QCOMPARE(wire.reader.counters().flowsRead, std::uint64_t(1));
    c.finFromClient();
    // Closed, but its records may still meet their secret: kept for a while, then counted.
    wire.reader.expire(wire.nowMs + 5000);
    QCOMPARE(wire.reader.flowCount(), std::size_t(0));
    const StreamCounters counters = wire.reader.counters();
    QCOMPARE(counters.tlsWithoutSecret, std::uint64_t(1));
    QCOMPARE(counters.tlsDecrypted, std::uint64_t(0));
    QVERIFY(wire.requests.isEmpty());
}

// Records held for a key log line that never comes count in the reader's bound: the
// sessions idle the longest are evicted as any flow is, and the heap stays near the bound
// (uncounted, 200 sessions would keep 40 MB here).
void TestStreams::tlsWaitingIsBounded()
{
    const QByteArray upload = "POST /up HTTP/1.1\r\nHost: tls.test\r\nContent-Length: 200000\r\n\r\n" + QByteArray(200000, 'u');
    const TlsExchange x = tlsExchange(TLS1_3_VERSION, "http/1.1", "tls.test", {upload});
    QVERIFY(x.ok);
    StreamLimits limits;
    limits.totalBytes = 4 * 1024 * 1024;
    const std::size_t heapBefore = mallinfo2().uordblks;
    std::size_t heapPeak = 0;
    {
        Wire wire(limits);
        for (int i = 0; i < 200; ++i) {
            Conn c(wire, v4(10, 0, 3, std::uint8_t(i), 40000), v4(10, 0, 0, 1, 443));
            c.open();
            replay(c, x);
            QVERIFY2(wire.reader.memoryInUse() <= limits.totalBytes, qPrintable(QString::number(wire.reader.memoryInUse())));
            heapPeak = std::max(heapPeak, std::size_t(mallinfo2().uordblks));
            if (i == 0)
                QVERIFY2(wire.reader.memoryInUse() > 200000, qPrintable(QString::number(wire.reader.memoryInUse())));
        }
        const StreamCounters counters = wire.reader.counters();
        QVERIFY2(counters.flowsEvicted > 150, qPrintable(QString::number(counters.flowsEvicted)));
        QVERIFY(counters.peakMemory <= limits.totalBytes);
        wire.reader.endAll();
        QCOMPARE(wire.reader.counters().tlsWithoutSecret, std::uint64_t(200));
    }
    QVERIFY2(heapPeak - heapBefore < 3 * limits.totalBytes, qPrintable(QString::number(heapPeak - heapBefore)));
}

void TestStreams::tlsRequests_data()
{
    QTest::addColumn<int>("version");
    QTest::addColumn<QByteArray>("alpn");
    QTest::addColumn<QByteArray>("serverName");
    QTest::addColumn<QList<QByteArray>>("requests");
    QTest::addColumn<bool>("keysLate");
    QTest::addColumn<QStringList>("addresses");

    Deflater d;
    const QByteArray h2 = h2Start() + headers(1, d.block(getFields("/in-tls.mp4", "tls.test")));
    QTest::newRow("TLS 1.3, HTTP/1.1 without Host: the server name")
        << int(TLS1_3_VERSION) << QByteArray("http/1.1") << QByteArray("tls.test")
        << QList<QByteArray>{"GET /no-host.mp3 HTTP/1.1\r\n\r\n"} << false << QStringList{"GET https://tls.test/no-host.mp3"};
    QTest::newRow("TLS 1.3, HTTP/2") << int(TLS1_3_VERSION) << QByteArray("h2") << QByteArray("tls.test")
                                     << QList<QByteArray>{h2} << false << QStringList{"GET https://tls.test/in-tls.mp4"};
    QTest::newRow("TLS 1.2, HTTP/1.1, key log line written late")
        << int(TLS1_2_VERSION) << QByteArray("http/1.1") << QByteArray("tls.test")
        << QList<QByteArray>{get("/late.mp3", "tls.test"), get("/late2.mp3", "tls.test")} << true
        << QStringList{"GET https://tls.test/late.mp3", "GET https://tls.test/late2.mp3"};
    // The reading ends inside the records that waited: the session was decrypted all the same.
    QTest::newRow("TLS 1.2, key log line written late, then bytes that are not HTTP")
        << int(TLS1_2_VERSION) << QByteArray("http/1.1") << QByteArray("tls.test")
        << QList<QByteArray>{get("/late.mp3", "tls.test") + "\x01\x02 not a request\r\n\r\n"} << true
        << QStringList{"GET https://tls.test/late.mp3"};
}

void TestStreams::tlsRequests()
{
    QFETCH(int, version);
    QFETCH(QByteArray, alpn);
    QFETCH(QByteArray, serverName);
    QFETCH(QList<QByteArray>, requests);
    QFETCH(bool, keysLate);
    QFETCH(QStringList, addresses);

    const TlsExchange x = tlsExchange(version, alpn, serverName, requests);
    QVERIFY(x.ok);
    QVERIFY(!x.keyLines.isEmpty());
    Wire wire;
    if (!keysLate)
        wire.keys.addText(x.keyLines);
    Conn c(wire, kClient, v4(10, 0, 0, 1, 443));
    c.open();
    replay(c, x);
    if (keysLate) {
        wire.keys.addText(x.keyLines);
        wire.reader.expire(wire.nowMs + 100);
    }
    QCOMPARE(wire.reader.counters().tlsStarted, std::uint64_t(1));
    if (wire.reader.counters().tlsDecrypted == 0 && wire.keys.generation() == 0)
        QSKIP("this build's TLS reading decrypts nothing yet");
    QCOMPARE(wire.reader.counters().tlsDecrypted, std::uint64_t(1));
    QCOMPARE(wire.reader.counters().tlsWithoutSecret, std::uint64_t(0));
    QCOMPARE(wire.addresses(), addresses);
    for (const StreamRequest &r : wire.requests)
        QCOMPARE(r.scheme, QByteArray("https"));
}

// Requests sent as 0-RTT early data of a resumed TLS 1.3 session are read as any other,
// HTTP/1.1 and HTTP/2 alike. Early data the server refused is not read: the client sends
// it again after the handshake (here an HTTP/2 connection from its preface), and each
// request is read once, the connection to its end.
void TestStreams::tlsEarlyDataRequests_data()
{
    QTest::addColumn<bool>("h2");
    QTest::addColumn<bool>("refused");
    QTest::addColumn<QStringList>("addresses");
    QTest::newRow("HTTP/1.1") << false << false << QStringList{"GET https://tls.test/early.mp3", "GET https://tls.test/later.mp3"};
    QTest::newRow("HTTP/2") << true << false << QStringList{"GET https://h2.test/early.mp4", "GET https://h2.test/later.mp4"};
    QTest::newRow("HTTP/1.1, refused") << false << true << QStringList{"GET https://tls.test/early.mp3"};
    QTest::newRow("HTTP/2, refused") << true << true << QStringList{"GET https://h2.test/early.mp4"};
}

void TestStreams::tlsEarlyDataRequests()
{
    QFETCH(bool, h2);
    QFETCH(bool, refused);
    QFETCH(QStringList, addresses);

    quorrel::test::TlsPairOptions options(TLS1_3_VERSION, "TLS_AES_128_GCM_SHA256");
    options.earlyData = true;
    options.refuseEarlyData = refused;
    options.serverName = "tls.test";
    quorrel::test::TlsPair pair(options);
    QVERIFY2(pair.handshake(), qPrintable(pair.error()));
    Deflater first, again;
    const QByteArray early = h2 ? h2Start() + headers(1, first.block(getFields("/early.mp4"))) : get("/early.mp3", "tls.test");
    // Refused, the client sends its requests again as if they were new; else the next one.
    const QByteArray later = refused ? (h2 ? h2Start() + headers(1, again.block(getFields("/early.mp4"))) : get("/early.mp3", "tls.test"))
                                     : (h2 ? headers(3, first.block(getFields("/later.mp4"))) : get("/later.mp3", "tls.test"));
    QVERIFY2(pair.reconnectWithEarlyData(early), qPrintable(pair.error()));
    QVERIFY(pair.write(later));

    Wire wire;
    wire.keys.addText(pair.keyLogLines);
    Conn c(wire, kClient, v4(10, 0, 0, 1, 443));
    c.open();
    const qsizetype hello = 5 + (qsizetype(quint8(pair.clientToServer[3])) << 8 | quint8(pair.clientToServer[4]));
    c.fromClient(pair.clientToServer.left(hello));
    c.fromServer(pair.serverToClient);
    for (qsizetype i = hello; i < pair.clientToServer.size(); i += 1448)
        c.fromClient(pair.clientToServer.mid(i, 1448));
    QCOMPARE(wire.addresses(), addresses);
    const StreamCounters counters = wire.reader.counters();
    QCOMPARE(counters.tlsDecrypted, std::uint64_t(1));
    QCOMPARE(counters.protocolErrors + counters.tlsFailed, std::uint64_t(0));
    QVERIFY2(wire.notes.isEmpty(), wire.notes.join(' ').constData());
}

// ---------------------------------------------------------------- end to end

namespace {

bool runTool(const QString &program, const QStringList &args)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(20000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        qWarning("%s failed: %s", qPrintable(program), p.readAllStandardError().constData());
        return false;
    }
    return true;
}

// The TCP segments of a capture file (Ethernet, as tcpdump writes loopback; IPv4 and
// IPv6 without extension headers, which is all loopback carries here).
bool readCapture(const QString &path, StreamReader &reader, QString &error)
{
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_t *p = pcap_open_offline(QFile::encodeName(path).constData(), errbuf);
    if (!p) {
        error = QString::fromLocal8Bit(errbuf);
        return false;
    }
    if (pcap_datalink(p) != DLT_EN10MB) {
        error = "not an Ethernet capture";
        pcap_close(p);
        return false;
    }
    pcap_pkthdr *h = nullptr;
    const u_char *data = nullptr;
    while (pcap_next_ex(p, &h, &data) == 1) {
        const auto *b = reinterpret_cast<const std::uint8_t *>(data);
        const std::size_t n = h->caplen;
        if (n < 14)
            continue;
        const unsigned type = b[12] << 8 | b[13];
        TcpSegment s;
        std::size_t tcp = 0, end = n;
        if (type == 0x0800 && n >= 34 && b[23] == 6) {
            const std::size_t ihl = (b[14] & 0x0f) * 4u;
            end = std::min<std::size_t>(n, 14 + (b[16] << 8 | b[17]));
            std::copy(b + 26, b + 30, s.source.address.bytes.begin());
            std::copy(b + 30, b + 34, s.destination.address.bytes.begin());
            tcp = 14 + ihl;
        } else if (type == 0x86dd && n >= 54 && b[20] == 6) {
            s.source.address.family = s.destination.address.family = IpFamily::V6;
            end = std::min<std::size_t>(n, 54 + (b[18] << 8 | b[19]));
            std::copy(b + 22, b + 38, s.source.address.bytes.begin());
            std::copy(b + 38, b + 54, s.destination.address.bytes.begin());
            tcp = 54;
        } else {
            continue;
        }
        if (end < tcp + 20)
            continue;
        const std::size_t offset = (b[tcp + 12] >> 4) * 4u;
        if (end < tcp + offset)
            continue;
        s.source.port = std::uint16_t(b[tcp] << 8 | b[tcp + 1]);
        s.destination.port = std::uint16_t(b[tcp + 2] << 8 | b[tcp + 3]);
        s.seq = std::uint32_t(b[tcp + 4]) << 24 | std::uint32_t(b[tcp + 5]) << 16 | std::uint32_t(b[tcp + 6]) << 8 | b[tcp + 7];
        s.flags = b[tcp + 13];
        s.payload = Bytes(reinterpret_cast<const std::byte *>(b + tcp + offset), end - tcp - offset);
        s.timeMs = std::int64_t(h->ts.tv_sec) * 1000 + h->ts.tv_usec / 1000;
        reader.feed(s);
    }
    pcap_close(p);
    return true;
}

QString orDash(const QByteArray &b) { return b.isEmpty() ? QStringLiteral("-") : QString::fromLatin1(b); }

} // namespace

void TestStreams::capturedH2c()
{
    if (::geteuid() != 0)
        QFAIL("capturing on loopback needs root (as CI runs the tests)");
    QTemporaryDir dir(QDir::tempPath() + "/quorrel-streams-" + QString::number(::getpid()) + "-XXXXXX");
    QVERIFY(dir.isValid());
    const QString root = dir.path();
    for (const char *folder : {"www/media", "logs", "tmp"})
        QVERIFY(QDir(root).mkpath(QString::fromLatin1(folder)));
    openToServerWorkers(root);
    for (const char *name : {"a.mp4", "b.mp3", "c.jpg", "d.mp4", "e.mp3"})
        writeFile(root + "/www/media/" + name, QByteArray(3000, 'm'));

    const QList<quint16> ports = freePorts(2);
    const QString h2 = QString::number(ports[0]), h1 = QString::number(ports[1]);
    const QString conf = QStringLiteral(
        "daemon off;\n%1worker_processes 1;\npid %2/logs/nginx.pid;\nerror_log %2/logs/error.log;\n"
        "events { worker_connections 64; }\n"
        "http {\n"
        "  log_format requests '$request_method http://$http_host$request_uri|$http_referer|$http_cookie|$http_user_agent';\n"
        "  access_log %2/logs/access.log requests;\n"
        "  client_body_temp_path %2/tmp/body;\n  proxy_temp_path %2/tmp/proxy;\n  fastcgi_temp_path %2/tmp/fastcgi;\n"
        "  uwsgi_temp_path %2/tmp/uwsgi;\n  scgi_temp_path %2/tmp/scgi;\n"
        "  server { listen 127.0.0.1:%3 http2; listen [::1]:%3 http2; root %2/www; }\n"
        "  server { listen 127.0.0.1:%4; root %2/www; location /form { return 200 ok; } }\n"
        "}\n")
                             .arg(::geteuid() == 0 ? QStringLiteral("user root;\n") : QString(), root, h2, h1);
    writeFile(root + "/nginx.conf", conf.toUtf8());

    QProcess nginx;
    nginx.start("nginx", {"-c", root + "/nginx.conf", "-p", root, "-e", root + "/logs/error.log"});
    QVERIFY(nginx.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(accepts(ports[0]) && accepts(ports[1]), 10000);

    const QString capture = root + "/h2c.pcap";
    QProcess tcpdump;
    tcpdump.start("tcpdump", {"-i", "lo", "-U", "--immediate-mode", "-Z", "root", "-w", capture,
                              QStringLiteral("tcp port %1 or tcp port %2").arg(h2, h1)});
    QVERIFY2(tcpdump.waitForStarted(), "tcpdump (Debian package tcpdump) is needed");
    QByteArray said;
    QTRY_VERIFY_WITH_TIMEOUT((said += tcpdump.readAllStandardError()).contains("listening on")
                                 || tcpdump.state() != QProcess::Running,
                             10000);
    QVERIFY2(tcpdump.state() == QProcess::Running, said.constData());

    const QString v4 = "http://127.0.0.1:" + h2, v6 = "http://[::1]:" + h2, plain = "http://127.0.0.1:" + h1;
    // HTTP/2 with prior knowledge, by curl: IPv4 and IPv6, with the headers kept.
    QVERIFY(runTool("curl", {"-s", "-o", "/dev/null", "--http2-prior-knowledge", "-e", "http://ref.test/page", "-b",
                             "s=1; t=2", "-A", "Quorrel test agent", v4 + "/media/a.mp4"}));
    QVERIFY(runTool("curl", {"-s", "-o", "/dev/null", "--http2-prior-knowledge", v6 + "/media/b.mp3?x=1"}));
    // Several streams on one connection, cookie crumbs, the header table at work (nghttp).
    QVERIFY(runTool("nghttp", {"-n", "-H", "cookie: a=1", "-H", "cookie: b=2", "-H", "referer: " + v4 + "/",
                               v4 + "/media/c.jpg", v4 + "/media/d.mp4", v4 + "/media/a.mp4"}));
    // HTTP/1.1 keep-alive on one connection: a GET, a POST with a body, a GET.
    QVERIFY(runTool("curl", {"-s", "-o", "/dev/null", plain + "/media/e.mp3", "--next", "-s", "-o", "/dev/null", "-d",
                             "field=value", plain + "/form", "--next", "-s", "-o", "/dev/null", plain + "/media/c.jpg"}));

    // nginx logs a request once answered; wait for all ten.
    const QString accessLog = root + "/logs/access.log";
    QStringList logged;
    QTRY_VERIFY_WITH_TIMEOUT((logged = QString::fromLatin1(readFile(accessLog)).split('\n', Qt::SkipEmptyParts)).size() >= 8,
                             10000);
    QTest::qWait(300);
    tcpdump.terminate();
    QVERIFY(tcpdump.waitForFinished(10000));
    nginx.terminate();
    nginx.waitForFinished(10000);
    logged = QString::fromLatin1(readFile(accessLog)).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(logged.size(), 8);

    KeyLog keys;
    StreamReader reader(keys);
    QStringList read;
    reader.onRequest = [&read](const StreamRequest &r) {
        read << QString::fromLatin1(r.method + " " + r.address()) + "|" + orDash(r.referer) + "|" + orDash(r.cookie) + "|"
                + orDash(r.userAgent);
    };
    QString error;
    QVERIFY2(readCapture(capture, reader, error), qPrintable(error));
    // The truth is nginx's log: every request it answered, read once, with its headers.
    logged.sort();
    read.sort();
    QCOMPARE(read, logged);
    const StreamCounters counters = reader.counters();
    QCOMPARE(counters.flowsRead, std::uint64_t(4));
    QCOMPARE(counters.gaps + counters.protocolErrors + counters.oversize + counters.flowsDropped, std::uint64_t(0));
    QCOMPARE(reader.flowCount(), std::size_t(0)); // every connection closed
}

// Sec-Fetch-Dest, Range and Accept, which say what a request fetches, from an HTTP/1.1
// head (a folded line among them) and from an HTTP/2 header block.
void TestStreams::fetchHints()
{
    {
        Wire wire;
        Conn c(wire, kClient, kServer);
        c.open();
        c.fromClient("GET /stream/42 HTTP/1.1\r\nHost: h.test\r\nSec-Fetch-Dest: video\r\nRange: bytes=0-\r\n"
                     "Accept: image/webp,\r\n image/*\r\n\r\n");
        QCOMPARE(wire.requests.size(), 1);
        QCOMPARE(wire.requests[0].secFetchDest, QByteArray("video"));
        QCOMPARE(wire.requests[0].range, QByteArray("bytes=0-"));
        QCOMPARE(wire.requests[0].accept, QByteArray("image/webp, image/*"));
    }
    {
        Deflater d;
        Wire wire;
        feedClient(wire, h2Start() + headers(1, d.block(getFields("/img?id=7") + QList<QPair<QByteArray, QByteArray>>{
                                                      {"sec-fetch-dest", "image"}, {"accept", "image/avif"},
                                                      {"range", "bytes=5-"}})),
                   1448);
        QCOMPARE(wire.requests.size(), 1);
        QCOMPARE(wire.requests[0].secFetchDest, QByteArray("image"));
        QCOMPARE(wire.requests[0].range, QByteArray("bytes=5-"));
        QCOMPARE(wire.requests[0].accept, QByteArray("image/avif"));
    }
}

QTEST_GUILESS_MAIN(TestStreams)
#include "test_streams.moc"
