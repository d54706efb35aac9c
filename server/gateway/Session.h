#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

class QSslSocket;

namespace Gateway {

class Hub;
class WebSocket;

// Who is calling an operation.
struct Caller {
    QString userID;
    int platformID = 0;
    const class Session *session = nullptr; // excluded from its own pushes
};

// One gateway connection on its worker thread: authentication, limits, frame parsing and the
// dispatch of requests to the operations.
class Session : public QObject {
    Q_OBJECT
public:
    Session(Hub &hub, QSslSocket *socket);
    ~Session() override;

    // Writes a frame posted by the fan-out (already WebSocket-framed).
    void deliver(const QByteArray &frame);
    void kick(const QByteArray &pushFrame, int closeCode);

private:
    void onText(const QByteArray &utf8);
    void malformed(double id, const QString &message);
    void answerError(double id, int code, const QString &message);
    void close(int code);

    Hub &m_hub;
    WebSocket *m_ws;
    QTimer m_authTimer;
    QTimer m_idleTimer;
    Caller m_caller;
    bool m_authed = false;
    int m_malformed = 0;
};

} // namespace Gateway
