#pragma once

#include "accounts/HashQueue.h"
#include "app/Context.h"

#include <deque>
#include <functional>
#include <QHash>
#include <QHostAddress>
#include <QJsonObject>
#include <atomic>
#include <mutex>
#include <optional>
#include <qcoro/qcorotask.h>

// Sliding-window limit per key (client address): at most `limit` hits per `windowMs`.
class RateLimiter {
public:
    RateLimiter(int limit, qint64 windowMs) : m_limit(limit), m_window(windowMs) {}
    // Records the hit and returns true when it is within the limit.
    bool hit(const QString &key, qint64 now);

private:
    int m_limit;
    qint64 m_window;
    std::mutex m_mutex;
    QHash<QString, std::deque<qint64>> m_hits;
};

// Sign-in, e-mail codes, registration, reset and the session tokens behind every request.
// Failures are thrown as Failure with the bridge's codes.
class Accounts {
public:
    static constexpr qint64 kCodeLifetimeMs = 10 * 60 * 1000;
    static constexpr qint64 kCodeIntervalMs = 60 * 1000;
    static constexpr int kCodeTries = 5;
    static constexpr int kCodeRequestsPerHour = 30;

    explicit Accounts(Context &ctx);

    // "/chat/account/login": the data of the envelope (userID, imToken, chatToken).
    QCoro::Task<QJsonObject> login(QJsonObject body, QHostAddress peer);
    QCoro::Task<QJsonObject> sendCode(QJsonObject body, QHostAddress peer);
    QCoro::Task<QJsonObject> registerAccount(QJsonObject body, QHostAddress peer);
    QCoro::Task<QJsonObject> reset(QJsonObject body, QHostAddress peer);

    // Password checks run so far (each costs a slow hash).
    int passwordChecks() const { return m_passwordChecks.load(); }

    // The user of a token of the given kind ("im" or "chat"), if it is live.
    std::optional<QString> authenticate(const QString &token, const QString &kind);

    // Called (on the caller's thread) after every token of a user was revoked, so that live
    // connections holding one can end; set once before serving.
    using RevocationHook = std::function<void(const QString &userID)>;
    void setRevocationHook(RevocationHook hook) { m_revoked = std::move(hook); }

    // Ends every session of the user: the stored tokens, the ones trusted from memory and (through
    // the revocation hook) live connections.
    void revokeAll(const QString &userID);

    // Runs between an authentication's database read and its cache write; lets tests interleave
    // a revocation there.
    void setLookupHook(std::function<void()> hook) { m_lookupHook = std::move(hook); }

    // Administration: creates a user with a plain password; returns the new id or throws Failure.
    QString addUser(const QString &email, const QString &password, const QString &nickname);

    static QString normaliseEmail(const QString &email);
    static bool validEmail(const QString &email);

private:
    // Slow hashes, queued fairly per client address; refused (429) or nothing when the address
    // already has its share of hashes waiting.
    QCoro::Task<QString> hashPassword(QString md5hex, QHostAddress peer);
    QCoro::Task<std::optional<bool>> verifyPassword(QString md5hex, QString stored, QHostAddress peer);
    QJsonObject issueTokens(const QString &userID);
    QString newUserID();
    void checkCode(const QString &email, const QString &purpose, const QString &code, const QHostAddress &peer);
    void writeOutbox(const QString &email, const QString &purpose, const QString &code);
    QCoro::Task<void> mail(QString email, QString purpose, QString code);

    struct CachedToken {
        QString userID;
        qint64 expiresAt;
        qint64 checkedAt;
    };
    std::optional<QString> cachedToken(const QByteArray &key, qint64 now);
    void forgetTokensOf(const QString &userID);

    Context &m_ctx;
    RevocationHook m_revoked;
    RateLimiter m_ipLimit;
    Throttle m_accountGuesses;
    Throttle m_addressGuesses;
    std::atomic<int> m_passwordChecks{0};
    HashQueue m_hashes;
    std::mutex m_tokenMutex;
    QHash<QByteArray, CachedToken> m_tokens; // kind + token hash -> user
    quint64 m_revocations = 0;                // bumped on every revocation, under m_tokenMutex
    std::function<void()> m_lookupHook;
    std::mutex m_outboxMutex;
    const QString &dummyHash();
    std::once_flag m_dummyOnce;
    QString m_dummyHash;
};
