#include "net/ObjectParts.h"

#include "base/Json.h"

#include <QJsonArray>
#include <QUrlQuery>
#include <cmath>

namespace ObjectParts {

namespace {

qint64 partNumber(const QJsonObject &descriptor)
{
    const QJsonValue v = descriptor.value(QLatin1String("partNumber"));
    if (!v.isDouble() || !std::isfinite(v.toDouble()) || std::fabs(v.toDouble()) >= 9.2e18)
        return -1;
    return Json::integer(descriptor, QLatin1String("partNumber"));
}

// (key, first value as text) of every usable entry, in order.
QList<QPair<QString, QString>> entries(const QJsonObject &o, QLatin1StringView listKey)
{
    QList<QPair<QString, QString>> out;
    for (const QJsonValue &e : Json::arr(o, listKey)) {
        const QJsonObject entry = e.toObject();
        const QJsonArray values = Json::arr(entry, QLatin1String("values"));
        if (values.isEmpty())
            continue;
        out.append({Json::str(entry, QLatin1String("key")), Json::text(values.first())});
    }
    return out;
}

} // namespace

std::optional<Plan> plan(qint64 size, qint64 minPartSize, qint64 maxParts)
{
    qint64 capacity = 0;
    if (minPartSize <= 0 || maxParts <= 0 || __builtin_mul_overflow(minPartSize, maxParts, &capacity))
        return std::nullopt;
    Plan p;
    p.size = size;
    p.partSize = std::max<qint64>(capacity >= size ? minPartSize : size / maxParts + (size % maxParts != 0), 1);
    p.partCount = std::max<qint64>(size / p.partSize + (size % p.partSize != 0), 1);
    return p;
}

std::optional<QJsonObject> findPart(const QJsonObject &sign, qint64 n)
{
    for (const QJsonObject &d : Json::objectList(sign.value(QLatin1String("parts"))))
        if (partNumber(d) == n)
            return d;
    return std::nullopt;
}

std::optional<QUrl> partUrl(const QJsonObject &sign, const QJsonObject &descriptor)
{
    QString text = Json::str(descriptor, QLatin1String("url"));
    if (!descriptor.value(QLatin1String("url")).isString())
        text = Json::str(sign, QLatin1String("url"));
    QUrl url(text, QUrl::StrictMode);
    if (text.isEmpty() || !url.isValid() || url.isRelative())
        return std::nullopt;
    QUrlQuery query(url);
    for (const QJsonObject *source : {&sign, &descriptor}) {
        for (const auto &[key, value] : entries(*source, QLatin1String("query"))) {
            query.removeAllQueryItems(key);
            query.addQueryItem(key, value);
        }
    }
    url.setQuery(query);
    if (!url.isValid())
        return std::nullopt;
    return url;
}

QList<QPair<QString, QString>> partHeaders(const QJsonObject &sign, const QJsonObject &descriptor)
{
    QList<QPair<QString, QString>> out = entries(sign, QLatin1String("header"));
    out.append(entries(descriptor, QLatin1String("header")));
    return out;
}

} // namespace ObjectParts
