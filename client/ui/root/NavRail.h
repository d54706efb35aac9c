#pragma once

#include <QImage>
#include <QUrl>
#include <QWidget>

class RootViewModel;
enum class MacTab;

// The narrow navigation rail: the user's avatar, the four tabs (chats with its unread badge)
// and the connection-state dot.
class NavRail : public QWidget {
    Q_OBJECT

public:
    static constexpr int kWidth = 76;

    explicit NavRail(RootViewModel &root, QWidget *parent = nullptr);

    QSize sizeHint() const override { return {kWidth, 480}; }
    // Where each tab's button is, for clicks and tests.
    QRect tabRect(MacTab tab) const;
    QRect dotRect() const;
    static QString tabName(MacTab tab);
    QString connectionText() const;

protected:
    void paintEvent(QPaintEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void leaveEvent(QEvent *event) override;
    bool event(QEvent *event) override;

private:
    int tabAt(const QPoint &pos) const;
    void onImage(const QUrl &url);

    RootViewModel &m_root;
    int m_hover = -1;
    QUrl m_faceUrl;
};
