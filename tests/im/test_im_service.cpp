#include "FakeSdk.h"
#include "base/ServiceConfig.h"
#include "im/IMService.h"
#include "support/Await.h"
#include "support/EventLoop.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QUuid>
#include <gtest/gtest.h>

namespace {

QJsonObject parseObject(const std::string &s)
{
    return QJsonDocument::fromJson(QByteArray::fromStdString(s)).object();
}

class IMServiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        FakeSdk::reset();
        ASSERT_TRUE(dir.isValid());
    }
    void TearDown() override { FakeSdk::drain(); }

    // A service whose SDK is initialised, with the setup calls cleared from the record.
    IMService &ready()
    {
        EXPECT_TRUE(svc.setup(dir.path()));
        return svc;
    }

    // Collects what a signal delivers to a receiver on the main thread.
    template <typename Signal, typename Value>
    void collect(Signal signal, QList<Value> &into)
    {
        QObject::connect(&svc, signal, &receiver, [&into](const Value &v) { into.push_back(v); });
    }

    QTemporaryDir dir;
    IMService svc{QStringLiteral(FAKE_IMSDK_PATH)};
    QObject receiver;
};

TEST_F(IMServiceTest, SetupInitialisesOnceWithItsConfiguration)
{
    const QString dataDir = dir.filePath("data/nested");
    EXPECT_TRUE(svc.setup(dataDir));
    EXPECT_TRUE(svc.setup(dataDir));
    EXPECT_TRUE(svc.ready());
    EXPECT_TRUE(QDir(dataDir + "/log").exists());

    const auto inits = FakeSdk::callsOf("init_sdk");
    ASSERT_EQ(inits.size(), 1u);
    const QString op = QString::fromStdString(inits[0].args[0]);
    EXPECT_FALSE(QUuid::fromString(op).isNull());
    EXPECT_EQ(op, op.toUpper());

    const QJsonObject config = parseObject(inits[0].args[1]);
    const ServiceConfig &cfg = ServiceConfig::current();
    EXPECT_EQ(config, (QJsonObject{
                          {"platformID", 4},
                          {"apiAddr", cfg.imApiBase()},
                          {"wsAddr", cfg.gatewayUrl()},
                          {"dataDir", dataDir},
                          {"logLevel", 3},
                          {"isLogStandardOutput", false},
                          {"logFilePath", dataDir + "/log"},
                      }));
    EXPECT_TRUE(config.value("apiAddr").toString().startsWith("https://"));
    EXPECT_TRUE(config.value("apiAddr").toString().endsWith("/api"));
    EXPECT_TRUE(config.value("wsAddr").toString().startsWith("wss://"));
    EXPECT_TRUE(config.value("wsAddr").toString().endsWith("/msg_gateway"));

    std::vector<std::string> order;
    for (const auto &c : FakeSdk::calls())
        order.push_back(c.fn);
    EXPECT_EQ(order, (std::vector<std::string>{"init_sdk", "set_group_listener", "set_conversation_listener",
                                               "set_advanced_msg_listener", "set_user_listener", "set_friend_listener"}));
}

TEST_F(IMServiceTest, LoginInitialisesFirstAndFailsClearlyWhenItCannot)
{
    FakeSdk::setInitResult(0);
    const auto out = await(svc.login("u1", "t1"));
    ASSERT_TRUE(out.error);
    EXPECT_EQ(out.error->domain(), "IM");
    EXPECT_EQ(out.error->code(), -1);
    EXPECT_EQ(out.error->message(), "SDK 初始化失败");
    EXPECT_FALSE(svc.ready());
    EXPECT_EQ(FakeSdk::callsOf("init_sdk").size(), 1u);
    EXPECT_TRUE(FakeSdk::callsOf("set_conversation_listener").empty()) << "nothing is registered after a failed init";
    EXPECT_TRUE(FakeSdk::callsOf("login").empty());

    FakeSdk::setInitResult(1);
    const auto retry = await(svc.login("u1", "t1"));
    EXPECT_FALSE(retry.error);
    ASSERT_EQ(FakeSdk::callsOf("login").size(), 1u);
    EXPECT_EQ(FakeSdk::callsOf("login")[0].args, (std::vector<std::string>{"u1", "t1"}));
    EXPECT_EQ(svc.connState(), ConnState::connected);
}

