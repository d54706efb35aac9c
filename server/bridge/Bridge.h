#pragma once

#include "app/Caller.h"
#include "app/Context.h"
#include "accounts/Accounts.h"

#include <QJsonObject>

// The bridge's non-account endpoints: call rooms, the key directory and crash reports.
// Failures are thrown as Failure.
class Bridge {
public:
    static constexpr qint64 kRoomLifetimeMs = 3600 * 1000;
    static constexpr int kMaxDevices = 16;

    explicit Bridge(Context &ctx);

    QJsonObject invite(const Caller &caller, const QJsonObject &body);
    QJsonObject accept(const Caller &caller, const QJsonObject &body);
    QJsonObject groupInvite(const Caller &caller, const QJsonObject &body);
    QJsonObject publishKey(const Caller &caller, const QJsonObject &body);
    QJsonObject getKeys(const Caller &caller, const QJsonObject &body);
    // Unauthenticated (the client has no token to send when it crashes before sign-in).
    QJsonObject crashReport(const QJsonObject &body, const QHostAddress &peer);

    // A compact HS256-signed token for the media relay: subject, room, expiry.
    QString roomToken(const QString &userID, const QString &roomID) const;
    static bool validPublicKey(const QString &base64);

private:
    QJsonObject callAnswer(const Caller &caller, const QString &roomID) const;

    Context &m_ctx;
    RateLimiter m_crashLimit;
};
