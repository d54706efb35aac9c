#pragma once

#include "server/ServerFixture.h"
#include "support/EventLoop.h"

#include "core/Codes.h"
#include "core/Instance.h"

#include <QJsonDocument>

#include <memory>
#include <mutex>

// What an SDK call answered.
struct Reply {
    int errCode = -1;
    QString errMsg;
    QByteArray data;
    QJsonObject object() const { return QJsonDocument::fromJson(data).object(); }
    QJsonArray array() const { return QJsonDocument::fromJson(data).array(); }
};

// Every listener event of one instance, in arrival order (recorded on the SDK thread).
class Recorder {
public:
    struct Event {
        ImSdk::ListenerKind kind;
        int event;
        QJsonValue data;
    };

    void attach(ImSdk::Instance &sdk, ImSdk::ListenerKind kind)
    {
        sdk.setListener(kind, [this, kind](int event, const QByteArray &data) {
            const QJsonDocument doc = QJsonDocument::fromJson(data);
            record(kind, event, doc.isArray() ? QJsonValue(doc.array()) : QJsonValue(doc.object()));
        });
    }
    void record(ImSdk::ListenerKind kind, int event, const QJsonValue &data = {})
    {
        std::lock_guard lock(m_mutex);
        m_events.append({kind, event, data});
    }
    QList<Event> events()
    {
        std::lock_guard lock(m_mutex);
        return m_events;
    }
    QList<Event> events(ImSdk::ListenerKind kind, int event)
    {
        QList<Event> out;
        for (const Event &e : events())
            if (e.kind == kind && e.event == event)
                out.append(e);
        return out;
    }
    void clear()
    {
        std::lock_guard lock(m_mutex);
        m_events.clear();
    }

private:
    std::mutex m_mutex;
    QList<Event> m_events;
};

// Two users, Alice (a) and Bob (b), each with a signed-in SDK instance of their own, over the
// in-process server. More instances (another device, a third user) come from client().
class ImSdkTest : public ServerTest {
protected:
    struct Client {
        ChatApi::LoginResult user;
        QString dataDir;
        std::unique_ptr<Recorder> recorder; // outlives the instance that feeds it
        std::unique_ptr<ImSdk::Instance> sdk;
        QString id() const { return user.userID; }
    };

    void SetUp() override
    {
        ServerTest::SetUp();
        alice = registerUser("alice@example.org", "Alice");
        bob = registerUser("bob@example.org", "Bob");
        a = &client(alice, "a");
        b = &client(bob, "b");
        ASSERT_EQ(login(*a).errCode, 0);
        ASSERT_EQ(login(*b).errCode, 0);
    }

    void TearDown() override
    {
        clients.clear();
        ServerTest::TearDown();
    }

    // A new instance for `user` with its own data directory `name`, initialised, not signed in;
    // `gateway` replaces the service's gateway URL (a relay in front of it).
    Client &client(const ChatApi::LoginResult &user, const QString &name, const QString &gateway = {},
                   const ImSdk::Connection::Timing &timing = {})
    {
        auto c = std::make_unique<Client>();
        c->user = user;
        c->dataDir = dir.filePath("sdk-" + name);
        c->sdk = std::make_unique<ImSdk::Instance>();
        c->recorder = std::make_unique<Recorder>();
        for (auto kind : {ImSdk::ListenerKind::Conversation, ImSdk::ListenerKind::Message, ImSdk::ListenerKind::Friend})
            c->recorder->attach(*c->sdk, kind);
        Recorder *recorder = c->recorder.get();
        const QJsonObject config{{"platformID", 4},
                                 {"apiAddr", ServiceConfig::current().imApiBase()},
                                 {"wsAddr", gateway.isEmpty() ? ServiceConfig::current().gatewayUrl() : gateway},
                                 {"dataDir", c->dataDir},
                                 {"logLevel", 4},
                                 {"isLogStandardOutput", qEnvironmentVariableIsSet("IMSDK_TEST_LOG")},
                                 {"logFilePath", c->dataDir + "/log"}};
        EXPECT_TRUE(c->sdk->init(QJsonDocument(config).toJson(QJsonDocument::Compact), [recorder](int event, const QByteArray &) {
            // Connection events share the recorder under their own kind.
            recorder->record(ImSdk::ListenerKind::Connection, event);
        }, timing));
        clients.push_back(std::move(c));
        return *clients.back();
    }

    // Runs one SDK call to its answer.
    static Reply call(const std::function<void(ImSdk::Callback)> &start, int timeoutMs = 10000)
    {
        auto reply = std::make_shared<Reply>();
        auto done = std::make_shared<std::atomic<bool>>(false);
        start([reply, done](int code, const QString &msg, const QByteArray &data) {
            *reply = Reply{code, msg, data};
            done->store(true);
        });
        EXPECT_TRUE(spinUntil([&] { return done->load(); }, timeoutMs)) << "no answer";
        return *reply;
    }

    Reply login(Client &c, const QString &token = {})
    {
        const QString t = token.isEmpty() ? c.user.imToken : token;
        return call([&](ImSdk::Callback cb) { c.sdk->login(c.id(), t, cb); });
    }

    struct SendResult {
        Reply reply;
        QList<int> progress; // every report, the final one included
    };

    // Sends and waits for the final report (progress 0 / >= 100 or an error).
    static SendResult send(Client &c, const QByteArray &message, const QString &recvID, const QString &groupID = {})
    {
        auto result = std::make_shared<SendResult>();
        auto done = std::make_shared<std::atomic<bool>>(false);
        auto mutex = std::make_shared<std::mutex>();
        c.sdk->send(message, recvID, groupID, {}, [=](int code, const QString &msg, const QByteArray &data, int progress) {
            std::lock_guard lock(*mutex);
            result->progress.append(progress);
            if (code != 0 || progress == 0 || progress >= 100) {
                result->reply = Reply{code, msg, data};
                done->store(true);
            }
        });
        EXPECT_TRUE(spinUntil([&] { return done->load(); }, 20000)) << "send did not finish";
        std::lock_guard lock(*mutex);
        return *result;
    }

    // Waits for an event of `kind`/`event` whose data satisfies `match`; returns its data.
    static std::optional<QJsonValue> waitEvent(Client &c, ImSdk::ListenerKind kind, int event,
                                               const std::function<bool(const QJsonValue &)> &match = {}, int timeoutMs = 10000)
    {
        std::optional<QJsonValue> found;
        spinUntil([&] {
            for (const Recorder::Event &e : c.recorder->events(kind, event))
                if (!match || match(e.data)) {
                    found = e.data;
                    return true;
                }
            return false;
        }, timeoutMs);
        return found;
    }

    // Waits for a new-message event carrying clientMsgID.
    static std::optional<QJsonObject> waitMessage(Client &c, const QString &clientMsgID, int timeoutMs = 10000)
    {
        const auto v = waitEvent(c, ImSdk::ListenerKind::Message, 32,
                                 [&](const QJsonValue &d) { return d["clientMsgID"].toString() == clientMsgID; }, timeoutMs);
        return v ? std::optional<QJsonObject>(v->toObject()) : std::nullopt;
    }

    static QString clientMsgID(const QByteArray &message) { return QJsonDocument::fromJson(message).object()["clientMsgID"].toString(); }

    static QString single(const Client &x, const Client &y)
    {
        return x.id() < y.id() ? "si_" + x.id() + "_" + y.id() : "si_" + y.id() + "_" + x.id();
    }

    ChatApi::LoginResult alice, bob;
    Client *a = nullptr;
    Client *b = nullptr;
    std::vector<std::unique_ptr<Client>> clients;
};
