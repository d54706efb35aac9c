#include "ui/common/Icons.h"

#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QtMath>
#include <functional>

namespace Icons {

namespace {

// Glyphs are designed on a 24 × 24 grid.
constexpr qreal kGrid = 24.0;

QPainterPath bubble(QRectF box, bool tailLeft)
{
    QPainterPath path;
    path.addRoundedRect(box, box.height() * 0.45, box.height() * 0.45);
    QPainterPath tail;
    if (tailLeft) {
        const QPointF base(box.left() + box.width() * 0.22, box.bottom() - 1);
        tail.moveTo(base);
        tail.lineTo(box.left() - 0.5, box.bottom() + 2.6);
        tail.lineTo(base.x() + 4.5, box.bottom() - 0.5);
    } else {
        const QPointF base(box.right() - box.width() * 0.22, box.bottom() - 1);
        tail.moveTo(base);
        tail.lineTo(box.right() + 0.5, box.bottom() + 2.6);
        tail.lineTo(base.x() - 4.5, box.bottom() - 0.5);
    }
    tail.closeSubpath();
    return path.united(tail);
}

QPainterPath person(QPointF head, qreal headR, QRectF shoulders)
{
    QPainterPath path;
    path.addEllipse(head, headR, headR);
    QPainterPath body;
    body.moveTo(shoulders.left(), shoulders.bottom());
    body.cubicTo(shoulders.left(), shoulders.top(), shoulders.right(), shoulders.top(), shoulders.right(),
                 shoulders.bottom());
    body.closeSubpath();
    return path.united(body);
}

void fill(QPainter &p, const QPainterPath &path, const QColor &color)
{
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawPath(path);
}

void stroke(QPainter &p, const QPainterPath &path, const QColor &color, qreal width = 2.0)
{
    p.setPen(QPen(color, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPath(path);
}

void paintGrid(QPainter &p, Glyph glyph, const QColor &c)
{
    switch (glyph) {
    case Glyph::chats: {
        const QPainterPath back = bubble(QRectF(8.5, 3.5, 13, 10), false);
        const QPainterPath front = bubble(QRectF(2.5, 8.5, 14, 10.5), true);
        // A gap around the front bubble keeps the two apart.
        QPainterPathStroker gap;
        gap.setWidth(3.0);
        fill(p, back.subtracted(front.united(gap.createStroke(front))), c);
        fill(p, front, c);
        break;
    }
    case Glyph::chatsOutline: {
        const QPainterPath back = bubble(QRectF(8.5, 3.5, 13, 10), false);
        const QPainterPath front = bubble(QRectF(2.5, 8.5, 14, 10.5), true);
        p.save();
        QPainterPath clip;
        clip.addRect(0, 0, kGrid, kGrid);
        QPainterPathStroker gap;
        gap.setWidth(3.0);
        p.setClipPath(clip.subtracted(front.united(gap.createStroke(front))));
        stroke(p, back, c, 1.4);
        p.restore();
        stroke(p, front, c, 1.4);
        break;
    }
    case Glyph::contacts: {
        const QPainterPath back = person(QPointF(16, 7.5), 3.2, QRectF(10.5, 12.5, 11.5, 7.5));
        const QPainterPath front = person(QPointF(9, 8.5), 3.7, QRectF(2, 14, 14, 7.5));
        QPainterPathStroker gap;
        gap.setWidth(3.0);
        fill(p, back.subtracted(front.united(gap.createStroke(front))), c);
        fill(p, front, c);
        break;
    }
    case Glyph::moments: {
        QPainterPath dots;
        for (qreal x : {7.5, 16.5})
            for (qreal y : {7.5, 16.5})
                dots.addEllipse(QPointF(x, y), 3.6, 3.6);
        fill(p, dots, c);
        break;
    }
    case Glyph::me: {
        // The person is punched out of the disc with a clip, which keeps curves exact.
        QPainterPath outside;
        outside.setFillRule(Qt::OddEvenFill);
        outside.addRect(QRectF(-1, -1, kGrid + 2, kGrid + 2));
        outside.addEllipse(QPointF(12, 9.4), 3.6, 3.6);
        QPainterPath shoulders;
        shoulders.moveTo(4.6, 24);
        shoulders.cubicTo(4.6, 14.2, 19.4, 14.2, 19.4, 24);
        shoulders.closeSubpath();
        outside.addPath(shoulders);
        p.save();
        p.setClipPath(outside);
        QPainterPath circle;
        circle.addEllipse(QPointF(12, 12), 9.8, 9.8);
        fill(p, circle, c);
        p.restore();
        break;
    }
    case Glyph::refresh: {
        // Clockwise from one o'clock round to eleven, the head pointing on into the gap.
        const QRectF box(4.5, 4.5, 15, 15);
        QPainterPath arc;
        arc.arcMoveTo(box, 55);
        arc.arcTo(box, 55, -290);
        stroke(p, arc, c);
        const qreal end = qDegreesToRadians(125.0);
        const QPointF tip(12 + 7.5 * qCos(end), 12 - 7.5 * qSin(end));
        const QPointF dir(qSin(end), qCos(end));
        auto wing = [&](qreal degrees) {
            const qreal a = qDegreesToRadians(degrees);
            const QPointF back(-dir.x(), -dir.y());
            return tip + 4.2 * QPointF(back.x() * qCos(a) - back.y() * qSin(a), back.x() * qSin(a) + back.y() * qCos(a));
        };
        QPainterPath head;
        head.moveTo(wing(42));
        head.lineTo(tip + 0.8 * dir);
        head.lineTo(wing(-42));
        stroke(p, head, c);
        break;
    }
    case Glyph::compose: {
        QPainterPath box;
        box.moveTo(12, 4.5);
        box.lineTo(7, 4.5);
        box.quadTo(4, 4.5, 4, 7.5);
        box.lineTo(4, 17);
        box.quadTo(4, 20, 7, 20);
        box.lineTo(16.5, 20);
        box.quadTo(19.5, 20, 19.5, 17);
        box.lineTo(19.5, 12);
        stroke(p, box, c, 1.9);
        QPainterPath pencil;
        pencil.moveTo(10, 14);
        pencil.lineTo(10.6, 11.4);
        pencil.lineTo(18.4, 3.6);
        pencil.quadTo(19.6, 2.6, 20.6, 3.6);
        pencil.quadTo(21.6, 4.6, 20.6, 5.8);
        pencil.lineTo(12.8, 13.6);
        pencil.closeSubpath();
        fill(p, pencil, c);
        break;
    }
    case Glyph::search: {
        QPainterPath lens;
        lens.addEllipse(QPointF(10.5, 10.5), 6.2, 6.2);
        stroke(p, lens, c, 2.0);
        QPainterPath handle;
        handle.moveTo(15.2, 15.2);
        handle.lineTo(20, 20);
        stroke(p, handle, c, 2.4);
        break;
    }
    case Glyph::clear: {
        QPainterPath circle;
        circle.addEllipse(QPointF(12, 12), 9, 9);
        QPainterPath cross;
        cross.moveTo(8.6, 8.6);
        cross.lineTo(15.4, 15.4);
        cross.moveTo(15.4, 8.6);
        cross.lineTo(8.6, 15.4);
        QPainterPathStroker s;
        s.setWidth(2.0);
        s.setCapStyle(Qt::RoundCap);
        fill(p, circle.subtracted(s.createStroke(cross)), c);
        break;
    }
    case Glyph::pin: {
        p.save();
        p.translate(12, 12);
        p.rotate(40);
        QPainterPath head;
        head.addRoundedRect(QRectF(-4, -10, 8, 3), 1.2, 1.2);
        QPainterPath body;
        body.moveTo(-2.8, -7.5);
        body.lineTo(2.8, -7.5);
        body.lineTo(3.4, -1.5);
        body.lineTo(6, 1.5);
        body.lineTo(-6, 1.5);
        body.lineTo(-3.4, -1.5);
        body.closeSubpath();
        fill(p, head.united(body), c);
        QPainterPath needle;
        needle.moveTo(0, 1.5);
        needle.lineTo(0, 9.5);
        stroke(p, needle, c, 1.8);
        p.restore();
        break;
    }
    case Glyph::bellSlash: {
        QPainterPath bell;
        bell.moveTo(12, 3.5);
        bell.cubicTo(8, 3.5, 6.2, 6.5, 6.2, 10);
        bell.lineTo(6.2, 14);
        bell.lineTo(4.2, 17);
        bell.lineTo(19.8, 17);
        bell.lineTo(17.8, 14);
        bell.lineTo(17.8, 10);
        bell.cubicTo(17.8, 6.5, 16, 3.5, 12, 3.5);
        bell.closeSubpath();
        bell.addEllipse(QPointF(12, 19.2), 2.2, 2.2);
        QPainterPath slash;
        slash.moveTo(4, 3.5);
        slash.lineTo(20, 20.5);
        QPainterPathStroker gap;
        gap.setWidth(4.6);
        gap.setCapStyle(Qt::RoundCap);
        fill(p, bell.subtracted(gap.createStroke(slash)), c);
        stroke(p, slash, c, 1.9);
        break;
    }
    case Glyph::more: {
        QPainterPath dots;
        for (qreal x : {5.5, 12.0, 18.5})
            dots.addEllipse(QPointF(x, 12), 1.9, 1.9);
        fill(p, dots, c);
        break;
    }
    case Glyph::message: {
        fill(p, bubble(QRectF(3, 4.5, 18, 13.5), true), c);
        break;
    }
    case Glyph::app: {
        const QPainterPath b = bubble(QRectF(4, 5, 16, 12.5), true);
        fill(p, b, c);
        break;
    }
    }
}

class GlyphEngine : public QIconEngine {
public:
    GlyphEngine(Glyph glyph, std::function<QColor()> color) : m_glyph(glyph), m_color(std::move(color)) {}

    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State) override
    {
        QColor c = m_color();
        if (mode == QIcon::Disabled)
            c.setAlphaF(c.alphaF() * 0.4f);
        Icons::paint(*painter, rect, m_glyph, c);
    }
    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        return scaledPixmap(size, mode, state, 1.0);
    }
    QPixmap scaledPixmap(const QSize &size, QIcon::Mode mode, QIcon::State state, qreal scale) override
    {
        QPixmap pm(size * scale);
        pm.setDevicePixelRatio(scale);
        pm.fill(Qt::transparent);
        QPainter painter(&pm);
        paint(&painter, QRect(QPoint(0, 0), size), mode, state);
        return pm;
    }
    QIconEngine *clone() const override { return new GlyphEngine(m_glyph, m_color); }
    QString key() const override { return QStringLiteral("SarvoGlyph"); }

private:
    Glyph m_glyph;
    std::function<QColor()> m_color;
};

} // namespace

void paint(QPainter &painter, const QRectF &rect, Glyph glyph, const QColor &color)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal side = qMin(rect.width(), rect.height());
    painter.translate(rect.center().x() - side / 2, rect.center().y() - side / 2);
    painter.scale(side / kGrid, side / kGrid);
    paintGrid(painter, glyph, color);
    painter.restore();
}

QIcon icon(Glyph glyph, const ThemeColor &color)
{
    return QIcon(new GlyphEngine(glyph, [color] { return color.color(); }));
}

QIcon icon(Glyph glyph, const QColor &color)
{
    return QIcon(new GlyphEngine(glyph, [color] { return color; }));
}

QIcon appIcon()
{
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256}) {
        QPixmap pm(size, size);
        pm.fill(Qt::transparent);
        QPainter p(&pm);
        p.setRenderHint(QPainter::Antialiasing);
        QLinearGradient gradient(0, 0, 0, size);
        gradient.setColorAt(0, MTheme::bubbleMineTop.light());
        gradient.setColorAt(1, MTheme::bubbleMineBottom.light());
        p.setPen(Qt::NoPen);
        p.setBrush(gradient);
        p.drawRoundedRect(QRectF(0, 0, size, size), size * 0.23, size * 0.23);
        const qreal inset = size * 0.18;
        paint(p, QRectF(inset, inset, size - 2 * inset, size - 2 * inset), Glyph::app, Qt::white);
        icon.addPixmap(pm);
    }
    return icon;
}

} // namespace Icons
