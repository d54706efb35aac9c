#pragma once

#include "app/Context.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <memory>
#include <mutex>
#include <shared_mutex>

class Accounts;
class QSslSocket;

namespace Gateway {

class Session;
class Operations;

struct Limits {
    qint64 maxFrame = 1 << 20;
    int authMs = 10 * 1000;
    int idleMs = 75 * 1000;
    int malformedFrames = 10;
    // A peer that does not read its pushes and answers must not make us buffer without bound:
    // its requests wait above `pauseAbove` unread bytes (until it has taken all but
    // `resumeBelow`), and it is closed with 1008 above `maxPendingWrite`.
    qint64 maxPendingWrite = 32 * 1024 * 1024;
    qint64 pauseAbove = 256 * 1024;
    qint64 resumeBelow = 64 * 1024;
    int closeGraceMs = 2000;
};

enum CloseCode { ProtocolViolation = 4000, TokenInvalid = 4001, UnsupportedVersion = 4002, AccountRemoved = 4003 };

// The message gateway: sessions live on the HTTP worker thread that accepted their connection;
// this object is shared by all of them (registry of who is online, fan-out, caches of group
// membership and blocks for the send path). Thread-safe.
class Hub {
public:
    Hub(Context &ctx, Accounts &accounts, Limits limits = {});
    ~Hub();

    // The upgrade hand-off, on the connection's worker thread.
    void accept(QSslSocket *socket);

    Context &context() { return m_ctx; }
    Accounts &accounts() { return m_accounts; }
    Operations &operations() { return *m_operations; }
    const Limits &limits() const { return m_limits; }

    void add(const QString &userID, Session *session);
    void remove(const QString &userID, Session *session);
    // Posts one already encoded frame to every session of the users, except `except`.
    void push(const QStringList &userIDs, const QByteArray &frame, const Session *except = nullptr);
    // Sends `kicked` and closes every session of the user.
    void kick(const QString &userID, const QString &reason, int closeCode);

    QStringList groupMembers(const QString &groupID);
    bool blocks(const QString &userID, const QString &otherID);
    void forgetBlocks(const QString &userID);

private:
    Context &m_ctx;
    Accounts &m_accounts;
    Limits m_limits;
    std::unique_ptr<Operations> m_operations;

    std::mutex m_registryMutex;
    QHash<QString, QList<Session *>> m_sessions;

    std::shared_mutex m_cacheMutex;
    QHash<QString, QStringList> m_members;    // group -> members
    QHash<QString, QSet<QString>> m_blocked;  // user -> users they block
    quint64 m_generation = 0;                 // bumped on every invalidation
};

} // namespace Gateway
