#include "base/Clock.h"

#include <QDateTime>
#include <QTimer>
#include <qcoro/qcorotimer.h>

namespace {

class SystemClock : public Clock {
public:
    qint64 nowMs() override { return QDateTime::currentMSecsSinceEpoch(); }
    QCoro::Task<void> sleep(std::chrono::milliseconds duration) override
    {
        QTimer timer;
        timer.setSingleShot(true);
        timer.start(duration);
        co_await timer;
    }
};

} // namespace

Clock &Clock::system()
{
    static SystemClock *clock = new SystemClock;
    return *clock;
}
