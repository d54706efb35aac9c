#include "calls/CallManager.h"

#include "base/Error.h"
#include "base/Json.h"
#include "e2e/E2E.h"
#include "im/IMService.h"
#include "im/Protocol.h"
#include "net/BridgeApi.h"

#include <QJsonDocument>
#include <QPointer>
#include <cmath>

namespace {

// "ts" read through its text form as a decimal number; anything else is 0.
qint64 timestamp(const QJsonObject &payload)
{
    bool ok = false;
    const double ts = Json::text(payload, QLatin1String("ts")).toDouble(&ok);
    return ok && std::isfinite(ts) ? static_cast<qint64>(std::trunc(ts)) : 0;
}

void applyToken(CallState &call, const BridgeApi::CallToken &token)
{
    call.roomID = token.roomID;
    call.lkToken = token.lkToken;
    call.wsUrl = token.wsUrl;
    call.iceServers = token.iceServers;
}

} // namespace

CallManager &CallManager::shared()
{
    static CallManager *manager = new CallManager(IMService::shared(), [](QString t, QString me, QString peer, QString room) {
        return E2E::shared().callKey(std::move(t), std::move(me), std::move(peer), std::move(room));
    });
    return *manager;
}

CallManager::CallManager(IMService &im, CallKey callKey, Clock &clock, QObject *parent)
    : QObject(parent), m_im(im), m_callKey(std::move(callKey)), m_clock(clock)
{
}

void CallManager::setMinimized(bool minimized)
{
    if (m_minimized != minimized) {
        m_minimized = minimized;
        emit minimizedChanged();
    }
}

void CallManager::setCall(std::optional<CallState> call)
{
    // A call that begins or ends invalidates every task of the previous one.
    if (call.has_value() != m_call.has_value())
        ++m_callSerial;
    m_call = std::move(call);
    emit callChanged();
}

void CallManager::bind(const QString &userID, const QString &imToken)
{
    m_myUserID = userID;
    m_myImToken = imToken;
    disconnect(m_sub);
    // Emitted on the SDK's threads, so delivery is queued to this (main) thread.
    m_sub = connect(&m_im, &IMService::newMessages, this, &CallManager::handleMessage);
}

// ---- signals ----

QCoro::Task<void> CallManager::sendSignal(QString recvID, QString type, QString roomID, QString callType, QString groupID,
                                          qint64 duration, bool e2ee)
{
    QJsonObject payload{
        {QStringLiteral("mireloSignal"), type},
        {QStringLiteral("roomID"), roomID},
        {QStringLiteral("callType"), callType},
        {QStringLiteral("from"), m_myUserID},
        {QStringLiteral("ts"), m_clock.nowMs()},
    };
    if (!groupID.isEmpty())
        payload.insert(QStringLiteral("groupID"), groupID);
    if (duration >= 1)
        payload.insert(QStringLiteral("duration"), duration);
    if (e2ee)
        payload.insert(QStringLiteral("e2ee"), 1);
    const QString message = m_im.createCustom(Protocol::json(payload), QLatin1String(kDescription));
    QPointer<CallManager> self(this);
    QJsonObject sent;
    try {
        // Exactly one of the two is given. (Named: g++ 12 mishandles temporaries inside co_await.)
        const bool toGroup = !groupID.isEmpty();
        const QString to = toGroup ? QString() : recvID;
        const QString group = toGroup ? groupID : QString();
        sent = co_await m_im.send(message, to, group);
    } catch (const Error &) {
        co_return; // the state machine goes on as if it had been sent
    }
    static const QSet<QString> republished{QStringLiteral("hangup"), QStringLiteral("cancel"), QStringLiteral("timeout"),
                                           QStringLiteral("reject"), QStringLiteral("busy")};
    if (self && republished.contains(type))
        m_im.publishNewMessage(sent);
}

void CallManager::fireSignal(QString recvID, QString type, QString roomID, QString callType, QString groupID,
                             qint64 duration, bool e2ee)
{
    sendSignal(std::move(recvID), std::move(type), std::move(roomID), std::move(callType), std::move(groupID), duration, e2ee);
}

