#include "ui/root/NavRail.h"

#include "base/ImageCache.h"
#include "base/Json.h"
#include "base/MediaUrl.h"
#include "im/IMService.h"
#include "l10n/Inline.h"
#include "l10n/LangStore.h"
#include "l10n/MTheme.h"
#include "ui/common/AvatarView.h"
#include "ui/common/Decor.h"
#include "ui/common/Icons.h"
#include "ui/common/Style.h"
#include "ui/root/RootTexts.h"
#include "ui/root/RootViewModel.h"

#include <QHelpEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>

namespace {

constexpr MacTab kTabs[] = {MacTab::chats, MacTab::contacts, MacTab::moments, MacTab::me};
constexpr int kButton = 48;
constexpr int kFirstTabTop = 92;
constexpr int kTabGap = 10;
constexpr int kAvatar = 38;

Icons::Glyph glyphOf(MacTab tab)
{
    switch (tab) {
    case MacTab::chats: return Icons::Glyph::chats;
    case MacTab::contacts: return Icons::Glyph::contacts;
    case MacTab::moments: return Icons::Glyph::moments;
    case MacTab::me: return Icons::Glyph::me;
    }
    return Icons::Glyph::chats;
}

QString selfName(const QJsonObject &self)
{
    const QString nick = Json::str(self, QLatin1String("nickname"));
    return nick.isEmpty() ? Json::str(self, QLatin1String("userID")) : nick;
}

} // namespace

NavRail::NavRail(RootViewModel &root, QWidget *parent) : QWidget(parent), m_root(root)
{
    setFixedWidth(kWidth);
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
    auto repaint = [this] { update(); };
    connect(&m_root, &RootViewModel::tabChanged, this, repaint);
    connect(&m_root, &RootViewModel::conversationsChanged, this, repaint);
    connect(&m_root, &RootViewModel::connColorChanged, this, repaint);
    connect(&m_root, &RootViewModel::selfInfoChanged, this, [this] {
        m_faceUrl = MediaUrl::imageUrl(Json::str(m_root.selfInfo(), QLatin1String("faceURL")));
        update();
    });
    connect(&ImageCache::shared(), &ImageCache::loaded, this, &NavRail::onImage);
    connect(&LangStore::shared(), &LangStore::langChanged, this, repaint);
}

QString NavRail::tabName(MacTab tab)
{
    switch (tab) {
    case MacTab::chats: return RootTexts::chatsCommand();
    case MacTab::contacts: return RootTexts::contactsCommand();
    case MacTab::moments: return RootTexts::momentsCommand();
    case MacTab::me: return RootTexts::meCommand();
    }
    return {};
}

QRect NavRail::tabRect(MacTab tab) const
{
    const int i = int(tab);
    return QRect((kWidth - kButton) / 2, kFirstTabTop + i * (kButton + kTabGap), kButton, kButton);
}

QRect NavRail::dotRect() const
{
    return QRect((kWidth - 10) / 2, height() - 30, 10, 10);
}

QString NavRail::connectionText() const
{
    switch (m_root.connColor()) {
    case RootViewModel::ConnColor::green: return L10n::pick("已连接", "已連線", "Connected");
    case RootViewModel::ConnColor::orange: return L10n::pick("连接中…", "連線中…", "Connecting…");
    case RootViewModel::ConnColor::red: return L10n::pick("连接已断开", "連線已中斷", "Disconnected");
    case RootViewModel::ConnColor::soft: break;
    }
    return L10n::pick("未连接", "未連線", "Offline");
}

int NavRail::tabAt(const QPoint &pos) const
{
    for (MacTab tab : kTabs)
        if (tabRect(tab).contains(pos))
            return int(tab);
    return -1;
}

void NavRail::onImage(const QUrl &url)
{
    if (url == m_faceUrl)
        update();
}

void NavRail::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const bool dark = MTheme::isDark();
    p.fillRect(rect(), MTheme::surface.resolved(dark));
    p.fillRect(QRect(width() - 1, 0, 1, height()), MTheme::line.resolved(dark));

    const QRectF avatar((kWidth - kAvatar) / 2.0, 28, kAvatar, kAvatar);
    const QImage face = ImageCache::shared().imageOrRequest(m_faceUrl);
    AvatarView::paint(p, avatar, selfName(m_root.selfInfo()), face);

    for (MacTab tab : kTabs) {
        const QRectF box = tabRect(tab);
        const bool selected = m_root.tab() == tab;
        if (selected || m_hover == int(tab)) {
            p.setPen(Qt::NoPen);
            p.setBrush(selected ? MTheme::brandLight.resolved(dark) : Style::hover.resolved(dark));
            p.drawRoundedRect(box, 14, 14);
        }
        const QColor ink = selected ? MTheme::brand.resolved(dark) : MTheme::inkSoft.resolved(dark);
        Icons::paint(p, box.adjusted(12, 12, -12, -12), glyphOf(tab), ink);
        if (tab == MacTab::chats) {
            const QString badge = m_root.chatsBadge();
            if (!badge.isEmpty()) {
                const qreal w = badgeWidth(badge, 18);
                paintBadge(p, QPointF(qMin(box.right() + 2 - w / 2, width() - 4 - w / 2), box.top() + 7), badge,
                           MTheme::danger.resolved(dark), 18);
            }
        }
    }

    QColor dot = MTheme::inkSoft.resolved(dark);
    switch (m_root.connColor()) {
    case RootViewModel::ConnColor::orange: dot = Style::statusOrange.resolved(dark); break;
    case RootViewModel::ConnColor::green: dot = Style::statusGreen.resolved(dark); break;
    case RootViewModel::ConnColor::red: dot = MTheme::danger.resolved(dark); break;
    case RootViewModel::ConnColor::soft: break;
    }
    QColor halo = dot;
    halo.setAlphaF(0.22f);
    p.setPen(Qt::NoPen);
    p.setBrush(halo);
    p.drawEllipse(QRectF(dotRect()).adjusted(-3, -3, 3, 3));
    p.setBrush(dot);
    p.drawEllipse(dotRect());
}

void NavRail::mouseMoveEvent(QMouseEvent *event)
{
    const int hover = tabAt(event->position().toPoint());
    setCursor(hover >= 0 ? Qt::PointingHandCursor : Qt::ArrowCursor);
    if (hover != m_hover) {
        m_hover = hover;
        update();
    }
}

void NavRail::leaveEvent(QEvent *event)
{
    m_hover = -1;
    update();
    QWidget::leaveEvent(event);
}

void NavRail::mouseReleaseEvent(QMouseEvent *event)
{
    const int tab = tabAt(event->position().toPoint());
    if (event->button() == Qt::LeftButton && tab >= 0)
        m_root.setTab(MacTab(tab));
}

bool NavRail::event(QEvent *event)
{
    if (event->type() == QEvent::ToolTip) {
        auto *help = static_cast<QHelpEvent *>(event);
        const int tab = tabAt(help->pos());
        if (tab >= 0)
            QToolTip::showText(help->globalPos(), tabName(MacTab(tab)), this, tabRect(MacTab(tab)));
        else if (QRect(dotRect()).adjusted(-8, -8, 8, 8).contains(help->pos()))
            QToolTip::showText(help->globalPos(), connectionText(), this);
        else
            QToolTip::hideText();
        return true;
    }
    return QWidget::event(event);
}
