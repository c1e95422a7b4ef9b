// The frame reader, fed bytes as the helper's pipe delivers them: whole frames out, in
// order, whatever the pieces; every header field out of range refused at once, before a
// body is waited for; the pipe's end told apart at a frame boundary and inside a frame.

#include "capture/frame.h"
#include "capture/frame_reader.h"

#include <QtTest>

#include <cstring>
#include <vector>

using namespace quorrel;
using frame::FrameType;

namespace {

QByteArray header(char type, int index, std::uint32_t length, char reserved = 0)
{
    QByteArray h(8, '\0');
    h[0] = type;
    h[1] = char(index);
    h[2] = reserved;
    h[3] = 0;
    frame::put32(reinterpret_cast<unsigned char *>(h.data()) + 4, length);
    return h;
}

QByteArray frameOf(char type, int index, const QByteArray &body)
{
    return header(type, index, std::uint32_t(body.size())) + body;
}

QByteArray opened(int index, std::uint32_t dlt = 1)
{
    QByteArray body(4, '\0');
    frame::put32(reinterpret_cast<unsigned char *>(body.data()), dlt);
    return frameOf('O', index, body);
}

QByteArray captured(int index, const QByteArray &bytes) { return frameOf('F', index, bytes + QByteArray(1, '\0')); }

QByteArray stats(int index, std::uint64_t dropped, std::uint64_t overflows)
{
    QByteArray body(16, '\0');
    frame::put64(reinterpret_cast<unsigned char *>(body.data()), dropped);
    frame::put64(reinterpret_cast<unsigned char *>(body.data()) + 8, overflows);
    return frameOf('S', index, body);
}

Bytes view(const QByteArray &b) { return Bytes(reinterpret_cast<const std::byte *>(b.constData()), std::size_t(b.size())); }

QByteArray bodyOf(const PipeFrame &f) { return QByteArray(reinterpret_cast<const char *>(f.body.data()), qsizetype(f.body.size())); }

// Every whole frame the reader holds now.
QList<PipeFrame> drain(FrameReader &r, FrameReader::Next &last)
{
    QList<PipeFrame> frames;
    PipeFrame f;
    while ((last = r.next(f)) == FrameReader::Next::Frame)
        frames << f;
    return frames;
}

} // namespace

class TestFrameReader : public QObject {
    Q_OBJECT
private slots:
    void oneByteAtATime();
    void manyFramesInOnePiece();
    void badHeader_data();
    void badHeader();
    void badBody_data();
    void badBody();
    void brokenStaysBroken();
    void pipeEnds_data();
    void pipeEnds();
    void fullBufferWaitsForTheReader();
};

void TestFrameReader::oneByteAtATime()
{
    const QByteArray stream = opened(3, 276) + captured(3, "GET / HTTP/1.1\r\n") + stats(3, 12, 1);
    FrameReader r;
    QList<PipeFrame> frames;
    QList<QByteArray> bodies;
    for (qsizetype i = 0; i < stream.size(); ++i) {
        QCOMPARE(r.feed(view(stream.mid(i, 1))), std::size_t(1));
        FrameReader::Next last;
        for (const PipeFrame &f : drain(r, last)) {
            frames << f;
            bodies << bodyOf(f); // copied now: a body lives until the next feed
        }
        QCOMPARE(last, FrameReader::Next::More);
        // A frame comes out with its last byte, not before.
        const qsizetype ends[] = {12, 12 + 8 + 17, stream.size()};
        QCOMPARE(frames.size(), qsizetype(std::count_if(std::begin(ends), std::end(ends), [&](qsizetype e) { return i + 1 >= e; })));
    }
    QCOMPARE(frames.size(), 3);
    QCOMPARE(frames[0].type, FrameType::Opened);
    QCOMPARE(frame::get32(reinterpret_cast<const unsigned char *>(bodies[0].constData())), 276u);
    QCOMPARE(frames[1].type, FrameType::Frame);
    QCOMPARE(bodies[1], QByteArray("GET / HTTP/1.1\r\n", 17));
    QCOMPARE(frames[2].type, FrameType::Stats);
    QCOMPARE(int(frames[2].index), 3);
    QCOMPARE(frame::get64(reinterpret_cast<const unsigned char *>(bodies[2].constData())), 12u);
    QCOMPARE(r.end(), FrameReader::End::Clean);
}

