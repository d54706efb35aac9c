#pragma once

#include "net/BridgeApi.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <qcoro/qcorotask.h>

// The key directory that publishes this device's key and lists other users' device keys.
class KeyDirectory {
public:
    // One published key: a 24-hex-digit device id (or "legacy") and a base64 X9.63 public key.
    using Device = DeviceKey;

    virtual ~KeyDirectory() = default;

    // Both may fail with an Error.
    virtual QCoro::Task<void> publish(QString token, QString userID, QString pubKey, QString deviceID) = 0;
    // Every requested id has an entry in the answer (possibly empty).
    virtual QCoro::Task<QHash<QString, QList<Device>>> devices(QString token, QString userID,
                                                               QStringList userIDs) = 0;
};

// A directory held in memory: the interop tool's stand-in, and the tests' fake.
class FixedKeyDirectory : public KeyDirectory {
public:
    QHash<QString, QList<Device>> entries;
    // Requests answered so far and publications received, for callers that inspect them.
    int requests = 0;
    QList<Device> published;

    QCoro::Task<void> publish(QString token, QString userID, QString pubKey, QString deviceID) override;
    QCoro::Task<QHash<QString, QList<Device>>> devices(QString token, QString userID, QStringList userIDs) override;
};
