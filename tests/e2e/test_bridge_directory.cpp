// The app's key directory over the bridge, against a loopback server.
#include "E2ETestSupport.h"

#include "base/ServiceConfig.h"
#include "e2e/BridgeKeyDirectory.h"
#include "support/TestHttpServer.h"

#include <QJsonArray>

namespace {

TEST(BridgeKeyDirectory, PublishesAndFetchesThroughTheBridge)
{
    TestHttpServer server;
    ASSERT_TRUE(ServiceConfig::current().setServer(server.start()));
    server.handler = [](const TestHttpServer::Request &r) {
        if (r.path == "/bridge/keys/get" && r.json().value("userIDs") == QJsonArray{"bob"})
            return TestHttpServer::json(QJsonObject{
                {"devices", QJsonObject{{"bob", QJsonArray{QJsonObject{{"deviceID", "b1"}, {"pubKey", "PK"}}}}}}});
        if (r.path == "/bridge/keys/get")
            return TestHttpServer::json({{"error", "rate limited"}});
        return TestHttpServer::json({});
    };
    BridgeKeyDirectory directory;
    MemoryStore store;
    E2E e2e(directory, store);

    const QString pub = *await(e2e.ensureKeys("tok", "me")).value;
    const QList<TestHttpServer::Request> published = server.requestsTo("/bridge/keys/publish");
    ASSERT_EQ(published.size(), 1);
    EXPECT_EQ(published[0].json(),
              (QJsonObject{{"token", "tok"}, {"userID", "me"}, {"pubKey", pub}, {"deviceID", e2e.deviceID()}}));

    EXPECT_EQ(*await(e2e.fetchDevices("tok", "me", "bob", false)).value, (QList<DeviceKey>{{"b1", "PK"}}));
    const QList<TestHttpServer::Request> gets = server.requestsTo("/bridge/keys/get");
    ASSERT_EQ(gets.size(), 1);
    EXPECT_EQ(gets[0].json(), (QJsonObject{{"token", "tok"}, {"userID", "me"}, {"userIDs", QJsonArray{"bob"}}}));

    // A bridge error reads as a contact without keys.
    EXPECT_TRUE(await(e2e.fetchDevices("tok", "me", "carol", false)).value->isEmpty());
}

} // namespace
