#include "gateway/Session.h"

#include "core/Log.h"
#include "gateway/Gateway.h"
#include "gateway/Operations.h"
#include "gateway/WebSocket.h"
#include "gateway/Wire.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>

namespace Gateway {

namespace {

// A request id the answer can carry back: a positive integer that survives a double.
double usableId(const QJsonValue &v)
{
    if (!v.isDouble())
        return 0;
    const double d = v.toDouble();
    return d >= 1 && d <= 9007199254740991.0 && std::floor(d) == d ? d : 0;
}

} // namespace

namespace {
WebSocket::Bounds boundsOf(const Limits &l)
{
    return {l.maxFrame, l.maxPendingWrite, l.pauseAbove, l.resumeBelow, l.closeGraceMs};
}
} // namespace

Session::Session(Hub &hub, QSslSocket *socket)
    : m_hub(hub), m_ws(new WebSocket(socket, boundsOf(hub.limits()), hub.context().output.get(), this))
{
    m_caller.session = this;
    connect(m_ws, &WebSocket::textReceived, this, &Session::onText);
    connect(m_ws, &WebSocket::unusableReceived, this, [this] { malformed(0, {}); });
    connect(m_ws, &WebSocket::activity, this, [this] { m_idleTimer.start(); });
    connect(m_ws, &WebSocket::closed, this, &QObject::deleteLater);

    m_authTimer.setSingleShot(true);
    m_authTimer.setInterval(hub.limits().authMs);
    connect(&m_authTimer, &QTimer::timeout, this, [this] { close(ProtocolViolation); });
    m_authTimer.start();
    m_idleTimer.setSingleShot(true);
    m_idleTimer.setInterval(hub.limits().idleMs);
    connect(&m_idleTimer, &QTimer::timeout, this, [this] { close(ProtocolViolation); });
    m_idleTimer.start();
}

Session::~Session()
{
    if (m_authed)
        m_hub.remove(m_caller.userID, this);
}

void Session::deliver(const QByteArray &frame)
{
    if (m_authed)
        m_ws->sendFrame(frame);
}

void Session::kick(const QByteArray &pushFrame, int closeCode)
{
    m_ws->sendText(pushFrame);
    close(closeCode);
}

void Session::close(int code)
{
    if (m_authed) {
        m_hub.remove(m_caller.userID, this);
        m_authed = false;
    }
    m_authTimer.stop();
    m_idleTimer.stop();
    m_ws->close(code);
}

void Session::answerError(double id, int code, const QString &message)
{
    if (id > 0)
        m_ws->sendText(Wire::error(id, code, message));
}

void Session::malformed(double id, const QString &message)
{
    answerError(id, kMalformed, message);
    if (++m_malformed >= m_hub.limits().malformedFrames)
        close(ProtocolViolation);
}

void Session::onText(const QByteArray &utf8)
{
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(utf8, &parseError);
    if (parseError.error != QJsonParseError::NoError || !doc.isObject()) {
        malformed(0, {});
        return;
    }
    const QJsonObject request = doc.object();
    const double id = usableId(request.value(QLatin1String("id")));
    if (id == 0) {
        malformed(0, {});
        return;
    }
    const QJsonValue opValue = request.value(QLatin1String("op"));
    const QJsonValue dataValue = request.value(QLatin1String("data"));
    if (!opValue.isString()) {
        malformed(id, QStringLiteral("op must be a text"));
        return;
    }
    const QString op = opValue.toString();
    if (!dataValue.isUndefined() && !dataValue.isNull() && !dataValue.isObject()) {
        malformed(id, op + QStringLiteral(": data must be an object"));
        return;
    }
    const QJsonObject data = dataValue.toObject();

    if (!m_authed && op != QLatin1String("auth")) {
        answerError(id, kNotAuthenticated, QStringLiteral("auth required"));
        close(ProtocolViolation);
        return;
    }
    try {
        if (op == QLatin1String("auth")) {
            if (m_authed)
                throw Error{kMalformed, QStringLiteral("auth: already authenticated")};
            Operations::Auth auth = m_hub.operations().auth(data);
            if (auth.failure) {
                answerError(id, auth.failure->code, auth.failure->message);
                close(auth.closeCode);
                return;
            }
            m_caller.userID = auth.userID;
            m_caller.platformID = auth.platformID;
            m_authed = true;
            m_authTimer.stop();
            m_hub.add(m_caller.userID, this);
            m_ws->sendText(Wire::answer(id, auth.answer));
            return;
        }
        const QJsonValue result = m_hub.operations().run(m_caller, op, data);
        m_ws->sendText(Wire::answer(id, result));
    } catch (const Error &e) {
        if (e.code == kMalformed)
            malformed(id, e.message);
        else
            answerError(id, e.code, e.message);
    } catch (const std::exception &e) {
        Log::error("gateway_failed", {{"op", op}, {"error", QString::fromUtf8(e.what())}});
        answerError(id, kInternal, QStringLiteral("internal error"));
    }
}

} // namespace Gateway
