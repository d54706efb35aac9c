#pragma once

#include "storage/Store.h"

#include <QJsonObject>
#include <QString>

// The records of the gateway protocol, built from what the store keeps.
namespace Gateway::Wire {

// "si_" + the two user IDs in ascending order joined by "_" (the SDK derives the same ID).
QString singleConversationID(const QString &a, const QString &b);
QString groupConversationID(const QString &groupID);

QJsonObject conversation(const Storage::Conversation &c);
QJsonObject friendRecord(const QString &ownerID, const Storage::Friend &f);
QJsonObject friendRequest(const Storage::FriendRequest &r);
QJsonObject group(const Storage::Group &g);
QJsonObject user(const Storage::User &u);
QJsonObject parseRecord(const QString &json);

// The text frames the server sends.
QByteArray answer(double id, const QJsonValue &data);
QByteArray error(double id, int code, const QString &message);
QByteArray push(const char *name, const QJsonValue &data);
// A push whose data is a record already serialised (a stored message): no second encoding.
QByteArray pushRaw(const char *name, const QString &json);

} // namespace Gateway::Wire
