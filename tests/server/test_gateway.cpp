#include "ServerFixture.h"

#include "core/OutputBudget.h"
#include "gateway/WebSocket.h"
#include <QPointer>
#include <QtEndian>
#include "storage/SqliteStore.h"
#include "support/EventLoop.h"

#include <QTcpServer>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QJsonArray>
#include <QUuid>
#include <QWebSocket>
#include <sqlite3.h>

namespace {

// A bare gateway client: requests with ids, answers by id, pushes in arrival order.
class Client {
public:
    Client()
    {
        QObject::connect(&ws, &QWebSocket::textMessageReceived, [this](const QString &text) {
            const QJsonObject o = QJsonDocument::fromJson(text.toUtf8()).object();
            if (o.contains("push"))
                pushes.append(o);
            else
                answers.insert(o.value("id").toInteger(), o);
        });
        QObject::connect(&ws, &QWebSocket::disconnected, [this] { closed = true; });
    }

    bool open()
    {
        ws.open(QUrl(ServiceConfig::current().gatewayUrl()));
        return spinUntil([&] { return ws.state() == QAbstractSocket::ConnectedState || closed; }) && !closed;
    }

    QJsonObject call(const QString &op, const QJsonObject &data = {})
    {
        const qint64 id = ++lastId;
        sendRaw(QJsonDocument(QJsonObject{{"id", id}, {"op", op}, {"data", data}}).toJson(QJsonDocument::Compact));
        spinUntil([&] { return answers.contains(id) || closed; });
        return answers.take(id);
    }
    // The answer's data when errCode is 0; the test fails otherwise.
    QJsonValue ok(const QString &op, const QJsonObject &data = {})
    {
        const QJsonObject a = call(op, data);
        EXPECT_EQ(a.value("errCode").toInt(-1), 0) << op.toStdString() << ": " << a.value("errMsg").toString().toStdString();
        return a.value("data");
    }
    int err(const QString &op, const QJsonObject &data = {}) { return call(op, data).value("errCode").toInt(-1); }

    void sendRaw(const QString &text) { ws.sendTextMessage(text); }

    // The first push named `name` not taken yet.
    QJsonObject take(const QString &name)
    {
        QJsonObject found;
        spinUntil([&] {
            for (qsizetype i = 0; i < pushes.size(); ++i)
                if (pushes[i].value("push").toString() == name) {
                    found = pushes.takeAt(i).value("data").toObject();
                    return true;
                }
            return false;
        });
        return found;
    }
    QJsonValue takeValue(const QString &name)
    {
        QJsonValue found;
        spinUntil([&] {
            for (qsizetype i = 0; i < pushes.size(); ++i)
                if (pushes[i].value("push").toString() == name) {
                    found = pushes.takeAt(i).value("data");
                    return true;
                }
            return false;
        });
        return found;
    }
    int count(const QString &name) const
    {
        return int(std::count_if(pushes.begin(), pushes.end(), [&](const QJsonObject &p) { return p.value("push").toString() == name; }));
    }
    bool waitClosed() { return spinUntil([&] { return closed; }); }

    QWebSocket ws;
    QHash<qint64, QJsonObject> answers;
    QList<QJsonObject> pushes;
    qint64 lastId = 0;
    qint64 latestSeq = -1; // from the auth answer
    bool closed = false;
};

QString newMsgID() { return QUuid::createUuid().toString(QUuid::Id128); }

QJsonObject textMsg(const QString &text, const QString &clientMsgID = newMsgID())
{
    return {{"clientMsgID", clientMsgID}, {"contentType", 101}, {"createTime", 1000}, {"textElem", QJsonObject{{"content", text}}}};
}

class Gateway : public ServerTest {
protected:
    struct User {
        QString id;
        QString token;
    };

    User user(const QString &name)
    {
        const ChatApi::LoginResult r = registerUser(name + "@example.org", name);
        return {r.userID, r.imToken};
    }

    std::unique_ptr<Client> connectAs(const User &u, int platformID = 4)
    {
        auto c = std::make_unique<Client>();
        EXPECT_TRUE(c->open());
        const QJsonObject a = c->call("auth", {{"version", 1}, {"userID", u.id}, {"token", u.token}, {"platformID", platformID}});
        EXPECT_EQ(a.value("errCode").toInt(-1), 0) << a.value("errMsg").toString().toStdString();
        c->latestSeq = a.value("data").toObject().value("latestSeq").toInteger(-1);
        return c;
    }

    QJsonObject send(Client &c, const User &to, const QString &text, const QString &clientMsgID = newMsgID())
    {
        return c.ok("sendMsg", {{"recvID", to.id}, {"msg", textMsg(text, clientMsgID)}}).toObject();
    }

    QJsonObject conversation(Client &c, const QString &id)
    {
        for (const QJsonValue &v : c.ok("conversations").toArray())
            if (v.toObject().value("conversationID").toString() == id)
                return v.toObject();
        return {};
    }