void CallManager::handleMessage(const QJsonObject &message)
{
    if (!Json::isInteger(message.value(QLatin1String("contentType"))) || Json::integer(message, QLatin1String("contentType")) != 110)
        return;
    const QJsonValue data = Json::obj(message, QLatin1String("customElem")).value(QLatin1String("data"));
    if (!data.isString())
        return;
    const QJsonDocument doc = QJsonDocument::fromJson(data.toString().toUtf8());
    if (!doc.isObject())
        return;
    const QJsonObject payload = doc.object();
    QString type = Json::str(payload, QLatin1String("mireloSignal"));
    if (type.isEmpty())
        type = Json::str(payload, QLatin1String("vexoSignal"));
    if (type.isEmpty())
        return;
    const QString from = Json::str(payload, QLatin1String("from"));
    if (from == m_myUserID)
        return;
    const QString roomID = Json::str(payload, QLatin1String("roomID"));
    const qint64 age = m_clock.nowMs() - timestamp(payload);
    QString nick = Json::str(message, QLatin1String("senderNickname"));
    if (nick.isEmpty())
        nick = from;
    const QString face = Json::str(message, QLatin1String("senderFaceUrl"));
    QString callType = Json::str(payload, QLatin1String("callType"));
    if (callType.isEmpty() && !payload.value(QLatin1String("callType")).isString())
        callType = QStringLiteral("video");
    const bool e2ee = payload.value(QLatin1String("e2ee")).isDouble() && payload.value(QLatin1String("e2ee")).toDouble() == 1;
    const bool sameRoom = m_call && m_call->roomID && *m_call->roomID == roomID;
    // What an invite of either kind rings with.
    CallState incoming;
    incoming.dir = CallDir::incoming;
    incoming.peerID = from;
    incoming.peerNick = nick;
    incoming.peerFace = face;
    incoming.roomID = roomID;
    incoming.callType = callType;
    incoming.status = CallStatus::ringing;

    if (type == QLatin1String("invite")) {
        if (age > kInviteMaxAgeMs)
            return;
        if (m_call) {
            if (!sameRoom)
                fireSignal(from, QStringLiteral("busy"), roomID, m_call->callType, QString(), 0, false);
            return;
        }
        CallState c = incoming;
        c.peerE2EE = e2ee;
        setMinimized(false);
        setCall(c);
    } else if (type == QLatin1String("ginvite")) {
        if (age > kGroupInviteMaxAgeMs || m_call)
            return;
        CallState c = incoming;
        c.isGroup = true;
        c.groupID = Json::str(payload, QLatin1String("groupID"));
        setMinimized(false);
        setCall(c);
    } else if (type == QLatin1String("accept")) {
        if (!sameRoom || m_call->dir != CallDir::outgoing)
            return;
        cancelTimer();
        if (e2ee && !m_call->isGroup) {
            callerKeyStep(roomID);
            return;
        }
        CallState c = *m_call;
        c.status = CallStatus::active;
        c.activeAt = m_clock.nowMs();
        setCall(c);
    } else if (type == QLatin1String("reject") || type == QLatin1String("hangup") || type == QLatin1String("busy")
               || type == QLatin1String("timeout") || type == QLatin1String("cancel")) {
        if (!sameRoom)
            return;
        cancelTimer();
        setCall(std::nullopt);
        setMinimized(false);
    }
}

// ---- placing ----

void CallManager::startCall(const QString &peerID, const QString &peerNick, const QString &peerFace, const QString &callType)
{
    setMinimized(false);
    if (m_call)
        return;
    CallState c;
    c.dir = CallDir::outgoing;
    c.peerID = peerID;
    c.peerNick = peerNick;
    c.peerFace = peerFace;
    c.callType = callType;
    c.status = CallStatus::calling;
    setCall(c);
    placeCall(m_callSerial);
}

// After a wait: the manager still exists and the call that started the wait (by serial) is still
// the current one; it may have been ended or replaced meanwhile.
bool CallManager::stillCurrent(const QPointer<CallManager> &self, quint64 serial)
{
    return self && self->m_callSerial == serial && self->m_call;
}

QCoro::Task<void> CallManager::placeCall(quint64 serial)
{
    QPointer<CallManager> self(this);
    std::optional<BridgeApi::CallToken> token;
    try {
        token = co_await BridgeApi::invite(m_myImToken, m_myUserID);
    } catch (const Error &) {
    }
    // The call may have been ended (or replaced) while the bridge was asked: send nothing then.
    if (!stillCurrent(self, serial))
        co_return;
    if (!token) {
        setCall(std::nullopt);
        co_return;
    }
    const CallState placed = *m_call;
    fireSignal(placed.peerID, QStringLiteral("invite"), token->roomID, placed.callType, QString(), 0, true);
    CallState c = placed;
    applyToken(c, *token);
    c.status = CallStatus::ringing;
    setCall(c);
    cancelTimer();
    noAnswerTimer(m_timerGeneration, token->roomID);
}

