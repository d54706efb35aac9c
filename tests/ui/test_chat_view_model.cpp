#include "FakeSdk.h"
#include "app/AppState.h"
#include "app/SessionStore.h"
#include "e2e/E2E.h"
#include "e2e/E2ETestSupport.h"
#include "e2e/PrefsStore.h"
#include "im/IMService.h"
#include "support/Await.h"
#include "support/EventLoop.h"
#include "support/FakeClock.h"
#include "ui/chat/ChatViewModel.h"
#include "support/ScriptedJson.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

QJsonObject text(const QString &id, const QString &from, const QString &to, const QString &content = "hi")
{
    return {{"clientMsgID", id}, {"sendID", from}, {"recvID", to}, {"contentType", 101},
            {"textElem", QJsonObject{{"content", content}}}};
}

QJsonObject custom(const QString &id, const QString &from, const QString &to, const QString &data, const QString &description = "")
{
    return {{"clientMsgID", id}, {"sendID", from}, {"recvID", to}, {"contentType", 110},
            {"customElem", QJsonObject{{"data", data}, {"description", description}}}};
}

QStringList ids(const QList<QJsonObject> &messages)
{
    QStringList out;
    for (const QJsonObject &m : messages)
        out << m.value("clientMsgID").toString();
    return out;
}

class ChatTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        FakeSdk::reset();
        ASSERT_TRUE(im.setup(dir.path()));
        app.applyLogin({"alice", "tok", "ct"}, "Alice");
        ASSERT_TRUE(spinUntil([&] { return im.connState() == ConnState::connected; }));
        // Chats are opened by a signed-in user.
        aliceE2E.setClock(keysClock.fn());
        chatPtr = std::make_unique<ChatViewModel>(im, aliceE2E, app, clock, "bob", "");
    }
    void TearDown() override
    {
        clock.fire();
        settle();
        SessionStore::remove();
    }

    void settle()
    {
        for (int i = 0; i < 4; ++i) {
            FakeSdk::drain();
            finishBackgroundWork();
        }
    }

    void deliver(const QJsonObject &message)
    {
        FakeSdk::emitMessage(32, json(message).c_str());
        settle();
    }

    // The sent record the SDK answers with for the next send.
    void nextSendAnswers(const QJsonObject &record) { FakeSdk::script("send_message", {{0, "", json(record), 100}}); }

    QTemporaryDir dir;
    IMService im{FAKE_IMSDK_PATH};
    AppState app{im, [](QString, QString) -> QCoro::Task<void> { co_return; }};
    FakeClock clock;
    ManualClock keysClock;
    ServerDirectory directory;
    MemoryStore aliceStore, bobStore;
    E2E aliceE2E{directory, aliceStore};
    E2E bobE2E{directory, bobStore};
    ChatViewModel &chat() { return *chatPtr; }
    std::unique_ptr<ChatViewModel> chatPtr;
};

TEST(ChatIds, ConversationIDs)
{
    EXPECT_EQ(ChatViewModel::deriveConversationID("b7", "a3", ""), "si_a3_b7");
    EXPECT_EQ(ChatViewModel::deriveConversationID("a3", "b7", ""), "si_a3_b7");
    EXPECT_EQ(ChatViewModel::deriveConversationID("a3", "", "g1"), "sg_g1");
}

TEST_F(ChatTest, IncomingFilterAndCarriers)
{
    EXPECT_EQ(chat().conversationID(), "si_alice_bob");
    deliver(text("m1", "bob", "alice"));
    deliver(text("m2", "alice", "bob", "from my phone"));
    deliver(text("x1", "carol", "alice"));
    deliver(QJsonObject{{"clientMsgID", "x2"}, {"sendID", "bob"}, {"groupID", "g1"}, {"contentType", 101}});
    deliver(custom("e1", "bob", "alice", QString::fromUtf8(Protocol::buildEdit("m1", "edited").toUtf8()), "mirelo-edit"));
    deliver(custom("r1", "bob", "alice", Protocol::buildReaction("m1", "👍", "add"), "mirelo-reaction"));
    deliver(custom("c1", "bob", "alice", R"({"mireloSignal":"invite","roomID":"r"})", "mirelo-call"));
    deliver(custom("c2", "bob", "alice", R"({"mireloSignal":"hangup","roomID":"r","duration":3})", "mirelo-call"));

    EXPECT_EQ(ids(chat().messages()), (QStringList{"m1", "m2", "c2"}));
    EXPECT_EQ(chat().edits().value("m1"), "edited");
    EXPECT_EQ(chat().displayText(chat().messages()[0]), "edited");
    EXPECT_EQ(chat().reactions().value("m1").value("👍"), QSet<QString>{"bob"});
    EXPECT_EQ(FakeSdk::callsOf("mark_conversation_message_as_read").size(), 3u) << "every shown message marks the chat read";
}

