#include "ImSdkFixture.h"

#include "core/Cache.h"
#include "core/Connection.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <sqlite3.h>

using ImSdk::ListenerKind;

namespace {

// A TCP relay in front of the service whose open connections can go silent: bytes stop flowing
// both ways while both sockets stay open, like a link that died without a goodbye (a laptop
// waking on another network). Connections made afterwards flow again.
class SilentRelay {
public:
    explicit SilentRelay(quint16 target)
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&m_server, &QTcpServer::newConnection, [this, target] {
            while (QTcpSocket *in = m_server.nextPendingConnection()) {
                auto *out = new QTcpSocket(in);
                auto silent = std::make_shared<bool>(false);
                m_links.append(silent);
                const auto pump = [silent](QTcpSocket *from, QTcpSocket *to) {
                    QObject::connect(from, &QTcpSocket::readyRead, to, [from, to, silent] {
                        const QByteArray bytes = from->readAll();
                        if (!*silent)
                            to->write(bytes);
                    });
                };
                pump(in, out);
                pump(out, in);
                QObject::connect(in, &QTcpSocket::disconnected, in, &QObject::deleteLater);
                out->connectToHost(QHostAddress::LocalHost, target);
            }
        });
    }
    QString url() const { return QStringLiteral("wss://127.0.0.1:%1/msg_gateway").arg(m_server.serverPort()); }
    void silenceOpenLinks()
    {
        for (const auto &silent : std::as_const(m_links))
            *silent = true;
    }

private:
    QTcpServer m_server;
    QList<std::shared_ptr<bool>> m_links;
};

class Sessions : public ImSdkTest {
protected:
    static bool hasConnectionEvent(Client &c, int event) { return !c.recorder->events(ListenerKind::Connection, event).isEmpty(); }
};

TEST_F(Sessions, RevokedTokenEndsTheSession)
{
    ASSERT_TRUE(await(ChatApi::sendEmailCode("bob@example.org", "reset")).value);
    const auto reset = await(ChatApi::emailReset("bob@example.org", outboxCode("bob@example.org"), "new-password"));
    ASSERT_FALSE(reset.error) << reset.error->message().toStdString();
    EXPECT_TRUE(spinUntil([&] { return hasConnectionEvent(*b, ImSdk::Event::TokenInvalid); }));
    b->recorder->clear();
    // No reconnect follows: the next call finds no connection.
    EXPECT_EQ(call([&](ImSdk::Callback cb) { b->sdk->selfInfo(cb); }).errCode, ImSdk::kNotConnected);
    EXPECT_FALSE(hasConnectionEvent(*b, ImSdk::Event::Connecting));
    // The old token no longer signs in either.
    EXPECT_EQ(login(*b).errCode, 1501);
}

// A dropped connection comes back by itself and syncs what arrived meanwhile.
TEST_F(Sessions, LostConnectionReconnectsAndCatchesUp)
{
    b->recorder->clear();
    local->gateway().kick(b->id(), "test", Gateway::ProtocolViolation);
    ASSERT_TRUE(spinUntil([&] { return hasConnectionEvent(*b, ImSdk::Event::ConnectFailed); }));
    const QByteArray message = a->sdk->createText("while you reconnect");
    ASSERT_EQ(send(*a, message, b->id()).reply.errCode, 0);
    EXPECT_TRUE(waitMessage(*b, clientMsgID(message)));
    EXPECT_TRUE(hasConnectionEvent(*b, ImSdk::Event::Connected));
    EXPECT_EQ(b->recorder->events(ListenerKind::Message, 32).size(), 1);
}

TEST_F(Sessions, SilentLinkIsGivenUpAfterAnUnansweredPing)
{
    SilentRelay relay(local->port());
    const ImSdk::Connection::Timing quick{300, 300, 2000};
    Client &carol = client(registerUser("carol@example.org", "Carol"), "carol", relay.url(), quick);
    ASSERT_EQ(login(carol).errCode, 0);
    carol.recorder->clear();

    relay.silenceOpenLinks();
    // No close ever arrives: only the unanswered ping shows that the link is gone.
    ASSERT_TRUE(spinUntil([&] { return hasConnectionEvent(carol, ImSdk::Event::ConnectFailed); }, 5000));
    EXPECT_TRUE(spinUntil([&] { return hasConnectionEvent(carol, ImSdk::Event::Connected); }, 10000)) << "a new link replaces it";
    const QByteArray message = a->sdk->createText("after the silence");
    ASSERT_EQ(send(*a, message, carol.user.userID).reply.errCode, 0);
    EXPECT_TRUE(waitMessage(carol, clientMsgID(message)));
}

