#include "base/Network.h"
#include "net/Net.h"
#include "support/Await.h"
#include "support/EventLoop.h"
#include "support/FakeReachability.h"
#include "support/TestHttpServer.h"

#include <gtest/gtest.h>

namespace {

QCoro::Task<void> postInto(QString url, QJsonObject body, Outcome<QJsonObject> *out, bool *done)
{
    *out = co_await captureOutcome(Net::postJSON(url, body));
    *done = true;
}

class ConnectivityTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        base = server.start();
        ASSERT_FALSE(base.isEmpty());
        reachability.alwaysThrough << QStringLiteral("/probe");
        Reachability::setShared(&reachability);
    }
    void TearDown() override
    {
        Reachability::setShared(nullptr);
        Net::setConnectivityWait({});
    }

    // One full exchange with the server that is allowed out while offline.
    void probe()
    {
        const auto out = await(Net::postJSON(base + "/probe", {}));
        ASSERT_FALSE(out.error);
    }

    TestHttpServer server;
    QString base;
    FakeReachability reachability;
};

TEST_F(ConnectivityTest, RequestsMadeOfflineWaitAndGoOutOnceOnline)
{
    server.handler = [](const auto &) { return TestHttpServer::json({{"ok", true}}); };
    Outcome<QJsonObject> post;
    bool postDone = false;
    QCoro::Task<void> posting = postInto(base + "/x", {{"n", 1}}, &post, &postDone);
    ASSERT_TRUE(spinUntil([&] { return reachability.asked > 0; }));

    probe();
    // A change that leaves the network down keeps the request waiting.
    reachability.set(false);
    probe();
    EXPECT_FALSE(postDone);
    ASSERT_EQ(server.requests.size(), 2);
    EXPECT_EQ(server.requestsTo("/x").size(), 0) << "nothing is sent while offline";

    reachability.set(true);
    ASSERT_TRUE(spinUntil([&] { return postDone; }));
    ASSERT_FALSE(post.error) << post.error->message().toStdString();
    EXPECT_EQ(post.value->value("ok"), true);
    ASSERT_EQ(server.requestsTo("/x").size(), 1);
    EXPECT_EQ(server.requestsTo("/x").at(0).body, R"({"n":1})");
}

TEST_F(ConnectivityTest, WaitingEndsInANetworkErrorWithoutSending)
{
    Net::setConnectivityWait(std::chrono::milliseconds(30));
    for (const QString &path : {QStringLiteral("/x"), QStringLiteral("/y")}) {
        const auto out = await(Net::postJSON(base + path, {}));
        ASSERT_TRUE(out.error) << path.toStdString();
        EXPECT_EQ(out.error->domain(), "Network");
        EXPECT_EQ(out.error->message(), "No network connection");
    }
    EXPECT_TRUE(server.requests.isEmpty());

    const auto bad = await(Net::postJSON("not a url at all", {}));
    ASSERT_TRUE(bad.error);
    EXPECT_EQ(bad.error->message(), "bad url") << "a bad URL fails at once, offline or not";
}

TEST_F(ConnectivityTest, OnlineRequestsDoNotWait)
{
    reachability.online = true;
    Net::setConnectivityWait(std::chrono::milliseconds(1));
    const auto out = await(Net::postJSON(base + "/x", {}));
    ASSERT_FALSE(out.error);
    EXPECT_EQ(server.requestsTo("/x").size(), 1);
}

TEST(PlatformReachability, HostsOnThisMachineAreAlwaysReachable)
{
    const struct {
        const char *url;
        bool local;
    } cases[] = {
        {"https://localhost:7443/chat", true},   {"https://LOCALHOST/x", true},
        {"https://api.localhost/x", true},       {"http://127.0.0.1:8080/x", true},
        {"http://127.8.9.10/x", true},           {"http://[::1]:9000/x", true},
        {"https://example.com/x", false},        {"https://localhost.example.com/x", false},
        {"http://10.0.0.1/x", false},            {"http://[2001:db8::1]/x", false},
        {"", false},
    };
    PlatformReachability platform;
    for (const auto &c : cases) {
        const QUrl url(QString::fromLatin1(c.url));
        EXPECT_EQ(PlatformReachability::isOnThisMachine(url), c.local) << c.url;
        if (c.local) {
            EXPECT_TRUE(platform.canReach(url)) << c.url;
        }
    }
}

} // namespace
