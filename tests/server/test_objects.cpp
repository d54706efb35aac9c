#include "ServerFixture.h"

#include "net/ObjectUpload.h"

#include <QUrlQuery>

namespace {

class ObjectStore : public ServerTest {
protected:
    void SetUp() override
    {
        ServerTest::SetUp();
        ann = registerUser("ann@example.org");
    }

    static QByteArray pattern(qint64 size, int seed)
    {
        QByteArray data(size, Qt::Uninitialized);
        for (qint64 i = 0; i < size; ++i)
            data[i] = char((i * 131 + seed) ^ (i >> 11));
        return data;
    }

    // initiate + auth_sign by hand, for PUTs the client would never send.
    QString signedPartUrl(const QByteArray &data, qint64 partSize, qint64 part, QString *uploadID)
    {
        QStringList hashes;
        for (qint64 from = 0; from < data.size(); from += partSize)
            hashes << Net::md5Hex(data.mid(from, partSize));
        const QJsonObject initiate{{"hash", Net::md5Hex(hashes.join(',').toUtf8())},
                                   {"size", data.size()},
                                   {"partSize", partSize},
                                   {"maxParts", 0},
                                   {"cause", ""},
                                   {"name", ann.userID + "/x.bin"},
                                   {"contentType", "application/octet-stream"}};
        const auto started = await(Net::imApi("/object/initiate_multipart_upload", initiate, ann.imToken));
        EXPECT_FALSE(started.error);
        *uploadID = started.value->value("upload").toObject().value("uploadID").toString();
        const auto sign = await(Net::imApi("/object/auth_sign", {{"uploadID", *uploadID}, {"partNumbers", QJsonArray{part}}}, ann.imToken));
        EXPECT_FALSE(sign.error);
        return sign.value->value("parts").toArray().first().toObject().value("url").toString();
    }

