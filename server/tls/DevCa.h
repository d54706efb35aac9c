#pragma once

#include <QSslConfiguration>
#include <QString>
#include <optional>

// TLS material for the one HTTPS/WSS port.
namespace Tls {

struct Paths {
    QString caCert;     // the development CA the client trusts (--ca / SARVO_CA)
    QString serverCert; // the certificate chain the server presents
    QString serverKey;
};

// In `dir`: creates a development CA and a certificate for 127.0.0.1, ::1 and localhost signed
// by it when they are missing (or the server certificate is about to expire). Throws on failure.
Paths ensureDevCertificates(const QString &dir);

// A server-side configuration from PEM files; the error text explains a failure.
std::optional<QSslConfiguration> serverConfiguration(const QString &certPath, const QString &keyPath, QString *error);

} // namespace Tls
