#pragma once

#include "gateway/Session.h"

#include <QHash>
#include <QJsonObject>
#include <QJsonValue>
#include <optional>

namespace Gateway {

class Hub;

enum ErrorCode {
    kMalformed = 1001,
    kUnsupportedVersion = 1002,
    kNotAuthenticated = 1003,
    kNotFound = 1004,
    kNotAllowed = 1301,
    kBlocked = 1302,
    kFriendConflict = 1303,
    kIdTaken = 1304,
    kInternal = 1500,
    kTokenInvalid = 1501,
};

// A refused request: errCode and errMsg of the answer.
struct Error {
    int code;
    QString message;
};

// What each request does, independent of the connection it came on. Every operation checks its
// arguments and the caller's rights, throws Error when it refuses, and posts its pushes through
// the hub.
class Operations {
public:
    explicit Operations(Hub &hub);

    struct Auth {
        std::optional<Error> failure;
        int closeCode = 0;
        QString userID;
        int platformID = 0;
        QJsonObject answer;
    };
    Auth auth(const QJsonObject &data);

    // Any operation but auth; throws Error (kMalformed for an unknown op).
    QJsonValue run(const Caller &caller, const QString &op, const QJsonObject &data);

private:
    using Handler = QJsonValue (Operations::*)(const Caller &, const QJsonObject &);
    QJsonValue ping(const Caller &, const QJsonObject &);
    QJsonValue sendMsg(const Caller &, const QJsonObject &);
    QJsonValue history(const Caller &, const QJsonObject &);
    QJsonValue sync(const Caller &, const QJsonObject &);
    QJsonValue conversations(const Caller &, const QJsonObject &);
    QJsonValue setConversation(const Caller &, const QJsonObject &);
    QJsonValue markRead(const Caller &, const QJsonObject &);
    QJsonValue hideConversation(const Caller &, const QJsonObject &);
    QJsonValue revoke(const Caller &, const QJsonObject &);
    QJsonValue deleteMessage(const Caller &, const QJsonObject &);
    QJsonValue typing(const Caller &, const QJsonObject &);
    QJsonValue friends(const Caller &, const QJsonObject &);
    QJsonValue friendRequests(const Caller &, const QJsonObject &);
    QJsonValue addFriend(const Caller &, const QJsonObject &);
    QJsonValue acceptFriend(const Caller &, const QJsonObject &);
    QJsonValue refuseFriend(const Caller &, const QJsonObject &);
    QJsonValue deleteFriend(const Caller &, const QJsonObject &);
    QJsonValue addBlack(const Caller &, const QJsonObject &);
    QJsonValue groups(const Caller &, const QJsonObject &);
    QJsonValue usersInfo(const Caller &, const QJsonObject &);
    QJsonValue selfInfo(const Caller &, const QJsonObject &);
    QJsonValue setSelfInfo(const Caller &, const QJsonObject &);

    // The members of a conversation the caller belongs to (1004 / 1301 otherwise).
    QStringList membersOf(const Caller &caller, const QString &conversationID);
    QJsonObject conversationRecord(const Caller &caller, const QString &conversationID);
    QJsonValue changeConversation(const Caller &caller, const QJsonObject &data, const char *op, bool answerRecord);
    QJsonObject friendOf(const QString &ownerID, const QString &friendID);
    QJsonValue settle(const Caller &caller, const QJsonObject &data, int result);

    Hub &m_hub;
    QHash<QString, Handler> m_handlers;
};

} // namespace Gateway