TEST(IMServiceLibrary, MissingOrIncompleteLibraryFailsWithoutCrashing)
{
    for (const QString &path : {QStringLiteral("/nonexistent/libimsdk.so"), QStringLiteral(BROKEN_IMSDK_PATH)}) {
        IMService svc(path);
        QTemporaryDir dir;
        EXPECT_FALSE(svc.setup(dir.path()));
        EXPECT_FALSE(svc.setupError().isEmpty()) << path.toStdString();
        const auto login = await(svc.login("u", "t"));
        ASSERT_TRUE(login.error);
        EXPECT_EQ(login.error->message(), "SDK 初始化失败");
        EXPECT_TRUE(await(svc.conversations()).value->isEmpty());
        EXPECT_TRUE(await(svc.send("{}", "u2", "")).error);
        EXPECT_TRUE(await(svc.revoke("c", "m")).error);
        EXPECT_EQ(svc.createText("hi"), "");
        svc.markRead("c");
        await(svc.logout());
    }
}

TEST_F(IMServiceTest, LoginErrorsAndStateRules)
{
    ready();
    FakeSdk::script("login", {{10102, "", ""}});
    auto out = await(svc.login("u", "bad"));
    ASSERT_TRUE(out.error);
    EXPECT_EQ(out.error->code(), 10102);
    EXPECT_EQ(out.error->message(), "登录失败");

    FakeSdk::script("login", {{1501, "token expired", ""}});
    out = await(svc.login("u", "bad"));
    ASSERT_TRUE(out.error);
    EXPECT_EQ(out.error->message(), "token expired");
    EXPECT_EQ(svc.connState(), ConnState::idle);

    // A connection event that lands first wins over the sign-in's own "connected".
    FakeSdk::emitConn(0);
    FakeSdk::drain();
    EXPECT_FALSE(await(svc.login("u", "t")).error);
    EXPECT_EQ(svc.connState(), ConnState::connecting);

    FakeSdk::script("logout", {{5, "ignored", ""}});
    EXPECT_FALSE(await(svc.logout()).error);
    EXPECT_EQ(svc.connState(), ConnState::idle);
}

TEST_F(IMServiceTest, ConnectionEventsMapToStates)
{
    ready();
    QList<ConnState> seen;
    collect(&IMService::connStateChanged, seen);
    const std::pair<int, ConnState> table[] = {
        {0, ConnState::connecting}, {1, ConnState::connected}, {2, ConnState::failed},
        {3, ConnState::kicked},     {4, ConnState::tokenExpired}, {1, ConnState::connected},
        {57, ConnState::tokenExpired},
    };
    for (const auto &[event, state] : table) {
        FakeSdk::emitConn(event);
        FakeSdk::drain();
        ASSERT_TRUE(spinUntil([&] { return svc.connState() == state; })) << event;
    }
    FakeSdk::emitConn(5);
    FakeSdk::emitConn(-1);
    FakeSdk::emitConn(1);
    FakeSdk::drain();
    ASSERT_TRUE(spinUntil([&] { return svc.connState() == ConnState::connected; }));
    EXPECT_EQ(seen.size(), 8) << "events 5 and -1 change nothing";
}

