#include "http/HttpServer.h"

#include "base/HandOver.h"
#include "core/Log.h"
#include "http/HttpConnection.h"

#include <QThread>
#include <chrono>

namespace Http {

struct Server::Worker {
    QThread thread;
    QObject *context = nullptr; // lives on `thread`; parent of its connections
};

void Server::Shared::finished()
{
    if (--inFlight == 0) {
        std::lock_guard lock(mutex);
        idle.notify_all();
    }
}

Server::Server(Handler &handler, QSslConfiguration tls, int threads, QObject *parent)
    : QTcpServer(parent), m_shared(std::make_shared<Shared>(handler, std::move(tls)))
{
    for (int i = 0; i < std::max(threads, 1); ++i) {
        auto worker = std::make_unique<Worker>();
        worker->thread.setObjectName(QStringLiteral("http-%1").arg(i));
        worker->context = new QObject;
        worker->context->moveToThread(&worker->thread);
        worker->thread.start();
        m_workers.push_back(std::move(worker));
    }
}

Server::~Server() { stop(); }

void Server::setUpgradeHandler(const QString &path, UpgradeHandler upgrade)
{
    m_shared->upgrades.insert(path, std::move(upgrade));
}

bool Server::start(const QHostAddress &address, quint16 port)
{
    if (!listen(address, port)) {
        Log::error("listen_failed", {{"address", address.toString()}, {"port", QString::number(port)}, {"error", errorString()}});
        return false;
    }
    return true;
}

void Server::incomingConnection(qintptr descriptor)
{
    Worker &worker = *m_workers[m_next++ % m_workers.size()];
    std::shared_ptr<Shared> shared = m_shared;
    QObject *context = worker.context;
    QMetaObject::invokeMethod(context, HandOver::wrap([descriptor, shared, context] { new Connection(descriptor, shared, context); }));
}

void Server::stop()
{
    if (m_stopped)
        return;
    m_stopped = true;
    close();
    {
        // Requests in progress finish on their threads; a bounded wait keeps shutdown prompt.
        std::unique_lock lock(m_shared->mutex);
        m_shared->idle.wait_for(lock, std::chrono::seconds(10), [this] { return m_shared->inFlight.load() == 0; });
    }
    for (auto &worker : m_workers) {
        QObject *context = worker->context;
        const HandOver::Token ended;
        QMetaObject::invokeMethod(context, ended.wrap([context] { delete context; }), Qt::BlockingQueuedConnection);
        worker->thread.quit();
        worker->thread.wait();
        ended.acquire();
    }
    m_workers.clear();
}

} // namespace Http
