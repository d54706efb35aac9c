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

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool validUtf8(const QByteArray &bytes)
{
    const auto *p = reinterpret_cast<const uchar *>(bytes.constData());
    const qsizetype n = bytes.size();
    for (qsizetype i = 0; i < n;) {
        const uchar c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        int more = 0;
        uchar lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            more = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            more = 2;
            if (c == 0xE0)
                lo = 0xA0;
            else if (c == 0xED)
                hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            more = 3;
            if (c == 0xF0)
                lo = 0x90;
            else if (c == 0xF4)
                hi = 0x8F;
        } else {
            return false;
        }
        if (i + more >= n)
            return false;
        if (p[i + 1] < lo || p[i + 1] > hi)
            return false;
        for (int k = 2; k <= more; ++k)
            if ((p[i + k] & 0xC0) != 0x80)
                return false;
        i += more + 1;
    }
    return true;
}

// Codes a peer may put in its close frame; the others are reserved or must never be sent.
bool validCloseCode(int code)
{
    return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1011) || (code >= 3000 && code <= 4999);
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
    auto refuse = [this](const QByteArray &statusLine) {
        m_socket->write("HTTP/1.1 " + statusLine + "\r\nSec-WebSocket-Version: 13\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
        m_state = State::Closing;
        m_socket->disconnectFromHost();
        return false;
    };
    if (end < 0) {
        if (m_in.size() > kMaxHead)
            return refuse("431 Request Header Fields Too Large");
        return false;
    }
    const QList<QByteArray> lines = m_in.left(end).split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    QList<QByteArray> keys, versions;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = lines[i].left(colon).trimmed().toLower();
        if (name == "sec-websocket-key")
            keys << lines[i].mid(colon + 1).trimmed();
        else if (name == "sec-websocket-version")
            versions << lines[i].mid(colon + 1).trimmed();
    }
    m_in.remove(0, end + 4);
    // Upgrades need HTTP/1.1 and exactly one key: the base64 form of 16 bytes.
    const bool getOverHttp11 = requestLine.size() == 3 && requestLine[0] == "GET" && requestLine[2] == "HTTP/1.1";
    const auto decoded = keys.size() == 1 && keys[0].size() == 24
                             ? QByteArray::fromBase64Encoding(keys[0], QByteArray::AbortOnBase64DecodingErrors)
                             : QByteArray::FromBase64Result{};
    if (!getOverHttp11 || !decoded || decoded.decoded.size() != 16 || versions.size() != 1)
        return refuse("400 Bad Request");
    if (versions[0] != "13")
        return refuse("426 Upgrade Required");
    const QByteArray accept =
        QCryptographicHash::hash(keys[0] + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11", QCryptographicHash::Sha1).toBase64();
    m_socket->write("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: " + accept +
                    "\r\n\r\n");
    m_state = State::Open;
    emit opened();
    return true;
}

// Consumes one frame; false when more bytes are needed or the connection is being closed.
// Every rule is checked as soon as the header is in: a frame that breaks one is never awaited.
bool WebSocket::readFrame()
{
    m_in += m_socket->read(std::max<qint64>(0, m_maxMessage + 14 - m_in.size()));
    if (m_in.size() < 2)
        return false;
    const auto *p = reinterpret_cast<const uchar *>(m_in.constData());
    const bool fin = p[0] & 0x80;
    const quint8 opcode = p[0] & 0x0F;
    const bool control = opcode & 0x8;
    const bool knownOpcode = opcode <= Binary || opcode == Close || opcode == Ping || opcode == Pong;
    // Extensions were not negotiated; clients must mask.
    if ((p[0] & 0x70) || !(p[1] & 0x80) || !knownOpcode) {
        fail(1002);
        return false;
    }
    // A control frame is never fragmented and carries at most 125 bytes; data frames either
    // start a message or continue the one in progress, never both.
    if ((control && (!fin || (p[1] & 0x7F) > 125)) || (!control && (opcode == Continuation) != m_inMessage)) {
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
    if (!control && length > quint64(m_maxMessage - m_message.size())) {
        fail(1009); // not waited for: it could be gigabytes that never come
        return false;
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
        if (payload.isEmpty()) {
            close(1000);
        } else {
            const int code = payload.size() >= 2 ? qFromBigEndian<quint16>(payload.constData()) : 0;
            if (!validCloseCode(code))
                fail(1002);
            else if (!validUtf8(payload.mid(2)))
                fail(1007);
            else
                close(code);
        }
        return false;
    }
    default:
        // Only data counts as activity: control frames (pings) alone must not keep a connection.
        emit activity();
        if (opcode != Continuation) {
            m_inMessage = true;
            m_binary = opcode == Binary;
            m_message.clear();
        }
        m_message += payload;
        if (fin)
            finishMessage();
        return m_state == State::Open;
    }
}

void WebSocket::finishMessage()
{
    m_inMessage = false;
    QByteArray message = std::move(m_message);
    m_message.clear();
    if (m_binary)
        emit unusableReceived();
    else if (!validUtf8(message)) // checked whole, so a character may be split across fragments
        fail(1007);
    else
        emit textReceived(message);
}

} // namespace Gateway
