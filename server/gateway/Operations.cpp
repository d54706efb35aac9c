#include "gateway/Operations.h"

#include "accounts/Accounts.h"
#include "core/Args.h"
#include "gateway/Gateway.h"
#include "gateway/Wire.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QUrl>
#include <QUuid>
#include <algorithm>

namespace Gateway {

namespace {

constexpr int kProtocolVersion = 1;
constexpr int kRecalled = 2101;
constexpr qsizetype kMaxId = 64;

[[noreturn]] void refuse(int code, const QString &message) { throw Error{code, message}; }

std::optional<bool> optionalBool(const QJsonObject &data, const char *key)
{
    const QJsonValue v = data.value(QLatin1String(key));
    if (v.isUndefined() || v.isNull())
        return std::nullopt;
    if (!v.isBool())
        Args::refuse(QStringLiteral("\"%1\" must be true or false").arg(QLatin1String(key)));
    return v.toBool();
}

QString newClientMsgID() { return QUuid::createUuid().toString(QUuid::Id128); }
QString newServerMsgID() { return QUuid::createUuid().toString(QUuid::WithoutBraces); }

} // namespace

Operations::Operations(Hub &hub) : m_hub(hub)
{
    m_handlers = {
        {QStringLiteral("ping"), &Operations::ping},
        {QStringLiteral("sendMsg"), &Operations::sendMsg},
        {QStringLiteral("history"), &Operations::history},
        {QStringLiteral("sync"), &Operations::sync},
        {QStringLiteral("conversations"), &Operations::conversations},
        {QStringLiteral("setConversation"), &Operations::setConversation},
        {QStringLiteral("markRead"), &Operations::markRead},
        {QStringLiteral("hideConversation"), &Operations::hideConversation},
        {QStringLiteral("revoke"), &Operations::revoke},
        {QStringLiteral("deleteMessage"), &Operations::deleteMessage},
        {QStringLiteral("typing"), &Operations::typing},
        {QStringLiteral("friends"), &Operations::friends},
        {QStringLiteral("friendRequests"), &Operations::friendRequests},
        {QStringLiteral("addFriend"), &Operations::addFriend},
        {QStringLiteral("acceptFriend"), &Operations::acceptFriend},
        {QStringLiteral("refuseFriend"), &Operations::refuseFriend},
        {QStringLiteral("deleteFriend"), &Operations::deleteFriend},
        {QStringLiteral("addBlack"), &Operations::addBlack},
        {QStringLiteral("groups"), &Operations::groups},
        {QStringLiteral("usersInfo"), &Operations::usersInfo},
        {QStringLiteral("selfInfo"), &Operations::selfInfo},
        {QStringLiteral("setSelfInfo"), &Operations::setSelfInfo},
    };
}

Operations::Auth Operations::auth(const QJsonObject &data)
{
    Auth out;
    const QJsonValue version = data.value(QLatin1String("version"));
    if (!version.isDouble())
        refuse(kMalformed, QStringLiteral("auth: version is required"));
    if (version.toDouble() != kProtocolVersion) {
        out.failure = Error{kUnsupportedVersion, QStringLiteral("unsupported protocol version %1").arg(version.toDouble())};
        out.closeCode = UnsupportedVersion;
        return out;
    }
    QString userID, token;
    try {
        const Args args(data);
        userID = args.text("userID", kMaxId);
        token = args.text("token", 256);
        out.platformID = static_cast<int>(args.integer("platformID", 0, 1000));
    } catch (const Failure &f) {
        refuse(kMalformed, QStringLiteral("auth: ") + f.message);
    }
    const std::optional<QString> owner = m_hub.accounts().authenticate(token, QStringLiteral("im"));
    if (!owner || *owner != userID) {
        out.failure = Error{kTokenInvalid, QStringLiteral("invalid or expired token")};
        out.closeCode = TokenInvalid;
        return out;
    }
    out.userID = userID;
    out.answer = {{QStringLiteral("userID"), userID},
                  {QStringLiteral("serverTime"), m_hub.context().now()},
                  {QStringLiteral("latestSeq"), m_hub.context().store.latestGlobalSeq()}};
    return out;
}

QJsonValue Operations::run(const Caller &caller, const QString &op, const QJsonObject &data)
{
    const Handler handler = m_handlers.value(op);
    if (!handler)
        refuse(kMalformed, QStringLiteral("unknown op \"%1\"").arg(op.left(64)));
    try {
        return (this->*handler)(caller, data);
    } catch (const Failure &f) {
        refuse(kMalformed, op + QStringLiteral(": ") + f.message);
    }
}

QJsonValue Operations::ping(const Caller &, const QJsonObject &)
{
    return QJsonObject{{QStringLiteral("serverTime"), m_hub.context().now()}};
}

// ---- messages

QStringList Operations::membersOf(const Caller &caller, const QString &conversationID)
{
    Storage::Store &store = m_hub.context().store;
    if (conversationID.startsWith(QLatin1String("sg_"))) {
        const QStringList members = m_hub.groupMembers(conversationID.mid(3));
        if (members.isEmpty())
            refuse(kNotFound, QStringLiteral("no such conversation"));
        if (!members.contains(caller.userID))
            refuse(kNotAllowed, QStringLiteral("you are not a member of this group"));
        return members;
    }
    const std::optional<Storage::Conversation> c = store.conversationOf(caller.userID, conversationID);
    if (!c) {
        if (store.conversationExists(conversationID))
            refuse(kNotAllowed, QStringLiteral("you are not a member of this conversation"));
        refuse(kNotFound, QStringLiteral("no such conversation"));
    }
    if (c->peerID.isEmpty() || c->peerID == caller.userID)
        return {caller.userID};
    return {caller.userID, c->peerID};
}

QJsonValue Operations::sendMsg(const Caller &caller, const QJsonObject &data)
{
    Storage::Store &store = m_hub.context().store;
    const Args args(data);
    const QString recvID = args.text("recvID", kMaxId, false);
    const QString groupID = args.text("groupID", kMaxId, false);
    if (recvID.isEmpty() == groupID.isEmpty())
        refuse(kMalformed, QStringLiteral("sendMsg: exactly one of recvID or groupID is required"));
    const QJsonValue msgValue = data.value(QLatin1String("msg"));
    if (!msgValue.isObject())
        refuse(kMalformed, QStringLiteral("sendMsg: msg must be an object"));
    const QJsonValue pushInfo = data.value(QLatin1String("offlinePushInfo"));
    if (!pushInfo.isUndefined() && !pushInfo.isNull() && !pushInfo.isObject())
        refuse(kMalformed, QStringLiteral("sendMsg: offlinePushInfo must be an object"));
    QJsonObject msg = msgValue.toObject();
    const Args msgArgs(msg);
    static const QRegularExpression idPattern(QStringLiteral("^[A-Za-z0-9_-]{1,64}$"));
    const QString clientMsgID = msgArgs.text("clientMsgID", kMaxId);
    if (!idPattern.match(clientMsgID).hasMatch())
        refuse(kMalformed, QStringLiteral("sendMsg: clientMsgID must be 1-64 letters, digits, '-' or '_'"));
    // Notification types (recall notices and the like) are the server's to write.
    const qint64 contentType = msgArgs.integer("contentType", 1, 999);

    Storage::NewMessage m;
    m.sendID = caller.userID;
    m.clientMsgID = clientMsgID;
    m.sendTime = m_hub.context().now();
    QStringList recipients;
    if (!recvID.isEmpty()) {
        if (!store.userById(recvID))
            refuse(kNotFound, QStringLiteral("no such user"));
        if (m_hub.blocks(recvID, caller.userID))
            refuse(kBlocked, QStringLiteral("you cannot message this user"));
        m.type = 1;
        m.conversationID = Wire::singleConversationID(caller.userID, recvID);
        m.members = recvID == caller.userID ? QStringList{caller.userID} : QStringList{caller.userID, recvID};
        recipients = m.members;
    } else {
        recipients = m_hub.groupMembers(groupID);
        if (recipients.isEmpty())
            refuse(kNotFound, QStringLiteral("no such group"));
        if (!recipients.contains(caller.userID))
            refuse(kNotAllowed, QStringLiteral("you are not a member of this group"));
        m.type = 3;
        m.groupID = groupID;
        m.conversationID = Wire::groupConversationID(groupID);
    }
    const std::optional<Storage::User> sender = store.userById(caller.userID);
    if (!sender)
        refuse(kNotFound, QStringLiteral("no such user"));

    msg.insert(QStringLiteral("contentType"), contentType);
    msg.insert(QStringLiteral("serverMsgID"), newServerMsgID());
    msg.insert(QStringLiteral("conversationID"), m.conversationID);
    msg.insert(QStringLiteral("sendID"), caller.userID);
    msg.insert(QStringLiteral("recvID"), recvID);
    msg.insert(QStringLiteral("groupID"), groupID);
    msg.insert(QStringLiteral("senderNickname"), sender->nickname);
    msg.insert(QStringLiteral("senderFaceUrl"), sender->faceURL);
    msg.insert(QStringLiteral("senderPlatformID"), caller.platformID);
    msg.insert(QStringLiteral("sessionType"), m.type);
    msg.insert(QStringLiteral("sendTime"), m.sendTime);
    msg.insert(QStringLiteral("status"), 2);
    if (!msg.value(QLatin1String("createTime")).isDouble())
        msg.insert(QStringLiteral("createTime"), m.sendTime);
    msg.remove(QStringLiteral("notificationElem"));
    m.record = msg;
    if (pushInfo.isObject())
        m.pushInfo = QString::fromUtf8(QJsonDocument(pushInfo.toObject()).toJson(QJsonDocument::Compact));

    bool duplicate = false;
    const std::optional<Storage::Message> stored = store.insertMessage(std::move(m), &duplicate);
    if (!stored)
        refuse(kIdTaken, QStringLiteral("sendMsg: clientMsgID is already used by another message"));
    if (!duplicate)
        m_hub.push(recipients, Wire::pushRaw("newMessage", stored->record), caller.session);
    return Wire::parseRecord(stored->record);
}

QJsonValue Operations::history(const Caller &caller, const QJsonObject &data)
{
    Storage::Store &store = m_hub.context().store;
    const Args args(data);
    const QString conversationID = args.text("conversationID", 2 * kMaxId + 4);
    const int count = static_cast<int>(args.integer("count", 1, 100));
    const QString start = args.text("startClientMsgID", kMaxId, false);
    membersOf(caller, conversationID);
    qint64 before = 0;
    if (!start.isEmpty()) {
        const std::optional<Storage::Message> from = store.messageByClientID(conversationID, start);
        if (!from)
            refuse(kNotFound, QStringLiteral("no such message"));
        before = from->seq;
    }
    // One more than asked tells whether older ones remain.
    const QList<Storage::Message> page = store.history(caller.userID, conversationID, before, count + 1);
    QJsonArray list;
    for (qsizetype i = std::min<qsizetype>(page.size(), count) - 1; i >= 0; --i)
        list.append(Wire::parseRecord(page[i].record));
    return QJsonObject{{QStringLiteral("messageList"), list}, {QStringLiteral("isEnd"), page.size() <= count}};
}

QJsonValue Operations::sync(const Caller &caller, const QJsonObject &data)
{
    const Args args(data);
    const qint64 after = args.integer("after", 0, std::numeric_limits<qint64>::max() / 2);
    const int limit = static_cast<int>(args.integer("limit", 1, 500));
    const QList<Storage::Message> page = m_hub.context().store.messagesAfter(caller.userID, after, limit + 1);
    QJsonArray messages;
    qint64 latest = after;
    for (qsizetype i = 0; i < std::min<qsizetype>(page.size(), limit); ++i) {
        messages.append(Wire::parseRecord(page[i].record));
        latest = page[i].globalSeq;
    }
    return QJsonObject{{QStringLiteral("messages"), messages}, {QStringLiteral("latest"), latest}, {QStringLiteral("more"), page.size() > limit}};
}

QJsonValue Operations::revoke(const Caller &caller, const QJsonObject &data)
{
    Storage::Store &store = m_hub.context().store;
    const Args args(data);
    const QString conversationID = args.text("conversationID", 2 * kMaxId + 4);
    const QString clientMsgID = args.text("clientMsgID", kMaxId);
    const QStringList members = membersOf(caller, conversationID);
    const std::optional<Storage::Message> target = store.messageByClientID(conversationID, clientMsgID);
    if (!target || target->notice)
        refuse(kNotFound, QStringLiteral("no such message"));
    if (target->sendID != caller.userID)
        refuse(kNotAllowed, QStringLiteral("only the sender can recall a message"));
    const std::optional<Storage::User> revoker = store.userById(caller.userID);
    const qint64 now = m_hub.context().now();

    const QJsonObject detail{{QStringLiteral("clientMsgID"), clientMsgID},
                             {QStringLiteral("revokerID"), caller.userID},
                             {QStringLiteral("revokerNickname"), revoker ? revoker->nickname : QString()},
                             {QStringLiteral("revokeTime"), now},
                             {QStringLiteral("seq"), target->seq}};
    const QJsonObject notification{{QStringLiteral("detail"), QString::fromUtf8(QJsonDocument(detail).toJson(QJsonDocument::Compact))}};

    // The recalled message keeps who, where and when; its content goes.
    const QJsonObject original = Wire::parseRecord(target->record);
    QJsonObject recalled;
    for (const char *key : {"clientMsgID", "serverMsgID", "conversationID", "sendID", "recvID", "groupID", "senderNickname", "senderFaceUrl",
                            "senderPlatformID", "sessionType", "createTime", "sendTime", "seq", "globalSeq", "status"})
        if (original.contains(QLatin1String(key)))
            recalled.insert(QLatin1String(key), original.value(QLatin1String(key)));
    recalled.insert(QStringLiteral("contentType"), kRecalled);
    recalled.insert(QStringLiteral("notificationElem"), notification);

    Storage::NewMessage notice;
    notice.conversationID = conversationID;
    notice.type = conversationID.startsWith(QLatin1String("sg_")) ? 3 : 1;
    notice.groupID = original.value(QLatin1String("groupID")).toString();
    notice.sendID = caller.userID;
    notice.clientMsgID = newClientMsgID();
    notice.notice = true;
    notice.sendTime = now;
    QJsonObject record{{QStringLiteral("clientMsgID"), notice.clientMsgID},
                       {QStringLiteral("serverMsgID"), newServerMsgID()},
                       {QStringLiteral("conversationID"), conversationID},
                       {QStringLiteral("sendID"), caller.userID},
                       {QStringLiteral("recvID"), original.value(QLatin1String("recvID")).toString()},
                       {QStringLiteral("groupID"), notice.groupID},
                       {QStringLiteral("senderNickname"), revoker ? revoker->nickname : QString()},
                       {QStringLiteral("senderFaceUrl"), revoker ? revoker->faceURL : QString()},
                       {QStringLiteral("senderPlatformID"), caller.platformID},
                       {QStringLiteral("sessionType"), notice.type},
                       {QStringLiteral("contentType"), kRecalled},
                       {QStringLiteral("createTime"), now},
                       {QStringLiteral("sendTime"), now},
                       {QStringLiteral("status"), 2},
                       {QStringLiteral("notificationElem"), notification}};
    notice.record = record;
    const std::optional<Storage::Message> stored =
        store.recallMessage(target->globalSeq, QString::fromUtf8(QJsonDocument(recalled).toJson(QJsonDocument::Compact)), std::move(notice));
    if (!stored)
        refuse(kNotFound, QStringLiteral("the message was recalled already"));
    m_hub.push(members, Wire::pushRaw("newMessage", stored->record), caller.session);
    return Wire::parseRecord(stored->record);
}

QJsonValue Operations::deleteMessage(const Caller &caller, const QJsonObject &data)
{
    Storage::Store &store = m_hub.context().store;
    const Args args(data);
    const QString conversationID = args.text("conversationID", 2 * kMaxId + 4);
    const QString clientMsgID = args.text("clientMsgID", kMaxId);
    membersOf(caller, conversationID);
    const std::optional<Storage::Message> target = store.messageByClientID(conversationID, clientMsgID);
    if (!target)
        refuse(kNotFound, QStringLiteral("no such message"));
    store.deleteMessageFor(caller.userID, target->globalSeq);
    return QJsonObject{};
}

QJsonValue Operations::typing(const Caller &caller, const QJsonObject &data)
{
    const Args args(data);
    const QString recvID = args.text("recvID", kMaxId);
    const QString tip = args.text("msgTip", 64, false);
    if (!m_hub.context().store.userById(recvID))
        refuse(kNotFound, QStringLiteral("no such user"));
    if (m_hub.blocks(recvID, caller.userID))
        return QJsonObject{}; // nothing reaches a user who blocked the sender
    const QJsonArray platforms = tip == QLatin1String("yes") ? QJsonArray{caller.platformID} : QJsonArray{};
    const QJsonObject push{{QStringLiteral("conversationID"), Wire::singleConversationID(caller.userID, recvID)},
                           {QStringLiteral("userID"), caller.userID},
                           {QStringLiteral("platformIDs"), platforms}};
    m_hub.push({recvID}, Wire::push("typing", push), caller.session);
    return QJsonObject{};
}

// ---- conversations

QJsonValue Operations::conversations(const Caller &caller, const QJsonObject &)
{
    QList<Storage::Conversation> list = m_hub.context().store.conversationsOf(caller.userID);
    list.removeIf([](const Storage::Conversation &c) { return c.hidden(); });
    std::stable_sort(list.begin(), list.end(), [](const Storage::Conversation &a, const Storage::Conversation &b) {
        if (a.pinned != b.pinned)
            return a.pinned;
        if (a.latestTime != b.latestTime)
            return a.latestTime > b.latestTime;
        return a.id < b.id;
    });
    QJsonArray out;
    for (const Storage::Conversation &c : list)
        out.append(Wire::conversation(c));
    return out;
}

QJsonObject Operations::conversationRecord(const Caller &caller, const QString &conversationID)
{
    const std::optional<Storage::Conversation> c = m_hub.context().store.conversationOf(caller.userID, conversationID);
    if (!c)
        refuse(kNotFound, QStringLiteral("no such conversation"));
    return Wire::conversation(*c);
}

QJsonValue Operations::changeConversation(const Caller &caller, const QJsonObject &data, const char *op, bool answerRecord)
{
    const Args args(data);
    const QString conversationID = args.text("conversationID", 2 * kMaxId + 4);
    Storage::ConversationChange change;
    if (qstrcmp(op, "setConversation") == 0) {
        change.pinned = optionalBool(data, "isPinned");
        if (args.has("recvMsgOpt"))
            change.recvMsgOpt = static_cast<int>(args.integer("recvMsgOpt", 0, 2));
        if (args.has("draftText"))
            change.draft = args.text("draftText", 10000);
    } else {
        change.markRead = qstrcmp(op, "markRead") == 0;
        change.hide = qstrcmp(op, "hideConversation") == 0;
    }
    membersOf(caller, conversationID);
    if (!m_hub.context().store.changeConversation(caller.userID, conversationID, change))
        refuse(kNotFound, QStringLiteral("no such conversation"));
    const QJsonObject record = conversationRecord(caller, conversationID);
    m_hub.push({caller.userID}, Wire::push("conversationChanged", QJsonArray{record}), caller.session);
    return answerRecord ? QJsonValue(record) : QJsonValue(QJsonObject{});
}

QJsonValue Operations::setConversation(const Caller &caller, const QJsonObject &data)
{
    return changeConversation(caller, data, "setConversation", true);
}

QJsonValue Operations::markRead(const Caller &caller, const QJsonObject &data) { return changeConversation(caller, data, "markRead", true); }

QJsonValue Operations::hideConversation(const Caller &caller, const QJsonObject &data)
{
    return changeConversation(caller, data, "hideConversation", false);
}

// ---- friends

QJsonObject Operations::friendOf(const QString &ownerID, const QString &friendID)
{
    for (const Storage::Friend &f : m_hub.context().store.friendsOf(ownerID))
        if (f.userID == friendID)
            return Wire::friendRecord(ownerID, f);
    return {};
}

QJsonValue Operations::friends(const Caller &caller, const QJsonObject &data)
{
    const bool filterBlack = optionalBool(data, "filterBlack").value_or(false);
    QJsonArray out;
    for (const Storage::Friend &f : m_hub.context().store.friendsOf(caller.userID))
        if (!filterBlack || !f.blocked)
            out.append(Wire::friendRecord(caller.userID, f));
    return out;
}

QJsonValue Operations::friendRequests(const Caller &caller, const QJsonObject &data)
{
    const Args args(data);
    const int offset = static_cast<int>(args.integer("offset", 0, 1000000, 0));
    const int count = static_cast<int>(args.integer("count", 1, 1000, 100));
    QJsonArray out;
    for (const Storage::FriendRequest &r : m_hub.context().store.friendRequestsTo(caller.userID, offset, count))
        out.append(Wire::friendRequest(r));
    return out;
}

QJsonValue Operations::addFriend(const Caller &caller, const QJsonObject &data)
{
    Storage::Store &store = m_hub.context().store;
    const Args args(data);
    const QString to = args.text("toUserID", kMaxId);
    const QString reqMsg = args.text("reqMsg", 1000, false);
    if (to == caller.userID)
        refuse(kFriendConflict, QStringLiteral("you cannot add yourself"));
    if (!store.userById(to))
        refuse(kNotFound, QStringLiteral("no such user"));
    if (store.areFriends(caller.userID, to))
        refuse(kFriendConflict, QStringLiteral("you are friends already"));
    store.putFriendRequest(caller.userID, to, reqMsg, m_hub.context().now());
    // A user who blocked the requester is not bothered with the request.
    if (!m_hub.blocks(to, caller.userID))
        if (const std::optional<Storage::FriendRequest> r = store.friendRequest(caller.userID, to))
            m_hub.push({to}, Wire::push("friendRequest", Wire::friendRequest(*r)));
    return QJsonObject{};
}

QJsonValue Operations::settle(const Caller &caller, const QJsonObject &data, int result)
{
    const Args args(data);
    const QString from = args.text("toUserID", kMaxId);
    const QString handleMsg = args.text("handleMsg", 1000, false);
    if (!m_hub.context().store.settleFriendRequest(from, caller.userID, result, handleMsg, m_hub.context().now()))
        refuse(kFriendConflict, QStringLiteral("no pending request from this user"));
    if (result == 1) {
        m_hub.push({caller.userID}, Wire::push("friendAdded", friendOf(caller.userID, from)));
        m_hub.push({from}, Wire::push("friendAdded", friendOf(from, caller.userID)));
    }
    return QJsonObject{};
}

QJsonValue Operations::acceptFriend(const Caller &caller, const QJsonObject &data) { return settle(caller, data, 1); }

QJsonValue Operations::refuseFriend(const Caller &caller, const QJsonObject &data) { return settle(caller, data, -1); }

QJsonValue Operations::deleteFriend(const Caller &caller, const QJsonObject &data)
{
    const QString other = Args(data).text("userID", kMaxId);
    if (!m_hub.context().store.deleteFriends(caller.userID, other))
        refuse(kFriendConflict, QStringLiteral("you are not friends"));
    m_hub.push({caller.userID}, Wire::push("friendDeleted", QJsonObject{{QStringLiteral("userID"), other}}));
    m_hub.push({other}, Wire::push("friendDeleted", QJsonObject{{QStringLiteral("userID"), caller.userID}}));
    return QJsonObject{};
}

QJsonValue Operations::addBlack(const Caller &caller, const QJsonObject &data)
{
    const Args args(data);
    const QString other = args.text("userID", kMaxId);
    const QString ex = args.text("ex", 1000, false);
    if (other == caller.userID)
        refuse(kNotAllowed, QStringLiteral("you cannot block yourself"));
    if (!m_hub.context().store.userById(other))
        refuse(kNotFound, QStringLiteral("no such user"));
    m_hub.context().store.addBlock(caller.userID, other, ex, m_hub.context().now());
    m_hub.forgetBlocks(caller.userID);
    m_hub.push({caller.userID}, Wire::push("blackAdded", QJsonObject{{QStringLiteral("userID"), other}}), caller.session);
    return QJsonObject{};
}

// ---- groups and users

QJsonValue Operations::groups(const Caller &caller, const QJsonObject &)
{
    QJsonArray out;
    for (const Storage::Group &g : m_hub.context().store.groupsOf(caller.userID))
        out.append(Wire::group(g));
    return out;
}

QJsonValue Operations::usersInfo(const Caller &, const QJsonObject &data)
{
    const QStringList ids = Args(data).textList("userIDs", 1000, kMaxId);
    const QHash<QString, Storage::User> users = m_hub.context().store.usersByIds(ids);
    QJsonArray out;
    QSet<QString> seen;
    for (const QString &id : ids) {
        const auto it = users.constFind(id);
        if (it != users.constEnd() && !seen.contains(id)) {
            seen.insert(id);
            out.append(Wire::user(*it));
        }
    }
    return out;
}

QJsonValue Operations::selfInfo(const Caller &caller, const QJsonObject &)
{
    const std::optional<Storage::User> u = m_hub.context().store.userById(caller.userID);
    if (!u)
        refuse(kNotFound, QStringLiteral("no such user"));
    return Wire::user(*u);
}

QJsonValue Operations::setSelfInfo(const Caller &caller, const QJsonObject &data)
{
    const Args args(data);
    std::optional<QString> nickname, faceURL;
    if (args.has("nickname")) {
        nickname = args.text("nickname", 256).trimmed();
        if (nickname->isEmpty() || nickname->size() > 64)
            refuse(kMalformed, QStringLiteral("setSelfInfo: nickname must have 1 to 64 characters"));
    }
    if (args.has("faceURL")) {
        faceURL = args.text("faceURL", 2048);
        const QUrl url(*faceURL, QUrl::StrictMode);
        if (!faceURL->isEmpty() && (!url.isValid() || url.scheme() != QLatin1String("https") || url.host().isEmpty()))
            refuse(kMalformed, QStringLiteral("setSelfInfo: faceURL must be an https URL or empty"));
    }
    m_hub.context().store.updateProfile(caller.userID, nickname, faceURL);
    return selfInfo(caller, data);
}

} // namespace Gateway
