#pragma once

#include <QJsonObject>
#include <QString>

#include <optional>

namespace ImSdk {

// Builds message records locally, before sending: identity, sender and one element. Returns
// none for input that is not what the call needs (undecodable JSON).
class MessageFactory {
public:
    MessageFactory(QString sendID, int platformID) : m_sendID(std::move(sendID)), m_platformID(platformID) {}

    QJsonObject text(const QString &text) const;
    QJsonObject image(const QString &path) const;
    QJsonObject file(const QString &path, const QString &fileName) const;
    QJsonObject sound(const QString &path, qint64 durationSeconds) const;
    QJsonObject custom(const QString &data, const QString &extension, const QString &description) const;
    std::optional<QJsonObject> quote(const QString &text, const QByteArray &quotedJSON) const;
    std::optional<QJsonObject> forward(const QByteArray &messageJSON) const;

    static QString newClientMsgID();

private:
    QJsonObject base(int contentType) const;

    QString m_sendID;
    int m_platformID;
};

} // namespace ImSdk
