#pragma once

#include <QObject>
#include <chrono>
#include <qcoro/qcorotask.h>

// Time as models see it (the 45 s call timer, the 4 s typing reset); tests replace it to step
// through timers without waiting.
class Clock {
public:
    virtual ~Clock() = default;
    virtual qint64 nowMs() = 0;
    virtual QCoro::Task<void> sleep(std::chrono::milliseconds duration) = 0;

    static Clock &system();
};
