#include "core/Session.h"

#include "base/Json.h"
#include "core/Codes.h"
#include "core/Log.h"
#include "core/MessageFactory.h"
#include "core/ObjectUploader.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QRegularExpression>

namespace ImSdk {

namespace {

constexpr int kSyncPage = 500;
constexpr size_t kMaxDeliveredAhead = 256;
constexpr int kDefaultHistoryCount = 20;

QByteArray text(const QJsonValue &v)
{
    if (v.isObject())
        return Json::compact(v.toObject());
    if (v.isArray())
        return Json::compact(v.toArray());
    if (v.isString())
        return v.toString().toUtf8();
    return {};
}

QByteArray text(const QList<QJsonObject> &list)
{
    QJsonArray a;
    for (const QJsonObject &o : list)
        a.append(o);
    return Json::compact(a);
}

// The folder of a user's cache: the user ID when it is a plain name, otherwise its digest, so
// that no ID can point outside the data directory.
QString userFolder(const QString &userID)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_@.-]{1,64}$"));
    if (plain.match(userID).hasMatch() && userID != QLatin1String(".") && userID != QLatin1String(".."))
        return userID;
    return QString::fromLatin1(QCryptographicHash::hash(userID.toUtf8(), QCryptographicHash::Sha256).toHex());
}

bool isConnectionError(int code)
{
    return code == kNotConnected || code == kConnectionLost;
}

std::optional<QJsonObject> parseArgs(const QByteArray &json)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    return doc.object();
}

// The recalled form of a message: identity and sequence kept, elements dropped.
QJsonObject recalledForm(QJsonObject message, const QJsonObject &notice)
{
    for (const QString &key : message.keys())
        if (key.endsWith(QLatin1String("Elem")))
            message.remove(key);
    message.insert(QStringLiteral("contentType"), ContentType::Recall);
    message.insert(QStringLiteral("notificationElem"), Json::obj(notice, QLatin1String("notificationElem")));
    return message;
}

QJsonObject recallDetail(const QJsonObject &message)
{
    return Json::parseObject(Json::str(Json::obj(message, QLatin1String("notificationElem")), QLatin1String("detail")).toUtf8());
}

} // namespace

Session::Session(Config config, Log &log, Listeners &listeners)
    : m_config(std::move(config)), m_log(log), m_listeners(listeners), m_connection(log, this), m_nam(new QNetworkAccessManager(this))
{
    connect(&m_connection, &Connection::stateEvent, this, [this](int event) { m_listeners.notify(ListenerKind::Connection, event, {}); });
    connect(&m_connection, &Connection::authenticated, this, &Session::onAuthenticated);
    connect(&m_connection, &Connection::firstAttemptFailed, this, &Session::onFirstAttemptFailed);
    connect(&m_connection, &Connection::push, this, &Session::onPush);
    m_connection.setTiming(m_config.timing);
}

Session::~Session()
{
    m_connection.disconnect(this);
    m_connection.stop();
    // stop() failed every call still waiting for its answer; their coroutines resume through
    // queued calls on the connection. Run those now, while this object is alive: dropped with
    // the connection they would leave their frames suspended for good.
    for (int round = 0; round < 8; ++round)
        QCoreApplication::sendPostedEvents(&m_connection, QEvent::MetaCall);
}

void Session::endSession()
{
    ++m_generation;
    m_connection.stop();
    m_cache.close();
    m_userID.clear();
    m_token.clear();
    m_syncing = false;
    m_resync = false;
    m_delivered.clear();
    if (m_pendingLogin) {
        const Callback cb = *std::exchange(m_pendingLogin, std::nullopt);
        cb(kNotSignedIn, QStringLiteral("signed out before the sign-in completed"), {});
    }
}

void Session::login(const QString &userID, const QString &token, Callback cb)
{
    if (userID.isEmpty() || token.isEmpty()) {
        cb(kBadArguments, QStringLiteral("login: userID and token are required"), {});
        return;
    }
    if (!m_config.wsAddr.isValid()) {
        cb(kNotSignedIn, QStringLiteral("init_sdk has not been called"), {});
        return;
    }
    endSession();
    m_userID = userID;
    m_token = token;
    const QString path = QDir(QDir(m_config.dataDir).filePath(userFolder(userID))).filePath(QStringLiteral("cache.db"));
    if (!m_cache.open(path))
        m_log.write(Log::Error, QStringLiteral("cache unavailable at %1; running without one").arg(path));
    if (!m_cache.setAside().isEmpty())
        m_log.write(Log::Warning, QStringLiteral("damaged cache moved to %1").arg(m_cache.setAside()));
    m_hadCache = m_cache.cursor().has_value();
    m_pendingLogin = std::move(cb);
    m_connection.start(m_config.wsAddr, userID, token, m_config.platformID);
}

