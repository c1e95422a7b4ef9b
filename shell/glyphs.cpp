#include "shell/glyphs.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace quorrel {
namespace {

QPixmap canvas(int size)
{
    QPixmap p(size, size);
    p.fill(Qt::transparent);
    return p;
}

} // namespace

QIcon TreeIcon(int index)
{
    if (index < 0 || index > 7)
        return {};
    // Roots a folder, each type a coloured tile with its number.
    static const QColor colours[8] = {QColor(0xE0, 0xA8, 0x30), QColor(0x3A, 0x7B, 0xD5), QColor(0xD0, 0x45, 0x7A),
                                      QColor(0x8E, 0x44, 0xAD), QColor(0x27, 0xAE, 0x60), QColor(0x7F, 0x8C, 0x8D),
                                      QColor(0xE6, 0x7E, 0x22), QColor(0x16, 0xA0, 0x85)};
    QPixmap p = canvas(16);
    QPainter g(&p);
    g.setRenderHint(QPainter::Antialiasing);
    if (index == 0) {
        g.setBrush(colours[0]);
        g.setPen(colours[0].darker(140));
        g.drawRect(QRectF(1.5, 4.5, 13, 9));
        g.drawRect(QRectF(1.5, 2.5, 6, 3));
    } else {
        g.setBrush(colours[index]);
        g.setPen(Qt::NoPen);
        g.drawRoundedRect(QRectF(1, 1, 14, 14), 3, 3);
        g.setPen(Qt::white);
        QFont f = g.font();
        f.setPixelSize(11);
        f.setBold(true);
        g.setFont(f);
        g.drawText(QRectF(0, 0, 16, 16), Qt::AlignCenter, QString::number(index));
    }
    return QIcon(p);
}

QIcon TaskIcon(int state)
{
    if (state < 0 || state > 4)
        return {};
    // Waiting grey, running blue, (unused) yellow, failed red, done green.
    static const QColor colours[5] = {QColor(0x95, 0xA5, 0xA6), QColor(0x34, 0x98, 0xDB), QColor(0xF1, 0xC4, 0x0F),
                                      QColor(0xC0, 0x39, 0x2B), QColor(0x27, 0xAE, 0x60)};
    QPixmap p = canvas(16);
    QPainter g(&p);
    g.setRenderHint(QPainter::Antialiasing);
    g.setBrush(colours[state]);
    g.setPen(colours[state].darker(130));
    g.drawEllipse(QRectF(2.5, 2.5, 11, 11));
    return QIcon(p);
}

QIcon ToolbarGlyph(Glyph glyph)
{
    QPixmap p = canvas(24);
    QPainter g(&p);
    g.setRenderHint(QPainter::Antialiasing);
    const QColor ink(0x2C, 0x3E, 0x50);
    g.setPen(QPen(ink, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    switch (glyph) {
    case Glyph::Start: {
        QPainterPath path;
        path.moveTo(7, 4);
        path.lineTo(19, 12);
        path.lineTo(7, 20);
        path.closeSubpath();
        g.fillPath(path, QColor(0x27, 0xAE, 0x60));
        break;
    }
    case Glyph::Pause:
        g.fillRect(QRectF(6, 5, 4, 14), QColor(0xE6, 0x7E, 0x22));
        g.fillRect(QRectF(14, 5, 4, 14), QColor(0xE6, 0x7E, 0x22));
        break;
    case Glyph::Stop:
        g.fillRect(QRectF(6, 6, 12, 12), QColor(0xC0, 0x39, 0x2B));
        break;
    case Glyph::Clear:
    case Glyph::ClearNode:
        g.drawLine(QPointF(16, 4), QPointF(9, 14));
        g.setBrush(QColor(0xF1, 0xC4, 0x0F));
        g.drawPolygon(QPolygonF({QPointF(5, 13), QPointF(13, 13), QPointF(15, 20), QPointF(3, 20)}));
        break;
    case Glyph::Download:
        g.setPen(QPen(QColor(0x3A, 0x7B, 0xD5), 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        g.drawLine(QPointF(12, 3), QPointF(12, 15));
        g.drawPolyline(QPolygonF({QPointF(7, 10), QPointF(12, 15), QPointF(17, 10)}));
        g.drawLine(QPointF(5, 20), QPointF(19, 20));
        break;
    case Glyph::Settings:
        g.setBrush(QColor(0x7F, 0x8C, 0x8D));
        for (int i = 0; i < 8; ++i) {
            g.save();
            g.translate(12, 12);
            g.rotate(45.0 * i);
            g.drawRect(QRectF(-1.5, -10, 3, 4));
            g.restore();
        }
        g.drawEllipse(QPointF(12, 12), 6, 6);
        g.setBrush(Qt::white);
        g.drawEllipse(QPointF(12, 12), 2.5, 2.5);
        break;
    case Glyph::Exit:
        g.drawRect(QRectF(4, 4, 10, 16));
        g.drawLine(QPointF(10, 12), QPointF(21, 12));
        g.drawPolyline(QPolygonF({QPointF(17, 8), QPointF(21, 12), QPointF(17, 16)}));
        break;
    case Glyph::Close:
    case Glyph::Delete:
        g.setPen(QPen(QColor(0xC0, 0x39, 0x2B), 2.5, Qt::SolidLine, Qt::RoundCap));
        g.drawLine(QPointF(6, 6), QPointF(18, 18));
        g.drawLine(QPointF(18, 6), QPointF(6, 18));
        break;
    case Glyph::Folder:
        g.setBrush(QColor(0xE0, 0xA8, 0x30));
        g.drawRect(QRectF(3, 8, 18, 12));
        g.drawRect(QRectF(3, 5, 8, 4));
        break;
    case Glyph::Preview:
        g.drawEllipse(QPointF(10, 10), 6, 6);
        g.drawLine(QPointF(15, 15), QPointF(21, 21));
        break;
    }
    return QIcon(p);
}

} // namespace quorrel
