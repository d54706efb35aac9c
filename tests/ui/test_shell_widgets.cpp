#include "FakeSdk.h"
#include "app/AppState.h"
#include "app/MacNotify.h"
#include "app/SessionStore.h"
#include "im/IMService.h"
#include "l10n/L10n.h"
#include "support/EventLoop.h"
#include "base/Clock.h"
#include "ui/app/MacMainWindow.h"
#include "ui/contacts/ContactsViewModel.h"
#include "ui/contacts/MacContactsPane.h"
#include "ui/newchat/NewChatSheet.h"
#include "ui/root/ConversationListModel.h"
#include "ui/root/ConversationListPane.h"
#include "ui/root/MacRootView.h"
#include "ui/chat/ChatPaneHost.h"
#include "ui/signin/SignInView.h"
#include "support/ScriptedJson.h"

#include <QApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

namespace {

using Field = SignInViewModel::Field;
using Link = SignInViewModel::Link;

class NullBus : public DesktopBus {
public:
    void notify(const QString &, const QString &, const QVariantMap &) override {}
    void updateLauncher(const QVariantMap &properties) override { launcher.append(properties); }
    QList<QVariantMap> launcher;
};

// A main window over the fake SDK; `library` chooses the IM SDK it loads.
class Shell {
public:
    explicit Shell(const QString &library = FAKE_IMSDK_PATH)
        : im(library), app(im, [](QString, QString) -> QCoro::Task<void> { co_return; }),
          notify(bus, [] { return false; }), window(MacShellServices{im, app, notify, Clock::system(), {}})
    {
    }

    void show()
    {
        window.show();
        QApplication::setActiveWindow(&window);
        spinUntil([&] { return FakeSdk::callsOf("init_sdk").size() > 0 || app.bootError(); }, 2000);
        QCoreApplication::processEvents();
    }
    void signIn()
    {
        app.applyLogin({"me", "tok", "ct"}, "Me");
        spinUntil([&] { return im.connState() == ConnState::connected; });
        FakeSdk::drain();
        QCoreApplication::processEvents();
    }
    void key(int key, Qt::KeyboardModifiers modifiers = Qt::ControlModifier)
    {
        QWidget *target = QApplication::focusWidget() ? QApplication::focusWidget() : &window;
        QTest::keyClick(target, Qt::Key(key), modifiers);
        QCoreApplication::processEvents();
    }

    NullBus bus;
    IMService im;
    AppState app;
    MacNotify notify;
    MacMainWindow window;
};

class ShellTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        FakeSdk::reset();
        SessionStore::remove();
        L10n::setLang("en");
        QCoreApplication::processEvents();
    }
    void TearDown() override
    {
        FakeSdk::drain();
        QCoreApplication::processEvents();
        SessionStore::remove();
    }
};

TEST_F(ShellTest, MissingSdkShowsTheStartUpErrorOnTheSignInScreen)
{
    Shell shell("/nonexistent/libimsdk.so");
    shell.show();
    ASSERT_TRUE(spinUntil([&] { return shell.app.bootError().has_value(); }));
    ASSERT_TRUE(shell.window.signInView());
    QLabel *error = shell.window.signInView()->bootErrorLabel();
    EXPECT_TRUE(error->isVisibleTo(&shell.window));
    EXPECT_EQ(error->text(), QString::fromUtf8(AppState::kSdkInitFailed));
    EXPECT_EQ(shell.window.windowTitle(), "Sarvo");
}

TEST_F(ShellTest, SignInModesShowTheirFieldsAndKeepWhatWasTyped)
{
    Shell shell;
    shell.show();
    SignInView *view = shell.window.signInView();
    ASSERT_TRUE(view);
    auto shown = [&](Field f) { return view->edit(f)->isVisibleTo(view); };

    EXPECT_TRUE(shown(Field::account) && shown(Field::password));
    EXPECT_FALSE(shown(Field::email) || shown(Field::code) || shown(Field::nickname));
    EXPECT_FALSE(view->primaryButton()->isEnabled());
    QTest::keyClicks(view->edit(Field::account), "  ");
    QTest::keyClicks(view->edit(Field::password), "x");
    EXPECT_FALSE(view->primaryButton()->isEnabled()) << "blank account";
    QTest::keyClicks(view->edit(Field::account), "ann");
    EXPECT_TRUE(view->primaryButton()->isEnabled());
    EXPECT_EQ(view->primaryButton()->text(), "Sign in");

    QTest::mouseClick(view->linkButton(Link::toSignUp), Qt::LeftButton);
    EXPECT_EQ(view->model().mode(), SignInViewModel::Mode::signUp);
    for (Field f : {Field::nickname, Field::email, Field::code, Field::password})
        EXPECT_TRUE(shown(f)) << int(f);
    EXPECT_FALSE(shown(Field::account));
    EXPECT_EQ(view->edit(Field::password)->text(), "") << "the password is emptied";
    EXPECT_EQ(view->edit(Field::password)->placeholderText(), "Set password");
    EXPECT_EQ(view->codeButton()->text(), "Send code");
    EXPECT_FALSE(view->codeButton()->isEnabled());
    QTest::keyClicks(view->edit(Field::email), "ann@x.io");
    QTest::keyClicks(view->edit(Field::nickname), "Ann");
    EXPECT_TRUE(view->codeButton()->isEnabled());

    QTest::mouseClick(view->linkButton(Link::toLogin), Qt::LeftButton);
    EXPECT_EQ(view->edit(Field::account)->text(), "  ann") << "account kept";
    QTest::mouseClick(view->linkButton(Link::toReset), Qt::LeftButton);
    EXPECT_EQ(view->edit(Field::email)->text(), "ann@x.io") << "e-mail kept";
    EXPECT_EQ(view->primaryButton()->text(), "Reset & sign in");
    EXPECT_FALSE(view->linkButton(Link::toReset)->isVisibleTo(view));
}

