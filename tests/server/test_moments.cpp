#include "ServerFixture.h"

#include "cli/Commands.h"
#include "moments/MomentsVM.h"

namespace {

class MomentsFeed : public ServerTest {
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

TEST_F(MomentsFeed, FeedPagesNewestFirst)
{
    // Posts made within the same millisecond still page without gaps or repeats.
    frozen = QDateTime::currentMSecsSinceEpoch();
    QStringList expected;
    for (int i = 0; i < 25; ++i) {
        post(i % 2 ? ann : bob, QString("p%1").arg(i));
        expected.prepend(QString("p%1").arg(i));
    }
    post(eve, "not a friend's");

    MomentsVM vm(Credentials{ann.userID, ann.imToken, ann.chatToken, "Ann"});
    auto shown = [&] {
        QStringList out;
        for (const MPost &p : vm.posts())
            out << p.content;
        return out;
    };
    await(vm.refresh());
    EXPECT_EQ(shown(), expected.mid(0, 20));
    EXPECT_TRUE(vm.hasMore());
    await(vm.loadMore());
    EXPECT_EQ(shown(), expected);
    EXPECT_FALSE(vm.hasMore());
    EXPECT_EQ(vm.posts().first().nickname, vm.posts().first().userID == ann.userID ? "Ann" : "Bob");

    EXPECT_EQ(contents(call(eve, "feed")), QStringList{"not a friend's"});
    EXPECT_EQ(call(ann, "feed", {{"before", "yesterday"}}).value("code"), "BAD_REQUEST");
}

TEST_F(MomentsFeed, PostWithImagesThroughTheModel)
{
    QTemporaryDir files;
    const QByteArray png = QByteArray::fromHex("89504e470d0a1a0a0000000d49484452") + QByteArray(300, '\x07');
    QFile image(files.filePath("shot.PNG"));
    ASSERT_TRUE(image.open(QIODevice::WriteOnly));
    image.write(png);
    image.close();

    MomentsVM vm(Credentials{ann.userID, ann.imToken, ann.chatToken, "Ann"});
    const auto made = await(vm.create("with a picture", {image.fileName()}));
    ASSERT_TRUE(made.value && *made.value) << vm.toast().value_or("").toStdString();
    ASSERT_EQ(vm.posts().size(), 1);
    const MPost created = vm.posts().first();
    ASSERT_EQ(created.images.size(), 1);
    EXPECT_TRUE(created.images.first().startsWith(origin + "/objects/")) << created.images.first().toStdString();
    const Raw got = raw("GET", created.images.first());
    EXPECT_EQ(got.body, png);
    EXPECT_EQ(got.contentType, "image/png");

    MomentsVM bobs(Credentials{bob.userID, bob.imToken, bob.chatToken, "Bob"});
    await(bobs.refresh());
    ASSERT_EQ(bobs.posts().size(), 1);
    await(bobs.like(bobs.posts().first()));
    EXPECT_EQ(bobs.posts().first().likes, QList<MLike>({{bob.userID, "Bob"}}));
    await(bobs.comment(bobs.posts().first(), "nice"));
    ASSERT_EQ(bobs.posts().first().comments.size(), 1);
    EXPECT_EQ(bobs.posts().first().comments.first().nickname, "Bob");
    await(bobs.deleteComment(bobs.posts().first(), bobs.posts().first().comments.first().id));
    EXPECT_TRUE(bobs.posts().first().comments.isEmpty());
    await(bobs.deletePost(bobs.posts().first())); // not his: refused, and the post stays
    EXPECT_EQ(bobs.posts().size(), 1);
    await(vm.deletePost(created));
    EXPECT_TRUE(vm.posts().isEmpty());
    await(bobs.refresh());
    EXPECT_TRUE(bobs.posts().isEmpty());
}

TEST_F(MomentsFeed, LikesCommentsAndDeletion)
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

TEST_F(MomentsFeed, CreateChecksItsInput)
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
