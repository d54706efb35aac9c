#include "ui/common/AvatarView.h"

#include "base/ImageCache.h"
#include "base/MediaUrl.h"
#include "l10n/MTheme.h"

#include <QEvent>
#include <QPainter>
#include <QPainterPath>
#include <QTextBoundaryFinder>

namespace {

constexpr qreal kInitialScale = 0.42;

// The centred square of `image`, which is what "fill" shows of a non-square picture.
QRect centredSquare(const QSize &size)
{
    const int side = qMin(size.width(), size.height());
    return QRect((size.width() - side) / 2, (size.height() - side) / 2, side, side);
}

} // namespace

AvatarView::AvatarView(const QString &name, const QString &faceURL, int size, QWidget *parent)
    : QWidget(parent), m_size(qMax(0, size))
{
    setFixedSize(m_size, m_size);
    connect(&ImageCache::shared(), &ImageCache::loaded, this, &AvatarView::onLoaded);
    setAvatar(name, faceURL);
}

void AvatarView::setAvatar(const QString &name, const QString &faceURL)
{
    m_name = name;
    m_faceURL = faceURL;
    m_url = imageUrl(faceURL);
    setImage(ImageCache::shared().imageOrRequest(m_url));
    update();
}

void AvatarView::setAvatarSize(int size)
{
    m_size = qMax(0, size);
    setFixedSize(m_size, m_size);
    m_scaled = QPixmap();
    update();
}

QSize AvatarView::sizeHint() const
{
    return QSize(m_size, m_size);
}

QUrl AvatarView::imageUrl(const QString &faceURL)
{
    return MediaUrl::imageUrl(faceURL);
}

QString AvatarView::initial(const QString &name)
{
    QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, name);
    const qsizetype end = graphemes.toNextBoundary();
    return end > 0 ? name.left(end) : QString();
}

void AvatarView::paint(QPainter &painter, const QRectF &rect, const QString &name, const QImage &image)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    QPainterPath circle;
    circle.addEllipse(rect);

    if (!image.isNull()) {
        painter.setClipPath(circle);
        painter.drawImage(rect, image, centredSquare(image.size()));
    } else {
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(MTheme::brandLight));
        painter.drawPath(circle);
        const QString letter = initial(name);
        if (!letter.isEmpty()) {
            QFont font = painter.font();
            font.setWeight(QFont::DemiBold);
            font.setPixelSize(qMax(1, qRound(rect.height() * kInitialScale)));
            painter.setFont(font);
            painter.setPen(QColor(MTheme::brandDark));
            painter.drawText(rect, Qt::AlignCenter, letter);
        }
    }
    painter.restore();
}

void AvatarView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const QRectF frame(0, 0, m_size, m_size);
    if (m_image.isNull()) {
        paint(painter, frame, m_name, {});
        return;
    }
    const qreal ratio = devicePixelRatioF();
    const int side = qMax(1, qRound(m_size * ratio));
    if (m_scaled.isNull() || m_scaled.width() != side) {
        m_scaled = QPixmap::fromImage(m_image.copy(centredSquare(m_image.size()))
                                          .scaled(side, side, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
    }
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    QPainterPath circle;
    circle.addEllipse(frame);
    painter.setClipPath(circle);
    painter.drawPixmap(frame, m_scaled, QRectF(m_scaled.rect()));
}

void AvatarView::changeEvent(QEvent *event)
{
    // The placeholder is drawn from the palette at paint time; a new appearance needs a repaint.
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::ApplicationPaletteChange)
        update();
    QWidget::changeEvent(event);
}

void AvatarView::onLoaded(const QUrl &url, const QImage &image)
{
    if (url != m_url || m_url.isEmpty())
        return;
    setImage(image);
    update();
}

void AvatarView::setImage(const QImage &image)
{
    m_image = image;
    m_scaled = QPixmap();
}