void Session::logout(Callback cb)
{
    endSession();
    cb(0, {}, {});
}

void Session::onAuthenticated(const QJsonObject &authData)
{
    if (m_pendingLogin) {
        const Callback cb = *std::exchange(m_pendingLogin, std::nullopt);
        cb(0, {}, {});
    }
    syncAll(Json::integer(authData, QLatin1String("latestSeq")));
}

void Session::onFirstAttemptFailed(int errCode, const QString &errMsg)
{
    if (!m_pendingLogin)
        return;
    const Callback cb = *std::exchange(m_pendingLogin, std::nullopt);
    if (errCode == kNotConnected && m_hadCache) {
        // Offline start: the cache serves, the connection keeps retrying.
        m_log.write(Log::Info, QStringLiteral("server unreachable; starting from the cache"));
        cb(0, {}, {});
        return;
    }
    endSession();
    cb(errCode, errMsg, {});
}

QCoro::Task<void> Session::syncAll(qint64 latestSeq)
{
    if (m_syncing) {
        m_resync = true;
        m_resyncFrom = latestSeq;
        co_return;
    }
    m_syncing = true;
    const quint64 generation = m_generation;
    for (;;) {
        m_resync = false;
        const std::optional<qint64> cursor = m_cache.cursor();
        qint64 after = cursor.value_or(latestSeq);
        if (!cursor && m_cache.isOpen())
            m_cache.setCursor(latestSeq);
        for (;;) {
            const QJsonObject request{{QStringLiteral("after"), after}, {QStringLiteral("limit"), kSyncPage}};
            const Answer a = co_await m_connection.call(QStringLiteral("sync"), request);
            if (generation != m_generation)
                co_return;
            if (!a.ok()) {
                m_log.write(Log::Warning, QStringLiteral("sync failed: %1 %2").arg(a.errCode).arg(a.errMsg));
                break;
            }
            const QJsonObject page = a.data.toObject();
            const QList<QJsonObject> messages = Json::objectList(page.value(QLatin1String("messages")));
            m_cache.begin();
            for (const QJsonObject &m : messages)
                if (!m_delivered.contains(Json::integer(m, QLatin1String("globalSeq"))))
                    ingest(m, false);
            const qint64 latest = Json::integer(page, QLatin1String("latest"));
            if (latest > after) {
                after = latest;
                m_cache.setCursor(after);
            }
            m_cache.commit();
            if (!Json::boolean(page, QLatin1String("more")) || messages.isEmpty())
                break;
        }
        co_await refreshConversations(true);
        if (generation != m_generation)
            co_return;
        if (!m_resync)
            break;
        latestSeq = m_resyncFrom;
    }
    m_syncing = false;
    advanceCursor();
}

void Session::advanceCursor()
{
    if (m_syncing || !m_cache.isOpen())
        return; // the running sync moves it when done
    const std::optional<qint64> stored = m_cache.cursor();
    if (!stored)
        return;
    qint64 cursor = *stored;
    while (!m_delivered.empty() && *m_delivered.begin() <= cursor + 1) {
        cursor = std::max(cursor, *m_delivered.begin());
        m_delivered.erase(m_delivered.begin());
    }
    if (cursor != *stored)
        m_cache.setCursor(cursor);
}

QCoro::Task<std::optional<QList<QJsonObject>>> Session::refreshConversations(bool report)
{
    const quint64 generation = m_generation;
    const QJsonObject none;
    const Answer a = co_await m_connection.call(QStringLiteral("conversations"), none);
    if (generation != m_generation || !a.ok() || !a.data.isArray())
        co_return std::nullopt;
    const QList<QJsonObject> list = Json::objectList(a.data);
    QList<QJsonObject> added, changed;
    QStringList hidden = m_cache.conversationIDs();
    m_cache.begin();
    for (const QJsonObject &c : list) {
        const QString id = Json::str(c, QLatin1String("conversationID"));
        hidden.removeAll(id);
        const std::optional<QJsonObject> old = m_cache.conversation(id);
        if (!old)
            added.append(c);
        else if (*old != c)
            changed.append(c);
        m_cache.putConversation(c);
    }
    for (const QString &id : hidden)
        m_cache.setHidden(id, true);
    m_cache.commit();
    if (report && !added.isEmpty())
        m_listeners.notify(ListenerKind::Conversation, Event::NewConversation, text(added));
    if (report && !changed.isEmpty())
        m_listeners.notify(ListenerKind::Conversation, Event::ConversationChanged, text(changed));
    co_return list;
}

