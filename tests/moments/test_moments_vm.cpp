#include "base/ServiceConfig.h"
#include "moments/MomentsVM.h"
#include "support/Await.h"
#include "support/TestHttpServer.h"

#include <QJsonArray>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

QJsonObject post(const QString &id, double createdAt = 0)
{
    return {{"_id", id}, {"userID", "u"}, {"content", "c-" + id}, {"createdAt", createdAt}};
}

QJsonArray posts(int n, int from = 0)
{
    QJsonArray out;
    for (int i = from; i < from + n; ++i)
        out.append(post(QString("p%1").arg(i), 1000.0 - i));
    return out;
}

QStringList ids(const QList<MPost> &list)
{
    QStringList out;
    for (const MPost &p : list)
        out << p.id;
    return out;
}

class MomentsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(ServiceConfig::current().setServer(server.start()));
        server.handler = [this](const TestHttpServer::Request &r) {
            if (r.path == "/api/object/part_limit")
                return TestHttpServer::json({{"errCode", 0}, {"data", QJsonObject{}}});
            if (r.path == "/api/object/initiate_multipart_upload") {
                // Already stored: the answer's URL short-circuits the upload.
                const QString name = r.json().value("name").toString();
                return TestHttpServer::json({{"errCode", 0}, {"data", QJsonObject{{"url", "HTTP://cdn.example/" + name}}}});
            }
            return answers.value(r.path, TestHttpServer::json({}));
        };
    }

    QString imageFile(const QString &name)
    {
        QFile f(dir.filePath(name));
        f.open(QIODevice::WriteOnly);
        f.write("image bytes");
        return f.fileName();
    }

    TestHttpServer server;
    QTemporaryDir dir;
    QHash<QString, TestHttpServer::Response> answers;
    MomentsVM vm{Credentials{"me", "tok", "ct", "Me"}};
};

TEST(MomentsParse, PostsAndComments)
{
    EXPECT_FALSE(MPost::parse(QJsonObject{{"content", "no id"}}));
    EXPECT_FALSE(MPost::parse(QJsonObject{{"_id", 5}}));
    EXPECT_FALSE(MPost::parse(QJsonValue("text")));
    const auto p = MPost::parse(QJsonObject{
        {"_id", "p1"},
        {"images", QJsonArray{"a", 3, "b"}},
        {"likes", QJsonArray{QJsonObject{{"userID", "x"}}, "junk"}},
        {"comments", QJsonArray{QJsonObject{{"id", "c1"}, {"_id", "ignored"}, {"text", "hi"}, {"createdAt", 5}},
                                QJsonObject{{"_id", "c2"}}, QJsonObject{}, 7}},
        {"createdAt", "yesterday"}});
    ASSERT_TRUE(p);
    EXPECT_EQ(p->images, (QStringList{"a", "b"}));
    EXPECT_EQ(p->likes, (QList<MLike>{{"x", ""}}));
    ASSERT_EQ(p->comments.size(), 3);
    EXPECT_EQ(p->comments[0], (MComment{"c1", "", "", "hi", 5}));
    EXPECT_EQ(p->comments[1].id, "c2");
    EXPECT_EQ(p->comments[2].id, "");
    EXPECT_EQ(p->createdAt, 0);
}

