#include "FakeSdk.h"
#include "app/AppState.h"
#include "app/SessionStore.h"
#include "im/IMService.h"
#include "support/Await.h"
#include "support/EventLoop.h"
#include "support/FakeNotifier.h"
#include "ui/root/RootViewModel.h"
#include "support/ScriptedJson.h"
#include "SignIn.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

QStringList keys(const QList<QJsonObject> &list)
{
    QStringList out;
    for (const QJsonObject &c : list)
        out << c.value("conversationID").toString();
    return out;
}

class RootViewModelTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        FakeSdk::reset();
        ASSERT_TRUE(im.setup(dir.path()));
    }
    void TearDown() override
    {
        FakeSdk::drain();
        QCoreApplication::processEvents();
        SessionStore::remove();
    }

    void signIn()
    {
        signInAsMe(app);
    }

    void load(const QJsonArray &conversations)
    {
        FakeSdk::script("get_all_conversation_list", {{0, "", json(conversations)}});
        await(vm.reloadConversations());
    }

    QTemporaryDir dir;
    IMService im{FAKE_IMSDK_PATH};
    AppState app{im, [](QString, QString) -> QCoro::Task<void> { co_return; }};
    FakeNotifier notifier;
    QStringList bound;
    RootViewModel vm{im, app, &notifier, [this](const QString &u, const QString &t) { bound << u + "/" + t; }};
};

TEST(RootBadges, BadgeText)
{
    const std::pair<qint64, const char *> cases[] = {{-1, ""}, {0, ""}, {1, "1"}, {99, "99"}, {100, "99+"}, {150, "99+"}};
    for (const auto &[n, text] : cases)
        EXPECT_EQ(RootViewModel::badgeText(n), text) << n;
}

TEST_F(RootViewModelTest, MutedConversationsStayOutOfTheBadges)
{
    load({QJsonObject{{"conversationID", "si_a_me"}, {"unreadCount", 150}},
          QJsonObject{{"conversationID", "si_b_me"}, {"unreadCount", 7}, {"recvMsgOpt", 2}},
          QJsonObject{{"conversationID", "sg_g"}, {"unreadCount", 2.7}, {"recvMsgOpt", 0}}});
    EXPECT_EQ(vm.totalUnreadLocal(), 152);
    EXPECT_EQ(vm.chatsBadge(), "99+");
    EXPECT_EQ(vm.launcherBadge(), "99+");
    EXPECT_EQ(vm.refreshTick(), 1);
    load({QJsonObject{{"conversationID", "si_b_me"}, {"unreadCount", 7}, {"recvMsgOpt", 2}}});
    EXPECT_EQ(vm.launcherBadge(), "");
}

TEST_F(RootViewModelTest, FilterAndOrder)
{
    load({QJsonObject{{"conversationID", "old-pinned"}, {"showName", "Alice"}, {"isPinned", true}, {"latestMsgSendTime", 100}},
          QJsonObject{{"conversationID", "newest"}, {"showName", "Bob"}, {"latestMsgSendTime", 900.5}},
          QJsonObject{{"conversationID", "new-pinned"}, {"userID", "ALINA"}, {"isPinned", true}, {"latestMsgSendTime", 200}},
          QJsonObject{{"conversationID", "no-time"}, {"groupID", "team"}}});
    EXPECT_EQ(keys(vm.sortedConversations()), (QStringList{"new-pinned", "old-pinned", "newest", "no-time"}));
    const std::pair<QString, QStringList> filters[] = {
        {" \t ", {"new-pinned", "old-pinned", "newest", "no-time"}},
        {" ali ", {"new-pinned", "old-pinned"}},
        {"TEAM", {"no-time"}},
        {"zzz", {}},
    };
    for (const auto &[filter, expected] : filters) {
        vm.setConvFilter(filter);
        EXPECT_EQ(keys(vm.sortedConversations()), expected) << filter.toStdString();
    }
}

TEST_F(RootViewModelTest, PlaceholdersLiveUntilTheSdkKnowsBetter)
{
    signIn();
    load({QJsonObject{{"conversationID", "si_a_me"}, {"showName", "A"}}});
    vm.setTab(MacTab::contacts);
    vm.openChat("bob", "Bob", "https://f/bob.png");
    EXPECT_EQ(vm.tab(), MacTab::chats);
    EXPECT_EQ(vm.selectedConvID(), "si_bob_me");
    EXPECT_EQ(keys(vm.conversations()), (QStringList{"si_bob_me", "si_a_me"}));
    vm.openChat("bob", "Bob", "");
    EXPECT_EQ(vm.conversations().size(), 2) << "no second placeholder";

    load({QJsonObject{{"conversationID", "si_bob_me"}, {"userID", "bob"}, {"showName", ""}}});
    ASSERT_TRUE(vm.selectedConversation());
    EXPECT_EQ(vm.selectedConversation()->value("showName").toString(), "Bob");
    EXPECT_EQ(vm.selectedConversation()->value("faceURL").toString(), "https://f/bob.png");

    load({QJsonObject{{"conversationID", "si_a_me"}}});
    EXPECT_FALSE(vm.selectedConversation()) << "the pane shows its empty state";
    EXPECT_EQ(vm.selectedConvID(), "si_bob_me");

    vm.openGroupChat("g1", "Team", "");
    EXPECT_EQ(vm.conversations().first().value("conversationID").toString(), "sg_g1");
    EXPECT_EQ(vm.conversations().first().value("userID").toString(), "");
}

