#pragma once

#include <QByteArray>
#include <QObject>

class QSslSocket;

namespace Gateway {

// The server side of a WebSocket over a socket whose TLS is already done: the opening
// handshake, incoming frames (masked, possibly fragmented, control frames in between) and
// outgoing frames. A message above the size limit, text that is not UTF-8 and any breach of the
// framing rules close the connection with the matching close code as soon as they are seen.
class WebSocket : public QObject {
    Q_OBJECT
public:
    // Takes ownership of `socket`, positioned before the HTTP request head. A peer that leaves
    // more than `maxPendingWrite` bytes unread is dropped.
    WebSocket(QSslSocket *socket, qint64 maxMessage, qint64 maxPendingWrite, QObject *parent = nullptr);
    ~WebSocket() override;

    // One unmasked, final text frame. Built once and written to any number of connections.
    static QByteArray textFrame(const QByteArray &utf8);

    bool isOpen() const { return m_state == State::Open; }
    void sendFrame(const QByteArray &frame);
    void sendText(const QByteArray &utf8) { sendFrame(textFrame(utf8)); }
    // Sends the close frame and ends the connection once it is written.
    void close(int code, const QByteArray &reason = {});

signals:
    void opened();
    void textReceived(const QByteArray &utf8);
    void unusableReceived(); // a binary message
    void activity();         // a data frame (not a control frame) arrived
    void closed();           // the socket is gone; delete the owner later

private:
    enum class State { Handshake, Open, Closing, Closed };
    void onReadyRead();
    bool readHandshake();
    bool readFrame();
    void finishMessage();
    void fail(int code); // protocol error: close without waiting for anything more

    QSslSocket *m_socket;
    qint64 m_maxMessage;
    qint64 m_maxPendingWrite;
    State m_state = State::Handshake;
    QByteArray m_in;
    // The message being assembled from fragments.
    bool m_inMessage = false;
    bool m_binary = false;
    QByteArray m_message;
};

} // namespace Gateway