TEST_F(ChatTest, HistoryPaging)
{
    QJsonArray first, older;
    for (int i = 0; i < 40; ++i)
        first.append(text(QString("n%1").arg(i), "bob", "alice"));
    for (int i = 0; i < 39; ++i)
        older.append(text(QString("o%1").arg(i), "bob", "alice"));
    FakeSdk::script("get_advanced_history_message_list", {{0, "", json(first)}});
    await(chat().loadInitial());
    EXPECT_EQ(chat().messages().size(), 40);
    EXPECT_TRUE(chat().hasMore());

    FakeSdk::script("get_advanced_history_message_list", {{0, "", json(older)}});
    await(chat().loadMore());
    EXPECT_EQ(chat().messages().size(), 79);
    EXPECT_EQ(chat().messages().first().value("clientMsgID"), "o0");
    EXPECT_TRUE(chat().prependedKeepScroll);
    EXPECT_FALSE(chat().hasMore()) << "a page of 39 is the last";
    EXPECT_FALSE(chat().loadingMore());
    const auto calls = FakeSdk::callsOf("get_advanced_history_message_list");
    EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(calls[1].args[0])).object(),
              (QJsonObject{{"conversationID", "si_alice_bob"}, {"count", 40}, {"startClientMsgID", "n0"}}));

    await(chat().loadMore());
    EXPECT_EQ(FakeSdk::callsOf("get_advanced_history_message_list").size(), 2u) << "no request without hasMore";

    ChatViewModel empty{im, aliceE2E, app, clock, "bob", ""};
    FakeSdk::script("get_advanced_history_message_list", {{0, "", "[]"}});
    await(empty.loadInitial());
    EXPECT_FALSE(empty.hasMore());
}

TEST_F(ChatTest, TypingIndicatorResetsFourSecondsAfterTheLastEvent)
{
    auto typing = [&](const char *conversation, bool on) {
        const QJsonObject e{{"conversationID", conversation}, {"userID", "bob"}, {"platformIDs", on ? QJsonArray{1} : QJsonArray{}}};
        FakeSdk::emitConversation(55, json(e).c_str());
        settle();
    };
    typing("si_alice_carol", true);
    EXPECT_FALSE(chat().peerTyping());
    typing("si_alice_bob", true);
    EXPECT_TRUE(chat().peerTyping());
    clock.advance(3000);
    typing("si_alice_bob", true);
    clock.advance(3000);
    settle();
    EXPECT_TRUE(chat().peerTyping()) << "6 s after the first event, 3 s after the second";
    clock.advance(1000);
    settle();
    EXPECT_FALSE(chat().peerTyping());
    typing("si_alice_bob", true);
    typing("si_alice_bob", false);
    EXPECT_FALSE(chat().peerTyping()) << "typing false clears at once";
}

