// The QUIC reader: RFC 9000's varints and packet numbers, RFC 9001's Initial keys, sample
// packets and Retry, RFC 9369's version 2 keys, RFC 9204's QPACK examples through
// libnghttp3; connections made of packets protected here with OpenSSL, read into their
// requests (every suite, key updates, coalesced packets, 0-RTT, the server's connection
// IDs, a dynamic QPACK table, a late key log line), and hostile input dropped and counted.

#include "quic/offset_reassembler.h"
#include "quic/packet_keys.h"
#include "quic/packet_protection.h"
#include "quic/qpack_decoder.h"
#include "quic/quic_reader.h"
#include "quic/varint.h"
#include "streams/key_log.h"

#include <QtTest>

#include "quic_packets.h"

#include <map>
#include <vector>

using namespace quorrel;
using namespace quorrel::test::quicpackets;
using quic::QuicReader;

namespace {

// RFC 9001 A.1: the client's first Destination Connection ID.
const char *const kRfcDcid = "8394c8f03e515708";
// The random of that ClientHello, by which the key log names the connection.
const char *const kRfcRandom = "ebf8fa56f12939b9584a3896472ec40bb863cfd3e86804fe3a47f06a2b69484c";

quic::Endpoint endpoint(std::uint8_t last, std::uint16_t port)
{
    quic::Endpoint e;
    e.address = IpAddress::v4(0x7f000000u | last);
    e.port = port;
    return e;
}

std::uint64_t readOne(const QByteArray &bytes)
{
    ByteCursor c(view(bytes));
    const auto v = quic::readVarint(c);
    return v && c.atEnd() ? *v : ~std::uint64_t{0};
}

// The client's first Initial of RFC 9001 A.2 (to dcid, padded to 1200 bytes), with extra
// frames in front of the ClientHello.
QByteArray clientInitial(const quic::QuicVersion &version, const QByteArray &dcid, const QByteArray &before = {},
                         int payloadSize = 1162)
{
    return longPacket(initialKeysOf(version, dcid, true), version, quic::PacketType::Initial, dcid, {}, 2,
                      padded(before + hex(kRfcCryptoFrame), payloadSize));
}

struct Request {
    QByteArray path;
    QByteArray referer, cookie, userAgent;
};

Fields fieldsOf(const QByteArray &path)
{
    return {{":method", "GET"},
            {":scheme", "https"},
            {":authority", "example.com"},
            {":path", path},
            {"user-agent", "TestAgent/1"},
            {"referer", "https://example.com/page"},
            {"cookie", "a=1"},
            {"cookie", "b=2"},
            {"sec-fetch-dest", "video"},
            {"range", "bytes=0-"}};
}

// A reader and what it filed.
struct Harness {
    streams::KeyLog keys;
    QuicReader reader;
    std::vector<streams::StreamRequest> requests;
    std::vector<quic::QuicNote::Kind> notes;
    quic::Endpoint client = endpoint(1, 50000);
    quic::Endpoint server = endpoint(2, 443);
    std::int64_t nowMs = 1000;

    explicit Harness(quic::QuicLimits limits = {}) : reader(keys, limits)
    {
        reader.onRequest = [this](const streams::StreamRequest &r) { requests.push_back(r); };
        reader.onNote = [this](const quic::QuicNote &n) { notes.push_back(n.kind); };
    }
    void fromClient(const QByteArray &datagram) { reader.feed({client, server, view(datagram), nowMs += 5}); }
    void fromServer(const QByteArray &datagram) { reader.feed({server, client, view(datagram), nowMs += 5}); }
    QStringList paths() const
    {
        QStringList out;
        for (const auto &r : requests)
            out << QString::fromLatin1(r.address());
        return out;
    }
    quic::QuicCounters counters() const { return reader.counters(); }
};

QByteArray keyLogLine(const char *label, const QByteArray &secret)
{
    return QByteArray(label) + ' ' + kRfcRandom + ' ' + secret.toHex() + '\n';
}

QByteArray secretOf(int length, char fill)
{
    QByteArray s(length, fill);
    for (int i = 0; i < length; ++i)
        s[i] = char(fill + i * 7);
    return s;
}

} // namespace

