#include "core/Connection.h"

#include "base/Json.h"
#include "core/Codes.h"
#include "core/Log.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QNetworkRequest>
#include <QWebSocket>

#include <algorithm>

namespace ImSdk {

namespace {
constexpr int kProtocolVersion = 1;
constexpr int kTokenInvalid = 1501;
constexpr int kUnsupportedVersion = 1002;
constexpr int kCloseTokenInvalid = 4001;
constexpr int kCloseUnsupportedVersion = 4002;
constexpr int kCloseKicked = 4003;
} // namespace

void Connection::Call::await_suspend(std::coroutine_handle<> h)
{
    c->request(op, data, [this, h](const Answer &a) {
        answer = a;
        QMetaObject::invokeMethod(c, [h] { h.resume(); }, Qt::QueuedConnection);
    });
}

void Connection::setTiming(const Timing &timing)
{
    m_pingTimer.setInterval(timing.pingIntervalMs);
    m_pingDeadline.setInterval(timing.pingTimeoutMs);
    m_requestTimeoutMs = timing.requestTimeoutMs;
}

int Connection::backoffMs(int attempt, QRandomGenerator &random)
{
    const int base = std::min<qint64>(qint64(kFirstBackoffMs) << std::min(attempt, 5), kMaxBackoffMs);
    // Up to a fifth either way, so that many clients dropped together do not return together.
    const int spread = base / 5;
    return std::clamp(base - spread + int(random.bounded(2 * spread + 1)), kFirstBackoffMs / 2, kMaxBackoffMs);
}

Connection::Connection(Log &log, QObject *parent) : QObject(parent), m_log(log)
{
    m_reconnect.setSingleShot(true);
    connect(&m_reconnect, &QTimer::timeout, this, &Connection::open);
    m_pingTimer.setInterval(kPingIntervalMs);
    connect(&m_pingTimer, &QTimer::timeout, this, &Connection::ping);
    m_pingDeadline.setSingleShot(true);
    m_pingDeadline.setInterval(kPingTimeoutMs);
    connect(&m_pingDeadline, &QTimer::timeout, this, [this] {
        m_log.write(Log::Warning, QStringLiteral("ping unanswered; dropping the connection"));
        if (m_ws)
            m_ws->abort();
        onDisconnected();
    });
    m_requestSweep.setInterval(1000);
    connect(&m_requestSweep, &QTimer::timeout, this, [this] {
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        QList<int> expired;
        for (auto it = m_deadlines.cbegin(); it != m_deadlines.cend(); ++it)
            if (it.value() < now)
                expired.append(it.key());
        for (int id : expired) {
            m_deadlines.remove(id);
            if (Handler h = m_pending.take(id))
                h(Answer{kConnectionLost, QStringLiteral("request timed out"), {}});
        }
        if (m_pending.isEmpty())
            m_requestSweep.stop();
    });
}

Connection::~Connection()
{
    stop();
}

void Connection::start(const QUrl &url, const QString &userID, const QString &token, int platformID)
{
    stop();
    m_url = url;
    m_userID = userID;
    m_token = token;
    m_platformID = platformID;
    m_attempt = 0;
    m_everOnline = false;
    open();
}

void Connection::stop()
{
    m_state = State::Stopped;
    m_reconnect.stop();
    m_pingTimer.stop();
    m_pingDeadline.stop();
    if (m_ws) {
        QWebSocket *ws = m_ws;
        m_ws = nullptr;
        ws->disconnect(this);
        ws->close();
        ws->deleteLater();
    }
    failPending(kConnectionLost, QStringLiteral("signed out"));
}

void Connection::open()
{
    m_state = State::Connecting;
    emit stateEvent(Event::Connecting);
    m_ws = new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, this);
    connect(m_ws, &QWebSocket::connected, this, &Connection::onConnected);
    connect(m_ws, &QWebSocket::disconnected, this, &Connection::onDisconnected);
    connect(m_ws, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), this, [this](QAbstractSocket::SocketError) {
        // A refused or failed handshake reports only the error, never `disconnected`.
        if (m_ws && m_ws->state() != QAbstractSocket::ConnectedState)
            onDisconnected();
    });
    connect(m_ws, &QWebSocket::textMessageReceived, this, &Connection::onText);
    m_log.write(Log::Info, QStringLiteral("connecting to %1").arg(m_url.toString()));
    m_ws->open(QNetworkRequest(m_url));
}

void Connection::onConnected()
{
    m_state = State::Authenticating;
    m_authID = m_nextID++;
    const QJsonObject auth{{QStringLiteral("version"), kProtocolVersion},
                           {QStringLiteral("userID"), m_userID},
                           {QStringLiteral("token"), m_token},
                           {QStringLiteral("platformID"), m_platformID}};
    send(m_authID, QStringLiteral("auth"), auth);
}