    static QString single(const User &a, const User &b)
    {
        return "si_" + (a.id < b.id ? a.id + "_" + b.id : b.id + "_" + a.id);
    }
};

TEST_F(Gateway, Authentication)
{
    const User ann = user("ann");
    struct Case {
        const char *name;
        QJsonObject request;
        int errCode;
        int closeCode; // 0: stays open
    };
    const Case cases[] = {
        {"valid", {{"id", 1}, {"op", "auth"}, {"data", QJsonObject{{"version", 1}, {"userID", ann.id}, {"token", ann.token}, {"platformID", 4}}}}, 0, 0},
        {"bad token", {{"id", 1}, {"op", "auth"}, {"data", QJsonObject{{"version", 1}, {"userID", ann.id}, {"token", QString(64, 'a')}, {"platformID", 4}}}}, 1501, 4001},
        {"someone else's token", {{"id", 1}, {"op", "auth"}, {"data", QJsonObject{{"version", 1}, {"userID", "1"}, {"token", ann.token}, {"platformID", 4}}}}, 1501, 4001},
        {"version 2", {{"id", 1}, {"op", "auth"}, {"data", QJsonObject{{"version", 2}, {"userID", ann.id}, {"token", ann.token}, {"platformID", 4}}}}, 1002, 4002},
        {"op before auth", {{"id", 1}, {"op", "conversations"}}, 1003, 4000},
        {"ping before auth", {{"id", 1}, {"op", "ping"}}, 1003, 4000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Client client;
        ASSERT_TRUE(client.open());
        client.sendRaw(QJsonDocument(c.request).toJson());
        ASSERT_TRUE(spinUntil([&] { return client.answers.contains(1); }));
        const QJsonObject answer = client.answers.value(1);
        EXPECT_EQ(answer.value("errCode").toInt(), c.errCode);
        if (c.closeCode) {
            ASSERT_TRUE(client.waitClosed());
            EXPECT_EQ(int(client.ws.closeCode()), c.closeCode);
        } else {
            EXPECT_EQ(answer.value("data").toObject().value("userID").toString(), ann.id);
            EXPECT_EQ(client.err("ping"), 0);
        }
    }
}

TEST_F(Gateway, OneToOneDeliveryAndRetries)
{
    const User ann = user("ann"), bob = user("bob");
    auto a1 = connectAs(ann), a2 = connectAs(ann, 2), b1 = connectAs(bob), b2 = connectAs(bob, 2);

    const QString id = newMsgID();
    const QJsonObject stored = send(*a1, bob, "hello", id);
    EXPECT_EQ(stored.value("clientMsgID").toString(), id);
    EXPECT_EQ(stored.value("sendID").toString(), ann.id);
    EXPECT_EQ(stored.value("recvID").toString(), bob.id);
    EXPECT_EQ(stored.value("senderNickname").toString(), "ann");
    EXPECT_EQ(stored.value("conversationID").toString(), single(ann, bob));
    EXPECT_EQ(stored.value("sessionType").toInt(), 1);
    EXPECT_EQ(stored.value("seq").toInteger(), 1);
    EXPECT_GT(stored.value("globalSeq").toInteger(), 0);
    EXPECT_GT(stored.value("sendTime").toInteger(), 0);
    EXPECT_EQ(stored.value("status").toInt(), 2);
    EXPECT_EQ(stored.value("textElem").toObject().value("content").toString(), "hello");
    EXPECT_FALSE(stored.value("serverMsgID").toString().isEmpty());
    for (Client *c : {b1.get(), b2.get(), a2.get()})
        EXPECT_EQ(c->take("newMessage"), stored);

    // A retry after a lost answer returns the stored record and delivers nothing again.
    EXPECT_EQ(send(*a1, bob, "hello again", id), stored);
    const QJsonObject second = send(*a1, bob, "second");
    EXPECT_EQ(second.value("seq").toInteger(), 2);
    EXPECT_EQ(b1->take("newMessage").value("clientMsgID"), second.value("clientMsgID"));
    EXPECT_EQ(a2->take("newMessage").value("clientMsgID"), second.value("clientMsgID"));
    EXPECT_EQ(b1->count("newMessage"), 0);
    EXPECT_EQ(a1->count("newMessage"), 0); // the sending session only gets its answers

    // Long messages arrive in several WebSocket fragments.
    const QJsonObject big = send(*a1, bob, QString(700 * 1024, 'b'));
    EXPECT_EQ(b1->take("newMessage").value("textElem")["content"].toString().size(), 700 * 1024);
    EXPECT_EQ(big.value("seq").toInteger(), 3);

    // A client may not forge what the server fills in, nor write notices.
    const QJsonObject forged = a1->ok("sendMsg", {{"recvID", bob.id}, {"msg", QJsonObject{{"clientMsgID", newMsgID()}, {"contentType", 101}, {"sendID", bob.id}, {"seq", 99}}}}).toObject();
    EXPECT_EQ(forged.value("sendID").toString(), ann.id);
    EXPECT_EQ(forged.value("seq").toInteger(), 4);
    EXPECT_EQ(a1->err("sendMsg", {{"recvID", bob.id}, {"msg", QJsonObject{{"clientMsgID", newMsgID()}, {"contentType", 2101}}}}), 1001);
    EXPECT_EQ(a1->err("sendMsg", {{"recvID", "nobody"}, {"msg", textMsg("x")}}), 1004);
    EXPECT_EQ(a1->err("sendMsg", {{"recvID", bob.id}, {"groupID", "g"}, {"msg", textMsg("x")}}), 1001);
}

TEST_F(Gateway, HistoryPagesAndSync)
{
    const User ann = user("ann"), bob = user("bob");
    auto a = connectAs(ann);
    send(*a, user("cat"), "before the cursor");
    auto b = connectAs(bob);
    const qint64 cursor = b->latestSeq;
    EXPECT_EQ(cursor, 1);
    QStringList ids;
    for (int i = 1; i <= 5; ++i)
        ids << send(*a, bob, QString::number(i)).value("clientMsgID").toString();
    const QString conv = single(ann, bob);

    auto page = [&](const QString &start) {
        const QJsonObject d = a->ok("history", {{"conversationID", conv}, {"count", 2}, {"startClientMsgID", start}}).toObject();
        QStringList got;
        for (const QJsonValue &m : d.value("messageList").toArray())
            got << m.toObject().value("clientMsgID").toString();
        return std::pair(got, d.value("isEnd").toBool());
    };
    EXPECT_EQ(page(""), std::pair(QStringList{ids[3], ids[4]}, false));
    EXPECT_EQ(page(ids[3]), std::pair(QStringList{ids[1], ids[2]}, false));
    EXPECT_EQ(page(ids[1]), std::pair(QStringList{ids[0]}, true));

    const QJsonObject first = b->ok("sync", {{"after", cursor}, {"limit", 3}}).toObject();
    const QJsonArray got = first.value("messages").toArray();
    ASSERT_EQ(got.size(), 3);
    EXPECT_EQ(got[0].toObject().value("clientMsgID").toString(), ids[0]);
    EXPECT_TRUE(first.value("more").toBool());
    EXPECT_EQ(first.value("latest").toInteger(), got[2].toObject().value("globalSeq").toInteger());
    const QJsonObject rest = b->ok("sync", {{"after", first.value("latest")}, {"limit", 3}}).toObject();
    ASSERT_EQ(rest.value("messages").toArray().size(), 2);
    EXPECT_FALSE(rest.value("more").toBool());
    const QJsonObject none = b->ok("sync", {{"after", rest.value("latest")}, {"limit", 3}}).toObject();
    EXPECT_TRUE(none.value("messages").toArray().isEmpty());
    EXPECT_EQ(none.value("latest"), rest.value("latest"));

    // Someone else's conversation is out of reach, whoever asks.
    const User eve = user("eve");
    auto e = connectAs(eve);
    EXPECT_EQ(e->err("history", {{"conversationID", conv}, {"count", 2}}), 1301);
    EXPECT_EQ(e->err("history", {{"conversationID", "si_x_y"}, {"count", 2}}), 1004);
    EXPECT_TRUE(e->ok("sync", {{"after", 0}, {"limit", 500}}).toObject().value("messages").toArray().isEmpty());
}

TEST_F(Gateway, ConversationState)
{
    const User ann = user("ann"), bob = user("bob"), cat = user("cat");
    auto a = connectAs(ann);
    auto b1 = connectAs(bob), b2 = connectAs(bob, 2);
    const QString withAnn = single(ann, bob), withCat = single(bob, cat);
    send(*a, bob, "one");
    send(*a, bob, "two");
    b1->ok("sendMsg", {{"recvID", ann.id}, {"msg", textMsg("mine")}}); // own messages never count
    auto c = connectAs(cat);
    send(*c, bob, "from cat");

    QJsonArray list = b1->ok("conversations").toArray();
    ASSERT_EQ(list.size(), 2);
    EXPECT_EQ(list[0].toObject().value("conversationID").toString(), withCat); // newest first
    QJsonObject annConv = list[1].toObject();
    EXPECT_EQ(annConv.value("unreadCount").toInt(), 2);
    EXPECT_EQ(annConv.value("showName").toString(), "ann");
    EXPECT_EQ(annConv.value("userID").toString(), ann.id);
    EXPECT_EQ(annConv.value("maxSeq").toInt(), 3);
    EXPECT_EQ(QJsonDocument::fromJson(annConv.value("latestMsg").toString().toUtf8()).object().value("textElem")["content"].toString(), "mine");

    const QJsonObject read = b1->ok("markRead", {{"conversationID", withAnn}}).toObject();
    EXPECT_EQ(read.value("unreadCount").toInt(), 0);
    EXPECT_EQ(read.value("hasReadSeq").toInt(), 3);
    EXPECT_EQ(b2->takeValue("conversationChanged").toArray()[0].toObject().value("unreadCount").toInt(), 0);

    const QJsonObject set = b1->ok("setConversation", {{"conversationID", withAnn}, {"isPinned", true}, {"recvMsgOpt", 2}, {"draftText", "later"}}).toObject();
    EXPECT_TRUE(set.value("isPinned").toBool());
    EXPECT_EQ(set.value("recvMsgOpt").toInt(), 2);
    EXPECT_EQ(set.value("draftText").toString(), "later");
    EXPECT_EQ(b2->takeValue("conversationChanged").toArray()[0].toObject().value("draftText").toString(), "later");
    list = b1->ok("conversations").toArray();
    EXPECT_EQ(list[0].toObject().value("conversationID").toString(), withAnn); // pinned first
    // Only the members named change.
    b1->ok("setConversation", {{"conversationID", withAnn}, {"isPinned", false}});
    EXPECT_EQ(conversation(*b1, withAnn).value("recvMsgOpt").toInt(), 2);
    EXPECT_EQ(b1->err("setConversation", {{"conversationID", withAnn}, {"recvMsgOpt", 3}}), 1001);
    EXPECT_EQ(b1->err("setConversation", {{"conversationID", withAnn}, {"isPinned", "yes"}}), 1001);
    EXPECT_EQ(c->err("markRead", {{"conversationID", withAnn}}), 1301);

    b1->ok("hideConversation", {{"conversationID", withAnn}});
    EXPECT_TRUE(conversation(*b1, withAnn).isEmpty());
    send(*a, bob, "back");
    const QJsonObject back = conversation(*b1, withAnn);
    EXPECT_EQ(back.value("unreadCount").toInt(), 1);
}

TEST_F(Gateway, RevokeAndDelete)
{
    const User ann = user("ann"), bob = user("bob");
    auto a = connectAs(ann), b = connectAs(bob);
    const QString conv = single(ann, bob);
    const QJsonObject kept = send(*a, bob, "kept");
    const QJsonObject gone = send(*a, bob, "secret");
    b->take("newMessage");
    b->take("newMessage");

    const QJsonObject target{{"conversationID", conv}, {"clientMsgID", gone.value("clientMsgID")}};
    EXPECT_EQ(b->err("revoke", target), 1301);
    const QJsonObject notice = a->ok("revoke", target).toObject();
    EXPECT_EQ(notice.value("contentType").toInt(), 2101);
    EXPECT_EQ(b->take("newMessage"), notice);
    const QJsonObject detail = QJsonDocument::fromJson(notice.value("notificationElem")["detail"].toString().toUtf8()).object();
    EXPECT_EQ(detail.value("clientMsgID"), gone.value("clientMsgID"));
    EXPECT_EQ(detail.value("seq"), gone.value("seq"));
    EXPECT_EQ(detail.value("revokerID").toString(), ann.id);
    EXPECT_EQ(a->err("revoke", target), 1004); // once only

    const QJsonArray history = b->ok("history", {{"conversationID", conv}, {"count", 10}}).toObject().value("messageList").toArray();
    ASSERT_EQ(history.size(), 2); // no notice
    const QJsonObject recalled = history[1].toObject();
    EXPECT_EQ(recalled.value("contentType").toInt(), 2101);
    EXPECT_FALSE(recalled.contains("textElem"));
    EXPECT_EQ(recalled.value("seq"), gone.value("seq"));
    EXPECT_EQ(recalled.value("serverMsgID"), gone.value("serverMsgID"));

    b->ok("deleteMessage", {{"conversationID", conv}, {"clientMsgID", kept.value("clientMsgID")}});
    EXPECT_EQ(b->ok("history", {{"conversationID", conv}, {"count", 10}}).toObject().value("messageList").toArray().size(), 1);
    EXPECT_EQ(a->ok("history", {{"conversationID", conv}, {"count", 10}}).toObject().value("messageList").toArray().size(), 2);
    EXPECT_EQ(b->err("deleteMessage", {{"conversationID", conv}, {"clientMsgID", "nope"}}), 1004);
}

TEST_F(Gateway, TypingReachesTheRecipient)
{
    const User ann = user("ann"), bob = user("bob");
    auto a = connectAs(ann), b1 = connectAs(bob), b2 = connectAs(bob, 2);
    a->ok("typing", {{"recvID", bob.id}, {"msgTip", "yes"}});
    for (Client *c : {b1.get(), b2.get()}) {
        const QJsonObject t = c->take("typing");
        EXPECT_EQ(t.value("userID").toString(), ann.id);
        EXPECT_EQ(t.value("conversationID").toString(), single(ann, bob));
        EXPECT_EQ(t.value("platformIDs").toArray(), QJsonArray{4});
    }
    a->ok("typing", {{"recvID", bob.id}, {"msgTip", "no"}});
    EXPECT_TRUE(b1->take("typing").value("platformIDs").toArray().isEmpty());
    EXPECT_EQ(a->count("typing"), 0);
}

TEST_F(Gateway, FriendsAndBlocks)
{
    const User ann = user("ann"), bob = user("bob");
    auto a1 = connectAs(ann), a2 = connectAs(ann, 2), b = connectAs(bob);

    a1->ok("addFriend", {{"toUserID", bob.id}, {"reqMsg", "hi"}});
    EXPECT_EQ(b->take("friendRequest").value("reqMsg").toString(), "hi");
    b->ok("refuseFriend", {{"toUserID", ann.id}, {"handleMsg", "no"}});
    EXPECT_EQ(b->err("acceptFriend", {{"toUserID", ann.id}}), 1303); // nothing pending
    a1->ok("addFriend", {{"toUserID", bob.id}, {"reqMsg", "please"}}); // replaces the refused one
    const QJsonArray requests = b->ok("friendRequests", {{"offset", 0}, {"count", 10}}).toArray();
    ASSERT_EQ(requests.size(), 1);
    EXPECT_EQ(requests[0].toObject().value("reqMsg").toString(), "please");
    EXPECT_EQ(requests[0].toObject().value("handleResult").toInt(), 0);
    EXPECT_EQ(requests[0].toObject().value("fromNickname").toString(), "ann");

    b->ok("acceptFriend", {{"toUserID", ann.id}, {"handleMsg", "ok"}});
    EXPECT_EQ(a1->take("friendAdded").value("friendUserID").toString(), bob.id);
    EXPECT_EQ(a2->take("friendAdded").value("friendUserID").toString(), bob.id);
    EXPECT_EQ(b->take("friendAdded").value("friendUserID").toString(), ann.id);
    const QJsonArray friends = a1->ok("friends", {{"filterBlack", false}}).toArray();
    ASSERT_EQ(friends.size(), 1);
    EXPECT_EQ(friends[0].toObject().value("nickname").toString(), "bob");
    EXPECT_EQ(a1->err("addFriend", {{"toUserID", bob.id}}), 1303);

    // A block refuses messages and is flagged on the friend.
    b->ok("addBlack", {{"userID", ann.id}, {"ex", ""}});
    EXPECT_EQ(a1->err("sendMsg", {{"recvID", bob.id}, {"msg", textMsg("hey")}}), 1302);
    EXPECT_EQ(b->ok("friends", {{"filterBlack", true}}).toArray().size(), 0);
    EXPECT_TRUE(b->ok("friends", {{"filterBlack", false}}).toArray()[0].toObject().value("isBlack").toBool());
    send(*b, ann, "the other way still works");

    a1->ok("deleteFriend", {{"userID", bob.id}});
    EXPECT_EQ(a2->take("friendDeleted").value("userID").toString(), bob.id);
    EXPECT_EQ(b->take("friendDeleted").value("userID").toString(), ann.id);
    EXPECT_TRUE(a1->ok("friends").toArray().isEmpty());
    EXPECT_EQ(a1->err("deleteFriend", {{"userID", bob.id}}), 1303);
}

TEST_F(Gateway, GroupFanOut)
{
    const User ann = user("ann"), bob = user("bob"), cat = user("cat"), dan = user("dan");
    ASSERT_TRUE(store().insertGroup("g1", "Team", ann.id, {bob.id, cat.id}, 1));
    auto a = connectAs(ann), b = connectAs(bob), c = connectAs(cat), d = connectAs(dan);

    // Members have the conversation before anything was said.
    const QJsonObject conv = conversation(*b, "sg_g1");
    EXPECT_EQ(conv.value("showName").toString(), "Team");
    EXPECT_EQ(conv.value("conversationType").toInt(), 3);
    EXPECT_EQ(b->ok("groups").toArray()[0].toObject().value("memberCount").toInt(), 3);

    const QJsonObject sent = a->ok("sendMsg", {{"groupID", "g1"}, {"msg", textMsg("all")}}).toObject();
    EXPECT_EQ(sent.value("sessionType").toInt(), 3);
    EXPECT_EQ(sent.value("recvID").toString(), "");
    EXPECT_EQ(b->take("newMessage"), sent);
    EXPECT_EQ(c->take("newMessage"), sent);
    EXPECT_EQ(conversation(*c, "sg_g1").value("unreadCount").toInt(), 1);
    EXPECT_EQ(d->err("sendMsg", {{"groupID", "g1"}, {"msg", textMsg("let me in")}}), 1301);
    EXPECT_EQ(d->err("history", {{"conversationID", "sg_g1"}, {"count", 5}}), 1301);
    EXPECT_EQ(d->err("sendMsg", {{"groupID", "nope"}, {"msg", textMsg("x")}}), 1004);
    EXPECT_EQ(d->count("newMessage"), 0);
}

// A clientMsgID names one message of one sender: copying someone else's ID, or reusing one's own
// in another conversation, is refused and delivers nothing; only a retry of the same send passes.
TEST_F(Gateway, ClientMsgIDBelongsToOneMessage)
{
    const User ann = user("ann"), bob = user("bob"), cat = user("cat");
    ASSERT_TRUE(store().insertGroup("g1", "Team", ann.id, {bob.id, cat.id}, 1));
    auto a = connectAs(ann), b = connectAs(bob), c = connectAs(cat);
    const QString id = newMsgID();
    const QJsonObject original = a->ok("sendMsg", {{"groupID", "g1"}, {"msg", textMsg("to the team", id)}}).toObject();
    EXPECT_EQ(b->take("newMessage"), original);
    EXPECT_EQ(c->take("newMessage"), original);

    struct Case {
        const char *name;
        Client *sender;
        QJsonObject to;
        int errCode;
    };
    const Case cases[] = {
        {"another member copies it into the group", b.get(), {{"groupID", "g1"}}, 1304},
        {"another member copies it one-to-one", b.get(), {{"recvID", cat.id}}, 1304},
        {"the sender reuses it one-to-one", a.get(), {{"recvID", cat.id}}, 1304},
        {"the sender retries the group send", a.get(), {{"groupID", "g1"}}, 0},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        QJsonObject request = k.to;
        request.insert("msg", textMsg("copied", id));
        const QJsonObject answer = k.sender->call("sendMsg", request);
        EXPECT_EQ(answer.value("errCode").toInt(-1), k.errCode) << answer.value("errMsg").toString().toStdString();
        if (k.errCode == 0) {
            EXPECT_EQ(answer.value("data").toObject(), original);
        }
    }
    EXPECT_EQ(a->count("newMessage") + b->count("newMessage") + c->count("newMessage"), 0) << "nothing refused is delivered";
    const QJsonArray history = c->ok("history", {{"conversationID", "sg_g1"}, {"count", 10}}).toObject().value("messageList").toArray();
    ASSERT_EQ(history.size(), 1);
    EXPECT_EQ(history[0].toObject(), original);
}

TEST_F(Gateway, PasswordResetEndsLiveSessions)
{
    const User ann = user("ann"), bob = user("bob");
    auto a1 = connectAs(ann), a2 = connectAs(ann, 2), b = connectAs(bob);
    ASSERT_FALSE(await(ChatApi::sendEmailCode("ann@example.org", "reset")).error);
    ASSERT_FALSE(await(ChatApi::emailReset("ann@example.org", outboxCode("ann@example.org"), "new")).error);
    for (Client *c : {a1.get(), a2.get()}) {
        EXPECT_EQ(c->take("kicked").value("reason").toString(), "tokenRevoked");
        ASSERT_TRUE(c->waitClosed());
        EXPECT_EQ(int(c->ws.closeCode()), 4001);
    }
    EXPECT_EQ(b->err("ping"), 0);
    // Nothing is delivered to the closed sessions any more, and the old token is refused.
    send(*b, ann, "still there?");
    Client again;
    ASSERT_TRUE(again.open());
    EXPECT_EQ(again.call("auth", {{"version", 1}, {"userID", ann.id}, {"token", ann.token}, {"platformID", 4}}).value("errCode").toInt(), 1501);
}

TEST_F(Gateway, MalformedFramesAreSurvived)
{
    const User ann = user("ann"), bob = user("bob");
    auto a = connectAs(ann);
    struct Case {
        const char *name;
        std::function<void(Client &)> send;
        int errCode; // 0: ignored (no usable id)
    };
    const QString conv = single(ann, bob);
    const Case cases[] = {
        {"not JSON", [](Client &c) { c.sendRaw("{\"id\": 500, "); }, 0},
        {"array", [](Client &c) { c.sendRaw("[1, 2]"); }, 0},
        {"binary", [](Client &c) { c.ws.sendBinaryMessage(R"({"id":500,"op":"ping"})"); }, 0},
        {"id as text", [](Client &c) { c.sendRaw(R"({"id":"500","op":"ping"})"); }, 0},
        {"negative id", [](Client &c) { c.sendRaw(R"({"id":-5,"op":"ping"})"); }, 0},
        {"op as number", [](Client &c) { c.sendRaw(R"({"id":500,"op":7})"); }, 1001},
        {"data as array", [](Client &c) { c.sendRaw(R"({"id":500,"op":"ping","data":[]})"); }, 1001},
        {"unknown op", [](Client &c) { c.sendRaw(R"({"id":500,"op":"format"})"); }, 1001},
        {"second auth", [](Client &c) { c.sendRaw(R"({"id":500,"op":"auth","data":{"version":1}})"); }, 1001},
        {"negative count", [&](Client &c) { c.sendRaw(R"({"id":500,"op":"history","data":{"conversationID":")" + conv + R"(","count":-1}})"); }, 1001},
        {"huge count", [&](Client &c) { c.sendRaw(R"({"id":500,"op":"sync","data":{"after":0,"limit":1e300}})"); }, 1001},
        {"msg as text", [&](Client &c) { c.sendRaw(R"({"id":500,"op":"sendMsg","data":{"recvID":")" + bob.id + R"(","msg":"hi"}})"); }, 1001},
        {"userIDs with a number", [](Client &c) { c.sendRaw(R"({"id":500,"op":"usersInfo","data":{"userIDs":["a",1]}})"); }, 1001},
        {"nickname too long", [](Client &c) { c.sendRaw(R"({"id":500,"op":"setSelfInfo","data":{"nickname":")" + QString(65, 'n') + "\"}}"); }, 1001},
        {"face URL not https", [](Client &c) { c.sendRaw(R"j({"id":500,"op":"setSelfInfo","data":{"faceURL":"javascript:alert(1)"}})j"); }, 1001},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        // Ten malformed frames end a connection, so each case gets a fresh one.
        auto client = connectAs(ann);
        c.send(*client);
        const QJsonObject pong = client->call("ping");
        EXPECT_EQ(pong.value("errCode").toInt(-1), 0) << client->ws.closeCode();
        if (c.errCode) {
            ASSERT_TRUE(spinUntil([&] { return client->answers.contains(500); }));
            EXPECT_EQ(client->answers.value(500).value("errCode").toInt(), c.errCode);
        } else {
            EXPECT_FALSE(client->answers.contains(500));
        }
    }
    // Nothing stored was touched by any of that.
    const QJsonObject self = a->ok("selfInfo").toObject();
    EXPECT_EQ(self.value("nickname").toString(), "ann");
    EXPECT_EQ(a->ok("setSelfInfo", {{"nickname", " Ann "}, {"faceURL", "https://example.org/a.png"}}).toObject().value("nickname").toString(), "Ann");

    // Qt's client sends long messages in 512 KiB fragments; one below the limit is read whole.
    auto fragmented = connectAs(ann);
    fragmented->sendRaw(R"({"id":500,"op":"ping","data":{"x":")" + QString(700 * 1024, 'x') + "\"}}");
    ASSERT_TRUE(spinUntil([&] { return fragmented->answers.contains(500) || fragmented->closed; }));
    EXPECT_FALSE(fragmented->closed) << fragmented->ws.closeCode();

