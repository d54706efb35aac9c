#include "im/Records.h"

#include <QJsonDocument>
#include <gtest/gtest.h>

namespace {

QJsonObject obj(const char *json)
{
    return QJsonDocument::fromJson(json).object();
}

struct ConvCase {
    const char *record;
    const char *key;
    const char *name;
    qint64 unread;
};

} // namespace

TEST(Records, ConversationAccessors)
{
    const ConvCase cases[] = {
        {R"({"conversationID":"si_a_b","userID":"b","showName":"Bob","unreadCount":3})", "si_a_b", "Bob", 3},
        {R"({"groupID":"g1","unreadCount":2.9})", "sg_g1", "g1", 2},
        {R"({"conversationID":"","userID":"u7","showName":""})", "u7", "u7", 0},
        {R"({"unreadCount":"5"})", "", "", 0},
        {R"({"conversationID":42,"groupID":"g2","showName":null})", "sg_g2", "g2", 0},
    };
    for (const ConvCase &c : cases) {
        const QJsonObject r = obj(c.record);
        EXPECT_EQ(Records::convKey(r), QString::fromUtf8(c.key)) << c.record;
        EXPECT_EQ(Records::showName(r), QString::fromUtf8(c.name)) << c.record;
        EXPECT_EQ(Records::unread(r), c.unread) << c.record;
    }
}

TEST(Records, LatestMessageDecodesOrIsEmpty)
{
    EXPECT_EQ(Records::latestMsgDict(obj(R"({"latestMsg":"{\"clientMsgID\":\"m1\",\"contentType\":101}"})"))
                  .value("clientMsgID").toString(),
              "m1");
    for (const char *bad : {R"({})", R"({"latestMsg":"not json"})", R"({"latestMsg":"[1,2]"})", R"({"latestMsg":{"a":1}})"})
        EXPECT_TRUE(Records::latestMsgDict(obj(bad)).isEmpty()) << bad;
}

TEST(Records, FriendAccessorsReadTopLevelThenFriendInfo)
{
    struct Case {
        const char *record, *id, *name, *face;
    } cases[] = {
        {R"({"userID":"u1","nickname":"Ann","faceURL":"f1"})", "u1", "Ann", "f1"},
        {R"({"friendInfo":{"userID":"u2","nickname":"Ben","faceURL":"f2"}})", "u2", "Ben", "f2"},
        {R"({"friendInfo":{"userID":"u3"}})", "u3", "u3", ""},
        {R"({"userID":"u4","nickname":"","friendInfo":{"nickname":"Nested"}})", "u4", "Nested", ""},
        {R"({"friendInfo":"oops"})", "", "", ""},
    };
    for (const Case &c : cases) {
        const QJsonObject r = obj(c.record);
        EXPECT_EQ(Records::fUserID(r), QString::fromUtf8(c.id)) << c.record;
        EXPECT_EQ(Records::fName(r), QString::fromUtf8(c.name)) << c.record;
        EXPECT_EQ(Records::fFace(r), QString::fromUtf8(c.face)) << c.record;
    }
}
