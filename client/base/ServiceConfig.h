#pragma once

#include <QString>
#include <QUrl>

// Where the service lives: one host for the chat API, the bridge, the IM API and the gateway.
// Compiled-in default (the local service), overridable with SARVO_SERVER or --server.
class ServiceConfig {
public:
    static constexpr const char *kDefaultServer = "https://localhost:7443";

    // Process-wide configuration, read from the environment on first use.
    static ServiceConfig &current();

    // Accepts "host", "host:port" or an https URL; a path or query is dropped. Returns false
    // (and changes nothing) for anything else.
    bool setServer(const QString &spec);

    QUrl origin() const { return m_origin; }
    QString chatBase() const { return base(QStringLiteral("/chat")); }
    QString imApiBase() const { return base(QStringLiteral("/api")); }
    QString bridgeBase() const { return base(QStringLiteral("/bridge")); }
    QString gatewayUrl() const;

private:
    QString base(const QString &path) const;
    QUrl m_origin{QString::fromLatin1(kDefaultServer)};
};
