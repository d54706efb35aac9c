#include "ImSdkFixture.h"

#include <QImage>
#include <sqlite3.h>

using ImSdk::ListenerKind;

namespace {

class Messaging : public ImSdkTest {
protected:
    QString writeFile(const QString &name, const QByteArray &content)
    {
        QFile f(dir.filePath(name));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(content);
        return f.fileName();
    }

    static QByteArray pattern(qint64 size)
    {
        QByteArray data(size, Qt::Uninitialized);
        for (qint64 i = 0; i < size; ++i)
            data[i] = char((i * 7919) ^ (i >> 9));
        return data;
    }

    QByteArray download(const QString &url)
    {
        const Raw r = raw("GET", url);
        EXPECT_EQ(r.status, 200) << url.toStdString();
        return r.body;
    }

    // Runs one statement on an SQLite file; a row's first column as text, empty when none.
    static QByteArray sql(const QString &path, const char *statement, const QStringList &args)
    {
        sqlite3 *db = nullptr;
        EXPECT_EQ(sqlite3_open(path.toUtf8().constData(), &db), SQLITE_OK);
        sqlite3_busy_timeout(db, 5000);
        sqlite3_stmt *stmt = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(db, statement, -1, &stmt, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        for (int i = 0; i < args.size(); ++i)
            sqlite3_bind_text(stmt, i + 1, args[i].toUtf8().constData(), -1, SQLITE_TRANSIENT);
        const int rc = sqlite3_step(stmt);
        EXPECT_TRUE(rc == SQLITE_ROW || rc == SQLITE_DONE) << sqlite3_errmsg(db);
        QByteArray out;
        if (rc == SQLITE_ROW)
            out = QByteArray(reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0)), sqlite3_column_bytes(stmt, 0));
        sqlite3_finalize(stmt);
        sqlite3_close(db);
        return out;
    }

    // What a signed-out client's cache holds for a message of a conversation.
    static QJsonObject cached(const Client &c, const QString &conversationID, const QString &clientMsgID)
    {
        return QJsonDocument::fromJson(sql(c.dataDir + "/" + c.id() + "/cache.db",
                                           "SELECT json FROM messages WHERE conversationID = ?1 AND clientMsgID = ?2",
                                           {conversationID, clientMsgID}))
            .object();
    }

    // Carol, signed in, and the group g1 of Alice, Bob and Carol.
    Client &carolInTeam()
    {
        Client &c = client(registerUser("carol@example.org", "Carol"), "c");
        EXPECT_EQ(login(c).errCode, 0);
        EXPECT_TRUE(store().insertGroup("g1", "Team", a->id(), {a->id(), b->id(), c.id()}, QDateTime::currentMSecsSinceEpoch()));
        return c;
    }

    static bool newMessageIn(Client &c, const QString &conversationID, const QString &clientMsgID)
    {
        return waitEvent(c, ListenerKind::Message, 32, [&](const QJsonValue &d) {
            return d["conversationID"].toString() == conversationID && d["clientMsgID"].toString() == clientMsgID;
        }).has_value();
    }
};

