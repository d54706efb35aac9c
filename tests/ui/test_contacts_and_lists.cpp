#include "FakeSdk.h"
#include "app/AppState.h"
#include "app/SessionStore.h"
#include "im/IMService.h"
#include "l10n/L10n.h"
#include "support/Await.h"
#include "support/EventLoop.h"
#include "ui/contacts/ContactsListModel.h"
#include "ui/contacts/ContactsViewModel.h"
#include "ui/newchat/NewChatPickerModel.h"
#include "ui/root/ConversationListModel.h"
#include "ui/root/RootTexts.h"
#include "ui/root/RootViewModel.h"
#include "support/ScriptedJson.h"
#include "SignIn.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

QString text(const QJsonObject &o)
{
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

class ListsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        FakeSdk::reset();
        ASSERT_TRUE(im.setup(dir.path()));
        L10n::setLang("en");
        QCoreApplication::processEvents();
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
    void scriptLists(const QJsonArray &friends, const QJsonArray &requests, const QJsonArray &groups)
    {
        FakeSdk::script("get_friend_list", {{0, "", json(friends)}});
        FakeSdk::script("get_friend_application_list_as_recipient", {{0, "", json(requests)}});
        FakeSdk::script("get_joined_group_list", {{0, "", json(groups)}});
    }

    QTemporaryDir dir;
    IMService im{FAKE_IMSDK_PATH};
    AppState app{im, [](QString, QString) -> QCoro::Task<void> { co_return; }};
    RootViewModel root{im, app, nullptr, {}};
    ContactsViewModel contacts{im, root};
};

TEST_F(ListsTest, ConversationRowTexts)
{
    const QJsonObject text101{{"contentType", 101}, {"textElem", QJsonObject{{"content", "see you\nat 8"}}}};
    const QJsonObject picture{{"contentType", 102}};
    FakeSdk::script("get_all_conversation_list",
                    {{0, "",
                      json({QJsonObject{{"conversationID", "si_a_me"}, {"showName", "Ann"}, {"draftText", "half a thought"},
                                        {"latestMsg", text(text101)}, {"unreadCount", 3}, {"latestMsgSendTime", 50}},
                            QJsonObject{{"conversationID", "si_b_me"}, {"userID", "bob"}, {"latestMsg", text(text101)},
                                        {"unreadCount", 150}, {"recvMsgOpt", 2}, {"latestMsgSendTime", 40}},
                            QJsonObject{{"conversationID", "sg_g"}, {"groupID", "g"}, {"showName", "Team"},
                                        {"latestMsg", text(picture)}, {"isPinned", true}, {"latestMsgSendTime", 10}},
                            QJsonObject{{"conversationID", "si_c_me"}, {"showName", "Cy"}, {"latestMsg", "not json"},
                                        {"unreadCount", 0.9}}})}});
    ConversationListModel model(root);
    await(root.reloadConversations());
    ASSERT_EQ(model.rowCount(), 4);

    struct Expect {
        const char *name, *preview;
        int draftPrefix;
        const char *badge;
        bool muted, pinned;
    };
    const Expect expected[] = {
        {"Team", "[图片]", 0, "", false, true},
        {"Ann", "[Draft]half a thought", 7, "3", false, false},
        {"bob", "see you at 8", 0, "99", true, false},
        {"Cy", "", 0, "", false, false},
    };
    for (int i = 0; i < 4; ++i) {
        const QModelIndex index = model.index(i);
        const Expect &e = expected[i];
        EXPECT_EQ(index.data(ConversationListModel::NameRole).toString(), e.name) << i;
        EXPECT_EQ(index.data(ConversationListModel::PreviewRole).toString(), QString::fromUtf8(e.preview)) << i;
        EXPECT_EQ(index.data(ConversationListModel::DraftPrefixRole).toInt(), e.draftPrefix) << i;
        EXPECT_EQ(index.data(ConversationListModel::BadgeRole).toString(), e.badge) << i;
        EXPECT_EQ(index.data(ConversationListModel::MutedRole).toBool(), e.muted) << i;
        EXPECT_EQ(index.data(ConversationListModel::PinnedRole).toBool(), e.pinned) << i;
    }

    L10n::setLang("zh");
    ASSERT_TRUE(spinUntil([&] { return model.index(1).data(ConversationListModel::PreviewRole).toString().startsWith("[草稿]"); }));
    EXPECT_EQ(model.index(1).data(ConversationListModel::DraftPrefixRole).toInt(), 4);

    root.setSelectedConvID("si_a_me");
    EXPECT_TRUE(model.index(1).data(ConversationListModel::SelectedRole).toBool());
    EXPECT_FALSE(model.index(0).data(ConversationListModel::SelectedRole).toBool());
    root.setConvFilter(" te ");
    ASSERT_EQ(model.rowCount(), 1);
    EXPECT_EQ(model.index(0).data(ConversationListModel::KeyRole).toString(), "sg_g");
}

