#include "FakeSdk.h"
#include "app/AppState.h"
#include "app/SessionStore.h"
#include "im/IMService.h"
#include "support/Await.h"
#include "support/EventLoop.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

// Readable failures (found by argument lookup, so at global scope; internal to this file).
static void PrintTo(const QString &s, std::ostream *os)
{
    *os << '"' << s.toStdString() << '"';
}
static void PrintTo(const Credentials &c, std::ostream *os)
{
    *os << c.userID.toStdString() << " (" << c.nickname.toStdString() << ")";
}

namespace {

class AppStateTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        FakeSdk::reset();
        SessionStore::remove();
        qputenv("XDG_DATA_HOME", dir.path().toUtf8());
    }
    void TearDown() override
    {
        FakeSdk::drain();
        SessionStore::remove();
    }

    AppState::EnsureKeys recordKeys()
    {
        return [this](QString imToken, QString userID) -> QCoro::Task<void> {
            keyCalls << imToken + "/" + userID;
            co_return;
        };
    }

    bool settle(AppState &state)
    {
        return spinUntil([&] { return !state.credentials() || !keyCalls.isEmpty() || state.bootError(); });
    }

    QTemporaryDir dir;
    QStringList keyCalls;
};

TEST_F(AppStateTest, RefusedStoredTokenSignsOutAndForgetsTheSession)
{
    SessionStore::save({"u1", "expired", "c", "Ann"});
    FakeSdk::script("login", {{1501, "token expired", ""}});
    IMService im(FAKE_IMSDK_PATH);
    AppState state(im, recordKeys());
    state.boot();
    EXPECT_TRUE(state.credentials()) << "signed in while the IM sign-in runs";
    ASSERT_TRUE(spinUntil([&] { return !state.credentials(); }));
    EXPECT_EQ(state.bootError(), "token expired");
    EXPECT_FALSE(SessionStore::load());
    EXPECT_TRUE(keyCalls.isEmpty());

    AppState again(im, recordKeys());
    again.boot();
    EXPECT_FALSE(again.credentials());
    EXPECT_EQ(FakeSdk::callsOf("login").size(), 1u) << "a second start does not try again";
}

TEST_F(AppStateTest, MissingSdkKeepsTheStoredSession)
{
    SessionStore::save({"u1", "t", "c", "Ann"});
    for (const char *path : {"/nonexistent/libimsdk.so", FAKE_IMSDK_PATH}) {
        FakeSdk::setInitResult(0);
        IMService im(path);
        AppState state(im, recordKeys());
        QStringList errors;
        QObject::connect(&state, &AppState::bootErrorChanged, [&] { errors << state.bootError().value_or(""); });
        state.boot();
        EXPECT_FALSE(state.credentials());
        EXPECT_EQ(errors, QStringList{QString::fromUtf8(AppState::kSdkInitFailed)});
        EXPECT_TRUE(SessionStore::load());
    }
}

TEST_F(AppStateTest, StoredSessionSignsInAndEnsuresKeys)
{
    SessionStore::save({"u1", "t1", "c1", "Ann"});
    IMService im(FAKE_IMSDK_PATH);
    AppState state(im, recordKeys());
    state.boot();
    ASSERT_TRUE(spinUntil([&] { return !keyCalls.isEmpty(); }));
    EXPECT_EQ(keyCalls, QStringList{"t1/u1"});
    EXPECT_EQ(FakeSdk::callsOf("login").at(0).args, (std::vector<std::string>{"u1", "t1"}));
    EXPECT_EQ(state.credentials(), (Credentials{"u1", "t1", "c1", "Ann"}));
    EXPECT_EQ(im.connState(), ConnState::connected);
}

TEST_F(AppStateTest, FailedSignInAfterApplyLoginKeepsTheUserSignedIn)
{
    IMService im(FAKE_IMSDK_PATH);
    ASSERT_TRUE(im.setup(dir.path()));
    AppState state(im, recordKeys());
    FakeSdk::script("login", {{2, "", ""}});
    state.applyLogin({"u2", "t2", "c2"}, "Ben");
    EXPECT_EQ(state.credentials(), (Credentials{"u2", "t2", "c2", "Ben"}));
    ASSERT_TRUE(spinUntil([&] { return state.bootError().has_value(); }));
    EXPECT_EQ(state.bootError(), "登录失败");
    EXPECT_TRUE(state.credentials());
    EXPECT_EQ(SessionStore::load(), (Credentials{"u2", "t2", "c2", "Ben"}));

    // applyLogin does not clear an earlier error; logout does, and forgets the session.
    state.applyLogin({"u2", "t2", "c2"}, "Ben");
    EXPECT_TRUE(state.bootError());
    ASSERT_TRUE(spinUntil([&] { return !keyCalls.isEmpty(); }));
    state.logout();
    EXPECT_FALSE(state.credentials());
    EXPECT_FALSE(state.bootError());
    EXPECT_FALSE(SessionStore::load());
    ASSERT_TRUE(spinUntil([&] { return !FakeSdk::callsOf("logout").empty() && im.connState() == ConnState::idle; }));

    // The next start retries with whatever is stored.
    SessionStore::save({"u2", "t2", "c2", "Ben"});
    AppState next(im, recordKeys());
    next.boot();
    ASSERT_TRUE(spinUntil([&] { return keyCalls.size() == 2; }));
    EXPECT_EQ(FakeSdk::callsOf("login").size(), 3u);
}

// The start-up sign-in answers only after the user signed out, or after another account signed
// in: its result, success or failure, belongs to a session that no longer exists.
TEST_F(AppStateTest, LateStartUpSignInLeavesTheNewSessionAlone)
{
    struct Case {
        const char *name;
        FakeSdk::Answer firstLogin;
        bool otherAccountSignsIn;
    };
    const Case cases[] = {
        {"refused, then signed out", {1501, "token expired", ""}, false},
        {"accepted, then signed out", {0, "", ""}, false},
        {"refused, then another account", {1501, "token expired", ""}, true},
        {"accepted, then another account", {0, "", ""}, true},
    };
    const Credentials other{"u2", "t2", "c2", "Ben"};
    for (const Case &tc : cases) {
        SCOPED_TRACE(tc.name);
        FakeSdk::reset();
        keyCalls.clear();
        SessionStore::save({"u1", "t1", "c1", "Ann"});
        IMService im(FAKE_IMSDK_PATH);
        AppState state(im, recordKeys());
        FakeSdk::script("login", {tc.firstLogin});
        FakeSdk::hold("login");
        state.boot();
        ASSERT_EQ(FakeSdk::callsOf("login").size(), 1u);

        state.logout();
        if (tc.otherAccountSignsIn)
            state.applyLogin({other.userID, other.imToken, other.chatToken}, other.nickname);
        FakeSdk::release("login");
        // The SDK answers in order and every answer resumes on this thread in order: once a later
        // call has its answer, both sign-ins have seen theirs.
        await(im.conversations());

        const std::optional<Credentials> expected = tc.otherAccountSignsIn ? std::optional(other) : std::nullopt;
        EXPECT_EQ(state.credentials(), expected);
        EXPECT_EQ(SessionStore::load(), expected);
        EXPECT_FALSE(state.bootError()) << state.bootError().value_or("").toStdString();
        EXPECT_EQ(keyCalls, tc.otherAccountSignsIn ? QStringList{"t2/u2"} : QStringList{});
    }
}

} // namespace
