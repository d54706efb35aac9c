#include "ui/root/MacRootView.h"

#include "app/AppState.h"
#include "base/Json.h"
#include "l10n/L10n.h"
#include "l10n/LangStore.h"
#include "l10n/MTheme.h"
#include "ui/chat/ChatPaneHost.h"
#include "ui/common/AvatarView.h"
#include "ui/common/Icons.h"
#include "ui/common/Style.h"
#include "ui/contacts/MacContactsPane.h"
#include "ui/newchat/NewChatSheet.h"
#include "ui/root/ConversationListPane.h"
#include "ui/root/NavRail.h"
#include "ui/root/RootTexts.h"
#include "ui/root/RootViewModel.h"

#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QListView>
#include <QPainter>
#include <QPushButton>
#include <QSplitter>
#include <QStackedWidget>
#include <QVBoxLayout>
#include <QVariantAnimation>

namespace {

constexpr int kTabFadeMs = 150;

// A tab whose screen comes with a later part of the client: its title over the empty page.
class PlaceholderPage : public QWidget {
public:
    PlaceholderPage(MacTab tab, QWidget *parent) : QWidget(parent), m_tab(tab)
    {
        connect(&LangStore::shared(), &LangStore::langChanged, this, [this] { update(); });
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        const bool dark = MTheme::isDark();
        p.fillRect(rect(), MTheme::bg.resolved(dark));
        p.setPen(MTheme::ink.resolved(dark));
        p.setFont(Style::font(20, QFont::Bold));
        p.drawText(QRect(22, 18, width() - 44, 32), Qt::AlignLeft | Qt::AlignVCenter, NavRail::tabName(m_tab));
        QColor faint = MTheme::inkSoft.resolved(dark);
        faint.setAlphaF(0.35f);
        Icons::paint(p, QRectF(width() / 2.0 - 36, height() / 2.0 - 36, 72, 72),
                     m_tab == MacTab::moments ? Icons::Glyph::moments : Icons::Glyph::me, faint);
    }

private:
    MacTab m_tab;
};

// The "me" tab until the settings screen arrives: who is signed in, and signing out.
class MePage : public QWidget {
public:
    MePage(RootViewModel &root, AppState &app, QWidget *parent) : QWidget(parent), m_root(root), m_app(app)
    {
        auto *layout = new QVBoxLayout(this);
        layout->setContentsMargins(22, 18, 22, 22);
        layout->setSpacing(0);
        m_title = new QLabel(this);
        m_title->setFont(Style::font(20, QFont::Bold));
        layout->addWidget(m_title);
        layout->addStretch(1);
        m_avatar = new AvatarView(QString(), QString(), 84, this);
        layout->addWidget(m_avatar, 0, Qt::AlignHCenter);
        layout->addSpacing(14);
        m_name = new QLabel(this);
        m_name->setFont(Style::font(18, QFont::DemiBold));
        m_name->setAlignment(Qt::AlignCenter);
        layout->addWidget(m_name);
        layout->addSpacing(4);
        m_id = new QLabel(this);
        m_id->setFont(Style::font(13));
        m_id->setAlignment(Qt::AlignCenter);
        m_id->setTextInteractionFlags(Qt::TextSelectableByMouse);
        layout->addWidget(m_id);
        layout->addSpacing(24);
        m_logout = new QPushButton(this);
        m_logout->setProperty("kind", "outline");
        m_logout->setMinimumWidth(180);
        m_logout->setCursor(Qt::PointingHandCursor);
        layout->addWidget(m_logout, 0, Qt::AlignHCenter);
        layout->addStretch(2);
        connect(m_logout, &QPushButton::clicked, this, [this] { m_app.logout(); });
        connect(&m_root, &RootViewModel::selfInfoChanged, this, [this] { render(); });
        connect(&m_app, &AppState::credentialsChanged, this, [this] { render(); });
        connect(&LangStore::shared(), &LangStore::langChanged, this, [this] { render(); });
        connect(&Style::themeWatcher(), &ThemeWatcher::appearanceChanged, this, [this] { render(); });
        render();
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        p.fillRect(rect(), MTheme::bg.color());
    }

private:
    void render()
    {
        const QJsonObject &self = m_root.selfInfo();
        QString name = Json::str(self, QLatin1String("nickname"));
        QString id = Json::str(self, QLatin1String("userID"));
        if (m_app.credentials()) {
            if (name.isEmpty())
                name = m_app.credentials()->nickname;
            if (id.isEmpty())
                id = m_app.credentials()->userID;
        }
        m_title->setText(RootTexts::meCommand());
        m_avatar->setAvatar(name.isEmpty() ? id : name, Json::str(self, QLatin1String("faceURL")));
        m_name->setText(name.isEmpty() ? id : name);
        m_id->setText(QStringLiteral("ID: ") + id);
        m_id->setStyleSheet(QStringLiteral("color: %1;").arg(MTheme::inkSoft.color().name()));
        m_logout->setText(L10n::t(QStringLiteral("logout")));
    }