TEST_F(IMServiceTest, SendCompletesOnceOnItsFinalReport)
{
    ready();
    const qsizetype pendingBefore = PendingBox::shared().size(true);
    FakeSdk::script("send_message", {{0, "", "", 10}, {0, "", "", 50}, {0, "", "", 99},
                                      {0, "", R"({"clientMsgID":"m1","sendTime":5})", 100},
                                      {0, "", R"({"clientMsgID":"late"})", 100}});
    const auto out = await(svc.send(R"({"clientMsgID":"m1"})", "bob", ""));
    ASSERT_FALSE(out.error);
    EXPECT_EQ(out.value->value("clientMsgID").toString(), "m1");
    FakeSdk::drain();
    EXPECT_EQ(PendingBox::shared().size(true), pendingBefore);

    const auto call = FakeSdk::callsOf("send_message").at(0);
    EXPECT_EQ(call.args, (std::vector<std::string>{R"({"clientMsgID":"m1"})", "bob", "", IMService::kOfflinePushInfo, "0"}));

    // The primitive itself reports the progress it completed with.
    FakeSdk::script("send_message", {{0, "", "", 30}, {0, "", "{}", 100}});
    const SdkAnswer raw = QCoro::waitFor([]() -> QCoro::Task<SdkAnswer> {
        co_return co_await sdkSendCall([](CB_S_I_S_S_I cb, char *op) {
            std::string empty;
            send_message(cb, op, empty.data(), empty.data(), empty.data(), empty.data(), 0);
        });
    }());
    EXPECT_EQ(raw.progress, 100);
}

TEST_F(IMServiceTest, SendFailuresCarryTheSdkError)
{
    ready();
    FakeSdk::script("send_message", {{0, "", "", 20}, {803, "blocked by peer", "", 40}, {0, "", "{}", 100}});
    auto out = await(svc.send("{}", "", "g1"));
    ASSERT_TRUE(out.error);
    EXPECT_EQ(out.error->code(), 803);
    EXPECT_EQ(out.error->message(), "blocked by peer");
    EXPECT_EQ(FakeSdk::callsOf("send_message")[0].args[1], "");
    EXPECT_EQ(FakeSdk::callsOf("send_message")[0].args[2], "g1");

    FakeSdk::script("send_message", {{1, "", "", 0}});
    out = await(svc.send("{}", "u", ""));
    ASSERT_TRUE(out.error);
    EXPECT_EQ(out.error->message(), "发送失败");

    FakeSdk::script("send_message", {{0, "", "garbage", 100}});
    out = await(svc.send("{}", "u", ""));
    ASSERT_FALSE(out.error);
    EXPECT_TRUE(out.value->isEmpty());
}

TEST_F(IMServiceTest, DuplicateAndUnknownAnswersAreDropped)
{
    ready();
    const qsizetype pendingBefore = PendingBox::shared().size(false);
    FakeSdk::script("get_self_user_info", {{0, "", R"({"userID":"first"})"}, {0, "", R"({"userID":"second"})"}});
    const auto out = await(svc.selfInfo());
    EXPECT_EQ(out.value->value("userID").toString(), "first");
    FakeSdk::drain();
    QCoreApplication::processEvents();
    EXPECT_EQ(PendingBox::shared().size(false), pendingBefore);

    char unknown[] = "no-such-operation";
    mlCbSISS(unknown, 0, nullptr, nullptr);
    mlCbSISS(nullptr, 0, nullptr, nullptr);
    mlCbSISSI(nullptr, 0, nullptr, nullptr, 100);
}

TEST_F(IMServiceTest, CompletionsResumeOnTheMainThreadWithoutBlockingIt)
{
    ready();
    FakeSdk::script("get_all_conversation_list", {{0, "", R"([{"conversationID":"si_a_b"}])"}});
    // The SDK answers only once the main thread has run something else while the call waits
    // (a main thread blocked on the call would never get there).
    FakeSdk::hold("get_all_conversation_list");
    bool timerFired = false;
    QTimer::singleShot(0, &receiver, [&] {
        timerFired = true;
        FakeSdk::release("get_all_conversation_list");
    });

    const QThread *main = QThread::currentThread();
    const QThread *resumedOn = nullptr;
    bool timerFiredBeforeAnswer = false;
    const auto out = QCoro::waitFor([&]() -> QCoro::Task<QList<QJsonObject>> {
        auto list = co_await svc.conversations();
        resumedOn = QThread::currentThread();
        timerFiredBeforeAnswer = timerFired;
        co_return list;
    }());
    EXPECT_EQ(out.size(), 1);
    EXPECT_EQ(resumedOn, main);
    EXPECT_TRUE(timerFiredBeforeAnswer) << "the main thread kept running while the SDK worked";

    const auto call = FakeSdk::callsOf("get_all_conversation_list").at(0);
    EXPECT_EQ(call.thread, std::this_thread::get_id()) << "the SDK call itself returns at once on the caller's thread";
    EXPECT_NE(FakeSdk::workerThread(), std::this_thread::get_id());
}

