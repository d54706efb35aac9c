#pragma once

#include <QHash>
#include <QHostAddress>
#include <QString>
#include <mutex>

// Back-off for guessing (passwords, codes). Every attempt counts as a failure from the moment it
// is admitted, so a burst of concurrent guesses is limited as well as a sequence of them; only a
// success takes its attempt back. After `freeAttempts` failures a key waits `baseMs`, doubling with
// every further failure up to `maxMs`. A key quiet for `forgetMs` starts afresh.
class Throttle {
public:
    struct Policy {
        int freeAttempts;
        qint64 baseMs;
        qint64 maxMs;
        qint64 forgetMs;
    };
    explicit Throttle(Policy policy) : m_policy(policy) {}

    // 0 when the attempt is admitted (and counted); otherwise the ms to wait, nothing counted.
    qint64 admit(const QString &key, qint64 now);
    // The attempt succeeded: `forgive` clears the key's failures, otherwise only this attempt is
    // taken back (an address where someone signs in to their own account keeps its failures).
    void succeeded(const QString &key, bool forgive);

    // The key of a client address: IPv6 clients usually hold a whole /64, so that is one key.
    static QString addressKey(const QHostAddress &address);

private:
    struct Entry {
        int failures = 0;
        qint64 lastAttempt = 0;
        qint64 lockedUntil = 0;
    };
    Policy m_policy;
    std::mutex m_mutex;
    QHash<QString, Entry> m_entries;
};