void Session::ingest(const QJsonObject &message, bool live)
{
    if (Json::integer(message, QLatin1String("contentType")) == ContentType::Recall) {
        const QJsonObject detail = recallDetail(message);
        if (Json::str(detail, QLatin1String("clientMsgID")) == Json::str(message, QLatin1String("clientMsgID"))) {
            m_cache.putMessage(message); // the recalled message itself; its notice reports it
            return;
        }
        applyRecall(message);
        QJsonObject event = detail;
        event.insert(QStringLiteral("conversationID"), Json::str(message, QLatin1String("conversationID")));
        m_listeners.notify(ListenerKind::Message, Event::Recalled, Json::compact(event));
        return;
    }
    const bool fresh = m_cache.isOpen() ? m_cache.putMessage(message) : true;
    if (!fresh)
        return;
    m_listeners.notify(ListenerKind::Message, Event::NewMessage, Json::compact(message));
    if (live)
        touchConversation(message);
}

void Session::applyRecall(const QJsonObject &notice)
{
    // Only the message of the notice's sender in the notice's conversation is recalled, whatever
    // else carries the same ID.
    const QString recalledID = Json::str(recallDetail(notice), QLatin1String("clientMsgID"));
    const QString conversationID = Json::str(notice, QLatin1String("conversationID"));
    const QString revokerID = Json::str(notice, QLatin1String("sendID"));
    const auto isTarget = [&](const QJsonObject &m) {
        return !recalledID.isEmpty() && Json::str(m, QLatin1String("clientMsgID")) == recalledID
            && Json::str(m, QLatin1String("sendID")) == revokerID;
    };
    if (const std::optional<QJsonObject> old = m_cache.message(conversationID, recalledID); old && isTarget(*old))
        m_cache.putMessage(recalledForm(*old, notice));
    std::optional<QJsonObject> conversation = m_cache.conversation(conversationID);
    if (!conversation)
        return;
    const QJsonObject latest = Json::parseObject(Json::str(*conversation, QLatin1String("latestMsg")).toUtf8());
    if (isTarget(latest)) {
        conversation->insert(QStringLiteral("latestMsg"), QString::fromUtf8(Json::compact(recalledForm(latest, notice))));
        m_cache.putConversation(*conversation);
    }
}

void Session::touchConversation(const QJsonObject &message)
{
    const QString id = Json::str(message, QLatin1String("conversationID"));
    std::optional<QJsonObject> conversation = m_cache.conversation(id);
    if (!conversation) {
        // A conversation we have not seen: the server's record has the names and avatars.
        refreshConversations(true);
        return;
    }
    QJsonObject &c = *conversation;
    c.insert(QStringLiteral("latestMsg"), QString::fromUtf8(Json::compact(message)));
    c.insert(QStringLiteral("latestMsgSendTime"), Json::integer(message, QLatin1String("sendTime")));
    c.insert(QStringLiteral("maxSeq"), std::max(Json::integer(c, QLatin1String("maxSeq")), Json::integer(message, QLatin1String("seq"))));
    if (Json::str(message, QLatin1String("sendID")) != m_userID && Json::integer(message, QLatin1String("contentType")) < 1000)
        c.insert(QStringLiteral("unreadCount"), Json::integer(c, QLatin1String("unreadCount")) + 1);
    m_cache.putConversation(c);
    QJsonArray changed{c};
    m_listeners.notify(ListenerKind::Conversation, Event::ConversationChanged, Json::compact(changed));
}