    // Above the limit the connection is closed at once rather than read to the end.
    auto large = connectAs(ann);
    large->sendRaw(R"({"id":500,"op":"ping","data":{"x":")" + QString(1 << 20, 'x') + "\"}}");
    ASSERT_TRUE(large->waitClosed());
    EXPECT_EQ(int(large->ws.closeCode()), 1009);

    auto noisy = connectAs(ann);
    for (int i = 0; i < 10; ++i)
        noisy->sendRaw("nonsense");
    ASSERT_TRUE(noisy->waitClosed());
    EXPECT_EQ(int(noisy->ws.closeCode()), 4000);
}

class GatewayTimers : public Gateway {
protected:
    GatewayTimers()
    {
        gatewayLimits.authMs = 100;
        gatewayLimits.idleMs = 400;
    }
};

TEST_F(GatewayTimers, SilentConnectionsAreClosed)
{
    Client unauthenticated;
    ASSERT_TRUE(unauthenticated.open());
    ASSERT_TRUE(unauthenticated.waitClosed());
    EXPECT_EQ(int(unauthenticated.ws.closeCode()), 4000);

    auto idle = connectAs(user("ann"));
    ASSERT_TRUE(idle->waitClosed());
    EXPECT_EQ(int(idle->ws.closeCode()), 4000);
}

