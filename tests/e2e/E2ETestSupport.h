#pragma once

#include "e2e/E2E.h"
#include "support/Await.h"

#include <QCoreApplication>
#include <gtest/gtest.h>
#include <QSet>
#include <algorithm>
#include <coroutine>
#include <mutex>

// Readable failure messages.
inline void PrintTo(const QString &s, std::ostream *os)
{
    *os << '"' << s.toStdString() << '"';
}
inline void PrintTo(const QByteArray &b, std::ostream *os)
{
    *os << b.toHex().toStdString();
}

// Suspends until the event loop runs again, like an answer from the network would.
struct YieldToLoop {
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> h) const
    {
        QMetaObject::invokeMethod(QCoreApplication::instance(), [h] { h.resume(); }, Qt::QueuedConnection);
    }
    void await_resume() const noexcept {}
};

// Randomness from a fixed byte stream, for vectors; runs dry loudly.
class FixedRandom : public Crypto::RandomSource {
public:
    explicit FixedRandom(QByteArray stream = {}) : m_stream(std::move(stream)) {}
    void append(const QByteArray &bytes)
    {
        std::lock_guard g(m_mutex);
        m_stream.append(bytes);
    }
    QByteArray bytes(qsizetype n) override
    {
        std::lock_guard g(m_mutex);
        if (m_stream.size() < n) {
            ADD_FAILURE() << "fixed random stream ran dry";
            return QByteArray(n, '\x01');
        }
        QByteArray out = m_stream.first(n);
        m_stream.remove(0, n);
        return out;
    }

private:
    std::mutex m_mutex;
    QByteArray m_stream;
};

// A directory that behaves like the server: publishing adds or replaces the device's key.
class ServerDirectory : public FixedKeyDirectory {
public:
    bool failing = false;
    QSet<QString> unreachable; // users whose lookup fails

    QCoro::Task<void> publish(QString, QString userID, QString pubKey, QString deviceID) override
    {
        co_await YieldToLoop{};
        published.append(Device{deviceID, pubKey});
        if (failing)
            throw Error(QStringLiteral("API"), 0, QStringLiteral("offline"));
        QList<Device> &list = entries[userID];
        auto it = std::find_if(list.begin(), list.end(), [&](const Device &d) { return d.deviceID == deviceID; });
        if (it != list.end())
            it->pubKey = pubKey;
        else
            list.append(Device{deviceID, pubKey});
        co_return;
    }

    QCoro::Task<QHash<QString, QList<Device>>> devices(QString, QString, QStringList userIDs) override
    {
        co_await YieldToLoop{};
        ++requests;
        if (failing || std::any_of(userIDs.begin(), userIDs.end(), [&](const QString &id) { return unreachable.contains(id); }))
            throw Error(QStringLiteral("API"), 0, QStringLiteral("offline"));
        QHash<QString, QList<Device>> out;
        for (const QString &id : userIDs)
            out.insert(id, entries.value(id));
        co_return out;
    }
};

struct ManualClock {
    qint64 now = 10'000'000;
    E2E::Clock fn()
    {
        return [this] { return now; };
    }
};

// One installation of one user.
struct Installation {
    QString userID;
    MemoryStore store;
    E2E e2e;

    Installation(KeyDirectory &directory, QString user) : userID(std::move(user)), e2e(directory, store) {}

    QString publish() { return await(e2e.ensureKeys(QStringLiteral("tok"), userID)).value.value_or(QString()); }

    std::optional<QString> send(const QString &peerID, const QString &text)
    {
        Outcome<std::optional<QString>> out = await(e2e.buildSecret(QStringLiteral("tok"), userID, peerID, text));
        EXPECT_FALSE(out.error) << (out.error ? out.error->message().toStdString() : std::string());
        return out.value ? *out.value : std::nullopt;
    }

    std::optional<QString> open(const QString &peerID, const QString &envelope, const QString &senderID,
                                const QString &msgID = {})
    {
        return *await(e2e.decrypt(QStringLiteral("tok"), userID, peerID, envelope, senderID, msgID)).value;
    }
};
