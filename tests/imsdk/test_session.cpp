#include "ImSdkFixture.h"

#include "core/Cache.h"
#include "core/Connection.h"

#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QWebSocket>
#include <QWebSocketServer>
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

// A WebSocket relay in front of the gateway, presenting the service's certificate, that can hold
// back the next newMessage push (as if a later one overtook it) and drop every open link.
class PushRelay {
public:
    explicit PushRelay(const QSslConfiguration &tls) : m_server(QStringLiteral("relay"), QWebSocketServer::SecureMode)
    {
        m_server.setSslConfiguration(tls);
        m_server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&m_server, &QWebSocketServer::newConnection, [this] {
            while (QWebSocket *in = m_server.nextPendingConnection()) {
                auto *out = new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, in);
                auto early = std::make_shared<QStringList>(); // what the SDK sent before the gateway answered
                m_links.append(std::make_pair(QPointer<QWebSocket>(in), QPointer<QWebSocket>(out)));
                QObject::connect(in, &QWebSocket::textMessageReceived, out, [out, early](const QString &text) {
                    if (out->state() == QAbstractSocket::ConnectedState)
                        out->sendTextMessage(text);
                    else
                        early->append(text);
                });
                QObject::connect(out, &QWebSocket::connected, out, [out, early] {
                    for (const QString &text : std::as_const(*early))
                        out->sendTextMessage(text);
                    early->clear();
                });
                QObject::connect(out, &QWebSocket::textMessageReceived, in, [this, in](const QString &text) {
                    if (m_holdNext && QJsonDocument::fromJson(text.toUtf8()).object()["push"].toString() == "newMessage") {
                        m_holdNext = false;
                        ++m_held;
                        return;
                    }
                    in->sendTextMessage(text);
                });
                QObject::connect(in, &QWebSocket::disconnected, in, [in, out] {
                    out->abort();
                    in->deleteLater();
                });
                QObject::connect(out, &QWebSocket::disconnected, in, [in] { in->abort(); });
                out->open(QUrl(ServiceConfig::current().gatewayUrl()));
            }
        });
    }
    QString url() const { return QStringLiteral("wss://127.0.0.1:%1/msg_gateway").arg(m_server.serverPort()); }
    void holdNextPush() { m_holdNext = true; }
    int held() const { return m_held; }
    // Both ends of every open link go down at once; a held push goes with them.
    void dropLinks()
    {
        for (const auto &[in, out] : std::as_const(m_links))
            if (in)
                in->abort();
        m_links.clear();
    }

private:
    QWebSocketServer m_server;
    QList<std::pair<QPointer<QWebSocket>, QPointer<QWebSocket>>> m_links;
    bool m_holdNext = false;
    int m_held = 0;
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

// Pushes of two senders can overtake each other. When the link drops after the later one came
// but before the earlier one did, the next sync still delivers the earlier one, once.
TEST_F(Sessions, PushOvertakenBeforeALostLinkArrivesAfterReconnect)
{
    const Tls::Paths paths = Tls::ensureDevCertificates(dir.filePath("tls"));
    QString error;
    const auto tls = Tls::serverConfiguration(paths.serverCert, paths.serverKey, &error);
    ASSERT_TRUE(tls) << error.toStdString();
    PushRelay relay(*tls);
    const auto carolUser = registerUser("carol@example.org", "Carol");
    ASSERT_EQ(send(*a, a->sdk->createText("hello"), carolUser.userID).reply.errCode, 0);
    Client &carol = client(carolUser, "carol", relay.url());
    ASSERT_EQ(login(carol).errCode, 0);
    // The sign-in sync ends by reporting the conversation it found.
    ASSERT_TRUE(waitEvent(carol, ListenerKind::Conversation, 29));

    relay.holdNextPush();
    const QByteArray first = a->sdk->createText("first");
    const QByteArray second = b->sdk->createText("second");
    ASSERT_EQ(send(*a, first, carol.id()).reply.errCode, 0);
    ASSERT_TRUE(spinUntil([&] { return relay.held() == 1; }));
    ASSERT_EQ(send(*b, second, carol.id()).reply.errCode, 0);
    ASSERT_TRUE(waitMessage(carol, clientMsgID(second)));

    carol.recorder->record(ListenerKind::Connection, -1); // marks where the drop happens
    relay.dropLinks();
    ASSERT_TRUE(spinUntil([&] {
        const QList<Recorder::Event> events = carol.recorder->events();
        const auto drop = std::find_if(events.begin(), events.end(), [](const Recorder::Event &e) { return e.event == -1; });
        return std::any_of(drop, events.end(), [](const Recorder::Event &e) {
            return e.kind == ListenerKind::Connection && e.event == ImSdk::Event::Connected;
        });
    }, 15000)) << "the link comes back";
    EXPECT_TRUE(waitMessage(carol, clientMsgID(first)));
    // A message sent now is reported after everything the reconnect sync reported.
    const QByteArray third = a->sdk->createText("third");
    ASSERT_EQ(send(*a, third, carol.id()).reply.errCode, 0);
    ASSERT_TRUE(waitMessage(carol, clientMsgID(third)));
    QStringList reported;
    for (const Recorder::Event &e : carol.recorder->events(ListenerKind::Message, 32))
        reported << e.data["textElem"]["content"].toString();
    EXPECT_EQ(reported, (QStringList{"second", "first", "third"}));
}

// Other users' messages leave gaps in the sequences one user receives, which pushes never fill.
// Once enough pushed ones wait beyond a gap, a sync moves the cursor past them without reporting
// anything twice.
TEST_F(Sessions, CursorPassesGapsLeftByOtherUsersMessages)
{
    constexpr int kMessages = 300; // more than the 256 the SDK lets wait beyond a gap
    const QString carol = registerUser("carol@example.org", "Carol").userID;
    QList<qint64> seqs;
    for (int i = 0; i < kMessages; ++i) {
        Storage::NewMessage other; // between Alice and Carol: Bob never receives it
        other.conversationID = a->id() < carol ? "si_" + a->id() + "_" + carol : "si_" + carol + "_" + a->id();
        other.members = {a->id(), carol};
        other.sendID = a->id();
        other.clientMsgID = QStringLiteral("gap%1").arg(i);
        other.sendTime = QDateTime::currentMSecsSinceEpoch();
        bool duplicate = false;
        ASSERT_TRUE(store().insertMessage(other, &duplicate));
        const SendResult sent = send(*a, a->sdk->createText(QString::number(i)), b->id());
        ASSERT_EQ(sent.reply.errCode, 0);
        seqs << sent.reply.object()["globalSeq"].toInteger();
    }
    ASSERT_TRUE(spinUntil([&] { return b->recorder->events(ListenerKind::Message, 32).size() >= kMessages; }));
    ASSERT_EQ(call([&](ImSdk::Callback cb) { b->sdk->logout(cb); }).errCode, 0);
    EXPECT_EQ(b->recorder->events(ListenerKind::Message, 32).size(), kMessages);

    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open((b->dataDir + "/" + bob.userID + "/cache.db").toUtf8().constData(), &db), SQLITE_OK);
    sqlite3_stmt *stmt = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT value FROM meta WHERE key = 'cursor'", -1, &stmt, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
    const qint64 cursor = sqlite3_column_int64(stmt, 0);
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    EXPECT_GE(cursor, seqs[256]) << "the sync the 257th message started moved the cursor at least that far";
    EXPECT_LE(cursor, seqs.last());
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