TEST_F(GatewayTimers, PingsAloneDoNotKeepAConnection)
{
    auto pinger = connectAs(user("ann"));
    // WebSocket pings as fast as the answers come, and nothing else. The deadline is generous: a
    // slowed build (ThreadSanitizer) takes seconds to drain the pongs queued ahead of the close.
    ASSERT_TRUE(spinUntil([&] {
        if (pinger->ws.state() == QAbstractSocket::ConnectedState)
            pinger->ws.ping("still here");
        return pinger->closed;
    }, 30000));
    // No close code is checked: a ping crossing the server's close frame can reset the connection
    // before the client reads that frame.
}

// Hands each accepted connection to a WebSocket as an unencrypted QSslSocket, so that what the
// peer leaves unread piles up in our write buffer quickly. Each text message is answered with
// `answerSize` bytes.
class PlainWebSocketServer : public QTcpServer {
public:
    explicit PlainWebSocketServer(::Gateway::WebSocket::Bounds bounds, OutputBudget *budget = nullptr) : m_bounds(bounds), m_budget(budget) {}
    ::Gateway::WebSocket *ws = nullptr; // the newest
    QList<QPointer<::Gateway::WebSocket>> all;
    bool closed = false;
    int handled = 0;
    qsizetype answerSize = 0;

protected:
    void incomingConnection(qintptr fd) override
    {
        auto *socket = new QSslSocket;
        socket->setSocketDescriptor(fd);
        auto *w = new ::Gateway::WebSocket(socket, m_bounds, m_budget, this);
        ws = w;
        all << w;
        QObject::connect(w, &::Gateway::WebSocket::closed, [this] { closed = true; });
        QObject::connect(w, &::Gateway::WebSocket::textReceived, [this, w] {
            ++handled;
            if (answerSize > 0)
                w->sendText(QByteArray(answerSize, 'a'));
        });
    }

private:
    ::Gateway::WebSocket::Bounds m_bounds;
    OutputBudget *m_budget;
};