class TestQuic : public QObject {
    Q_OBJECT

private slots:
    void varints_data();
    void varints();
    void packetNumbers_data();
    void packetNumbers();
    void initialKeys_data();
    void initialKeys();
    void clientInitialOfRfc9001();
    void chachaShortHeaderOfRfc9001();
    void retry_data();
    void retry();
    void qpackOfRfc9204_data();
    void qpackOfRfc9204();
    void reassembly_data();
    void reassembly();
    void requests_data();
    void requests();
    void hostile_data();
    void hostile();
};

void TestQuic::varints_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<quint64>("value");
    // RFC 9000 A.1's examples.
    QTest::newRow("eight bytes") << hex("c2197c5eff14e88c") << quint64(151288809941952652ULL);
    QTest::newRow("four bytes") << hex("9d7f3e7d") << quint64(494878333);
    QTest::newRow("two bytes") << hex("7bbd") << quint64(15293);
    QTest::newRow("one byte") << hex("25") << quint64(37);
    QTest::newRow("37 in two bytes") << hex("4025") << quint64(37);
    QTest::newRow("cut short") << hex("9d7f3e") << quint64(~0ULL);
    QTest::newRow("empty") << QByteArray() << quint64(~0ULL);
}

void TestQuic::varints()
{
    QFETCH(QByteArray, bytes);
    QFETCH(quint64, value);
    QCOMPARE(readOne(bytes), value);
}

void TestQuic::packetNumbers_data()
{
    QTest::addColumn<qint64>("largest"); // -1: none yet
    QTest::addColumn<quint64>("truncated");
    QTest::addColumn<int>("length");
    QTest::addColumn<quint64>("expected");
    // RFC 9000 A.3's example, and the edges of the window.
    QTest::newRow("RFC 9000 A.3") << qint64(0xa82f30ea) << quint64(0x9b32) << 2 << quint64(0xa82f9b32);
    QTest::newRow("first packet") << qint64(-1) << quint64(0) << 1 << quint64(0);
    QTest::newRow("wraps forward") << qint64(0xff) << quint64(0x01) << 1 << quint64(0x101);
    QTest::newRow("a late one, back across") << qint64(0x101) << quint64(0xff) << 1 << quint64(0xff);
    QTest::newRow("RFC 9001 A.5") << qint64(654360563) << quint64(0x00bff4) << 3 << quint64(654360564);
    QTest::newRow("near 2^62 does not wrap") << qint64((1LL << 62) - 2) << quint64(0xff) << 1
                                             << quint64((1ULL << 62) - 1);
}

void TestQuic::packetNumbers()
{
    QFETCH(qint64, largest);
    QFETCH(quint64, truncated);
    QFETCH(int, length);
    QFETCH(quint64, expected);
    const std::optional<std::uint64_t> l = largest < 0 ? std::nullopt : std::optional<std::uint64_t>(largest);
    QCOMPARE(quint64(quic::decodePacketNumber(l, truncated, std::size_t(length))), expected);
}

void TestQuic::initialKeys_data()
{
    QTest::addColumn<quint32>("version");
    QTest::addColumn<bool>("client");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("iv");
    QTest::addColumn<QByteArray>("hp");
    // RFC 9001 A.1 and RFC 9369 A.1, for the DCID 8394c8f03e515708.
    QTest::newRow("v1 client") << quint32(quic::kVersion1) << true << hex("1f369613dd76d5467730efcbe3b1a22d")
                               << hex("fa044b2f42a3fd3b46fb255c") << hex("9f50449e04a0e810283a1e9933adedd2");
    QTest::newRow("v1 server") << quint32(quic::kVersion1) << false << hex("cf3a5331653c364c88f0f379b6067e37")
                               << hex("0ac1493ca1905853b0bba03e") << hex("c206b8d9b9f0f37644430b490eeaa314");
    QTest::newRow("v2 client") << quint32(quic::kVersion2) << true << hex("8b1a0bc121284290a29e0971b5cd045d")
                               << hex("91f73e2351d8fa91660e909f") << hex("45b95e15235d6f45a6b19cbcb0294ba9");
    QTest::newRow("v2 server") << quint32(quic::kVersion2) << false << hex("82db637861d55e1d011f19ea71d5d2a7")
                               << hex("dd13c276499c0249d3310652") << hex("edf6d05c83121201b436e16877593c3a");
}

