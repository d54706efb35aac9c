#pragma once

#include <QImage>
#include <QPainter>
#include <QTimer>
#include <QWidget>

// A pill with a count: white semibold text on `fill`; `centre` is where the pill sits.
// Returns the pill's rectangle.
qreal badgeWidth(const QString &text, int height = 18);
QRectF paintBadge(QPainter &painter, const QPointF &centre, const QString &text, const QColor &fill, int height = 18);

// The ambient backdrop behind the sign-in screen: soft glows of the two ambient tints over bg.
class Backdrop : public QWidget {
    Q_OBJECT

public:
    explicit Backdrop(QWidget *parent = nullptr);

    static void paintAmbient(QPainter &painter, const QRectF &rect);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    // The glows rendered once per size and appearance, dithered so they show no bands.
    QImage m_cache;
    bool m_cacheDark = false;
};

// The glass card: a translucent surface in a rounded rectangle with a hairline edge.
class GlassCard : public QWidget {
    Q_OBJECT

public:
    explicit GlassCard(int radius = 18, QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    int m_radius;
};

// A small turning arc, shown in place of a button's title while it works.
class Spinner : public QWidget {
    Q_OBJECT

public:
    explicit Spinner(QWidget *parent = nullptr, QColor color = Qt::white);
    void setColor(QColor color);
    QSize sizeHint() const override { return {18, 18}; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    QColor m_color;
    QTimer m_timer;
    int m_angle = 0;
};

// A transient message in a pill at the bottom of its parent; hides itself after a while.
class Toast : public QWidget {
    Q_OBJECT

public:
    static constexpr int kShownMs = 2200;

    explicit Toast(QWidget *parent);
    void showText(const QString &text);
    QString text() const { return m_text; }

signals:
    void dismissed();

protected:
    void paintEvent(QPaintEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void place();

    QString m_text;
    QTimer m_timer;
};
