#pragma once

#include "app/Service.h"
#include "base/Network.h"
#include "base/ServiceConfig.h"
#include "l10n/L10n.h"
#include "net/ChatApi.h"
#include "net/Net.h"
#include "support/Await.h"
#include "tls/DevCa.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <qcoro/qcoronetworkreply.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>

// A sarvo-server in this process on 127.0.0.1 (OS-chosen port) over real TLS with its own
// development CA, a temporary data directory, cheap password hashing and a clock the test moves.
// A TCP connection to 127.0.0.1:port with a tiny receive window, for peers that do not read:
// what they leave unread stays with the service instead of in socket buffers. -1 on failure.
inline int connectWithSmallWindow(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    const int small = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        const Tls::Paths paths = Tls::ensureDevCertificates(dir.filePath("tls"));
        QString error;
        const auto tls = Tls::serverConfiguration(paths.serverCert, paths.serverKey, &error);
        ASSERT_TRUE(tls) << error.toStdString();
        Options options;
        options.dataDir = dir.filePath("data");
        options.dev = true;
        options.passwordIterations = 1000;
        options.threads = 1;
        options.clock = [this] { return (frozen.load() ? frozen.load() : QDateTime::currentMSecsSinceEpoch()) + offset.load(); };
        configure(options, paths, *tls);
        local = std::make_unique<LocalService>(options, *tls, gatewayLimits);
        beforeListen();
        ASSERT_TRUE(local->listen(QHostAddress::LocalHost, 0));
        origin = QStringLiteral("https://127.0.0.1:%1").arg(local->port());
        ASSERT_TRUE(ServiceConfig::current().setServer(origin));
        ASSERT_TRUE(ServiceConfig::current().addTrustedCa(paths.caCert));
        L10n::setLang("en");
    }

    void TearDown() override { local.reset(); }
    virtual void beforeListen() {}
    // Before the service is made from `options`; `tls` is the server side of the development CA.
    virtual void configure(Options &, const Tls::Paths &, const QSslConfiguration &) {}

    void advance(qint64 ms) { offset += ms; }
    Storage::Store &store() { return local->service().store(); }

    // The newest code the outbox holds for `email`.
    QString outboxCode(const QString &email)
    {
        QFile outbox(dir.filePath("data/outbox.txt"));
        if (!outbox.open(QIODevice::ReadOnly))
            return {};
        QString code;
        for (const QByteArray &line : outbox.readAll().split('\n')) {
            const QList<QByteArray> f = line.split('\t');
            if (f.size() == 4 && f[1] == email.toUtf8())
                code = QString::fromLatin1(f[3]);
        }
        return code;
    }

    ChatApi::LoginResult registerUser(const QString &email, const QString &nickname = "Nick", const QString &password = "pw")
    {
        const auto sent = await(ChatApi::sendEmailCode(email, "register"));
        EXPECT_FALSE(sent.error) << sent.error->message().toStdString();
        const auto r = await(ChatApi::registerAccount(email, outboxCode(email), password, nickname));
        EXPECT_FALSE(r.error) << (r.error ? r.error->message().toStdString() : "");
        return r.value.value_or(ChatApi::LoginResult{});
    }

    // The raw bridge answer (codes and all), without the client's mapping.
    QJsonObject bridge(const QString &path, const QJsonObject &body)
    {
        const auto r = await(Net::postJSON(ServiceConfig::current().bridgeBase() + path, body));
        EXPECT_FALSE(r.error) << r.error->message().toStdString();
        return r.value.value_or(QJsonObject{});
    }

    QJsonObject as(const ChatApi::LoginResult &user, QJsonObject body)
    {
        body.insert("token", user.imToken);
        body.insert("userID", user.userID);
        return body;
    }

    struct Raw {
        int status = 0;
        QByteArray body;
        QByteArray contentType;
    };

    static QCoro::Task<Raw> rawTask(QByteArray method, QUrl url, QByteArray body, QList<QPair<QByteArray, QByteArray>> headers)
    {
        QNetworkRequest request(url);
        for (const auto &[k, v] : headers)
            request.setRawHeader(k, v);
        std::unique_ptr<QNetworkReply, void (*)(QNetworkReply *)> reply(
            sharedNetworkAccessManager().sendCustomRequest(request, method, body), [](QNetworkReply *r) { r->deleteLater(); });
        co_await reply.get();
        co_return Raw{reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll(),
                      reply->header(QNetworkRequest::ContentTypeHeader).toByteArray()};
    }

    Raw raw(const QByteArray &method, const QString &url, const QByteArray &body = {}, QList<QPair<QByteArray, QByteArray>> headers = {})
    {
        return QCoro::waitFor(rawTask(method, QUrl(url), body, std::move(headers)));
    }

    QTemporaryDir dir;
    Gateway::Limits gatewayLimits; // set before SetUp to shorten the gateway's timers
    std::atomic<qint64> offset{0};
    std::atomic<qint64> frozen{0}; // when set, the server's clock stands still there
    std::unique_ptr<LocalService> local;
    QString origin;
};