void TestQuic::initialKeys()
{
    QFETCH(quint32, version);
    QFETCH(bool, client);
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, iv);
    QFETCH(QByteArray, hp);
    const Keys k = initialKeysOf(*quic::findVersion(version), hex(kRfcDcid), client);
    QCOMPARE(k.key.toHex(), key.toHex());
    QCOMPARE(k.iv.toHex(), iv.toHex());
    QCOMPARE(k.hp.toHex(), hp.toHex());
}

void TestQuic::clientInitialOfRfc9001()
{
    // RFC 9001 A.2: the header with packet number 2, the CRYPTO frame padded to 1162 bytes;
    // the protected packet's first 64 bytes as the RFC prints them.
    const quic::QuicVersion &v1 = *quic::findVersion(quic::kVersion1);
    const QByteArray packet = clientInitial(v1, hex(kRfcDcid));
    QCOMPARE(packet.size(), 1200);
    QCOMPARE(packet.first(64).toHex(), hex("c000000001088394c8f03e5157080000449e7b9aec34d1b1c98dd7689fb8ec11"
                                           "d242b123dc9bd8bab936b47d92ec356c0bab7df5976d27cd449f63300099f399")
                                           .toHex());
    // The reader opens it as a connection's first packet and reads the ClientHello's
    // random from it: a 1-RTT request under the key log's secret for that random is filed.
    Harness h;
    const QByteArray secret = secretOf(32, 'c');
    h.keys.addText(keyLogLine("CLIENT_TRAFFIC_SECRET_0", secret));
    h.fromClient(packet);
    QCOMPARE(h.counters().connectionsStarted, 1u);
    QByteArray enc;
    QpackEncoder qpack(0);
    const Keys k = keysOf(v1, *quic::findSuite(0x1301), secret);
    h.fromClient(shortPacket(k, hex(kRfcDcid), 0, streamFrame(0, 0, h3Frame(1, qpack.encode(0, fieldsOf("/a.mp4"), enc)), true)));
    QCOMPARE(h.paths(), QStringList{"https://example.com/a.mp4"});
}

void TestQuic::chachaShortHeaderOfRfc9001()
{
    // RFC 9001 A.5: the server's 1-RTT packet under AEAD_CHACHA20_POLY1305, packet number
    // 654360564, a PING frame.
    const quic::QuicVersion &v1 = *quic::findVersion(quic::kVersion1);
    const QByteArray secret = hex("9ac312a7f877468ebe69422748ad00a15443f18203a07d6060f688f30f21632b");
    const Keys k = keysOf(v1, *quic::findSuite(0x1303), secret);
    QCOMPARE(k.key.toHex(), QByteArray("c6d98ff3441c3fe1b2182094f69caa2ed4b716b65488960a7a984979fb23e1c8"));
    QCOMPARE(k.iv.toHex(), QByteArray("e0459b3474bdd0e44a41c144"));
    QCOMPARE(k.hp.toHex(), QByteArray("25a282b9e82f06f21f488917a4fc8f1b73573685608597d0efcb076b0ab7a7a4"));
    quic::SecretBytes next;
    next.assign(view(secret));
    QVERIFY(quic::nextSecret(v1, *quic::findSuite(0x1303), next));
    QCOMPARE(bytesOf(next).toHex(), QByteArray("1223504755036d556342ee9361d253421a826c9ecdf3c7148684b36b714881f9"));

    const QByteArray packet = hex("4cfe4189655e5cd55c41f69080575d7999c25a5bfb");
    QCOMPARE(protect(k, hex("4200bff4"), 3, 654360564, hex("01")).toHex(), packet.toHex());

    quic::PacketKeys keys;
    QVERIFY(quic::derivePacketKeys(v1, *quic::findSuite(0x1303), view(secret), keys));
    quic::HeaderProtection hp;
    quic::PacketCipher cipher;
    QVERIFY(hp.init(quic::Aead::ChaCha20Poly1305, keys.hp));
    QVERIFY(cipher.init(quic::Aead::ChaCha20Poly1305, keys.key, keys.iv));
    std::vector<std::byte> header, plain;
    const auto open = quic::removeHeaderProtection(hp, view(packet), 1, header);
    QVERIFY(open);
    QCOMPARE(open->firstByte, std::uint8_t(0x42));
    QCOMPARE(open->pnLength, std::size_t(3));
    const std::uint64_t pn = quic::decodePacketNumber(654360563, open->truncatedPn, open->pnLength);
    QCOMPARE(pn, std::uint64_t(654360564));
    QVERIFY(cipher.open(pn, open->header, open->payload, plain));
    QCOMPARE(plain.size(), std::size_t(1));
    QCOMPARE(plain[0], std::byte{0x01});
    // A payload one bit off does not authenticate.
    QByteArray broken = packet;
    broken[broken.size() - 1] = char(broken[broken.size() - 1] ^ 1);
    const auto brokenOpen = quic::removeHeaderProtection(hp, view(broken), 1, header);
    QVERIFY(brokenOpen);
    QVERIFY(!cipher.open(pn, brokenOpen->header, brokenOpen->payload, plain));
}