TEST_F(ShellTest, MenuShortcuts)
{
    Shell shell;
    shell.show();
    shell.key(Qt::Key_N);
    EXPECT_FALSE(shell.window.root().showNewChat()) << "ignored while signed out";

    shell.signIn();
    ASSERT_FALSE(shell.window.signInView());
    MacRootView *view = shell.window.rootView();
    EXPECT_TRUE(view->isVisibleTo(&shell.window));

    const std::pair<int, MacTab> tabs[] = {
        {Qt::Key_2, MacTab::contacts}, {Qt::Key_3, MacTab::moments}, {Qt::Key_4, MacTab::me}, {Qt::Key_1, MacTab::chats}};
    for (const auto &[key, tab] : tabs) {
        shell.key(key);
        EXPECT_EQ(shell.window.root().tab(), tab) << key;
        EXPECT_EQ(view->currentPage()->objectName().isEmpty(), tab == MacTab::moments || tab == MacTab::me);
    }
    EXPECT_EQ(shell.window.command("chats")->text(), "Chats");
    EXPECT_EQ(shell.window.command("newChat")->shortcut(), QKeySequence("Ctrl+N"));

    shell.key(Qt::Key_4);
    shell.key(Qt::Key_N);
    EXPECT_EQ(shell.window.root().tab(), MacTab::chats);
    EXPECT_TRUE(shell.window.root().showNewChat());
    EXPECT_TRUE(view->newChatSheet()->isVisible());
    shell.key(Qt::Key_Escape, Qt::NoModifier);
    EXPECT_FALSE(shell.window.root().showNewChat()) << "Escape cancels the sheet";
    EXPECT_FALSE(view->newChatSheet()->isVisible());

    shell.key(Qt::Key_2);
    shell.key(Qt::Key_F);
    EXPECT_EQ(shell.window.root().tab(), MacTab::chats);
    EXPECT_TRUE(view->listPane()->searchField()->hasFocus());

    L10n::setLang("zh");
    ASSERT_TRUE(spinUntil([&] { return shell.window.command("chats")->text() == "会话"; }));
    EXPECT_EQ(shell.window.command("searchChats")->text(), "搜索会话");
}

TEST_F(ShellTest, PickingAFriendOpensTheChat)
{
    Shell shell;
    shell.show();
    FakeSdk::script("get_friend_list", {{0, "", json({QJsonObject{{"userID", "bob"}, {"nickname", "Bob"}},
                                                      QJsonObject{{"userID", "cy"}, {"nickname", "Cy"}}})}});
    shell.signIn();
    ASSERT_TRUE(spinUntil([&] { return shell.window.root().friends().size() == 2; }));
    MacRootView *view = shell.window.rootView();
    shell.window.root().setShowNewChat(true);
    NewChatSheet *sheet = view->newChatSheet();
    QTest::keyClicks(sheet->searchField(), "  c ");
    ASSERT_EQ(sheet->listView()->model()->rowCount(), 1);
    QTest::keyClick(sheet->searchField(), Qt::Key_Return);
    EXPECT_FALSE(sheet->isVisible());
    EXPECT_EQ(shell.window.root().selectedConvID(), "si_cy_me");
    EXPECT_FALSE(view->chatPane()->showsEmptyState());
    EXPECT_EQ(view->chatPane()->title(), "Cy");
}

