#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

// Where the service lives: one host for the chat API, the bridge, the IM API and the gateway.
// Compiled-in default (the local service), overridable with SARVO_SERVER / --server; an extra
// trusted CA for a self-hosted service with SARVO_CA / --ca. TLS verification is never off.
class ServiceConfig {
public:
    static constexpr const char *kDefaultServer = "https://localhost:7443";

    // Process-wide configuration, read from the environment on first use.
    static ServiceConfig &current();

    // Accepts "host", "host:port" or an https URL; a path or query is dropped. Plain http is
    // accepted for loopback hosts only (development and tests). Returns false and changes
    // nothing for anything else.
    bool setServer(const QString &spec);
    // Adds the PEM certificates of `path` to the trusted CAs of every TLS connection.
    bool addTrustedCa(const QString &path, QString *error = nullptr);
    // Applies --server and --ca from the command line; errors are returned as texts.
    QStringList applyArguments(const QStringList &arguments);

    QUrl origin() const { return m_origin; }
    QString chatBase() const { return base(QStringLiteral("/chat")); }
    QString imApiBase() const { return base(QStringLiteral("/api")); }
    QString bridgeBase() const { return base(QStringLiteral("/bridge")); }
    QString gatewayUrl() const;

private:
    QString base(const QString &path) const;
    QUrl m_origin{QString::fromLatin1(kDefaultServer)};
};
