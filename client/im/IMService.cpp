#include "im/IMService.h"

#include "base/Error.h"
#include "base/HandOver.h"
#include "base/Json.h"
#include "base/Profile.h"
#include "base/ServiceConfig.h"

#include <QDebug>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPointer>
#include <QStandardPaths>
#include <QUuid>
#include <QtConcurrent/QtConcurrentRun>
#include <qcoro/qcorofuture.h>

#include <algorithm>
#include <atomic>
#include <string>

namespace {

// The instance whose SDK is initialised: the C listeners and ml_im_* have no context of their own.
std::atomic<IMService *> g_listenerTarget{nullptr};
std::atomic<const ImSdkApi *> g_api{nullptr};

const QString kInitFailed = QStringLiteral("SDK 初始化失败");

// A mutable NUL-terminated copy for the C interface; the SDK copies what it keeps.
std::string c(const QString &s)
{
    return s.toStdString();
}

QByteArray bytes(const char *s)
{
    return s ? QByteArray(s) : QByteArray();
}

Error imError(const SdkAnswer &a, const QString &fallback = {})
{
    return Error(QStringLiteral("IM"), a.errCode, a.errMsg.isEmpty() && !fallback.isEmpty() ? fallback : a.errMsg);
}

// One ordinary SDK call; without an initialised SDK it answers -1 at once.
template <typename F>
auto call(const ImSdkApi *api, F body)
{
    auto start = [api, body](CB_S_I_S_S cb, char *op) { body(*api, cb, op); };
    return sdkCall(start, api ? std::nullopt : std::optional<SdkAnswer>(SdkAnswer{-1, kInitFailed, {}, 0}));
}

// An ordinary call whose non-zero errCode becomes an IM error.
template <typename F>
QCoro::Task<void> callOrThrow(const ImSdkApi *api, F body)
{
    const SdkAnswer a = co_await call(api, body);
    if (a.errCode != 0)
        throw imError(a);
}

// Large answers (thousands of conversations, long history pages) are parsed on the thread pool
// so the main thread keeps drawing.
template <typename Parse>
QCoro::Task<std::invoke_result_t<Parse, QByteArray>> parseOffMain(QByteArray data, Parse parse)
{
    constexpr qsizetype kInlineLimit = 64 * 1024;
    if (data.size() < kInlineLimit)
        co_return parse(data);
    co_return co_await QtConcurrent::run(parse, data);
}

// A list-returning call: errors and anything but an array of objects give an empty list.
template <typename F>
QCoro::Task<QList<QJsonObject>> callList(const ImSdkApi *api, F body)
{
    const SdkAnswer a = co_await call(api, body);
    if (a.errCode != 0)
        co_return QList<QJsonObject>();
    co_return co_await parseOffMain(a.data, &Json::parseObjectArray);
}

// A history page is a bare array or an object whose "messageList" is one.
QList<QJsonObject> parseHistory(const QByteArray &data)
{
    const QJsonDocument doc = QJsonDocument::fromJson(data);
    bool ok = false;
    if (doc.isObject()) {
        QList<QJsonObject> list = Json::objectList(doc.object().value(QLatin1String("messageList")), &ok);
        if (ok)
            return list;
    }
    return doc.isArray() ? Json::objectList(doc.array()) : QList<QJsonObject>();
}

extern "C" void mlConnListener(int event, char *)
{
    if (IMService *s = g_listenerTarget.load())
        s->onConnEvent(event);
}

extern "C" void mlConversationListener(int event, char *data)
{
    if (IMService *s = g_listenerTarget.load())
        s->onConversationEvent(event, bytes(data));
}

extern "C" void mlAdvancedMsgListener(int event, char *data)
{
    if (IMService *s = g_listenerTarget.load())
        s->onMessageEvent(event, bytes(data));
}

// Registered so the SDK has somewhere to deliver; the client uses none of these events.
extern "C" void mlGroupListener(int, char *) {}
extern "C" void mlUserListener(int, char *) {}
extern "C" void mlFriendListener(int, char *) {}

} // namespace