void Session::onPush(const QString &name, const QJsonValue &data)
{
    if (name == QLatin1String("newMessage")) {
        const QJsonObject message = data.toObject();
        ingest(message, true);
        // Pushes from different senders may overtake each other: the cursor only moves over
        // what arrived without a gap, and the next sync fetches whatever a gap hides.
        const qint64 seq = Json::integer(message, QLatin1String("globalSeq"));
        if (seq > 0 && m_cache.isOpen()) {
            m_delivered.insert(seq);
            advanceCursor();
            // Other users' messages leave gaps that pushes never fill; a sync closes them and
            // keeps the set small.
            if (m_delivered.size() > kMaxDeliveredAhead && !m_syncing && m_connection.online())
                syncAll(m_cache.cursor().value_or(0));
        }
    } else if (name == QLatin1String("conversationChanged")) {
        const QList<QJsonObject> list = Json::objectList(data);
        for (const QJsonObject &c : list)
            m_cache.putConversation(c);
        m_listeners.notify(ListenerKind::Conversation, Event::ConversationChanged, text(list));
    } else if (name == QLatin1String("typing")) {
        m_listeners.notify(ListenerKind::Conversation, Event::Typing, text(data));
    } else if (name == QLatin1String("friendRequest")) {
        m_listeners.notify(ListenerKind::Friend, Event::FriendRequest, text(data));
    } else if (name == QLatin1String("friendAdded")) {
        m_listeners.notify(ListenerKind::Friend, Event::FriendAdded, text(data));
    } else if (name == QLatin1String("friendDeleted")) {
        m_listeners.notify(ListenerKind::Friend, Event::FriendDeleted, text(data));
    } else if (name == QLatin1String("blackAdded")) {
        m_listeners.notify(ListenerKind::Friend, Event::BlackAdded, text(data));
    } else if (name == QLatin1String("kicked")) {
        m_log.write(Log::Warning, QStringLiteral("kicked: %1").arg(QString::fromUtf8(text(data))));
    }
}

void Session::forward(const QString &op, const std::optional<QJsonObject> &data, Callback cb)
{
    if (!data) {
        cb(kBadArguments, op + QStringLiteral(": bad arguments"), {});
        return;
    }
    m_connection.request(op, *data, [cb](const Answer &a) { cb(a.errCode, a.errMsg, a.ok() ? text(a.data) : QByteArray()); });
}

void Session::conversations(Callback cb)
{
    runConversations(std::move(cb));
}

QCoro::Task<void> Session::runConversations(Callback cb)
{
    if (m_connection.online()) {
        const std::optional<QList<QJsonObject>> list = co_await refreshConversations(false);
        if (list) {
            cb(0, {}, text(*list));
            co_return;
        }
    }
    if (!m_cache.isOpen()) {
        cb(kNotConnected, QStringLiteral("not connected"), {});
        co_return;
    }
    cb(0, {}, text(m_cache.conversations()));
}

void Session::history(const QByteArray &optionsJSON, Callback cb)
{
    const std::optional<QJsonObject> options = parseArgs(optionsJSON);
    const QString conversationID = options ? Json::str(*options, QLatin1String("conversationID")) : QString();
    if (conversationID.isEmpty()) {
        cb(kBadArguments, QStringLiteral("history: conversationID is required"), {});
        return;
    }
    const qint64 count = options->value(QLatin1String("count")).isDouble() ? Json::integer(*options, QLatin1String("count")) : kDefaultHistoryCount;
    runHistory(conversationID, int(std::clamp<qint64>(count, 1, 100)), Json::str(*options, QLatin1String("startClientMsgID")), std::move(cb));
}

QCoro::Task<void> Session::runHistory(QString conversationID, int count, QString startClientMsgID, Callback cb)
{
    const quint64 generation = m_generation;
    const QJsonObject request{{QStringLiteral("conversationID"), conversationID},
                              {QStringLiteral("count"), count},
                              {QStringLiteral("startClientMsgID"), startClientMsgID}};
    const Answer a = co_await m_connection.call(QStringLiteral("history"), request);
    if (a.ok() && generation == m_generation) {
        const QList<QJsonObject> page = Json::objectList(a.data.toObject().value(QLatin1String("messageList")));
        m_cache.begin();
        for (const QJsonObject &m : page)
            m_cache.putMessage(m);
        m_cache.commit();
        cb(0, {}, text(a.data));
        co_return;
    }
    if (!isConnectionError(a.errCode) || !m_cache.isOpen()) {
        cb(a.errCode, a.errMsg, {});
        co_return;
    }
    bool isEnd = true;
    const QList<QJsonObject> page = m_cache.history(conversationID, startClientMsgID, count, &isEnd);
    QJsonArray list;
    for (const QJsonObject &m : page)
        list.append(m);
    const QJsonObject answer{{QStringLiteral("messageList"), list}, {QStringLiteral("isEnd"), isEnd}};
    cb(0, {}, Json::compact(answer));
}