void Connection::onDisconnected()
{
    if (!m_ws)
        return;
    QWebSocket *ws = m_ws;
    m_ws = nullptr;
    ws->disconnect(this);
    const int closeCode = ws->closeCode();
    const QString reason = ws->errorString();
    ws->abort();
    ws->deleteLater();
    m_pingTimer.stop();
    m_pingDeadline.stop();
    failPending(kConnectionLost, QStringLiteral("connection lost"));
    m_log.write(Log::Warning, QStringLiteral("connection down (close code %1): %2").arg(closeCode).arg(reason));

    const bool firstAttempt = !m_everOnline;
    int event = Event::ConnectFailed;
    bool final = false;
    if (closeCode == kCloseTokenInvalid) {
        event = Event::TokenInvalid;
        final = true;
    } else if (closeCode == kCloseKicked) {
        event = Event::Kicked;
        final = true;
    } else if (closeCode == kCloseUnsupportedVersion) {
        final = true;
    }
    m_state = final ? State::Stopped : State::Waiting;
    emit stateEvent(event);
    if (firstAttempt)
        emit firstAttemptFailed(event == Event::TokenInvalid ? kTokenInvalid : kNotConnected,
                                reason.isEmpty() ? QStringLiteral("cannot reach the server") : reason);
    if (m_state == State::Waiting) {
        m_reconnect.start(backoffMs(m_attempt, m_random));
        ++m_attempt;
    }
}

void Connection::onText(const QString &text)
{
    const QJsonObject frame = Json::parseObject(text.toUtf8());
    if (frame.contains(QLatin1String("push"))) {
        emit push(Json::str(frame, QLatin1String("push")), frame.value(QLatin1String("data")));
        return;
    }
    const int id = int(Json::integer(frame, QLatin1String("id")));
    Answer answer{int(Json::integer(frame, QLatin1String("errCode"))), Json::str(frame, QLatin1String("errMsg")),
                  frame.value(QLatin1String("data"))};
    if (id == m_authID && m_state == State::Authenticating) {
        m_authID = 0;
        if (answer.ok()) {
            m_state = State::Online;
            m_everOnline = true;
            m_attempt = 0;
            m_pingTimer.start();
            m_log.write(Log::Info, QStringLiteral("signed in as %1").arg(m_userID));
            emit stateEvent(Event::Connected);
            emit authenticated(answer.data.toObject());
        } else {
            const bool final = answer.errCode == kTokenInvalid || answer.errCode == kUnsupportedVersion;
            m_log.write(Log::Warning, QStringLiteral("auth refused: %1 %2").arg(answer.errCode).arg(answer.errMsg));
            if (!final) {
                if (m_ws)
                    m_ws->abort();
                onDisconnected();
                return;
            }
            const bool firstAttempt = !m_everOnline;
            stop();
            emit stateEvent(answer.errCode == kTokenInvalid ? Event::TokenInvalid : Event::ConnectFailed);
            if (firstAttempt)
                emit firstAttemptFailed(answer.errCode, answer.errMsg);
        }
        return;
    }
    m_deadlines.remove(id);
    if (Handler h = m_pending.take(id))
        h(answer);
}

void Connection::request(const QString &op, const QJsonObject &data, Handler handler)
{
    if (m_state != State::Online || !m_ws) {
        handler(Answer{kNotConnected, QStringLiteral("not connected"), {}});
        return;
    }
    const int id = m_nextID++;
    m_pending.insert(id, std::move(handler));
    m_deadlines.insert(id, QDateTime::currentMSecsSinceEpoch() + m_requestTimeoutMs);
    if (!m_requestSweep.isActive())
        m_requestSweep.start();
    send(id, op, data);
}

void Connection::send(int id, const QString &op, const QJsonObject &data)
{
    const QJsonObject frame{{QStringLiteral("id"), id}, {QStringLiteral("op"), op}, {QStringLiteral("data"), data}};
    m_ws->sendTextMessage(QString::fromUtf8(Json::compact(frame)));
}

void Connection::failPending(int errCode, const QString &errMsg)
{
    const QHash<int, Handler> pending = std::exchange(m_pending, {});
    m_deadlines.clear();
    for (const Handler &h : pending)
        h(Answer{errCode, errMsg, {}});
}

void Connection::ping()
{
    if (!m_pingDeadline.isActive())
        m_pingDeadline.start();
    request(QStringLiteral("ping"), {}, [this](const Answer &a) {
        if (a.errCode != kConnectionLost)
            m_pingDeadline.stop();
    });
}

} // namespace ImSdk