TEST_F(ShellTest, RowMenuReachesTheModel)
{
    Shell shell;
    shell.show();
    shell.signIn();
    FakeSdk::script("get_all_conversation_list",
                    {{0, "", json({QJsonObject{{"conversationID", "si_a_me"}, {"showName", "Ann"}, {"unreadCount", 3}, {"latestMsgSendTime", 9}},
                                   QJsonObject{{"conversationID", "si_b_me"}, {"showName", "Bo"}, {"isPinned", true}, {"recvMsgOpt", 2}}})}});
    shell.window.root().reloadConversations();
    ConversationListPane *pane = shell.window.rootView()->listPane();
    ASSERT_TRUE(spinUntil([&] { return pane->model()->rowCount() == 2; }));

    auto texts = [](QMenu *menu) {
        QStringList out;
        for (QAction *a : menu->actions())
            out << (a->isSeparator() ? "—" : a->text());
        return out;
    };
    std::unique_ptr<QMenu> pinned(pane->buildContextMenu(0, nullptr));
    EXPECT_EQ(texts(pinned.get()), (QStringList{"Unpin", "Unmute", "—", "Delete chat"}));
    std::unique_ptr<QMenu> unread(pane->buildContextMenu(1, nullptr));
    EXPECT_EQ(texts(unread.get()), (QStringList{"Pin", "Mute", "Mark as read", "—", "Delete chat"}));

    shell.window.root().setSelectedConvID("si_a_me");
    const size_t reloads = FakeSdk::callsOf("get_all_conversation_list").size();
    for (QAction *a : unread->actions())
        if (!a->isSeparator())
            a->trigger();
    ASSERT_TRUE(spinUntil([&] { return FakeSdk::callsOf("get_all_conversation_list").size() >= reloads + 4; }));
    const auto set = FakeSdk::callsOf("set_conversation");
    ASSERT_EQ(set.size(), 2u);
    EXPECT_EQ(set[0].args, (std::vector<std::string>{"si_a_me", R"({"isPinned":true})"}));
    EXPECT_EQ(set[1].args, (std::vector<std::string>{"si_a_me", R"({"recvMsgOpt":2})"}));
    EXPECT_EQ(FakeSdk::callsOf("mark_conversation_message_as_read").size(), 1u);
    EXPECT_EQ(FakeSdk::callsOf("hide_conversation").at(0).args[0], "si_a_me");
    EXPECT_EQ(shell.window.root().selectedConvID(), "");
    EXPECT_TRUE(shell.window.rootView()->chatPane()->showsEmptyState());
}

TEST_F(ShellTest, BadgesReachTrayAndLauncher)
{
    Shell shell;
    shell.show();
    shell.signIn();
    FakeSdk::script("get_all_conversation_list",
                    {{0, "", json({QJsonObject{{"conversationID", "si_a_me"}, {"unreadCount", 150}},
                                   QJsonObject{{"conversationID", "si_b_me"}, {"unreadCount", 5}, {"recvMsgOpt", 1}}})}});
    shell.window.root().reloadConversations();
    ASSERT_TRUE(spinUntil([&] { return shell.window.root().launcherBadge() == "99+"; }));
    EXPECT_EQ(shell.window.trayToolTip(), "Sarvo (99+)");
    ASSERT_FALSE(shell.bus.launcher.isEmpty());
    EXPECT_EQ(shell.bus.launcher.last().value("count").toLongLong(), 150);
    const ConversationListModel *model = shell.window.rootView()->listPane()->model();
    EXPECT_EQ(model->index(0).data(ConversationListModel::BadgeRole).toString(), "99");

    shell.app.logout();
    QCoreApplication::processEvents();
    EXPECT_EQ(shell.bus.launcher.last().value("count-visible"), false) << "no badge while signed out";
}

TEST_F(ShellTest, ClosingHidesTheWindowAndRemembersItsFrame)
{
    QStringList lines;
    static QStringList *sink = nullptr;
    sink = &lines;
    const QtMessageHandler previous = qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &m) {
        if (sink)
            sink->append(m);
    });
    {
        Shell shell;
        shell.show();
        shell.window.resize(900, 640);
        QCoreApplication::processEvents();
        EXPECT_FALSE(shell.window.close()) << "the close is refused";
        EXPECT_FALSE(shell.window.isVisible());
        EXPECT_TRUE(lines.contains("MIRELO windowWillClose: 'Sarvo'"));
        shell.window.bringToFront();
        EXPECT_TRUE(shell.window.isVisible());
    }
    qInstallMessageHandler(previous);
    sink = nullptr;
    Shell again;
    EXPECT_EQ(again.window.size(), QSize(900, 640));
}

TEST_F(ShellTest, ContactsAddFriendShowsTheToast)
{
    Shell shell;
    shell.show();
    shell.signIn();
    shell.window.root().setTab(MacTab::contacts);
    MacContactsPane *pane = shell.window.rootView()->contactsPane();
    ASSERT_TRUE(spinUntil([&] { return pane->isVisible(); }));
    EXPECT_FALSE(pane->addButton()->isEnabled());
    QTest::keyClicks(pane->addField(), " u42 ");
    EXPECT_TRUE(pane->addButton()->isEnabled());
    QTest::mouseClick(pane->addButton(), Qt::LeftButton);
    ASSERT_TRUE(spinUntil([&] { return pane->toast()->isVisible(); }));
    EXPECT_EQ(pane->toast()->text(), "Request sent");
    EXPECT_EQ(pane->addField()->text(), "");
}

} // namespace
