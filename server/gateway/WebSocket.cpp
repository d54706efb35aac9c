#include "gateway/WebSocket.h"

#include "core/OutputBudget.h"

#include <QCryptographicHash>
#include <QSslSocket>
#include <QtEndian>

namespace Gateway {

namespace {

constexpr qsizetype kMaxHead = 16 * 1024;
constexpr int kOverflow = 1008;
// Bytes the kernel may hold for a peer that does not read (it otherwise grows this to megabytes,
// and answers computed into it escape every bound of ours).
constexpr int kSendBuffer = 256 * 1024;

enum Opcode : quint8 { Continuation = 0x0, Text = 0x1, Binary = 0x2, Close = 0x8, Ping = 0x9, Pong = 0xA };

QByteArray frame(quint8 opcode, const QByteArray &payload)
{
    QByteArray out;
    out.reserve(payload.size() + 10);
    out.append(char(0x80 | opcode));
    const quint64 n = static_cast<quint64>(payload.size());
    if (n < 126) {
        out.append(char(n));
    } else if (n <= 0xFFFF) {
        out.append(char(126));
        out.append(char(n >> 8)).append(char(n & 0xFF));
    } else {
        out.append(char(127));
        for (int shift = 56; shift >= 0; shift -= 8)
            out.append(char((n >> shift) & 0xFF));
    }
    out.append(payload);
    return out;
}

QByteArray closePayload(int code, const QByteArray &reason)
{
    QByteArray p;
    p.append(char((code >> 8) & 0xFF)).append(char(code & 0xFF));
    p.append(reason.left(123));
    return p;
}

} // namespace

WebSocket::WebSocket(QSslSocket *socket, Bounds bounds, OutputBudget *budget, QObject *parent)
    : QObject(parent), m_socket(socket), m_bounds(bounds), m_budget(budget), m_maxMessage(bounds.maxMessage)
{
    m_socket->setParent(this);
    m_socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, kSendBuffer);
    m_next.setSingleShot(true);
    m_next.setInterval(0);
    connect(&m_next, &QTimer::timeout, this, &WebSocket::onReadyRead);
    if (m_budget)
        m_budget->enter(this, [this] { close(kOverflow, "output budget exceeded"); });
    m_closeGrace.setSingleShot(true);
    m_closeGrace.setInterval(m_bounds.closeGraceMs);
    connect(&m_closeGrace, &QTimer::timeout, this, [this] {
        // The peer does not take the close frame: waiting for it would hold its output forever.
        m_socket->abort();
        gone();
    });
    connect(m_socket, &QIODevice::readyRead, this, &WebSocket::onReadyRead);
    connect(m_socket, &QIODevice::bytesWritten, this, &WebSocket::onWritten);
    connect(m_socket, &QSslSocket::encryptedBytesWritten, this, &WebSocket::onWritten);
    connect(m_socket, &QAbstractSocket::disconnected, this, &WebSocket::gone);
    // The head may be buffered already: it was peeked, not read, by the HTTP layer. A peer gone
    // before the hand-off sends no `disconnected` any more.
    QMetaObject::invokeMethod(this, [this] {
        if (m_socket->state() == QAbstractSocket::UnconnectedState) {
            gone();
            return;
        }
        onReadyRead();
    }, Qt::QueuedConnection);
}

WebSocket::~WebSocket()
{
    if (m_budget)
        m_budget->leave(this);
    m_socket->disconnect(this);
    m_socket->abort();
}

void WebSocket::gone()
{
    m_closeGrace.stop();
    if (m_budget)
        m_budget->update(this, 0);
    if (m_state != State::Closed) {
        m_state = State::Closed;
        emit closed();
    }
}

qint64 WebSocket::pendingOutput() const { return m_socket->bytesToWrite() + m_socket->encryptedBytesToWrite(); }

void WebSocket::onWritten()
{
    if (m_state == State::Closed)
        return;
    if (m_budget)
        m_budget->update(this, pendingOutput());
    if (m_paused && pendingOutput() < m_bounds.resumeBelow) {
        m_paused = false;
        // Not from inside the socket's signal: requests answered now write to it again.
        m_next.start();
    }
}

bool WebSocket::outputOverBound()
{
    if (!m_paused && pendingOutput() > m_bounds.pauseAbove)
        m_paused = true;
    return m_paused;
}

QByteArray WebSocket::textFrame(const QByteArray &utf8) { return frame(Text, utf8); }

void WebSocket::sendFrame(const QByteArray &bytes)
{
    if (m_state != State::Open)
        return;
    if (pendingOutput() + bytes.size() > m_bounds.maxPendingWrite) {
        // The peer does not read even its answers' worth while its requests wait.
        close(kOverflow, "too much unread output");
        return;
    }
    m_socket->write(bytes);
    if (m_budget)
        m_budget->update(this, pendingOutput());
}

void WebSocket::close(int code, const QByteArray &reason)
{
    if (m_state != State::Open && m_state != State::Handshake)
        return;
    if (m_state == State::Open)
        m_socket->write(frame(Close, closePayload(code, reason)));
    m_state = State::Closing;
    m_socket->disconnectFromHost(); // after the pending bytes are written
    if (m_state == State::Closing)
        m_closeGrace.start();
}

void WebSocket::fail(int code)
{
    close(code);
}

void WebSocket::onReadyRead()
{
    if (m_state == State::Handshake && !readHandshake())
        return;
    while (m_state == State::Open && !outputOverBound() && readFrame()) {
    }
    // While its requests wait, a peer may queue up a few more, not without bound.
    if (m_paused && m_state == State::Open && m_socket->bytesAvailable() > m_maxMessage + kMaxHead)
        close(kOverflow, "too many requests queued");
    if (m_state == State::Closing || m_state == State::Closed)
        m_socket->readAll(); // nothing more is processed
}

