#include "e2e/KeyDirectory.h"

QCoro::Task<void> FixedKeyDirectory::publish(QString, QString, QString pubKey, QString deviceID)
{
    published.append(Device{deviceID, pubKey});
    co_return;
}

QCoro::Task<QHash<QString, QList<KeyDirectory::Device>>> FixedKeyDirectory::devices(QString, QString,
                                                                                    QStringList userIDs)
{
    ++requests;
    QHash<QString, QList<Device>> out;
    for (const QString &id : userIDs)
        out.insert(id, entries.value(id));
    co_return out;
}