TEST_F(IMServiceTest, HistoryAcceptsBothAnswerShapes)
{
    ready();
    struct Case {
        SdkAnswer answer;
        int count;
    } cases[] = {
        {{0, "", R"([{"clientMsgID":"a"},{"clientMsgID":"b"}])"}, 2},
        {{0, "", R"({"messageList":[{"clientMsgID":"a"}],"isEnd":false})"}, 1},
        {{0, "", R"({"messageList":[]})"}, 0},
        {{0, "", R"({"messageList":"nope"})"}, 0},
        {{0, "", R"([1,2])"}, 0},
        {{0, "", "not json"}, 0},
        {{500, "db error", R"([{"clientMsgID":"a"}])"}, 0},
    };
    for (const Case &c : cases) {
        FakeSdk::script("get_advanced_history_message_list",
                        {{c.answer.errCode, c.answer.errMsg.toStdString(), c.answer.data.toStdString()}});
        const auto out = await(svc.history("si_a_b", 20, "m\"9"));
        ASSERT_FALSE(out.error);
        EXPECT_EQ(out.value->size(), c.count) << c.answer.data.constData();
    }
    EXPECT_EQ(parseObject(FakeSdk::callsOf("get_advanced_history_message_list")[0].args[0]),
              (QJsonObject{{"conversationID", "si_a_b"}, {"count", 20}, {"startClientMsgID", "m\"9"}}));
}

TEST_F(IMServiceTest, OperationsPassTheirExactArguments)
{
    ready();
    struct Case {
        std::function<QCoro::Task<void>()> run;
        const char *fn;
        std::vector<std::string> args;
    } cases[] = {
        {[&] { return svc.setPinned("c1", true); }, "set_conversation", {"c1", R"({"isPinned":true})"}},
        {[&] { return svc.setPinned("c1", false); }, "set_conversation", {"c1", R"({"isPinned":false})"}},
        {[&] { return svc.setMuted("c1", true); }, "set_conversation", {"c1", R"({"recvMsgOpt":2})"}},
        {[&] { return svc.setMuted("c1", false); }, "set_conversation", {"c1", R"({"recvMsgOpt":0})"}},
        {[&] { return svc.hideConversation("c2"); }, "hide_conversation", {"c2"}},
        {[&] { return svc.revoke("c3", "m3"); }, "revoke_message", {"c3", "m3"}},
        {[&] { return svc.deleteMessage("c4", "m4"); }, "delete_message", {"c4", "m4"}},
        {[&] { return svc.deleteFriend("u5"); }, "delete_friend", {"u5"}},
        {[&] { return svc.addBlack("u6"); }, "add_black", {"u6", ""}},
    };
    for (const Case &c : cases) {
        const size_t before = FakeSdk::callsOf(c.fn).size();
        EXPECT_FALSE(await(c.run()).error) << c.fn;
        const auto calls = FakeSdk::callsOf(c.fn);
        ASSERT_EQ(calls.size(), before + 1) << c.fn;
        EXPECT_EQ(calls.back().args, c.args) << c.fn;
    }

    // JSON arguments are encoded, so quotes and backslashes stay data.
    const QString tricky = QStringLiteral("hi \"there\" \\ 你好");
    await(svc.addFriend("u\"7", tricky));
    await(svc.acceptFriend("u8"));
    await(svc.refuseFriend("u9"));
    await(svc.setSelfInfo({{"nickname", tricky}}));
    await(svc.usersInfo({"a", "b\"c"}));
    await(svc.friendList());
    await(svc.friendApplications());
    EXPECT_EQ(parseObject(FakeSdk::callsOf("add_friend")[0].args[0]), (QJsonObject{{"toUserID", "u\"7"}, {"reqMsg", tricky}}));
    EXPECT_EQ(parseObject(FakeSdk::callsOf("accept_friend_application")[0].args[0]), (QJsonObject{{"toUserID", "u8"}, {"handleMsg", ""}}));
    EXPECT_EQ(parseObject(FakeSdk::callsOf("refuse_friend_application")[0].args[0]), (QJsonObject{{"toUserID", "u9"}, {"handleMsg", ""}}));
    EXPECT_EQ(parseObject(FakeSdk::callsOf("set_self_info")[0].args[0]), (QJsonObject{{"nickname", tricky}}));
    EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(FakeSdk::callsOf("get_users_info")[0].args[0])).array(),
              (QJsonArray{"a", "b\"c"}));
    EXPECT_EQ(FakeSdk::callsOf("get_friend_list")[0].args[0], "0");
    EXPECT_EQ(parseObject(FakeSdk::callsOf("get_friend_application_list_as_recipient")[0].args[0]),
              (QJsonObject{{"offset", 0}, {"count", 100}}));
}