void Session::send(const QByteArray &messageJSON, const QString &recvID, const QString &groupID, const QByteArray &offlinePushInfo,
                   SendCallback cb)
{
    std::optional<QJsonObject> msg = parseArgs(messageJSON);
    if (!msg || !msg->value(QLatin1String("contentType")).isDouble() || recvID.isEmpty() == groupID.isEmpty()) {
        cb(kBadArguments, QStringLiteral("send_message: a message and exactly one of recvID and groupID are required"), {}, 0);
        return;
    }
    if (!m_connection.online()) {
        cb(kNotConnected, QStringLiteral("not connected"), {}, 0);
        return;
    }
    if (Json::str(*msg, QLatin1String("clientMsgID")).isEmpty())
        msg->insert(QStringLiteral("clientMsgID"), MessageFactory::newClientMsgID());
    msg->insert(QStringLiteral("sendID"), m_userID);
    msg->insert(QStringLiteral("senderPlatformID"), m_config.platformID);
    QJsonObject data{{QStringLiteral("msg"), *msg}};
    if (!recvID.isEmpty())
        data.insert(QStringLiteral("recvID"), recvID);
    else
        data.insert(QStringLiteral("groupID"), groupID);
    if (const std::optional<QJsonObject> push = parseArgs(offlinePushInfo))
        data.insert(QStringLiteral("offlinePushInfo"), *push);
    runSend(*msg, data, std::move(cb));
}

QCoro::Task<void> Session::runSend(QJsonObject msg, QJsonObject data, SendCallback cb)
{
    const quint64 generation = m_generation;
    // The element that still needs its file stored: (element key, path member, URL members).
    struct Media {
        const char *elem;
        const char *path;
        QStringList urlPaths;
    };
    std::optional<Media> media;
    switch (Json::integer(msg, QLatin1String("contentType"))) {
    case ContentType::Picture:
        media = Media{"pictureElem", "sourcePath", {"sourcePicture", "bigPicture", "snapshotPicture"}};
        break;
    case ContentType::Sound:
        media = Media{"soundElem", "soundPath", {}};
        break;
    case ContentType::File:
        media = Media{"fileElem", "filePath", {}};
        break;
    default:
        break;
    }
    if (media) {
        QJsonObject elem = Json::obj(msg, QLatin1String(media->elem));
        const QString path = Json::str(elem, QLatin1String(media->path));
        const bool stored = media->urlPaths.isEmpty() ? !Json::str(elem, QLatin1String("sourceUrl")).isEmpty()
                                                      : !Json::str(Json::obj(elem, QLatin1String("sourcePicture")), QLatin1String("url")).isEmpty();
        if (!stored) {
            if (path.isEmpty()) {
                cb(kBadArguments, QStringLiteral("send_message: the media message has neither a file nor a URL"), {}, 0);
                co_return;
            }
            ObjectUploader uploader(*m_nam, m_config.apiAddr, m_token, m_userID);
            auto lastReported = std::make_shared<int>(0);
            ObjectUploader::Progress progress = [cb, lastReported](qint64 sent, qint64 total) {
                const int p = total > 0 ? int(std::clamp<qint64>(1 + sent * 98 / total, 1, 99)) : 1;
                if (p > *lastReported) {
                    *lastReported = p;
                    cb(0, {}, {}, p);
                }
            };
            const ObjectUploader::Result result = co_await uploader.upload(path, progress);
            if (!result.error.isEmpty()) {
                m_log.write(Log::Warning, QStringLiteral("upload of %1 failed: %2").arg(path, result.error));
                cb(kUploadFailed, QStringLiteral("upload failed: ") + result.error, {}, 0);
                co_return;
            }
            if (generation != m_generation) {
                cb(kNotConnected, QStringLiteral("signed out"), {}, 0);
                co_return;
            }
            if (media->urlPaths.isEmpty()) {
                elem.insert(QStringLiteral("sourceUrl"), result.url);
            } else {
                for (const QString &key : media->urlPaths) {
                    QJsonObject picture = elem.value(key).toObject();
                    picture.insert(QStringLiteral("url"), result.url);
                    elem.insert(key, picture);
                }
            }
            msg.insert(QLatin1String(media->elem), elem);
            data.insert(QStringLiteral("msg"), msg);
        }
    }
    const Answer a = co_await m_connection.call(QStringLiteral("sendMsg"), data);
    if (!a.ok()) {
        cb(a.errCode, a.errMsg, {}, 0);
        co_return;
    }
    const QJsonObject stored = a.data.toObject();
    if (generation == m_generation && m_cache.isOpen()) {
        m_cache.putMessage(stored);
        touchConversation(stored);
    }
    cb(0, {}, Json::compact(stored), 100);
}

