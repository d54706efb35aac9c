#include "FakeSdk.h"
#include "app/AppState.h"
#include "app/SessionStore.h"
#include "base/ServiceConfig.h"
#include "im/IMService.h"
#include "l10n/L10n.h"
#include "support/EventLoop.h"
#include "support/FakeClock.h"
#include "support/TestHttpServer.h"
#include "ui/signin/SignInViewModel.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

using Mode = SignInViewModel::Mode;
using Field = SignInViewModel::Field;

class SignInTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        FakeSdk::reset();
        ASSERT_TRUE(im.setup(dir.path()));
        ASSERT_TRUE(ServiceConfig::current().setServer(server.start()));
        L10n::setLang("en");
    }
    void TearDown() override
    {
        FakeSdk::drain();
        QCoreApplication::processEvents();
        SessionStore::remove();
    }

    void fill(std::initializer_list<std::pair<Field, QString>> values)
    {
        for (const auto &[field, value] : values)
            vm.setField(field, value);
    }
    bool settled()
    {
        return spinUntil([&] { return !vm.busy() && !vm.sending(); });
    }

    QTemporaryDir dir;
    TestHttpServer server;
    IMService im{FAKE_IMSDK_PATH};
    AppState app{im, [](QString, QString) -> QCoro::Task<void> { co_return; }};
    FakeClock clock;
    SignInViewModel vm{app, clock};
};

TEST(SignInRules, EmailLooksValid)
{
    const std::pair<QString, bool> cases[] = {
        {"a@b.c", false},          // five characters
        {"a@b.cn", true},          // six
        {" \ta@b.c\u3000 ", false}, // trimmed first
        {"ab@cdef", false},        // no dot
        {"abc.def", false},        // no @
        {QString::fromUtf8("\u2003ann@x.io\u00a0"), true},
    };
    for (const auto &[email, valid] : cases)
        EXPECT_EQ(SignInViewModel::emailLooksValid(email), valid) << email.toStdString();
}

TEST_F(SignInTest, ValidationTable)
{
    struct Case {
        Mode mode;
        std::vector<std::pair<Field, QString>> fields;
        bool valid;
    };
    const Case cases[] = {
        {Mode::login, {{Field::account, "   "}, {Field::password, "x"}}, false},
        {Mode::login, {{Field::account, "ann"}, {Field::password, ""}}, false},
        {Mode::login, {{Field::account, " ann "}, {Field::password, "x"}}, true},
        {Mode::signUp, {{Field::nickname, "Ann"}, {Field::email, "a@b.cn"}, {Field::code, "1234"}, {Field::password, "12345"}}, false},
        {Mode::signUp, {{Field::nickname, "Ann"}, {Field::email, "a@b.cn"}, {Field::code, "1234"}, {Field::password, "123456"}}, true},
        {Mode::signUp, {{Field::nickname, " \t"}, {Field::email, "a@b.cn"}, {Field::code, "1234"}, {Field::password, "123456"}}, false},
        {Mode::signUp, {{Field::nickname, "Ann"}, {Field::email, "a@b.cn"}, {Field::code, "123"}, {Field::password, "123456"}}, false},
        {Mode::signUp, {{Field::nickname, "Ann"}, {Field::email, "a@b.c"}, {Field::code, "1234"}, {Field::password, "123456"}}, false},
        {Mode::reset, {{Field::email, "a@b.cn"}, {Field::code, "1234"}, {Field::password, "123456"}}, true},
        {Mode::reset, {{Field::email, "a@b.cn"}, {Field::code, "1234"}, {Field::password, QString::fromUtf8("密码密码密")}}, false},
    };
    for (const Case &c : cases) {
        vm.switchMode(c.mode);
        for (Field f : {Field::account, Field::password, Field::nickname, Field::email, Field::code})
            vm.setField(f, {});
        for (const auto &[field, value] : c.fields)
            vm.setField(field, value);
        EXPECT_EQ(vm.formValid(), c.valid) << int(c.mode) << " " << vm.password().toStdString();
        EXPECT_EQ(vm.primaryEnabled(), c.valid);
    }
}