TEST_F(IMServiceTest, ErrorsFailOrEmptyAsEachOperationSays)
{
    ready();
    FakeSdk::script("revoke_message", {{1004, "too late to recall", ""}});
    const auto revoke = await(svc.revoke("c", "m"));
    ASSERT_TRUE(revoke.error);
    EXPECT_EQ(revoke.error->code(), 1004);
    EXPECT_EQ(revoke.error->message(), "too late to recall");

    FakeSdk::script("add_friend", {{7, "", ""}});
    const auto add = await(svc.addFriend("u", ""));
    ASSERT_TRUE(add.error);
    EXPECT_EQ(add.error->message(), "") << "only login and send substitute a text";

    FakeSdk::script("get_friend_list", {{1, "x", R"([{"userID":"u"}])"}});
    EXPECT_TRUE(await(svc.friendList()).value->isEmpty());
    FakeSdk::script("get_joined_group_list", {{0, "", R"([{"groupID":"g"}, 3])"}});
    EXPECT_TRUE(await(svc.joinedGroups()).value->isEmpty());
    FakeSdk::script("get_self_user_info", {{0, "", "[]"}});
    EXPECT_TRUE(await(svc.selfInfo()).value->isEmpty());
    FakeSdk::script("set_conversation", {{9, "x", ""}});
    EXPECT_FALSE(await(svc.setMuted("c", true)).error);
}

TEST_F(IMServiceTest, FireAndForgetReturnsAtOnce)
{
    ready();
    FakeSdk::silence("mark_conversation_message_as_read");
    FakeSdk::script("typing_status_update", {{3, "offline", ""}});
    svc.markRead("sg_g1");
    svc.typing("bob", "yes");
    EXPECT_EQ(FakeSdk::callsOf("mark_conversation_message_as_read")[0].args, (std::vector<std::string>{"sg_g1"}));
    EXPECT_EQ(FakeSdk::callsOf("typing_status_update")[0].args, (std::vector<std::string>{"bob", "yes"}));
    FakeSdk::drain();
    QCoreApplication::processEvents();
}