// A peer on a raw socket with a tiny receive window that reads only when asked to.
class RawPeer {
public:
    explicit RawPeer(quint16 port)
    {
        m_fd = connectWithSmallWindow(port);
        connected = m_fd >= 0;
        out = "GET /msg_gateway HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
              "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
    }
    ~RawPeer()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }

    // A masked text frame (mask 0, so the payload goes as it is).
    void sendText(const QByteArray &payload) { out += QByteArray("\x81", 1) + char(0x80 | payload.size()) + QByteArray(4, '\0') + payload; }
    // Sends what it can; reads everything that arrived when `read`.
    void pump(bool read)
    {
        const ssize_t n = ::send(m_fd, out.constData(), size_t(out.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0)
            out.remove(0, n);
        char buf[65536];
        ssize_t got;
        while (read && (got = ::recv(m_fd, buf, sizeof buf, MSG_DONTWAIT)) > 0)
            parse(QByteArray(buf, got));
    }

    bool connected = false;
    QByteArray out;
    int texts = 0;
    int closeCode = -1;

private:
    void parse(const QByteArray &bytes)
    {
        m_in += bytes;
        if (!m_headDone) {
            const qsizetype end = m_in.indexOf("\r\n\r\n");
            if (end < 0)
                return;
            m_in.remove(0, end + 4);
            m_headDone = true;
        }
        while (m_in.size() >= 2) {
            const auto *p = reinterpret_cast<const uchar *>(m_in.constData());
            qint64 length = p[1] & 0x7F;
            qsizetype header = 2;
            if (length == 126) {
                if (m_in.size() < 4)
                    return;
                length = qFromBigEndian<quint16>(p + 2);
                header = 4;
            } else if (length == 127) {
                if (m_in.size() < 10)
                    return;
                length = qint64(qFromBigEndian<quint64>(p + 2));
                header = 10;
            }
            if (m_in.size() < header + length)
                return;
            if ((p[0] & 0x0F) == 0x8)
                closeCode = length >= 2 ? qFromBigEndian<quint16>(p + header) : 1005;
            else if ((p[0] & 0x0F) == 0x1)
                ++texts;
            m_in.remove(0, header + length);
        }
    }
    int m_fd = -1;
    QByteArray m_in;
    bool m_headDone = false;
};

