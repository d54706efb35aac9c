#pragma once

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QVariant>
#include <functional>
#include <qcoro/qcorotask.h>

class AppState;
class IMService;
class Notifier;
enum class ConnState;

enum class MacTab { chats, contacts, moments, me };

// The main window's state: tabs, the conversation list with its merge, filter, sort and badges,
// row actions, opening chats, notifications and reactions to the IM connection. Main thread.
class RootViewModel : public QObject {
    Q_OBJECT

public:
    // The status dot of the navigation rail.
    enum class ConnColor { soft, orange, green, red };
    // Binds the call manager to the signed-in user.
    using BindCalls = std::function<void(const QString &userID, const QString &imToken)>;

    RootViewModel(IMService &im, AppState &app, Notifier *notifier, BindCalls bindCalls, QObject *parent = nullptr);

    static std::optional<MacTab> tabFromName(const QString &name);
    // "" below 1, the number up to 99, "99+" above.
    static QString badgeText(qint64 count);

    MacTab tab() const { return m_tab; }
    void setTab(MacTab tab);
    const QString &selectedConvID() const { return m_selectedConvID; }
    void setSelectedConvID(const QString &key);
    const QList<QJsonObject> &conversations() const { return m_conversations; }
    const QList<QJsonObject> &friends() const { return m_friends; }
    // The contacts tab shares the friend list and replaces it on its own reloads.
    void setFriends(QList<QJsonObject> friends);
    const QJsonObject &selfInfo() const { return m_selfInfo; }
    int refreshTick() const { return m_refreshTick; }
    const QString &convFilter() const { return m_convFilter; }
    void setConvFilter(const QString &filter);
    bool showNewChat() const { return m_showNewChat; }
    void setShowNewChat(bool show);
    bool searchFocused() const { return m_searchFocused; }
    void setSearchFocused(bool focused);
    // The launcher badge, set by every conversation reload.
    const QString &launcherBadge() const { return m_launcherBadge; }

    // What the list shows: filtered by name, pinned first, newest first.
    QList<QJsonObject> sortedConversations() const;
    qint64 totalUnreadLocal() const { return m_totalUnread; }
    QString chatsBadge() const { return badgeText(m_totalUnread); }
    ConnColor connColor() const;
    // The open conversation's record, or none when nothing (or nothing existing) is selected.
    std::optional<QJsonObject> selectedConversation() const;

    QCoro::Task<void> reloadConversations();
    QCoro::Task<void> reloadAll();

    // Row actions; each ends with a reload.
    QCoro::Task<void> togglePinned(QJsonObject conversation);
    QCoro::Task<void> toggleMuted(QJsonObject conversation);
    QCoro::Task<void> markRead(QJsonObject conversation);
    QCoro::Task<void> deleteConversation(QJsonObject conversation);

    void openChat(const QString &userID, const QString &name, const QString &face);
    void openGroupChat(const QString &groupID, const QString &name, const QString &face);

    // Menu commands; ignored while signed out.
    void newChatCommand();
    void focusSearchCommand();
    void switchTabCommand(const QVariant &tab);

    // The conversation key of an incoming message as the signed-in user sees it.
    static QString messageConvKey(const QJsonObject &message, const QString &selfID);

signals:
    void tabChanged();
    void selectedConvIDChanged();
    void conversationsChanged();
    void friendsChanged();
    void selfInfoChanged();
    void refreshTickChanged();
    void convFilterChanged();
    void showNewChatChanged();
    void searchFocusedChanged();
    void launcherBadgeChanged();
    void connColorChanged();
    // After every conversation reload (the UI test driver hooks in here).
    void conversationsReloaded();

private:
    struct Row {
        QString key;
        QString nameFolded;
        bool pinned = false;
        double latest = 0;
    };

    void setConversations(QList<QJsonObject> list);
    void onNewMessage(const QJsonObject &message);
    void onConnState(ConnState state);
    void onCredentials();
    void openPlaceholder(const QString &key, QJsonObject placeholder);
    QString selfID() const;
    bool signedIn() const;

    IMService &m_im;
    AppState &m_app;
    Notifier *m_notifier;
    BindCalls m_bindCalls;

    MacTab m_tab = MacTab::chats;
    QString m_selectedConvID;
    QList<QJsonObject> m_conversations;
    QList<Row> m_rows; // derived from m_conversations, same order
    qint64 m_totalUnread = 0;
    QList<QJsonObject> m_friends;
    QJsonObject m_selfInfo;
    int m_refreshTick = 0;
    QString m_convFilter;
    bool m_showNewChat = false;
    bool m_searchFocused = false;
    QString m_launcherBadge;
};