void TestFrameReader::manyFramesInOnePiece()
{
    QByteArray stream;
    for (int i = 0; i < 1000; ++i)
        stream += captured(i % int(frame::kMaxCaptures), QByteArray::number(i));
    const QByteArray largest = captured(39, QByteArray(int(frame::kMaxFrameBytes), 'x'));
    stream += largest;
    FrameReader r;
    QCOMPARE(r.feed(view(stream)), std::size_t(stream.size()));
    FrameReader::Next last;
    const QList<PipeFrame> frames = drain(r, last);
    QCOMPARE(last, FrameReader::Next::More);
    QCOMPARE(frames.size(), 1001);
    for (int i = 0; i < 1000; ++i) {
        QCOMPARE(int(frames[i].index), i % int(frame::kMaxCaptures));
        QCOMPARE(bodyOf(frames[i]), QByteArray::number(i) + QByteArray(1, '\0'));
    }
    QCOMPARE(frames.last().body.size(), frame::kMaxFrameBody);
    QCOMPARE(r.end(), FrameReader::End::Clean);
}

// Each header is refused as soon as its 8 bytes are in: no body is waited for.
void TestFrameReader::badHeader_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<QString>("says");
    // The header's bytes in hex follow kMalformedHeader.
    QTest::newRow("unknown type") << header('X', 0, 4) << "58 00";
    QTest::newRow("type zero") << header('\0', 0, 4) << "00 00";
    QTest::newRow("index one past the last capture") << header('F', int(frame::kMaxCaptures), 4) << "46 28";
    QTest::newRow("index 255") << header('F', 255, 4) << "46 ff";
    QTest::newRow("reserved byte 2 set") << header('F', 0, 4, 1) << "46 00 01 00";
    QTest::newRow("reserved byte 3 set") << [] { QByteArray h = header('F', 0, 4); h[3] = 1; return h; }() << "46 00 00 01";
    QTest::newRow("length one over the maximum") << header('F', 0, std::uint32_t(frame::kMaxFrameBody + 1)) << "46 00 00 00";
    QTest::newRow("length 4 GiB - 1") << header('E', 0, 0xFFFFFFFFu) << "45 00 00 00 ff ff ff ff";
}

void TestFrameReader::badHeader()
{
    QFETCH(QByteArray, header);
    QFETCH(QString, says);
    FrameReader r;
    // One good frame first: what came before a bad header is still delivered.
    QVERIFY(r.feed(view(opened(0) + header)) > 0);
    PipeFrame f;
    QCOMPARE(r.next(f), FrameReader::Next::Frame);
    QCOMPARE(f.type, FrameType::Opened);
    QCOMPARE(r.next(f), FrameReader::Next::Broken);
    QVERIFY2(r.error().starts_with(kMalformedHeader + says.toStdString()), r.error().c_str());
    QCOMPARE(r.end(), FrameReader::End::Broken);
}

void TestFrameReader::badBody_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QString>("says");
    // What is wrong follows kMalformedFrame.
    QTest::newRow("Opened of 3 bytes") << frameOf('O', 0, "abc") << u"Opened 帧的长度为 3 字节"_qs;
    QTest::newRow("Opened of 5 bytes") << frameOf('O', 0, "abcde") << u"Opened 帧的长度为 5 字节"_qs;
    QTest::newRow("Stats of 15 bytes") << frameOf('S', 0, QByteArray(15, '\0')) << u"Stats 帧的长度为 15 字节"_qs;
    QTest::newRow("captured frame without its zero byte") << frameOf('F', 0, "abc") << u"数据帧末尾缺少零字节"_qs;
    QTest::newRow("empty captured frame") << frameOf('F', 0, {}) << u"数据帧末尾缺少零字节"_qs;
    QTest::newRow("cut frame of its length alone") << frameOf('C', 0, QByteArray(4, '\0')) << u"截短的数据帧"_qs;
    QTest::newRow("cut frame without its zero byte") << frameOf('C', 0, QByteArray(4, '\0') + "abc") << u"截短的数据帧"_qs;
}

