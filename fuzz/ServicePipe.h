#pragma once

#include "FuzzSupport.h"

#include <QPointer>
#include <QSslSocket>

#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Fuzz {

// A connected socket pair: the service's end as the QSslSocket the HTTP layer hands over (TLS
// is not started, so it reads plain bytes), and the raw peer end the input is written to.
class ServicePipe {
public:
    ServicePipe()
    {
        int fds[2];
        check(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0, "socketpair");
        m_peer = fds[1];
        ::fcntl(m_peer, F_SETFL, ::fcntl(m_peer, F_GETFL) | O_NONBLOCK);
        socket = new QSslSocket;
        check(socket->setSocketDescriptor(fds[0]), "adopting the socket");
    }
    ~ServicePipe()
    {
        delete socket.data();
        ::close(m_peer);
    }
    ServicePipe(const ServicePipe &) = delete;
    ServicePipe &operator=(const ServicePipe &) = delete;

    // Writes all of `bytes`, reading back what the service answers so that neither side stalls.
    // Stops early once the service has closed the connection.
    void send(QByteArrayView bytes)
    {
        while (!bytes.isEmpty()) {
            const ssize_t n = ::send(m_peer, bytes.data(), size_t(bytes.size()), MSG_NOSIGNAL);
            if (n > 0) {
                bytes = bytes.sliced(n);
                continue;
            }
            if (n < 0 && (errno == EPIPE || errno == ECONNRESET))
                return;
            check(n < 0 && (errno == EAGAIN || errno == EINTR), "writing to the service");
            pump();
        }
    }
    // The peer is done sending: the service reads to the end and then sees the connection close.
    void endInput() { ::shutdown(m_peer, SHUT_WR); }

    // Lets the service read what arrived and write its answers; false once its socket is gone.
    bool pump()
    {
        char sink[4096];
        while (::read(m_peer, sink, sizeof sink) > 0) {
        }
        if (socket && socket->state() == QAbstractSocket::ConnectedState)
            socket->waitForReadyRead(0);
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return !socket.isNull();
    }

    // Until the service is done with the connection (it deleted the socket) or, for owners that
    // keep it, until it is no longer connected.
    void drain(bool ownerDeletes)
    {
        QElapsedTimer timer;
        timer.start();
        while (pump() && (ownerDeletes || socket->state() != QAbstractSocket::UnconnectedState))
            check(!timer.hasExpired(5000), "the service did not finish the connection");
    }

    QPointer<QSslSocket> socket;

private:
    int m_peer = -1;
};

// A client frame (always masked) with the given first byte (FIN, opcode).
inline QByteArray clientFrame(quint8 first, QByteArrayView payload, quint32 maskKey = 0x5A17C3E1)
{
    QByteArray out;
    out.append(char(first));
    const quint64 n = quint64(payload.size());
    if (n < 126) {
        out.append(char(0x80 | n));
    } else if (n <= 0xFFFF) {
        out.append(char(0x80 | 126)).append(char(n >> 8)).append(char(n & 0xFF));
    } else {
        out.append(char(0x80 | 127));
        for (int shift = 56; shift >= 0; shift -= 8)
            out.append(char((n >> shift) & 0xFF));
    }
    const char mask[4] = {char(maskKey >> 24), char(maskKey >> 16), char(maskKey >> 8), char(maskKey)};
    out.append(mask, 4);
    for (qsizetype i = 0; i < payload.size(); ++i)
        out.append(char(payload[i] ^ mask[i % 4]));
    return out;
}

inline QByteArray openingHandshake()
{
    return "GET /msg_gateway HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
}

} // namespace Fuzz