void TestQuic::retry_data()
{
    QTest::addColumn<QByteArray>("retry");
    QTest::addColumn<bool>("followed");
    // RFC 9001 A.4: the server's Retry to the client of A.2, its new connection ID
    // f067a5502a4262b5 and its integrity tag; and the same Retry with the tag one bit off.
    const QByteArray rfc = hex("ff000000010008f067a5502a4262b5746f6b656e04a265ba2eff4d829058fb3f0f2496ba");
    QByteArray broken = rfc;
    broken[broken.size() - 1] = char(broken[broken.size() - 1] ^ 1);
    QTest::newRow("RFC 9001 A.4") << rfc << true;
    QTest::newRow("its tag broken") << broken << false;
}

void TestQuic::retry()
{
    QFETCH(QByteArray, retry);
    QFETCH(bool, followed);
    const quic::QuicVersion &v1 = *quic::findVersion(quic::kVersion1);
    Harness h;
    h.fromClient(clientInitial(v1, hex(kRfcDcid)));
    h.fromServer(retry);
    // After a Retry the client's Initial goes to the Retry's connection ID, with keys of it.
    const QByteArray next = hex("f067a5502a4262b5");
    h.fromClient(longPacket(initialKeysOf(v1, next, true), v1, quic::PacketType::Initial, next, {}, 3,
                            padded(hex(kRfcCryptoFrame), 1162), hex("746f6b656e")));
    // Followed, it is the same connection; a Retry that does not authenticate is dropped,
    // and an Initial to an ID of its own begins a connection of its own.
    QCOMPARE(h.counters().connectionsStarted, followed ? 1u : 2u);
    QCOMPARE(h.counters().packetsFailedAuth, followed ? 0u : 1u);
}

namespace {

struct Collect final : quic::QpackDecoder::FieldSink {
    QStringList fields;
    bool field(std::string_view name, std::string_view value) override
    {
        fields << QString::fromLatin1(name.data(), qsizetype(name.size())) + '='
                + QString::fromLatin1(value.data(), qsizetype(value.size()));
        return true;
    }
};

} // namespace

void TestQuic::qpackOfRfc9204_data()
{
    QTest::addColumn<int>("capacity");
    QTest::addColumn<QByteArray>("encoderBefore");
    QTest::addColumn<QByteArray>("section");
    QTest::addColumn<QByteArray>("encoderAfter");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<bool>("blocked");
    const QByteArray b2Encoder = hex("3fbd01c00f7777772e6578616d706c652e636f6dc10c2f73616d706c652f70617468");
    // RFC 9204 B.1: a literal with a static name reference, no dynamic table.
    QTest::newRow("B.1 static") << 0 << QByteArray() << hex("0000510b2f696e6465782e68746d6c") << QByteArray()
                                << QStringList{":path=/index.html"} << false;
    // B.2: the encoder stream sets the capacity to 220 and inserts two entries; the section
    // refers to them by post-base index.
    QTest::newRow("B.2 dynamic") << 220 << b2Encoder << hex("03811011") << QByteArray()
                                 << QStringList{":authority=www.example.com", ":path=/sample/path"} << false;
    // The same section before the encoder stream's instructions: blocked, then read.
    QTest::newRow("B.2 blocked until the encoder stream") << 220 << QByteArray() << hex("03811011") << b2Encoder
                                                          << QStringList{":authority=www.example.com", ":path=/sample/path"}
                                                          << true;
}