TEST_F(ChatTest, PlainSends)
{
    chat().setDraft(" \n\t ");
    await(chat().sendText());
    EXPECT_EQ(chat().draft(), " \n\t ") << "a blank draft is not sent and stays";
    EXPECT_TRUE(FakeSdk::callsOf("send_message").empty());

    nextSendAnswers(text("s1", "alice", "bob", "hello"));
    chat().setDraft("  hello \n");
    await(chat().sendText());
    EXPECT_EQ(chat().draft(), "");
    EXPECT_EQ(FakeSdk::callsOf("create_text_message").at(0).args[1], "hello");
    EXPECT_EQ(FakeSdk::callsOf("send_message").at(0).args[1], "bob");
    EXPECT_EQ(FakeSdk::callsOf("send_message").at(0).args[2], "");
    EXPECT_EQ(ids(chat().messages()), QStringList{"s1"});

    chat().setQuoting(text("q1", "bob", "alice", "the original"));
    FakeSdk::script("send_message", {{1, "offline", "", 0}});
    chat().setDraft("reply");
    await(chat().sendText());
    EXPECT_FALSE(chat().quoting()) << "the quote path clears quoting before sending";
    EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(FakeSdk::callsOf("create_quote_message").at(0).args[2])).object()
                  .value("clientMsgID"),
              "q1");
    EXPECT_EQ(chat().messages().size(), 1) << "a failed send appends nothing";

    chat().setEditing(text("s1", "alice", "bob", "hello"));
    chat().setDraft("hello again");
    await(chat().sendText());
    const auto edit = FakeSdk::callsOf("create_custom_message").back();
    EXPECT_EQ(edit.args[3], "mirelo-edit");
    EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(edit.args[1])).object().value("newText"), "hello again");
    EXPECT_EQ(chat().displayText(chat().messages()[0]), "hello again");
    EXPECT_FALSE(chat().editing());
    EXPECT_EQ(chat().messages().size(), 1) << "the edit carrier is not shown";
}

TEST_F(ChatTest, GroupChatsSendToTheGroup)
{
    ChatViewModel group{im, aliceE2E, app, clock, "", "g1"};
    EXPECT_EQ(group.conversationID(), "sg_g1");
    group.setSecretMode(true);
    group.setDraft("hi all");
    nextSendAnswers(QJsonObject{{"clientMsgID", "g-sent"}, {"groupID", "g1"}});
    await(group.sendText());
    const auto send = FakeSdk::callsOf("send_message").at(0);
    EXPECT_EQ(send.args[1], "");
    EXPECT_EQ(send.args[2], "g1");
    EXPECT_FALSE(FakeSdk::callsOf("create_text_message").empty()) << "secret mode does not apply to groups";

    deliver(QJsonObject{{"clientMsgID", "g-m"}, {"sendID", "carol"}, {"groupID", "g1"}, {"contentType", 101}});
    EXPECT_EQ(ids(group.messages()), (QStringList{"g-sent", "g-m"}));
    EXPECT_TRUE(chat().messages().isEmpty());
}

