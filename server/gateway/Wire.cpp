#include "gateway/Wire.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace Gateway::Wire {

QString singleConversationID(const QString &a, const QString &b)
{
    return QLatin1String("si_") + (a < b ? a + QLatin1Char('_') + b : b + QLatin1Char('_') + a);
}

QString groupConversationID(const QString &groupID) { return QLatin1String("sg_") + groupID; }

QJsonObject conversation(const Storage::Conversation &c)
{
    QJsonObject o;
    o.insert(QStringLiteral("conversationID"), c.id);
    o.insert(QStringLiteral("conversationType"), c.type);
    o.insert(QStringLiteral("userID"), c.peerID);
    o.insert(QStringLiteral("groupID"), c.groupID);
    o.insert(QStringLiteral("showName"), c.showName);
    o.insert(QStringLiteral("faceURL"), c.faceURL);
    o.insert(QStringLiteral("recvMsgOpt"), c.recvMsgOpt);
    o.insert(QStringLiteral("isPinned"), c.pinned);
    o.insert(QStringLiteral("draftText"), c.draft);
    o.insert(QStringLiteral("unreadCount"), c.unread);
    o.insert(QStringLiteral("latestMsg"), c.latestRecord);
    o.insert(QStringLiteral("latestMsgSendTime"), c.latestTime);
    o.insert(QStringLiteral("maxSeq"), c.maxSeq);
    o.insert(QStringLiteral("hasReadSeq"), c.readSeq);
    return o;
}

QJsonObject friendRecord(const QString &ownerID, const Storage::Friend &f)
{
    QJsonObject o;
    o.insert(QStringLiteral("ownerUserID"), ownerID);
    o.insert(QStringLiteral("friendUserID"), f.userID);
    o.insert(QStringLiteral("userID"), f.userID);
    o.insert(QStringLiteral("nickname"), f.nickname);
    o.insert(QStringLiteral("faceURL"), f.faceURL);
    o.insert(QStringLiteral("remark"), QString());
    o.insert(QStringLiteral("createTime"), f.createdAt);
    o.insert(QStringLiteral("isBlack"), f.blocked);
    return o;
}

QJsonObject friendRequest(const Storage::FriendRequest &r)
{
    QJsonObject o;
    o.insert(QStringLiteral("fromUserID"), r.fromID);
    o.insert(QStringLiteral("fromNickname"), r.fromNickname);
    o.insert(QStringLiteral("fromFaceURL"), r.fromFaceURL);
    o.insert(QStringLiteral("toUserID"), r.toID);
    o.insert(QStringLiteral("toNickname"), r.toNickname);
    o.insert(QStringLiteral("toFaceURL"), r.toFaceURL);
    o.insert(QStringLiteral("reqMsg"), r.reqMsg);
    o.insert(QStringLiteral("handleMsg"), r.handleMsg);
    o.insert(QStringLiteral("handleResult"), r.result);
    o.insert(QStringLiteral("createTime"), r.createdAt);
    o.insert(QStringLiteral("handleTime"), r.handledAt);
    return o;
}

QJsonObject group(const Storage::Group &g)
{
    QJsonObject o;
    o.insert(QStringLiteral("groupID"), g.id);
    o.insert(QStringLiteral("groupName"), g.name);
    o.insert(QStringLiteral("faceURL"), QString());
    o.insert(QStringLiteral("ownerUserID"), g.ownerID);
    o.insert(QStringLiteral("memberCount"), g.memberCount);
    o.insert(QStringLiteral("createTime"), g.createdAt);
    return o;
}

QJsonObject user(const Storage::User &u)
{
    QJsonObject o;
    o.insert(QStringLiteral("userID"), u.id);
    o.insert(QStringLiteral("nickname"), u.nickname);
    o.insert(QStringLiteral("faceURL"), u.faceURL);
    o.insert(QStringLiteral("createTime"), u.createdAt);
    return o;
}

QJsonObject parseRecord(const QString &json) { return QJsonDocument::fromJson(json.toUtf8()).object(); }

namespace {

QByteArray encode(const QJsonObject &o) { return QJsonDocument(o).toJson(QJsonDocument::Compact); }

} // namespace

QByteArray answer(double id, const QJsonValue &data)
{
    QJsonObject o;
    o.insert(QStringLiteral("id"), id);
    o.insert(QStringLiteral("errCode"), 0);
    o.insert(QStringLiteral("errMsg"), QString());
    o.insert(QStringLiteral("data"), data);
    return encode(o);
}

QByteArray error(double id, int code, const QString &message)
{
    QJsonObject o;
    o.insert(QStringLiteral("id"), id);
    o.insert(QStringLiteral("errCode"), code);
    o.insert(QStringLiteral("errMsg"), message);
    return encode(o);
}

QByteArray push(const char *name, const QJsonValue &data)
{
    QJsonObject o;
    o.insert(QStringLiteral("push"), QLatin1String(name));
    o.insert(QStringLiteral("data"), data);
    return encode(o);
}

QByteArray pushRaw(const char *name, const QString &json)
{
    return QByteArray("{\"push\":\"") + name + "\",\"data\":" + json.toUtf8() + '}';
}

} // namespace Gateway::Wire
