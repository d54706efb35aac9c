#pragma once

#include "base/Clock.h"

#include <QObject>
#include <QPointer>
#include <memory>
#include <qcoro/qcorosignal.h>
#include <vector>

class FakeClockWaiter : public QObject {
    Q_OBJECT
public:
    qint64 deadline = 0;
signals:
    void done();
};

// Time under the test's control: advance() moves `now` and wakes the sleepers whose time has
// come; fire() wakes every sleeper at once.
class FakeClock : public QObject, public Clock {
    Q_OBJECT
public:
    qint64 nowMs() override { return now; }
    QCoro::Task<void> sleep(std::chrono::milliseconds duration) override
    {
        ++sleepers;
        lastSleep = duration;
        auto waiter = std::make_unique<Waiter>();
        waiter->deadline = now + duration.count();
        Waiter *w = waiter.get();
        m_waiters.push_back(std::move(waiter));
        co_await qCoro(w, &Waiter::done);
    }

    void advance(qint64 ms)
    {
        now += ms;
        wake([this](const Waiter &w) { return w.deadline <= now; });
    }
    void fire()
    {
        wake([](const Waiter &) { return true; });
    }

    qint64 now = 1'700'000'000'000;
    int sleepers = 0;
    std::chrono::milliseconds lastSleep{0};

signals:
    void fired();

private:
    using Waiter = FakeClockWaiter;

    template <typename Due>
    void wake(Due due)
    {
        std::vector<std::unique_ptr<Waiter>> ready;
        for (auto it = m_waiters.begin(); it != m_waiters.end();) {
            if (due(**it)) {
                ready.push_back(std::move(*it));
                it = m_waiters.erase(it);
            } else {
                ++it;
            }
        }
        for (auto &w : ready) {
            emit w->done();
            // The awaiter may resume from the event loop: keep the sender alive until then.
            w.release()->deleteLater();
        }
        emit fired();
    }

    std::vector<std::unique_ptr<Waiter>> m_waiters;
};