void Session::revoke(const QString &conversationID, const QString &clientMsgID, Callback cb)
{
    if (conversationID.isEmpty() || clientMsgID.isEmpty()) {
        cb(kBadArguments, QStringLiteral("revoke_message: conversationID and clientMsgID are required"), {});
        return;
    }
    const QJsonObject data{{QStringLiteral("conversationID"), conversationID}, {QStringLiteral("clientMsgID"), clientMsgID}};
    const quint64 generation = m_generation;
    m_connection.request(QStringLiteral("revoke"), data, [this, cb, generation](const Answer &a) {
        if (a.ok() && generation == m_generation)
            applyRecall(a.data.toObject());
        cb(a.errCode, a.errMsg, a.ok() ? text(a.data) : QByteArray());
    });
}

void Session::deleteMessage(const QString &conversationID, const QString &clientMsgID, Callback cb)
{
    if (conversationID.isEmpty() || clientMsgID.isEmpty()) {
        cb(kBadArguments, QStringLiteral("delete_message: conversationID and clientMsgID are required"), {});
        return;
    }
    const QJsonObject data{{QStringLiteral("conversationID"), conversationID}, {QStringLiteral("clientMsgID"), clientMsgID}};
    const quint64 generation = m_generation;
    m_connection.request(QStringLiteral("deleteMessage"), data, [this, cb, generation, conversationID, clientMsgID](const Answer &a) {
        if (a.ok() && generation == m_generation)
            m_cache.removeMessage(conversationID, clientMsgID);
        cb(a.errCode, a.errMsg, a.ok() ? text(a.data) : QByteArray());
    });
}

void Session::markRead(const QString &conversationID, Callback cb)
{
    const QJsonObject data{{QStringLiteral("conversationID"), conversationID}};
    const quint64 generation = m_generation;
    m_connection.request(QStringLiteral("markRead"), data, [this, cb, generation](const Answer &a) {
        if (a.ok() && generation == m_generation)
            m_cache.putConversation(a.data.toObject());
        cb(a.errCode, a.errMsg, a.ok() ? text(a.data) : QByteArray());
    });
}

void Session::setConversation(const QString &conversationID, const QByteArray &reqJSON, Callback cb)
{
    const std::optional<QJsonObject> req = parseArgs(reqJSON);
    QJsonObject data{{QStringLiteral("conversationID"), conversationID}};
    if (req) {
        if (req->value(QLatin1String("isPinned")).isBool())
            data.insert(QStringLiteral("isPinned"), req->value(QLatin1String("isPinned")));
        if (Json::isInteger(req->value(QLatin1String("recvMsgOpt"))))
            data.insert(QStringLiteral("recvMsgOpt"), req->value(QLatin1String("recvMsgOpt")));
        if (req->value(QLatin1String("draftText")).isString())
            data.insert(QStringLiteral("draftText"), req->value(QLatin1String("draftText")));
    }
    if (conversationID.isEmpty() || data.size() < 2) {
        cb(kBadArguments, QStringLiteral("set_conversation: a conversationID and isPinned, recvMsgOpt or draftText are required"), {});
        return;
    }
    const quint64 generation = m_generation;
    m_connection.request(QStringLiteral("setConversation"), data, [this, cb, generation](const Answer &a) {
        if (a.ok() && generation == m_generation)
            m_cache.putConversation(a.data.toObject());
        cb(a.errCode, a.errMsg, a.ok() ? text(a.data) : QByteArray());
    });
}

void Session::hideConversation(const QString &conversationID, Callback cb)
{
    const QJsonObject data{{QStringLiteral("conversationID"), conversationID}};
    const quint64 generation = m_generation;
    m_connection.request(QStringLiteral("hideConversation"), data, [this, cb, generation, conversationID](const Answer &a) {
        if (a.ok() && generation == m_generation)
            m_cache.setHidden(conversationID, true);
        cb(a.errCode, a.errMsg, a.ok() ? text(a.data) : QByteArray());
    });
}

} // namespace ImSdk