    RootViewModel &m_root;
    AppState &m_app;
    QLabel *m_title;
    AvatarView *m_avatar;
    QLabel *m_name;
    QLabel *m_id;
    QPushButton *m_logout;
};

} // namespace

MacRootView::MacRootView(RootViewModel &root, ContactsViewModel &contacts, AppState &app, QWidget *parent)
    : QWidget(parent), m_root(root)
{
    setObjectName(QStringLiteral("root"));
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    m_rail = new NavRail(m_root, this);
    layout->addWidget(m_rail);

    m_pages = new QStackedWidget(this);
    layout->addWidget(m_pages, 1);

    auto *chats = new QSplitter(Qt::Horizontal, m_pages);
    chats->setObjectName(QStringLiteral("chatsPage"));
    chats->setHandleWidth(1);
    chats->setChildrenCollapsible(false);
    m_list = new ConversationListPane(m_root, chats);
    m_list->setMinimumWidth(260);
    m_list->setMaximumWidth(440);
    m_chat = new ChatPaneHost(chats);
    m_chat->setMinimumWidth(360);
    chats->addWidget(m_list);
    chats->addWidget(m_chat);
    chats->setStretchFactor(0, 0);
    chats->setStretchFactor(1, 1);
    chats->setSizes({320, 700});
    m_pages->addWidget(chats);

    m_contacts = new MacContactsPane(contacts, m_pages);
    m_pages->addWidget(m_contacts);
    m_pages->addWidget(new PlaceholderPage(MacTab::moments, m_pages));
    m_pages->addWidget(new MePage(m_root, app, m_pages));

    m_sheet = new NewChatSheet(this);
    connect(m_sheet, &NewChatSheet::cancelled, this, [this] { m_root.setShowNewChat(false); });
    connect(m_sheet, &NewChatSheet::picked, this, [this](const QString &userID, const QString &name, const QString &face) {
        m_root.setShowNewChat(false);
        m_root.openChat(userID, name, face);
    });
    connect(&m_root, &RootViewModel::showNewChatChanged, this, [this] {
        if (m_root.showNewChat()) {
            m_sheet->open(m_root.friends());
        } else {
            m_sheet->hide();
            if (m_root.tab() == MacTab::chats)
                m_list->listView()->setFocus();
        }
    });

    m_tabFade = new QVariantAnimation(this);
    m_tabFade->setStartValue(0.0);
    m_tabFade->setEndValue(1.0);
    m_tabFade->setDuration(kTabFadeMs);
    m_tabFade->setEasingCurve(QEasingCurve::InOutQuad);
    connect(m_tabFade, &QVariantAnimation::valueChanged, this, [this](const QVariant &v) {
        if (auto *effect = qobject_cast<QGraphicsOpacityEffect *>(currentPage()->graphicsEffect()))
            effect->setOpacity(v.toReal());
    });
    connect(m_tabFade, &QVariantAnimation::finished, this, [this] { currentPage()->setGraphicsEffect(nullptr); });

    connect(&m_root, &RootViewModel::tabChanged, this, [this] { showTab(true); });
    connect(&m_root, &RootViewModel::selectedConvIDChanged, this, &MacRootView::syncChatPane);
    connect(&m_root, &RootViewModel::conversationsChanged, this, &MacRootView::syncChatPane);
    showTab(false);
    syncChatPane();
}

QWidget *MacRootView::currentPage() const
{
    return m_pages->currentWidget();
}

void MacRootView::showTab(bool animated)
{
    const int index = int(m_root.tab());
    if (m_pages->currentIndex() == index)
        return;
    if (m_tabFade->state() == QAbstractAnimation::Running) {
        m_tabFade->stop();
        currentPage()->setGraphicsEffect(nullptr);
    }
    m_pages->setCurrentIndex(index);
    if (!animated)
        return;
    auto *effect = new QGraphicsOpacityEffect(currentPage());
    effect->setOpacity(0);
    currentPage()->setGraphicsEffect(effect);
    m_tabFade->start();
}

void MacRootView::syncChatPane()
{
    m_chat->setConversation(m_root.selectedConversation());
}