TEST(ConversationRows, BadgeCapsAt99)
{
    const std::pair<qint64, const char *> cases[] = {{0, ""}, {-3, ""}, {1, "1"}, {99, "99"}, {100, "99"}, {150, "99"}};
    for (const auto &[n, badge] : cases)
        EXPECT_EQ(ConversationListModel::rowBadge(n), badge) << n;
}

TEST(ConversationRows, TimeOfTheLatestMessage)
{
    // Wednesday 2026-12-09 15:30 local time.
    const QDateTime now(QDate(2026, 12, 9), QTime(15, 30));
    const auto at = [](QDate d, QTime t) { return QDateTime(d, t).toMSecsSinceEpoch(); };
    struct Case {
        qint64 sent;
        const char *zh, *zhHK, *en;
    };
    const Case cases[] = {
        {0, "", "", ""},
        {at(QDate(2026, 12, 9), QTime(9, 5)), "09:05", "09:05", "09:05"},
        {at(QDate(2026, 12, 9), QTime(16, 0)), "16:00", "16:00", "16:00"}, // sender's clock ahead
        {at(QDate(2026, 12, 8), QTime(23, 59)), "昨天", "昨天", "Yesterday"},
        {at(QDate(2026, 12, 5), QTime(12, 0)), "周六", "週六", "Sat"},
        {at(QDate(2026, 12, 2), QTime(12, 0)), "12月2日", "12月2日", "Dec 2"},
        {at(QDate(2025, 12, 31), QTime(12, 0)), "2025/12/31", "2025/12/31", "2025/12/31"},
    };
    for (const Case &c : cases) {
        const std::pair<const char *, const char *> langs[] = {{"zh", c.zh}, {"zh-HK", c.zhHK}, {"en", c.en}};
        for (const auto &[lang, expected] : langs) {
            L10n::setLang(lang);
            EXPECT_EQ(RootTexts::rowTime(c.sent, now), QString::fromUtf8(expected)) << lang << " " << c.sent;
        }
    }
}

TEST(NewChatPicker, Filter)
{
    const QList<QJsonObject> friends{
        QJsonObject{{"friendInfo", QJsonObject{{"userID", "u1"}, {"nickname", "Ann Lee"}}}},
        QJsonObject{{"userID", "u2"}, {"nickname", "Bob"}},
        QJsonObject{{"userID", "carol77"}},
    };
    const std::pair<QString, QStringList> cases[] = {
        {"", {"u1", "u2", "carol77"}},
        {" \t ", {"u1", "u2", "carol77"}},
        {" LEE", {"u1"}},
        {"u2", {}},
        {"CAROL", {"carol77"}},
    };
    for (const auto &[filter, ids] : cases) {
        QStringList got;
        for (const QJsonObject &f : NewChatPickerModel::filtered(friends, filter))
            got << (f.contains("friendInfo") ? f["friendInfo"].toObject()["userID"].toString() : f["userID"].toString());
        EXPECT_EQ(got, ids) << filter.toStdString();
    }
    NewChatPickerModel model;
    model.setFriends(friends);
    model.setFilter("ann");
    ASSERT_EQ(model.rowCount(), 1);
    EXPECT_EQ(model.index(0).data(NewChatPickerModel::NameRole).toString(), "Ann Lee");
    EXPECT_EQ(model.index(0).data(NewChatPickerModel::UserIDRole).toString(), "u1");
}

