#include "ImSdkFixture.h"

#include "app/AppState.h"
#include "im/IMService.h"
#include "im/Records.h"
#include "ui/root/RootViewModel.h"

namespace {

using CFacade = ImSdkTest;

// The real libimsdk.so, loaded and driven by the client's IMService: Carol signs in through the
// C functions and talks with Bob's in-process instance.
TEST_F(CFacade, ClientDrivesTheSharedLibraryEndToEnd)
{
    const auto carol = registerUser("carol@example.org", "Carol");
    IMService service{QStringLiteral(IMSDK_PATH)};
    ASSERT_TRUE(service.setup(dir.filePath("client-sdk"))) << service.setupError().toStdString();
    QList<QJsonObject> received;
    QObject receiver;
    QObject::connect(&service, &IMService::newMessages, &receiver, [&](const QJsonObject &m) { received.append(m); });

    const auto signedIn = await(service.login(carol.userID, carol.imToken));
    ASSERT_FALSE(signedIn.error) << signedIn.error->message().toStdString();
    EXPECT_TRUE(spinUntil([&] { return service.connState() == ConnState::connected; }));

    const QString text = service.createText("hello from the client");
    ASSERT_FALSE(text.isEmpty());
    const auto sent = await(service.send(text, bob.userID, {}));
    ASSERT_FALSE(sent.error) << sent.error->message().toStdString();
    EXPECT_EQ(sent.value->value("sendID").toString(), carol.userID);
    EXPECT_TRUE(waitMessage(*b, clientMsgID(text.toUtf8())));

    // The main window's model follows the peer's writing live: the row, its preview and unread.
    AppState app{service, [](QString, QString) -> QCoro::Task<void> { co_return; }};
    RootViewModel root{service, app, nullptr, {}};
    const auto rowOfBob = [&]() -> QJsonObject {
        for (const QJsonObject &c : root.conversations())
            if (c["userID"].toString() == bob.userID)
                return c;
        return {};
    };

    const QByteArray reply = b->sdk->createText("hello back");
    ASSERT_EQ(send(*b, reply, carol.userID).reply.errCode, 0);
    EXPECT_TRUE(spinUntil([&] { return !received.isEmpty(); }));
    ASSERT_FALSE(received.isEmpty());
    EXPECT_EQ(received.first()["clientMsgID"].toString(), clientMsgID(reply));
    EXPECT_TRUE(spinUntil([&] { return Records::unread(rowOfBob()) == 1; }));
    EXPECT_EQ(Records::latestMsgDict(rowOfBob()).value("textElem").toObject().value("content").toString(), "hello back");
    EXPECT_EQ(root.chatsBadge(), "1");

    const auto conversations = await(service.conversations());
    ASSERT_TRUE(conversations.value);
    ASSERT_EQ(conversations.value->size(), 1);
    const QString conversationID = conversations.value->first()["conversationID"].toString();
    const auto history = await(service.history(conversationID, 20, {}));
    ASSERT_TRUE(history.value);
    ASSERT_EQ(history.value->size(), 2);
    EXPECT_EQ(history.value->first()["textElem"]["content"].toString(), "hello from the client");

    const auto bad = await(service.send("{not json", bob.userID, {}));
    ASSERT_TRUE(bad.error);
    EXPECT_EQ(bad.error->code(), ImSdk::kBadArguments);

    await(service.logout());
    EXPECT_EQ(service.connState(), ConnState::idle);
}

} // namespace
