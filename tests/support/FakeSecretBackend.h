#pragma once

#include "base/SecretBackend.h"

#include <QHash>

// A keyring in memory that can be told to fail, as a keyring that is missing or refuses.
class FakeSecretBackend : public SecretBackend {
public:
    QHash<QString, QByteArray> items;
    bool failing = false;

    QCoro::Task<Read> read(QString name) override
    {
        if (failing)
            co_return Read{Status::Failed, {}};
        if (!items.contains(name))
            co_return Read{Status::Missing, {}};
        co_return Read{Status::Found, items.value(name)};
    }

    QCoro::Task<bool> write(QString name, QByteArray value) override
    {
        if (failing)
            co_return false;
        items.insert(name, value);
        co_return true;
    }
};
