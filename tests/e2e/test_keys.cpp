// Device keys, the directory cache, trust on first use, rotation, safety code, call key.
#include "E2ETestSupport.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QRegularExpression>

namespace {

const QString kTok = QStringLiteral("tok");

QHash<QString, QString> pinsOf(Installation &d, const QString &user)
{
    QHash<QString, QString> out;
    const QJsonObject o = QJsonDocument::fromJson(d.store.text(E2E::kPinPrefix + user).value_or("").toUtf8()).object();
    for (auto it = o.begin(); it != o.end(); ++it)
        out.insert(it.key(), it.value().toString());
    return out;
}

TEST(E2EKeys, DeviceIdIsStableAcrossRestartsAndRotation)
{
    ServerDirectory directory;
    MemoryStore store;
    QString id;
    {
        E2E e2e(directory, store);
        id = e2e.deviceID();
        EXPECT_TRUE(QRegularExpression("^[0-9a-f]{24}$").match(id).hasMatch()) << id.toStdString();
        await(e2e.rotateKeys(kTok, "me"));
        EXPECT_EQ(e2e.deviceID(), id);
    }
    E2E restarted(directory, store);
    EXPECT_EQ(restarted.deviceID(), id);
}

TEST(E2EKeys, EnsureKeysMakesOnePairAndPublishesOnEveryCall)
{
    ServerDirectory directory;
    Installation me(directory, "me");
    // Two first calls at the same moment.
    QCoro::Task<Outcome<QString>> first = captureOutcome(me.e2e.ensureKeys(kTok, "me"));
    QCoro::Task<Outcome<QString>> second = captureOutcome(me.e2e.ensureKeys(kTok, "me"));
    const QString pub = *QCoro::waitFor(first).value;
    EXPECT_EQ(*QCoro::waitFor(second).value, pub);
    EXPECT_EQ(me.store.text(E2E::kPubKey), pub);
    EXPECT_EQ(Crypto::publicKeyOf(Crypto::fromBase64(*me.store.text(E2E::kPrivKey))), Crypto::fromBase64(pub));
    ASSERT_EQ(directory.published.size(), 2);
    EXPECT_EQ(directory.published[0], (KeyDirectory::Device{me.e2e.deviceID(), pub}));
    EXPECT_EQ(directory.published[1], directory.published[0]);

    // A failing directory changes nothing but the publication.
    directory.failing = true;
    Installation restarted(directory, "me");
    restarted.store.setText(E2E::kPrivKey, *me.store.text(E2E::kPrivKey));
    restarted.store.setText(E2E::kPubKey, pub);
    EXPECT_EQ(restarted.publish(), pub);
    EXPECT_EQ(directory.published.size(), 3);
}

TEST(E2EKeys, DeviceListsAreCachedForFiveMinutesEvenWhenEmpty)
{
    ServerDirectory directory;
    directory.entries["bob"] = {{"b1", "key-b1"}};
    Installation me(directory, "me");
    ManualClock clock;
    me.e2e.setClock(clock.fn());
    auto fetch = [&](const QString &user, bool force = false) {
        return *await(me.e2e.fetchDevices(kTok, "me", user, force)).value;
    };

    EXPECT_EQ(fetch("bob"), (QList<KeyDirectory::Device>{{"b1", "key-b1"}}));
    EXPECT_EQ(fetch("bob").size(), 1);
    clock.now += E2E::kDeviceCacheMs - 1;
    fetch("bob");
    EXPECT_EQ(directory.requests, 1);
    clock.now += 1;
    fetch("bob");
    EXPECT_EQ(directory.requests, 2);
    fetch("bob", true);
    fetch("bob", true);
    EXPECT_EQ(directory.requests, 4);

    EXPECT_TRUE(fetch("carol").isEmpty());
    directory.entries["carol"] = {{"c1", "key-c1"}};
    EXPECT_TRUE(fetch("carol").isEmpty());
    EXPECT_EQ(directory.requests, 5);

    directory.failing = true;
    EXPECT_TRUE(fetch("dave").isEmpty());
    directory.failing = false;
    directory.entries["dave"] = {{"d1", "key-d1"}};
    EXPECT_TRUE(fetch("dave").isEmpty());
    EXPECT_EQ(directory.requests, 6);
}

TEST(E2EKeys, TrustOnFirstUseWarnsOncePerContact)
{
    ServerDirectory directory;
    Installation me(directory, "me");
    QStringList events;
    QObject::connect(&me.e2e, &E2E::keyChangedNotification,
                     [&](const QVariantMap &info) { events.append(info.value("userID").toString()); });
    auto seen = [&](QList<KeyDirectory::Device> devices) {
        directory.entries["bob"] = devices;
        await(me.e2e.fetchDevices(kTok, "me", "bob", true));
    };

    seen({{"d1", "k1"}, {"d2", "k2"}});
    EXPECT_EQ(pinsOf(me, "bob"), (QHash<QString, QString>{{"d1", "k1"}, {"d2", "k2"}}));
    EXPECT_TRUE(events.isEmpty());

    seen({{"d1", "k1"}, {"d2", "k2"}, {"d3", "k3"}});
    EXPECT_EQ(pinsOf(me, "bob").value("d3"), "k3");
    EXPECT_TRUE(events.isEmpty());

    seen({{"d1", "k1-new"}, {"d4", "k4"}});
    EXPECT_EQ(events, QStringList{"bob"});
    EXPECT_EQ(me.store.text(E2E::kWarnPrefix + "bob"), "1");
    EXPECT_EQ(pinsOf(me, "bob"), (QHash<QString, QString>{{"d1", "k1"}, {"d2", "k2"}, {"d3", "k3"}}));

    seen({{"d1", "k1-new"}, {"d4", "k4"}});
    EXPECT_EQ(events.size(), 1);

    // The user's own devices and empty answers are never pinned.
    directory.entries["me"] = {{"m1", "km"}};
    await(me.e2e.fetchDevices(kTok, "me", "me", true));
    EXPECT_FALSE(me.store.text(E2E::kPinPrefix + "me"));
    me.e2e.tofuCheck("carol", {});
    EXPECT_FALSE(me.store.text(E2E::kPinPrefix + "carol"));
}

TEST(E2EKeys, UnreadablePinsCountAsFirstContact)
{
    ServerDirectory directory;
    Installation me(directory, "me");
    int events = 0;
    QObject::connect(&me.e2e, &E2E::keyChangedNotification, [&] { ++events; });
    for (const char *stored : {"not json", "[]", R"({"d1":5})"}) {
        me.store.setText(E2E::kPinPrefix + "bob", stored);
        me.e2e.tofuCheck("bob", {{"d1", "k1"}});
        EXPECT_EQ(pinsOf(me, "bob"), (QHash<QString, QString>{{"d1", "k1"}})) << stored;
    }
    EXPECT_EQ(events, 0);
}

TEST(E2EKeys, RotationReplacesTheKeyAndDropsOnlyTheSessions)
{
    ServerDirectory directory;
    Installation me(directory, "me");
    const QString oldPub = me.publish();
    const QString device = me.e2e.deviceID();
    me.e2e.saveSess("bob", E2E2::initReceiver("c2s=", "a", "b"));
    me.e2e.saveSess("bob#0123", E2E2::initReceiver("c2s=", "a", "b"));
    me.store.setText(E2E::kPinPrefix + "bob", R"({"d":"k"})");
    me.store.setText(E2E::kWarnPrefix + "bob", "1");
    me.e2e.ptPut("m1", "kept");
    directory.entries["bob"] = {{"d", "k"}};
    await(me.e2e.fetchDevices(kTok, "me", "bob", false));
    const int requests = directory.requests;

    const QString newPub = *await(me.e2e.rotateKeys(kTok, "me")).value;
    EXPECT_NE(newPub, oldPub);
    EXPECT_EQ(me.store.text(E2E::kPubKey), newPub);
    EXPECT_EQ(directory.entries["me"], (QList<KeyDirectory::Device>{{device, newPub}}));
    EXPECT_FALSE(me.e2e.loadSess("bob"));
    EXPECT_FALSE(me.e2e.loadSess("bob#0123"));
    EXPECT_TRUE(me.store.text(E2E::kPinPrefix + "bob"));
    EXPECT_TRUE(me.store.text(E2E::kWarnPrefix + "bob"));
    EXPECT_EQ(me.e2e.ptLoad().map.value("m1"), "kept");
    await(me.e2e.fetchDevices(kTok, "me", "bob", false));
    EXPECT_EQ(directory.requests, requests + 1);
}

// The code users compare, worked out here from its rule and not by the code under test: the
// distinct keys in text order joined with "|", SHA-256, two big-endian words mod 10^6.
QString codeOf(QStringList keys)
{
    keys.removeDuplicates();
    keys.sort();
    const QByteArray d = QCryptographicHash::hash(keys.join('|').toUtf8(), QCryptographicHash::Sha256);
    auto word = [&](int at) {
        return (quint32(quint8(d[at])) << 24 | quint32(quint8(d[at + 1])) << 16 | quint32(quint8(d[at + 2])) << 8
                | quint32(quint8(d[at + 3])))
            % 1000000u;
    };
    return QString::asprintf("%06u %06u", word(0), word(4));
}

TEST(E2EKeys, SafetyCodeCoversEveryDeviceOfBothUsersAndAlwaysRefetches)
{
    ServerDirectory directory;
    Installation alice(directory, "alice");
    Installation bob(directory, "bob");
    const QString a = alice.publish();
    const QString b = bob.publish();
    auto code = [](Installation &who, const QString &peer) { return *await(who.e2e.safetyCode(kTok, who.userID, peer)).value; };

    EXPECT_EQ(code(alice, "bob"), codeOf({a, b}));
    EXPECT_EQ(code(bob, "alice"), codeOf({a, b}));
    EXPECT_NE(codeOf({a, b}), codeOf({a})) << "the peer's key counts";

    // A second device of Alice's changes both sides' code the moment it is published, and the
    // second device computes the same code.
    Installation alice2(directory, "alice");
    const QString a2 = alice2.publish();
    EXPECT_EQ(code(alice, "bob"), codeOf({a, a2, b}));
    EXPECT_EQ(code(bob, "alice"), codeOf({a, a2, b}));
    EXPECT_EQ(code(alice2, "bob"), codeOf({a, a2, b}));

    // Without the own devices (their lookup fails) the code still covers this device and the peer.
    directory.unreachable = {"alice"};
    EXPECT_EQ(code(alice2, "bob"), codeOf({a2, b}));
    directory.unreachable.clear();

    // A peer without a key has no code; their directory entry is asked every time.
    const int requests = directory.requests;
    EXPECT_EQ(code(alice, "carol"), std::nullopt);
    EXPECT_EQ(code(alice, "carol"), std::nullopt);
    EXPECT_EQ(directory.requests, requests + 2);
}

TEST(E2EKeys, CallKeyAgreesForOneRoomOnly)
{
    ServerDirectory directory;
    Installation alice(directory, "alice");
    Installation bob(directory, "bob");
    alice.publish();
    bob.publish();
    auto callKey = [](Installation &d, const QString &peer, const QString &room) {
        return *await(d.e2e.callKey(kTok, d.userID, peer, room)).value;
    };

    const std::optional<QString> key = callKey(alice, "bob", "room-1");
    ASSERT_TRUE(key);
    EXPECT_EQ(Crypto::fromBase64(*key).size(), 32);
    EXPECT_EQ(callKey(bob, "alice", "room-1"), key);
    EXPECT_NE(callKey(alice, "bob", "room-2"), key);
    EXPECT_EQ(callKey(alice, "carol", "room-1"), std::nullopt);

    directory.entries["dave"] = {{"d1", "not a key"}};
    EXPECT_EQ(callKey(alice, "dave", "room-1"), std::nullopt);

    Installation broken(directory, "eve");
    broken.store.setText(E2E::kPrivKey, "AAAA");
    broken.store.setText(E2E::kPubKey, "AAAA");
    EXPECT_EQ(callKey(broken, "bob", "room-1"), std::nullopt);
}

} // namespace