TEST_F(SignInTest, FieldsTitlesAndLinksPerMode)
{
    L10n::setLang("zh");
    EXPECT_EQ(vm.fields(), (QList<Field>{Field::account, Field::password}));
    EXPECT_EQ(vm.placeholder(Field::account), "邮箱");
    EXPECT_EQ(vm.placeholder(Field::password), "密码");
    EXPECT_EQ(vm.primaryTitle(), "登录");
    EXPECT_EQ(vm.links(), (QList<SignInViewModel::Link>{SignInViewModel::Link::toSignUp, SignInViewModel::Link::toReset}));
    EXPECT_EQ(SignInViewModel::linkText(SignInViewModel::Link::toSignUp), "没有账号？注册");

    L10n::setLang("zh-HK");
    vm.switchMode(Mode::signUp);
    EXPECT_EQ(vm.fields(), (QList<Field>{Field::nickname, Field::email, Field::code, Field::password}));
    EXPECT_EQ(vm.placeholder(Field::nickname), "暱稱");
    EXPECT_EQ(vm.placeholder(Field::password), "設置密碼");
    EXPECT_EQ(vm.primaryTitle(), "註冊並登入");
    EXPECT_EQ(vm.codeButtonLabel(), "發送驗證碼");

    L10n::setLang("en");
    vm.switchMode(Mode::reset);
    EXPECT_EQ(vm.fields(), (QList<Field>{Field::email, Field::code, Field::password}));
    EXPECT_EQ(vm.placeholder(Field::password), "New password");
    EXPECT_EQ(vm.primaryTitle(), "Reset & sign in");
    EXPECT_EQ(vm.links(), QList<SignInViewModel::Link>{SignInViewModel::Link::toLogin});
    EXPECT_EQ(SignInViewModel::linkText(SignInViewModel::Link::toLogin), "Have an account? Sign in");
}

TEST_F(SignInTest, SwitchingModesKeepsWhatWasTypedButCodeAndPassword)
{
    vm.switchMode(Mode::signUp);
    fill({{Field::nickname, "Ann"}, {Field::email, "ann@x.io"}, {Field::code, "1234"}, {Field::password, "secret1"}});
    vm.follow(SignInViewModel::Link::toLogin);
    EXPECT_EQ(vm.mode(), Mode::login);
    EXPECT_EQ(vm.nickname(), "Ann");
    EXPECT_EQ(vm.email(), "ann@x.io");
    EXPECT_EQ(vm.code(), "");
    EXPECT_EQ(vm.password(), "");
}

TEST_F(SignInTest, CodeCountdown)
{
    vm.switchMode(Mode::signUp);
    EXPECT_FALSE(vm.codeEnabled()) << "no valid e-mail yet";
    vm.setField(Field::email, " Ann@X.io ");
    ASSERT_TRUE(vm.codeEnabled());
    vm.sendCode();
    EXPECT_TRUE(vm.sending());
    EXPECT_EQ(vm.codeButtonLabel(), "");
    ASSERT_TRUE(settled());
    ASSERT_EQ(server.requests.size(), 1);
    EXPECT_EQ(server.requests[0].path, "/bridge/auth/email/send");
    EXPECT_EQ(server.requests[0].json(), (QJsonObject{{"email", "ann@x.io"}, {"purpose", "register"}}));
    EXPECT_EQ(vm.notice(), "Code sent — check your inbox");
    EXPECT_EQ(vm.codeButtonLabel(), "Resend in 60s");
    EXPECT_FALSE(vm.codeEnabled());

    vm.sendCode();
    EXPECT_EQ(server.requests.size(), 1) << "no second request during the countdown";
    ASSERT_TRUE(spinUntil([&] { return clock.sleepers == 1; }));
    clock.advance(1000);
    ASSERT_TRUE(spinUntil([&] { return vm.countdown() == 59; }));
    EXPECT_EQ(vm.codeButtonLabel(), "Resend in 59s");
    EXPECT_EQ(clock.lastSleep, std::chrono::milliseconds(1000));

    vm.switchMode(Mode::reset);
    for (int left = 58; left >= 0; --left) {
        clock.advance(1000);
        ASSERT_TRUE(spinUntil([&] { return vm.countdown() == left; })) << left;
    }
    EXPECT_EQ(vm.codeButtonLabel(), "Send code");
    EXPECT_TRUE(vm.codeEnabled());
    L10n::setLang("zh");
    vm.sendCode();
    ASSERT_TRUE(settled());
    EXPECT_EQ(server.requests.last().json().value("purpose"), "reset");
    EXPECT_EQ(vm.codeButtonLabel(), "60s 后重发");
    // Let the countdown end, so no sleeper outlives the clock.
    for (int left = 59; left >= 0; --left) {
        clock.advance(1000);
        ASSERT_TRUE(spinUntil([&] { return vm.countdown() == left; })) << left;
    }
}