extern "C" void ml_im_login(CB_S_I_S_S cb, char *operationID, char *userID, char *token)
{
    if (const ImSdkApi *api = g_api.load())
        api->login(cb, operationID, userID, token);
}

extern "C" void ml_im_logout(CB_S_I_S_S cb, char *operationID)
{
    if (const ImSdkApi *api = g_api.load())
        api->logout(cb, operationID);
}

IMService &IMService::shared()
{
    static IMService *instance = new IMService;
    return *instance;
}

IMService::IMService(QString libraryPath, QObject *parent)
    : QObject(parent), m_libraryPath(std::move(libraryPath))
{
    qRegisterMetaType<InputStateEvent>();
    qRegisterMetaType<ConnState>();
    qRegisterMetaType<QList<QJsonObject>>();
}

IMService::~IMService()
{
    IMService *self = this;
    g_listenerTarget.compare_exchange_strong(self, nullptr);
}

QString IMService::defaultDataDir()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation))
        .filePath(Profile::imDataSubdir());
}

QByteArray IMService::configJSON(const QString &dataDir, const QString &logDir)
{
    const ServiceConfig &cfg = ServiceConfig::current();
    QJsonObject o{
        {QStringLiteral("platformID"), 4},
        {QStringLiteral("apiAddr"), cfg.imApiBase()},
        {QStringLiteral("wsAddr"), cfg.gatewayUrl()},
        {QStringLiteral("dataDir"), dataDir},
        {QStringLiteral("logLevel"), 3},
        {QStringLiteral("isLogStandardOutput"), false},
        {QStringLiteral("logFilePath"), logDir},
    };
    return Json::compact(o);
}

bool IMService::setup(const QString &dataDir)
{
    if (m_ready)
        return true;
    const QString dir = dataDir.isEmpty() ? defaultDataDir() : dataDir;
    QDir().mkpath(dir);
    const QString logDir = QDir(dir).filePath(QStringLiteral("log"));
    QDir().mkpath(logDir);
    const QByteArray config = configJSON(dir, logDir);
    if (config.isEmpty())
        return false;

    if (!m_api) {
        const QString path = m_libraryPath.isEmpty() ? ImSdkLibrary::defaultPath() : m_libraryPath;
        m_api = ImSdkLibrary::load(path, &m_setupError);
        if (!m_api) {
            qWarning().noquote() << "IM SDK unavailable:" << m_setupError;
            return false;
        }
    }

    std::string operationID = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toStdString();
    std::string configText = config.toStdString();
    // Connection events may arrive while init_sdk runs.
    IMService *previous = g_listenerTarget.exchange(this);
    if (m_api->init_sdk(&mlConnListener, operationID.data(), configText.data()) == 0) {
        g_listenerTarget.store(previous);
        m_setupError = QStringLiteral("init_sdk failed");
        qWarning().noquote() << "IM SDK init_sdk failed";
        return false;
    }
    g_api.store(&*m_api);
    m_api->set_group_listener(&mlGroupListener);
    m_api->set_conversation_listener(&mlConversationListener);
    m_api->set_advanced_msg_listener(&mlAdvancedMsgListener);
    m_api->set_user_listener(&mlUserListener);
    m_api->set_friend_listener(&mlFriendListener);
    m_ready = true;
    m_setupError.clear();
    return true;
}

void IMService::setConnState(ConnState state)
{
    if (m_connState == state)
        return;
    m_connState = state;
    emit connStateChanged(state);
}

void IMService::onConnEvent(int event)
{
    ConnState state;
    switch (event) {
    case 0: state = ConnState::connecting; break;
    case 1: state = ConnState::connected; break;
    case 2: state = ConnState::failed; break;
    case 3: state = ConnState::kicked; break;
    case 4:
    case 57: state = ConnState::tokenExpired; break;
    default: return;
    }
    QMetaObject::invokeMethod(this, HandOver::wrap([this, state] { setConnState(state); }), Qt::QueuedConnection);
}

