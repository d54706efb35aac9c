#include "FakeSdk.h"
#include "base/ServiceConfig.h"
#include "calls/CallManager.h"
#include "im/IMService.h"
#include "support/EventLoop.h"
#include "support/FakeClock.h"
#include "support/TestHttpServer.h"

#include <QJsonDocument>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

struct Harness {
    Harness()
    {
        FakeSdk::reset();
        im.setup(dir.path());
        ServiceConfig::current().setServer(server.start());
        server.handler = [this](const TestHttpServer::Request &r) {
            if (!bridgeUp)
                return TestHttpServer::json({{"error", "no room"}});
            return TestHttpServer::json({{"roomID", r.path.endsWith("accept") ? r.json().value("roomID").toString() : "r1"},
                                         {"lkToken", "lk"},
                                         {"wsUrl", "wss://media"}});
        };
        mgr.bind("me", "tok");
    }
    ~Harness()
    {
        clock.fire(); // let every sleeping timer task finish
        settle();
    }

    void settle()
    {
        for (int i = 0; i < 5; ++i) {
            FakeSdk::drain();
            finishBackgroundWork();
        }
    }

    // A call signal from `from`, `ageMs` old (none: without "ts").
    void receive(const QString &type, const QString &room, std::optional<qint64> ageMs = 0, QJsonObject extra = {},
                 const QString &from = "bob")
    {
        QJsonObject payload{{"mireloSignal", type}, {"roomID", room}, {"from", from}};
        if (ageMs)
            payload.insert("ts", double(clock.now - *ageMs));
        for (auto it = extra.begin(); it != extra.end(); ++it)
            payload.insert(it.key(), it.value());
        mgr.handleMessage({{"contentType", 110},
                           {"senderNickname", "Bob"},
                           {"customElem", QJsonObject{{"data", QString::fromUtf8(QJsonDocument(payload).toJson(QJsonDocument::Compact))},
                                                      {"description", "mirelo-call"}}}});
    }

    void ringOut()
    {
        mgr.startCall("bob", "Bob", "", "audio");
        settle();
    }
    void ringIn(QJsonObject extra = {})
    {
        receive("invite", "r9", 0, extra);
    }

    // What was sent, one line each: "type to:bob [d=N] [e2ee]" (or "to:group").
    QStringList sent() const
    {
        QStringList out;
        const auto creates = FakeSdk::callsOf("create_custom_message");
        const auto sends = FakeSdk::callsOf("send_message");
        for (size_t i = 0; i < creates.size(); ++i) {
            const QJsonObject p = QJsonDocument::fromJson(QByteArray::fromStdString(creates[i].args[1])).object();
            QString line = p.value("mireloSignal").toString() + " " + p.value("roomID").toString();
            if (i < sends.size())
                line += sends[i].args[2].empty() ? " to:" + QString::fromStdString(sends[i].args[1]) : " to:group";
            if (p.contains("duration"))
                line += QString(" d=%1").arg(p.value("duration").toInteger());
            if (p.contains("e2ee"))
                line += " e2ee";
            out << line;
        }
        return out;
    }

    QString status() const
    {
        if (!mgr.call())
            return "idle";
        const CallState &c = *mgr.call();
        static const char *names[] = {"calling", "ringing", "active"};
        return QString("%1 %2%3").arg(c.dir == CallDir::incoming ? "in" : "out", names[int(c.status)], c.e2eeKey ? " key" : "");
    }

    QTemporaryDir dir;
    IMService im{FAKE_IMSDK_PATH};
    TestHttpServer server;
    bool bridgeUp = true;
    FakeClock clock;
    CallManager mgr{im,
                    [](QString, QString, QString peer, QString room) -> QCoro::Task<std::optional<QString>> {
                        co_return QString("K:" + peer + ":" + room);
                    },
                    clock};
};