// Each kind of message arrives at the peer with its identity, sender and element; media files
// are stored and come back byte for byte.
TEST_F(Messaging, TextPictureFileAndVoiceReachThePeer)
{
    QImage image(40, 30, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    const QString picturePath = dir.filePath("pic.png");
    ASSERT_TRUE(image.save(picturePath));
    const QByteArray fileBytes = pattern(6 * 1024 * 1024 + 123); // more than one part
    const QString filePath = writeFile("report.bin", fileBytes);
    const QByteArray voiceBytes = pattern(20000);
    const QString voicePath = writeFile("voice.m4a", voiceBytes);

    struct Case {
        const char *name;
        QByteArray message;
        int contentType;
        const char *elem;
    };
    const Case cases[] = {
        {"text", a->sdk->createText("hello \"bob\""), 101, "textElem"},
        {"picture", a->sdk->createImage(picturePath), 102, "pictureElem"},
        {"file", a->sdk->createFile(filePath, "Report.bin"), 105, "fileElem"},
        {"voice", a->sdk->createSound(voicePath, 7), 103, "soundElem"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const SendResult sent = send(*a, c.message, b->id());
        ASSERT_EQ(sent.reply.errCode, 0) << sent.reply.errMsg.toStdString();
        EXPECT_EQ(sent.progress.count(100), 1);
        EXPECT_EQ(sent.progress.last(), 100);
        EXPECT_TRUE(std::is_sorted(sent.progress.begin(), sent.progress.end()));

        const auto got = waitMessage(*b, clientMsgID(c.message));
        ASSERT_TRUE(got);
        const QJsonObject m = *got;
        EXPECT_EQ(m["sendID"].toString(), a->id());
        EXPECT_EQ(m["recvID"].toString(), b->id());
        EXPECT_EQ(m["contentType"].toInt(), c.contentType);
        EXPECT_GT(m["sendTime"].toDouble(), 0);
        EXPECT_EQ(m["senderNickname"].toString(), "Alice");
        EXPECT_TRUE(m.contains("senderFaceUrl"));
        EXPECT_TRUE(m[c.elem].isObject());
        EXPECT_EQ(sent.reply.object()["clientMsgID"].toString(), clientMsgID(c.message));
    }

    const QJsonObject text = *waitMessage(*b, clientMsgID(cases[0].message));
    EXPECT_EQ(text["textElem"]["content"].toString(), "hello \"bob\"");

    const QJsonObject picture = *waitMessage(*b, clientMsgID(cases[1].message));
    const QJsonObject source = picture["pictureElem"]["sourcePicture"].toObject();
    EXPECT_EQ(source["width"].toInt(), 40);
    EXPECT_EQ(source["height"].toInt(), 30);
    EXPECT_FALSE(source["url"].toString().isEmpty());
    EXPECT_EQ(picture["pictureElem"]["snapshotPicture"]["url"].toString(), source["url"].toString());
    QFile pictureFile(picturePath);
    ASSERT_TRUE(pictureFile.open(QIODevice::ReadOnly));
    EXPECT_EQ(download(source["url"].toString()), pictureFile.readAll());

    const QJsonObject file = *waitMessage(*b, clientMsgID(cases[2].message));
    EXPECT_EQ(file["fileElem"]["fileName"].toString(), "Report.bin");
    EXPECT_EQ(file["fileElem"]["fileSize"].toInteger(), fileBytes.size());
    EXPECT_TRUE(download(file["fileElem"]["sourceUrl"].toString()) == fileBytes);

    const QJsonObject voice = *waitMessage(*b, clientMsgID(cases[3].message));
    EXPECT_EQ(voice["soundElem"]["duration"].toInt(), 7);
    EXPECT_TRUE(download(voice["soundElem"]["sourceUrl"].toString()) == voiceBytes);
}

// The large file reports intermediate progress before its single final report.
TEST_F(Messaging, UploadReportsProgressBeforeTheFinalReport)
{
    const QString path = writeFile("big.bin", pattern(11 * 1024 * 1024));
    const SendResult sent = send(*a, a->sdk->createFile(path, {}), b->id());
    ASSERT_EQ(sent.reply.errCode, 0) << sent.reply.errMsg.toStdString();
    ASSERT_GE(sent.progress.size(), 2);
    for (qsizetype i = 0; i + 1 < sent.progress.size(); ++i)
        EXPECT_TRUE(sent.progress[i] >= 1 && sent.progress[i] <= 99) << sent.progress[i];
}

TEST_F(Messaging, SendFailuresCarryTheirCodes)
{
    EXPECT_EQ(send(*a, "{not json", b->id()).reply.errCode, ImSdk::kBadArguments);
    EXPECT_EQ(send(*a, a->sdk->createText("x"), {}).reply.errCode, ImSdk::kBadArguments);
    EXPECT_EQ(send(*a, a->sdk->createText("x"), b->id(), "g1").reply.errCode, ImSdk::kBadArguments);
    const SendResult missing = send(*a, a->sdk->createFile(dir.filePath("no-such-file"), {}), b->id());
    EXPECT_EQ(missing.reply.errCode, ImSdk::kUploadFailed);
    EXPECT_EQ(send(*a, a->sdk->createText("x"), "nobody-here").reply.errCode, 1004);
}

// Unread count grows with the peer's messages; mark read, pin, mute and hide reach the list.
TEST_F(Messaging, ConversationStateFollowsReadPinMuteAndHide)
{
    const QString conversationID = single(*a, *b);
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(send(*a, a->sdk->createText(QString("m%1").arg(i)), b->id()).reply.errCode, 0);
    // The first message makes the conversation new (29); later ones change it (30).
    const auto latestText = [](const QJsonValue &c) {
        return QJsonDocument::fromJson(c["latestMsg"].toString().toUtf8()).object().value("textElem").toObject().value("content").toString();
    };
    ASSERT_TRUE(waitEvent(*b, ListenerKind::Conversation, 29, [&](const QJsonValue &d) { return d[0]["conversationID"] == conversationID; }));
    ASSERT_EQ(send(*a, a->sdk->createText("m2"), b->id()).reply.errCode, 0);
    const auto changed = waitEvent(*b, ListenerKind::Conversation, 30, [&](const QJsonValue &d) {
        return d[0]["conversationID"] == conversationID && d[0]["unreadCount"].toInt() == 3 && latestText(d[0]) == "m2";
    });
    EXPECT_TRUE(changed) << "no conversation event with unreadCount 3 and the latest message";

    const auto conversation = [&]() -> QJsonObject {
        for (const QJsonValue &c : call([&](ImSdk::Callback cb) { b->sdk->conversations(cb); }).array())
            if (c["conversationID"].toString() == conversationID)
                return c.toObject();
        return {};
    };
    EXPECT_EQ(conversation()["unreadCount"].toInt(), 3);
    EXPECT_EQ(conversation()["showName"].toString(), "Alice");

    EXPECT_EQ(call([&](ImSdk::Callback cb) { b->sdk->markRead(conversationID, cb); }).errCode, 0);
    EXPECT_EQ(conversation()["unreadCount"].toInt(), 0);
    EXPECT_EQ(call([&](ImSdk::Callback cb) { b->sdk->setConversation(conversationID, R"({"isPinned":true})", cb); }).errCode, 0);
    EXPECT_TRUE(conversation()["isPinned"].toBool());
    EXPECT_EQ(call([&](ImSdk::Callback cb) { b->sdk->setConversation(conversationID, R"({"recvMsgOpt":2})", cb); }).errCode, 0);
    EXPECT_EQ(conversation()["recvMsgOpt"].toInt(), 2);
    EXPECT_EQ(call([&](ImSdk::Callback cb) { b->sdk->setConversation(conversationID, R"({"isPinned":"yes"})", cb); }).errCode,
              ImSdk::kBadArguments);
    EXPECT_EQ(call([&](ImSdk::Callback cb) { b->sdk->setConversation(conversationID, "[1,", cb); }).errCode, ImSdk::kBadArguments);
    EXPECT_EQ(call([&](ImSdk::Callback cb) { b->sdk->hideConversation(conversationID, cb); }).errCode, 0);
    EXPECT_TRUE(conversation().isEmpty());
}

TEST_F(Messaging, RecallReachesThePeerAndDeleteHidesForTheCaller)
{
    const QString conversationID = single(*a, *b);
    const QByteArray first = a->sdk->createText("oops");
    const QByteArray second = a->sdk->createText("keep");
    ASSERT_EQ(send(*a, first, b->id()).reply.errCode, 0);
    ASSERT_EQ(send(*a, second, b->id()).reply.errCode, 0);
    ASSERT_TRUE(waitMessage(*b, clientMsgID(second)));

    EXPECT_EQ(call([&](ImSdk::Callback cb) { b->sdk->revoke(conversationID, clientMsgID(first), cb); }).errCode, 1301);
    ASSERT_EQ(call([&](ImSdk::Callback cb) { a->sdk->revoke(conversationID, clientMsgID(first), cb); }).errCode, 0);
    const auto recalled = waitEvent(*b, ListenerKind::Message, 35);
    ASSERT_TRUE(recalled);
    EXPECT_EQ((*recalled)["clientMsgID"].toString(), clientMsgID(first));
    EXPECT_EQ((*recalled)["conversationID"].toString(), conversationID);
    EXPECT_EQ((*recalled)["revokerID"].toString(), a->id());
    EXPECT_EQ(b->recorder->events(ListenerKind::Message, 32).size(), 2) << "a notice is never a new message";

    ASSERT_EQ(call([&](ImSdk::Callback cb) { a->sdk->deleteMessage(conversationID, clientMsgID(second), cb); }).errCode, 0);
    const auto ids = [&](Client &c) {
        QStringList out;
        const QByteArray options = QJsonDocument(QJsonObject{{"conversationID", conversationID}, {"count", 20}, {"startClientMsgID", ""}}).toJson();
        for (const QJsonValue &m : call([&](ImSdk::Callback cb) { c.sdk->history(options, cb); }).object()["messageList"].toArray())
            out << m["clientMsgID"].toString() + ":" + QString::number(m["contentType"].toInt());
        return out;
    };
    EXPECT_EQ(ids(*a), QStringList{clientMsgID(first) + ":2101"});
    EXPECT_EQ(ids(*b), (QStringList{clientMsgID(first) + ":2101", clientMsgID(second) + ":101"}));
}

// Bob copies the ID of Alice's group message into a message of his own to Carol. The service
// refuses it, so Carol neither loses a message to the copy nor sees the original recalled.
TEST_F(Messaging, CopiedMessageIDIsRefused)
{
    Client &c = carolInTeam();
    const QByteArray original = a->sdk->createText("to the team");
    const QString id = clientMsgID(original);
    ASSERT_EQ(send(*a, original, {}, "g1").reply.errCode, 0);
    ASSERT_TRUE(newMessageIn(c, "sg_g1", id));

    QJsonObject copy = QJsonDocument::fromJson(b->sdk->createText("mine")).object();
    copy["clientMsgID"] = id;
    const SendResult sent = send(*b, QJsonDocument(copy).toJson(), c.id());
    EXPECT_EQ(sent.reply.errCode, 1304) << sent.reply.errMsg.toStdString();
    EXPECT_EQ(call([&](ImSdk::Callback cb) { b->sdk->revoke(single(*b, c), id, cb); }).errCode, 1004);

    // Bob's next message comes after anything the copy and its recall would have caused.
    const QByteArray later = b->sdk->createText("later");
    ASSERT_EQ(send(*b, later, c.id()).reply.errCode, 0);
    ASSERT_TRUE(newMessageIn(c, single(*b, c), clientMsgID(later)));
    EXPECT_TRUE(c.recorder->events(ListenerKind::Message, 35).isEmpty());
    ASSERT_EQ(call([&](ImSdk::Callback cb) { c.sdk->logout(cb); }).errCode, 0);
    const QJsonObject kept = cached(c, "sg_g1", id);
    EXPECT_EQ(kept["contentType"].toInt(), 101);
    EXPECT_EQ(kept["textElem"]["content"].toString(), "to the team");
    EXPECT_TRUE(cached(c, single(*b, c), id).isEmpty());
}

// Messages of two conversations that share an ID (stored before the service refused that) are
// both delivered and cached, and a recall reaches only its sender's message in its conversation.
TEST_F(Messaging, MessagesSharingAnIDStayApart)
{
    Client &c = carolInTeam();
    ASSERT_EQ(call([&](ImSdk::Callback cb) { c.sdk->logout(cb); }).errCode, 0);
    const QByteArray original = a->sdk->createText("to the team");
    const QString id = clientMsgID(original);
    ASSERT_EQ(send(*a, original, {}, "g1").reply.errCode, 0);
    const QByteArray copy = b->sdk->createText("mine");
    ASSERT_EQ(send(*b, copy, c.id()).reply.errCode, 0);
    sql(dir.filePath("data/sarvo.db"),
        "UPDATE messages SET client_msg_id = ?1, record = json_set(record, '$.clientMsgID', ?1) WHERE client_msg_id = ?2",
        {id, clientMsgID(copy)});

    ASSERT_EQ(login(c).errCode, 0);
    EXPECT_TRUE(newMessageIn(c, "sg_g1", id));
    EXPECT_TRUE(newMessageIn(c, single(*b, c), id)) << "the second message with that ID is not dropped";
    ASSERT_EQ(call([&](ImSdk::Callback cb) { b->sdk->revoke(single(*b, c), id, cb); }).errCode, 0);
    ASSERT_TRUE(waitEvent(c, ListenerKind::Message, 35, [&](const QJsonValue &d) { return d["conversationID"].toString() == single(*b, c); }));
    ASSERT_EQ(call([&](ImSdk::Callback cb) { c.sdk->logout(cb); }).errCode, 0);

    const QJsonObject group = cached(c, "sg_g1", id);
    EXPECT_EQ(group["contentType"].toInt(), 101);
    EXPECT_EQ(group["sendID"].toString(), a->id());
    EXPECT_EQ(group["textElem"]["content"].toString(), "to the team");
    const QJsonObject single = cached(c, ImSdkTest::single(*b, c), id);
    EXPECT_EQ(single["contentType"].toInt(), 2101);
    EXPECT_EQ(single["sendID"].toString(), b->id());
}

TEST_F(Messaging, TypingStartsAndStops)
{
    ASSERT_EQ(call([&](ImSdk::Callback cb) { a->sdk->typing(b->id(), "yes", cb); }).errCode, 0);
    const auto started = waitEvent(*b, ListenerKind::Conversation, 55);
    ASSERT_TRUE(started);
    EXPECT_EQ((*started)["userID"].toString(), a->id());
    EXPECT_EQ((*started)["conversationID"].toString(), single(*a, *b));
    EXPECT_EQ((*started)["platformIDs"].toArray(), QJsonArray{4});
    ASSERT_EQ(call([&](ImSdk::Callback cb) { a->sdk->typing(b->id(), "no", cb); }).errCode, 0);
    EXPECT_TRUE(waitEvent(*b, ListenerKind::Conversation, 55, [](const QJsonValue &d) { return d["platformIDs"].toArray().isEmpty(); }));
}

TEST_F(Messaging, SendersOtherDeviceReceivesTheMessage)
{
    Client &a2 = client(alice, "a2");
    ASSERT_EQ(login(a2).errCode, 0);
    const QByteArray message = a->sdk->createText("from my laptop");
    ASSERT_EQ(send(*a, message, b->id()).reply.errCode, 0);
    const auto got = waitMessage(a2, clientMsgID(message));
    ASSERT_TRUE(got);
    EXPECT_EQ((*got)["sendID"].toString(), a->id());
    EXPECT_TRUE(a->recorder->events(ListenerKind::Message, 32).isEmpty()) << "the sending instance is not told again";
}

TEST_F(Messaging, ReceiverCatchesUpOnWhatItMissed)
{
    ASSERT_EQ(call([&](ImSdk::Callback cb) { b->sdk->logout(cb); }).errCode, 0);
    const QByteArray m1 = a->sdk->createText("while you were away");
    const QByteArray m2 = a->sdk->createText("and again");
    ASSERT_EQ(send(*a, m1, b->id()).reply.errCode, 0);
    ASSERT_EQ(send(*a, m2, b->id()).reply.errCode, 0);
    EXPECT_TRUE(b->recorder->events(ListenerKind::Message, 32).isEmpty());

    ASSERT_EQ(login(*b).errCode, 0);
    EXPECT_TRUE(waitMessage(*b, clientMsgID(m1)));
    EXPECT_TRUE(waitMessage(*b, clientMsgID(m2)));
    EXPECT_TRUE(waitEvent(*b, ListenerKind::Conversation, 29,
                          [&](const QJsonValue &d) { return d[0]["conversationID"].toString() == single(*a, *b); }));
}

TEST_F(Messaging, GroupMessageFansOutToEveryMember)
{
    const auto carol = registerUser("carol@example.org", "Carol");
    Client &c = client(carol, "c");
    ASSERT_EQ(login(c).errCode, 0);
    ASSERT_TRUE(store().insertGroup("g1", "Team", a->id(), {a->id(), b->id(), carol.userID}, QDateTime::currentMSecsSinceEpoch()));

    const QByteArray message = a->sdk->createText("hello team");
    const SendResult sent = send(*a, message, {}, "g1");
    ASSERT_EQ(sent.reply.errCode, 0) << sent.reply.errMsg.toStdString();
    for (Client *member : {b, &c}) {
        const auto got = waitMessage(*member, clientMsgID(message));
        ASSERT_TRUE(got);
        EXPECT_EQ((*got)["groupID"].toString(), "g1");
        EXPECT_EQ((*got)["sessionType"].toInt(), 3);
    }
    const auto outsider = registerUser("dave@example.org", "Dave");
    Client &d = client(outsider, "d");
    ASSERT_EQ(login(d).errCode, 0);
    EXPECT_EQ(send(d, d.sdk->createText("let me in"), {}, "g1").reply.errCode, 1301);
}

TEST_F(Messaging, BlockedSenderIsRefused)
{
    ASSERT_EQ(call([&](ImSdk::Callback cb) { b->sdk->addBlack(a->id(), {}, cb); }).errCode, 0);
    const SendResult sent = send(*a, a->sdk->createText("hi?"), b->id());
    EXPECT_EQ(sent.reply.errCode, 1302);
    EXPECT_EQ(send(*b, b->sdk->createText("I can still write"), a->id()).reply.errCode, 0);
}

TEST_F(Messaging, FriendRequestsAreAcceptedAndRefused)
{
    const QByteArray toBob = QJsonDocument(QJsonObject{{"toUserID", b->id()}, {"reqMsg", "it's \"Alice\""}}).toJson();
    ASSERT_EQ(call([&](ImSdk::Callback cb) { a->sdk->addFriend(toBob, cb); }).errCode, 0);
    EXPECT_TRUE(waitEvent(*b, ListenerKind::Friend, ImSdk::Event::FriendRequest));
    const QJsonArray requests = call([&](ImSdk::Callback cb) { b->sdk->friendRequests(R"({"offset":0,"count":100})", cb); }).array();
    ASSERT_EQ(requests.size(), 1);
    EXPECT_EQ(requests[0]["fromUserID"].toString(), a->id());
    EXPECT_EQ(requests[0]["reqMsg"].toString(), "it's \"Alice\"");

    const QByteArray fromAlice = QJsonDocument(QJsonObject{{"toUserID", a->id()}, {"handleMsg", ""}}).toJson();
    ASSERT_EQ(call([&](ImSdk::Callback cb) { b->sdk->acceptFriend(fromAlice, cb); }).errCode, 0);
    EXPECT_TRUE(waitEvent(*a, ListenerKind::Friend, ImSdk::Event::FriendAdded));
    const QJsonArray friends = call([&](ImSdk::Callback cb) { a->sdk->friends(false, cb); }).array();
    ASSERT_EQ(friends.size(), 1);
    EXPECT_EQ(friends[0]["userID"].toString(), b->id());
    EXPECT_EQ(call([&](ImSdk::Callback cb) { b->sdk->acceptFriend(fromAlice, cb); }).errCode, 1303);

    const auto carol = registerUser("carol@example.org", "Carol");
    Client &c = client(carol, "c");
    ASSERT_EQ(login(c).errCode, 0);
    ASSERT_EQ(call([&](ImSdk::Callback cb) { c.sdk->addFriend(toBob, cb); }).errCode, 0);
    const QByteArray fromCarol = QJsonDocument(QJsonObject{{"toUserID", carol.userID}, {"handleMsg", "no"}}).toJson();
    ASSERT_EQ(call([&](ImSdk::Callback cb) { b->sdk->refuseFriend(fromCarol, cb); }).errCode, 0);
    int refused = 0;
    for (const QJsonValue &r : call([&](ImSdk::Callback cb) { b->sdk->friendRequests({}, cb); }).array())
        refused += r["fromUserID"].toString() == carol.userID && r["handleResult"].toInt() == -1;
    EXPECT_EQ(refused, 1);
    EXPECT_EQ(call([&](ImSdk::Callback cb) { b->sdk->friends(false, cb); }).array().size(), 1);
    EXPECT_EQ(call([&](ImSdk::Callback cb) { b->sdk->acceptFriend("{\"toUserID\":", cb); }).errCode, ImSdk::kBadArguments);
}

} // namespace