bool WebSocket::readHandshake()
{
    m_in += m_socket->read(kMaxHead + 4 - m_in.size());
    const qsizetype end = m_in.indexOf("\r\n\r\n");
    if (end < 0) {
        if (m_in.size() > kMaxHead) {
            m_socket->write("HTTP/1.1 431 Request Header Fields Too Large\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
            m_state = State::Closing;
            m_socket->disconnectFromHost();
        }
        return false;
    }
    QByteArray key, version;
    const QList<QByteArray> lines = m_in.left(end).split('\n');
    const bool isGet = lines.value(0).startsWith("GET ");
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = lines[i].left(colon).trimmed().toLower();
        if (name == "sec-websocket-key")
            key = lines[i].mid(colon + 1).trimmed();
        else if (name == "sec-websocket-version")
            version = lines[i].mid(colon + 1).trimmed();
    }
    m_in.remove(0, end + 4);
    if (!isGet || key.isEmpty() || version != "13") {
        m_socket->write("HTTP/1.1 400 Bad Request\r\nSec-WebSocket-Version: 13\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
        m_state = State::Closing;
        m_socket->disconnectFromHost();
        return false;
    }
    const QByteArray accept =
        QCryptographicHash::hash(key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11", QCryptographicHash::Sha1).toBase64();
    m_socket->write("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: " + accept +
                    "\r\n\r\n");
    m_state = State::Open;
    emit opened();
    return true;
}

// Consumes one frame (or part of a skipped one); false when more bytes are needed.
bool WebSocket::readFrame()
{
    if (m_skip > 0) {
        const qint64 fromBuffer = std::min<qint64>(m_skip, m_in.size());
        m_in.remove(0, fromBuffer);
        m_skip -= fromBuffer;
        while (m_skip > 0 && m_socket->bytesAvailable() > 0)
            m_skip -= m_socket->skip(std::min<qint64>(m_skip, m_socket->bytesAvailable()));
        if (m_skip > 0)
            return false;
        emit activity();
        if (m_skipFin)
            finishMessage();
        return true;
    }
    m_in += m_socket->read(std::max<qint64>(0, m_maxMessage + 14 - m_in.size()));
    if (m_in.size() < 2)
        return false;
    const auto *p = reinterpret_cast<const uchar *>(m_in.constData());
    const bool fin = p[0] & 0x80;
    const quint8 opcode = p[0] & 0x0F;
    if ((p[0] & 0x70) || !(p[1] & 0x80)) { // extensions were not negotiated; clients must mask
        fail(1002);
        return false;
    }
    quint64 length = p[1] & 0x7F;
    qsizetype header = 2;
    if (length == 126) {
        if (m_in.size() < 4)
            return false;
        length = qFromBigEndian<quint16>(p + 2);
        header = 4;
    } else if (length == 127) {
        if (m_in.size() < 10)
            return false;
        length = qFromBigEndian<quint64>(p + 2);
        header = 10;
        if (length >> 63) {
            fail(1002);
            return false;
        }
    }
    if (m_in.size() < header + 4)
        return false;
    const bool control = opcode & 0x8;
    if (control && (!fin || length > 125)) {
        fail(1002);
        return false;
    }
    if (!control && (opcode > Binary || (opcode == Continuation && !m_inMessage))) {
        fail(1002);
        return false;
    }
    // Qt's client (6.4) repeats the first opcode on the later fragments of a long message
    // instead of sending continuations; read those as continuations too.
    const bool continues = !control && m_inMessage;
    if (control && opcode != Close && opcode != Ping && opcode != Pong) {
        fail(1002);
        return false;
    }
    if (!control) {
        // Only data counts as activity: control frames (pings) alone must not keep a connection.
        emit activity();
        if (!continues) {
            m_inMessage = true;
            m_binary = opcode == Binary;
            m_dropping = false;
            m_message.clear();
        }
        if (m_dropping || qint64(length) > m_maxMessage - m_message.size()) {
            // Too large: skip it as it streams in.
            m_dropping = true;
            m_message.clear();
            m_in.remove(0, header + 4);
            m_skip = static_cast<qint64>(length);
            m_skipFin = fin;
            if (m_skip == 0 && fin)
                finishMessage();
            return true;
        }
    }
    if (m_in.size() < header + 4 + qsizetype(length))
        return false;
    const uchar *mask = p + header;
    QByteArray payload = m_in.mid(header + 4, qsizetype(length));
    char *d = payload.data();
    for (qsizetype i = 0; i < payload.size(); ++i)
        d[i] = char(d[i] ^ mask[i % 4]);
    m_in.remove(0, header + 4 + qsizetype(length));

    switch (opcode) {
    case Ping:
        // Under the same write cap as everything else, or pings that are never read grow it forever.
        sendFrame(frame(Pong, payload));
        return m_state == State::Open;
    case Pong:
        return true;
    case Close: {
        // Answer with the peer's code, as the protocol asks, then end.
        const int code = payload.size() >= 2 ? qFromBigEndian<quint16>(payload.constData()) : 1000;
        const bool sendable = (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) || (code >= 3000 && code < 5000);
        close(sendable ? code : 1000);
        return false;
    }
    default:
        m_message += payload;
        if (fin)
            finishMessage();
        return true;
    }
}

void WebSocket::finishMessage()
{
    m_inMessage = false;
    const bool unusable = m_dropping || m_binary;
    m_dropping = false;
    QByteArray message = std::move(m_message);
    m_message.clear();
    if (unusable)
        emit unusableReceived();
    else
        emit textReceived(message);
}

} // namespace Gateway
