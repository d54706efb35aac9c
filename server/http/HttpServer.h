#pragma once

#include "http/Http.h"

#include <QSslConfiguration>
#include <QTcpServer>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class OutputBudget;
class QSslSocket;
class QThread;

namespace Http {

// HTTPS on one port: a small HTTP/1.1 layer over QSslSocket that streams large bodies to sinks
// instead of buffering them, and hands upgrade requests (the WebSocket gateway) their raw
// socket. Connections are spread over worker threads, each with its own event loop.
class Server : public QTcpServer {
    Q_OBJECT
public:
    // Called on the connection's worker thread with the socket positioned before the request
    // head (nothing consumed), so e.g. QWebSocketServer::handleConnection can read the handshake.
    // The callee owns the socket from then on.
    using UpgradeHandler = std::function<void(QSslSocket *socket)>;

    Server(Handler &handler, QSslConfiguration tls, int threads, QObject *parent = nullptr);
    ~Server() override;

    void setUpgradeHandler(const QString &path, UpgradeHandler upgrade);
    // The process-wide total that the connections' unread output counts against (before start).
    void setOutputBudget(std::shared_ptr<OutputBudget> budget) { m_shared->output = std::move(budget); }
    bool start(const QHostAddress &address, quint16 port);
    // Stops accepting, waits for requests in progress (bounded), closes every connection and
    // joins the worker threads.
    void stop();

    struct Shared {
        Shared(Handler &h, QSslConfiguration t) : handler(h), tls(std::move(t)) {}
        Handler &handler;
        QSslConfiguration tls;
        QHash<QString, UpgradeHandler> upgrades;
        std::shared_ptr<OutputBudget> output;
        std::atomic<int> inFlight{0};
        std::mutex mutex;
        std::condition_variable idle;
        void finished();
    };

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    struct Worker;
    std::shared_ptr<Shared> m_shared;
    std::vector<std::unique_ptr<Worker>> m_workers;
    size_t m_next = 0;
    bool m_stopped = false;
};

} // namespace Http