void TestFrameReader::badBody()
{
    QFETCH(QByteArray, frame);
    QFETCH(QString, says);
    FrameReader r;
    r.feed(view(frame + captured(0, "after")));
    PipeFrame f;
    QCOMPARE(r.next(f), FrameReader::Next::Broken);
    QVERIFY2(r.error().starts_with(kMalformedFrame + says.toStdString()), r.error().c_str());
}

// Nothing after a bad frame is trusted, however good it looks.
void TestFrameReader::brokenStaysBroken()
{
    FrameReader r;
    r.feed(view(header('F', 0, 0xFFFFFFFFu)));
    PipeFrame f;
    QCOMPARE(r.next(f), FrameReader::Next::Broken);
    QCOMPARE(r.feed(view(opened(0))), std::size_t(0));
    QVERIFY(r.room().empty());
    QCOMPARE(r.next(f), FrameReader::Next::Broken);
}

void TestFrameReader::pipeEnds_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<int>("frames");
    QTest::addColumn<int>("end");
    const QByteArray two = opened(0) + captured(0, "xyz");
    QTest::newRow("nothing at all") << QByteArray() << 0 << int(FrameReader::End::Clean);
    QTest::newRow("at a frame boundary") << two << 2 << int(FrameReader::End::Clean);
    QTest::newRow("inside a header") << two + opened(1).left(3) << 2 << int(FrameReader::End::InsideFrame);
    QTest::newRow("after a header") << two + opened(1).left(8) << 2 << int(FrameReader::End::InsideFrame);
    QTest::newRow("inside a body") << two + captured(1, "abc").left(10) << 2 << int(FrameReader::End::InsideFrame);
    QTest::newRow("one byte short") << two + captured(1, "abc").chopped(1) << 2 << int(FrameReader::End::InsideFrame);
    QTest::newRow("after a bad header") << two + header('Z', 0, 1) << 2 << int(FrameReader::End::Broken);
}

void TestFrameReader::pipeEnds()
{
    QFETCH(QByteArray, stream);
    QFETCH(int, frames);
    QFETCH(int, end);
    FrameReader r;
    r.feed(view(stream));
    FrameReader::Next last;
    QCOMPARE(drain(r, last).size(), frames);
    QCOMPARE(int(r.end()), end);
}

// A reader that takes no frames stops taking bytes once its buffer is full, and takes
// them again as frames go: what waits, waits in the pipe.
void TestFrameReader::fullBufferWaitsForTheReader()
{
    const QByteArray one = captured(0, QByteArray(1000, 'a'));
    QByteArray stream;
    for (int i = 0; i < 300; ++i)
        stream += one;
    FrameReader r(64 * 1024); // raised to what the largest frame needs
    const std::size_t taken = r.feed(view(stream));
    QVERIFY(taken < std::size_t(stream.size()));
    QVERIFY(taken >= frame::kHeaderSize + frame::kMaxFrameBody);
    QVERIFY(r.room().empty());
    FrameReader::Next last;
    const qsizetype first = drain(r, last).size();
    QCOMPARE(first, qsizetype(taken / std::size_t(one.size())));
    QVERIFY(!r.room().empty());
    qsizetype total = first;
    for (std::size_t at = taken; at < std::size_t(stream.size());) {
        const std::size_t n = r.feed(view(stream.mid(qsizetype(at))));
        QVERIFY(n > 0);
        at += n;
        total += drain(r, last).size();
    }
    QCOMPARE(total, 300);
    QCOMPARE(r.end(), FrameReader::End::Clean);
}

QTEST_APPLESS_MAIN(TestFrameReader)
#include "test_frame_reader.moc"
