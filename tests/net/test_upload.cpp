#include "base/ServiceConfig.h"
#include "net/Net.h"
#include "net/ObjectUpload.h"
#include "support/Await.h"
#include "support/FakeReachability.h"
#include "support/TestHttpServer.h"

#include <QJsonArray>
#include <gtest/gtest.h>
#include <limits>

namespace {

QJsonObject ok(const QJsonObject &data)
{
    return {{"errCode", 0}, {"errMsg", ""}, {"data", data}};
}

// The IM API's object endpoints over the test server; PUTs land on "/put".
class UploadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        base = server.start();
        ASSERT_TRUE(ServiceConfig::current().setServer(base));
        server.handler = [this](const TestHttpServer::Request &r) -> TestHttpServer::Response {
            if (r.path == "/api/object/part_limit")
                return TestHttpServer::json(ok(limits));
            if (r.path == "/api/object/initiate_multipart_upload")
                return TestHttpServer::json(ok(initiate));
            if (r.path == "/api/object/auth_sign")
                return TestHttpServer::json(ok(authSign(r.json())));
            if (r.path == "/put") {
                const int status = putStatus.value(r.query.queryItemValue("part").toInt(), 200);
                return {status, "", "text/plain"};
            }
            if (r.path == "/api/object/complete_multipart_upload")
                return TestHttpServer::json(ok(complete));
            return {404, "{}"};
        };
    }

    // Signs every requested part at "/put?part=N".
    QJsonObject authSign(const QJsonObject &body)
    {
        QJsonArray parts;
        for (const QJsonValue &n : body.value("partNumbers").toArray())
            if (!unsignable.contains(n.toInt()))
                parts.append(QJsonObject{{"partNumber", n}, {"url", QStringLiteral("%1/put?part=%2").arg(base).arg(n.toInt())}});
        return {{"parts", parts}};
    }

    QList<QJsonArray> signedBatches() const
    {
        QList<QJsonArray> out;
        for (const auto &r : server.requestsTo("/api/object/auth_sign"))
            out << r.json().value("partNumbers").toArray();
        return out;
    }

    Outcome<QString> upload(const QByteArray &data) { return await(Net::uploadBytes(data, "/photos/a.png/", "tok", "u1")); }

    TestHttpServer server;
    QString base;
    QJsonObject limits{{"minPartSize", 4}, {"maxNumSize", 100}};
    QJsonObject initiate{{"upload", QJsonObject{{"uploadID", "up-1"}}}};
    QJsonObject complete{{"url", "https://cdn.example/u1/photos/a.png"}};
    QSet<int> unsignable;
    QHash<int, int> putStatus;
};

TEST_F(UploadTest, PartsWaitForTheNetworkLikeEveryRequest)
{
    FakeReachability reachability;
    reachability.alwaysThrough = {"/api/object/part_limit", "/api/object/initiate_multipart_upload",
                                  "/api/object/auth_sign", "/api/object/complete_multipart_upload"};
    Reachability::setShared(&reachability);
    Net::setConnectivityWait(std::chrono::milliseconds(30));
    const auto out = upload("0123456789");
    Reachability::setShared(nullptr);
    Net::setConnectivityWait({});

    ASSERT_TRUE(out.error);
    EXPECT_EQ(out.error->message(), "No network connection");
    EXPECT_TRUE(server.requestsTo("/put").isEmpty());
    EXPECT_TRUE(server.requestsTo("/api/object/complete_multipart_upload").isEmpty());
}

TEST(UploadPlan, PartArithmetic)
{
    struct Case {
        qint64 size, minPart, maxNum, partSize, partCount;
    } cases[] = {
        {12582912, 5242880, 10000, 5242880, 3},
        {0, 5, 10, 5, 1},
        {3, 5, 10, 5, 1},
        {50, 5, 10, 5, 10},
        {51, 5, 10, 6, 9},
        {45, 1, 1000, 1, 45},
    };
    for (const Case &c : cases) {
        const Net::UploadPlan p = Net::planUpload(c.size, c.minPart, c.maxNum);
        EXPECT_EQ(p.partSize, c.partSize) << c.size;
        EXPECT_EQ(p.partCount, c.partCount) << c.size;
    }
    constexpr qint64 big = std::numeric_limits<qint64>::max() / 2;
    for (auto [minPart, maxNum] : {std::pair<qint64, qint64>{0, 10}, {5, 0}, {-5, 10}, {5, -1}, {big, 3}})
        EXPECT_THROW(Net::planUpload(10, minPart, maxNum), APIError) << minPart << " " << maxNum;
}

