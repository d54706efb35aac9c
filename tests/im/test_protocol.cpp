#include "im/Protocol.h"

#include <QDateTime>
#include <QJsonDocument>
#include <gtest/gtest.h>

namespace {

QJsonObject custom(const QJsonObject &payload, int contentType = 110)
{
    return QJsonObject{
        {"contentType", contentType},
        {"sendID", "alice"},
        {"customElem", QJsonObject{{"data", QString::fromUtf8(QJsonDocument(payload).toJson(QJsonDocument::Compact))},
                                   {"description", "x"}}},
    };
}

QJsonObject obj(const char *json)
{
    return QJsonDocument::fromJson(json).object();
}

} // namespace

TEST(Protocol, ParseCustomNeedsKindAndWellFormedData)
{
    const auto ok = Protocol::parseCustom(custom({{"mireloType", "edit"}, {"newText", "hi"}}));
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->kind, "edit");
    EXPECT_EQ(ok->payload.value("newText").toString(), "hi");

    const QJsonObject rejected[] = {
        custom({{"mireloType", "edit"}}, 101),
        custom({{"mireloType", ""}}),
        custom({{"mireloType", 3}}),
        obj(R"({"contentType":110,"customElem":{"data":"not json"}})"),
        obj(R"({"contentType":110,"customElem":{"data":{"mireloType":"edit"}}})"),
        obj(R"({"contentType":110.5,"customElem":{"data":"{\"mireloType\":\"edit\"}"}})"),
        obj(R"({"contentType":"110","customElem":{"data":"{\"mireloType\":\"edit\"}"}})"),
    };
    for (const QJsonObject &m : rejected)
        EXPECT_FALSE(Protocol::parseCustom(m)) << QJsonDocument(m).toJson().constData();
}

TEST(Protocol, ReactionsParseAndApply)
{
    const auto noOp = Protocol::parseReaction(custom({{"mireloType", "reaction"}, {"targetClientMsgID", "m1"}, {"emoji", "👍"}}));
    ASSERT_TRUE(noOp);
    EXPECT_EQ(noOp->op, "add");
    EXPECT_EQ(noOp->sender, "alice");
    EXPECT_FALSE(Protocol::parseReaction(custom({{"mireloType", "reaction"}, {"targetClientMsgID", "m1"}, {"emoji", ""}})));
    EXPECT_FALSE(Protocol::parseReaction(custom({{"mireloType", "edit"}, {"targetClientMsgID", "m1"}, {"emoji", "👍"}})));

    Protocol::ReactionMap map;
    Protocol::applyReaction(map, {"m1", "👍", "add", "alice"});
    Protocol::applyReaction(map, {"m1", "👍", "add", "alice"});
    Protocol::applyReaction(map, {"m1", "👍", "add", "bob"});
    EXPECT_EQ(map["m1"]["👍"], (QSet<QString>{"alice", "bob"}));
    Protocol::applyReaction(map, {"m1", "👍", "remove", "carol"});
    EXPECT_EQ(map["m1"]["👍"].size(), 2);
    Protocol::applyReaction(map, {"m1", "👍", "remove", "alice"});
    Protocol::applyReaction(map, {"m1", "👍", "remove", "bob"});
    ASSERT_TRUE(map.contains("m1"));
    EXPECT_TRUE(map["m1"].isEmpty());
}

TEST(Protocol, BuiltPayloadsRoundTrip)
{
    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    const QString reaction = Protocol::buildReaction("m\"1", "❤️", "remove");
    const QString edit = Protocol::buildEdit("m2", "new \"text\"\n");
    const qint64 after = QDateTime::currentMSecsSinceEpoch();

    QJsonObject r = QJsonDocument::fromJson(reaction.toUtf8()).object();
    EXPECT_EQ(r.keys(), (QStringList{"emoji", "mireloType", "op", "targetClientMsgID", "ts"}));
    EXPECT_EQ(r.value("targetClientMsgID").toString(), "m\"1");
    EXPECT_GE(r.value("ts").toInteger(), before);
    EXPECT_LE(r.value("ts").toInteger(), after);

    const auto parsed = Protocol::parseReaction(custom(r));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->emoji, "❤️");
    EXPECT_EQ(parsed->op, "remove");

    QJsonObject e = QJsonDocument::fromJson(edit.toUtf8()).object();
    EXPECT_EQ(e.keys(), (QStringList{"mireloType", "newText", "targetClientMsgID", "ts"}));
    EXPECT_EQ(e.value("newText").toString(), "new \"text\"\n");
    EXPECT_FALSE(edit.contains('\n')) << "payloads are compact";
}

TEST(Protocol, VisibleCallSignals)
{
    struct Case {
        QJsonObject payload;
        const char *signal; // null: not visible
    } cases[] = {
        {{{"mireloSignal", "hangup"}, {"roomID", "r"}}, "hangup"},
        {{{"mireloType", ""}, {"mireloSignal", "cancel"}}, "cancel"},
        {{{"vexoSignal", "busy"}}, "busy"},
        {{{"mireloSignal", ""}, {"vexoSignal", "reject"}}, "reject"},
        {{{"mireloSignal", "timeout"}, {"vexoSignal", "invite"}}, "timeout"},
        {{{"mireloSignal", "invite"}}, nullptr},
        {{{"mireloSignal", "accept"}}, nullptr},
        {{{"mireloType", "reaction"}, {"mireloSignal", "hangup"}}, nullptr},
        {{{"mireloSignal", 5}}, nullptr},
    };
    for (const Case &c : cases) {
        const auto v = Protocol::visibleCallSignal(custom(c.payload));
        if (!c.signal) {
            EXPECT_FALSE(v) << QJsonDocument(c.payload).toJson().constData();
        } else {
            ASSERT_TRUE(v) << c.signal;
            EXPECT_EQ(v->signal, c.signal);
            EXPECT_EQ(v->payload, c.payload);
        }
    }
    EXPECT_EQ(Protocol::callSignalLabel("busy"), "[忙线]");
    EXPECT_EQ(Protocol::callSignalLabel("ginvite"), "[群通话]");
    EXPECT_EQ(Protocol::callSignalLabel("invite"), "[通话]");
}

TEST(Protocol, BriefOfEveryKind)
{
    struct Case {
        QJsonObject message;
        const char *brief;
    } cases[] = {
        {obj(R"({})"), "[消息]"},
        {obj(R"({"contentType":"101"})"), "[消息]"},
        {obj(R"({"contentType":101,"textElem":{"content":"hello"}})"), "hello"},
        {obj(R"({"contentType":101})"), ""},
        {obj(R"({"contentType":102})"), "[图片]"},
        {obj(R"({"contentType":103})"), "[语音]"},
        {obj(R"({"contentType":104})"), "[视频]"},
        {obj(R"({"contentType":105})"), "[文件]"},
        {custom({{"mireloType", "secret"}, {"v", 3}}), "[密聊消息]"},
        {custom({{"mireloType", "reaction"}}), "[消息]"},
        {custom({{"mireloSignal", "hangup"}}), "[消息]"},
        {obj(R"({"contentType":114,"quoteElem":{"text":"re: hi"}})"), "re: hi"},
        {obj(R"({"contentType":114})"), ""},
        {obj(R"({"contentType":1501})"), "[消息]"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(Protocol::briefOf(c.message), QString::fromUtf8(c.brief)) << QJsonDocument(c.message).toJson().constData();
}