void TestQuic::qpackOfRfc9204()
{
    QFETCH(int, capacity);
    QFETCH(QByteArray, encoderBefore);
    QFETCH(QByteArray, section);
    QFETCH(QByteArray, encoderAfter);
    QFETCH(QStringList, expected);
    QFETCH(bool, blocked);
    quic::QpackDecoder decoder(std::size_t(capacity), 16);
    QVERIFY(decoder.usable());
    if (!encoderBefore.isEmpty())
        QVERIFY(decoder.readEncoder(view(encoderBefore)));
    quic::QpackDecoder::Section s(decoder, 4);
    Collect sink;
    auto result = decoder.decode(s, view(section), sink);
    QCOMPARE(result == quic::QpackDecoder::Decode::Blocked, blocked);
    if (blocked) {
        QVERIFY(!decoder.unblocked(s));
        QVERIFY(decoder.readEncoder(view(encoderAfter)));
        QVERIFY(decoder.unblocked(s));
        result = decoder.decode(s, view(section), sink);
    }
    QCOMPARE(result == quic::QpackDecoder::Decode::Done, !expected.isEmpty());
    QCOMPARE(sink.fields, expected);
    QVERIFY(decoder.memory() > 0); // libnghttp3's allocations are counted
}

void TestQuic::reassembly_data()
{
    QTest::addColumn<QList<int>>("offsets"); // each piece: offset, length (of "0123456789abcdef...")
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<int>("held");
    QTest::newRow("in order") << QList<int>{0, 4, 4, 4} << QByteArray("01234567") << 0;
    QTest::newRow("out of order") << QList<int>{4, 4, 0, 4} << QByteArray("01234567") << 0;
    QTest::newRow("overlapping and repeated") << QList<int>{2, 6, 0, 3, 0, 8, 6, 4} << QByteArray("0123456789") << 0;
    QTest::newRow("a hole stays") << QList<int>{0, 2, 4, 2} << QByteArray("01") << 2;
    QTest::newRow("over the hold limit") << QList<int>{0, 2, 4, 20} << QByteArray("01") << 0;
}

void TestQuic::reassembly()
{
    QFETCH(QList<int>, offsets);
    QFETCH(QByteArray, expected);
    QFETCH(int, held);
    const QByteArray text("0123456789abcdefghijklmnopqrstuvwxyz");
    quic::OffsetReassembler r;
    QByteArray out;
    for (int i = 0; i + 1 < offsets.size(); i += 2) {
        r.add(std::uint64_t(offsets[i]), view(text.mid(offsets[i], offsets[i + 1])), 16, [&](Bytes b) {
            out.append(reinterpret_cast<const char *>(b.data()), qsizetype(b.size()));
            return true;
        });
    }
    QCOMPARE(out, expected);
    QCOMPARE(int(r.heldBytes()), held);
}

namespace {

// How a connection of the requests table is made.
struct Plan {
    quint16 suite = 0x1301;
    bool keyUpdate = false;
    bool coalesced = false; // the client's Handshake and 1-RTT packets share a datagram
    QByteArray serverCid;   // the server's own connection ID, from its Initial; empty: none seen
    bool zeroRtt = false;
    bool lateKeyLog = false;
    int qpackCapacity = 0;
    quint32 version = quic::kVersion1;
    // The server hands out another connection ID (NEW_CONNECTION_ID); the client sends its
    // second request to it from another port.
    bool migrate = false;
};

} // namespace

Q_DECLARE_METATYPE(Plan)

void TestQuic::requests_data()
{
    QTest::addColumn<Plan>("plan");
    QTest::addColumn<QStringList>("expected");
    const QStringList both{"https://example.com/v/1.mp4", "https://example.com/v/2.mp4"};
    auto plan = [](auto change) {
        Plan p;
        change(p);
        return p;
    };
    const QByteArray serverCid = hex("c0ffee0011");
    QTest::newRow("AES-128-GCM") << Plan{} << both;
    QTest::newRow("ChaCha20-Poly1305, found by trial") << plan([](Plan &p) { p.suite = 0x1303; }) << both;
    QTest::newRow("AES-256-GCM, a 48-byte secret") << plan([](Plan &p) { p.suite = 0x1302; }) << both;
    QTest::newRow("a key update") << plan([](Plan &p) { p.keyUpdate = true; }) << both;
    QTest::newRow("a key update under ChaCha20") << plan([](Plan &p) { p.suite = 0x1303, p.keyUpdate = true; }) << both;
    QTest::newRow("Handshake and 1-RTT in one datagram") << plan([](Plan &p) { p.coalesced = true; }) << both;
    QTest::newRow("the server's connection ID from its Initial") << plan([&](Plan &p) { p.serverCid = serverCid; })
                                                                  << both;
    QTest::newRow("0-RTT") << plan([](Plan &p) { p.zeroRtt = true; }) << both;
    QTest::newRow("0-RTT coalesced with the Initial") << plan([](Plan &p) { p.zeroRtt = p.coalesced = true; }) << both;
    QTest::newRow("the key log line comes late") << plan([](Plan &p) { p.lateKeyLog = true; }) << both;
    QTest::newRow("a dynamic QPACK table, SETTINGS after the requests") << plan([&](Plan &p) {
        p.serverCid = serverCid;
        p.qpackCapacity = 4096;
    }) << both;
    QTest::newRow("a new connection ID and another port") << plan([&](Plan &p) {
        p.serverCid = serverCid;
        p.migrate = true;
    }) << both;
    QTest::newRow("QUIC version 2") << plan([&](Plan &p) {
        p.serverCid = serverCid;
        p.version = quic::kVersion2;
    }) << both;
}

