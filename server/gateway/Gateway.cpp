#include "gateway/Gateway.h"

#include "base/HandOver.h"
#include "gateway/Operations.h"
#include "gateway/Session.h"
#include "gateway/WebSocket.h"
#include "gateway/Wire.h"

#include <QSslSocket>
#include <QThread>

namespace Gateway {

Hub::Hub(Context &ctx, Accounts &accounts, Limits limits)
    : m_ctx(ctx), m_accounts(accounts), m_limits(limits), m_operations(std::make_unique<Operations>(*this))
{
}

Hub::~Hub() = default;

void Hub::accept(QSslSocket *socket)
{
    auto *session = new Session(*this, socket);
    // Sessions end with their worker thread at the latest (deferred deletes still run then).
    QObject::connect(QThread::currentThread(), &QThread::finished, session, &QObject::deleteLater);
}

void Hub::add(const QString &userID, Session *session)
{
    std::lock_guard lock(m_registryMutex);
    m_sessions[userID].append(session);
}

void Hub::remove(const QString &userID, Session *session)
{
    std::lock_guard lock(m_registryMutex);
    auto it = m_sessions.find(userID);
    if (it == m_sessions.end())
        return;
    it->removeOne(session);
    if (it->isEmpty())
        m_sessions.erase(it);
}

void Hub::push(const QStringList &userIDs, const QByteArray &frame, const Session *except)
{
    const QByteArray wsFrame = WebSocket::textFrame(frame);
    // Posting under the lock: a session leaves the registry (under the same lock) before it
    // dies, and events posted to it die with it.
    std::lock_guard lock(m_registryMutex);
    for (const QString &user : userIDs) {
        const auto it = m_sessions.constFind(user);
        if (it == m_sessions.constEnd())
            continue;
        for (Session *s : *it)
            if (s != except)
                QMetaObject::invokeMethod(s, HandOver::wrap([s, wsFrame] { s->deliver(wsFrame); }), Qt::QueuedConnection);
    }
}

void Hub::kick(const QString &userID, const QString &reason, int closeCode)
{
    const QByteArray frame = Wire::push("kicked", QJsonObject{{QStringLiteral("reason"), reason}});
    std::lock_guard lock(m_registryMutex);
    for (Session *s : m_sessions.value(userID))
        QMetaObject::invokeMethod(s, HandOver::wrap([s, frame, closeCode] { s->kick(frame, closeCode); }), Qt::QueuedConnection);
}

QStringList Hub::groupMembers(const QString &groupID)
{
    quint64 generation;
    {
        std::shared_lock lock(m_cacheMutex);
        const auto it = m_members.constFind(groupID);
        if (it != m_members.constEnd())
            return *it;
        generation = m_generation;
    }
    const QStringList members = m_ctx.store.groupMembers(groupID);
    std::unique_lock lock(m_cacheMutex);
    // A change made while we read would make this copy stale; an unknown group may appear later.
    if (generation == m_generation && !members.isEmpty())
        m_members.insert(groupID, members);
    return members;
}

bool Hub::blocks(const QString &userID, const QString &otherID)
{
    quint64 generation;
    {
        std::shared_lock lock(m_cacheMutex);
        const auto it = m_blocked.constFind(userID);
        if (it != m_blocked.constEnd())
            return it->contains(otherID);
        generation = m_generation;
    }
    const QStringList list = m_ctx.store.blockedBy(userID);
    const QSet<QString> blocked(list.begin(), list.end());
    std::unique_lock lock(m_cacheMutex);
    if (generation == m_generation)
        m_blocked.insert(userID, blocked);
    return blocked.contains(otherID);
}

void Hub::forgetBlocks(const QString &userID)
{
    std::unique_lock lock(m_cacheMutex);
    m_blocked.remove(userID);
    ++m_generation;
}

} // namespace Gateway
