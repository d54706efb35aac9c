#include "base/ServiceConfig.h"

ServiceConfig &ServiceConfig::current()
{
    static ServiceConfig *config = [] {
        auto *c = new ServiceConfig;
        const QString env = qEnvironmentVariable("SARVO_SERVER");
        if (!env.isEmpty())
            c->setServer(env);
        return c;
    }();
    return *config;
}

bool ServiceConfig::setServer(const QString &spec)
{
    QString s = spec.trimmed();
    if (s.isEmpty())
        return false;
    if (!s.contains(QLatin1String("://")))
        s.prepend(QLatin1String("https://"));
    QUrl url(s, QUrl::StrictMode);
    // TLS stays on: only https origins are accepted.
    if (!url.isValid() || url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) != 0
        || url.host().isEmpty() || !url.userInfo().isEmpty())
        return false;
    QUrl origin;
    origin.setScheme(QStringLiteral("https"));
    origin.setHost(url.host());
    if (url.port() != -1)
        origin.setPort(url.port());
    m_origin = origin;
    return true;
}

QString ServiceConfig::base(const QString &path) const
{
    QUrl u = m_origin;
    u.setPath(path);
    return u.toString();
}

QString ServiceConfig::gatewayUrl() const
{
    QUrl u = m_origin;
    u.setScheme(QStringLiteral("wss"));
    u.setPath(QStringLiteral("/msg_gateway"));
    return u.toString();
}
