#pragma once

#include <QByteArray>
#include <QObject>
#include <QTimer>

class OutputBudget;
class QSslSocket;

namespace Gateway {

// The server side of a WebSocket over a socket whose TLS is already done: the opening
// handshake, incoming frames (masked, possibly fragmented, control frames in between) and
// outgoing frames. A message above the size limit, text that is not UTF-8 and any breach of the
// framing rules close the connection with the matching close code as soon as they are seen.
class WebSocket : public QObject {
    Q_OBJECT
public:
    // What one connection may make us hold. Output counts everything written and not yet taken
    // by the peer: frames waiting for encryption and TLS records waiting for the socket.
    struct Bounds {
        qint64 maxMessage = 1 << 20;
        // Above this much unread output the peer is closed with 1008 (pushes keep coming even
        // while its requests wait).
        qint64 maxPendingWrite = 32 * 1024 * 1024;
        // Above this much unread output no further request is read (nor socket data taken in);
        // reading resumes once the peer has taken enough to leave less than `resumeBelow`.
        qint64 pauseAbove = 256 * 1024;
        qint64 resumeBelow = 64 * 1024;
        // A closing connection whose peer does not take the rest is reset after this long.
        int closeGraceMs = 2000;
    };

    // Takes ownership of `socket`, positioned before the HTTP request head. `budget` (optional,
    // must outlive this) is the process-wide total that this connection's output counts against.
    WebSocket(QSslSocket *socket, Bounds bounds, OutputBudget *budget = nullptr, QObject *parent = nullptr);
    ~WebSocket() override;

    // One unmasked, final text frame. Built once and written to any number of connections.
    static QByteArray textFrame(const QByteArray &utf8);

    bool isOpen() const { return m_state == State::Open; }
    // Bytes written to this connection that the peer has not taken yet.
    qint64 pendingOutput() const;
    // True while requests wait for the peer to read its output.
    bool isPaused() const { return m_paused; }
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
    void onWritten();
    bool outputOverBound();
    void gone();

    QSslSocket *m_socket;
    Bounds m_bounds;
    OutputBudget *m_budget;
    qint64 m_maxMessage;
    bool m_paused = false;
    QTimer m_closeGrace;
    QTimer m_next; // resumes reading on a later turn of the event loop
    State m_state = State::Handshake;
    QByteArray m_in;
    // The message being assembled from fragments.
    bool m_inMessage = false;
    bool m_binary = false;
    QByteArray m_message;
};

} // namespace Gateway
