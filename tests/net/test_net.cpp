#include "base/ServiceConfig.h"
#include "net/Net.h"
#include "support/Await.h"
#include "support/TestHttpServer.h"

#include <QRegularExpression>
#include <QTcpServer>
#include <gtest/gtest.h>

namespace {

class NetTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        base = server.start();
        ASSERT_FALSE(base.isEmpty());
        ASSERT_TRUE(ServiceConfig::current().setServer(base));
    }
    TestHttpServer server;
    QString base;
};

TEST_F(NetTest, PostJsonSendsCompactJsonWithHeadersInOrder)
{
    server.handler = [](const auto &) { return TestHttpServer::json({{"ok", true}}, 500); };
    const auto out = await(Net::postJSON(base + "/x", {{"b", "two words"}, {"a", 1}},
                                         {{"X-One", "1"}, {"Content-Type", "text/plain"}, {"X-One", "2"}}));
    ASSERT_FALSE(out.error);
    EXPECT_EQ(out.value->value("ok"), true) << "the status code is not examined";
    const auto &r = server.requests.at(0);
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.path, "/x");
    EXPECT_EQ(r.body, R"({"a":1,"b":"two words"})");
    EXPECT_EQ(r.header("Content-Type"), "text/plain");
    EXPECT_EQ(r.header("X-One"), "2");
}

TEST_F(NetTest, NonObjectAnswersAreEmptyAndBadUrlsFail)
{
    for (const QByteArray &body : {QByteArray("[]"), QByteArray(""), QByteArray("\"text\""), QByteArray("{broken")}) {
        server.handler = [body](const auto &) { return TestHttpServer::Response{200, body}; };
        const auto out = await(Net::postJSON(base + "/x", {}));
        ASSERT_FALSE(out.error) << body.constData();
        EXPECT_TRUE(out.value->isEmpty()) << body.constData();
    }
    for (const QString &url : {QString(""), QString("not a url at all"), QString("http://[::1")}) {
        const auto out = await(Net::postJSON(url, {}));
        ASSERT_TRUE(out.error) << url.toStdString();
        EXPECT_EQ(out.error->message(), "bad url");
    }
}

TEST_F(NetTest, TransportErrorsCarryQtsDescription)
{
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost, 0));
    const quint16 port = closed.serverPort();
    closed.close();
    const auto out = await(Net::postJSON(QStringLiteral("http://127.0.0.1:%1/x").arg(port), {}));
    ASSERT_TRUE(out.error);
    EXPECT_EQ(out.error->domain(), "Network");
    EXPECT_TRUE(out.error->message().contains("refused", Qt::CaseInsensitive)) << out.error->message().toStdString();
}

TEST_F(NetTest, ImApiEnvelope)
{
    struct Case {
        QJsonObject answer;
        int status;
        const char *error; // null: success
        QJsonObject data;
    } cases[] = {
        {{{"errCode", 0}, {"data", QJsonObject{{"k", 1}}}}, 200, nullptr, {{"k", 1}}},
        {{{"errCode", 0.0}, {"data", "not an object"}}, 200, nullptr, {}},
        {{{"errCode", 0}, {"data", QJsonObject{{"k", 2}}}}, 500, nullptr, {{"k", 2}}},
        {{{"errCode", "0"}}, 200, "IM API /object/x failed", {}},
        {{{"errCode", 1001}, {"errMsg", ""}}, 200, "", {}},
        {{{"errCode", 1001}, {"errMsg", "no permission"}}, 200, "no permission", {}},
        {{{"data", QJsonObject{{"k", 3}}}}, 200, "IM API /object/x failed", {}},
    };
    for (const Case &c : cases) {
        server.handler = [&](const auto &) { return TestHttpServer::json(c.answer, c.status); };
        const auto out = await(Net::imApi("/object/x", {{"q", 1}}, "tok"));
        if (c.error) {
            ASSERT_TRUE(out.error);
            EXPECT_EQ(out.error->message(), c.error);
        } else {
            ASSERT_FALSE(out.error) << out.error->message().toStdString();
            EXPECT_EQ(*out.value, c.data);
        }
    }
    const QRegularExpression uuid("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$");
    QSet<QByteArray> ids;
    for (const auto &r : server.requests) {
        EXPECT_EQ(r.path, "/api/object/x");
        EXPECT_EQ(r.header("token"), "tok");
        EXPECT_TRUE(uuid.match(QString::fromLatin1(r.header("operationID"))).hasMatch()) << r.header("operationID").constData();
        ids.insert(r.header("operationID"));
    }
    EXPECT_EQ(ids.size(), server.requests.size()) << "a fresh operation ID per call";
}

TEST(Md5Hex, StandardDigests)
{
    EXPECT_EQ(Net::md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Net::md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Net::md5Hex("The quick brown fox jumps over the lazy dog"), "9e107d9d372bb6826bd81d3542a419d6");
}

TEST(ServiceConfigTest, AcceptsHttpsAndLoopbackHttpOnly)
{
    ServiceConfig cfg;
    EXPECT_TRUE(cfg.setServer("chat.example.org"));
    EXPECT_EQ(cfg.bridgeBase(), "https://chat.example.org/bridge");
    EXPECT_TRUE(cfg.setServer("https://chat.example.org:8443/ignored?x=1"));
    EXPECT_EQ(cfg.gatewayUrl(), "wss://chat.example.org:8443/msg_gateway");
    EXPECT_FALSE(cfg.setServer("http://chat.example.org"));
    EXPECT_FALSE(cfg.setServer("ftp://chat.example.org"));
    EXPECT_EQ(cfg.chatBase(), "https://chat.example.org:8443/chat") << "a refused value changes nothing";
    EXPECT_TRUE(cfg.setServer("http://127.0.0.1:9000"));
    EXPECT_EQ(cfg.gatewayUrl(), "ws://127.0.0.1:9000/msg_gateway");
    EXPECT_EQ(cfg.applyArguments({"sarvo", "--server", "https://a.example", "--ca=/nonexistent.pem"}).size(), 1);
    EXPECT_EQ(cfg.imApiBase(), "https://a.example/api");
}

} // namespace