TEST_F(RootViewModelTest, RowActionsCallTheSdkAndReload)
{
    signIn();
    const QJsonObject open{{"conversationID", "si_a_me"}, {"userID", "a"}, {"isPinned", true}, {"recvMsgOpt", 2}, {"unreadCount", 3}};
    load({open});
    vm.setSelectedConvID("si_a_me");
    const int before = vm.refreshTick();
    await(vm.togglePinned(open));
    await(vm.toggleMuted(open));
    await(vm.markRead(open));
    await(vm.deleteConversation(open));
    const auto set = FakeSdk::callsOf("set_conversation");
    ASSERT_EQ(set.size(), 2u);
    EXPECT_EQ(set[0].args, (std::vector<std::string>{"si_a_me", R"({"isPinned":false})"}));
    EXPECT_EQ(set[1].args, (std::vector<std::string>{"si_a_me", R"({"recvMsgOpt":0})"}));
    EXPECT_EQ(FakeSdk::callsOf("mark_conversation_message_as_read").at(0).args[0], "si_a_me");
    EXPECT_EQ(FakeSdk::callsOf("hide_conversation").at(0).args[0], "si_a_me");
    EXPECT_EQ(vm.selectedConvID(), "") << "deleting the open chat clears the pane";
    EXPECT_EQ(vm.refreshTick(), before + 4);
}

TEST_F(RootViewModelTest, NotificationDecisions)
{
    signIn();
    load({QJsonObject{{"conversationID", "si_me_muted"}, {"recvMsgOpt", 2}}});
    auto custom = [](const QJsonObject &payload) {
        return QJsonObject{{"contentType", 110}, {"sendID", "bob"}, {"senderNickname", "Bob"},
                           {"customElem", QJsonObject{{"data", QString::fromStdString(json(payload))}}}};
    };
    const QJsonObject messages[] = {
        {{"contentType", 101}, {"sendID", "me"}, {"recvID", "bob"}, {"textElem", QJsonObject{{"content", "mine"}}}},
        {{"contentType", 101}, {"sendID", "muted"}, {"recvID", "me"}, {"textElem", QJsonObject{{"content", "shh"}}}},
        custom({{"mireloType", "reaction"}, {"targetClientMsgID", "m"}, {"emoji", "👍"}}),
        custom({{"mireloSignal", "hangup"}}),
        {{"contentType", 101}, {"sendID", "bob"}, {"recvID", "me"}, {"senderNickname", "Bob"}, {"textElem", QJsonObject{{"content", "hi"}}}},
        custom({{"mireloType", "secret"}, {"v", 3}}),
        {{"contentType", 102}, {"sendID", "carol"}, {"groupID", "g"}},
    };
    for (const QJsonObject &m : messages)
        FakeSdk::emitMessage(32, json(m).c_str());
    FakeSdk::drain();
    ASSERT_TRUE(spinUntil([&] { return notifier.posted.size() == 3; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(notifier.posted, (QList<QPair<QString, QString>>{{"Bob", "hi"}, {"Bob", "[密聊消息]"}, {"Sarvo", "[图片]"}}));
}

TEST_F(RootViewModelTest, ConnectionAndCredentialReactions)
{
    signIn();
    EXPECT_EQ(bound, QStringList{"me/tok"});
    EXPECT_EQ(notifier.permissionRequests, 1);
    EXPECT_EQ(vm.connColor(), RootViewModel::ConnColor::green);

    FakeSdk::script("get_friend_list", {{0, "", R"([{"userID":"f1"}])"}});
    FakeSdk::script("get_self_user_info", {{0, "", R"({"userID":"me","nickname":"Me"})"}});
    FakeSdk::emitConn(0);
    FakeSdk::emitConn(1);
    FakeSdk::drain();
    ASSERT_TRUE(spinUntil([&] { return vm.selfInfo().value("nickname") == "Me" && vm.friends().size() == 1; }));

    FakeSdk::emitConn(3);
    FakeSdk::drain();
    ASSERT_TRUE(spinUntil([&] { return !app.credentials(); })) << "kicked signs out";
    EXPECT_EQ(vm.connColor(), RootViewModel::ConnColor::soft);
    EXPECT_TRUE(vm.friends().isEmpty()) << "the next user sees nothing of this one";
    EXPECT_TRUE(vm.selfInfo().isEmpty());

    notifier.on = false;
    signIn();
    EXPECT_EQ(notifier.permissionRequests, 1) << "no permission request while banners are off";
    EXPECT_EQ(bound.size(), 2);
}

TEST_F(RootViewModelTest, MenuCommands)
{
    vm.newChatCommand();
    vm.switchTabCommand("me");
    EXPECT_FALSE(vm.showNewChat()) << "ignored while signed out";
    EXPECT_EQ(vm.tab(), MacTab::chats);
    signIn();
    vm.switchTabCommand("moments");
    EXPECT_EQ(vm.tab(), MacTab::moments);
    vm.switchTabCommand("settings");
    vm.switchTabCommand(3);
    EXPECT_EQ(vm.tab(), MacTab::moments);
    vm.newChatCommand();
    EXPECT_EQ(vm.tab(), MacTab::chats);
    EXPECT_TRUE(vm.showNewChat());
    vm.setTab(MacTab::me);
    vm.focusSearchCommand();
    EXPECT_EQ(vm.tab(), MacTab::chats);
    EXPECT_TRUE(vm.searchFocused());
}

} // namespace