TEST_F(ChatTest, SecretChatEndToEnd)
{
    chat().setSecretMode(true);
    chat().setDraft("psst");
    await(chat().sendText());
    EXPECT_EQ(chat().toast(), ChatViewModel::kNoSecretChat) << "the peer has no key yet";
    EXPECT_TRUE(FakeSdk::callsOf("send_message").empty());

    await(aliceE2E.ensureKeys("tok", "alice"));
    await(bobE2E.ensureKeys("tok", "bob"));
    keysClock.now += E2E::kDeviceCacheMs + 1; // the empty answer above is cached for a while
    chat().clearToast();
    nextSendAnswers(QJsonObject{{"clientMsgID", "sec1"}, {"sendID", "alice"}, {"recvID", "bob"}, {"contentType", 110}});
    chat().setDraft("psst");
    await(chat().sendText());
    ASSERT_EQ(FakeSdk::callsOf("create_custom_message").size(), 1u) << chat().toast().value_or("").toStdString();
    const auto created = FakeSdk::callsOf("create_custom_message").back();
    EXPECT_EQ(created.args[3], "mirelo-secret");
    EXPECT_FALSE(QString::fromStdString(created.args[1]).contains("psst")) << "no plaintext on the wire";
    EXPECT_EQ(chat().displayText(chat().messages().last()), "psst");
    EXPECT_EQ(aliceE2E.ptLoad().map.value("sec1"), R"({"kind":"text","text":"psst"})");

    // Bob answers with a text, then edits it and reacts, all encrypted.
    auto fromBob = [&](const QString &id, const QJsonObject &payload) {
        const auto envelope = await(bobE2E.buildSecretEnvelope("tok", "bob", "alice", payload));
        EXPECT_TRUE(envelope.value && *envelope.value);
        return custom(id, "bob", "alice", envelope.value->value_or(""), "mirelo-secret");
    };
    const QJsonObject reply = fromBob("b1", {{"kind", "text"}, {"text", "hello back"}});
    deliver(reply);
    ASSERT_TRUE(spinUntil([&] { return chat().secretTexts().contains("b1"); }));
    EXPECT_EQ(chat().displayText(chat().messages().last()), "hello back");

    deliver(fromBob("b2", {{"kind", "edit"}, {"targetClientMsgID", "b1"}, {"text", "hello, edited"}}));
    deliver(fromBob("b3", {{"kind", "reaction"}, {"targetClientMsgID", "sec1"}, {"emoji", "❤️"}}));
    ASSERT_TRUE(spinUntil([&] { return chat().secretTexts().contains("b3"); }));
    settle();
    EXPECT_EQ(ids(chat().messages()), (QStringList{"sec1", "b1"})) << "secret carriers leave the list";
    EXPECT_EQ(chat().displayText(chat().messages().last()), "hello, edited");
    EXPECT_EQ(chat().reactions().value("sec1").value("❤️"), QSet<QString>{"bob"});

    // The same message again is not decrypted again.
    const auto before = chat().secretTexts();
    deliver(reply);
    settle();
    EXPECT_EQ(chat().secretTexts(), before);

    // Garbage is marked once and shown by its preview.
    deliver(custom("bad", "bob", "alice", R"({"mireloType":"secret","v":3})", "mirelo-secret"));
    ASSERT_TRUE(spinUntil([&] { return chat().secretTexts().contains("bad"); }));
    EXPECT_EQ(chat().secretTexts().value("bad"), ChatViewModel::kUndecryptable);
    EXPECT_EQ(chat().displayText(chat().messages().last()), "[密聊消息]");

    await(chat().showSafetyCode());
    ASSERT_TRUE(chat().safetyCode());
    EXPECT_EQ(chat().safetyCode()->size(), 13);
}

TEST_F(ChatTest, ReactionsAndDeletes)
{
    await(chat().sendReaction("m1", "👍"));
    EXPECT_EQ(chat().reactions().value("m1").value("👍"), QSet<QString>{"alice"});
    await(chat().sendReaction("m1", "👍"));
    EXPECT_FALSE(chat().reactions().value("m1").contains("👍"));
    const auto carriers = FakeSdk::callsOf("create_custom_message");
    ASSERT_EQ(carriers.size(), 2u);
    EXPECT_EQ(carriers[1].args[3], "mirelo-reaction");
    EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(carriers[1].args[1])).object().value("op"), "remove");

    deliver(text("m1", "bob", "alice"));
    FakeSdk::script("delete_message", {{1, "failed", ""}});
    await(chat().deleteLocal(chat().messages()[0]));
    EXPECT_EQ(chat().messages().size(), 1) << "removed only after the SDK agrees";
    await(chat().deleteLocal(chat().messages()[0]));
    EXPECT_TRUE(chat().messages().isEmpty());
}

TEST_F(ChatTest, RecallMarksTheMessageOnlyWhenTheSdkAgrees)
{
    deliver(text("m7", "alice", "bob"));
    FakeSdk::script("revoke_message", {{1, "too late", ""}});
    await(chat().revoke(chat().messages()[0]));
    EXPECT_TRUE(chat().revokedIDs().isEmpty());
    // No recall notice follows: the recall itself marks the message.
    await(chat().revoke(chat().messages()[0]));
    EXPECT_EQ(chat().revokedIDs(), QSet<QString>{"m7"});
    const auto calls = FakeSdk::callsOf("revoke_message");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].args, (std::vector<std::string>{"si_alice_bob", "m7"}));
}

