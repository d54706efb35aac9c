#include "ui/root/RootViewModel.h"

#include "base/Text.h"

#include "app/AppState.h"
#include "app/MacActions.h"
#include "app/Notifier.h"
#include "base/Broadcast.h"
#include "base/Json.h"
#include "im/IMService.h"
#include "im/Protocol.h"
#include "im/Records.h"

#include <QPointer>
#include <algorithm>

namespace {

bool isMuted(const QJsonObject &conversation)
{
    return Json::integer(conversation, QLatin1String("recvMsgOpt")) != 0;
}

// Name used by the filter: showName, else userID, else groupID.
QString filterName(const QJsonObject &c)
{
    return Records::showName(c);
}

} // namespace

RootViewModel::RootViewModel(IMService &im, AppState &app, Notifier *notifier, BindCalls bindCalls, QObject *parent)
    : QObject(parent), m_im(im), m_app(app), m_notifier(notifier), m_bindCalls(std::move(bindCalls))
{
    // The IM streams are emitted on the SDK's threads: these connections queue to this thread.
    connect(&m_im, &IMService::newMessages, this, &RootViewModel::onNewMessage);
    connect(&m_im, &IMService::conversationChanges, this, [this] { reloadConversations(); });
    connect(&m_im, &IMService::connStateChanged, this, &RootViewModel::onConnState);
    connect(&m_app, &AppState::credentialsChanged, this, &RootViewModel::onCredentials);
    // Menu commands may be posted from anywhere; they are applied on this thread.
    connect(&Broadcast::center(), &Broadcast::posted, this, [this](const QString &name, const QVariant &object) {
        if (name == MacActions::kNewChat)
            newChatCommand();
        else if (name == MacActions::kFocusSearch)
            focusSearchCommand();
        else if (name == MacActions::kSwitchTab && object.typeId() == QMetaType::QVariantMap)
            switchTabCommand(object.toMap().value(QString(MacActions::kTabKey)));
    });
}

std::optional<MacTab> RootViewModel::tabFromName(const QString &name)
{
    if (name == QLatin1String("chats"))
        return MacTab::chats;
    if (name == QLatin1String("contacts"))
        return MacTab::contacts;
    if (name == QLatin1String("moments"))
        return MacTab::moments;
    if (name == QLatin1String("me"))
        return MacTab::me;
    return std::nullopt;
}

QString RootViewModel::badgeText(qint64 count)
{
    if (count < 1)
        return {};
    return count > 99 ? QStringLiteral("99+") : QString::number(count);
}

QString RootViewModel::messageConvKey(const QJsonObject &m, const QString &selfID)
{
    const QString group = Json::str(m, QLatin1String("groupID"));
    if (!group.isEmpty())
        return QLatin1String("sg_") + group;
    const QString sender = Json::str(m, QLatin1String("sendID"));
    const QString peer = sender == selfID ? Json::str(m, QLatin1String("recvID")) : sender;
    return Records::singleConversationID(selfID, peer);
}

// ---- simple state ----

void RootViewModel::setTab(MacTab tab)
{
    if (m_tab != tab) {
        m_tab = tab;
        emit tabChanged();
    }
}

void RootViewModel::setSelectedConvID(const QString &key)
{
    if (m_selectedConvID != key) {
        m_selectedConvID = key;
        emit selectedConvIDChanged();
    }
}

void RootViewModel::setConvFilter(const QString &filter)
{
    if (m_convFilter != filter) {
        m_convFilter = filter;
        emit convFilterChanged();
    }
}

void RootViewModel::setShowNewChat(bool show)
{
    if (m_showNewChat != show) {
        m_showNewChat = show;
        emit showNewChatChanged();
    }
}

void RootViewModel::setSearchFocused(bool focused)
{
    if (m_searchFocused != focused) {
        m_searchFocused = focused;
        emit searchFocusedChanged();
    }
}

void RootViewModel::setFriends(QList<QJsonObject> friends)
{
    m_friends = std::move(friends);
    emit friendsChanged();
}

QString RootViewModel::selfID() const
{
    return m_app.credentials() ? m_app.credentials()->userID : QString();
}

bool RootViewModel::signedIn() const
{
    return m_app.credentials().has_value();
}

// ---- the list ----

void RootViewModel::setConversations(QList<QJsonObject> list)
{
    m_conversations = std::move(list);
    m_rows.clear();
    m_rows.reserve(m_conversations.size());
    m_totalUnread = 0;
    for (const QJsonObject &c : std::as_const(m_conversations)) {
        const QJsonValue time = c.value(QLatin1String("latestMsgSendTime"));
        m_rows.append(Row{Records::convKey(c), filterName(c).toCaseFolded(), Json::boolean(c, QLatin1String("isPinned")),
                          time.isDouble() ? time.toDouble() : 0.0});
        if (!isMuted(c))
            m_totalUnread += Records::unread(c);
    }
    emit conversationsChanged();
}

