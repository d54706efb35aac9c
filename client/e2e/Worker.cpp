#include "e2e/Worker.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QPointer>
#include <QThread>
#include <QThreadPool>

#include <openssl/crypto.h>

namespace {

// The pool's queue and the event queue order the job after the suspension and the resumption
// after the job, but they lock inside Qt, where ThreadSanitizer does not see it; say so. One
// token, as the pool's one queue lock would be.
#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void *address);
extern "C" void __tsan_release(void *address);
char handOverToken;
void handedOver() { __tsan_release(&handOverToken); }
void takenOver() { __tsan_acquire(&handOverToken); }
#else
void handedOver() {}
void takenOver() {}
#endif

} // namespace

namespace WorkerDetail {

void Hop::await_suspend(std::coroutine_handle<> handle) const
{
    QObject *context = QAbstractEventDispatcher::instance(QThread::currentThread());
    if (!context)
        context = QCoreApplication::instance();
    QPointer<QObject> target(context);
    std::function<void()> *work = job;
    std::function<void()> task = [work, handle, target] {
        takenOver();
        (*work)();
        // Pool threads are detached and may still be ending when the process exits, after
        // OpenSSL's own cleanup; free this thread's OpenSSL state (error queue, DRBGs) now.
        OPENSSL_thread_stop();
        handedOver();
        if (target)
            QMetaObject::invokeMethod(target.data(), [handle] {
                takenOver();
                handle.resume();
            }, Qt::QueuedConnection);
    };
    handedOver();
    QThreadPool::globalInstance()->start(std::move(task));
}

} // namespace WorkerDetail
