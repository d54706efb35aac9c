#include "e2e/Worker.h"

#include "base/HandOver.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QPointer>
#include <QThread>
#include <QThreadPool>

#include <openssl/crypto.h>

namespace WorkerDetail {

void Hop::await_suspend(std::coroutine_handle<> handle) const
{
    QObject *context = QAbstractEventDispatcher::instance(QThread::currentThread());
    if (!context)
        context = QCoreApplication::instance();
    QPointer<QObject> target(context);
    std::function<void()> *work = job;
    // The pool's queue and the event queue order the job after the suspension and the
    // resumption after the job.
    std::function<void()> task = [work, handle, target] {
        (*work)();
        // Pool threads are detached and may still be ending when the process exits, after
        // OpenSSL's own cleanup; free this thread's OpenSSL state (error queue, DRBGs) now.
        OPENSSL_thread_stop();
        if (target)
            QMetaObject::invokeMethod(target.data(), HandOver::wrap([handle] { handle.resume(); }), Qt::QueuedConnection);
    };
    QThreadPool::globalInstance()->start(HandOver::wrap(std::move(task)));
}

} // namespace WorkerDetail
