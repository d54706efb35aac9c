#pragma once

#include "e2e/KeyDirectory.h"

// The service's key directory, reached through the bridge.
class BridgeKeyDirectory : public KeyDirectory {
public:
    QCoro::Task<void> publish(QString token, QString userID, QString pubKey, QString deviceID) override;
    QCoro::Task<QHash<QString, QList<Device>>> devices(QString token, QString userID, QStringList userIDs) override;
};