template <typename F>
void IMService::onOwnThread(F f)
{
    QMetaObject::invokeMethod(this, HandOver::wrap(std::move(f)), Qt::QueuedConnection);
}

void IMService::onConversationEvent(int event, const QByteArray &data)
{
    if (event == 29 || event == 30) {
        onOwnThread([this, changes = Json::parseObjectArray(data)] { emit conversationChanges(changes); });
    } else if (event == 55) {
        const QJsonObject o = Json::parseObject(data);
        InputStateEvent e;
        e.conversationID = Json::str(o, QLatin1String("conversationID"));
        e.userID = Json::str(o, QLatin1String("userID"));
        const QJsonArray ids = Json::arr(o, QLatin1String("platformIDs"));
        e.typing = !ids.isEmpty() && std::all_of(ids.begin(), ids.end(), [](const QJsonValue &v) { return Json::isInteger(v); });
        onOwnThread([this, e] { emit inputStates(e); });
    }
}

void IMService::onMessageEvent(int event, const QByteArray &data)
{
    if (event == 32 || event == 39 || event == 56)
        onOwnThread([this, message = Json::parseObject(data)] { emit newMessages(message); });
    else if (event == 35)
        onOwnThread([this, message = Json::parseObject(data)] { emit revoked(message); });
}

// ---- primitives ----

QString IMService::create(const std::function<char *(const ImSdkApi &, char *)> &fn)
{
    if (!m_ready)
        return {};
    std::string op = newOperationID().toStdString();
    char *out = fn(*m_api, op.data());
    if (!out)
        return {};
    QString text = QString::fromUtf8(out);
    free(out);
    return text;
}

// ---- session ----

QCoro::Task<void> IMService::login(QString userID, QString token)
{
    if (!m_ready && !setup())
        throw Error(QStringLiteral("IM"), -1, kInitFailed);
    QPointer<IMService> self(this);
    std::string u = c(userID), t = c(token);
    const SdkAnswer a = co_await sdkCall([&](CB_S_I_S_S cb, char *op) { ml_im_login(cb, op, u.data(), t.data()); });
    if (a.errCode != 0)
        throw imError(a, QStringLiteral("登录失败"));
    // A connection event may already have moved the state on; keep it then.
    if (self && m_connState == ConnState::idle)
        setConnState(ConnState::connected);
}

QCoro::Task<void> IMService::logout()
{
    if (!m_ready)
        co_return;
    QPointer<IMService> self(this);
    co_await sdkCall([](CB_S_I_S_S cb, char *op) { ml_im_logout(cb, op); });
    if (self)
        setConnState(ConnState::idle);
}

// ---- conversations and messages ----

QCoro::Task<QList<QJsonObject>> IMService::conversations()
{
    return callList(api(), [](const ImSdkApi &api, CB_S_I_S_S cb, char *op) { api.get_all_conversation_list(cb, op); });
}

QCoro::Task<QList<QJsonObject>> IMService::history(QString conversationID, int count, QString startClientMsgID)
{
    std::string options = Json::compact(QJsonObject{
        {QStringLiteral("conversationID"), conversationID},
        {QStringLiteral("count"), count},
        {QStringLiteral("startClientMsgID"), startClientMsgID},
    }).toStdString();
    const SdkAnswer a = co_await call(api(), [&](const ImSdkApi &api, CB_S_I_S_S cb, char *op) {
        api.get_advanced_history_message_list(cb, op, options.data());
    });
    if (a.errCode != 0)
        co_return QList<QJsonObject>();
    co_return co_await parseOffMain(a.data, &parseHistory);
}

QCoro::Task<QJsonObject> IMService::send(QString messageJSON, QString recvID, QString groupID)
{
    const ImSdkApi *sdk = api();
    std::string msg = c(messageJSON), recv = c(recvID), group = c(groupID), push = kOfflinePushInfo;
    const SdkAnswer a = co_await sdkSendCall(
        [&](CB_S_I_S_S_I cb, char *op) { sdk->send_message(cb, op, msg.data(), recv.data(), group.data(), push.data(), 0); },
        sdk ? std::nullopt : std::optional<SdkAnswer>(SdkAnswer{-1, kInitFailed, {}, 0}));
    if (a.errCode != 0)
        throw imError(a, QStringLiteral("发送失败"));
    co_return Json::parseObject(a.data);
}

