// The SDK's readers of what the gateway sends: answers and pushes (messages, recalls,
// conversation changes) as they reach a signed-in session, and the cached records they update.
#include "FuzzSupport.h"
#include "base/Json.h"
#include "core/Codes.h"
#include "core/Log.h"
#include "core/Session.h"

#include <QTemporaryDir>
#include <QWebSocket>
#include <QWebSocketServer>

namespace {

// A gateway that answers every request plainly and sends the fuzz input as it is.
class Gateway : public QObject {
public:
    Gateway() : m_server(QStringLiteral("fuzz"), QWebSocketServer::NonSecureMode)
    {
        Fuzz::check(m_server.listen(QHostAddress::LocalHost, 0), "listening");
        connect(&m_server, &QWebSocketServer::newConnection, this, [this] {
            while (QWebSocket *ws = m_server.nextPendingConnection()) {
                ws->setParent(this);
                if (m_peer)
                    m_peer->deleteLater();
                m_peer = ws;
                connect(ws, &QWebSocket::textMessageReceived, this, [this, ws](const QString &text) { answer(ws, text); });
            }
        });
    }

    QUrl url() const { return QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(m_server.serverPort())); }
    void send(const QByteArray &frame)
    {
        if (m_peer)
            m_peer->sendTextMessage(QString::fromUtf8(frame));
    }

private:
    void answer(QWebSocket *ws, const QString &text)
    {
        const QJsonObject request = Json::parseObject(text.toUtf8());
        const QString op = Json::str(request, QLatin1String("op"));
        QJsonValue data = QJsonObject();
        if (op == QLatin1String("auth"))
            data = QJsonObject{{QStringLiteral("userID"), QStringLiteral("u1")}, {QStringLiteral("latestSeq"), 0}};
        else if (op == QLatin1String("sync"))
            data = QJsonObject{{QStringLiteral("messages"), QJsonArray()}, {QStringLiteral("latest"), 0}, {QStringLiteral("more"), false}};
        else if (op == QLatin1String("conversations"))
            data = QJsonArray();
        const QJsonObject frame{{QStringLiteral("id"), request.value(QLatin1String("id"))},
                                {QStringLiteral("errCode"), 0},
                                {QStringLiteral("errMsg"), QString()},
                                {QStringLiteral("data"), data}};
        ws->sendTextMessage(QString::fromUtf8(Json::compact(frame)));
    }

    QWebSocketServer m_server;
    QPointer<QWebSocket> m_peer;
};

struct Sdk {
    QTemporaryDir dir{Fuzz::scratchTemplate()};
    Gateway gateway;
    ImSdk::Log log;
    ImSdk::Listeners listeners;
    std::unique_ptr<ImSdk::Session> session;
    qint64 fenceSent = 0;
    qint64 fenceSeen = 0;

    Sdk()
    {
        ImSdk::Config config;
        config.apiAddr = QStringLiteral("http://127.0.0.1:9");
        config.wsAddr = gateway.url();
        config.dataDir = dir.path();
        session = std::make_unique<ImSdk::Session>(config, log, listeners);
        // Every listener event carries JSON text the host parses.
        for (ImSdk::ListenerKind kind : {ImSdk::ListenerKind::Message, ImSdk::ListenerKind::Friend})
            listeners.set(kind, [](int, const QByteArray &data) { (void)Json::parseObject(data); });
        listeners.set(ImSdk::ListenerKind::Conversation, [this](int event, const QByteArray &data) {
            const QJsonObject o = Json::parseObject(data);
            if (event == ImSdk::Event::Typing && o.contains(QLatin1String("fuzzFence")))
                fenceSeen = Json::integer(o, QLatin1String("fuzzFence"));
        });
    }

    void signIn()
    {
        bool done = false;
        int code = -1;
        session->login(QStringLiteral("u1"), QStringLiteral("token"), [&](int errCode, const QString &, const QByteArray &) {
            done = true;
            code = errCode;
        });
        Fuzz::spinUntil([&] { return done; });
        Fuzz::check(code == 0, "signing in to the fake gateway");
    }

    // A push sent right after the input (in the same write): once it is reported, the input
    // before it has been read.
    bool pushFence()
    {
        const qint64 n = ++fenceSent;
        gateway.send(Json::compact(QJsonObject{{QStringLiteral("push"), QStringLiteral("typing")},
                                               {QStringLiteral("data"), QJsonObject{{QStringLiteral("fuzzFence"), n}}}}));
        QElapsedTimer timer;
        timer.start();
        while (fenceSeen != n && !timer.hasExpired(2000))
            QCoreApplication::processEvents();
        return fenceSeen == n;
    }

    // A request after the input; false when the session is no longer connected.
    bool requestFence()
    {
        bool done = false;
        int code = -1;
        session->forward(QStringLiteral("ping"), QJsonObject(), [&](int errCode, const QString &, const QByteArray &) {
            done = true;
            code = errCode;
        });
        Fuzz::spinUntil([&] { return done; });
        return code == 0;
    }
};

Sdk *sdk;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Fuzz::app();
    sdk = new Sdk;
    sdk->signIn();
    return 0;
}

// One frame from the gateway per line.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    for (const QByteArray &line : Fuzz::bytes(data, size).split('\n'))
        sdk->gateway.send(line);
    // An input that broke the link signs in again.
    if (!sdk->pushFence() && !sdk->requestFence())
        sdk->signIn();
    return 0;
}