TEST_F(ChatTest, RecallNoticesFromThePeerMarkTheirMessage)
{
    deliver(text("m1", "bob", "alice"));
    deliver(text("m2", "bob", "alice"));
    int changes = 0;
    QObject::connect(&chat(), &ChatViewModel::revokedIDsChanged, [&] { ++changes; });
    const QJsonObject notice{{"clientMsgID", "m1"}, {"revokerID", "bob"}, {"sourceMessageSendID", "bob"},
                             {"conversationID", "si_alice_bob"}, {"sessionType", 1}};
    for (int i = 0; i < 2; ++i) {
        FakeSdk::emitMessage(35, json(notice).c_str());
        settle();
    }
    EXPECT_EQ(chat().revokedIDs(), QSet<QString>{"m1"});
    EXPECT_EQ(changes, 1) << "a repeated notice changes nothing";
    EXPECT_TRUE(FakeSdk::callsOf("revoke_message").empty());

    for (const char *bad : {R"({"clientMsgID":7,"conversationID":"si_alice_bob"})", R"({"conversationID":"si_alice_bob"})", "[]", "not json"}) {
        FakeSdk::emitMessage(35, bad);
        settle();
    }
    EXPECT_EQ(chat().revokedIDs(), QSet<QString>{"m1"}) << "notices without a text ID are ignored";
}

// Closing the chat (destroying its view model) while one of its operations waits must neither
// touch the freed object nor send anything on its behalf afterwards.
TEST_F(ChatTest, ClosingTheChatWhileASecretSendEncrypts)
{
    await(aliceE2E.ensureKeys("tok", "alice"));
    await(bobE2E.ensureKeys("tok", "bob"));
    const QJsonObject secretMessage = custom("sec0", "alice", "bob", R"({"mireloType":"secret","v":3})", "mirelo-secret");
    struct Case {
        const char *name;
        std::function<QCoro::Task<void>(ChatViewModel &)> start;
    };
    const Case cases[] = {
        {"secret reaction", [](ChatViewModel &c) { return c.sendReaction("m1", "👍"); }},
        {"secret edit",
         [&](ChatViewModel &c) {
             c.setEditing(secretMessage);
             c.setDraft("fixed");
             return c.sendText();
         }},
        {"secret text",
         [](ChatViewModel &c) {
             c.setDraft("psst");
             return c.sendText();
         }},
    };
    for (const Case &tc : cases) {
        SCOPED_TRACE(tc.name);
        auto closing = std::make_unique<ChatViewModel>(im, aliceE2E, app, clock, "bob", "");
        closing->setSecretMode(true);
        const size_t created = FakeSdk::callsOf("create_custom_message").size();
        QCoro::Task<void> operation = tc.start(*closing);
        ASSERT_FALSE(operation.isReady()) << "the envelope is built asynchronously";
        closing.reset();
        await(std::move(operation));
        settle();
        EXPECT_EQ(FakeSdk::callsOf("create_custom_message").size(), created);
        EXPECT_TRUE(FakeSdk::callsOf("send_message").empty());
    }
}

TEST_F(ChatTest, ClosingTheChatWhileASendOrLoadWaits)
{
    await(aliceE2E.ensureKeys("tok", "alice"));
    await(bobE2E.ensureKeys("tok", "bob"));
    struct Case {
        const char *name;
        const char *sdkCall; // held until the chat is gone
        bool secret;
        std::function<QCoro::Task<void>(ChatViewModel &)> start;
    };
    const Case cases[] = {
        {"secret reaction", "send_message", true, [](ChatViewModel &c) { return c.sendReaction("m1", "👍"); }},
        {"secret text", "send_message", true,
         [](ChatViewModel &c) {
             c.setDraft("psst");
             return c.sendText();
         }},
        {"plain text", "send_message", false,
         [](ChatViewModel &c) {
             c.setDraft("hello");
             return c.sendText();
         }},
        {"image", "send_message", false, [](ChatViewModel &c) { return c.sendImage("/tmp/a.png"); }},
        {"recall", "revoke_message", false, [](ChatViewModel &c) { return c.revoke(text("m1", "alice", "bob")); }},
        {"delete", "delete_message", false, [](ChatViewModel &c) { return c.deleteLocal(text("m1", "bob", "alice")); }},
        {"history", "get_advanced_history_message_list", false, [](ChatViewModel &c) { return c.loadInitial(); }},
        {"safety code", "", true, [](ChatViewModel &c) { return c.showSafetyCode(); }},
    };
    for (const Case &tc : cases) {
        SCOPED_TRACE(tc.name);
        auto closing = std::make_unique<ChatViewModel>(im, aliceE2E, app, clock, "bob", "");
        closing->setSecretMode(tc.secret);
        const std::string call = tc.sdkCall;
        const size_t before = call.empty() ? 0 : FakeSdk::callsOf(call).size();
        if (!call.empty())
            FakeSdk::hold(call);
        QCoro::Task<void> operation = tc.start(*closing);
        if (!call.empty())
            ASSERT_TRUE(spinUntil([&] { return FakeSdk::callsOf(call).size() > before; }));
        closing.reset();
        if (!call.empty())
            FakeSdk::release(call);
        await(std::move(operation));
        settle();
    }
}

