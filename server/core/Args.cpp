#include "core/Args.h"

#include <cmath>

void Args::refuse(const QString &message, const QString &code, int status)
{
    throw Failure{status, message, code, {}};
}

QString Args::text(const char *key, qsizetype maxLength, bool required, const QString &fallback) const
{
    const QJsonValue v = m_body.value(QLatin1String(key));
    if (v.isUndefined() || v.isNull()) {
        if (required)
            refuse(QStringLiteral("\"%1\" is required").arg(QLatin1String(key)));
        return fallback;
    }
    if (!v.isString())
        refuse(QStringLiteral("\"%1\" must be text").arg(QLatin1String(key)));
    const QString s = v.toString();
    if (s.size() > maxLength)
        refuse(QStringLiteral("\"%1\" is longer than %2 characters").arg(QLatin1String(key)).arg(maxLength));
    return s;
}

static bool integral(const QJsonValue &v, qint64 *out)
{
    if (!v.isDouble())
        return false;
    const double d = v.toDouble();
    if (!std::isfinite(d) || d != std::trunc(d) || std::fabs(d) > 9.0e15)
        return false;
    *out = static_cast<qint64>(d);
    return true;
}

qint64 Args::integer(const char *key, qint64 min, qint64 max, std::optional<qint64> fallback) const
{
    const QJsonValue v = m_body.value(QLatin1String(key));
    if ((v.isUndefined() || v.isNull()) && fallback)
        return *fallback;
    qint64 n = 0;
    if (!integral(v, &n))
        refuse(QStringLiteral("\"%1\" must be an integer").arg(QLatin1String(key)));
    if (n < min || n > max)
        refuse(QStringLiteral("\"%1\" must be between %2 and %3").arg(QLatin1String(key)).arg(min).arg(max));
    return n;
}

QStringList Args::textList(const char *key, qsizetype maxItems, qsizetype maxLength, bool required) const
{
    const QJsonValue v = m_body.value(QLatin1String(key));
    if ((v.isUndefined() || v.isNull()) && !required)
        return {};
    if (!v.isArray())
        refuse(QStringLiteral("\"%1\" must be an array of texts").arg(QLatin1String(key)));
    const QJsonArray a = v.toArray();
    if (a.size() > maxItems)
        refuse(QStringLiteral("\"%1\" has more than %2 items").arg(QLatin1String(key)).arg(maxItems));
    QStringList out;
    for (const QJsonValue &e : a) {
        if (!e.isString() || e.toString().size() > maxLength)
            refuse(QStringLiteral("\"%1\" must be an array of texts of at most %2 characters").arg(QLatin1String(key)).arg(maxLength));
        out << e.toString();
    }
    return out;
}

QList<qint64> Args::integerList(const char *key, qsizetype maxItems, qint64 min, qint64 max) const
{
    const QJsonValue v = m_body.value(QLatin1String(key));
    if (!v.isArray())
        refuse(QStringLiteral("\"%1\" must be an array of integers").arg(QLatin1String(key)));
    const QJsonArray a = v.toArray();
    if (a.size() > maxItems)
        refuse(QStringLiteral("\"%1\" has more than %2 items").arg(QLatin1String(key)).arg(maxItems));
    QList<qint64> out;
    for (const QJsonValue &e : a) {
        qint64 n = 0;
        if (!integral(e, &n) || n < min || n > max)
            refuse(QStringLiteral("\"%1\" must hold integers between %2 and %3").arg(QLatin1String(key)).arg(min).arg(max));
        out << n;
    }
    return out;
}
