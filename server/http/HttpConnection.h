#pragma once

#include "http/Http.h"
#include "http/HttpServer.h"

#include <QObject>
#include <QElapsedTimer>
#include <QTimer>
#include <memory>

class QSslSocket;

namespace Http {

// One client connection: TLS, request heads, bodies (buffered or streamed), keep-alive.
// Requests on one connection are answered strictly in order.
class Connection : public QObject {
    Q_OBJECT
public:
    Connection(qintptr descriptor, std::shared_ptr<Server::Shared> shared, QObject *parent);
    ~Connection() override;

private:
    enum class State { Handshake, Head, Body, Handling, Writing, Draining, Closing };

    void onReadable();
    bool readHead();
    void readBody();
    void dispatch();
    QCoro::Task<> run(Request request, std::unique_ptr<BodySink> sink);
    void send(Response response, bool close = false);
    void pump();
    void finishResponse();
    void fail(int status, const QByteArray &message);
    void refuseBody(Response response, qint64 unread);
    void quickAck();
    qint64 pendingOutput() const;
    void onWritten();

    QSslSocket *m_socket = nullptr;
    std::shared_ptr<Server::Shared> m_shared;
    State m_state = State::Handshake;
    QTimer m_idle;
    QElapsedTimer m_activity;
    Request m_request;
    std::unique_ptr<BodySink> m_sink;
    qint64 m_remaining = 0;
    qint64 m_drain = 0; // body bytes still to discard after an early answer
    bool m_keepAlive = true;
    bool m_headOnly = false;
    std::shared_ptr<QIODevice> m_device;
    qint64 m_deviceLeft = 0;
    bool m_waitingForPeer = false; // a pipelined request waits until the peer reads our answers
};

} // namespace Http