TEST(UploadPlan, ObjectNames)
{
    EXPECT_EQ(Net::objectName("/photos/a.png/", "u1"), "u1/photos/a.png");
    EXPECT_EQ(Net::objectName("u1/a.png", "u1"), "u1/a.png");
    EXPECT_EQ(Net::objectName("//u1/a.png", "u1"), "u1/a.png");
    EXPECT_EQ(Net::objectName("u10/a.png", "u1"), "u1/u10/a.png");
}

TEST_F(UploadTest, FortyFivePartsAreSignedInBatchesOfTwenty)
{
    limits = {{"minPartSize", 1}, {"maxNumSize", 1000}};
    QByteArray data;
    for (int i = 0; i < 45; ++i)
        data.append(char('A' + i % 26));
    const auto out = upload(data);
    ASSERT_FALSE(out.error) << out.error->message().toStdString();
    EXPECT_EQ(*out.value, "https://cdn.example/u1/photos/a.png");

    const auto batches = signedBatches();
    ASSERT_EQ(batches.size(), 3);
    EXPECT_EQ(batches[0].first().toInt(), 1);
    EXPECT_EQ(batches[0].size(), 20);
    EXPECT_EQ(batches[1].first().toInt(), 21);
    EXPECT_EQ(batches[1].size(), 20);
    EXPECT_EQ(batches[2], (QJsonArray{41, 42, 43, 44, 45}));

    const auto puts = server.requestsTo("/put");
    ASSERT_EQ(puts.size(), 45);
    QStringList hashes;
    for (int i = 0; i < 45; ++i) {
        EXPECT_EQ(puts[i].method, "PUT");
        EXPECT_EQ(puts[i].body, data.mid(i, 1));
        hashes << Net::md5Hex(data.mid(i, 1));
    }
    const QJsonObject init = server.requestsTo("/api/object/initiate_multipart_upload").at(0).json();
    EXPECT_EQ(init, (QJsonObject{{"hash", Net::md5Hex(hashes.join(',').toUtf8())}, {"size", 45}, {"partSize", 1}, {"maxParts", 20},
                                 {"cause", ""}, {"name", "u1/photos/a.png"}, {"contentType", "application/octet-stream"}}));
    const QJsonObject done = server.requestsTo("/api/object/complete_multipart_upload").at(0).json();
    EXPECT_EQ(done, (QJsonObject{{"uploadID", "up-1"}, {"parts", QJsonArray::fromStringList(hashes)}, {"name", "u1/photos/a.png"},
                                 {"contentType", "application/octet-stream"}, {"cause", ""}}));
    for (const auto &r : server.requests) {
        if (r.path.startsWith("/api/")) {
            EXPECT_EQ(r.header("token"), "tok");
        }
    }
}

TEST_F(UploadTest, EmptyDataIsOneEmptyPart)
{
    const auto out = upload({});
    ASSERT_FALSE(out.error);
    const auto puts = server.requestsTo("/put");
    ASSERT_EQ(puts.size(), 1);
    EXPECT_TRUE(puts[0].body.isEmpty());
    const QJsonObject done = server.requestsTo("/api/object/complete_multipart_upload").at(0).json();
    EXPECT_EQ(done.value("parts").toArray(), QJsonArray{"d41d8cd98f00b204e9800998ecf8427e"});
    EXPECT_EQ(server.requestsTo("/api/object/part_limit").at(0).body, "{}");
}

TEST_F(UploadTest, ExactCapacityAndOneByteMore)
{
    limits = {{"minPartSize", 4}, {"maxNumSize", 3}};
    ASSERT_FALSE(upload(QByteArray(12, 'x')).error);
    EXPECT_EQ(server.requestsTo("/put").size(), 3);
    EXPECT_EQ(server.requestsTo("/api/object/initiate_multipart_upload").at(0).json().value("partSize").toInt(), 4);
    server.requests.clear();
    ASSERT_FALSE(upload(QByteArray(13, 'x')).error);
    const auto puts = server.requestsTo("/put");
    ASSERT_EQ(puts.size(), 3);
    EXPECT_EQ(puts[0].body.size(), 5);
    EXPECT_EQ(puts[2].body.size(), 3);
}

