#include "net/BridgeApi.h"

#include "base/Json.h"
#include "base/ServiceConfig.h"
#include "net/Net.h"

#include <QJsonArray>

namespace BridgeApi {

QCoro::Task<QJsonObject> post(QString path, QJsonObject body)
{
    const QString url = ServiceConfig::current().bridgeBase() + path;
    QJsonObject answer = co_await Net::postJSON(url, body);
    const QJsonValue error = answer.value(QLatin1String("error"));
    if (error.isString())
        throw APIError(error.toString());
    co_return answer;
}

QCoro::Task<QJsonObject> feature(QString path, QString token, QString userID, QJsonObject extra)
{
    QJsonObject body{{QStringLiteral("token"), token}, {QStringLiteral("userID"), userID}};
    for (auto it = extra.begin(); it != extra.end(); ++it)
        body.insert(it.key(), it.value());
    co_return co_await post(path, body);
}

QCoro::Task<CallToken> invite(QString imToken, QString userID)
{
    const QJsonObject body{{QStringLiteral("token"), imToken}, {QStringLiteral("userID"), userID}};
    co_return parseCall(co_await post(QStringLiteral("/call/invite"), body));
}

QCoro::Task<CallToken> accept(QString imToken, QString userID, QString roomID)
{
    const QJsonObject body{{QStringLiteral("token"), imToken}, {QStringLiteral("userID"), userID}, {QStringLiteral("roomID"), roomID}};
    co_return parseCall(co_await post(QStringLiteral("/call/accept"), body));
}

QCoro::Task<CallToken> groupInvite(QString imToken, QString userID, QString groupID)
{
    const QJsonObject body{{QStringLiteral("token"), imToken}, {QStringLiteral("userID"), userID}, {QStringLiteral("groupID"), groupID}};
    co_return parseCall(co_await post(QStringLiteral("/call/group-invite"), body));
}

CallToken parseCall(const QJsonObject &answer)
{
    CallToken t;
    const QList<QJsonObject> servers = Json::objectList(answer.value(QLatin1String("iceServers")));
    for (const QJsonObject &s : servers) {
        IceServerDef def;
        const QJsonValue urls = s.value(QLatin1String("urls"));
        if (urls.isArray()) {
            bool allText = true;
            for (const QJsonValue &u : urls.toArray()) {
                allText = allText && u.isString();
                def.urls << u.toString();
            }
            if (!allText || def.urls.isEmpty())
                continue;
        } else if (urls.isString()) {
            def.urls << urls.toString();
        } else {
            continue;
        }
        const QJsonValue user = s.value(QLatin1String("username"));
        if (user.isString())
            def.username = user.toString();
        const QJsonValue cred = s.value(QLatin1String("credential"));
        if (cred.isString())
            def.credential = cred.toString();
        t.iceServers << def;
    }
    t.roomID = Json::text(answer, QLatin1String("roomID"));
    t.lkToken = Json::text(answer, QLatin1String("lkToken"));
    const QJsonValue ws = answer.value(QLatin1String("wsUrl"));
    t.wsUrl = ws.isString() ? ws.toString() : ServiceConfig::current().gatewayUrl();
    return t;
}

QHash<QString, QList<DeviceKey>> parseDevices(const QJsonObject &answer, const QStringList &userIDs)
{
    const QJsonObject devices = Json::obj(answer, QLatin1String("devices"));
    const QJsonObject keys = Json::obj(answer, QLatin1String("keys"));
    QHash<QString, QList<DeviceKey>> result;
    for (const QString &id : userIDs) {
        QList<DeviceKey> entries;
        for (const QJsonObject &d : Json::objectList(devices.value(id))) {
            const QString pub = Json::text(d, QLatin1String("pubKey"));
            if (pub.isEmpty())
                continue;
            const QJsonValue device = d.value(QLatin1String("deviceID"));
            entries << DeviceKey{device.isString() ? device.toString() : QStringLiteral("legacy"), pub};
        }
        const QJsonValue legacy = keys.value(id);
        if (entries.isEmpty() && legacy.isString() && !legacy.toString().isEmpty())
            entries << DeviceKey{QStringLiteral("legacy"), legacy.toString()};
        result.insert(id, entries);
    }
    return result;
}

QCoro::Task<QHash<QString, QList<DeviceKey>>> keysDevices(QString token, QString userID, QStringList userIDs)
{
    const QJsonObject extra{{QStringLiteral("userIDs"), QJsonArray::fromStringList(userIDs)}};
    const QJsonObject answer = co_await feature(QStringLiteral("/keys/get"), token, userID, extra);
    co_return parseDevices(answer, userIDs);
}

} // namespace BridgeApi