TEST(CallManagerTest, StateMachine)
{
    const struct Row {
        const char *name;
        std::function<void(Harness &)> run;
        const char *status;
        QStringList sent;
    } rows[] = {
        {"place: bridge answers", [](Harness &h) { h.ringOut(); }, "out ringing", {"invite r1 to:bob e2ee"}},
        {"place: bridge error", [](Harness &h) { h.bridgeUp = false; h.ringOut(); }, "idle", {}},
        {"ringing + accept", [](Harness &h) { h.ringOut(); h.receive("accept", "r1"); }, "out active", {"invite r1 to:bob e2ee"}},
        {"ringing + accept e2ee", [](Harness &h) { h.ringOut(); h.receive("accept", "r1", 0, {{"e2ee", 1}}); h.settle(); },
         "out active key", {"invite r1 to:bob e2ee"}},
        {"ringing + accept other room", [](Harness &h) { h.ringOut(); h.receive("accept", "r2"); }, "out ringing", {"invite r1 to:bob e2ee"}},
        {"ringing + reject", [](Harness &h) { h.ringOut(); h.receive("reject", "r1"); }, "idle", {"invite r1 to:bob e2ee"}},
        {"ringing + busy (vexoSignal)",
         [](Harness &h) { h.ringOut(); h.receive("", "r1", 0, {{"mireloSignal", ""}, {"vexoSignal", "busy"}}); }, "idle",
         {"invite r1 to:bob e2ee"}},
        {"ringing + 45 s", [](Harness &h) { h.ringOut(); h.clock.fire(); h.settle(); }, "idle",
         {"invite r1 to:bob e2ee", "timeout r1 to:bob"}},
        {"timer after accept does nothing",
         [](Harness &h) { h.ringOut(); h.receive("accept", "r1"); h.clock.fire(); h.settle(); }, "out active",
         {"invite r1 to:bob e2ee"}},
        {"calling + end: nothing to cancel", [](Harness &h) { h.mgr.startCall("bob", "Bob", "", "audio"); h.mgr.endCall(); h.settle(); },
         "idle", {}},
        {"ringing + end", [](Harness &h) { h.ringOut(); h.mgr.endCall(); h.settle(); }, "idle",
         {"invite r1 to:bob e2ee", "cancel r1 to:bob"}},
        {"invite 60 000 ms old rings", [](Harness &h) { h.receive("invite", "r9", 60000); }, "in ringing", {}},
        {"invite 60 001 ms old is stale", [](Harness &h) { h.receive("invite", "r9", 60001); }, "idle", {}},
        {"invite without ts is stale", [](Harness &h) { h.receive("invite", "r9", std::nullopt); }, "idle", {}},
        {"ginvite 300 000 ms old rings", [](Harness &h) { h.receive("ginvite", "g9", 300000, {{"groupID", "g"}}); }, "in ringing", {}},
        {"ginvite 300 001 ms old is stale", [](Harness &h) { h.receive("ginvite", "g9", 300001); }, "idle", {}},
        {"incoming + accept", [](Harness &h) { h.ringIn(); h.mgr.acceptCall(); h.settle(); }, "in active", {"accept r9 to:bob"}},
        {"incoming e2ee + accept", [](Harness &h) { h.ringIn({{"e2ee", 1}}); h.mgr.acceptCall(); h.settle(); }, "in active key",
         {"accept r9 to:bob e2ee"}},
        {"incoming + accept, bridge error", [](Harness &h) { h.ringIn(); h.bridgeUp = false; h.mgr.acceptCall(); h.settle(); }, "idle", {}},
        {"incoming + end", [](Harness &h) { h.ringIn(); h.mgr.endCall(); h.settle(); }, "idle", {"reject r9 to:bob"}},
        {"incoming + cancel", [](Harness &h) { h.ringIn(); h.receive("cancel", "r9"); }, "idle", {}},
        {"incoming + accept signal is ignored", [](Harness &h) { h.ringIn(); h.receive("accept", "r9"); }, "in ringing", {}},
        {"group call", [](Harness &h) { h.mgr.startGroupCall("g1", "Team", "audio"); h.settle(); }, "out active", {"ginvite r1 to:group"}},
        {"group incoming + accept sends nothing",
         [](Harness &h) { h.receive("ginvite", "g9", 0, {{"groupID", "g"}}); h.mgr.acceptCall(); h.settle(); }, "in active", {}},
        {"active + hang up after 0.4 s",
         [](Harness &h) { h.ringIn(); h.mgr.acceptCall(); h.settle(); h.clock.now += 400; h.mgr.endCall(); h.settle(); }, "idle",
         {"accept r9 to:bob", "hangup r9 to:bob d=1"}},
        {"active + hang up after 61.9 s",
         [](Harness &h) { h.ringIn(); h.mgr.acceptCall(); h.settle(); h.clock.now += 61900; h.mgr.endCall(); h.settle(); }, "idle",
         {"accept r9 to:bob", "hangup r9 to:bob d=61"}},
        {"active + hangup signal", [](Harness &h) { h.ringOut(); h.receive("accept", "r1"); h.receive("hangup", "r1"); }, "idle",
         {"invite r1 to:bob e2ee"}},
        {"invite for another room: busy", [](Harness &h) { h.ringOut(); h.receive("invite", "r7"); h.settle(); }, "out ringing",
         {"invite r1 to:bob e2ee", "busy r7 to:bob"}},
        {"repeated invite", [](Harness &h) { h.ringIn(); h.receive("invite", "r9"); h.settle(); }, "in ringing", {}},
        {"ginvite during a call: no reply", [](Harness &h) { h.ringIn(); h.receive("ginvite", "g9"); h.settle(); }, "in ringing", {}},
        {"own signals are ignored", [](Harness &h) { h.receive("invite", "r9", 0, {}, "me"); }, "idle", {}},
        {"race: cancel while accept waits for the bridge",
         [](Harness &h) { h.ringIn(); h.mgr.acceptCall(); h.receive("cancel", "r9"); h.settle(); }, "idle", {}},
        {"race: end while invite waits for the bridge",
         [](Harness &h) { h.mgr.startCall("bob", "Bob", "", "video"); h.mgr.endCall(); h.settle(); }, "idle", {}},
    };
    for (const Row &row : rows) {
        Harness h;
        row.run(h);
        h.settle();
        EXPECT_EQ(h.status(), row.status) << row.name;
        EXPECT_EQ(h.sent(), row.sent) << row.name;
    }
}

