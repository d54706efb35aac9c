#include "base/ServiceConfig.h"

#include <QHostAddress>
#include <QSslCertificate>
#include <QSslConfiguration>

ServiceConfig &ServiceConfig::current()
{
    static ServiceConfig *config = [] {
        auto *c = new ServiceConfig;
        const QString server = qEnvironmentVariable("SARVO_SERVER");
        if (!server.isEmpty() && !c->setServer(server))
            qWarning("SARVO_SERVER ignored: not an https origin");
        const QString ca = qEnvironmentVariable("SARVO_CA");
        QString error;
        if (!ca.isEmpty() && !c->addTrustedCa(ca, &error))
            qWarning("SARVO_CA ignored: %s", qPrintable(error));
        return c;
    }();
    return *config;
}

static bool isLoopback(const QString &host)
{
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

bool ServiceConfig::setServer(const QString &spec)
{
    QString s = spec.trimmed();
    if (s.isEmpty())
        return false;
    if (!s.contains(QLatin1String("://")))
        s.prepend(QLatin1String("https://"));
    const QUrl url(s, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() || !url.userInfo().isEmpty())
        return false;
    const QString scheme = url.scheme().toLower();
    if (scheme != QLatin1String("https") && !(scheme == QLatin1String("http") && isLoopback(url.host())))
        return false;
    QUrl origin;
    origin.setScheme(scheme);
    origin.setHost(url.host());
    if (url.port() != -1)
        origin.setPort(url.port());
    m_origin = origin;
    return true;
}

bool ServiceConfig::addTrustedCa(const QString &path, QString *error)
{
    const QList<QSslCertificate> certs = QSslCertificate::fromPath(path, QSsl::Pem);
    if (certs.isEmpty()) {
        if (error)
            *error = QStringLiteral("no PEM certificate in %1").arg(path);
        return false;
    }
    QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
    conf.addCaCertificates(certs);
    QSslConfiguration::setDefaultConfiguration(conf);
    return true;
}

QStringList ServiceConfig::applyArguments(const QStringList &arguments)
{
    QStringList errors;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &arg = arguments[i];
        auto value = [&](const QString &flag, QString *out) {
            if (arg == flag && i + 1 < arguments.size()) {
                *out = arguments[++i];
                return true;
            }
            if (arg.startsWith(flag + QLatin1Char('='))) {
                *out = arg.mid(flag.size() + 1);
                return true;
            }
            return false;
        };
        QString v;
        if (value(QStringLiteral("--server"), &v)) {
            if (!setServer(v))
                errors << QStringLiteral("--server %1: not an https origin").arg(v);
        } else if (value(QStringLiteral("--ca"), &v)) {
            QString error;
            if (!addTrustedCa(v, &error))
                errors << QStringLiteral("--ca: %1").arg(error);
        }
    }
    return errors;
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
    u.setScheme(m_origin.scheme() == QLatin1String("http") ? QStringLiteral("ws") : QStringLiteral("wss"));
    u.setPath(QStringLiteral("/msg_gateway"));
    return u.toString();
}
