#include "ServerFixture.h"

#include "base/HandOver.h"
#include "support/EventLoop.h"

#include <QSslSocket>
#include <QtEndian>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include "core/OutputBudget.h"
#include <QThread>
#include <QWebSocket>
#include <QWebSocketServer>

namespace {

class HttpLayer : public ServerTest {
protected:
    void beforeListen() override
    {
        // The gateway's seam: an upgrade request reaches its handler with the head unread.
        QThread *main = QThread::currentThread();
        QWebSocketServer *ws = &gateway;
        local->http().setUpgradeHandler("/msg_gateway", [ws, main](QSslSocket *socket) {
            socket->moveToThread(main);
            QMetaObject::invokeMethod(ws, HandOver::wrap([ws, socket] { ws->handleConnection(socket); }));
        });
    }

    // Raw bytes over TLS, for what Qt's HTTP client would not send.
    QByteArray exchange(const QByteArray &request, int answers)
    {
        QSslSocket socket;
        socket.connectToHostEncrypted("127.0.0.1", local->port());
        socket.write(request);
        QByteArray got;
        spinUntil([&] {
            got += socket.readAll();
            return got.count("HTTP/1.1 ") >= answers || socket.state() == QAbstractSocket::UnconnectedState;
        });
        spinUntil([&] {
            got += socket.readAll();
            return socket.state() == QAbstractSocket::UnconnectedState || !got.endsWith("\r\n\r\n") || answers == 0;
        }, 200);
        return got;
    }

    QWebSocketServer gateway{"gateway", QWebSocketServer::NonSecureMode};
};

TEST_F(HttpLayer, KeepAliveAndPipelinedRequestsAnswerInOrder)
{
    const QByteArray body = R"({"userIDs":[]})";
    const QByteArray one = "POST /bridge/keys/get HTTP/1.1\r\nHost: x\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
    const QByteArray two = "POST /bridge/nowhere HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\n{}";
    const QByteArray got = exchange(one + two, 2);
    const qsizetype first = got.indexOf("HTTP/1.1 401");
    const qsizetype second = got.indexOf("HTTP/1.1 404");
    EXPECT_GE(first, 0) << got.toStdString();
    EXPECT_GT(second, first) << got.toStdString();
    EXPECT_TRUE(got.contains("Connection: keep-alive"));
}

TEST_F(HttpLayer, MalformedHeadsAreRefused)
{
    const std::pair<QByteArray, QByteArray> cases[] = {
        {"NONSENSE\r\n\r\n", "HTTP/1.1 400"},
        {"POST /bridge/keys/get HTTP/1.1\r\nContent-Length: -5\r\n\r\n", "HTTP/1.1 400"},
        {"POST /bridge/keys/get HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", "HTTP/1.1 411"},
        // Header names that are empty or carry white space around them (a folded line among them).
        {"GET / HTTP/1.1\r\n : nameless\r\n\r\n", "HTTP/1.1 400"},
        {"GET / HTTP/1.1\r\nHost : x\r\n\r\n", "HTTP/1.1 400"},
        {"GET / HTTP/1.1\r\nHost: x\r\n Content-Length: 5\r\n\r\n", "HTTP/1.1 400"},
        {"GET / HTTP/1.1\r\nX: " + QByteArray(20000, 'a') + "\r\n\r\n", "HTTP/1.1 431"},
        // Bare LF line ends would otherwise hold the connection until the idle timeout.
        {"GET / HTTP/1.1\nHost: x\n\n", "HTTP/1.1 400"},
        {"GET / HTTP/1.1\r\nHost: x\n\r\n", "HTTP/1.1 400"},
        {"POST /bridge/keys/get HTTP/1.1\r\nHost: x\r\nContent-Length: 2\n\n{}", "HTTP/1.1 400"},
    };
    for (const auto &[request, status] : cases)
        EXPECT_TRUE(exchange(request, 1).startsWith(status)) << request.left(60).toStdString();
}

TEST_F(HttpLayer, UpgradeIsHandedToTheGateway)
{
    QList<QWebSocket *> accepted;
    QObject::connect(&gateway, &QWebSocketServer::newConnection, [&] {
        QWebSocket *peer = gateway.nextPendingConnection();
        accepted << peer;
        QObject::connect(peer, &QWebSocket::textMessageReceived, peer, [peer](const QString &m) { peer->sendTextMessage("echo " + m); });
    });
    QWebSocket client;
    QString reply;
    QObject::connect(&client, &QWebSocket::textMessageReceived, [&](const QString &m) { reply = m; });
    QObject::connect(&client, &QWebSocket::connected, [&] { client.sendTextMessage("hi"); });
    client.open(QUrl(ServiceConfig::current().gatewayUrl()));
    ASSERT_TRUE(spinUntil([&] { return !reply.isEmpty(); })) << client.errorString().toStdString();
    EXPECT_EQ(reply, "echo hi");
    client.close();
    qDeleteAll(accepted);
}

TEST_F(HttpLayer, PipelinedRequestsWaitWhileTheirAnswersAreUnread)
{
    const OutputBudget &output = *local->service().context().output;
    // A client with a tiny receive window, so unread answers stay with the service.
    const int fd = connectWithSmallWindow(local->port());
    ASSERT_GE(fd, 0);
    QSslSocket socket;
    ASSERT_TRUE(socket.setSocketDescriptor(fd));
    socket.setReadBufferSize(1024);
    socket.setPeerVerifyMode(QSslSocket::VerifyNone);
    socket.startClientEncryption();
    constexpr int requests = 100000; // about 15 MB of answers, more than socket buffers take
    socket.write(QByteArray("GET /x HTTP/1.1\r\n\r\n").repeated(requests));

    // Unread answers pile up to the window (1 MiB), then requests wait.
    ASSERT_TRUE(spinUntil([&] { return output.total() > 1024 * 1024; }, 20000)) << output.total();
    // Read, slowly: every request is answered, and what the service holds stays within the window.
    socket.setReadBufferSize(16 * 1024);
    qint64 most = output.total();
    int answers = 0;
    QByteArray tail;
    EXPECT_TRUE(spinUntil([&] {
        most = std::max(most, output.total());
        tail += socket.readAll();
        answers += int(tail.count("HTTP/1.1 "));
        tail = tail.right(8);
        return answers == requests;
    }, 30000)) << answers;
    EXPECT_LE(most, 1024 * 1024 + 4096);
}

} // namespace