TEST(Backoff, DoublesFromOneSecondToThirtyWithJitter)
{
    QRandomGenerator random(7);
    const struct {
        int attempt, low, high;
    } cases[] = {{0, 800, 1200}, {1, 1600, 2400}, {3, 6400, 9600}, {4, 12800, 19200}, {5, 24000, 30000}, {40, 24000, 30000}};
    for (const auto &c : cases)
        for (int i = 0; i < 50; ++i) {
            const int ms = ImSdk::Connection::backoffMs(c.attempt, random);
            EXPECT_TRUE(ms >= c.low && ms <= c.high) << c.attempt << ": " << ms;
        }
}

TEST_F(Sessions, ProfileCallsAnswerInTheirShapes)
{
    const Reply self = call([&](ImSdk::Callback cb) { a->sdk->selfInfo(cb); });
    EXPECT_EQ(self.object()["nickname"].toString(), "Alice");
    ASSERT_EQ(call([&](ImSdk::Callback cb) { a->sdk->setSelfInfo(R"({"nickname":"Ally"})", cb); }).errCode, 0);
    const QByteArray ids = QJsonDocument(QJsonArray{a->id(), "unknown-user"}).toJson();
    const QJsonArray users = call([&](ImSdk::Callback cb) { b->sdk->usersInfo(ids, cb); }).array();
    ASSERT_EQ(users.size(), 1);
    EXPECT_EQ(users[0]["nickname"].toString(), "Ally");
    EXPECT_EQ(call([&](ImSdk::Callback cb) { b->sdk->usersInfo(R"([1,2])", cb); }).errCode, ImSdk::kBadArguments);
    EXPECT_EQ(call([&](ImSdk::Callback cb) { b->sdk->groups(cb); }).array().size(), 0);
}

// A user who synced once starts from the cache when the server is away, and catches up later.
TEST_F(Sessions, OfflineStartServesTheCache)
{
    const QByteArray message = a->sdk->createText("cached");
    ASSERT_EQ(send(*a, message, b->id()).reply.errCode, 0);
    ASSERT_TRUE(waitMessage(*b, clientMsgID(message)));
    ASSERT_TRUE(waitEvent(*b, ListenerKind::Conversation, 29));
    ASSERT_EQ(call([&](ImSdk::Callback cb) { b->sdk->logout(cb); }).errCode, 0);

    clients.erase(clients.begin()); // Alice's instance goes before her server does
    a = nullptr;
    local.reset();

    Client &offline = client(bob, "b"); // the same data directory
    ASSERT_EQ(login(offline).errCode, 0);
    EXPECT_TRUE(spinUntil([&] { return hasConnectionEvent(offline, ImSdk::Event::ConnectFailed); }));
    const QJsonArray conversations = call([&](ImSdk::Callback cb) { offline.sdk->conversations(cb); }).array();
    ASSERT_EQ(conversations.size(), 1);
    const QString conversationID = conversations[0]["conversationID"].toString();
    const QByteArray options = QJsonDocument(QJsonObject{{"conversationID", conversationID}, {"count", 10}, {"startClientMsgID", ""}}).toJson();
    const QJsonObject page = call([&](ImSdk::Callback cb) { offline.sdk->history(options, cb); }).object();
    ASSERT_EQ(page["messageList"].toArray().size(), 1);
    EXPECT_EQ(page["messageList"][0]["textElem"]["content"].toString(), "cached");
    EXPECT_TRUE(page["isEnd"].toBool());
    EXPECT_EQ(send(offline, offline.sdk->createText("later"), alice.userID).reply.errCode, ImSdk::kNotConnected);

    // Without a cache there is nothing to start from: the network error is the answer.
    Client &stranger = client(alice, "fresh");
    const Reply refused = login(stranger);
    EXPECT_EQ(refused.errCode, ImSdk::kNotConnected);
    EXPECT_FALSE(refused.errMsg.isEmpty());
}