    ChatApi::LoginResult ann;
};

TEST_F(ObjectStore, TwelveMiBInThreePartsComesBackIdentical)
{
    const QByteArray data = pattern(12 * 1024 * 1024, 7);
    const auto url = await(Net::uploadBytes(data, "/photos/big.bin/", ann.imToken, ann.userID));
    ASSERT_FALSE(url.error) << url.error->message().toStdString();
    EXPECT_TRUE(url.value->startsWith(origin + "/objects/")) << url.value->toStdString();
    EXPECT_TRUE(url.value->endsWith("/big.bin"));
    const Raw got = raw("GET", *url.value);
    EXPECT_EQ(got.status, 200);
    EXPECT_EQ(got.body.size(), data.size());
    EXPECT_TRUE(got.body == data);
    EXPECT_EQ(got.contentType, "application/octet-stream");
    // The parts are gone once the object exists.
    EXPECT_TRUE(QDir(dir.filePath("data/uploads")).isEmpty());
}

TEST_F(ObjectStore, ContentTypeFromDataOrName)
{
    const QByteArray png = QByteArray::fromHex("89504e470d0a1a0a0000000d49484452") + QByteArray(64, '\0');
    const QByteArray jpeg = QByteArray::fromHex("ffd8ffe000104a46494600010100000100010000") + QByteArray(64, '\0');
    struct Case {
        QString name;
        QByteArray data;
        QByteArray type;
    };
    const Case cases[] = {
        {"m1.jpg", png, "image/png"}, // the bytes win over a wrong extension
        {"m2.bin", jpeg, "image/jpeg"},
        {"notes.txt", "just words", "text/plain"},
        {"empty.dat", "", "application/octet-stream"},
    };
    for (const Case &c : cases) {
        const auto url = await(Net::uploadBytes(c.data, c.name, ann.imToken, ann.userID));
        ASSERT_FALSE(url.error) << c.name.toStdString();
        const Raw got = raw("GET", *url.value);
        EXPECT_EQ(got.contentType, c.type) << c.name.toStdString();
        EXPECT_EQ(got.body, c.data);
    }
    EXPECT_EQ(raw("GET", origin + "/objects/" + QString(32, 'a') + "/x").status, 404);
}

TEST_F(ObjectStore, PartUrlsAreCheckedBeforeTheBodyIsStored)
{
    const QByteArray data = pattern(6 * 1024 * 1024, 3);
    QString uploadID;
    const QString url = signedPartUrl(data, 5 * 1024 * 1024, 1, &uploadID);
    const QByteArray part = data.left(5 * 1024 * 1024);

    QUrl tampered(url);
    QUrlQuery q(tampered);
    QString sig = q.queryItemValue("signature");
    sig[0] = sig[0] == '0' ? '1' : '0';
    q.removeAllQueryItems("signature");
    q.addQueryItem("signature", sig);
    tampered.setQuery(q);
    QUrl otherPart(url);
    otherPart.setPath(otherPart.path().replace(QRegularExpression("/1$"), "/2"));
    QUrl longer(url);
    QUrlQuery lq(longer);
    lq.removeAllQueryItems("expires");
    lq.addQueryItem("expires", QString::number(QUrlQuery(QUrl(url)).queryItemValue("expires").toLongLong() + 3600));
    longer.setQuery(lq);

    struct Case {
        const char *what;
        QUrl url;
        QByteArray body;
        int status;
    };
    const Case cases[] = {
        {"tampered signature", tampered, part, 403},
        {"signature of part 1 used for part 2", otherPart, data.mid(5 * 1024 * 1024), 403},
        {"expiry pushed out", longer, part, 403},
        {"short part", QUrl(url), part.left(100), 400},
    };
    for (const Case &c : cases)
        EXPECT_EQ(raw("PUT", c.url.toString(), c.body).status, c.status) << c.what;

    advance(16 * 60 * 1000);
    const Raw expired = raw("PUT", url, part);
    EXPECT_EQ(expired.status, 403);
    EXPECT_EQ(QJsonDocument::fromJson(expired.body).object().value("error"), "signature expired");
    advance(-16 * 60 * 1000);
    EXPECT_EQ(raw("PUT", url, part).status, 200);
}

TEST_F(ObjectStore, CompleteVerifiesEveryPart)
{
    const QByteArray data = pattern(6 * 1024 * 1024, 5);
    QString uploadID;
    const QString url = signedPartUrl(data, 5 * 1024 * 1024, 1, &uploadID);
    const QString h1 = Net::md5Hex(data.left(5 * 1024 * 1024));
    const QString h2 = Net::md5Hex(data.mid(5 * 1024 * 1024));
    auto complete = [&](const QJsonArray &parts, const QString &token) {
        return await(Net::imApi("/object/complete_multipart_upload",
                                {{"uploadID", uploadID}, {"parts", parts}, {"name", ann.userID + "/x.bin"}, {"contentType", ""}, {"cause", ""}},
                                token));
    };
    // Part 1 arrives with other bytes than planned; part 2 never arrives.
    QByteArray wrong = data.left(5 * 1024 * 1024);
    wrong[10] = char(wrong[10] ^ 1);
    ASSERT_EQ(raw("PUT", url, wrong).status, 200);
    const auto missing = complete({h1, h2}, ann.imToken);
    ASSERT_TRUE(missing.error);
    EXPECT_EQ(missing.error->message(), "part 1 does not match its hash");
    ASSERT_EQ(raw("PUT", url, data.left(5 * 1024 * 1024)).status, 200);
    EXPECT_EQ(complete({h1, h2}, ann.imToken).error->message(), "part 2 was not uploaded");
    EXPECT_EQ(complete({h2, h1}, ann.imToken).error->message(), "the part hashes do not match the upload's hash");

    const ChatApi::LoginResult eve = registerUser("eve@example.org");
    EXPECT_EQ(complete({h1, h2}, eve.imToken).error->message(), "upload not found");
}

// An object name is the caller's user id, "/" and a relative path that stays inside it.
TEST_F(ObjectStore, ObjectNameRules)
{
    const ChatApi::LoginResult eve = registerUser("eve@example.org");
    const QString own = ann.userID + "/";
    struct Case {
        const char *what;
        QString name;
        bool accepted;
    };
    const Case cases[] = {
        {"plain file", own + "photo.jpg", true},
        {"nested path", own + "2026/12/photo.jpg", true},
        {"non-ASCII name", own + "照片 1.jpg", true},
        {"dots inside a segment", own + "a..b/x.tar.gz", true},
        {"longest allowed", own + QString(512 - own.size(), 'a'), true},
        {"another user's prefix", eve.userID + "/photo.jpg", false},
        {"own id without the slash", ann.userID + "photo.jpg", false},
        {"own id as a prefix of a longer id", ann.userID + "0/photo.jpg", false},
        {"no path", own, false},
        {"parent segment", own + "../" + eve.userID + "/x", false},
        {"trailing parent segment", own + "a/..", false},
        {"current segment", own + "./x", false},
        {"empty segment", own + "a//x", false},
        {"trailing slash", own + "a/", false},
        {"absolute", "/" + own + "x", false},
        {"backslash", own + "a\\..\\x", false},
        {"newline", own + "a\nb", false},
        {"NUL", own + QString("a") + QChar(0) + "b", false},
        {"DEL", own + "a" + QChar(0x7f), false},
        {"one past the limit", own + QString(513 - own.size(), 'a'), false},
        {"far too long", own + QString(100000, 'a'), false},
    };
    const QString hash = Net::md5Hex(Net::md5Hex("x").toUtf8());
    for (const Case &c : cases) {
        const auto started = await(Net::imApi("/object/initiate_multipart_upload",
                                              {{"hash", hash}, {"size", 1}, {"partSize", 1}, {"name", c.name}}, ann.imToken));
        EXPECT_EQ(!started.error, c.accepted) << c.what << (started.error ? ": " + started.error->message().toStdString() : "");
    }
}

// The declared type is stored and served back, so only well-formed media types are taken.
TEST_F(ObjectStore, ContentTypeMustBeAMediaType)
{
    struct Case {
        const char *what;
        QString type;
        bool accepted;
    };
    const Case cases[] = {
        {"what the client sends", "application/octet-stream", true},
        {"empty", "", true},
        {"vendor type", "application/vnd.example+json", true},
        {"with a parameter", "text/plain; charset=utf-8", true},
        {"quoted parameter", "multipart/mixed;boundary=\"a b;\\\"c\"", true},
        {"NUL", QString(QChar(0)), false},
        {"path", "../../etc/passwd", false},
        {"no subtype", "image", false},
        {"empty subtype", "image/", false},
        {"space inside", "image/ png", false},
        {"header injection", "text/plain\r\nX-Injected: 1", false},
        {"parameter without a value", "text/plain; charset", false},
        {"unclosed quote", "text/plain; a=\"b", false},
        {"non-ASCII", "image/p\u00f1g", false},
    };
    const QString hash = Net::md5Hex(Net::md5Hex("x").toUtf8());
    for (const Case &c : cases) {
        for (const char *path : {"/object/initiate_multipart_upload", "/object/complete_multipart_upload"}) {
            SCOPED_TRACE(std::string(c.what) + " on " + path);
            QJsonObject body{{"hash", hash}, {"size", 1}, {"partSize", 1}, {"name", ann.userID + "/x.bin"}, {"contentType", c.type}};
            if (QLatin1String(path) == QLatin1String("/object/complete_multipart_upload")) {
                // Started with a valid type; only the type given at completion is wrong.
                body.insert("contentType", "application/octet-stream");
                const auto started = await(Net::imApi("/object/initiate_multipart_upload", body, ann.imToken));
                ASSERT_FALSE(started.error);
                const QString uploadID = started.value->value("upload").toObject().value("uploadID").toString();
                const QJsonObject sign = started.value->value("upload").toObject().value("sign").toObject();
                const Raw put = raw("PUT", sign.value("parts").toArray().first().toObject().value("url").toString(), "x");
                ASSERT_EQ(put.status, 200) << put.body.toStdString();
                body = {{"uploadID", uploadID}, {"parts", QJsonArray{Net::md5Hex("x")}}, {"name", ann.userID + "/x.bin"}, {"contentType", c.type}};
            }
            const auto answer = await(Net::imApi(path, body, ann.imToken));
            EXPECT_EQ(!answer.error, c.accepted) << (answer.error ? answer.error->message().toStdString() : "");
        }
    }
}

TEST_F(ObjectStore, OpenUploadsPerAccountAreCapped)
{
    auto initiate = [&](const ChatApi::LoginResult &user) {
        const QJsonObject body{{"hash", Net::md5Hex("x")}, {"size", 10},     {"partSize", 10}, {"maxParts", 0},
                               {"cause", ""},              {"name", user.userID + "/x.bin"}, {"contentType", ""}};
        return await(Net::imApi("/object/initiate_multipart_upload", body, user.imToken));
    };
    for (int i = 0; i < Objects::kMaxOpenUploads; ++i)
        ASSERT_FALSE(initiate(ann).error) << i;
    const auto refused = initiate(ann);
    ASSERT_TRUE(refused.error);
    EXPECT_EQ(refused.error->message(), QStringLiteral("too many uploads in progress (at most %1); finish or abandon one first")
                                            .arg(Objects::kMaxOpenUploads));
    // The cap is per account, and abandoned uploads stop counting once they expire.
    EXPECT_FALSE(initiate(registerUser("bob@example.org")).error);
    advance(Objects::kUploadLifetimeMs + 1);
    EXPECT_FALSE(initiate(ann).error);
}

} // namespace
