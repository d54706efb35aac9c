#include "http/HttpConnection.h"

#include "core/Log.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QSslSocket>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace Http {

namespace {
constexpr qint64 kMaxHead = 16 * 1024;
constexpr int kIdleMs = 60000;
constexpr qint64 kWriteWindow = 1 << 20;
constexpr qint64 kChunk = 256 * 1024;
// An early answer is read by clients only if we take their body; beyond this we just close.
constexpr qint64 kMaxDrain = 64LL * 1024 * 1024;
} // namespace

Connection::Connection(qintptr descriptor, std::shared_ptr<Server::Shared> shared, QObject *parent)
    : QObject(parent), m_shared(std::move(shared))
{
    m_socket = new QSslSocket(this);
    if (!m_socket->setSocketDescriptor(descriptor)) {
        deleteLater();
        return;
    }
    // Small answers go out at once; Nagle would hold them back behind the client's delayed ACK.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_socket->setSslConfiguration(m_shared->tls);

    // A coarse periodic check instead of restarting a timer on every read.
    m_activity.start();
    m_idle.setInterval(kIdleMs / 4);
    connect(&m_idle, &QTimer::timeout, this, [this] {
        // Only an idle or stalled reader is dropped, never a request being answered.
        const bool reading = m_state == State::Handshake || m_state == State::Head || m_state == State::Body || m_state == State::Draining;
        if (reading && m_activity.hasExpired(kIdleMs))
            m_socket->abort();
    });
    m_idle.start();

    connect(m_socket, &QSslSocket::encrypted, this, [this] {
        m_state = State::Head;
        onReadable();
    });
    connect(m_socket, &QSslSocket::readyRead, this, &Connection::onReadable);
    connect(m_socket, &QSslSocket::encryptedBytesWritten, this, &Connection::pump);
    connect(m_socket, &QSslSocket::disconnected, this, &QObject::deleteLater);
    connect(m_socket, &QSslSocket::errorOccurred, this, [this](QAbstractSocket::SocketError e) {
        if (e != QAbstractSocket::RemoteHostClosedError && Log::enabled(Log::Level::Debug))
            Log::write(Log::Level::Debug, "socket_error", {{"error", m_socket->errorString()}});
        if (m_socket->state() != QAbstractSocket::ConnectedState)
            deleteLater();
    });
    connect(m_socket, &QSslSocket::sslErrors, this, [](const QList<QSslError> &) {});
    m_socket->startServerEncryption();
}

Connection::~Connection() = default;