TEST_F(MomentsTest, PagingInfersOrReadsHasMore)
{
    const struct {
        QJsonObject first;
        bool hasMore;
    } cases[] = {
        {{{"posts", posts(20)}}, true},
        {{{"posts", posts(19)}}, false},
        {{{"posts", posts(3)}, {"hasMore", true}}, true},
        {{{"posts", QJsonArray{post("ok"), QJsonObject{{"content", "dropped"}}}}, {"hasMore", "yes"}}, false},
    };
    for (const auto &c : cases) {
        answers["/bridge/moments/feed"] = TestHttpServer::json(c.first);
        await(vm.refresh());
        EXPECT_EQ(vm.hasMore(), c.hasMore);
        EXPECT_FALSE(vm.loading());
    }
    EXPECT_EQ(ids(vm.posts()), QStringList{"ok"});
    EXPECT_EQ(server.requests.last().json(), (QJsonObject{{"token", "tok"}, {"userID", "me"}}));

    answers["/bridge/moments/feed"] = TestHttpServer::json({{"posts", posts(20)}});
    await(vm.refresh());
    answers["/bridge/moments/feed"] = TestHttpServer::json({{"posts", posts(2, 20)}});
    await(vm.loadMore());
    EXPECT_EQ(server.requests.last().json().value("before").toDouble(), 981.0);
    EXPECT_EQ(vm.posts().size(), 22);
    EXPECT_FALSE(vm.hasMore()) << "a later page without hasMore ends the feed";
    const auto sent = server.requests.size();
    await(vm.loadMore());
    EXPECT_EQ(server.requests.size(), sent);

    answers["/bridge/moments/feed"] = TestHttpServer::json({{"error", "down"}});
    await(vm.refresh());
    EXPECT_EQ(vm.posts().size(), 22) << "a failed refresh keeps the feed";
}

TEST_F(MomentsTest, LoadMoreNeedsPosts)
{
    await(vm.loadMore());
    EXPECT_TRUE(server.requests.isEmpty());
}

TEST_F(MomentsTest, CreateUploadsNineImagesAndPosts)
{
    QStringList paths;
    for (int i = 0; i < 12; ++i)
        paths << imageFile(i == 0 ? "noext" : QString("img%1.PNG").arg(i));
    answers["/bridge/moments/create"] = TestHttpServer::json({{"post", post("new")}});
    const auto ok = await(vm.create("hello", paths));
    ASSERT_TRUE(ok.value && *ok.value);
    EXPECT_EQ(ids(vm.posts()), QStringList{"new"});

    const auto uploads = server.requestsTo("/api/object/initiate_multipart_upload");
    ASSERT_EQ(uploads.size(), 9);
    const QRegularExpression name("^me/m\\d{13}[1-9]\\d{2}\\.(jpg|png)$");
    for (const auto &u : uploads)
        EXPECT_TRUE(name.match(u.json().value("name").toString()).hasMatch()) << u.json().value("name").toString().toStdString();
    EXPECT_TRUE(uploads[0].json().value("name").toString().endsWith(".jpg"));
    EXPECT_TRUE(uploads[1].json().value("name").toString().endsWith(".png"));

    const QJsonObject body = server.requestsTo("/bridge/moments/create").at(0).json();
    EXPECT_EQ(body.value("content"), "hello");
    const QJsonArray images = body.value("images").toArray();
    ASSERT_EQ(images.size(), 9);
    EXPECT_TRUE(images[0].toString().startsWith("https://cdn.example/me/m")) << images[0].toString().toStdString();
}

TEST_F(MomentsTest, CreateFailuresBecomeTheToast)
{
    answers["/bridge/moments/create"] = TestHttpServer::json({{"error", "content too long"}});
    auto out = await(vm.create("x", {}));
    EXPECT_FALSE(*out.value);
    EXPECT_EQ(vm.toast(), "content too long");
    EXPECT_EQ(server.requestsTo("/bridge/moments/create").at(0).json().value("images"), QJsonArray());

    vm.clearToast();
    out = await(vm.create("x", {dir.filePath("missing.jpg")}));
    EXPECT_FALSE(*out.value);
    ASSERT_TRUE(vm.toast());
    EXPECT_TRUE(vm.toast()->contains("missing.jpg"));
    EXPECT_EQ(server.requestsTo("/bridge/moments/create").size(), 1) << "nothing is posted after a failed image";
}

