#pragma once

#include "app/Service.h"
#include "base/ServiceConfig.h"
#include "core/Log.h"
#include "tls/DevCa.h"

#include <QTemporaryDir>
#include <limits>
#include <memory>

// The local service in this process on 127.0.0.1 (OS-chosen port) over TLS with its own
// development CA, data in `dir`; the client's configuration points at it and trusts the CA.
// `limitGuesses` false lifts the sign-in back-off and the per-address hashing queue's length, for
// measuring what each attempt costs (one address still gets all but one hashing thread).
inline std::unique_ptr<LocalService> startInProcessService(const QTemporaryDir &dir, int passwordIterations, bool limitGuesses = true)
{
    Log::setLevel(Log::Level::Warn);
    const Tls::Paths paths = Tls::ensureDevCertificates(dir.filePath("tls"));
    QString error;
    Options options;
    options.dataDir = dir.filePath("data");
    options.passwordIterations = passwordIterations;
    options.threads = 2;
    if (!limitGuesses) {
        options.accountGuesses.freeAttempts = options.addressGuesses.freeAttempts = std::numeric_limits<int>::max();
        options.hashesWaitingPerAddress = std::numeric_limits<int>::max(); // every attempt is hashed
    }
    auto local = std::make_unique<LocalService>(options, *Tls::serverConfiguration(paths.serverCert, paths.serverKey, &error));
    local->listen(QHostAddress::LocalHost, 0);
    ServiceConfig::current().setServer(QStringLiteral("https://127.0.0.1:%1").arg(local->port()));
    ServiceConfig::current().addTrustedCa(paths.caCert);
    return local;
}
