// Two-party conversations through the ratchet itself.
#include "E2ETestSupport.h"

#include <QJsonDocument>
#include <QSet>

namespace {

struct Pair {
    QString alicePriv, alicePub, bobPriv, bobPub, sk;
    E2E2::State alice, bob;
    const QString ad = E2E2::ad("alice", "bob");

    Pair()
    {
        const Crypto::KeyPair a = Crypto::generateP256(Crypto::systemRandom());
        const Crypto::KeyPair b = Crypto::generateP256(Crypto::systemRandom());
        alicePriv = Crypto::toBase64(a.priv);
        alicePub = Crypto::toBase64(a.pub);
        bobPriv = Crypto::toBase64(b.priv);
        bobPub = Crypto::toBase64(b.pub);
        sk = E2E2::rootSecret(alicePriv, bobPub, "alice", "bob");
        alice = E2E2::initSender(sk, bobPub);
        bob = E2E2::initReceiver(E2E2::rootSecret(bobPriv, alicePub, "bob", "alice"), bobPriv, bobPub);
    }

    E2E2::Sealed send(E2E2::State &from, const QString &text) { return E2E2::encrypt(from, text, ad); }
    QString open(E2E2::State &to, const E2E2::Sealed &m) { return E2E2::decrypt(to, m.header, m.iv, m.ct, ad); }
};

// Expects the decryption to fail and to leave the state exactly as it was.
void expectRejected(E2E2::State &state, const E2E2::Sealed &m, const QString &ad, const QString &error = {})
{
    const E2E2::State before = state;
    try {
        E2E2::decrypt(state, m.header, m.iv, m.ct, ad);
        ADD_FAILURE() << "decrypted";
    } catch (const Error &e) {
        if (!error.isEmpty()) {
            EXPECT_EQ(e.message(), error);
        }
    }
    EXPECT_EQ(state, before);
}

TEST(Ratchet, ConversationTurnsTheRatchetBothWays)
{
    Pair p;
    const auto a0 = p.send(p.alice, "a0");
    const auto a1 = p.send(p.alice, "a1");
    EXPECT_EQ(p.open(p.bob, a0), "a0");
    EXPECT_EQ(p.open(p.bob, a1), "a1");
    EXPECT_EQ(p.bob.peerDh, a0.header.dh);

    // Two replies from one ratchet key: the first turns Alice's ratchet, the second does not.
    const auto b0 = p.send(p.bob, "b0");
    const auto b1 = p.send(p.bob, "b1");
    EXPECT_EQ(b0.header.dh, b1.header.dh);
    EXPECT_EQ(p.open(p.alice, b0), "b0");
    const QString aliceKeyAfterTurn = p.alice.dhPub;
    EXPECT_NE(aliceKeyAfterTurn, a0.header.dh);
    EXPECT_EQ(p.open(p.alice, b1), "b1");
    EXPECT_EQ(p.alice.dhPub, aliceKeyAfterTurn);

    const auto a2 = p.send(p.alice, "a2 ✓");
    EXPECT_EQ(a2.header.dh, aliceKeyAfterTurn);
    EXPECT_EQ(a2.header.pn, 2);
    EXPECT_EQ(a2.header.n, 0);
    EXPECT_EQ(p.open(p.bob, a2), "a2 ✓");
    EXPECT_TRUE(p.bob.skipped.isEmpty());
}

TEST(Ratchet, OutOfOrderMessagesUseStoredKeysOnce)
{
    Pair p;
    const auto m0 = p.send(p.alice, "m0");
    const auto m1 = p.send(p.alice, "m1");
    const auto m2 = p.send(p.alice, "m2");

    EXPECT_EQ(p.open(p.bob, m2), "m2");
    EXPECT_TRUE(p.bob.findSkipped(m0.header.dh + "|0"));
    EXPECT_TRUE(p.bob.findSkipped(m0.header.dh + "|1"));
    EXPECT_EQ(p.bob.skipped.size(), 2);

    EXPECT_EQ(p.open(p.bob, m0), "m0");
    EXPECT_EQ(p.open(p.bob, m1), "m1");
    EXPECT_TRUE(p.bob.skipped.isEmpty());
    EXPECT_EQ(p.bob.nr, 3);
    expectRejected(p.bob, m1, p.ad);   // its key was used up
}

TEST(Ratchet, KeysLeftInTheOldChainAreStoredOnTheTurn)
{
    Pair p;
    const auto a0 = p.send(p.alice, "a0");
    const auto a1 = p.send(p.alice, "a1");
    const auto a2 = p.send(p.alice, "a2");
    EXPECT_EQ(p.open(p.bob, a0), "a0");
    EXPECT_EQ(p.open(p.alice, p.send(p.bob, "b0")), "b0");
    const auto a3 = p.send(p.alice, "a3");
    EXPECT_EQ(a3.header.pn, 3);

    EXPECT_EQ(p.open(p.bob, a3), "a3");
    EXPECT_EQ(p.bob.skipped.size(), 2);
    EXPECT_EQ(p.open(p.bob, a2), "a2");
    EXPECT_EQ(p.open(p.bob, a1), "a1");
}

TEST(Ratchet, ReplayAndTamperingFailWithoutChangingTheState)
{
    Pair p;
    const auto m0 = p.send(p.alice, "hello");
    const auto m1 = p.send(p.alice, "again");
    EXPECT_EQ(p.open(p.bob, m0), "hello");

    expectRejected(p.bob, m0, p.ad);

    auto flip = [](const QString &b64, int index) {
        QByteArray raw = Crypto::fromBase64(b64);
        raw[index] = char(raw[index] ^ 0x40);
        return Crypto::toBase64(raw);
    };
    E2E2::Sealed ct = m1;
    ct.ct = flip(m1.ct, 0);
    expectRejected(p.bob, ct, p.ad);
    E2E2::Sealed tag = m1;
    tag.ct = flip(m1.ct, int(Crypto::fromBase64(m1.ct).size()) - 1);
    expectRejected(p.bob, tag, p.ad);
    E2E2::Sealed iv = m1;
    iv.iv = flip(m1.iv, 3);
    expectRejected(p.bob, iv, p.ad);
    E2E2::Sealed shortCt = m1;
    shortCt.ct = Crypto::toBase64(QByteArray(15, 'x'));
    expectRejected(p.bob, shortCt, p.ad);
    expectRejected(p.bob, m1, E2E2::ad("alice", "mallory"));
    E2E2::Sealed badDh = m1;
    badDh.header.dh = "not a key";
    expectRejected(p.bob, badDh, p.ad);

    EXPECT_EQ(p.open(p.bob, m1), "again");
}

TEST(Ratchet, SkipsAtMost64KeysInOneGo)
{
    Pair p;
    QList<E2E2::Sealed> sent;
    for (int i = 0; i < 67; ++i)
        sent.append(p.send(p.alice, QString::number(i)));
    EXPECT_EQ(p.open(p.bob, sent[0]), "0");
    ASSERT_EQ(p.bob.nr, 1);

    expectRejected(p.bob, sent[66], p.ad, "too many skipped");   // n = nr + 65
    E2E2::Sealed hostile = sent[66];
    hostile.header.n = std::numeric_limits<qint64>::max();
    expectRejected(p.bob, hostile, p.ad, "too many skipped");
    hostile.header.n = -5;
    expectRejected(p.bob, hostile, p.ad);

    EXPECT_EQ(p.open(p.bob, sent[65]), "65");   // n = nr + 64
    EXPECT_EQ(p.bob.skipped.size(), 64);
    EXPECT_EQ(p.open(p.bob, sent[1]), "1");
}

TEST(Ratchet, CutKeepsThe64MostRecentlyStoredKeysAcrossSaves)
{
    E2E2::State s = E2E2::initReceiver("c2s=", "", "");
    s.ckr = Crypto::toBase64(QByteArray(32, 7));
    s.peerDh = "X";
    // 100 keys of an older chain; "Y|10" sorts before "Y|9", so text order is not storage order.
    for (int i = 0; i < 100; ++i)
        s.skipped.append(E2E2::SkippedKey{QStringLiteral("Y|%1").arg(i), Crypto::toBase64(QByteArray(32, char(i)))});
    s = *E2E2::fromJson(E2E2::toJson(s));

    E2E2::skipKeys(s, 28);   // 128 entries: no cut yet
    ASSERT_EQ(s.skipped.size(), 128);
    s = *E2E2::fromJson(E2E2::toJson(s));
    E2E2::skipKeys(s, 29);   // the 129th triggers the cut
    ASSERT_EQ(s.skipped.size(), 64);

    QSet<QString> expected;
    for (int i = 65; i < 100; ++i)
        expected.insert(QStringLiteral("Y|%1").arg(i));
    for (int i = 0; i < 29; ++i)
        expected.insert(QStringLiteral("X|%1").arg(i));
    QSet<QString> kept;
    for (const E2E2::SkippedKey &k : s.skipped)
        kept.insert(k.key);
    EXPECT_EQ(kept, expected);
}

TEST(Ratchet, StateJsonHasExactlyTheDefinedKeys)
{
    Pair p;
    auto keysOf = [](const E2E2::State &s) {
        QStringList keys = QJsonDocument::fromJson(E2E2::toJson(s)).object().keys();
        keys.sort();
        return keys.join(',');
    };
    EXPECT_EQ(keysOf(p.bob), "dhPriv,dhPub,nr,ns,pn,rk,skipped");
    p.open(p.bob, p.send(p.alice, "x"));
    EXPECT_EQ(keysOf(p.bob), "ckr,cks,dhPriv,dhPub,nr,ns,peerDh,pn,rk,skipped");
    EXPECT_EQ(E2E2::fromJson(E2E2::toJson(p.bob)), p.bob);
    EXPECT_EQ(E2E2::fromJsonObject(E2E2::toJsonObject(p.alice)), p.alice);
}

class UndecodableState : public testing::TestWithParam<const char *> {};

TEST_P(UndecodableState, IsNone)
{
    EXPECT_EQ(E2E2::fromJson(QByteArray(GetParam())), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(
    Ratchet, UndecodableState,
    testing::Values("", "not json", "[]", R"({"dhPriv":"a","dhPub":"b","ns":0,"nr":0,"pn":0,"skipped":{}})",
                    R"({"rk":"r","dhPriv":"a","dhPub":"b","ns":"0","nr":0,"pn":0,"skipped":{}})",
                    R"({"rk":"r","dhPriv":"a","dhPub":"b","ns":0.5,"nr":0,"pn":0,"skipped":{}})",
                    R"({"rk":"r","dhPriv":"a","dhPub":"b","ns":-1,"nr":0,"pn":0,"skipped":{}})",
                    R"({"rk":"r","dhPriv":"a","dhPub":"b","ns":1e300,"nr":0,"pn":0,"skipped":{}})",
                    R"({"rk":"r","dhPriv":"a","dhPub":"b","ns":0,"nr":0,"pn":0,"skipped":[]})",
                    R"({"rk":"r","dhPriv":"a","dhPub":"b","ns":0,"nr":0,"pn":0,"skipped":{"k":1}})",
                    R"({"rk":"r","cks":5,"dhPriv":"a","dhPub":"b","ns":0,"nr":0,"pn":0,"skipped":{}})",
                    R"({"rk":"r","dhPriv":"a","dhPub":"b","ns":0,"nr":0,"pn":0,"skipped":{}} trailing)"));

TEST(Ratchet, EscapedJsonFromOtherWritersKeepsItsOrder)
{
    const QByteArray json = R"({"skipped":{"b\/2|1":"m1","a\u002f1|0":"m0"},"rk":"r","dhPriv":"a","dhPub":"b",)"
                            R"("ns":0,"nr":0,"pn":0,"peerDh":null,"note":[1,{"x":"}"}]})";
    const std::optional<E2E2::State> s = E2E2::fromJson(json);
    ASSERT_TRUE(s);
    ASSERT_EQ(s->skipped.size(), 2);
    EXPECT_EQ(s->skipped[0].key, "b/2|1");
    EXPECT_EQ(s->skipped[1].key, "a/1|0");
    EXPECT_EQ(s->peerDh, std::nullopt);
}

} // namespace
