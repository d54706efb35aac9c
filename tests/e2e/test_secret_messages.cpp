// Secret-message envelopes between installations that share one directory.
#include "E2ETestSupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSettings>
#include <QTemporaryDir>

#include <algorithm>
#include <random>

namespace {

const QString kTok = QStringLiteral("tok");

QJsonObject parse(const QString &envelope)
{
    return QJsonDocument::fromJson(envelope.toUtf8()).object();
}

QStringList sortedKeys(const QJsonObject &o)
{
    QStringList keys = o.keys();
    keys.sort();
    return keys;
}

TEST(SecretMessages, OneDeviceEachTalksVersion2)
{
    ServerDirectory directory;
    Installation alice(directory, "alice");
    Installation bob(directory, "bob");
    alice.publish();
    bob.publish();

    const std::optional<QString> first = alice.send("bob", "hi bob");
    ASSERT_TRUE(first);
    const QJsonObject o = parse(*first);
    EXPECT_EQ(sortedKeys(o), (QStringList{"ct", "dh", "iv", "mireloType", "n", "pn", "v"}));
    EXPECT_EQ(o.value("mireloType"), "secret");
    EXPECT_EQ(o.value("v"), 2);
    EXPECT_TRUE(alice.e2e.loadSess("bob"));

    EXPECT_EQ(bob.open("alice", *first, "alice", "m1"), "hi bob");
    EXPECT_TRUE(bob.e2e.loadSess("alice"));
    for (int round = 0; round < 3; ++round) {
        const QString reply = QStringLiteral("reply %1").arg(round);
        EXPECT_EQ(alice.open("bob", *bob.send("alice", reply), "bob"), reply);
        const QString again = QStringLiteral("again %1 ✓").arg(round);
        EXPECT_EQ(bob.open("alice", *alice.send("bob", again), "alice"), again);
    }
    // Alice cannot open her own message; the chat caches it for her.
    EXPECT_EQ(alice.open("bob", *first, "alice", "m1"), std::nullopt);
    alice.e2e.ptPut("m1", "hi bob");
    EXPECT_EQ(alice.open("bob", *first, "alice", "m1"), "hi bob");
}

TEST(SecretMessages, ASecondOwnDeviceSwitchesToVersion3)
{
    ServerDirectory directory;
    Installation alice(directory, "alice");
    Installation bob(directory, "bob");
    alice.publish();
    bob.publish();
    ManualClock clock;
    alice.e2e.setClock(clock.fn());
    EXPECT_EQ(parse(*alice.send("bob", "before")).value("v"), 2);

    Installation laptop(directory, "alice");
    laptop.publish();
    clock.now += E2E::kDeviceCacheMs;   // Alice's phone sees the laptop once its cache expires

    const QString envelope = *alice.send("bob", "after");
    const QJsonObject o = parse(envelope);
    EXPECT_EQ(sortedKeys(o), (QStringList{"from", "mireloType", "msgs", "v"}));
    EXPECT_EQ(o.value("v"), 3);
    EXPECT_EQ(o.value("from"), alice.e2e.deviceID());
    const QJsonArray msgs = o.value("msgs").toArray();
    ASSERT_EQ(msgs.size(), 2);
    EXPECT_EQ(msgs[0].toObject().value("to"), bob.e2e.deviceID());
    EXPECT_EQ(msgs[1].toObject().value("to"), laptop.e2e.deviceID());
    EXPECT_EQ(sortedKeys(msgs[0].toObject()), (QStringList{"ct", "dh", "iv", "n", "pn", "to"}));
    EXPECT_TRUE(alice.e2e.loadSess("bob#" + bob.e2e.deviceID()));
    EXPECT_TRUE(alice.e2e.loadSess("alice#" + laptop.e2e.deviceID()));

    EXPECT_EQ(bob.open("alice", envelope, "alice"), "after");
    EXPECT_TRUE(bob.e2e.loadSess("alice#" + alice.e2e.deviceID()));
    EXPECT_EQ(laptop.open("bob", envelope, "alice"), "after");
    EXPECT_EQ(alice.open("bob", envelope, "alice", "m2"), std::nullopt);   // its own copy
    alice.e2e.ptPut("m2", "after");
    EXPECT_EQ(alice.open("bob", envelope, "alice", "m2"), "after");

    // Bob's answer reaches both of Alice's devices, on the sessions just made.
    const QString reply = *bob.send("alice", "to both");
    EXPECT_EQ(parse(reply).value("msgs").toArray().size(), 2);
    EXPECT_EQ(alice.open("bob", reply, "bob"), "to both");
    EXPECT_EQ(laptop.open("bob", reply, "bob"), "to both");
    EXPECT_EQ(bob.open("alice", *alice.send("bob", "round two"), "alice"), "round two");
}

TEST(SecretMessages, ARotatedSenderKeyIsFoundWithASecondDirectoryFetch)
{
    ServerDirectory directory;
    Installation alice(directory, "alice");
    Installation laptop(directory, "alice");
    Installation bob(directory, "bob");
    alice.publish();
    laptop.publish();
    bob.publish();
    EXPECT_EQ(bob.open("alice", *alice.send("bob", "one"), "alice"), "one");
    EXPECT_EQ(bob.open("alice", *laptop.send("bob", "two"), "alice"), "two");
    int events = 0;
    QObject::connect(&bob.e2e, &E2E::keyChangedNotification, [&] { ++events; });

    // Bob's cache still holds the laptop's old key when its first message under the new key arrives.
    await(laptop.e2e.rotateKeys(kTok, "alice"));
    const QString three = *laptop.send("bob", "three");
    const int requests = directory.requests;
    EXPECT_EQ(bob.open("alice", three, "alice"), "three");
    EXPECT_EQ(directory.requests, requests + 1);
    EXPECT_EQ(events, 1);
}

TEST(SecretMessages, OpeningAMessageTwiceUsesTheCacheAndLeavesTheSession)
{
    ServerDirectory directory;
    Installation alice(directory, "alice");
    Installation bob(directory, "bob");
    alice.publish();
    bob.publish();
    const QString first = *alice.send("bob", "first");
    const QString second = *alice.send("bob", "second");
    EXPECT_EQ(bob.open("alice", first, "alice", "m1"), "first");
    const QByteArray session = *bob.store.bytes(E2E::kSessionPrefix + "alice");

    EXPECT_EQ(bob.open("alice", first, "alice", "m1"), "first");
    EXPECT_EQ(bob.store.bytes(E2E::kSessionPrefix + "alice"), session);

    // Replays under another id, and tampered copies, fail and leave the session as it was.
    QJsonObject tampered = parse(second);
    QByteArray ct = Crypto::fromBase64(tampered.value("ct").toString());
    ct[0] = char(ct[0] ^ 1);
    tampered.insert("ct", Crypto::toBase64(ct));
    const QString tamperedText = QString::fromUtf8(QJsonDocument(tampered).toJson());
    for (const QString &bad : {first, tamperedText}) {
        EXPECT_EQ(bob.open("alice", bad, "alice", "other"), std::nullopt);
        EXPECT_EQ(bob.store.bytes(E2E::kSessionPrefix + "alice"), session);
    }
    EXPECT_EQ(bob.open("alice", second, "alice", "m2"), "second");
}

TEST(SecretMessages, UnreadableEnvelopesGiveNoneAndStoreNothing)
{
    ServerDirectory directory;
    Installation alice(directory, "alice");
    Installation bob(directory, "bob");
    alice.publish();
    bob.publish();
    const QString mine = bob.e2e.deviceID();
    const QStringList envelopes{
        "not json",
        "[]",
        R"({"v":2})",
        R"({"mireloType":"edit","v":2})",
        R"({"mireloType":"secret","v":2,"dh":5,"pn":"x","n":[],"iv":{},"ct":null})",
        R"({"mireloType":"secret","v":2,"dh":"AAAA","pn":0,"n":0,"iv":"AAAA","ct":"AAAAAAAAAAAAAAAAAAAAAAAAAAAA"})",
        R"({"mireloType":"secret","v":3,"from":"x"})",
        R"({"mireloType":"secret","v":3,"from":"x","msgs":{}})",
        QStringLiteral(R"({"mireloType":"secret","v":3,"from":"x","msgs":[1,{"to":"%1"}]})").arg(mine),
        R"({"mireloType":"secret","v":3,"from":"x","msgs":[{"to":"someone else"}]})",
        QStringLiteral(R"({"mireloType":"secret","v":3,"from":"x","msgs":[{"to":"%1","dh":"??"}]})").arg(mine),
        R"({"mireloType":"secret","iv":"AAAA","ct":"AAAA"})",
    };
    for (const QString &envelope : envelopes)
        EXPECT_EQ(bob.open("alice", envelope, "alice", "id"), std::nullopt) << envelope.toStdString();
    for (const QString &key : bob.store.keys())
        EXPECT_FALSE(key.startsWith(E2E::kSessionPrefix)) << key.toStdString();
    EXPECT_TRUE(bob.e2e.ptLoad().map.isEmpty());
}

TEST(SecretMessages, APeerWithoutKeysGivesNoneAndABadKeyFailsTheSend)
{
    ServerDirectory directory;
    Installation alice(directory, "alice");
    alice.publish();
    EXPECT_EQ(*await(alice.e2e.buildSecret(kTok, "alice", "carol", "x")).value, std::nullopt);
    EXPECT_EQ(*await(alice.e2e.buildSecretEnvelope(kTok, "alice", "carol", {{"kind", "text"}})).value, std::nullopt);

    directory.entries["dave"] = {{"d1", "bm90IGEga2V5"}};
    const Outcome<std::optional<QString>> out = await(alice.e2e.buildSecret(kTok, "alice", "dave", "x"));
    ASSERT_TRUE(out.error);
    EXPECT_EQ(out.error->message(), "invalid key");
}

TEST(SecretMessages, EnvelopeOfADictionaryCarriesItsCompactJson)
{
    ServerDirectory directory;
    Installation alice(directory, "alice");
    Installation bob(directory, "bob");
    alice.publish();
    bob.publish();
    const QJsonObject payload{{"kind", "text"}, {"text", "hello ✓"}};
    const std::optional<QString> envelope = *await(alice.e2e.buildSecretEnvelope(kTok, "alice", "bob", payload)).value;
    ASSERT_TRUE(envelope);
    EXPECT_EQ(bob.open("alice", *envelope, "alice"), QString::fromUtf8(QJsonDocument(payload).toJson(QJsonDocument::Compact)));
}

TEST(SecretMessages, PlaintextCacheKeeps800InPutOrder)
{
    ServerDirectory directory;
    Installation me(directory, "me");
    for (int i = 0; i < 800; ++i)
        me.e2e.ptPut(QStringLiteral("m%1").arg(i), QStringLiteral("t%1").arg(i));
    me.e2e.ptPut("m0", "changed");
    me.e2e.ptPut("", "ignored");
    E2E::PtCache cache = me.e2e.ptLoad();
    EXPECT_EQ(cache.order.size(), 800);
    EXPECT_EQ(cache.order.first(), "m0");
    EXPECT_EQ(cache.map.value("m0"), "changed");

    me.e2e.ptPut("m800", "t800");
    E2E restarted(directory, me.store);
    cache = restarted.ptLoad();
    EXPECT_EQ(cache.order.size(), 800);
    EXPECT_EQ(cache.map.size(), 800);
    EXPECT_FALSE(cache.map.contains("m0"));
    EXPECT_EQ(cache.order.first(), "m1");
    EXPECT_EQ(cache.order.last(), "m800");
}

TEST(SecretMessages, UnreadableStoredCachesAreRepairedNotTrusted)
{
    struct Case {
        const char *stored;
        QStringList order;
    };
    const Case cases[] = {
        {"garbage", {}},
        {R"({"order":"x","map":[]})", {}},
        {R"({"order":["a","a","gone",7],"map":{"a":"1","b":"2","n":3}})", {"b", "a"}},
    };
    for (const Case &c : cases) {
        MemoryStore store;
        store.setBytes(E2E::kPtCacheKey, c.stored);
        ServerDirectory directory;
        E2E e2e(directory, store);
        const E2E::PtCache cache = e2e.ptLoad();
        EXPECT_EQ(cache.order, c.order) << c.stored;
        EXPECT_EQ(cache.map.size(), c.order.size()) << c.stored;
    }
}

// Many sends and decryptions on one session at once: each task loads, changes and stores the
// session; without the per-session queue some would work on a stale copy and lose an update.
TEST(SecretMessages, ConcurrentTasksOnOneSessionLoseNoUpdate)
{
    ServerDirectory directory;
    Installation alice(directory, "alice");
    Installation bob(directory, "bob");
    alice.publish();
    bob.publish();
    constexpr int kCount = 24;

    std::vector<QCoro::Task<Outcome<std::optional<QString>>>> sends;
    for (int i = 0; i < kCount; ++i)
        sends.push_back(captureOutcome(alice.e2e.buildSecret(kTok, "alice", "bob", QStringLiteral("a%1").arg(i))));
    QStringList fromAlice;
    QList<qint64> numbers;
    for (auto &task : sends) {
        const Outcome<std::optional<QString>> out = QCoro::waitFor(task);
        ASSERT_TRUE(out.value && *out.value);
        fromAlice.append(**out.value);
        numbers.append(parse(**out.value).value("n").toInteger());
    }
    std::sort(numbers.begin(), numbers.end());
    for (int i = 0; i < kCount; ++i)
        EXPECT_EQ(numbers[i], i);
    EXPECT_EQ(alice.e2e.loadSess("bob")->ns, kCount);

    // Bob opens them in a shuffled order while he sends replies on the same session.
    std::vector<int> order(kCount);
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), std::mt19937(5));
    std::vector<QCoro::Task<std::optional<QString>>> opens;
    std::vector<QCoro::Task<Outcome<std::optional<QString>>>> replies;
    for (int i : order) {
        opens.push_back(bob.e2e.decrypt(kTok, "bob", "alice", fromAlice[i], "alice", QStringLiteral("a%1").arg(i)));
        replies.push_back(captureOutcome(bob.e2e.buildSecret(kTok, "bob", "alice", QStringLiteral("b%1").arg(i))));
    }
    for (int k = 0; k < kCount; ++k)
        EXPECT_EQ(QCoro::waitFor(opens[k]), QStringLiteral("a%1").arg(order[k]));
    QStringList fromBob;
    for (auto &task : replies)
        fromBob.append(**QCoro::waitFor(task).value);
    const E2E2::State bobState = *bob.e2e.loadSess("alice");
    EXPECT_EQ(bobState.nr + bobState.pn, kCount);   // every message counted in the chain it arrived on
    EXPECT_TRUE(bobState.skipped.isEmpty());

    std::vector<QCoro::Task<std::optional<QString>>> aliceOpens;
    for (int k = 0; k < kCount; ++k)
        aliceOpens.push_back(alice.e2e.decrypt(kTok, "alice", "bob", fromBob[k], "bob", QStringLiteral("b-%1").arg(k)));
    for (int k = 0; k < kCount; ++k)
        EXPECT_EQ(QCoro::waitFor(aliceOpens[k]), QStringLiteral("b%1").arg(order[k]));
}