QString IMService::createText(const QString &text)
{
    std::string t = c(text);
    return create([&](const ImSdkApi &api, char *op) { return api.create_text_message(op, t.data()); });
}

QString IMService::createImage(const QString &path)
{
    std::string p = c(path);
    return create([&](const ImSdkApi &api, char *op) { return api.create_image_message_from_full_path(op, p.data()); });
}

QString IMService::createFile(const QString &path, const QString &name)
{
    std::string p = c(path), n = c(name);
    return create([&](const ImSdkApi &api, char *op) { return api.create_file_message_from_full_path(op, p.data(), n.data()); });
}

QString IMService::createSound(const QString &path, qint64 durationSeconds)
{
    std::string p = c(path);
    return create([&](const ImSdkApi &api, char *op) {
        return api.create_sound_message_from_full_path(op, p.data(), static_cast<long long>(durationSeconds));
    });
}

QString IMService::createQuote(const QString &text, const QString &quotedJSON)
{
    std::string t = c(text), q = c(quotedJSON);
    return create([&](const ImSdkApi &api, char *op) { return api.create_quote_message(op, t.data(), q.data()); });
}

QString IMService::createForward(const QString &messageJSON)
{
    std::string m = c(messageJSON);
    return create([&](const ImSdkApi &api, char *op) { return api.create_forward_message(op, m.data()); });
}

QString IMService::createCustom(const QString &data, const QString &description)
{
    std::string d = c(data), e, desc = c(description);
    return create([&](const ImSdkApi &api, char *op) { return api.create_custom_message(op, d.data(), e.data(), desc.data()); });
}

QCoro::Task<void> IMService::revoke(QString conversationID, QString clientMsgID)
{
    std::string conv = c(conversationID), id = c(clientMsgID);
    co_await callOrThrow(api(), [&](const ImSdkApi &api, CB_S_I_S_S cb, char *op) { api.revoke_message(cb, op, conv.data(), id.data()); });
}

QCoro::Task<void> IMService::deleteMessage(QString conversationID, QString clientMsgID)
{
    std::string conv = c(conversationID), id = c(clientMsgID);
    co_await callOrThrow(api(), [&](const ImSdkApi &api, CB_S_I_S_S cb, char *op) { api.delete_message(cb, op, conv.data(), id.data()); });
}

void IMService::markRead(const QString &conversationID)
{
    [](IMService *self, std::string conv) -> QCoro::Task<void> {
        co_await call(self->api(), [&](const ImSdkApi &api, CB_S_I_S_S cb, char *op) {
            api.mark_conversation_message_as_read(cb, op, conv.data());
        });
    }(this, c(conversationID));
}

void IMService::typing(const QString &recvID, const QString &tip)
{
    [](IMService *self, std::string recv, std::string msgTip) -> QCoro::Task<void> {
        co_await call(self->api(), [&](const ImSdkApi &api, CB_S_I_S_S cb, char *op) {
            api.typing_status_update(cb, op, recv.data(), msgTip.data());
        });
    }(this, c(recvID), c(tip));
}

QCoro::Task<void> IMService::setPinned(QString conversationID, bool pinned)
{
    std::string conv = c(conversationID);
    std::string req = pinned ? R"({"isPinned":true})" : R"({"isPinned":false})";
    co_await call(api(), [&](const ImSdkApi &api, CB_S_I_S_S cb, char *op) { api.set_conversation(cb, op, conv.data(), req.data()); });
}

QCoro::Task<void> IMService::setMuted(QString conversationID, bool muted)
{
    std::string conv = c(conversationID);
    std::string req = muted ? R"({"recvMsgOpt":2})" : R"({"recvMsgOpt":0})";
    co_await call(api(), [&](const ImSdkApi &api, CB_S_I_S_S cb, char *op) { api.set_conversation(cb, op, conv.data(), req.data()); });
}

