#include "ServerFixture.h"

#include "cli/Commands.h"

namespace {

class Moments : public ServerTest {
protected:
    void SetUp() override
    {
        ServerTest::SetUp();
        ann = registerUser("ann@example.org", "Ann");
        bob = registerUser("bob@example.org", "Bob");
        eve = registerUser("eve@example.org", "Eve");
        QString o, e;
        QTextStream out(&o), err(&e);
        ASSERT_EQ(Cli::run({"add-friend", "--data", dir.filePath("data"), ann.userID, bob.userID}, out, err), 0) << e.toStdString();
    }

    // As the moments screen sends them: "token" and "userID" in the body.
    QJsonObject call(const ChatApi::LoginResult &who, const QString &path, const QJsonObject &body = {})
    {
        return bridge("/moments/" + path, as(who, body));
    }

    QString post(const ChatApi::LoginResult &who, const QString &text)
    {
        return call(who, "create", {{"content", text}, {"images", QJsonArray{}}}).value("post").toObject().value("_id").toString();
    }

    ChatApi::LoginResult ann, bob, eve;
};

QStringList contents(const QJsonObject &page)
{
    QStringList out;
    for (const QJsonValue &p : page.value("posts").toArray())
        out << p.toObject().value("content").toString();
    return out;
}

TEST_F(Moments, FeedPagesNewestFirst)
{
    // Posts made within the same millisecond still page without gaps or repeats.
    frozen = QDateTime::currentMSecsSinceEpoch();
    QStringList expected;
    for (int i = 0; i < 25; ++i) {
        post(i % 2 ? ann : bob, QString("p%1").arg(i));
        expected.prepend(QString("p%1").arg(i));
    }
    post(eve, "not a friend's");

    const QJsonObject first = call(ann, "feed");
    EXPECT_EQ(contents(first), expected.mid(0, 20));
    EXPECT_TRUE(first.value("hasMore").toBool());
    const qint64 before = qint64(first.value("posts").toArray().last().toObject().value("createdAt").toDouble());
    const QJsonObject second = call(ann, "feed", {{"before", before}});
    EXPECT_EQ(contents(second), expected.mid(20));
    EXPECT_FALSE(second.value("hasMore").toBool());

    const QJsonObject p = first.value("posts").toArray().first().toObject();
    EXPECT_EQ(p.value("nickname"), p.value("userID") == ann.userID ? "Ann" : "Bob");
    EXPECT_EQ(contents(call(eve, "feed")), QStringList{"not a friend's"});
    EXPECT_EQ(call(ann, "feed", {{"before", "yesterday"}}).value("code"), "BAD_REQUEST");
}

TEST_F(Moments, LikesCommentsAndDeletion)
{
    const QString id = post(ann, "hello");
    const QJsonObject liked = call(bob, "like", {{"postID", id}});
    EXPECT_EQ(liked.value("post").toObject().value("likes").toArray(),
              QJsonArray({QJsonObject{{"userID", bob.userID}, {"nickname", "Bob"}}}));
    EXPECT_TRUE(call(bob, "like", {{"postID", id}}).value("post").toObject().value("likes").toArray().isEmpty());

    const QJsonArray comments = call(bob, "comment", {{"postID", id}, {"text", "nice"}}).value("post").toObject().value("comments").toArray();
    ASSERT_EQ(comments.size(), 1);
    const QString bobComment = comments[0].toObject().value("id").toString();
    EXPECT_EQ(comments[0].toObject().value("nickname"), "Bob");
    EXPECT_EQ(comments[0].toObject().value("text"), "nice");
    const QString annComment = call(ann, "comment", {{"postID", id}, {"text", "thanks"}})
                                   .value("post").toObject().value("comments").toArray()[1].toObject().value("id").toString();

    // Someone who cannot see the post learns nothing about it.
    for (const QString path : {"like", "comment", "delete"})
        EXPECT_EQ(call(eve, path, {{"postID", id}, {"text", "x"}}).value("error"), "post not found") << path.toStdString();
    EXPECT_EQ(call(eve, "comment/delete", {{"postID", id}, {"commentID", bobComment}}).value("error"), "post not found");

    // A comment goes by its author or the post's author; the post only by its author.
    EXPECT_EQ(call(bob, "comment/delete", {{"postID", id}, {"commentID", annComment}}).value("code"), "FORBIDDEN");
    EXPECT_EQ(call(ann, "comment/delete", {{"postID", id}, {"commentID", bobComment}}).value("post").toObject().value("comments").toArray().size(), 1);
    EXPECT_TRUE(call(ann, "comment/delete", {{"postID", id}, {"commentID", annComment}}).value("post").toObject().value("comments").toArray().isEmpty());
    EXPECT_EQ(call(bob, "delete", {{"postID", id}}).value("code"), "FORBIDDEN");
    EXPECT_EQ(call(ann, "delete", {{"postID", id}}), QJsonObject({{"ok", true}}));
    EXPECT_EQ(call(ann, "delete", {{"postID", id}}).value("error"), "post not found");
    EXPECT_TRUE(contents(call(bob, "feed")).isEmpty());
}

TEST_F(Moments, CreateChecksItsInput)
{
    const QJsonArray ten{"https://a/1", "https://a/2", "https://a/3", "https://a/4", "https://a/5",
                         "https://a/6", "https://a/7", "https://a/8", "https://a/9", "https://a/10"};
    const QJsonObject bad[] = {
        {{"content", ""}, {"images", QJsonArray{}}},
        {{"content", "x"}, {"images", ten}},
        {{"content", "x"}, {"images", QJsonArray{"javascript:alert(1)"}}},
        {{"content", 5}},
    };
    for (const QJsonObject &body : bad)
        EXPECT_TRUE(call(ann, "create", body).value("error").isString()) << QJsonDocument(body).toJson().toStdString();
    const QJsonObject made = call(ann, "create", {{"content", ""}, {"images", QJsonArray{"https://127.0.0.1/objects/x/a.png"}}});
    EXPECT_EQ(made.value("post").toObject().value("images"), QJsonArray{"https://127.0.0.1/objects/x/a.png"});
}

} // namespace