TEST_F(Sessions, DamagedCacheIsSetAsideAndRebuilt)
{
    ASSERT_EQ(call([&](ImSdk::Callback cb) { b->sdk->logout(cb); }).errCode, 0);
    const QString path = b->dataDir + "/" + bob.userID + "/cache.db";
    ASSERT_TRUE(QFile::exists(path));
    // History and log are the owner's alone.
    for (const QString &dir : {b->dataDir + "/" + bob.userID, b->dataDir + "/log"})
        EXPECT_EQ(QFile::permissions(dir) & (QFileDevice::ReadGroup | QFileDevice::ReadOther | QFileDevice::ExeOther), 0) << dir.toStdString();
    for (const QString &suffix : {QString(), QString("-wal"), QString("-shm")})
        QFile::remove(path + suffix);
    QFile damaged(path);
    ASSERT_TRUE(damaged.open(QIODevice::WriteOnly));
    damaged.write(QByteArray(8192, '\x5a'));
    damaged.close();

    ASSERT_EQ(login(*b).errCode, 0);
    const QByteArray message = a->sdk->createText("after the repair");
    ASSERT_EQ(send(*a, message, b->id()).reply.errCode, 0);
    EXPECT_TRUE(waitMessage(*b, clientMsgID(message)));
    EXPECT_EQ(QDir(b->dataDir + "/" + bob.userID).entryList({"cache.db.corrupt-*"}).size(), 1);
}

// A cache of the first layout, which keyed messages by clientMsgID alone, is upgraded in place:
// cursor, conversations and messages stay, and an ID may then live in two conversations.
TEST(CacheUpgrade, FirstLayoutKeepsItsDataAndKeysByConversation)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("cache.db");
    {
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open(path.toUtf8().constData(), &db), SQLITE_OK);
        const char *first = R"(
CREATE TABLE meta (key TEXT PRIMARY KEY, value INTEGER NOT NULL);
CREATE TABLE conversations (id TEXT PRIMARY KEY, hidden INTEGER NOT NULL DEFAULT 0, pinned INTEGER NOT NULL DEFAULT 0,
  latest INTEGER NOT NULL DEFAULT 0, json TEXT NOT NULL);
CREATE TABLE messages (clientMsgID TEXT PRIMARY KEY, conversationID TEXT NOT NULL, seq INTEGER NOT NULL,
  sendTime INTEGER NOT NULL, json TEXT NOT NULL);
CREATE INDEX messages_by_conversation ON messages (conversationID, seq, sendTime);
INSERT INTO meta VALUES ('cursor', 42);
INSERT INTO conversations (id, json) VALUES ('si_a_b', '{"conversationID":"si_a_b"}');
INSERT INTO messages VALUES ('m1', 'si_a_b', 1, 10, '{"clientMsgID":"m1","conversationID":"si_a_b","seq":1,"sendID":"a"}');
INSERT INTO messages VALUES ('m2', 'si_a_b', 2, 20, '{"clientMsgID":"m2","conversationID":"si_a_b","seq":2,"sendID":"b"}');
)";
        ASSERT_EQ(sqlite3_exec(db, first, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        sqlite3_close(db);
    }
    for (int opening = 0; opening < 2; ++opening) {
        SCOPED_TRACE(opening == 0 ? "upgrade" : "reopen");
        ImSdk::Cache cache;
        ASSERT_TRUE(cache.open(path));
        EXPECT_TRUE(cache.setAside().isEmpty());
        EXPECT_EQ(cache.cursor(), 42);
        EXPECT_TRUE(cache.conversation("si_a_b"));
        bool isEnd = false;
        QStringList ids;
        for (const QJsonObject &m : cache.history("si_a_b", "", 10, &isEnd))
            ids << m["clientMsgID"].toString();
        EXPECT_EQ(ids, (QStringList{"m1", "m2"}));
        EXPECT_TRUE(isEnd);
        const QJsonObject copy{{"clientMsgID", "m1"}, {"conversationID", "sg_g1"}, {"seq", 7}, {"sendID", "c"}};
        EXPECT_EQ(cache.putMessage(copy), opening == 0) << "a message of another conversation is new";
        EXPECT_EQ(cache.message("sg_g1", "m1"), copy);
        EXPECT_EQ((*cache.message("si_a_b", "m1"))["sendID"].toString(), "a");
        cache.removeMessage("sg_g1", "m1");
        EXPECT_FALSE(cache.message("sg_g1", "m1"));
        EXPECT_TRUE(cache.message("si_a_b", "m1"));
        cache.putMessage(copy);
    }
}

