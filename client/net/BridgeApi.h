#pragma once

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>
#include <qcoro/qcorotask.h>

// One device's published public key; "legacy" is a user's single key without a device id.
struct DeviceKey {
    QString deviceID;
    QString pubKey;
    bool operator==(const DeviceKey &) const = default;
};

// Calls to the bridge that are not account flows: call-room credentials and the key directory.
// The body always carries the signed-in user's "token" and "userID"; an "error" string in the
// answer fails the call with that text.
namespace BridgeApi {

struct IceServerDef {
    QStringList urls;
    std::optional<QString> username;
    std::optional<QString> credential;
};

struct CallToken {
    QString roomID;
    QString lkToken;
    QString wsUrl;
    QList<IceServerDef> iceServers;
};

QCoro::Task<QJsonObject> post(QString path, QJsonObject body);
QCoro::Task<QJsonObject> feature(QString path, QString token, QString userID, QJsonObject extra);
QCoro::Task<CallToken> invite(QString imToken, QString userID);
QCoro::Task<CallToken> accept(QString imToken, QString userID, QString roomID);
QCoro::Task<CallToken> groupInvite(QString imToken, QString userID, QString groupID);
QCoro::Task<QHash<QString, QList<DeviceKey>>> keysDevices(QString token, QString userID, QStringList userIDs);

CallToken parseCall(const QJsonObject &answer);
// The per-user device lists of a "/keys/get" answer; every requested id has an entry.
QHash<QString, QList<DeviceKey>> parseDevices(const QJsonObject &answer, const QStringList &userIDs);

} // namespace BridgeApi