void TestQuic::requests()
{
    QFETCH(Plan, plan);
    QFETCH(QStringList, expected);
    const quic::QuicVersion &version = *quic::findVersion(plan.version);
    const quic::CipherSuite &suite = *quic::findSuite(plan.suite);
    const QByteArray clientSecret = secretOf(int(suite.hashLength), 'c');
    const QByteArray serverSecret = secretOf(int(suite.hashLength), 's');
    const QByteArray earlySecret = secretOf(int(suite.hashLength), 'e');
    const QByteArray keyLog = keyLogLine("CLIENT_TRAFFIC_SECRET_0", clientSecret)
        + keyLogLine("SERVER_TRAFFIC_SECRET_0", serverSecret) + keyLogLine("CLIENT_EARLY_TRAFFIC_SECRET", earlySecret);

    Harness h;
    if (!plan.lateKeyLog)
        h.keys.addText(keyLog);
    const QByteArray dcid = hex(kRfcDcid);
    const QByteArray toServer = plan.serverCid.isEmpty() ? dcid : plan.serverCid;
    const Keys early = keysOf(version, suite, earlySecret);
    Keys client = keysOf(version, suite, clientSecret);
    const Keys server = keysOf(version, suite, serverSecret);

    // The requests' HTTP/3: QPACK sections (with the encoder stream's instructions when the
    // table is dynamic) on streams 0 and 4.
    QpackEncoder qpack(std::size_t(plan.qpackCapacity));
    QByteArray encoder;
    const QByteArray first = h3Frame(1, qpack.encode(0, fieldsOf("/v/1.mp4"), encoder));
    const QByteArray second = h3Frame(1, qpack.encode(4, fieldsOf("/v/2.mp4"), encoder));
    const QByteArray firstFrames = (encoder.isEmpty() ? QByteArray() : streamFrame(2, 0, varint(0x02) + encoder))
        + streamFrame(0, 0, first, true);

    auto protectedRequest = [&](const QByteArray &frames, std::uint64_t pn, const Keys &k, bool phase) {
        if (plan.zeroRtt)
            return longPacket(early, version, quic::PacketType::ZeroRtt, dcid, {}, pn, frames);
        return shortPacket(k, toServer, pn, frames, phase);
    };
    const QByteArray initial = clientInitial(version, dcid, {}, plan.coalesced && plan.zeroRtt ? 600 : 1162);
    if (plan.coalesced && plan.zeroRtt) {
        h.fromClient(padded(initial + protectedRequest(firstFrames, 0, client, false), 1200));
    } else {
        h.fromClient(initial);
    }
    if (!plan.serverCid.isEmpty()) {
        h.fromServer(longPacket(initialKeysOf(version, dcid, false), version, quic::PacketType::Initial, {}, plan.serverCid,
                                0, padded(hex("01"), 40)));
    }
    if (!(plan.coalesced && plan.zeroRtt)) {
        QByteArray datagram = protectedRequest(firstFrames, 0, client, false);
        if (plan.coalesced) {
            // A Handshake packet the reader does not open, in front.
            const Keys handshake = keysOf(version, suite, secretOf(int(suite.hashLength), 'h'));
            datagram = longPacket(handshake, version, quic::PacketType::Handshake, toServer, {}, 0, padded(hex("01"), 60))
                + datagram;
        }
        h.fromClient(datagram);
    }
    if (plan.qpackCapacity > 0)
        h.fromServer(shortPacket(server, {}, 0, streamFrame(3, 0, controlStreamWithSettings(std::uint64_t(plan.qpackCapacity)))));
    bool phase = false;
    if (plan.keyUpdate) {
        quic::SecretBytes next;
        next.assign(view(clientSecret));
        QVERIFY(quic::nextSecret(version, suite, next));
        const Keys updated = keysOf(version, suite, bytesOf(next));
        client.key = updated.key;
        client.iv = updated.iv; // the header protection key stays (RFC 9001 6)
        phase = true;
    }
    QByteArray secondTo = toServer;
    if (plan.migrate) {
        secondTo = hex("0a0b0c0d0e");
        h.fromServer(shortPacket(server, {}, 1, newConnectionIdFrame(1, secondTo)));
        h.client.port = 50001;
    }
    h.fromClient(plan.zeroRtt ? protectedRequest(streamFrame(4, 0, second, true), 1, client, phase)
                              : shortPacket(client, secondTo, 1, streamFrame(4, 0, second, true), phase));
    if (plan.lateKeyLog) {
        QVERIFY(h.paths().isEmpty());
        h.keys.addText(keyLog);
        h.reader.expire(h.nowMs + 100);
    }
    h.reader.endAll();
    QCOMPARE(h.paths(), expected);
    for (const auto &r : h.requests) {
        QCOMPARE(r.method, QByteArray("GET"));
        QCOMPARE(r.referer, QByteArray("https://example.com/page"));
        QCOMPARE(r.cookie, QByteArray("a=1; b=2"));
        QCOMPARE(r.userAgent, QByteArray("TestAgent/1"));
        // What the browser asked for files media without an extension, as over HTTP/2.
        QCOMPARE(r.secFetchDest, QByteArray("video"));
        QCOMPARE(r.range, QByteArray("bytes=0-"));
        QCOMPARE(r.client, endpoint(1, 50000)); // the connection's client, wherever it moved
    }
    const quic::QuicCounters c = h.counters();
    QCOMPARE(c.connectionsRead, 1u);
    QCOMPARE(c.packetsFailedAuth, 0u);
    QCOMPARE(c.keyUpdates, plan.keyUpdate ? 1u : 0u);
    QCOMPARE(c.memoryInUse, std::size_t(0)); // every connection ended
}