TEST(SecretMessages, SettingsStoreKeepsEverythingInItsOwnScope)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("prefs.ini");
    ServerDirectory directory;
    Installation bob(directory, "bob");
    bob.publish();
    QString envelope;
    QString aliceDevice;
    {
        SettingsStore store(std::make_unique<QSettings>(path, QSettings::IniFormat));
        E2E alice(directory, store);
        await(alice.ensureKeys(kTok, "alice"));
        aliceDevice = alice.deviceID();
        Installation laptop(directory, "alice");
        laptop.publish();   // two own devices: sessions under "user#device" keys
        envelope = **await(alice.buildSecret(kTok, "alice", "bob", "stored")).value;
        alice.ptPut("m1", "stored");
    }
    EXPECT_EQ(bob.open("alice", envelope, "alice"), "stored");

    SettingsStore reopened(std::make_unique<QSettings>(path, QSettings::IniFormat));
    E2E alice(directory, reopened);
    EXPECT_EQ(alice.deviceID(), aliceDevice);
    EXPECT_TRUE(alice.loadSess("bob#" + bob.e2e.deviceID()));
    EXPECT_EQ(alice.ptLoad().map.value("m1"), "stored");
    await(alice.rotateKeys(kTok, "alice"));
    EXPECT_FALSE(alice.loadSess("bob#" + bob.e2e.deviceID()));
    EXPECT_EQ(alice.ptLoad().map.value("m1"), "stored");
}

} // namespace
