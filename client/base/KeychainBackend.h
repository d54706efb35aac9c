#pragma once

#include "base/SecretBackend.h"

#include <chrono>

// The desktop keyring (Secret Service over D-Bus) through QtKeychain. Without a session bus or
// a keyring every call fails quickly with Status::Failed; a keyring that does not answer within
// `wait` counts as failed too (its job is left to finish on its own).
class KeychainBackend : public SecretBackend {
public:
    explicit KeychainBackend(QString service, std::chrono::milliseconds wait = std::chrono::seconds(10));

    QCoro::Task<Read> read(QString name) override;
    QCoro::Task<bool> write(QString name, QByteArray value) override;

private:
    QString m_service;
    std::chrono::milliseconds m_wait;
};
