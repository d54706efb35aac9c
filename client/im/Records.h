#pragma once

#include <QJsonObject>
#include <QString>

// Readers for the SDK's conversation, friend and user records.
namespace Records {

// The one-to-one conversation ID of two users, whichever of them asks: "si_" + the two IDs in
// ascending order joined by "_".
QString singleConversationID(const QString &a, const QString &b);

// conversationID, else "sg_" + groupID, else userID.
QString convKey(const QJsonObject &conversation);
// showName, else userID, else groupID.
QString showName(const QJsonObject &conversation);
// unreadCount as an integer, fractions truncated.
qint64 unread(const QJsonObject &conversation);
// latestMsg decoded from its JSON text; anything undecodable is an empty record.
QJsonObject latestMsgDict(const QJsonObject &conversation);

// Friend records carry their members at the top level or inside "friendInfo".
QString fUserID(const QJsonObject &friendRecord);
QString fFace(const QJsonObject &friendRecord);
QString fName(const QJsonObject &friendRecord);

} // namespace Records