TEST(GatewayBackpressure, RequestsWaitWhileAnswersAreUnreadAndResumeOnceTheyAreRead)
{
    ::Gateway::WebSocket::Bounds bounds;
    bounds.pauseAbove = 64 * 1024;
    bounds.resumeBelow = 16 * 1024;
    bounds.closeGraceMs = 60000;
    PlainWebSocketServer server(bounds);
    server.answerSize = 16 * 1024;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
    RawPeer peer(server.serverPort());
    ASSERT_TRUE(peer.connected);
    constexpr int requests = 400; // 6.4 MB of answers, far more than the socket buffers take
    for (int i = 0; i < requests; ++i)
        peer.sendText("q");

    // Without reading: the requests stop being taken once the output is over the bound.
    ASSERT_TRUE(spinUntil([&] {
        peer.pump(false);
        return server.ws && server.ws->isPaused();
    }, 20000));
    EXPECT_LT(server.handled, requests);
    const qint64 bound = bounds.pauseAbove + server.answerSize + 16;
    EXPECT_LE(server.ws->pendingOutput(), bound);

    // Reading: every request is answered, and the output never grows past the bound meanwhile.
    qint64 most = 0;
    EXPECT_TRUE(spinUntil([&] {
        peer.pump(true);
        if (server.ws)
            most = std::max(most, server.ws->pendingOutput());
        return peer.texts == requests;
    }, 20000)) << peer.texts << " answers read, " << server.handled << " requests taken";
    EXPECT_EQ(server.handled, requests);
    EXPECT_LE(most, bound);
    EXPECT_TRUE(server.ws->isOpen()); // a slow reader is slowed down, not dropped
}

