#pragma once

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QRandomGenerator>
#include <QTimer>
#include <QUrl>

#include <coroutine>
#include <functional>

class QWebSocket;

namespace ImSdk {

class Log;

// One answer of the gateway; transport failures carry an SDK-local code.
struct Answer {
    int errCode = 0;
    QString errMsg;
    QJsonValue data;
    bool ok() const { return errCode == 0; }
};

// The gateway session: WebSocket, `auth`, request/answer matching, keep-alive pings and
// reconnection with exponential backoff. Lives on the SDK thread.
class Connection : public QObject {
    Q_OBJECT

public:
    static constexpr int kPingIntervalMs = 25000;
    static constexpr int kPingTimeoutMs = 10000;
    static constexpr int kRequestTimeoutMs = 30000;
    static constexpr int kFirstBackoffMs = 1000;
    static constexpr int kMaxBackoffMs = 30000;

    // How soon a silent link is given up; tests shorten it.
    struct Timing {
        int pingIntervalMs = kPingIntervalMs;
        int pingTimeoutMs = kPingTimeoutMs;
        int requestTimeoutMs = kRequestTimeoutMs;
    };

    Connection(Log &log, QObject *parent = nullptr);
    void setTiming(const Timing &timing);
    ~Connection() override;

    // Connects and keeps reconnecting until stop() or a final close.
    void start(const QUrl &url, const QString &userID, const QString &token, int platformID);
    void stop();
    bool online() const { return m_state == State::Online; }

    using Handler = std::function<void(const Answer &)>;
    // Sends a request; answers with kNotConnected at once when not online.
    void request(const QString &op, const QJsonObject &data, Handler handler);

    // co_await connection.call(op, data): resumes on the SDK thread with the answer.
    struct Call {
        Connection *c;
        QString op;
        QJsonObject data;
        Answer answer;
        bool await_ready() const { return false; }
        void await_suspend(std::coroutine_handle<> h);
        Answer await_resume() { return std::move(answer); }
    };
    Call call(const QString &op, const QJsonObject &data) { return Call{this, op, data, {}}; }

    // The delay before reconnect attempt `attempt` (0-based): 1 s doubling to 30 s, with jitter.
    static int backoffMs(int attempt, QRandomGenerator &random);

signals:
    // Connection listener events 0 to 4.
    void stateEvent(int event);
    void authenticated(const QJsonObject &authData);
    // The first attempt after start() failed before authenticating (code, message).
    void firstAttemptFailed(int errCode, const QString &errMsg);
    void push(const QString &name, const QJsonValue &data);

private:
    enum class State { Stopped, Connecting, Authenticating, Online, Waiting };

    void open();
    void onConnected();
    void onDisconnected();
    void onText(const QString &text);
    void send(int id, const QString &op, const QJsonObject &data);
    void failPending(int errCode, const QString &errMsg);
    void ping();

    Log &m_log;
    QWebSocket *m_ws = nullptr;
    State m_state = State::Stopped;
    QUrl m_url;
    QString m_userID, m_token;
    int m_platformID = 0;
    int m_attempt = 0;
    bool m_everOnline = false;
    int m_nextID = 1;
    int m_authID = 0;
    QHash<int, Handler> m_pending;
    QHash<int, qint64> m_deadlines;
    int m_requestTimeoutMs = kRequestTimeoutMs;
    QTimer m_reconnect, m_pingTimer, m_pingDeadline, m_requestSweep;
    QRandomGenerator m_random{QRandomGenerator::securelySeeded()};
};

} // namespace ImSdk
