// The interop tool as other clients' test suites drive it: one JSON request in, one object out.
#include "E2ETestSupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>

namespace {

struct Answer {
    int exitCode = -1;
    QJsonObject body;
};

Answer run(const QByteArray &request)
{
    QProcess p;
    p.start(QStringLiteral(SARVO_E2E_TOOL), QStringList());
    p.write(request);
    p.closeWriteChannel();
    EXPECT_TRUE(p.waitForFinished(30000));
    const QList<QByteArray> lines = p.readAllStandardOutput().trimmed().split('\n');
    EXPECT_EQ(lines.size(), 1);
    return {p.exitCode(), QJsonDocument::fromJson(lines.value(0)).object()};
}

QJsonObject ok(const QJsonObject &request)
{
    const Answer a = run(QJsonDocument(request).toJson());
    EXPECT_EQ(a.exitCode, 0) << QJsonDocument(a.body).toJson().toStdString();
    EXPECT_FALSE(a.body.contains("error")) << a.body.value("error").toString().toStdString();
    return a.body;
}

TEST(E2ETool, RatchetOpsRoundTrip)
{
    const QJsonObject alice = ok({{"op", "keygen"}});
    const QJsonObject bob = ok({{"op", "keygen"}});
    const QString sk = ok({{"op", "rootSecret"}, {"myPriv", alice["priv"]}, {"peerPub", bob["pub"]}, {"myID", "a"},
                           {"peerID", "b"}})["rk"].toString();
    EXPECT_EQ(ok({{"op", "rootSecret"}, {"myPriv", bob["priv"]}, {"peerPub", alice["pub"]}, {"myID", "b"}, {"peerID", "a"}})["rk"],
              sk);
    QJsonObject sender = ok({{"op", "initSender"}, {"sk", sk}, {"peerPub", bob["pub"]}})["state"].toObject();
    QJsonObject receiver =
        ok({{"op", "initReceiver"}, {"sk", sk}, {"myPriv", bob["priv"]}, {"myPub", bob["pub"]}})["state"].toObject();

    const QJsonObject sealed = ok({{"op", "encrypt"}, {"state", sender}, {"plaintext", "hi ✓"}, {"ad", "x"}});
    EXPECT_EQ(sealed["header"].toObject()["n"], 0);
    const QJsonObject opened = ok({{"op", "decrypt"}, {"state", receiver}, {"header", sealed["header"]},
                                   {"iv", sealed["iv"]}, {"ct", sealed["ct"]}, {"ad", "x"}});
    EXPECT_EQ(opened["plaintext"], "hi ✓");
    EXPECT_EQ(opened["state"].toObject()["nr"], 1);

    // A failed operation is still a well-formed request.
    const Answer replay = run(QJsonDocument(QJsonObject{{"op", "decrypt"}, {"state", opened["state"]},
                                                        {"header", sealed["header"]}, {"iv", sealed["iv"]},
                                                        {"ct", sealed["ct"]}, {"ad", "x"}})
                                  .toJson());
    EXPECT_EQ(replay.exitCode, 0);
    EXPECT_TRUE(replay.body.contains("error"));

    EXPECT_EQ(ok({{"op", "callKey"}, {"myPriv", alice["priv"]}, {"peerPub", bob["pub"]}, {"myID", "a"}, {"peerID", "b"}, {"roomID", "r"}})["key"],
              ok({{"op", "callKey"}, {"myPriv", bob["priv"]}, {"peerPub", alice["pub"]}, {"myID", "b"}, {"peerID", "a"}, {"roomID", "r"}})["key"]);
    EXPECT_TRUE(ok({{"op", "callKey"}, {"myPriv", alice["priv"]}, {"peerPub", "x"}, {"myID", "a"}, {"peerID", "b"}, {"roomID", "r"}})["key"].isNull());
    EXPECT_EQ(ok({{"op", "safetyCode"}, {"keys", QJsonArray{"b", "a", "b"}}})["code"], "123018 070644");
}

TEST(E2ETool, SecretEnvelopesBetweenDevices)
{
    const QJsonObject a = ok({{"op", "keygen"}});
    const QJsonObject b = ok({{"op", "keygen"}});
    const QJsonArray aliceDevices{QJsonObject{{"deviceID", "aaaaaaaaaaaaaaaaaaaaaaaa"}, {"pubKey", a["pub"]}}};
    const QJsonArray bobDevices{QJsonObject{{"deviceID", "bbbbbbbbbbbbbbbbbbbbbbbb"}, {"pubKey", b["pub"]}}};

    const QJsonObject built = ok({{"op", "buildSecret"}, {"myUserID", "alice"}, {"peerID", "bob"},
                                  {"myDeviceID", "aaaaaaaaaaaaaaaaaaaaaaaa"}, {"myPriv", a["priv"]}, {"myPub", a["pub"]},
                                  {"peerDevices", bobDevices}, {"myDevices", aliceDevices}, {"sessions", QJsonObject()},
                                  {"text", "over the wire"}});
    const QString envelope = built["envelope"].toString();
    EXPECT_EQ(QJsonDocument::fromJson(envelope.toUtf8()).object()["v"], 2);
    EXPECT_TRUE(built["sessions"].toObject().contains("bob"));

    QJsonObject open{{"op", "openSecret"}, {"myUserID", "bob"}, {"peerID", "alice"},
                     {"myDeviceID", "bbbbbbbbbbbbbbbbbbbbbbbb"}, {"myPriv", b["priv"]}, {"myPub", b["pub"]},
                     {"devices", QJsonObject{{"alice", aliceDevices}}}, {"sessions", QJsonObject()},
                     {"ptCache", QJsonObject{{"order", QJsonArray()}, {"map", QJsonObject()}}},
                     {"customData", envelope}, {"senderID", "alice"}, {"clientMsgID", "m1"}};
    const QJsonObject opened = ok(open);
    EXPECT_EQ(opened["plaintext"], "over the wire");
    EXPECT_TRUE(opened["sessions"].toObject().contains("alice"));
    EXPECT_EQ(opened["ptCache"].toObject()["order"], QJsonArray{"m1"});

    // With the returned cache the same message opens again; with the advanced session alone it cannot.
    open["sessions"] = opened["sessions"];
    open["clientMsgID"] = "m2";
    EXPECT_TRUE(ok(open)["plaintext"].isNull());
    open["ptCache"] = opened["ptCache"];
    open["clientMsgID"] = "m1";
    EXPECT_EQ(ok(open)["plaintext"], "over the wire");

    const QJsonObject nobody = ok({{"op", "buildSecret"}, {"myUserID", "alice"}, {"peerID", "carol"},
                                   {"myDeviceID", "aaaaaaaaaaaaaaaaaaaaaaaa"}, {"myPriv", a["priv"]}, {"myPub", a["pub"]},
                                   {"peerDevices", QJsonArray()}, {"myDevices", QJsonArray()}, {"sessions", QJsonObject()},
                                   {"text", "x"}});
    EXPECT_TRUE(nobody["envelope"].isNull());
}

TEST(E2ETool, MalformedRequestsExitWith2)
{
    for (const char *request : {"", "not json", "[]", R"({"op":7})", R"({"op":"nope"})",
                                R"({"op":"rootSecret","myPriv":1,"peerPub":"x","myID":"a","peerID":"b"})",
                                R"({"op":"encrypt","state":{"rk":"x"},"plaintext":"p","ad":"a"})",
                                R"({"op":"safetyCode","keys":["a",1]})",
                                R"({"op":"buildSecret","myUserID":"a"})"}) {
        const Answer a = run(request);
        EXPECT_EQ(a.exitCode, 2) << request;
        EXPECT_TRUE(a.body.value("error").toString().startsWith("malformed request")) << request;
    }
}

} // namespace
