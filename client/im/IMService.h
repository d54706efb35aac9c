#pragma once

#include "im/ImSdkLibrary.h"
#include "im/PendingBox.h"

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QStringList>
#include <qcoro/qcorotask.h>

#include <optional>

enum class ConnState { idle, connecting, connected, failed, kicked, tokenExpired };

struct InputStateEvent {
    QString conversationID;
    QString userID;
    bool typing = false;
};
Q_DECLARE_METATYPE(InputStateEvent)
Q_DECLARE_METATYPE(ConnState)

// The client's only gateway to the IM SDK. Lives on the main thread; the four event signals
// (newMessages, conversationChanges, revoked, inputStates) are emitted on the SDK's threads, so
// receivers on the main thread get them through queued connections.
class IMService : public QObject {
    Q_OBJECT

public:
    static constexpr const char *kOfflinePushInfo =
        R"({"title":"You have a new message.","desc":"","ex":"","iOSPushSound":"+1","iOSBadgeCount":true})";

    // The process-wide instance, created on first use with the default library path.
    static IMService &shared();

    // An instance bound to an explicit library (tests); empty means the default path.
    explicit IMService(QString libraryPath = {}, QObject *parent = nullptr);
    ~IMService() override;

    bool setup(const QString &dataDir = {});
    bool ready() const { return m_ready; }
    ConnState connState() const { return m_connState; }
    // Why the last setup failed, for the log.
    QString setupError() const { return m_setupError; }

    // The configuration handed to init_sdk.
    static QByteArray configJSON(const QString &dataDir, const QString &logDir);
    static QString defaultDataDir();

    QCoro::Task<void> login(QString userID, QString token);
    QCoro::Task<void> logout();
    QCoro::Task<QList<QJsonObject>> conversations();
    QCoro::Task<QList<QJsonObject>> history(QString conversationID, int count, QString startClientMsgID);
    QCoro::Task<QJsonObject> send(QString messageJSON, QString recvID, QString groupID);

    QString createText(const QString &text);
    QString createImage(const QString &path);
    QString createFile(const QString &path, const QString &name);
    QString createSound(const QString &path, qint64 durationSeconds);
    QString createQuote(const QString &text, const QString &quotedJSON);
    QString createForward(const QString &messageJSON);
    QString createCustom(const QString &data, const QString &description);

    QCoro::Task<void> revoke(QString conversationID, QString clientMsgID);
    QCoro::Task<void> deleteMessage(QString conversationID, QString clientMsgID);
    void markRead(const QString &conversationID);
    void typing(const QString &recvID, const QString &tip);
    QCoro::Task<void> setPinned(QString conversationID, bool pinned);
    QCoro::Task<void> setMuted(QString conversationID, bool muted);
    QCoro::Task<void> hideConversation(QString conversationID);

    QCoro::Task<QList<QJsonObject>> friendList();
    QCoro::Task<QList<QJsonObject>> friendApplications();
    QCoro::Task<void> acceptFriend(QString userID);
    QCoro::Task<void> refuseFriend(QString userID);
    QCoro::Task<void> addFriend(QString userID, QString reqMsg);
    QCoro::Task<void> deleteFriend(QString userID);
    QCoro::Task<void> addBlack(QString userID);
    QCoro::Task<QList<QJsonObject>> joinedGroups();
    QCoro::Task<QList<QJsonObject>> usersInfo(QStringList userIDs);
    QCoro::Task<QJsonObject> selfInfo();
    QCoro::Task<void> setSelfInfo(QJsonObject fields);

    // Republishes a record on newMessages, e.g. a call record this client just sent, so that
    // open chats show it at once.
    void publishNewMessage(const QJsonObject &message) { emit newMessages(message); }

    // Listener entry points (called from the C listeners on the SDK's threads).
    void onConnEvent(int event);
    void onConversationEvent(int event, const QByteArray &data);
    void onMessageEvent(int event, const QByteArray &data);

signals:
    void connStateChanged(ConnState state);
    void newMessages(const QJsonObject &message);
    void conversationChanges(const QList<QJsonObject> &conversations);
    void revoked(const QJsonObject &notice);
    void inputStates(const InputStateEvent &event);

private:
    // The bound SDK, or null before a successful setup.
    const ImSdkApi *api() const { return m_ready ? &*m_api : nullptr; }
    QString create(const std::function<char *(const ImSdkApi &, char *)> &fn);
    void setConnState(ConnState state);
    // Signals go out on this object's thread, whichever thread the SDK called us on.
    template <typename F>
    void onOwnThread(F f);

    QString m_libraryPath;
    std::optional<ImSdkApi> m_api;
    bool m_ready = false;
    ConnState m_connState = ConnState::idle;
    QString m_setupError;
};

// Forward to the SDK's login and logout of the initialised library.
extern "C" {
void ml_im_login(CB_S_I_S_S cb, char *operationID, char *userID, char *token);
void ml_im_logout(CB_S_I_S_S cb, char *operationID);
}
