#pragma once

#include <QImage>
#include <QPixmap>
#include <QUrl>
#include <QWidget>

class QPainter;

// A person's or a group's picture in a size × size square: the image at faceURL, drawn to fill
// a circle, or while it loads (and when there is none) a brandLight circle with the name's
// first character. Images come from the shared ImageCache, so rows showing the same face
// share one download and one decoded copy.
class AvatarView : public QWidget {
    Q_OBJECT

public:
    AvatarView(const QString &name, const QString &faceURL, int size, QWidget *parent = nullptr);

    void setAvatar(const QString &name, const QString &faceURL);
    void setAvatarSize(int size);

    QString name() const { return m_name; }
    QString faceURL() const { return m_faceURL; }
    int avatarSize() const { return m_size; }
    // Whether the picture (not the placeholder) is shown.
    bool hasImage() const { return !m_image.isNull(); }

    QSize sizeHint() const override;

    // Where a face is loaded from: http upgraded to https; empty when the text is empty, does
    // not parse, or is not an https URL with a host (no local files or other schemes).
    static QUrl imageUrl(const QString &faceURL);
    // The placeholder's initial: the first user-perceived character, so an emoji, a flag or a
    // letter with combining marks stays whole; empty for an empty name.
    static QString initial(const QString &name);
    // Paints an avatar into `rect` with `image` when it is not null, otherwise the placeholder.
    // Shared with item delegates that draw avatars in list rows.
    static void paint(QPainter &painter, const QRectF &rect, const QString &name, const QImage &image);

protected:
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void onLoaded(const QUrl &url, const QImage &image);
    void setImage(const QImage &image);

    QString m_name;
    QString m_faceURL;
    int m_size;
    QUrl m_url;
    QImage m_image;
    // m_image cropped and scaled for the current size and pixel ratio, made once per change.
    QPixmap m_scaled;
};
