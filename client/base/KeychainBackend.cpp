#include "base/KeychainBackend.h"

#include <QTimer>
#include <qcoro/qcorosignal.h>
#include <qt6keychain/keychain.h>

#include <memory>

namespace {

struct Outcome {
    bool done = false;
    QKeychain::Error error = QKeychain::OtherError;
    QByteArray data;
};

// Starts the job and waits for it or for `wait`. The job deletes itself when it finishes, also
// after a time-out; its result is copied out in the finished handler.
template <typename JobT>
QCoro::Task<Outcome> run(JobT *job, std::chrono::milliseconds wait)
{
    auto outcome = std::make_shared<Outcome>();
    job->setAutoDelete(true);
    QObject::connect(job, &QKeychain::Job::finished, job, [outcome](QKeychain::Job *finished) {
        outcome->done = true;
        outcome->error = finished->error();
        if (auto *reader = qobject_cast<QKeychain::ReadPasswordJob *>(finished))
            outcome->data = reader->binaryData();
    });
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(job, &QKeychain::Job::finished, &timer, [&timer] { timer.start(0); });
    timer.start(wait);
    job->start();
    if (!outcome->done)
        co_await qCoro(&timer, &QTimer::timeout);
    co_return *outcome;
}

} // namespace

KeychainBackend::KeychainBackend(QString service, std::chrono::milliseconds wait)
    : m_service(std::move(service)), m_wait(wait)
{
}

QCoro::Task<SecretBackend::Read> KeychainBackend::read(QString name)
{
    auto *job = new QKeychain::ReadPasswordJob(m_service);
    job->setKey(name);
    const Outcome outcome = co_await run(job, m_wait);
    if (outcome.done && outcome.error == QKeychain::NoError)
        co_return Read{Status::Found, outcome.data};
    if (outcome.done && outcome.error == QKeychain::EntryNotFound)
        co_return Read{Status::Missing, {}};
    co_return Read{Status::Failed, {}};
}

QCoro::Task<bool> KeychainBackend::write(QString name, QByteArray value)
{
    auto *job = new QKeychain::WritePasswordJob(m_service);
    job->setKey(name);
    job->setBinaryData(value);
    const Outcome outcome = co_await run(job, m_wait);
    co_return outcome.done && outcome.error == QKeychain::NoError;
}