TEST(GatewayBackpressure, OverTheProcessBudgetTheLargestHolderIsClosedWith1008)
{
    OutputBudget budget(512 * 1024);
    ::Gateway::WebSocket::Bounds bounds;
    bounds.closeGraceMs = 60000; // the peer reads the close frame before it would be reset
    PlainWebSocketServer server(bounds, &budget);
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
    RawPeer small(server.serverPort()), large(server.serverPort());
    ASSERT_TRUE(spinUntil([&] {
        small.pump(true);
        large.pump(true);
        return server.all.size() == 2 && server.all[0] && server.all[0]->isOpen() && server.all[1] && server.all[1]->isOpen();
    }));
    // Pushes neither peer reads: 300 KB to one, then 4 MB to the other.
    server.all[0]->sendText(QByteArray(300 * 1024, 's'));
    server.all[1]->sendText(QByteArray(4 * 1024 * 1024, 'l'));
    EXPECT_GT(budget.total(), budget.limit());

    ASSERT_TRUE(spinUntil([&] {
        large.pump(true);
        return large.closeCode >= 0;
    }, 20000));
    EXPECT_EQ(large.closeCode, 1008);
    EXPECT_EQ(large.texts, 1); // what was queued before the close still arrives
    small.pump(true);
    EXPECT_EQ(small.closeCode, -1);
    ASSERT_TRUE(server.all[0]);
    EXPECT_TRUE(server.all[0]->isOpen());
    EXPECT_TRUE(spinUntil([&] {
        small.pump(true);
        return small.texts == 1;
    }));
}