TEST(CallManagerTest, DetailsOfTheCallState)
{
    Harness h;
    h.receive("invite", "r9", 0, {});
    ASSERT_TRUE(h.mgr.call());
    EXPECT_EQ(h.mgr.call()->callType, "video") << "an invite without callType rings as video";
    EXPECT_EQ(h.mgr.call()->peerNick, "Bob");
    h.mgr.setMinimized(true);
    h.mgr.startCall("carol", "Carol", "", "audio");
    EXPECT_FALSE(h.mgr.minimized()) << "a call button only brings the call back";
    EXPECT_EQ(h.mgr.call()->peerID, "bob");

    h.mgr.acceptCall();
    h.settle();
    EXPECT_EQ(h.mgr.call()->lkToken, "lk");
    EXPECT_EQ(h.mgr.call()->wsUrl, "wss://media");
    EXPECT_EQ(h.mgr.call()->activeAt, h.clock.now);
    EXPECT_EQ(h.server.requestsTo("/bridge/call/accept").at(0).json(),
              (QJsonObject{{"token", "tok"}, {"userID", "me"}, {"roomID", "r9"}}));
}

TEST(CallManagerTest, TerminalSignalsAreRepublishedForOpenChats)
{
    Harness h;
    QList<QJsonObject> seen;
    QObject receiver;
    QObject::connect(&h.im, &IMService::newMessages, &receiver, [&](const QJsonObject &m) { seen << m; });
    FakeSdk::script("send_message", {{0, "", R"({"clientMsgID":"sent-1"})", 100}});
    h.ringIn();
    h.mgr.endCall();
    h.settle();
    ASSERT_EQ(seen.size(), 1);
    EXPECT_EQ(seen[0].value("clientMsgID"), "sent-1");
    EXPECT_EQ(FakeSdk::callsOf("create_custom_message").at(0).args[3], "mirelo-call");
}

TEST(CallManagerTest, SignalsArriveThroughTheSdkStream)
{
    Harness h;
    const QJsonObject payload{{"mireloSignal", "invite"}, {"roomID", "r5"}, {"from", "bob"}, {"ts", double(h.clock.now)}, {"callType", "audio"}};
    const QJsonObject record{{"contentType", 110}, {"customElem", QJsonObject{{"data", QString::fromUtf8(QJsonDocument(payload).toJson())}}}};
    FakeSdk::emitMessage(32, QJsonDocument(record).toJson().constData());
    FakeSdk::drain();
    ASSERT_TRUE(spinUntil([&] { return h.mgr.call().has_value(); }));
    EXPECT_EQ(h.mgr.call()->roomID, "r5");
    EXPECT_EQ(h.mgr.call()->peerNick, "bob") << "without senderNickname the sender's id";
}

} // namespace

