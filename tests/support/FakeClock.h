#pragma once

#include "base/Clock.h"

#include <QObject>
#include <qcoro/qcorosignal.h>

// Time under the test's control: `now` is set by hand, every sleeper wakes on fire().
class FakeClock : public QObject, public Clock {
    Q_OBJECT
public:
    qint64 nowMs() override { return now; }
    QCoro::Task<void> sleep(std::chrono::milliseconds duration) override
    {
        ++sleepers;
        lastSleep = duration;
        co_await qCoro(this, &FakeClock::fired);
    }
    void fire() { emit fired(); }

    qint64 now = 1'700'000'000'000;
    int sleepers = 0;
    std::chrono::milliseconds lastSleep{0};

signals:
    void fired();
};