// A recall notice names an ID, a conversation and the recalling sender: a copy of the ID in
// another conversation, or a recall by someone else, leaves the shown message alone.
TEST_F(ChatTest, RecallsTouchOnlyTheSendersMessageInThisChat)
{
    deliver(text("m1", "bob", "alice"));
    deliver(text("m2", "alice", "bob"));
    struct Case {
        const char *name;
        QJsonObject notice;
        QSet<QString> recalled;
    };
    const Case cases[] = {
        {"same ID in a group", {{"clientMsgID", "m1"}, {"conversationID", "sg_g1"}, {"revokerID", "bob"}}, {}},
        {"same ID in another one-to-one chat", {{"clientMsgID", "m1"}, {"conversationID", "si_bob_carol"}, {"revokerID", "bob"}}, {}},
        {"someone else recalls it", {{"clientMsgID", "m1"}, {"conversationID", "si_alice_bob"}, {"revokerID", "carol"}}, {}},
        {"no conversation", {{"clientMsgID", "m1"}, {"revokerID", "bob"}}, {}},
        {"the peer recalls a message of mine", {{"clientMsgID", "m2"}, {"conversationID", "si_alice_bob"}, {"revokerID", "bob"}}, {}},
        {"the peer recalls their own", {{"clientMsgID", "m1"}, {"conversationID", "si_alice_bob"}, {"revokerID", "bob"}}, {"m1"}},
        {"my other device recalls mine", {{"clientMsgID", "m2"}, {"conversationID", "si_alice_bob"}, {"revokerID", "alice"}}, {"m1", "m2"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FakeSdk::emitMessage(35, json(c.notice).c_str());
        settle();
        EXPECT_EQ(chat().revokedIDs(), c.recalled);
    }
}

TEST_F(ChatTest, ForwardAndMediaSends)
{
    const QJsonObject message = text("m1", "bob", "alice", "look");
    EXPECT_TRUE(*await(chat().forward(message, {{"conversationID", "sg_g2"}, {"groupID", "g2"}})).value);
    const auto send = FakeSdk::callsOf("send_message").at(0);
    EXPECT_EQ(send.args[1], "");
    EXPECT_EQ(send.args[2], "g2");
    EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(FakeSdk::callsOf("create_forward_message").at(0).args[1])).object(),
              message);
    FakeSdk::script("send_message", {{1, "no", "", 0}});
    EXPECT_FALSE(*await(chat().forward(message, {{"userID", "carol"}})).value);

    nextSendAnswers(QJsonObject{{"clientMsgID", "img"}, {"contentType", 102}});
    await(chat().sendImage("/tmp/a.png"));
    FakeSdk::script("send_message", {{1, "upload failed", "", 40}});
    await(chat().sendFile("/tmp/b.pdf", "b.pdf"));
    EXPECT_EQ(ids(chat().messages()), QStringList{"img"});
    EXPECT_EQ(FakeSdk::callsOf("create_file_message_from_full_path").at(0).args[2], "b.pdf");
}

} // namespace