QCoro::Task<void> IMService::hideConversation(QString conversationID)
{
    std::string conv = c(conversationID);
    co_await call(api(), [&](const ImSdkApi &api, CB_S_I_S_S cb, char *op) { api.hide_conversation(cb, op, conv.data()); });
}

// ---- friends, groups, users ----

QCoro::Task<QList<QJsonObject>> IMService::friendList()
{
    return callList(api(), [](const ImSdkApi &api, CB_S_I_S_S cb, char *op) { api.get_friend_list(cb, op, 0); });
}

QCoro::Task<QList<QJsonObject>> IMService::friendApplications()
{
    return callList(api(), [](const ImSdkApi &api, CB_S_I_S_S cb, char *op) {
        std::string req = R"({"offset":0,"count":100})";
        api.get_friend_application_list_as_recipient(cb, op, req.data());
    });
}

QCoro::Task<void> IMService::acceptFriend(QString userID)
{
    std::string req = Json::compact(QJsonObject{{QStringLiteral("toUserID"), userID}, {QStringLiteral("handleMsg"), QString()}}).toStdString();
    co_await callOrThrow(api(), [&](const ImSdkApi &api, CB_S_I_S_S cb, char *op) { api.accept_friend_application(cb, op, req.data()); });
}

QCoro::Task<void> IMService::refuseFriend(QString userID)
{
    std::string req = Json::compact(QJsonObject{{QStringLiteral("toUserID"), userID}, {QStringLiteral("handleMsg"), QString()}}).toStdString();
    co_await callOrThrow(api(), [&](const ImSdkApi &api, CB_S_I_S_S cb, char *op) { api.refuse_friend_application(cb, op, req.data()); });
}

QCoro::Task<void> IMService::addFriend(QString userID, QString reqMsg)
{
    std::string req = Json::compact(QJsonObject{{QStringLiteral("toUserID"), userID}, {QStringLiteral("reqMsg"), reqMsg}}).toStdString();
    co_await callOrThrow(api(), [&](const ImSdkApi &api, CB_S_I_S_S cb, char *op) { api.add_friend(cb, op, req.data()); });
}

QCoro::Task<void> IMService::deleteFriend(QString userID)
{
    std::string id = c(userID);
    co_await callOrThrow(api(), [&](const ImSdkApi &api, CB_S_I_S_S cb, char *op) { api.delete_friend(cb, op, id.data()); });
}

QCoro::Task<void> IMService::addBlack(QString userID)
{
    std::string id = c(userID), ex;
    co_await callOrThrow(api(), [&](const ImSdkApi &api, CB_S_I_S_S cb, char *op) { api.add_black(cb, op, id.data(), ex.data()); });
}

QCoro::Task<QList<QJsonObject>> IMService::joinedGroups()
{
    return callList(api(), [](const ImSdkApi &api, CB_S_I_S_S cb, char *op) { api.get_joined_group_list(cb, op); });
}

QCoro::Task<QList<QJsonObject>> IMService::usersInfo(QStringList userIDs)
{
    std::string ids = Json::compact(QJsonArray::fromStringList(userIDs)).toStdString();
    co_return co_await callList(api(), [&ids](const ImSdkApi &api, CB_S_I_S_S cb, char *op) {
        api.get_users_info(cb, op, ids.data());
    });
}

QCoro::Task<QJsonObject> IMService::selfInfo()
{
    const SdkAnswer a = co_await call(api(), [](const ImSdkApi &api, CB_S_I_S_S cb, char *op) { api.get_self_user_info(cb, op); });
    co_return a.errCode != 0 ? QJsonObject() : Json::parseObject(a.data);
}

QCoro::Task<void> IMService::setSelfInfo(QJsonObject fields)
{
    std::string info = Json::compact(fields).toStdString();
    co_await callOrThrow(api(), [&](const ImSdkApi &api, CB_S_I_S_S cb, char *op) { api.set_self_info(cb, op, info.data()); });
}
