// The per-key queue that serialises work on one ratchet session.
#include "E2ETestSupport.h"

#include "e2e/KeyedLock.h"

namespace {

// Holds `key` across two trips through the event loop and logs entry and exit.
QCoro::Task<void> critical(KeyedLock &locks, QString key, QString name, QStringList &log)
{
    KeyedLock::Guard guard(locks, key);
    co_await guard.acquire();
    log.append(name + "+");
    co_await YieldToLoop{};
    co_await YieldToLoop{};
    log.append(name + "-");
}

TEST(KeyedLock, SameKeyRunsOneAtATimeInArrivalOrder)
{
    KeyedLock locks;
    QStringList log;
    std::vector<QCoro::Task<void>> tasks;
    tasks.push_back(critical(locks, "k", "a", log));
    tasks.push_back(critical(locks, "k", "b", log));
    tasks.push_back(critical(locks, "other", "x", log));
    tasks.push_back(critical(locks, "k", "c", log));
    for (auto &t : tasks)
        QCoro::waitFor(t);

    QStringList sameKey = log;
    sameKey.removeIf([](const QString &s) { return s.startsWith('x'); });
    EXPECT_EQ(sameKey, (QStringList{"a+", "a-", "b+", "b-", "c+", "c-"}));
    // Another key does not wait for "k".
    EXPECT_LT(log.indexOf("x+"), log.indexOf("a-"));
    EXPECT_EQ(locks.activeKeys(), 0);
}

} // namespace