TEST_F(ListsTest, ContactsReloadAndRows)
{
    scriptLists({QJsonObject{{"userID", "f1"}, {"nickname", "Fay"}, {"faceURL", "http://img/fay.png"}}},
                {QJsonObject{{"fromUserID", "r1"}, {"fromNickname", "Rae"}, {"reqMsg", "hi!"}, {"handleResult", 0}},
                 QJsonObject{{"fromUserID", "r2"}, {"handleResult", -1}},
                 QJsonObject{{"fromUserID", "r3"}, {"fromNickname", "Sol"}, {"handleResult", 1}}},
                {QJsonObject{{"groupID", "g1"}, {"groupName", "Team"}, {"memberCount", 12}}});
    ContactsListModel model(contacts);
    await(contacts.reload());
    EXPECT_EQ(root.friends().size(), 1) << "the friend list is the main window's";

    using Kind = ContactsListModel::Kind;
    struct Expect {
        Kind kind;
        const char *name, *subtitle, *status;
        bool pending;
    };
    const Expect expected[] = {
        {Kind::header, "Friend requests", "", "", false},
        {Kind::request, "Rae", "hi!", "", true},
        {Kind::request, "r2", "", "Declined", false},
        {Kind::request, "Sol", "", "Accepted", false},
        {Kind::header, "Friends", "", "", false},
        {Kind::friendRow, "Fay", "", "", false},
        {Kind::header, "Groups", "", "", false},
        {Kind::group, "Team", "", "", false},
    };
    ASSERT_EQ(model.rowCount(), 8);
    for (int i = 0; i < 8; ++i) {
        const ContactsListModel::Row &r = model.row(i);
        EXPECT_EQ(r.kind, expected[i].kind) << i;
        EXPECT_EQ(r.name, expected[i].name) << i;
        EXPECT_EQ(r.subtitle, expected[i].subtitle) << i;
        EXPECT_EQ(r.status, expected[i].status) << i;
        EXPECT_EQ(r.pending, expected[i].pending) << i;
    }
    EXPECT_EQ(model.row(7).count, "12");
    EXPECT_EQ(model.row(5).imageUrl, QUrl("https://img/fay.png"));

    // A failing request list is an empty section, not an error; an empty section says so.
    scriptLists({}, {}, {});
    FakeSdk::script("get_friend_application_list_as_recipient", {{1, "boom", ""}});
    await(contacts.reload());
    EXPECT_FALSE(contacts.toast());
    const std::pair<Kind, const char *> empty[] = {
        {Kind::header, "Friend requests"}, {Kind::note, "No friend requests"}, {Kind::header, "Friends"},
        {Kind::note, "No friends yet"},    {Kind::header, "Groups"},           {Kind::note, "No groups yet"},
    };
    ASSERT_EQ(model.rowCount(), 6);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(model.row(i).kind, empty[i].first) << i;
        EXPECT_EQ(model.row(i).name, empty[i].second) << i;
        EXPECT_FALSE(model.flags(model.index(i)) & Qt::ItemIsSelectable) << i;
    }
}

TEST_F(ListsTest, AddFriend)
{
    EXPECT_FALSE(contacts.addEnabled());
    contacts.setAddInput("  \t ");
    EXPECT_FALSE(contacts.addEnabled());
    contacts.setAddInput("  u42 \t");
    ASSERT_TRUE(contacts.addEnabled());

    FakeSdk::script("add_friend", {{10007, "user not found", ""}});
    await(contacts.addFriend());
    EXPECT_EQ(contacts.toast(), "user not found");
    EXPECT_EQ(contacts.addInput(), "  u42 \t") << "kept after a failure";
    EXPECT_FALSE(contacts.addBusy());

    contacts.clearToast();
    auto pending = contacts.addFriend();
    EXPECT_TRUE(contacts.addBusy());
    EXPECT_FALSE(contacts.addEnabled());
    await(std::move(pending));
    EXPECT_EQ(contacts.toast(), "Request sent");
    EXPECT_EQ(contacts.addInput(), "");
    const auto calls = FakeSdk::callsOf("add_friend");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(calls[1].args[0])).object(),
              (QJsonObject{{"toUserID", "u42"}, {"reqMsg", ""}}));
}

TEST_F(ListsTest, RowActionsReachTheSdkAndReload)
{
    signIn();
    const QJsonObject request{{"fromUserID", "r1"}, {"handleResult", 0}};
    const QJsonObject fay{{"friendInfo", QJsonObject{{"userID", "f1"}, {"nickname", "Fay"}}}};
    scriptLists({fay}, {}, {});
    FakeSdk::script("delete_friend", {{1, "nope", ""}});
    await(contacts.accept(request));
    await(contacts.decline(request));
    await(contacts.deleteFriend(fay));
    await(contacts.block(fay));
    EXPECT_EQ(FakeSdk::callsOf("accept_friend_application").size(), 1u);
    EXPECT_EQ(FakeSdk::callsOf("refuse_friend_application").size(), 1u);
    EXPECT_EQ(FakeSdk::callsOf("delete_friend").at(0).args[0], "f1");
    EXPECT_EQ(FakeSdk::callsOf("add_black").at(0).args[0], "f1");
    EXPECT_GE(FakeSdk::callsOf("get_joined_group_list").size(), 4u) << "each action reloads";
    EXPECT_FALSE(contacts.toast()) << "only adding reports errors";

    root.setTab(MacTab::contacts);
    contacts.message(fay);
    EXPECT_EQ(root.tab(), MacTab::chats);
    EXPECT_EQ(root.selectedConvID(), "si_f1_me");
    EXPECT_EQ(root.conversations().first().value("showName"), "Fay");
    contacts.openGroup(QJsonObject{{"groupID", "g1"}, {"groupName", "Team"}});
    EXPECT_EQ(root.selectedConvID(), "sg_g1");
}

} // namespace
