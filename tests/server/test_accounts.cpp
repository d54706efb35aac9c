#include "ServerFixture.h"

#include "net/BridgeApi.h"
#include "accounts/HashQueue.h"
#include "support/EventLoop.h"

#include <QThread>

namespace {

using AccountFlows = ServerTest;

bool isToken(const QString &t)
{
    return t.size() == 64 && QRegularExpression("^[0-9a-f]+$").match(t).hasMatch();
}

TEST_F(AccountFlows, RegisterLoginAndReset)
{
    const ChatApi::LoginResult reg = registerUser("ann@example.org", "Ann", "first");
    EXPECT_FALSE(reg.userID.isEmpty());
    EXPECT_TRUE(isToken(reg.imToken));
    EXPECT_TRUE(isToken(reg.chatToken));
    EXPECT_NE(reg.imToken, reg.chatToken);

    // Only a slow salted hash is stored, never the MD5 the client sent.
    const auto user = store().userByEmail("ann@example.org");
    ASSERT_TRUE(user);
    EXPECT_TRUE(user->passwordHash.startsWith("pbkdf2-sha256$"));
    EXPECT_FALSE(user->passwordHash.contains(ChatApi::md5("first")));

    const auto login = await(ChatApi::loginAccount("  Ann@Example.ORG ", "first"));
    ASSERT_FALSE(login.error) << login.error->message().toStdString();
    EXPECT_EQ(login.value->userID, reg.userID);
    EXPECT_TRUE(isToken(login.value->imToken));

    const auto wrong = await(ChatApi::loginAccount("ann@example.org", "second"));
    ASSERT_TRUE(wrong.error);
    EXPECT_EQ(wrong.error->message(), "incorrect account or password");
    const auto unknown = await(ChatApi::loginAccount("nobody@example.org", "first"));
    ASSERT_TRUE(unknown.error);
    EXPECT_EQ(unknown.error->message(), "incorrect account or password");

    ASSERT_FALSE(await(ChatApi::sendEmailCode("ann@example.org", "reset")).error);
    const auto reset = await(ChatApi::emailReset("ann@example.org", outboxCode("ann@example.org"), "second"));
    ASSERT_FALSE(reset.error) << reset.error->message().toStdString();
    ASSERT_TRUE(reset.value->has_value());
    EXPECT_EQ((*reset.value)->userID, reg.userID);

    EXPECT_TRUE(await(ChatApi::loginAccount("ann@example.org", "first")).error);
    EXPECT_FALSE(await(ChatApi::loginAccount("ann@example.org", "second")).error);
    // The reset ended the sessions issued before it.
    const auto old = await(BridgeApi::keysDevices(reg.imToken, reg.userID, {reg.userID}));
    ASSERT_TRUE(old.error);
    EXPECT_EQ(old.error->message(), "invalid or expired token");
    EXPECT_FALSE(await(BridgeApi::keysDevices((*reset.value)->imToken, reg.userID, {reg.userID})).error);
}

TEST_F(AccountFlows, CodeRequestErrors)
{
    registerUser("taken@example.org");
    struct Case {
        QJsonObject body;
        QString code;
    };
    const Case cases[] = {
        {{{"email", "not-an-address"}, {"purpose", "register"}}, "INVALID_EMAIL"},
        {{{"email", "a@b"}, {"purpose", "register"}}, "INVALID_EMAIL"},
        {{{"email", " Taken@Example.org"}, {"purpose", "register"}}, "EMAIL_TAKEN"},
        {{{"email", "free@example.org"}, {"purpose", "reset"}}, "EMAIL_NOT_FOUND"},
        {{{"email", "free@example.org"}, {"purpose", "other"}}, "INVALID_PURPOSE"},
        {{{"email", 7}, {"purpose", "register"}}, "BAD_REQUEST"},
    };
    for (const Case &c : cases) {
        const QJsonObject answer = bridge("/auth/email/send", c.body);
        EXPECT_EQ(answer.value("code").toString(), c.code) << QJsonDocument(c.body).toJson().toStdString();
        EXPECT_TRUE(answer.value("error").isString());
    }
}

TEST_F(AccountFlows, OneCodePerAddressAMinute)
{
    EXPECT_EQ(bridge("/auth/email/send", {{"email", "r@example.org"}, {"purpose", "register"}}), QJsonObject({{"ok", true}}));
    const QJsonObject again = bridge("/auth/email/send", {{"email", "r@example.org"}, {"purpose", "register"}});
    EXPECT_EQ(again.value("code").toString(), "RATE_LIMIT_EMAIL");
    EXPECT_EQ(again.value("retryAfter").toInt(), 60);
    advance(45000);
    EXPECT_EQ(bridge("/auth/email/send", {{"email", "r@example.org"}, {"purpose", "register"}}).value("retryAfter").toInt(), 15);
    // The client shows the mapped text with the seconds left.
    const auto mapped = await(ChatApi::sendEmailCode("r@example.org", "register"));
    ASSERT_TRUE(mapped.error);
    EXPECT_EQ(mapped.error->message(), ChatApi::authMessage("RATE_LIMIT_EMAIL", "", 15));
    advance(15000);
    EXPECT_FALSE(await(ChatApi::sendEmailCode("r@example.org", "register")).error);
}

TEST_F(AccountFlows, ThirtyCodeRequestsPerAddressAnHour)
{
    for (int i = 0; i < 30; ++i)
        EXPECT_EQ(bridge("/auth/email/send", {{"email", QString("u%1@example.org").arg(i)}, {"purpose", "register"}}).value("ok"), true);
    EXPECT_EQ(bridge("/auth/email/send", {{"email", "u30@example.org"}, {"purpose", "register"}}).value("code"), "RATE_LIMIT_IP");
    advance(3600 * 1000);
    EXPECT_EQ(bridge("/auth/email/send", {{"email", "u30@example.org"}, {"purpose", "register"}}).value("ok"), true);
}

TEST_F(AccountFlows, RegistrationErrors)
{
    ASSERT_FALSE(await(ChatApi::sendEmailCode("new@example.org", "register")).error);
    const QString code = outboxCode("new@example.org");
    ASSERT_EQ(code.size(), 6);
    const QString wrongCode = code == "000000" ? "111111" : "000000";
    const QString md5 = ChatApi::md5("pw");
    auto body = [&](const QString &email, const QString &c, const QString &password, const QString &nickname) {
        return QJsonObject{{"email", email}, {"code", c}, {"password", password}, {"nickname", nickname}, {"platform", 4}};
    };
    struct Case {
        QJsonObject body;
        QString code;
    };
    const Case cases[] = {
        {body("bad", code, md5, "N"), "INVALID_EMAIL"},
        {body("new@example.org", code, md5, " \t"), "NICKNAME_REQUIRED"},
        {body("new@example.org", code, "plain", "N"), "INVALID_PASSWORD"},
        {body("new@example.org", wrongCode, md5, "N"), "CODE_WRONG"},
        {body("other@example.org", code, md5, "N"), "CODE_EXPIRED"}, // no code was ever sent there
    };
    for (const Case &c : cases)
        EXPECT_EQ(bridge("/auth/email/register", c.body).value("code").toString(), c.code) << c.code.toStdString();
    // One wrong try was spent above; four more, then even the right code is refused.
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(bridge("/auth/email/register", body("new@example.org", wrongCode, md5, "N")).value("code"), "CODE_WRONG");
    EXPECT_EQ(bridge("/auth/email/register", body("new@example.org", code, md5, "N")).value("code"), "TOO_MANY_TRIES");
    EXPECT_FALSE(store().userByEmail("new@example.org"));
}

TEST_F(AccountFlows, CodesExpireAfterTenMinutesAndAreUsedOnce)
{
    ASSERT_FALSE(await(ChatApi::sendEmailCode("late@example.org", "register")).error);
    const QString code = outboxCode("late@example.org");
    advance(10 * 60 * 1000);
    const auto late = await(ChatApi::registerAccount("late@example.org", code, "pw", "Late"));
    ASSERT_TRUE(late.error);
    EXPECT_EQ(late.error->message(), ChatApi::authMessage("CODE_EXPIRED", "", std::nullopt));

    ASSERT_FALSE(await(ChatApi::sendEmailCode("late@example.org", "register")).error);
    const QString fresh = outboxCode("late@example.org");
    EXPECT_FALSE(await(ChatApi::registerAccount("late@example.org", fresh, "pw", "Late")).error);
    const auto again = await(ChatApi::registerAccount("late@example.org", fresh, "pw", "Late"));
    ASSERT_TRUE(again.error);
    EXPECT_EQ(again.error->message(), ChatApi::authMessage("EMAIL_TAKEN", "", std::nullopt));
}

TEST_F(AccountFlows, TokensAreCheckedOnEveryRoute)
{
    const ChatApi::LoginResult ann = registerUser("ann@example.org");
    const ChatApi::LoginResult bob = registerUser("bob@example.org");
    // A token that was good until a password reset revoked it.
    const ChatApi::LoginResult revoked = registerUser("eve@example.org");
    ASSERT_FALSE(await(ChatApi::sendEmailCode("eve@example.org", "reset")).error);
    ASSERT_FALSE(await(ChatApi::emailReset("eve@example.org", outboxCode("eve@example.org"), "new")).error);

    const QString bridgeRoutes[] = {"/call/invite",     "/call/accept",   "/call/group-invite", "/keys/publish",
                                    "/keys/get",        "/moments/feed",  "/moments/create",    "/moments/like",
                                    "/moments/comment", "/moments/comment/delete", "/moments/delete"};
    const QString imRoutes[] = {"/object/part_limit", "/object/initiate_multipart_upload", "/object/auth_sign",
                                "/object/complete_multipart_upload"};
    struct Token {
        const char *name;
        std::optional<QJsonValue> value; // none: not sent at all
        QString userID;
    };
    const Token tokens[] = {
        {"none", std::nullopt, ann.userID},
        {"empty", QJsonValue(""), ann.userID},
        {"short", QJsonValue("abc"), ann.userID},
        {"not hex", QJsonValue(QString(64, 'z')), ann.userID},
        {"never issued", QJsonValue(QString(64, 'a')), ann.userID},
        {"a number", QJsonValue(12), ann.userID},
        {"the chat token", QJsonValue(ann.chatToken), ann.userID},
        {"revoked", QJsonValue(revoked.imToken), revoked.userID},
    };
    auto post = [&](const QString &url, const QJsonObject &body, const QByteArray &header) {
        QList<QPair<QByteArray, QByteArray>> headers{{"Content-Type", "application/json"}};
        if (!header.isNull())
            headers.append({"token", header});
        const Raw r = raw("POST", url, QJsonDocument(body).toJson(QJsonDocument::Compact), headers);
        return std::pair(r.status, QJsonDocument::fromJson(r.body).object());
    };
    for (const Token &t : tokens) {
        SCOPED_TRACE(t.name);
        for (const QString &path : bridgeRoutes) {
            QJsonObject body{{"userID", t.userID}};
            if (t.value)
                body.insert("token", *t.value);
            const auto [status, answer] = post(origin + "/bridge" + path, body, {});
            EXPECT_EQ(status, 401) << path.toStdString();
            EXPECT_EQ(answer.value("code").toString(), "TOKEN_INVALID") << path.toStdString();
        }
        for (const QString &path : imRoutes) {
            const QByteArray header = t.value ? (t.value->isString() ? t.value->toString().toLatin1() : QByteArray::number(t.value->toInt()))
                                              : QByteArray();
            const auto [status, answer] = post(origin + "/api" + path, {}, header);
            EXPECT_EQ(status, 401) << path.toStdString();
            EXPECT_EQ(answer.value("errCode").toInt(), 401) << path.toStdString();
            EXPECT_EQ(answer.value("errMsg").toString(), "invalid or expired token") << path.toStdString();
        }
    }
    // With a live token every route is reached (whatever it then makes of the empty body), and
    // someone else's id with one's own token is refused.
    for (const QString &path : bridgeRoutes) {
        const QJsonObject answer = post(origin + "/bridge" + path, as(ann, {}), {}).second;
        EXPECT_NE(answer.value("code").toString(), "TOKEN_INVALID") << path.toStdString();
        EXPECT_NE(answer.value("error").toString(), "no such endpoint") << path.toStdString();
        EXPECT_EQ(post(origin + "/bridge" + path, {{"token", bob.imToken}, {"userID", ann.userID}}, {}).second.value("code"), "FORBIDDEN")
            << path.toStdString();
    }
    for (const QString &path : imRoutes) {
        const QJsonObject answer = post(origin + "/api" + path, {}, ann.imToken.toLatin1()).second;
        EXPECT_NE(answer.value("errCode").toInt(), 401) << path.toStdString();
        EXPECT_NE(answer.value("errMsg").toString(), "no such endpoint") << path.toStdString();
    }

    // Sessions expire.
    advance(91LL * 24 * 3600 * 1000);
    EXPECT_EQ(bridge("/keys/get", as(ann, {{"userIDs", QJsonArray{ann.userID}}})).value("code"), "TOKEN_INVALID");
    EXPECT_EQ(post(origin + "/api/object/part_limit", {}, ann.imToken.toLatin1()).second.value("errCode").toInt(), 401);
}

TEST_F(AccountFlows, ARevocationDuringALookupIsNotUndoneByTheCache)
{
    const ChatApi::LoginResult ann = registerUser("ann@example.org");
    Accounts &accounts = local->service().accounts();
    // The lookup reads the live token, then a password reset revokes it before the lookup caches
    // what it read.
    bool revoked = false;
    accounts.setLookupHook([&] {
        if (!std::exchange(revoked, true))
            accounts.revokeAll(ann.userID);
    });
    EXPECT_FALSE(accounts.authenticate(ann.imToken, "im"));
    accounts.setLookupHook({});
    ASSERT_TRUE(revoked);
    EXPECT_FALSE(accounts.authenticate(ann.imToken, "im"));
    EXPECT_EQ(bridge("/keys/get", as(ann, {{"userIDs", QJsonArray{ann.userID}}})).value("code"), "TOKEN_INVALID");
}

TEST_F(AccountFlows, SignInGuessesBackOffPerAccount)
{
    registerUser("ann@example.org", "Ann", "right");
    frozen = QDateTime::currentMSecsSinceEpoch();
    const Accounts &accounts = local->service().accounts();
    auto refusal = [](int seconds) { return QStringLiteral("too many sign-in attempts; try again in %1 s").arg(seconds); };
    // A known and an unknown account are throttled alike, so the answers tell nothing about which exists.
    for (const QString account : {"ann@example.org", "nobody@example.org"}) {
        SCOPED_TRACE(account.toStdString());
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(await(ChatApi::loginAccount(account, "wrong")).error->message(), "incorrect account or password");
        // Refused before any hashing, even with the right password.
        const int checks = accounts.passwordChecks();
        EXPECT_EQ(await(ChatApi::loginAccount(account, "right")).error->message(), refusal(30));
        EXPECT_EQ(accounts.passwordChecks(), checks);
        // Each failure after the wait doubles it.
        advance(30 * 1000);
        EXPECT_EQ(await(ChatApi::loginAccount(account, "wrong")).error->message(), "incorrect account or password");
        EXPECT_EQ(await(ChatApi::loginAccount(account, "right")).error->message(), refusal(60));
        // The chat envelope carries a code beside the message.
        const Raw refused = raw("POST", origin + "/chat/account/login",
                                QJsonDocument(QJsonObject{{"platform", 4}, {"email", account}, {"password", ChatApi::md5("right")}}).toJson(),
                                {{"Content-Type", "application/json"}});
        const QJsonObject envelope = QJsonDocument::fromJson(refused.body).object();
        EXPECT_EQ(envelope.value("errCode").toInt(), 429);
        EXPECT_EQ(envelope.value("errDlt").toString(), "RATE_LIMIT_LOGIN");
        advance(60 * 1000);
    }
    // The right password gets in once the wait is over, and clears the account's failures.
    ASSERT_FALSE(await(ChatApi::loginAccount("ann@example.org", "right")).error);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(await(ChatApi::loginAccount("ann@example.org", "wrong")).error->message(), "incorrect account or password") << i;
}

TEST_F(AccountFlows, GuessesFromOneAddressBackOffAcrossAccounts)
{
    registerUser("ann@example.org", "Ann", "right");
    frozen = QDateTime::currentMSecsSinceEpoch();
    // Four wrong passwords each on five accounts: no account reaches its own limit.
    for (int i = 0; i < 20; ++i) {
        const QString account = QStringLiteral("guess%1@example.org").arg(i % 5);
        EXPECT_EQ(await(ChatApi::loginAccount(account, "wrong")).error->message(), "incorrect account or password") << i;
    }
    EXPECT_EQ(await(ChatApi::loginAccount("ann@example.org", "right")).error->message(), "too many sign-in attempts; try again in 30 s");
    // Codes guessed for registration or a reset count against the same address.
    const QJsonObject code = bridge("/auth/email/reset", {{"email", "ann@example.org"}, {"code", "123456"}, {"password", ChatApi::md5("x")}});
    EXPECT_EQ(code.value("code").toString(), "RATE_LIMIT_IP");
    EXPECT_EQ(code.value("retryAfter").toInt(), 30);
    advance(30 * 1000);
    ASSERT_FALSE(await(ChatApi::loginAccount("ann@example.org", "right")).error);
}

TEST_F(AccountFlows, WrongCodesFromOneAddressBackOff)
{
    frozen = QDateTime::currentMSecsSinceEpoch();
    for (int i = 0; i < 20; ++i) {
        const QJsonObject wrong = bridge("/auth/email/register", {{"email", QStringLiteral("new%1@example.org").arg(i)},
                                                                  {"code", "000000"},
                                                                  {"password", ChatApi::md5("pw")},
                                                                  {"nickname", "New"}});
        EXPECT_EQ(wrong.value("code").toString(), "CODE_EXPIRED") << i;
    }
    const QJsonObject refused = bridge("/auth/email/register", {{"email", "new@example.org"}, {"code", "000000"},
                                                                {"password", ChatApi::md5("pw")}, {"nickname", "New"}});
    EXPECT_EQ(refused.value("code").toString(), "RATE_LIMIT_IP");
    EXPECT_EQ(refused.value("retryAfter").toInt(), 30);
}

TEST(SignInThrottle, AddressKeys)
{
    const std::pair<const char *, const char *> cases[] = {
        {"192.0.2.7", "192.0.2.7"},
        {"::ffff:192.0.2.7", "192.0.2.7"},
        {"2001:db8:1:2:aaaa::1", "2001:db8:1:2::/64"},
        {"2001:db8:1:2:bbbb::9", "2001:db8:1:2::/64"},
        {"2001:db8:1:3::1", "2001:db8:1:3::/64"},
    };
    for (const auto &[address, key] : cases)
        EXPECT_EQ(Throttle::addressKey(QHostAddress(QString::fromLatin1(address))), QString::fromLatin1(key)) << address;
}

TEST_F(AccountFlows, BadBodiesGetClearAnswers)
{
    const ChatApi::LoginResult ann = registerUser("ann@example.org");
    struct Case {
        QString path;
        QByteArray body;
        int status;
    };
    const QByteArray tooLarge(2 << 20, ' ');
    const Case cases[] = {
        {"/bridge/keys/get", "{not json", 400},
        {"/bridge/keys/get", "[1,2]", 400},
        {"/chat/account/login", "", 400},
        {"/chat/account/login", "[1,2]", 400},
        {"/bridge/keys/get", tooLarge, 413},
        {"/chat/account/login", tooLarge, 413},
        {"/api/object/part_limit", tooLarge, 413},
        {"/bridge/nowhere", "{}", 404},
        {"/chat/nowhere", "{}", 404},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path.toStdString() + " with " + std::to_string(c.body.size()) + " bytes");
        const Raw r = raw("POST", origin + c.path, c.body, {{"Content-Type", "application/json"}});
        EXPECT_EQ(r.status, c.status);
        const QJsonObject answer = QJsonDocument::fromJson(r.body).object();
        // Each route family answers failures in its own shape.
        if (c.path.startsWith("/bridge/")) {
            EXPECT_TRUE(answer.value("error").isString()) << r.body.left(80).toStdString();
            EXPECT_FALSE(answer.contains("errCode"));
        } else {
            EXPECT_EQ(answer.value("errCode").toInt(), c.status) << r.body.left(80).toStdString();
            EXPECT_TRUE(answer.value("errMsg").isString());
            EXPECT_FALSE(answer.contains("error"));
        }
    }
    EXPECT_EQ(raw("GET", origin + "/chat/account/login").status, 404);
    const QJsonObject wrongType = bridge("/keys/get", as(ann, {{"userIDs", "everyone"}}));
    EXPECT_EQ(wrongType.value("code"), "BAD_REQUEST");
    EXPECT_EQ(wrongType.value("error"), "\"userIDs\" must be an array of texts");
    const auto login = await(ChatApi::loginAccount("ann@example.org", "pw"));
    EXPECT_FALSE(login.error); // still serving
}

