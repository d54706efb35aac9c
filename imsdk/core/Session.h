#pragma once

#include "core/Cache.h"
#include "core/Connection.h"
#include "core/Instance.h"

#include <QJsonArray>
#include <QObject>
#include <QUrl>
#include <qcoro/qcorotask.h>

#include <optional>
#include <set>

class QNetworkAccessManager;

namespace ImSdk {

struct Config {
    int platformID = 0;
    QString apiAddr;
    QUrl wsAddr;
    QString dataDir;
    Connection::Timing timing;
};

// The SDK-thread side of an instance: sign-in state, gateway session, cache and the mapping of
// every call onto the gateway protocol. All members are touched on the SDK thread only.
class Session : public QObject {
    Q_OBJECT

public:
    Session(Config config, Log &log, Listeners &listeners);
    ~Session() override;

    void setConfig(Config config)
    {
        m_config = std::move(config);
        m_connection.setTiming(m_config.timing);
    }

    void login(const QString &userID, const QString &token, Callback cb);
    void logout(Callback cb);

    void conversations(Callback cb);
    void history(const QByteArray &optionsJSON, Callback cb);
    void send(const QByteArray &messageJSON, const QString &recvID, const QString &groupID, const QByteArray &offlinePushInfo,
              SendCallback cb);

    void revoke(const QString &conversationID, const QString &clientMsgID, Callback cb);
    void deleteMessage(const QString &conversationID, const QString &clientMsgID, Callback cb);
    void markRead(const QString &conversationID, Callback cb);
    void setConversation(const QString &conversationID, const QByteArray &reqJSON, Callback cb);
    void hideConversation(const QString &conversationID, Callback cb);

    // A gateway call whose answer goes to `cb` as it is; `data` none means bad arguments.
    void forward(const QString &op, const std::optional<QJsonObject> &data, Callback cb);

private:
    void onAuthenticated(const QJsonObject &authData);
    void onFirstAttemptFailed(int errCode, const QString &errMsg);
    void onPush(const QString &name, const QJsonValue &data);

    QCoro::Task<void> syncAll(qint64 latestSeq);
    // Moves the cursor over the delivered sequences that follow it without a gap.
    void advanceCursor();
    // Fetches the conversation list, stores it and, when asked, reports new and changed ones.
    QCoro::Task<std::optional<QList<QJsonObject>>> refreshConversations(bool report);
    QCoro::Task<void> runSend(QJsonObject msg, QJsonObject data, SendCallback cb);
    QCoro::Task<void> runConversations(Callback cb);
    QCoro::Task<void> runHistory(QString conversationID, int count, QString startClientMsgID, Callback cb);

    // A message from sync or a push: stored and reported; recall notices applied and reported.
    void ingest(const QJsonObject &message, bool live);
    void applyRecall(const QJsonObject &notice);
    // The conversation after a live message: latest message, unread count.
    void touchConversation(const QJsonObject &message);
    void endSession();

    Config m_config;
    Log &m_log;
    Listeners &m_listeners;
    Connection m_connection;
    Cache m_cache;
    QNetworkAccessManager *m_nam;
    QString m_userID, m_token;
    bool m_hadCache = false;
    std::optional<Callback> m_pendingLogin;
    quint64 m_generation = 0; // bumped by login and logout; coroutines of an older one stop
    bool m_syncing = false;
    bool m_resync = false;
    qint64 m_resyncFrom = 0;
    // Global sequences delivered live above the cursor: the cursor cannot pass a gap, and a sync
    // does not report these again.
    std::set<qint64> m_delivered;
};

} // namespace ImSdk
