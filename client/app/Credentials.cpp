#include "app/Credentials.h"

#include "base/Json.h"

#include <QJsonDocument>

QByteArray Credentials::toJson() const
{
    return Json::compact(QJsonObject{
        {QStringLiteral("userID"), userID},
        {QStringLiteral("imToken"), imToken},
        {QStringLiteral("chatToken"), chatToken},
        {QStringLiteral("nickname"), nickname},
    });
}

std::optional<Credentials> Credentials::fromJson(const QByteArray &json)
{
    const QJsonDocument doc = QJsonDocument::fromJson(json);
    if (!doc.isObject())
        return std::nullopt;
    const QJsonObject o = doc.object();
    for (const char *key : {"userID", "imToken", "chatToken", "nickname"})
        if (!o.value(QLatin1String(key)).isString())
            return std::nullopt;
    return Credentials{Json::str(o, QLatin1String("userID")), Json::str(o, QLatin1String("imToken")),
                       Json::str(o, QLatin1String("chatToken")), Json::str(o, QLatin1String("nickname"))};
}
