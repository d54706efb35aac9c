#include "base/ServiceConfig.h"
#include "net/BridgeApi.h"
#include "net/Net.h"
#include "support/Await.h"
#include "support/TestHttpServer.h"

#include <QJsonArray>
#include <gtest/gtest.h>

namespace {

QJsonObject obj(const char *json)
{
    return QJsonDocument::fromJson(json).object();
}

class BridgeTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(ServiceConfig::current().setServer(server.start())); }
    TestHttpServer server;
};

TEST_F(BridgeTest, RequestBodiesAndErrors)
{
    server.handler = [](const auto &r) {
        if (r.path == "/bridge/call/accept")
            return TestHttpServer::json({{"error", "room closed"}, {"code", "X"}}, 200);
        return TestHttpServer::json({{"roomID", 123}, {"lkToken", "lk"}});
    };
    const auto invite = await(BridgeApi::invite("tok", "me"));
    ASSERT_FALSE(invite.error);
    EXPECT_EQ(invite.value->roomID, "123");
    EXPECT_EQ(invite.value->wsUrl, ServiceConfig::current().gatewayUrl());
    const auto accept = await(BridgeApi::accept("tok", "me", "r1"));
    ASSERT_TRUE(accept.error);
    EXPECT_EQ(accept.error->message(), "room closed");
    await(BridgeApi::groupInvite("tok", "me", "g1"));
    await(BridgeApi::feature("/keys/publish", "tok", "me", {{"token", "other"}, {"pubKey", "PK"}, {"deviceID", "d1"}}));

    ASSERT_EQ(server.requests.size(), 4);
    EXPECT_EQ(server.requests[0].path, "/bridge/call/invite");
    EXPECT_EQ(server.requests[0].json(), (QJsonObject{{"token", "tok"}, {"userID", "me"}}));
    EXPECT_EQ(server.requests[1].json(), (QJsonObject{{"token", "tok"}, {"userID", "me"}, {"roomID", "r1"}}));
    EXPECT_EQ(server.requests[2].path, "/bridge/call/group-invite");
    EXPECT_EQ(server.requests[2].json(), (QJsonObject{{"token", "tok"}, {"userID", "me"}, {"groupID", "g1"}}));
    EXPECT_EQ(server.requests[3].json(), (QJsonObject{{"token", "other"}, {"userID", "me"}, {"pubKey", "PK"}, {"deviceID", "d1"}}));
}

TEST(BridgeParse, CallTokens)
{
    const auto t = BridgeApi::parseCall(obj(R"({
        "roomID": "r9", "lkToken": 77, "wsUrl": "wss://media.example",
        "iceServers": [
            {"urls": "stun:a.example"},
            {"urls": ["turn:b.example", "turns:b.example"], "username": "u", "credential": "c"},
            {"urls": []},
            {"username": "nobody"},
            {"urls": ["turn:c.example"], "username": 5}
        ]})"));
    EXPECT_EQ(t.roomID, "r9");
    EXPECT_EQ(t.lkToken, "77");
    EXPECT_EQ(t.wsUrl, "wss://media.example");
    ASSERT_EQ(t.iceServers.size(), 3);
    EXPECT_EQ(t.iceServers[0].urls, QStringList{"stun:a.example"});
    EXPECT_FALSE(t.iceServers[0].username);
    EXPECT_EQ(t.iceServers[1].urls, (QStringList{"turn:b.example", "turns:b.example"}));
    EXPECT_EQ(t.iceServers[1].username, "u");
    EXPECT_EQ(t.iceServers[1].credential, "c");
    EXPECT_FALSE(t.iceServers[2].username) << "a non-text username is none";

    const auto empty = BridgeApi::parseCall(obj(R"({"iceServers": [1, 2]})"));
    EXPECT_TRUE(empty.iceServers.isEmpty());
    EXPECT_EQ(empty.roomID, "");
}

TEST(BridgeParse, DeviceDirectory)
{
    const auto devices = BridgeApi::parseDevices(obj(R"({
        "devices": {
            "alice": [{"deviceID": "d1", "pubKey": "A1"}, {"pubKey": "A2"}, {"deviceID": "d3", "pubKey": ""}],
            "carol": [{"deviceID": "c1", "pubKey": ""}]
        },
        "keys": {"carol": "C-legacy", "dave": "D-legacy", "alice": "ignored"}
    })"), {"alice", "bob", "carol", "dave"});
    EXPECT_EQ(devices.value("alice"), (QList<DeviceKey>{{"d1", "A1"}, {"legacy", "A2"}}));
    EXPECT_TRUE(devices.contains("bob"));
    EXPECT_TRUE(devices.value("bob").isEmpty());
    EXPECT_EQ(devices.value("carol"), (QList<DeviceKey>{{"legacy", "C-legacy"}}));
    EXPECT_EQ(devices.value("dave"), (QList<DeviceKey>{{"legacy", "D-legacy"}}));
    EXPECT_EQ(devices.size(), 4);
}

TEST_F(BridgeTest, KeysDevicesAsksForEveryId)
{
    server.handler = [](const auto &) { return TestHttpServer::json(obj(R"({"devices": {"a": [{"deviceID": "d", "pubKey": "K"}]}})")); };
    const auto out = await(BridgeApi::keysDevices("tok", "me", {"a", "b"}));
    ASSERT_FALSE(out.error);
    EXPECT_EQ(out.value->value("a"), (QList<DeviceKey>{{"d", "K"}}));
    EXPECT_TRUE(out.value->contains("b"));
    EXPECT_EQ(server.requests[0].path, "/bridge/keys/get");
    EXPECT_EQ(server.requests[0].json(), (QJsonObject{{"token", "tok"}, {"userID", "me"}, {"userIDs", QJsonArray{"a", "b"}}}));
}

} // namespace
