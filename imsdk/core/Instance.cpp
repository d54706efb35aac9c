#include "core/Instance.h"

#include "base/HandOver.h"
#include "base/Json.h"
#include "core/Codes.h"
#include "core/Log.h"
#include "core/MessageFactory.h"
#include "core/Session.h"

#include <QDir>
#include <QJsonDocument>
#include <QThread>

#include <openssl/crypto.h>

namespace ImSdk {

namespace {

std::optional<QJsonObject> parseObject(const QByteArray &json)
{
    const QJsonDocument doc = QJsonDocument::fromJson(json);
    if (!doc.isObject())
        return std::nullopt;
    return doc.object();
}

QByteArray compactOrEmpty(const std::optional<QJsonObject> &o)
{
    return o ? Json::compact(*o) : QByteArray();
}

} // namespace

void Listeners::set(ListenerKind kind, Listener listener)
{
    std::lock_guard lock(m_mutex);
    m_listeners[size_t(kind)] = std::move(listener);
}

void Listeners::notify(ListenerKind kind, int event, const QByteArray &data)
{
    Listener listener;
    {
        std::lock_guard lock(m_mutex);
        listener = m_listeners[size_t(kind)];
    }
    if (listener)
        listener(event, data);
}

Instance::Instance() : m_log(std::make_unique<Log>()) {}

Instance::~Instance()
{
    if (!m_thread)
        return;
    // No event reaches the owner's listeners once it is tearing us down.
    for (ListenerKind kind : {ListenerKind::Connection, ListenerKind::Conversation, ListenerKind::Message, ListenerKind::Friend,
                              ListenerKind::Group, ListenerKind::User})
        m_listeners.set(kind, {});
    Session *session = m_session;
    const HandOver::Token teardown;
    QMetaObject::invokeMethod(m_anchor, teardown.wrap([session] { delete session; }), Qt::BlockingQueuedConnection);
    QMetaObject::invokeMethod(m_anchor, teardown.wrap([anchor = m_anchor] {
        delete anchor;
        // OpenSSL would free this thread's state from a key destructor only after wait() below
        // has returned, racing with its own exit handler when we are torn down at exit.
        OPENSSL_thread_stop();
    }), Qt::BlockingQueuedConnection);
    m_thread->quit();
    m_thread->wait();
    teardown.acquire();
    delete m_thread;
}

bool Instance::init(const QByteArray &configJSON, Listener connectionListener, const Connection::Timing &timing)
{
    const std::optional<QJsonObject> o = parseObject(configJSON);
    if (!o)
        return false;
    Config config;
    config.platformID = int(Json::integer(*o, QLatin1String("platformID")));
    config.apiAddr = Json::str(*o, QLatin1String("apiAddr"));
    config.wsAddr = QUrl(Json::str(*o, QLatin1String("wsAddr")), QUrl::StrictMode);
    config.dataDir = Json::str(*o, QLatin1String("dataDir"));
    config.timing = timing;
    const QString scheme = config.wsAddr.scheme();
    if (config.apiAddr.isEmpty() || !config.wsAddr.isValid() || (scheme != QLatin1String("wss") && scheme != QLatin1String("ws")) ||
        config.dataDir.isEmpty() || !QDir().mkpath(config.dataDir))
        return false;
    while (config.apiAddr.endsWith(QLatin1Char('/')))
        config.apiAddr.chop(1);
    const qint64 level = o->value(QLatin1String("logLevel")).isDouble() ? Json::integer(*o, QLatin1String("logLevel")) : qint64(Log::Info);
    QString logDir = Json::str(*o, QLatin1String("logFilePath"));
    if (logDir.isEmpty())
        logDir = QDir(config.dataDir).filePath(QStringLiteral("log"));
    m_log->configure(logDir, int(std::clamp<qint64>(level, 0, Log::Debug)), Json::boolean(*o, QLatin1String("isLogStandardOutput")));
    m_log->write(Log::Info, QStringLiteral("init: api %1, gateway %2").arg(config.apiAddr, config.wsAddr.toString()));

    m_listeners.set(ListenerKind::Connection, std::move(connectionListener));
    {
        std::lock_guard lock(m_identityMutex);
        m_platformID = config.platformID;
    }
    if (m_thread) {
        QMetaObject::invokeMethod(m_anchor, HandOver::wrap([session = m_session, config] { session->setConfig(config); }));
        return true;
    }
    m_thread = new QThread;
    m_thread->setObjectName(QStringLiteral("imsdk"));
    m_thread->start();
    m_anchor = new QObject;
    m_anchor->moveToThread(m_thread);
    // Built on its own thread so that every timer and socket belongs there.
    const HandOver::Token started;
    QMetaObject::invokeMethod(m_anchor, started.wrap([this, config] { m_session = new Session(config, *m_log, m_listeners); }),
                              Qt::BlockingQueuedConnection);
    started.acquire();
    return true;
}

void Instance::setListener(ListenerKind kind, Listener listener)
{
    m_listeners.set(kind, std::move(listener));
}

void Instance::post(std::function<void(Session &)> work, const Callback &cb)
{
    if (!m_thread) {
        if (cb)
            cb(kNotSignedIn, QStringLiteral("init_sdk has not been called"), {});
        return;
    }
    QMetaObject::invokeMethod(m_anchor, HandOver::wrap([session = m_session, work = std::move(work)] { work(*session); }));
}

std::pair<QString, int> Instance::identity() const
{
    std::lock_guard lock(m_identityMutex);
    return {m_userID, m_platformID};
}

void Instance::login(const QString &userID, const QString &token, Callback cb)
{
    {
        std::lock_guard lock(m_identityMutex);
        m_userID = userID;
    }
    post([=](Session &s) { s.login(userID, token, cb); }, cb);
}

void Instance::logout(Callback cb)
{
    post([=](Session &s) { s.logout(cb); }, cb);
}

void Instance::conversations(Callback cb)
{
    post([=](Session &s) { s.conversations(cb); }, cb);
}

void Instance::history(const QByteArray &optionsJSON, Callback cb)
{
    post([=](Session &s) { s.history(optionsJSON, cb); }, cb);
}

void Instance::send(const QByteArray &messageJSON, const QString &recvID, const QString &groupID, const QByteArray &offlinePushInfo,
                    SendCallback cb)
{
    const Callback failed = [cb](int code, const QString &msg, const QByteArray &data) { cb(code, msg, data, 0); };
    post([=](Session &s) { s.send(messageJSON, recvID, groupID, offlinePushInfo, cb); }, failed);
}

QByteArray Instance::createText(const QString &text) const
{
    const auto [user, platform] = identity();
    return Json::compact(MessageFactory(user, platform).text(text));
}

QByteArray Instance::createImage(const QString &path) const
{
    const auto [user, platform] = identity();
    return Json::compact(MessageFactory(user, platform).image(path));
}

QByteArray Instance::createFile(const QString &path, const QString &fileName) const
{
    const auto [user, platform] = identity();
    return Json::compact(MessageFactory(user, platform).file(path, fileName));
}

QByteArray Instance::createSound(const QString &path, qint64 durationSeconds) const
{
    const auto [user, platform] = identity();
    return Json::compact(MessageFactory(user, platform).sound(path, durationSeconds));
}

QByteArray Instance::createQuote(const QString &text, const QByteArray &quotedJSON) const
{
    const auto [user, platform] = identity();
    return compactOrEmpty(MessageFactory(user, platform).quote(text, quotedJSON));
}

QByteArray Instance::createForward(const QByteArray &messageJSON) const
{
    const auto [user, platform] = identity();
    return compactOrEmpty(MessageFactory(user, platform).forward(messageJSON));
}

QByteArray Instance::createCustom(const QString &data, const QString &extension, const QString &description) const
{
    const auto [user, platform] = identity();
    return Json::compact(MessageFactory(user, platform).custom(data, extension, description));
}

void Instance::revoke(const QString &conversationID, const QString &clientMsgID, Callback cb)
{
    post([=](Session &s) { s.revoke(conversationID, clientMsgID, cb); }, cb);
}

void Instance::deleteMessage(const QString &conversationID, const QString &clientMsgID, Callback cb)
{
    post([=](Session &s) { s.deleteMessage(conversationID, clientMsgID, cb); }, cb);
}

void Instance::markRead(const QString &conversationID, Callback cb)
{
    post([=](Session &s) { s.markRead(conversationID, cb); }, cb);
}

void Instance::typing(const QString &recvID, const QString &msgTip, Callback cb)
{
    const QJsonObject data{{QStringLiteral("recvID"), recvID}, {QStringLiteral("msgTip"), msgTip}};
    post([=](Session &s) { s.forward(QStringLiteral("typing"), data, cb); }, cb);
}

void Instance::setConversation(const QString &conversationID, const QByteArray &reqJSON, Callback cb)
{
    post([=](Session &s) { s.setConversation(conversationID, reqJSON, cb); }, cb);
}

void Instance::hideConversation(const QString &conversationID, Callback cb)
{
    post([=](Session &s) { s.hideConversation(conversationID, cb); }, cb);
}

void Instance::friends(bool filterBlack, Callback cb)
{
    const QJsonObject data{{QStringLiteral("filterBlack"), filterBlack}};
    post([=](Session &s) { s.forward(QStringLiteral("friends"), data, cb); }, cb);
}

void Instance::friendRequests(const QByteArray &reqJSON, Callback cb)
{
    std::optional<QJsonObject> data = parseObject(reqJSON);
    if (reqJSON.trimmed().isEmpty())
        data = QJsonObject();
    if (data) {
        const qint64 offset = data->value(QLatin1String("offset")).isDouble() ? Json::integer(*data, QLatin1String("offset")) : 0;
        const qint64 count = data->value(QLatin1String("count")).isDouble() ? Json::integer(*data, QLatin1String("count")) : 100;
        data = QJsonObject{{QStringLiteral("offset"), offset}, {QStringLiteral("count"), count}};
    }
    post([=](Session &s) { s.forward(QStringLiteral("friendRequests"), data, cb); }, cb);
}

namespace {
// {toUserID, <textKey>} from the caller's JSON; none when toUserID is missing.
std::optional<QJsonObject> friendArgs(const QByteArray &reqJSON, QLatin1StringView textKey)
{
    const std::optional<QJsonObject> req = parseObject(reqJSON);
    if (!req || Json::str(*req, QLatin1String("toUserID")).isEmpty())
        return std::nullopt;
    return QJsonObject{{QStringLiteral("toUserID"), Json::str(*req, QLatin1String("toUserID"))},
                       {QString(textKey), Json::str(*req, textKey)}};
}
} // namespace

void Instance::acceptFriend(const QByteArray &reqJSON, Callback cb)
{
    const std::optional<QJsonObject> data = friendArgs(reqJSON, QLatin1String("handleMsg"));
    post([=](Session &s) { s.forward(QStringLiteral("acceptFriend"), data, cb); }, cb);
}

void Instance::refuseFriend(const QByteArray &reqJSON, Callback cb)
{
    const std::optional<QJsonObject> data = friendArgs(reqJSON, QLatin1String("handleMsg"));
    post([=](Session &s) { s.forward(QStringLiteral("refuseFriend"), data, cb); }, cb);
}

void Instance::addFriend(const QByteArray &reqJSON, Callback cb)
{
    const std::optional<QJsonObject> data = friendArgs(reqJSON, QLatin1String("reqMsg"));
    post([=](Session &s) { s.forward(QStringLiteral("addFriend"), data, cb); }, cb);
}

void Instance::deleteFriend(const QString &userID, Callback cb)
{
    std::optional<QJsonObject> data;
    if (!userID.isEmpty())
        data = QJsonObject{{QStringLiteral("userID"), userID}};
    post([=](Session &s) { s.forward(QStringLiteral("deleteFriend"), data, cb); }, cb);
}

void Instance::addBlack(const QString &userID, const QString &ex, Callback cb)
{
    std::optional<QJsonObject> data;
    if (!userID.isEmpty())
        data = QJsonObject{{QStringLiteral("userID"), userID}, {QStringLiteral("ex"), ex}};
    post([=](Session &s) { s.forward(QStringLiteral("addBlack"), data, cb); }, cb);
}

void Instance::groups(Callback cb)
{
    post([=](Session &s) { s.forward(QStringLiteral("groups"), QJsonObject(), cb); }, cb);
}

void Instance::usersInfo(const QByteArray &userIDsJSON, Callback cb)
{
    const QJsonDocument doc = QJsonDocument::fromJson(userIDsJSON);
    std::optional<QJsonObject> data;
    if (doc.isArray() && std::all_of(doc.array().begin(), doc.array().end(), [](const QJsonValue &v) { return v.isString(); }))
        data = QJsonObject{{QStringLiteral("userIDs"), doc.array()}};
    post([=](Session &s) { s.forward(QStringLiteral("usersInfo"), data, cb); }, cb);
}

void Instance::selfInfo(Callback cb)
{
    post([=](Session &s) { s.forward(QStringLiteral("selfInfo"), QJsonObject(), cb); }, cb);
}

void Instance::setSelfInfo(const QByteArray &userInfoJSON, Callback cb)
{
    const std::optional<QJsonObject> req = parseObject(userInfoJSON);
    std::optional<QJsonObject> data;
    if (req) {
        data = QJsonObject();
        for (const char *key : {"nickname", "faceURL"})
            if (req->value(QLatin1String(key)).isString())
                data->insert(QLatin1String(key), req->value(QLatin1String(key)));
        if (data->isEmpty())
            data.reset();
    }
    post([=](Session &s) { s.forward(QStringLiteral("setSelfInfo"), data, cb); }, cb);
}

} // namespace ImSdk