TEST_F(Sessions, MalformedArgumentsAnswerWithACode)
{
    struct Case {
        const char *name;
        std::function<void(ImSdk::Callback)> start;
    };
    const Case cases[] = {
        {"history not JSON", [&](ImSdk::Callback cb) { a->sdk->history("{", cb); }},
        {"history without conversation", [&](ImSdk::Callback cb) { a->sdk->history(R"({"count":5})", cb); }},
        {"history wrong type", [&](ImSdk::Callback cb) { a->sdk->history(R"({"conversationID":5})", cb); }},
        {"add friend array", [&](ImSdk::Callback cb) { a->sdk->addFriend("[]", cb); }},
        {"set self info empty", [&](ImSdk::Callback cb) { a->sdk->setSelfInfo("{}", cb); }},
        {"revoke without ids", [&](ImSdk::Callback cb) { a->sdk->revoke({}, {}, cb); }},
        {"delete friend without id", [&](ImSdk::Callback cb) { a->sdk->deleteFriend({}, cb); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(call(c.start).errCode, ImSdk::kBadArguments);
    }
    EXPECT_TRUE(a->sdk->createQuote("re", "{broken").isEmpty());
    EXPECT_TRUE(a->sdk->createForward("null").isEmpty());
    EXPECT_EQ(call([&](ImSdk::Callback cb) { a->sdk->selfInfo(cb); }).errCode, 0) << "still signed in";
}

// Built messages carry a fresh identity and the signed-in sender; a forward drops what the
// server set on the original.
TEST_F(Sessions, BuiltMessagesCarryIdentityAndSender)
{
    const QJsonObject text = QJsonDocument::fromJson(a->sdk->createText("hi")).object();
    EXPECT_TRUE(QRegularExpression("^[0-9a-f]{32}$").match(text["clientMsgID"].toString()).hasMatch());
    EXPECT_EQ(text["sendID"].toString(), a->id());
    EXPECT_EQ(text["senderPlatformID"].toInt(), 4);
    EXPECT_GT(text["createTime"].toDouble(), 0);

    const QByteArray original = a->sdk->createText("forward me");
    const SendResult sent = send(*a, original, b->id());
    ASSERT_EQ(sent.reply.errCode, 0);
    const QJsonObject forward = QJsonDocument::fromJson(b->sdk->createForward(sent.reply.data)).object();
    EXPECT_NE(forward["clientMsgID"].toString(), clientMsgID(original));
    EXPECT_EQ(forward["sendID"].toString(), b->id());
    EXPECT_EQ(forward["textElem"]["content"].toString(), "forward me");
    for (const char *member : {"serverMsgID", "seq", "globalSeq", "conversationID", "recvID", "senderNickname"})
        EXPECT_FALSE(forward.contains(member)) << member;

    const QJsonObject quote = QJsonDocument::fromJson(b->sdk->createQuote("indeed", sent.reply.data)).object();
    EXPECT_EQ(quote["contentType"].toInt(), 114);
    EXPECT_EQ(quote["quoteElem"]["quoteMessage"]["clientMsgID"].toString(), clientMsgID(original));
    const QJsonObject custom = QJsonDocument::fromJson(a->sdk->createCustom(R"({"k":1})", {}, "desc")).object();
    EXPECT_EQ(custom["customElem"]["data"].toString(), R"({"k":1})");
    EXPECT_EQ(send(*a, a->sdk->createCustom(R"({"k":1})", {}, "desc"), b->id()).reply.errCode, 0);
}

} // namespace