TEST_F(UploadTest, InitiateUrlShortCircuits)
{
    initiate = {{"url", "https://cdn.example/already-there"}};
    const auto out = upload("abc");
    ASSERT_FALSE(out.error);
    EXPECT_EQ(*out.value, "https://cdn.example/already-there");
    EXPECT_TRUE(server.requestsTo("/put").isEmpty());
    EXPECT_TRUE(server.requestsTo("/api/object/complete_multipart_upload").isEmpty());
}

TEST_F(UploadTest, QueryAndHeaderPrecedence)
{
    initiate = {{"upload", QJsonObject{{"uploadID", "up-2"},
                                       {"sign", QJsonObject{
                                                    {"url", base + "/put?X=url&keep=1"},
                                                    {"query", QJsonArray{QJsonObject{{"key", "X"}, {"values", QJsonArray{"sign"}}},
                                                                         QJsonObject{{"key", "Y"}, {"values", QJsonArray{"sign"}}},
                                                                         QJsonObject{{"key", "Z"}, {"values", QJsonArray{}}}}},
                                                    {"header", QJsonArray{QJsonObject{{"key", "X-H"}, {"values", QJsonArray{"sign"}}},
                                                                          QJsonObject{{"key", "X-S"}, {"values", QJsonArray{"s"}}}}},
                                                    {"parts", QJsonArray{QJsonObject{
                                                                  {"partNumber", 1.0},
                                                                  {"query", QJsonArray{QJsonObject{{"key", "Y"}, {"values", QJsonArray{7}}}}},
                                                                  {"header", QJsonArray{QJsonObject{{"key", "X-H"}, {"values", QJsonArray{"part"}}}}},
                                                              }}},
                                                }}}}};
    ASSERT_FALSE(upload("abc").error);
    const auto put = server.requestsTo("/put").at(0);
    EXPECT_EQ(put.query.queryItemValue("X"), "sign");
    EXPECT_EQ(put.query.queryItemValue("Y"), "7");
    EXPECT_EQ(put.query.queryItemValue("keep"), "1");
    EXPECT_EQ(put.query.allQueryItemValues("X").size(), 1);
    EXPECT_FALSE(put.query.hasQueryItem("Z"));
    EXPECT_EQ(put.header("X-H"), "part");
    EXPECT_EQ(put.header("X-S"), "s");
    EXPECT_FALSE(put.hasHeader("Content-Type")) << put.header("Content-Type").constData();
    EXPECT_TRUE(server.requestsTo("/api/object/auth_sign").isEmpty());
}

TEST_F(UploadTest, PutStatus)
{
    putStatus = {{1, 204}, {2, 403}};
    const auto out = upload(QByteArray(10, 'x'));
    ASSERT_TRUE(out.error);
    EXPECT_EQ(out.error->message(), "PUT part 2 failed");
    EXPECT_EQ(server.requestsTo("/put").size(), 2) << "nothing is sent after a failure";
    EXPECT_TRUE(server.requestsTo("/api/object/complete_multipart_upload").isEmpty());
}

TEST_F(UploadTest, FailureMessages)
{
    struct Case {
        std::function<void()> arrange;
        const char *message;
    } cases[] = {
        {[&] { initiate = {{"url", ""}}; }, "initiate upload: no upload info and no url"},
        {[&] { initiate = {{"upload", "text"}}; }, "initiate upload: bad upload object"},
        {[&] { unsignable = {2}; }, "auth_sign missing part 2"},
        {[&] { complete = {{"url", 5}}; }, "complete upload: empty url"},
        {[&] {
             const QJsonArray parts{QJsonObject{{"partNumber", 1}}};
             initiate = {{"upload", QJsonObject{{"sign", QJsonObject{{"parts", parts}}}}}};
         },
         "bad put url"},
        {[&] { limits = {{"minPartSize", 0}}; }, nullptr},
    };
    for (const Case &c : cases) {
        limits = {{"minPartSize", 4}, {"maxNumSize", 100}};
        initiate = {{"upload", QJsonObject{{"uploadID", "up-1"}}}};
        complete = {{"url", "https://cdn.example/x"}};
        unsignable.clear();
        c.arrange();
        const auto out = upload(QByteArray(10, 'x'));
        ASSERT_TRUE(out.error) << (c.message ? c.message : "limits");
        if (c.message) {
            EXPECT_EQ(out.error->message(), c.message);
        } else {
            EXPECT_TRUE(out.error->message().contains("part limits")) << out.error->message().toStdString();
        }
    }
}

} // namespace