QList<QJsonObject> RootViewModel::sortedConversations() const
{
    const QString filter = Text::trimBlanks(m_convFilter).toCaseFolded();
    QList<qsizetype> order;
    order.reserve(m_rows.size());
    for (qsizetype i = 0; i < m_rows.size(); ++i)
        if (filter.isEmpty() || m_rows[i].nameFolded.contains(filter))
            order.append(i);
    std::stable_sort(order.begin(), order.end(), [this](qsizetype a, qsizetype b) {
        const Row &x = m_rows[a], &y = m_rows[b];
        if (x.pinned != y.pinned)
            return x.pinned;
        return x.latest > y.latest;
    });
    QList<QJsonObject> out;
    out.reserve(order.size());
    for (qsizetype i : order)
        out.append(m_conversations[i]);
    return out;
}

std::optional<QJsonObject> RootViewModel::selectedConversation() const
{
    if (m_selectedConvID.isEmpty())
        return std::nullopt;
    for (qsizetype i = 0; i < m_rows.size(); ++i)
        if (m_rows[i].key == m_selectedConvID)
            return m_conversations[i];
    return std::nullopt;
}

RootViewModel::ConnColor RootViewModel::connColor() const
{
    if (!signedIn())
        return ConnColor::soft;
    switch (m_im.connState()) {
    case ConnState::idle: return ConnColor::soft;
    case ConnState::connecting: return ConnColor::orange;
    case ConnState::connected: return ConnColor::green;
    default: return ConnColor::red;
    }
}

QCoro::Task<void> RootViewModel::reloadConversations()
{
    QPointer<RootViewModel> self(this);
    QList<QJsonObject> list = co_await m_im.conversations();
    if (!self)
        co_return;
    // Keep what placeholders (and earlier loads) knew until the SDK fills it in.
    QHash<QString, qsizetype> old;
    for (qsizetype i = 0; i < m_conversations.size(); ++i)
        old.insert(Json::str(m_conversations[i], QLatin1String("conversationID")), i);
    static const QLatin1String kept[] = {QLatin1String("showName"), QLatin1String("faceURL"), QLatin1String("userID"),
                                         QLatin1String("groupID")};
    for (QJsonObject &record : list) {
        const auto it = old.constFind(Json::str(record, QLatin1String("conversationID")));
        if (it == old.constEnd())
            continue;
        const QJsonObject &previous = m_conversations[*it];
        for (const QLatin1String &key : kept) {
            const QString before = Json::str(previous, key);
            if (Json::str(record, key).isEmpty() && !before.isEmpty())
                record.insert(key, before);
        }
    }
    setConversations(std::move(list));
    ++m_refreshTick;
    emit refreshTickChanged();
    const QString badge = badgeText(m_totalUnread);
    if (badge != m_launcherBadge) {
        m_launcherBadge = badge;
        emit launcherBadgeChanged();
    }
    emit conversationsReloaded();
}

QCoro::Task<void> RootViewModel::reloadAll()
{
    QPointer<RootViewModel> self(this);
    co_await reloadConversations();
    if (!self)
        co_return;
    QList<QJsonObject> friends = co_await m_im.friendList();
    if (!self)
        co_return;
    setFriends(std::move(friends));
    QJsonObject info = co_await m_im.selfInfo();
    if (!self)
        co_return;
    m_selfInfo = std::move(info);
    emit selfInfoChanged();
}

// ---- row actions ----

QCoro::Task<void> RootViewModel::togglePinned(QJsonObject conversation)
{
    QPointer<RootViewModel> self(this);
    co_await m_im.setPinned(Json::str(conversation, QLatin1String("conversationID")),
                            !Json::boolean(conversation, QLatin1String("isPinned")));
    if (self)
        co_await reloadConversations();
}

QCoro::Task<void> RootViewModel::toggleMuted(QJsonObject conversation)
{
    QPointer<RootViewModel> self(this);
    co_await m_im.setMuted(Json::str(conversation, QLatin1String("conversationID")), !isMuted(conversation));
    if (self)
        co_await reloadConversations();
}

QCoro::Task<void> RootViewModel::markRead(QJsonObject conversation)
{
    m_im.markRead(Json::str(conversation, QLatin1String("conversationID")));
    co_await reloadConversations();
}

