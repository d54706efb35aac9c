#include "im/PendingBox.h"

#include "base/HandOver.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QThread>
#include <QUuid>

PendingBox &PendingBox::shared()
{
    static PendingBox *box = new PendingBox;
    return *box;
}

void PendingBox::add(const QByteArray &operationID, Completion completion, bool send)
{
    std::lock_guard guard(m_lock);
    (send ? m_pendingSend : m_pending).insert(operationID, std::move(completion));
}

PendingBox::Completion PendingBox::take(const QByteArray &operationID, bool send)
{
    std::lock_guard guard(m_lock);
    return (send ? m_pendingSend : m_pending).take(operationID);
}

qsizetype PendingBox::size(bool send)
{
    std::lock_guard guard(m_lock);
    return (send ? m_pendingSend : m_pending).size();
}

QByteArray newOperationID()
{
    return QUuid::createUuid().toByteArray(QUuid::WithoutBraces);
}

static QByteArray bytes(const char *s)
{
    return s ? QByteArray(s) : QByteArray();
}

static void complete(const char *operationID, SdkAnswer answer, bool send)
{
    PendingBox::Completion completion = PendingBox::shared().take(bytes(operationID), send);
    // Late, duplicate and unknown answers are dropped.
    if (completion)
        completion(std::move(answer));
}

extern "C" void mlCbSISS(char *operationID, int errCode, char *errMsg, char *data)
{
    complete(operationID, SdkAnswer{errCode, QString::fromUtf8(bytes(errMsg)), bytes(data), 0}, false);
}

extern "C" void mlCbSISSI(char *operationID, int errCode, char *errMsg, char *data, int progress)
{
    // Intermediate progress keeps the send pending.
    if (errCode == 0 && progress >= 1 && progress <= 99)
        return;
    complete(operationID, SdkAnswer{errCode, QString::fromUtf8(bytes(errMsg)), bytes(data), progress}, true);
}

namespace PendingDetail {

std::function<void()> resumer(std::coroutine_handle<> handle)
{
    // The thread's event dispatcher lives on that thread; queue the resumption there.
    QObject *context = QAbstractEventDispatcher::instance(QThread::currentThread());
    if (!context)
        context = QCoreApplication::instance();
    QPointer<QObject> target(context);
    return [target, handle] {
        if (target)
            QMetaObject::invokeMethod(target.data(), HandOver::wrap([handle] { handle.resume(); }), Qt::QueuedConnection);
    };
}

} // namespace PendingDetail