QCoro::Task<void> CallManager::noAnswerTimer(quint64 generation, QString roomID)
{
    QPointer<CallManager> self(this);
    co_await m_clock.sleep(kNoAnswer);
    if (!self || m_timerGeneration != generation)
        co_return;
    if (m_call && m_call->roomID == roomID && m_call->status == CallStatus::ringing && m_call->dir == CallDir::outgoing) {
        fireSignal(m_call->peerID, QStringLiteral("timeout"), roomID, m_call->callType, QString(), 0, false);
        setCall(std::nullopt);
        setMinimized(false);
    }
}

void CallManager::startGroupCall(const QString &groupID, const QString &groupName, const QString &callType)
{
    setMinimized(false);
    if (m_call)
        return;
    CallState c;
    c.dir = CallDir::outgoing;
    c.peerNick = groupName;
    c.callType = callType;
    c.status = CallStatus::calling;
    c.isGroup = true;
    c.groupID = groupID;
    setCall(c);
    placeGroupCall(m_callSerial);
}

QCoro::Task<void> CallManager::placeGroupCall(quint64 serial)
{
    QPointer<CallManager> self(this);
    const QString groupID = m_call->groupID;
    std::optional<BridgeApi::CallToken> token;
    try {
        token = co_await BridgeApi::groupInvite(m_myImToken, m_myUserID, groupID);
    } catch (const Error &) {
    }
    if (!stillCurrent(self, serial))
        co_return;
    if (!token) {
        setCall(std::nullopt);
        co_return;
    }
    fireSignal(QString(), QStringLiteral("ginvite"), token->roomID, m_call->callType, groupID, 0, false);
    CallState c = *m_call;
    applyToken(c, *token);
    c.status = CallStatus::active;
    c.activeAt = m_clock.nowMs();
    setCall(c);
}

// ---- answering ----

void CallManager::acceptCall()
{
    if (!m_call || !m_call->roomID)
        return;
    answer(m_callSerial, *m_call);
}

QCoro::Task<void> CallManager::answer(quint64 serial, CallState snapshot)
{
    QPointer<CallManager> self(this);
    std::optional<BridgeApi::CallToken> token;
    try {
        token = co_await BridgeApi::accept(m_myImToken, m_myUserID, *snapshot.roomID);
    } catch (const Error &) {
    }
    // A "cancel" that arrived meanwhile ended the call: it must not come back as active.
    if (!stillCurrent(self, serial))
        co_return;
    if (!token) {
        setCall(std::nullopt);
        co_return;
    }
    snapshot.lkToken = token->lkToken;
    snapshot.wsUrl = token->wsUrl;
    snapshot.iceServers = token->iceServers;
    snapshot.e2eeKey.reset();
    if (!snapshot.isGroup) {
        if (snapshot.peerE2EE) {
            snapshot.e2eeKey = co_await m_callKey(m_myImToken, m_myUserID, snapshot.peerID, *snapshot.roomID);
            if (!stillCurrent(self, serial))
                co_return;
        }
        fireSignal(snapshot.peerID, QStringLiteral("accept"), *snapshot.roomID, snapshot.callType, QString(), 0,
                   snapshot.e2eeKey.has_value());
    }
    snapshot.status = CallStatus::active;
    snapshot.activeAt = m_clock.nowMs();
    setCall(snapshot);
}

QCoro::Task<void> CallManager::callerKeyStep(QString roomID)
{
    QPointer<CallManager> self(this);
    const QString peerID = m_call->peerID;
    const std::optional<QString> key = co_await m_callKey(m_myImToken, m_myUserID, peerID, roomID);
    if (!self || !m_call || m_call->roomID != roomID)
        co_return;
    CallState c = *m_call;
    c.status = CallStatus::active;
    c.activeAt = m_clock.nowMs();
    c.e2eeKey = key;
    setCall(c);
}

// ---- ending ----

void CallManager::endCall()
{
    if (!m_call)
        return;
    cancelTimer();
    const CallState c = *m_call;
    if (!c.isGroup && c.roomID) {
        if (c.status == CallStatus::active) {
            qint64 duration = 0;
            if (c.activeAt)
                duration = std::max<qint64>(1, (m_clock.nowMs() - *c.activeAt) / 1000);
            fireSignal(c.peerID, QStringLiteral("hangup"), *c.roomID, c.callType, QString(), duration, false);
        } else {
            fireSignal(c.peerID, c.dir == CallDir::outgoing ? QStringLiteral("cancel") : QStringLiteral("reject"), *c.roomID,
                       c.callType, QString(), 0, false);
        }
    }
    setCall(std::nullopt);
    setMinimized(false);
}