QCoro::Task<void> RootViewModel::deleteConversation(QJsonObject conversation)
{
    QPointer<RootViewModel> self(this);
    co_await m_im.hideConversation(Json::str(conversation, QLatin1String("conversationID")));
    if (!self)
        co_return;
    if (m_selectedConvID == Records::convKey(conversation))
        setSelectedConvID(QString());
    co_await reloadConversations();
}

// ---- opening chats ----

void RootViewModel::openPlaceholder(const QString &key, QJsonObject placeholder)
{
    const bool known = std::any_of(m_rows.cbegin(), m_rows.cend(), [&](const Row &r) { return r.key == key; });
    if (!known) {
        QList<QJsonObject> list = m_conversations;
        list.prepend(placeholder);
        setConversations(std::move(list));
    }
    setSelectedConvID(key);
    setTab(MacTab::chats);
}

void RootViewModel::openChat(const QString &userID, const QString &name, const QString &face)
{
    if (userID.isEmpty() || !signedIn())
        return;
    const QString id = Records::singleConversationID(selfID(), userID);
    openPlaceholder(id, QJsonObject{{QStringLiteral("conversationID"), id},
                                    {QStringLiteral("userID"), userID},
                                    {QStringLiteral("groupID"), QString()},
                                    {QStringLiteral("showName"), name},
                                    {QStringLiteral("faceURL"), face},
                                    {QStringLiteral("unreadCount"), 0}});
}

void RootViewModel::openGroupChat(const QString &groupID, const QString &name, const QString &face)
{
    if (groupID.isEmpty() || !signedIn())
        return;
    const QString id = QLatin1String("sg_") + groupID;
    openPlaceholder(id, QJsonObject{{QStringLiteral("conversationID"), id},
                                    {QStringLiteral("userID"), QString()},
                                    {QStringLiteral("groupID"), groupID},
                                    {QStringLiteral("showName"), name},
                                    {QStringLiteral("faceURL"), face},
                                    {QStringLiteral("unreadCount"), 0}});
}

// ---- events ----

void RootViewModel::onNewMessage(const QJsonObject &message)
{
    if (!signedIn() || !m_notifier)
        return;
    const QString me = selfID();
    if (Json::str(message, QLatin1String("sendID")) == me)
        return;
    static const QSet<qint64> shown{101, 102, 103, 104, 105, 114};
    const QJsonValue type = message.value(QLatin1String("contentType"));
    const bool plainKind = Json::isInteger(type) && shown.contains(Json::integer(message, QLatin1String("contentType")));
    if (!plainKind) {
        const auto custom = Protocol::parseCustom(message);
        if (!custom || custom->kind != QLatin1String("secret"))
            return;
    }
    const QString key = messageConvKey(message, me);
    for (qsizetype i = 0; i < m_rows.size(); ++i) {
        if (m_rows[i].key != key)
            continue;
        const QJsonValue opt = m_conversations[i].value(QLatin1String("recvMsgOpt"));
        if (Json::isInteger(opt) && opt.toDouble() != 0)
            return;
        break;
    }
    const QString nick = Json::str(message, QLatin1String("senderNickname"));
    m_notifier->postIfNeeded(nick.isEmpty() ? QStringLiteral("Sarvo") : nick, Protocol::briefOf(message));
}

void RootViewModel::onConnState(ConnState state)
{
    emit connColorChanged();
    if (state == ConnState::kicked || state == ConnState::tokenExpired)
        m_app.logout();
    else if (state == ConnState::connected)
        reloadAll();
}

void RootViewModel::onCredentials()
{
    emit connColorChanged();
    const auto &credentials = m_app.credentials();
    if (!credentials) {
        // Nothing of the previous user stays on screen for the next one.
        setSelectedConvID(QString());
        setConvFilter(QString());
        setShowNewChat(false);
        setConversations({});
        setFriends({});
        m_selfInfo = QJsonObject();
        emit selfInfoChanged();
        return;
    }
    if (m_bindCalls)
        m_bindCalls(credentials->userID, credentials->imToken);
    if (m_notifier && m_notifier->enabled())
        m_notifier->requestPermission();
}

// ---- menu commands ----

void RootViewModel::newChatCommand()
{
    if (!signedIn())
        return;
    setTab(MacTab::chats);
    setShowNewChat(true);
}

void RootViewModel::focusSearchCommand()
{
    if (!signedIn())
        return;
    setTab(MacTab::chats);
    setSearchFocused(true);
}

void RootViewModel::switchTabCommand(const QVariant &tab)
{
    if (!signedIn() || tab.typeId() != QMetaType::QString)
        return;
    if (const auto t = tabFromName(tab.toString()))
        setTab(*t);
}
