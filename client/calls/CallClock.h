#pragma once

#include <QObject>
#include <chrono>
#include <qcoro/qcorotask.h>

// Time as the call manager sees it; tests replace it to step through the 45 s timer.
class CallClock {
public:
    virtual ~CallClock() = default;
    virtual qint64 nowMs() = 0;
    virtual QCoro::Task<void> sleep(std::chrono::milliseconds duration) = 0;

    static CallClock &system();
};