void Connection::quickAck()
{
    // Acknowledge at once: Qt's HTTP client leaves Nagle on, so its last body segment would
    // otherwise wait for our delayed ACK (~40 ms per request).
    const int one = 1;
    setsockopt(static_cast<int>(m_socket->socketDescriptor()), IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
}

void Connection::onReadable()
{
    if (!m_socket || !m_socket->isEncrypted())
        return;
    quickAck();
    m_activity.start();
    while (true) {
        if (m_state == State::Head) {
            if (!readHead())
                return;
        } else if (m_state == State::Body) {
            readBody();
            if (m_state == State::Body)
                return;
        } else if (m_state == State::Draining) {
            const QByteArray discarded = m_socket->read(std::min(m_drain, m_socket->bytesAvailable()));
            m_drain -= discarded.size();
            if (m_drain == 0) {
                m_state = State::Closing;
                m_socket->disconnectFromHost();
            }
            return;
        } else {
            return; // a request is being answered; the next one waits in the socket
        }
    }
}

bool Connection::readHead()
{
    // Peek first: an upgrade request must reach its handler with the head unread.
    const QByteArray buffered = m_socket->peek(std::min(kMaxHead + 4, m_socket->bytesAvailable()));
    const qsizetype end = buffered.indexOf("\r\n\r\n");
    // A line ended by a bare LF would never be followed by the blank CRLF line we wait for.
    for (qsizetype lf = buffered.indexOf('\n'); lf >= 0 && (end < 0 || lf < end); lf = buffered.indexOf('\n', lf + 1)) {
        if (lf == 0 || buffered[lf - 1] != '\r') {
            fail(400, "lines must end with CRLF");
            return false;
        }
    }
    if (end < 0) {
        if (buffered.size() > kMaxHead)
            fail(431, "request head too large");
        return false;
    }
    QByteArray version, error;
    std::optional<Request> head = parseHead(buffered.left(end), &version, &error);
    if (!head) {
        fail(400, error);
        return false;
    }
    Request r = std::move(*head);
    r.peer = m_socket->peerAddress();

    const QByteArray connection = r.header("connection").toLower();
    if (connection.contains("upgrade") && r.header("upgrade").toLower() == "websocket") {
        // Upgrades are matched on the path as sent: an encoded form of an endpoint is not that endpoint.
        const QByteArray target = buffered.left(buffered.indexOf('\n')).trimmed().split(' ').value(1);
        const QByteArray rawPath = target.split('?').constFirst();
        if (version != "HTTP/1.1" || rawPath.contains('%')) {
            fail(400, "malformed upgrade request");
            return false;
        }
        const auto upgrade = m_shared->upgrades.constFind(r.path);
        if (upgrade == m_shared->upgrades.constEnd()) {
            fail(404, "no such endpoint");
            return false;
        }
        // Handed over from the event loop, not from inside the socket's own readyRead, so the
        // new owner may move it to another thread.
        QSslSocket *socket = m_socket;
        socket->disconnect(this);
        m_socket = nullptr;
        m_state = State::Closing;
        const Server::UpgradeHandler handler = *upgrade;
        QMetaObject::invokeMethod(
            this,
            [this, socket, handler] {
                socket->setParent(nullptr);
                handler(socket);
                deleteLater();
            },
            Qt::QueuedConnection);
        return false;
    }

    m_socket->read(end + 4);
    m_keepAlive = version == "HTTP/1.1" ? !connection.contains("close") : connection.contains("keep-alive");
    m_headOnly = r.method == "HEAD";
    if (r.headers.contains("transfer-encoding")) {
        fail(411, "a Content-Length is required");
        return false;
    }
    bool ok = true;
    const QByteArray length = r.header("content-length");
    r.contentLength = length.isEmpty() ? 0 : length.toLongLong(&ok);
    if (!ok || r.contentLength < 0) {
        fail(400, "bad Content-Length");
        return false;
    }

    std::optional<Response> refusal;
    m_sink = m_shared->handler.sinkFor(r, &refusal);
    if (refusal) {
        refuseBody(std::move(*refusal), r.contentLength);
        return false;
    }
    if (!m_sink && r.contentLength > m_shared->handler.maxBody(r)) {
        refuseBody(Response::json(QJsonObject{{QStringLiteral("error"), QStringLiteral("request body too large")}}, 413), r.contentLength);
        return false;
    }
    if (r.header("expect").toLower() == "100-continue")
        m_socket->write("HTTP/1.1 100 Continue\r\n\r\n");
    m_request = std::move(r);
    m_remaining = m_request.contentLength;
    if (!m_sink)
        m_request.body.reserve(m_remaining);
    m_state = State::Body;
    return true;
}

void Connection::readBody()
{
    while (m_remaining > 0 && m_socket->bytesAvailable() > 0) {
        const QByteArray chunk = m_socket->read(std::min(m_remaining, m_socket->bytesAvailable()));
        m_remaining -= chunk.size();
        if (m_sink) {
            if (!m_sink->write(chunk)) {
                Response refusal = m_sink->refusal();
                m_sink.reset();
                refuseBody(std::move(refusal), m_remaining);
                return;
            }
        } else {
            m_request.body += chunk;
        }
    }
    if (m_remaining == 0)
        dispatch();
}

void Connection::dispatch()
{
    m_state = State::Handling;
    ++m_shared->inFlight;
    run(std::move(m_request), std::move(m_sink));
    m_request = Request();
}

QCoro::Task<> Connection::run(Request request, std::unique_ptr<BodySink> sink)
{
    QPointer<Connection> self(this);
    std::shared_ptr<Server::Shared> shared = m_shared;
    QElapsedTimer timer;
    timer.start();
    const QByteArray method = request.method;
    const QString path = request.path;
    Response response;
    try {
        if (sink)
            response = co_await sink->finish(std::move(request));
        else
            response = co_await shared->handler.handle(std::move(request));
    } catch (const std::exception &e) {
        Log::error("handler_failed", {{"path", path}, {"what", QString::fromUtf8(e.what())}});
        response = Response::json(QJsonObject{{QStringLiteral("error"), QStringLiteral("internal error")}}, 500);
    }
    if (Log::enabled(Log::Level::Info))
        Log::info("request", {{"method", QString::fromLatin1(method)},
                              {"path", path},
                              {"status", QString::number(response.status)},
                              {"us", QString::number(timer.nsecsElapsed() / 1000)}});
    if (self)
        self->send(std::move(response));
    shared->finished();
}

void Connection::send(Response response, bool close)
{
    if (!m_socket)
        return;
    if (close)
        m_keepAlive = false;
    const qint64 length = response.device ? response.deviceSize : response.body.size();
    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + reasonPhrase(response.status) + "\r\n";
    head += "Content-Type: " + response.contentType + "\r\n";
    head += "Content-Length: " + QByteArray::number(length) + "\r\n";
    for (const auto &[name, value] : response.headers)
        head += name + ": " + value + "\r\n";
    head += m_keepAlive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";
    if (!m_headOnly && !response.device)
        head += response.body;
    m_socket->write(head);
    m_state = State::Writing;
    if (!m_headOnly && response.device) {
        m_device = std::move(response.device);
        m_deviceLeft = length;
        pump();
    } else {
        finishResponse();
    }
}

void Connection::pump()
{
    if (m_state != State::Writing || !m_device)
        return;
    while (m_deviceLeft > 0 && m_socket->bytesToWrite() + m_socket->encryptedBytesToWrite() < kWriteWindow) {
        const QByteArray chunk = m_device->read(std::min(kChunk, m_deviceLeft));
        if (chunk.isEmpty()) {
            // The stored file shrank under us: the promised length cannot be met.
            m_socket->abort();
            return;
        }
        m_deviceLeft -= chunk.size();
        m_socket->write(chunk);
    }
    if (m_deviceLeft == 0) {
        m_device.reset();
        finishResponse();
    }
}

void Connection::refuseBody(Response response, qint64 unread)
{
    // The connection is not reused after an early answer; the rest of the body is taken and
    // dropped first, or the client may see a reset instead of the answer.
    m_drain = unread <= kMaxDrain ? unread : 0;
    send(std::move(response), true);
}

void Connection::finishResponse()
{
    if (!m_keepAlive && m_drain > 0) {
        m_state = State::Draining;
        m_activity.start();
        if (m_socket->bytesAvailable() > 0)
            QMetaObject::invokeMethod(this, &Connection::onReadable, Qt::QueuedConnection);
        return;
    }
    if (!m_keepAlive) {
        m_state = State::Closing;
        m_socket->disconnectFromHost();
        return;
    }
    m_state = State::Head;
    m_activity.start();
    // A pipelined request may already be waiting.
    if (m_socket->bytesAvailable() > 0)
        QMetaObject::invokeMethod(this, &Connection::onReadable, Qt::QueuedConnection);
}

void Connection::fail(int status, const QByteArray &message)
{
    send(Response::json(QJsonObject{{QStringLiteral("error"), QString::fromLatin1(message)}}, status), true);
}

} // namespace Http