namespace {

enum class Attack {
    TruncatedInitial,
    TruncatedInConnection,
    InitialNotAuthentic,
    UnknownConnectionId,
    FailedAuthentication,
    CryptoAtHugeOffset,
    StreamPastItsBound,
    HeadersOverTheBound,
    NoSecret,
    ManyConnections,
    VersionNotRead,
};

} // namespace

Q_DECLARE_METATYPE(Attack)

void TestQuic::hostile_data()
{
    QTest::addColumn<Attack>("attack");
    QTest::addColumn<QString>("counter"); // the counter that must have risen
    QTest::addColumn<int>("requests");    // of the one good request sent after it
    // A first packet cut short need not be QUIC at all; within a connection it is malformed.
    QTest::newRow("truncated Initial") << Attack::TruncatedInitial << "packetsUnknown" << 0;
    QTest::newRow("a truncated packet within a connection") << Attack::TruncatedInConnection << "packetsMalformed" << 1;
    QTest::newRow("an Initial that does not authenticate") << Attack::InitialNotAuthentic << "packetsUnknown" << 0;
    QTest::newRow("a short header to an unknown ID") << Attack::UnknownConnectionId << "packetsUnknown" << 1;
    QTest::newRow("a 1-RTT packet one bit off") << Attack::FailedAuthentication << "packetsFailedAuth" << 1;
    QTest::newRow("a CRYPTO frame at a huge offset") << Attack::CryptoAtHugeOffset << "streamBytesDropped" << 1;
    QTest::newRow("a STREAM frame far past its bound") << Attack::StreamPastItsBound << "streamBytesDropped" << 1;
    QTest::newRow("a HEADERS frame over the bound") << Attack::HeadersOverTheBound << "oversize" << 1;
    QTest::newRow("the key log never names it") << Attack::NoSecret << "withoutSecret" << 0;
    QTest::newRow("more connections than the memory bound holds") << Attack::ManyConnections << "connectionsEvicted" << 1;
    QTest::newRow("a version not read") << Attack::VersionNotRead << "versionNotRead" << 0;
}