TEST_F(IMServiceTest, CreateFunctionsCopyAndFreeTheSdkText)
{
    ready();
    FakeSdk::setCreateResult(R"({"clientMsgID":"new","contentType":101})");
    EXPECT_EQ(svc.createText("hi"), R"({"clientMsgID":"new","contentType":101})");
    svc.createSound("/tmp/a.m4a", 7);
    svc.createFile("/tmp/f.pdf", "f.pdf");
    svc.createCustom("{}", "mirelo-edit");
    EXPECT_EQ(FakeSdk::callsOf("create_sound_message_from_full_path")[0].args[2], "7");
    EXPECT_EQ(FakeSdk::callsOf("create_file_message_from_full_path")[0].args[2], "f.pdf");
    const auto custom = FakeSdk::callsOf("create_custom_message")[0].args;
    EXPECT_EQ((std::vector<std::string>(custom.begin() + 1, custom.end())), (std::vector<std::string>{"{}", "", "mirelo-edit"}));
    EXPECT_NE(FakeSdk::callsOf("create_text_message")[0].args[0], FakeSdk::callsOf("create_custom_message")[0].args[0])
        << "every call has a fresh operation ID";

    FakeSdk::setCreateResult(std::nullopt);
    EXPECT_EQ(svc.createQuote("a", "{}"), "");
    EXPECT_EQ(svc.createForward("{}"), "");
    EXPECT_EQ(svc.createImage("/x.png"), "");
}

TEST_F(IMServiceTest, ConversationAndTypingEvents)
{
    ready();
    QList<QList<QJsonObject>> changes;
    QList<InputStateEvent> typing;
    collect(&IMService::conversationChanges, changes);
    collect(&IMService::inputStates, typing);

    FakeSdk::emitConversation(29, R"([{"conversationID":"a"},{"conversationID":"b"}])");
    FakeSdk::emitConversation(30, "{broken");
    FakeSdk::emitConversation(30, nullptr);
    FakeSdk::emitConversation(31, R"([{"conversationID":"ignored"}])");

    const std::pair<const char *, bool> typingCases[] = {
        {R"({"conversationID":"si_a_b","userID":"b","platformIDs":[5]})", true},
        {R"({"conversationID":"si_a_b","userID":"b","platformIDs":[]})", false},
        {R"({"conversationID":"si_a_b","userID":"b"})", false},
        {R"({"conversationID":"si_a_b","userID":"b","platformIDs":["5"]})", false},
        {R"({"conversationID":7,"userID":null,"platformIDs":[1.5]})", false},
        {"not json", false},
    };
    for (const auto &[data, _] : typingCases)
        FakeSdk::emitConversation(55, data);
    FakeSdk::drain();
    ASSERT_TRUE(spinUntil([&] { return changes.size() == 3 && typing.size() == 6; }));

    EXPECT_EQ(changes[0].size(), 2);
    EXPECT_TRUE(changes[1].isEmpty());
    EXPECT_TRUE(changes[2].isEmpty());
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(typing[i].typing, typingCases[i].second) << typingCases[i].first;
    EXPECT_EQ(typing[0].conversationID, "si_a_b");
    EXPECT_EQ(typing[0].userID, "b");
    EXPECT_EQ(typing[4].conversationID, "");
    EXPECT_EQ(typing[5].userID, "");
}

TEST_F(IMServiceTest, MessageAndRecallEvents)
{
    ready();
    QList<QJsonObject> messages, recalls;
    collect(&IMService::newMessages, messages);
    collect(&IMService::revoked, recalls);
    FakeSdk::emitMessage(32, R"({"clientMsgID":"m1"})");
    FakeSdk::emitMessage(39, R"({"clientMsgID":"m2"})");
    FakeSdk::emitMessage(56, "[not an object]");
    FakeSdk::emitMessage(35, R"({"clientMsgID":"m1"})");
    FakeSdk::emitMessage(33, R"({"clientMsgID":"ignored"})");
    FakeSdk::drain();
    ASSERT_TRUE(spinUntil([&] { return messages.size() == 3 && recalls.size() == 1; }));
    EXPECT_EQ(messages[1].value("clientMsgID").toString(), "m2");
    EXPECT_TRUE(messages[2].isEmpty());
    EXPECT_EQ(recalls[0].value("clientMsgID").toString(), "m1");
    QCoreApplication::processEvents();
    EXPECT_EQ(messages.size(), 3);
}

} // namespace
