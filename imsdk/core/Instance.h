#pragma once

#include "core/Connection.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <functional>
#include <memory>
#include <mutex>

class QThread;
class QObject;

namespace ImSdk {

class Session;
class Log;

enum class ListenerKind { Connection, Conversation, Message, Friend, Group, User };

using Listener = std::function<void(int event, const QByteArray &data)>;
using Callback = std::function<void(int errCode, const QString &errMsg, const QByteArray &data)>;
using SendCallback = std::function<void(int errCode, const QString &errMsg, const QByteArray &data, int progress)>;

// The listeners of one instance. Set from any thread; called on the SDK thread, never under
// the lock.
class Listeners {
public:
    void set(ListenerKind kind, Listener listener);
    void notify(ListenerKind kind, int event, const QByteArray &data);

private:
    std::mutex m_mutex;
    std::array<Listener, 6> m_listeners;
};

// Everything of one signed-in SDK: configuration, listeners, connection and cache, with its own
// thread and event loop. Calls post their work to that thread and return at once; callbacks and
// listener events come from it. Several instances live side by side in one process.
class Instance {
public:
    Instance();
    ~Instance();
    Instance(const Instance &) = delete;
    Instance &operator=(const Instance &) = delete;

    // Reads the configuration JSON; false when it is not an object with the addresses.
    bool init(const QByteArray &configJSON, Listener connectionListener, const Connection::Timing &timing = {});
    void setListener(ListenerKind kind, Listener listener);

    void login(const QString &userID, const QString &token, Callback cb);
    void logout(Callback cb);

    void conversations(Callback cb);
    void history(const QByteArray &optionsJSON, Callback cb);
    void send(const QByteArray &messageJSON, const QString &recvID, const QString &groupID, const QByteArray &offlinePushInfo,
              SendCallback cb);

    // Message JSON built locally; empty for unusable input.
    QByteArray createText(const QString &text) const;
    QByteArray createImage(const QString &path) const;
    QByteArray createFile(const QString &path, const QString &fileName) const;
    QByteArray createSound(const QString &path, qint64 durationSeconds) const;
    QByteArray createQuote(const QString &text, const QByteArray &quotedJSON) const;
    QByteArray createForward(const QByteArray &messageJSON) const;
    QByteArray createCustom(const QString &data, const QString &extension, const QString &description) const;

    void revoke(const QString &conversationID, const QString &clientMsgID, Callback cb);
    void deleteMessage(const QString &conversationID, const QString &clientMsgID, Callback cb);
    void markRead(const QString &conversationID, Callback cb);
    void typing(const QString &recvID, const QString &msgTip, Callback cb);
    void setConversation(const QString &conversationID, const QByteArray &reqJSON, Callback cb);
    void hideConversation(const QString &conversationID, Callback cb);

    void friends(bool filterBlack, Callback cb);
    void friendRequests(const QByteArray &reqJSON, Callback cb);
    void acceptFriend(const QByteArray &reqJSON, Callback cb);
    void refuseFriend(const QByteArray &reqJSON, Callback cb);
    void addFriend(const QByteArray &reqJSON, Callback cb);
    void deleteFriend(const QString &userID, Callback cb);
    void addBlack(const QString &userID, const QString &ex, Callback cb);
    void groups(Callback cb);
    void usersInfo(const QByteArray &userIDsJSON, Callback cb);
    void selfInfo(Callback cb);
    void setSelfInfo(const QByteArray &userInfoJSON, Callback cb);

private:
    // Runs `work` on the SDK thread; before init it answers `cb` with kNotSignedIn instead.
    void post(std::function<void(Session &)> work, const Callback &cb);
    std::pair<QString, int> identity() const;

    std::unique_ptr<Log> m_log;
    Listeners m_listeners;
    QThread *m_thread = nullptr;
    QObject *m_anchor = nullptr; // lives on m_thread; posted work runs in its context
    Session *m_session = nullptr;
    mutable std::mutex m_identityMutex;
    QString m_userID;
    int m_platformID = 0;
};

} // namespace ImSdk