// Jobs that record when they start and run until released.
class HashQueueTest : public ::testing::Test {
protected:
    HashQueueTest() { pool.setMaxThreadCount(2); }
    ~HashQueueTest() override
    {
        release.store(true);
        pool.waitForDone();
    }
    std::function<void(bool)> job(const QString &name)
    {
        return [this, name](bool run) {
            if (!run)
                return;
            {
                std::lock_guard lock(mutex);
                started << name;
            }
            while (!release.load() && !isReleased(name))
                QThread::yieldCurrentThread();
        };
    }
    bool isReleased(const QString &name)
    {
        std::lock_guard lock(mutex);
        return released.contains(name);
    }
    QStringList startedNow()
    {
        std::lock_guard lock(mutex);
        return started;
    }
    void finish(const QString &name)
    {
        std::lock_guard lock(mutex);
        released.insert(name);
    }

    QThreadPool pool;
    std::mutex mutex;
    QStringList started;
    QSet<QString> released;
    std::atomic<bool> release{false};
    HashQueue queue{pool, 2}; // one address: two jobs waiting at most
};

TEST_F(HashQueueTest, EachAddressWaitsInItsOwnShortQueueAndFloodersLeaveAThreadToOthers)
{
    // One address may have two jobs waiting besides the one running; a fourth is refused.
    EXPECT_TRUE(queue.submit("attacker", job("a1")));
    EXPECT_TRUE(queue.submit("attacker", job("a2")));
    EXPECT_TRUE(queue.submit("attacker", job("a3")));
    EXPECT_FALSE(queue.submit("attacker", job("a4")));
    ASSERT_TRUE(spinUntil([&] { return startedNow() == QStringList{"a1"}; }));

    // Another address gets the second thread at once, though the attacker was first.
    EXPECT_TRUE(queue.submit("user", job("u1")));
    ASSERT_TRUE(spinUntil([&] { return startedNow() == (QStringList{"a1", "u1"}); }));

    // Both threads are busy: a third address waits, and goes before the attacker's queue.
    EXPECT_TRUE(queue.submit("other", job("o1")));
    finish("a1");
    ASSERT_TRUE(spinUntil([&] { return startedNow().size() == 3; }));
    EXPECT_EQ(startedNow().last(), "o1");

    // The thread u1 frees is not taken by the attacker's queue: a sign-in arriving later gets it.
    finish("u1");
    ASSERT_TRUE(spinUntil([&] { return pool.activeThreadCount() == 1 || startedNow().size() > 3; }));
    EXPECT_EQ(startedNow().size(), 3) << startedNow().join(' ').toStdString();
    EXPECT_TRUE(queue.submit("late", job("l1")));
    ASSERT_TRUE(spinUntil([&] { return startedNow().size() == 4; }));
    EXPECT_EQ(startedNow().last(), "l1");

    // With nobody else waiting, the attacker's queue moves on, and has room again.
    finish("o1");
    finish("l1");
    ASSERT_TRUE(spinUntil([&] { return startedNow().size() == 5; }));
    EXPECT_EQ(startedNow().last(), "a2");
    EXPECT_TRUE(queue.submit("attacker", job("a5")));
    release.store(true);
}

} // namespace
