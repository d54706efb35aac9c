#include "e2e/BridgeKeyDirectory.h"

#include <QJsonObject>

QCoro::Task<void> BridgeKeyDirectory::publish(QString token, QString userID, QString pubKey, QString deviceID)
{
    const QString path = QStringLiteral("/keys/publish");
    const QJsonObject extra{{QStringLiteral("pubKey"), pubKey}, {QStringLiteral("deviceID"), deviceID}};
    co_await BridgeApi::feature(path, token, userID, extra);
}

QCoro::Task<QHash<QString, QList<KeyDirectory::Device>>> BridgeKeyDirectory::devices(QString token, QString userID,
                                                                                     QStringList userIDs)
{
    QHash<QString, QList<Device>> answer = co_await BridgeApi::keysDevices(token, userID, userIDs);
    co_return answer;
}