void TestQuic::hostile()
{
    QFETCH(Attack, attack);
    QFETCH(QString, counter);
    QFETCH(int, requests);
    const quic::QuicVersion &v1 = *quic::findVersion(quic::kVersion1);
    const quic::CipherSuite &suite = *quic::findSuite(0x1301);
    const QByteArray secret = secretOf(32, 'c');
    quic::QuicLimits limits;
    if (attack == Attack::ManyConnections)
        limits.totalBytes = 64 * 1024;
    Harness h(limits);
    if (attack != Attack::NoSecret)
        h.keys.addText(keyLogLine("CLIENT_TRAFFIC_SECRET_0", secret));
    const QByteArray dcid = hex(kRfcDcid);
    const Keys k = keysOf(v1, suite, secret);
    QpackEncoder qpack(0);
    QByteArray unused;
    const QByteArray request = h3Frame(1, qpack.encode(0, fieldsOf("/good.mp4"), unused));

    QByteArray initial = clientInitial(v1, dcid);
    switch (attack) {
    case Attack::TruncatedInitial:
        initial = initial.first(40);
        break;
    case Attack::InitialNotAuthentic:
        initial[600] = char(initial[600] ^ 1);
        break;
    case Attack::CryptoAtHugeOffset:
        initial = clientInitial(v1, dcid, cryptoFrame(1ULL << 40, "x"));
        break;
    case Attack::VersionNotRead: {
        initial[1] = char(0xff); // 0xff000001: a draft's number
        break;
    }
    case Attack::ManyConnections:
        // Connections whose requests wait for a key log line that never comes, each from
        // a port of its own to an ID of its own.
        for (int i = 0; i < 200; ++i) {
            const QByteArray id = hex("0102030405060708") + char(i);
            h.client.port = quint16(40000 + i);
            h.fromClient(clientInitial(v1, id));
            h.fromClient(shortPacket(keysOf(v1, suite, secretOf(32, 'z')), id, 0, padded(hex("01"), 1000)));
            QVERIFY(h.reader.memoryInUse() <= limits.totalBytes);
        }
        h.client.port = 50000;
        break;
    default:
        break;
    }
    h.fromClient(initial);
    switch (attack) {
    case Attack::TruncatedInConnection:
        h.fromClient(clientInitial(v1, dcid).first(300));
        break;
    case Attack::UnknownConnectionId:
        // From a path no connection took, to an ID none has.
        h.client.port = 50001;
        h.fromClient(shortPacket(k, hex("1112131415161718"), 0, streamFrame(0, 0, request, true)));
        h.client.port = 50000;
        break;
    case Attack::FailedAuthentication: {
        QByteArray p = shortPacket(k, dcid, 0, streamFrame(4, 0, request, true));
        p[p.size() - 1] = char(p[p.size() - 1] ^ 1);
        h.fromClient(p);
        break;
    }
    case Attack::StreamPastItsBound:
        h.fromClient(shortPacket(k, dcid, 0, streamFrame(4, 1ULL << 40, QByteArray(1000, 'x'))));
        break;
    case Attack::HeadersOverTheBound:
        h.fromClient(shortPacket(k, dcid, 0, streamFrame(4, 0, varint(1) + varint(1 << 20) + QByteArray(500, 'x'))));
        break;
    default:
        break;
    }
    h.fromClient(shortPacket(k, dcid, 1, streamFrame(0, 0, request, true)));
    h.reader.endAll();
    const quic::QuicCounters c = h.counters();
    const std::map<QString, std::uint64_t> counters{
        {"packetsMalformed", c.packetsMalformed},   {"packetsUnknown", c.packetsUnknown},
        {"packetsFailedAuth", c.packetsFailedAuth}, {"streamBytesDropped", c.streamBytesDropped},
        {"oversize", c.oversize},                   {"withoutSecret", c.withoutSecret},
        {"connectionsEvicted", c.connectionsEvicted}, {"versionNotRead", c.versionNotRead},
    };
    QVERIFY2(counters.at(counter) > 0, qPrintable(counter));
    QCOMPARE(int(h.requests.size()), requests);
    QCOMPARE(c.memoryInUse, std::size_t(0));
    if (attack == Attack::NoSecret)
        QVERIFY(std::count(h.notes.begin(), h.notes.end(), quic::QuicNote::WithoutSecret) == 1);
}

QTEST_GUILESS_MAIN(TestQuic)
#include "test_quic.moc"
