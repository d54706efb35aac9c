#include "e2e/Worker.h"

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
    QThreadPool::globalInstance()->start([work, handle, target] {
        (*work)();
        // Pool threads are detached and may still be ending when the process exits, after
        // OpenSSL's own cleanup; free this thread's OpenSSL state (error queue, DRBGs) now.
        OPENSSL_thread_stop();
        if (target)
            QMetaObject::invokeMethod(target.data(), [handle] { handle.resume(); }, Qt::QueuedConnection);
    });
}

} // namespace WorkerDetail
