#include "base/Json.h"

#include <QJsonDocument>
#include <cmath>
#include <limits>

namespace Json {

QString str(const QJsonObject &o, QLatin1StringView key)
{
    const QJsonValue v = o.value(key);
    return v.isString() ? v.toString() : QString();
}

QJsonObject obj(const QJsonObject &o, QLatin1StringView key)
{
    const QJsonValue v = o.value(key);
    return v.isObject() ? v.toObject() : QJsonObject();
}

QJsonArray arr(const QJsonObject &o, QLatin1StringView key)
{
    const QJsonValue v = o.value(key);
    return v.isArray() ? v.toArray() : QJsonArray();
}

bool boolean(const QJsonObject &o, QLatin1StringView key)
{
    const QJsonValue v = o.value(key);
    return v.isBool() && v.toBool();
}

qint64 integer(const QJsonObject &o, QLatin1StringView key)
{
    const QJsonValue v = o.value(key);
    if (!v.isDouble())
        return 0;
    // Integers beyond 2^53 keep their exact value through toInteger().
    const qint64 exact = v.toInteger(std::numeric_limits<qint64>::min());
    if (exact != std::numeric_limits<qint64>::min())
        return exact;
    const double d = v.toDouble();
    if (!std::isfinite(d) || d >= 9.2e18 || d <= -9.2e18)
        return 0;
    return static_cast<qint64>(std::trunc(d));
}

QString text(const QJsonValue &v)
{
    if (v.isString())
        return v.toString();
    if (v.isDouble()) {
        if (isInteger(v)) {
            const qint64 exact = v.toInteger(std::numeric_limits<qint64>::min());
            if (exact != std::numeric_limits<qint64>::min())
                return QString::number(exact);
        }
        return QString::number(v.toDouble(), 'g', 17);
    }
    return {};
}

QString text(const QJsonObject &o, QLatin1StringView key)
{
    return text(o.value(key));
}

bool isInteger(const QJsonValue &v)
{
    if (!v.isDouble())
        return false;
    const double d = v.toDouble();
    return std::isfinite(d) && std::trunc(d) == d;
}

QJsonObject parseObject(const QByteArray &text)
{
    const QJsonDocument doc = QJsonDocument::fromJson(text);
    return doc.isObject() ? doc.object() : QJsonObject();
}

QList<QJsonObject> objectList(const QJsonValue &v, bool *ok)
{
    QList<QJsonObject> out;
    if (ok)
        *ok = false;
    if (!v.isArray())
        return out;
    const QJsonArray a = v.toArray();
    out.reserve(a.size());
    for (const QJsonValue &e : a) {
        if (!e.isObject())
            return {};
        out.push_back(e.toObject());
    }
    if (ok)
        *ok = true;
    return out;
}

QList<QJsonObject> parseObjectArray(const QByteArray &text)
{
    const QJsonDocument doc = QJsonDocument::fromJson(text);
    return doc.isArray() ? objectList(doc.array()) : QList<QJsonObject>();
}

QByteArray compact(const QJsonObject &o)
{
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QByteArray compact(const QJsonArray &a)
{
    return QJsonDocument(a).toJson(QJsonDocument::Compact);
}

} // namespace Json
