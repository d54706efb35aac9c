#pragma once

#include "base/Network.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QThreadPool>
#include <algorithm>
#include <functional>

// Runs the main thread's event loop until `done` holds or the deadline passes.
inline bool spinUntil(const std::function<bool()> &done, int timeoutMs = 5000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
    }
    return true;
}

// Lets the client's background work end, waiting for conditions rather than for a time: the global
// thread pool (off-thread parsing, crypto, decoding) is idle and no request of the shared network
// manager is in flight; then delivers what they posted to this thread. False on the deadline.
inline bool finishBackgroundWork(int timeoutMs = 5000)
{
    QThreadPool::globalInstance()->waitForDone(timeoutMs);
    const bool idle = spinUntil(
        [] {
            const auto replies = sharedNetworkAccessManager().findChildren<QNetworkReply *>(Qt::FindDirectChildrenOnly);
            return std::none_of(replies.begin(), replies.end(), [](QNetworkReply *r) { return r->isRunning(); });
        },
        timeoutMs);
    QCoreApplication::processEvents();
    return idle;
}