// Closing the tab destroys the view model while a publish waits for a file read or an upload:
// nothing may touch it afterwards, and a post whose images were not all uploaded is not made.
TEST_F(MomentsTest, ClosingTheTabWhilePublishing)
{
    struct Case {
        const char *name;
        QString closeAt; // the request whose arrival closes the tab; empty: at once, while the file is read
        int posts;       // posts made after all
    };
    const Case cases[] = {
        {"reading the first image", "", 0},
        {"uploading the first image", "/api/object/part_limit", 0},
        {"posting", "/bridge/moments/create", 1},
    };
    const QStringList paths{imageFile("a.jpg"), imageFile("b.jpg")};
    answers["/bridge/moments/create"] = TestHttpServer::json({{"post", post("new")}});
    const auto answer = server.handler;
    for (const Case &tc : cases) {
        SCOPED_TRACE(tc.name);
        server.requests.clear();
        auto closing = std::make_unique<MomentsVM>(Credentials{"me", "tok", "ct", "Me"});
        server.handler = [&](const TestHttpServer::Request &r) {
            if (r.path == tc.closeAt)
                closing.reset();
            return answer(r);
        };
        QCoro::Task<bool> publishing = closing->create("hello", paths);
        ASSERT_FALSE(publishing.isReady());
        if (tc.closeAt.isEmpty())
            closing.reset();
        await(std::move(publishing));
        EXPECT_FALSE(closing);
        EXPECT_EQ(server.requestsTo("/bridge/moments/create").size(), tc.posts);
    }
    server.handler = answer;
}

TEST_F(MomentsTest, ClosingTheTabWhileTheFeedLoads)
{
    answers["/bridge/moments/feed"] = TestHttpServer::json({{"posts", posts(20)}});
    answers["/bridge/moments/like"] = TestHttpServer::json({{"post", post("p1")}});
    const std::function<QCoro::Task<void>(MomentsVM &)> operations[] = {
        [](MomentsVM &m) { return m.refresh(); },
        [](MomentsVM &m) { return m.like(*MPost::parse(post("p1"))); },
        [](MomentsVM &m) { return m.deletePost(*MPost::parse(post("p1"))); },
    };
    const auto answer = server.handler;
    for (const auto &operation : operations) {
        auto closing = std::make_unique<MomentsVM>(Credentials{"me", "tok", "ct", "Me"});
        server.handler = [&](const TestHttpServer::Request &r) {
            closing.reset();
            return answer(r);
        };
        await(operation(*closing));
        EXPECT_FALSE(closing);
    }
    server.handler = answer;
}

TEST_F(MomentsTest, ServerAnswersReplaceOrRemovePosts)
{
    answers["/bridge/moments/feed"] = TestHttpServer::json({{"posts", QJsonArray{post("a"), post("b")}}, {"hasMore", false}});
    await(vm.refresh());
    QJsonObject liked = post("b");
    liked.insert("likes", QJsonArray{QJsonObject{{"userID", "me"}, {"nickname", "Me"}}});
    answers["/bridge/moments/like"] = TestHttpServer::json({{"post", liked}});
    await(vm.like(vm.posts()[1]));
    EXPECT_EQ(vm.posts()[1].likes.size(), 1);
    EXPECT_EQ(server.requests.last().json(), (QJsonObject{{"token", "tok"}, {"userID", "me"}, {"postID", "b"}}));

    answers["/bridge/moments/comment"] = TestHttpServer::json({{"error", "nope"}});
    await(vm.comment(vm.posts()[0], "hi"));
    EXPECT_TRUE(vm.posts()[0].comments.isEmpty());

    await(vm.deleteComment(vm.posts()[0], "c9"));
    EXPECT_EQ(server.requests.last().json().value("commentID"), "c9");

    answers["/bridge/moments/delete"] = TestHttpServer::json({{"error", "post not found"}});
    await(vm.deletePost(vm.posts()[0]));
    EXPECT_EQ(ids(vm.posts()), (QStringList{"a", "b"}));
    answers["/bridge/moments/delete"] = TestHttpServer::json({});
    await(vm.deletePost(vm.posts()[0]));
    EXPECT_EQ(ids(vm.posts()), QStringList{"b"});
}

} // namespace
