#include "base/ServiceConfig.h"
#include "l10n/L10n.h"
#include "net/ChatApi.h"
#include "net/Net.h"
#include "support/Await.h"
#include "support/TestHttpServer.h"

#include <QRegularExpression>
#include <gtest/gtest.h>

namespace {

class ChatApiTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(ServiceConfig::current().setServer(server.start()));
        L10n::setLang("en");
    }
    TestHttpServer server;
};

TEST(ChatApiText, TrimmingAndNormalisation)
{
    const std::pair<QString, QString> cases[] = {
        {QString::fromUtf8("\t A@B.c\u00a0\u3000"), "A@B.c"},
        {QString::fromUtf8("\u2003x y\u202f"), "x y"},
        {"\nline\n", "\nline\n"},
        {" \t ", ""},
    };
    for (const auto &[in, out] : cases)
        EXPECT_EQ(ChatApi::trim(in), out) << in.toStdString();
    EXPECT_EQ(ChatApi::normaliseEmail(QString::fromUtf8(" Ann@Example.COM\u3000")), "ann@example.com");
    EXPECT_EQ(ChatApi::md5(""), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST_F(ChatApiTest, LoginSendsEmailOrPhone)
{
    server.handler = [](const auto &) {
        return TestHttpServer::json({{"errCode", 0}, {"data", QJsonObject{{"userID", 42}, {"imToken", "im"}, {"chatToken", "ct"}}}});
    };
    const auto email = await(ChatApi::loginAccount(QString::fromUtf8("\u3000 Ann@Example \t"), "pa ss"));
    ASSERT_FALSE(email.error);
    EXPECT_EQ(*email.value, (ChatApi::LoginResult{"42", "im", "ct"}));
    await(ChatApi::loginAccount(" 138 0013 8000 ", ""));

    ASSERT_EQ(server.requests.size(), 2);
    EXPECT_EQ(server.requests[0].path, "/chat/account/login");
    EXPECT_EQ(server.requests[0].json(), (QJsonObject{{"platform", 4}, {"password", ChatApi::md5("pa ss")}, {"email", "ann@example"}}));
    EXPECT_EQ(server.requests[1].json(), (QJsonObject{{"platform", 4},
                                                      {"password", "d41d8cd98f00b204e9800998ecf8427e"},
                                                      {"areaCode", "+86"},
                                                      {"phoneNumber", "138 0013 8000"}}));
    const QRegularExpression uuid("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$");
    EXPECT_TRUE(uuid.match(server.requests[0].header("operationID")).hasMatch());
    EXPECT_NE(server.requests[0].header("operationID"), server.requests[1].header("operationID"));
    EXPECT_FALSE(server.requests[0].hasHeader("token"));
}

TEST_F(ChatApiTest, LoginEnvelopeErrors)
{
    const struct {
        QJsonObject answer;
        const char *lang;
        const char *message;
    } cases[] = {
        {{{"errCode", 10001}}, "en", "API error"},
        {{{"errCode", 10001}}, "zh", "接口错误"},
        {{{"errCode", 10001}}, "zh-HK", "API 錯誤"},
        {{{"errCode", "0"}, {"errMsg", "wrong password"}}, "en", "wrong password"},
        {{}, "en", "API error"},
    };
    for (const auto &c : cases) {
        L10n::setLang(c.lang);
        server.handler = [&](const auto &) { return TestHttpServer::json(c.answer); };
        const auto out = await(ChatApi::loginAccount("a@b", "p"));
        ASSERT_TRUE(out.error);
        EXPECT_EQ(out.error->message(), QString::fromUtf8(c.message)) << c.lang;
    }
}

TEST_F(ChatApiTest, BridgeAccountFlows)
{
    server.handler = [](const TestHttpServer::Request &r) {
        if (r.path == "/bridge/auth/email/reset" && r.json().value("code") == "keep-out")
            return TestHttpServer::json({{"loggedIn", false}});
        return TestHttpServer::json({{"loggedIn", true}, {"userID", 42}, {"imToken", "im"}});
    };
    EXPECT_FALSE(await(ChatApi::sendEmailCode(" Ann@EX.com ", "register")).error);
    const auto reg = await(ChatApi::registerAccount("ann@ex.com", " 123456", "pw", QString::fromUtf8("\u3000Ann \t")));
    ASSERT_FALSE(reg.error);
    EXPECT_EQ(*reg.value, (ChatApi::LoginResult{"42", "im", ""}));
    const auto reset = await(ChatApi::emailReset("ann@ex.com", "654321", "new"));
    ASSERT_TRUE(reset.value && *reset.value);
    EXPECT_EQ(reset.value->value().userID, "42");
    const auto out = await(ChatApi::emailReset("ann@ex.com", "keep-out", "new"));
    ASSERT_TRUE(out.value);
    EXPECT_FALSE(*out.value) << "a reset without sign-in yields no result";

    EXPECT_EQ(server.requests[0].path, "/bridge/auth/email/send");
    EXPECT_EQ(server.requests[0].json(), (QJsonObject{{"email", "ann@ex.com"}, {"purpose", "register"}}));
    EXPECT_EQ(server.requests[1].json(), (QJsonObject{{"email", "ann@ex.com"}, {"code", " 123456"}, {"password", ChatApi::md5("pw")},
                                                      {"nickname", "Ann"}, {"platform", 4}}));
    EXPECT_EQ(server.requests[2].path, "/bridge/auth/email/reset");
    EXPECT_EQ(server.requests[2].json(), (QJsonObject{{"email", "ann@ex.com"}, {"code", "654321"}, {"password", ChatApi::md5("new")}, {"platform", 4}}));
}

TEST_F(ChatApiTest, BridgeErrorsAreMappedInTheCurrentLanguage)
{
    const struct {
        QJsonObject answer;
        const char *lang;
        const char *message;
    } cases[] = {
        {{{"error", "rate"}, {"code", "RATE_LIMIT_EMAIL"}}, "en", "Too frequent — retry in 60s"},
        {{{"error", "rate"}, {"code", "RATE_LIMIT_EMAIL"}, {"retryAfter", 12.9}}, "zh", "发送太频繁，12 秒后再试"},
        {{{"error", "rate"}, {"code", "RATE_LIMIT_EMAIL"}, {"retryAfter", "12"}}, "zh-HK", "發送太頻繁，60 秒後再試"},
        {{{"error", "taken"}, {"code", "EMAIL_TAKEN"}}, "zh-HK", "該電郵已註冊，請直接登入"},
        {{{"error", "bad"}, {"code", "CODE_WRONG"}}, "zh", "验证码错误"},
        {{{"error", "bad"}, {"code", "code_wrong"}}, "en", "bad"},
        {{{"error", "server says no"}}, "zh", "server says no"},
        {{{"error", "x"}, {"code", "NICKNAME_REQUIRED"}}, "en", "Nickname required"},
    };
    for (const auto &c : cases) {
        L10n::setLang(c.lang);
        server.handler = [&](const auto &) { return TestHttpServer::json(c.answer, 400); };
        const auto out = await(ChatApi::sendEmailCode("a@b.c", "reset"));
        ASSERT_TRUE(out.error);
        EXPECT_EQ(out.error->message(), QString::fromUtf8(c.message)) << c.lang;
    }
}

TEST(ChatApiText, AuthMessageTable)
{
    const char *codes[] = {"INVALID_EMAIL", "EMAIL_TAKEN", "EMAIL_NOT_FOUND", "RATE_LIMIT_IP", "CODE_WRONG",
                           "CODE_EXPIRED", "TOO_MANY_TRIES", "INVALID_PASSWORD", "NICKNAME_REQUIRED"};
    for (const char *code : codes) {
        const QString zh = ChatApi::authMessage(code, "raw", std::nullopt, "zh");
        const QString hk = ChatApi::authMessage(code, "raw", std::nullopt, "zh-HK");
        const QString en = ChatApi::authMessage(code, "raw", std::nullopt, "fr");
        EXPECT_NE(zh, "raw") << code;
        EXPECT_NE(zh, hk) << code;
        EXPECT_NE(hk, en) << code;
    }
    EXPECT_EQ(ChatApi::authMessage("RATE_LIMIT_EMAIL", "raw", 5, "en"), "Too frequent — retry in 5s");
    EXPECT_EQ(ChatApi::authMessage("", "raw text", std::nullopt, "zh"), "raw text");
}

} // namespace