TEST_F(SignInTest, CodeErrorsAreShownInline)
{
    server.handler = [](const auto &) {
        return TestHttpServer::json({{"error", "slow down"}, {"code", "RATE_LIMIT_EMAIL"}, {"retryAfter", 42}});
    };
    vm.switchMode(Mode::signUp);
    vm.setField(Field::email, "ann@x.io");
    vm.sendCode();
    ASSERT_TRUE(settled());
    EXPECT_EQ(vm.err(), "Too frequent — retry in 42s");
    EXPECT_FALSE(vm.notice());
    EXPECT_EQ(vm.countdown(), 0);
}

TEST_F(SignInTest, LoginSubmitSignsIn)
{
    server.handler = [](const auto &) {
        return TestHttpServer::json({{"errCode", 0}, {"data", QJsonObject{{"userID", "u1"}, {"imToken", "im"}, {"chatToken", "ct"}}}});
    };
    fill({{Field::account, " ann@x.io "}, {Field::password, "pw"}});
    vm.submit();
    EXPECT_TRUE(vm.busy());
    EXPECT_FALSE(vm.primaryEnabled());
    ASSERT_TRUE(settled());
    ASSERT_TRUE(app.credentials());
    EXPECT_EQ(*app.credentials(), (Credentials{"u1", "im", "ct", " ann@x.io "}));
    EXPECT_EQ(server.requests[0].path, "/chat/account/login");
}

TEST_F(SignInTest, FailuresBecomeTheErrorLine)
{
    server.handler = [](const auto &) { return TestHttpServer::json({{"errCode", 1001}, {"errMsg", "wrong password"}}); };
    fill({{Field::account, "ann"}, {Field::password, "pw"}});
    vm.submit();
    ASSERT_TRUE(settled());
    EXPECT_EQ(vm.err(), "wrong password");
    EXPECT_EQ(vm.account(), "ann");
    EXPECT_EQ(vm.password(), "pw") << "the form stays as it was";
    EXPECT_FALSE(app.credentials());

    server.handler = [](const auto &) { return TestHttpServer::json({{"error", "bad"}, {"code", "CODE_WRONG"}}); };
    vm.switchMode(Mode::signUp);
    fill({{Field::nickname, " Ann "}, {Field::email, "ann@x.io"}, {Field::code, "0000"}, {Field::password, "secret1"}});
    vm.submit();
    ASSERT_TRUE(settled());
    EXPECT_EQ(vm.err(), "Incorrect code");
    EXPECT_EQ(server.requests.last().json().value("nickname"), "Ann");
}

TEST_F(SignInTest, ResetWithoutSignInReturnsToLoginWithTheNotice)
{
    server.handler = [](const auto &) { return TestHttpServer::json({{"loggedIn", false}}); };
    vm.switchMode(Mode::reset);
    fill({{Field::email, "ann@x.io"}, {Field::code, "123456"}, {Field::password, "newpass"}});
    vm.submit();
    ASSERT_TRUE(settled());
    EXPECT_EQ(server.requests[0].path, "/bridge/auth/email/reset");
    EXPECT_EQ(vm.mode(), Mode::login);
    EXPECT_EQ(vm.account(), "ann@x.io");
    EXPECT_EQ(vm.code(), "");
    EXPECT_EQ(vm.password(), "");
    EXPECT_EQ(vm.notice(), "Password reset — sign in with your new password");
    EXPECT_FALSE(vm.err());
    EXPECT_FALSE(app.credentials());

    server.handler = [](const auto &) { return TestHttpServer::json({{"userID", "u9"}, {"imToken", "i"}, {"chatToken", "c"}}); };
    vm.switchMode(Mode::reset);
    fill({{Field::email, "ann@x.io"}, {Field::code, "123456"}, {Field::password, "newpass"}});
    vm.submit();
    ASSERT_TRUE(settled());
    ASSERT_TRUE(app.credentials());
    EXPECT_EQ(app.credentials()->nickname, "");
}

} // namespace
