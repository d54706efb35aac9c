#include "ui/chat/ChatPaneHost.h"

#include "base/Json.h"
#include "im/Records.h"
#include "l10n/LangStore.h"
#include "l10n/MTheme.h"
#include "ui/common/AvatarView.h"
#include "ui/common/Icons.h"
#include "ui/common/Style.h"
#include "ui/root/RootTexts.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

class ChatPaneHost::EmptyPane : public QWidget {
public:
    explicit EmptyPane(QWidget *parent) : QWidget(parent)
    {
        connect(&LangStore::shared(), &LangStore::langChanged, this, [this] { update(); });
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        const bool dark = MTheme::isDark();
        p.fillRect(rect(), MTheme::bg.resolved(dark));
        QColor soft = MTheme::inkSoft.resolved(dark);
        QColor faint = soft;
        faint.setAlphaF(0.55f);
        const QRectF icon(width() / 2.0 - 32, height() / 2.0 - 52, 64, 64);
        Icons::paint(p, icon, Icons::Glyph::chatsOutline, faint);
        p.setPen(soft);
        p.setFont(Style::font(14));
        p.drawText(QRectF(24, icon.bottom() + 14, width() - 48, 40), Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap,
                   RootTexts::emptyPane());
    }
};

namespace {

class ChatHeader : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        const bool dark = MTheme::isDark();
        p.fillRect(rect(), MTheme::surface.resolved(dark));
        p.fillRect(QRect(0, height() - 1, width(), 1), MTheme::line.resolved(dark));
    }
};

class ChatBody : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        p.fillRect(rect(), MTheme::bg.color());
    }
};

} // namespace

ChatPaneHost::ChatPaneHost(QWidget *parent) : QStackedWidget(parent)
{
    m_empty = new EmptyPane(this);
    addWidget(m_empty);

    m_chat = new QWidget(this);
    auto *column = new QVBoxLayout(m_chat);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    auto *header = new ChatHeader(m_chat);
    header->setFixedHeight(64);
    auto *row = new QHBoxLayout(header);
    row->setContentsMargins(20, 0, 20, 0);
    row->setSpacing(12);
    m_avatar = new AvatarView(QString(), QString(), 36, header);
    m_title = new QLabel(header);
    m_title->setFont(Style::font(16, QFont::DemiBold));
    row->addWidget(m_avatar);
    row->addWidget(m_title, 1);
    column->addWidget(header);
    m_body = new ChatBody(m_chat);
    column->addWidget(m_body, 1);
    addWidget(m_chat);
    setCurrentIndex(0);
}

QString ChatPaneHost::title() const
{
    return showsEmptyState() ? QString() : m_title->text();
}

QString ChatPaneHost::emptyText() const
{
    return RootTexts::emptyPane();
}

void ChatPaneHost::setConversation(const std::optional<QJsonObject> &conversation)
{
    const QString key = conversation ? Records::convKey(*conversation) : QString();
    if (conversation) {
        const QString name = Records::showName(*conversation);
        m_title->setText(name);
        m_avatar->setAvatar(name, Json::str(*conversation, QLatin1String("faceURL")));
        setCurrentIndex(1);
    } else {
        setCurrentIndex(0);
    }
    if (key != m_key) {
        m_key = key;
        emit conversationChanged(key);
    }
}
