#pragma once
// Capture files made by the tests: raw IPv4 datagrams, each a TCP segment with the given
// payload, as tcpdump would have written them on a machine that sent those requests.

#include <QByteArray>
#include <QDataStream>
#include <QList>

#include <tuple>

namespace quorrel::test {

// (source address, destination address, payload) per segment; addresses are 4 bytes.
inline QByteArray rawCapture(const QList<std::tuple<QByteArray, QByteArray, QByteArray>> &segments)
{
    QByteArray file;
    QDataStream s(&file, QIODevice::WriteOnly);
    s.setByteOrder(QDataStream::LittleEndian);
    s << quint32(0xA1B2C3D4) << quint16(2) << quint16(4) << qint32(0) << quint32(0) << quint32(65535) << quint32(101);
    quint32 second = 1700000000;
    for (const auto &[src, dst, payload] : segments) {
        QByteArray d;
        QDataStream b(&d, QIODevice::WriteOnly);
        b << quint8(0x45) << quint8(0) << quint16(20 + 20 + payload.size()) << quint32(0) << quint8(64) << quint8(6)
          << quint16(0);
        d += src + dst;
        QDataStream t(&d, QIODevice::Append);
        t << quint16(40000) << quint16(80) << quint32(1) << quint32(1) << quint8(5 << 4) << quint8(0x18) << quint16(502)
          << quint32(0);
        d += payload;
        s << second++ << quint32(0) << quint32(d.size()) << quint32(d.size());
        s.writeRawData(d.constData(), int(d.size()));
    }
    return file;
}

} // namespace quorrel::test
