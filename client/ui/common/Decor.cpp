#include "ui/common/Decor.h"

#include "l10n/MTheme.h"
#include "ui/common/Style.h"

#include <QEvent>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

static QFont badgeFont(int height)
{
    return Style::font(qRound(height * 0.62), QFont::DemiBold);
}

qreal badgeWidth(const QString &text, int height)
{
    return qMax<qreal>(height, QFontMetricsF(badgeFont(height)).horizontalAdvance(text) + height * 0.6);
}

QRectF paintBadge(QPainter &p, const QPointF &centre, const QString &text, const QColor &fill, int height)
{
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    const QFont f = badgeFont(height);
    const qreal width = badgeWidth(text, height);
    const QRectF pill(centre.x() - width / 2, centre.y() - height / 2.0, width, height);
    p.setPen(Qt::NoPen);
    p.setBrush(fill);
    p.drawRoundedRect(pill, height / 2.0, height / 2.0);
    p.setFont(f);
    p.setPen(Qt::white);
    p.drawText(pill, Qt::AlignCenter, text);
    p.restore();
    return pill;
}

Backdrop::Backdrop(QWidget *parent) : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void Backdrop::paintAmbient(QPainter &p, const QRectF &r)
{
    const bool dark = MTheme::isDark();
    p.fillRect(r, MTheme::bg.resolved(dark));
    auto glow = [&](QPointF centre, qreal radius, QColor tint, qreal alpha) {
        QRadialGradient g(centre, radius);
        tint.setAlphaF(alpha);
        g.setColorAt(0, tint);
        tint.setAlphaF(alpha * 0.45);
        g.setColorAt(0.45, tint);
        tint.setAlphaF(0);
        g.setColorAt(1, tint);
        p.fillRect(r, g);
    };
    const qreal span = qMax(r.width(), r.height());
    glow(QPointF(r.left() + r.width() * 0.18, r.top() + r.height() * 0.12), span * 0.62, MTheme::ambientCool,
         dark ? 0.30 : 0.26);
    glow(QPointF(r.right() - r.width() * 0.12, r.bottom() - r.height() * 0.10), span * 0.55, MTheme::ambientWarm,
         dark ? 0.20 : 0.24);
}

void Backdrop::paintEvent(QPaintEvent *)
{
    const bool dark = MTheme::isDark();
    // Half resolution is plenty for soft glows; the noise breaks up 8-bit banding.
    const QSize size = (this->size() / 2).expandedTo(QSize(1, 1));
    if (m_cache.size() != size || m_cacheDark != dark) {
        m_cache = QImage(size, QImage::Format_RGB32);
        {
            QPainter cp(&m_cache);
            paintAmbient(cp, QRectF(QPointF(0, 0), QSizeF(size)));
        }
        quint32 state = 0x9E3779B9u;
        for (int y = 0; y < size.height(); ++y) {
            auto *line = reinterpret_cast<QRgb *>(m_cache.scanLine(y));
            for (int x = 0; x < size.width(); ++x) {
                state = state * 1664525u + 1013904223u;
                const int n = int((state >> 24) % 5) - 2;
                const QRgb c = line[x];
                line[x] = qRgb(qBound(0, qRed(c) + n, 255), qBound(0, qGreen(c) + n, 255), qBound(0, qBlue(c) + n, 255));
            }
        }
        m_cacheDark = dark;
    }
    QPainter p(this);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.drawImage(rect(), m_cache);
}

GlassCard::GlassCard(int radius, QWidget *parent) : QWidget(parent), m_radius(radius) {}

void GlassCard::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const bool dark = MTheme::isDark();
    QColor fill = MTheme::surface.resolved(dark);
    fill.setAlphaF(dark ? 0.82f : 0.80f);
    QColor edge = MTheme::line.resolved(dark);
    edge.setAlphaF(dark ? 0.9f : 0.8f);
    const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    p.setBrush(fill);
    p.setPen(QPen(edge, 1));
    p.drawRoundedRect(box, m_radius, m_radius);
}

Spinner::Spinner(QWidget *parent, QColor color) : QWidget(parent), m_color(color)
{
    setFixedSize(sizeHint());
    m_timer.setInterval(16);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        m_angle = (m_angle + 12) % 360;
        update();
    });
}

void Spinner::setColor(QColor color)
{
    m_color = color;
    update();
}

void Spinner::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF box = QRectF(rect()).adjusted(2, 2, -2, -2);
    QColor track = m_color;
    track.setAlphaF(0.25f);
    p.setPen(QPen(track, 2.2));
    p.drawEllipse(box);
    p.setPen(QPen(m_color, 2.2, Qt::SolidLine, Qt::RoundCap));
    p.drawArc(box, -m_angle * 16, 100 * 16);
}

void Spinner::showEvent(QShowEvent *event)
{
    m_timer.start();
    QWidget::showEvent(event);
}

void Spinner::hideEvent(QHideEvent *event)
{
    m_timer.stop();
    QWidget::hideEvent(event);
}

Toast::Toast(QWidget *parent) : QWidget(parent)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    hide();
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        hide();
        emit dismissed();
    });
    parent->installEventFilter(this);
}

void Toast::showText(const QString &text)
{
    m_text = text;
    place();
    show();
    raise();
    update();
    m_timer.start(kShownMs);
}

void Toast::place()
{
    const QFont f = Style::font(13, QFont::Medium);
    const QFontMetrics fm(f);
    const int maxWidth = qMax(120, parentWidget()->width() - 80);
    const QRect textRect = fm.boundingRect(QRect(0, 0, maxWidth - 36, 200), Qt::TextWordWrap, m_text);
    const QSize size(textRect.width() + 36, textRect.height() + 20);
    setFixedSize(size);
    move((parentWidget()->width() - size.width()) / 2, parentWidget()->height() - size.height() - 28);
}

bool Toast::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == parentWidget() && event->type() == QEvent::Resize && isVisible())
        place();
    return QWidget::eventFilter(watched, event);
}

void Toast::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const bool dark = MTheme::isDark();
    QColor fill = dark ? QColor(0xEA, 0xEA, 0xF0) : QColor(0x1A, 0x1A, 0x1E);
    fill.setAlphaF(0.92f);
    p.setPen(Qt::NoPen);
    p.setBrush(fill);
    const qreal radius = qMin(height() / 2.0, 18.0);
    p.drawRoundedRect(QRectF(rect()), radius, radius);
    p.setPen(dark ? QColor(0x1A, 0x1A, 0x1E) : Qt::white);
    p.setFont(Style::font(13, QFont::Medium));
    p.drawText(rect().adjusted(18, 10, -18, -10), Qt::AlignCenter | Qt::TextWordWrap, m_text);
}