TEST(GatewayBackpressure, PushesBeyondTheConnectionCapCloseItWith1008)
{
    ::Gateway::WebSocket::Bounds bounds;
    bounds.maxPendingWrite = 1024 * 1024;
    bounds.closeGraceMs = 60000; // the peer reads the close frame before it would be reset
    PlainWebSocketServer server(bounds);
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
    RawPeer peer(server.serverPort());
    ASSERT_TRUE(spinUntil([&] {
        peer.pump(true);
        return server.ws && server.ws->isOpen();
    }));
    // Pushes the peer does not read: the second does not fit under the cap.
    server.ws->sendText(QByteArray(768 * 1024, 'p'));
    server.ws->sendText(QByteArray(768 * 1024, 'q'));
    EXPECT_FALSE(server.ws->isOpen());
    ASSERT_TRUE(spinUntil([&] {
        peer.pump(true);
        return peer.closeCode >= 0;
    }, 20000));
    EXPECT_EQ(peer.closeCode, 1008);
    EXPECT_EQ(peer.texts, 1);
}

TEST(GatewayWriteCap, PongsToAPeerThatNeverReadsAreCapped)
{
    ::Gateway::WebSocket::Bounds bounds;
    bounds.maxPendingWrite = 64 * 1024;
    bounds.closeGraceMs = 100;
    PlainWebSocketServer server(bounds);
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));

    // A peer with a tiny receive window that never reads anything.
    const int fd = connectWithSmallWindow(server.serverPort());
    ASSERT_GE(fd, 0);

    QByteArray out = "GET /msg_gateway HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                     "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
    // A masked ping with the largest control payload (mask 0, so the payload is sent as is).
    const QByteArray ping = QByteArray("\x89\xFD\0\0\0\0", 6) + QByteArray(125, 'p');
    bool peerGone = false;
    const bool dropped = spinUntil([&] {
        while (out.size() < 64 * 1024)
            out += ping;
        const ssize_t n = ::send(fd, out.constData(), size_t(out.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0)
            out.remove(0, n);
        else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            peerGone = true;
        return server.closed;
    }, 20000);
    ::close(fd);
    EXPECT_TRUE(dropped) << "the pongs were buffered without bound; peer gone: " << peerGone;
}

TEST(GatewayStorage, UpgradeFromTheFirstSchemaKeepsDataAndAddsGroupConversations)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("sarvo.db");
    {
        Storage::SqliteStore store(path);
        ASSERT_TRUE(store.insertUser({"u1", "a@example.org", "", "", "Ann", "", "hash", 1}));
        ASSERT_TRUE(store.insertUser({"u2", "b@example.org", "", "", "Bob", "", "hash", 1}));
        ASSERT_TRUE(store.insertGroup("g1", "Team", "u1", {"u2"}, 1));
    }
    {
        // Back to what the first schema had.
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open(path.toUtf8().constData(), &db), SQLITE_OK);
        const char *sql = "DROP TABLE deleted_messages; DROP TABLE messages; DROP TABLE conversation_members; DROP TABLE conversations;"
                          "DROP TABLE friend_requests; DROP TABLE blocks; PRAGMA user_version = 1;";
        EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }
    Storage::SqliteStore store(path);
    ASSERT_TRUE(store.userById("u1"));
    EXPECT_EQ(store.userById("u2")->nickname, "Bob");
    const auto conv = store.conversationOf("u2", "sg_g1");
    ASSERT_TRUE(conv);
    EXPECT_EQ(conv->showName, "Team");
    bool duplicate = true;
    Storage::NewMessage m;
    m.conversationID = "sg_g1";
    m.type = 3;
    m.groupID = "g1";
    m.sendID = "u1";
    m.clientMsgID = "c1";
    m.sendTime = 5;
    EXPECT_EQ(store.insertMessage(m, &duplicate)->seq, 1);
    EXPECT_FALSE(duplicate);
    EXPECT_EQ(store.conversationOf("u2", "sg_g1")->unread, 1);
}

} // namespace
