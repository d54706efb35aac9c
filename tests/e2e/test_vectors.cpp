// Known-answer vectors: the bytes other clients produce for the same inputs. Expected values come
// from an independent implementation; the key pair is the P-256 ECDH vector of RFC 5903.
#include "E2ETestSupport.h"

#include <QJsonDocument>

namespace {

const QString kAlicePriv = "yI8B9RDZrD9wopLaojFt5UTpqriv6EBJxiqcV4YtFDM=";
const QString kAlicePub = "BNrQtlOUIhz5sFHh/spXh9CY3+Y3/JC575RdDDdyWBGAUnGgRhzbglLWHxxFb6PlmrH0WzOsz19YOJ4Fd7iZC7M=";
const QString kBobPriv = "xu+cXXiuASoBEWSss5fOIIhoXY8Gv5vgsoOrRkdr7lM=";
const QString kBobPub = "BNEt+1KJyNT4Egi3AnA5jDQilpcKC8y3THNvx1VElL9jVvvzyjZswj6BV4VME8WNaqwj8Eatow+DU+dPMwOYcqs=";
const QString kRootSecret = "auxKkO92V94LpawoPoBPPv/5woSnQfN2iDsQrD5DfEU=";

TEST(E2EVectors, EcdhIsTheSharedXCoordinateForBothSides)
{
    const QByteArray expected = QByteArray::fromHex("d6840f6b42f6edafd13116e0e12565202fef8e9ece7dce03812464d04b9442de");
    EXPECT_EQ(E2E2::ecdh(kAlicePriv, kBobPub), expected);
    EXPECT_EQ(E2E2::ecdh(kBobPriv, kAlicePub), expected);
}

TEST(E2EVectors, RootSecretUsesItsSaltAndSortedIdsOnEitherSide)
{
    EXPECT_EQ(E2E2::rootSecret(kAlicePriv, kBobPub, "alice", "bob"), kRootSecret);
    EXPECT_EQ(E2E2::rootSecret(kBobPriv, kAlicePub, "bob", "alice"), kRootSecret);
}

TEST(E2EVectors, AssociatedDataSortsTheIds)
{
    EXPECT_EQ(E2E2::ad("bob", "alice"), "mirelo-e2e-v2:alice:bob");
    EXPECT_EQ(E2E2::ad("alice", "bob"), "mirelo-e2e-v2:alice:bob");
    // Code-point order, not UTF-16 order: U+FF21 sorts before U+1F600.
    EXPECT_EQ(E2E2::ad(QString::fromUtf8("\xF0\x9F\x98\x80"), QString::fromUtf8("\xEF\xBC\xA1")),
              QString::fromUtf8("mirelo-e2e-v2:\xEF\xBC\xA1:\xF0\x9F\x98\x80"));
}

// initSender + the first encrypt, with the ratchet key and the nonce drawn from a fixed stream.
// 0x55… is a scalar whose point has the larger y, so the compact rule must replace it by n - d.
struct SenderVector {
    const char *name;
    QByteArray scalar;
    QString dhPriv, dhPub, rk, cks, ct;
};

class InitSenderVector : public testing::TestWithParam<SenderVector> {};

TEST_P(InitSenderVector, MatchesTheSharedFormat)
{
    const SenderVector &v = GetParam();
    const QByteArray nonce = QByteArray::fromHex("a0a1a2a3a4a5a6a7a8a9aaab");
    FixedRandom random(v.scalar + nonce);
    E2E2::State s = E2E2::initSender(kRootSecret, kBobPub, random);
    EXPECT_EQ(s.dhPriv, v.dhPriv);
    EXPECT_EQ(s.dhPub, v.dhPub);
    EXPECT_EQ(s.rk, v.rk);
    EXPECT_EQ(s.peerDh, kBobPub);

    const E2E2::Sealed sealed = E2E2::encrypt(s, "hi bob", E2E2::ad("alice", "bob"), random);
    EXPECT_EQ(sealed.header.dh, v.dhPub);
    EXPECT_EQ(sealed.header.n, 0);
    EXPECT_EQ(sealed.header.pn, 0);
    EXPECT_EQ(sealed.iv, "oKGio6Slpqeoqaqr");
    EXPECT_EQ(sealed.ct, v.ct);
    EXPECT_EQ(s.cks, v.cks);
    EXPECT_EQ(s.ns, 1);
}

INSTANTIATE_TEST_SUITE_P(
    E2EVectors, InitSenderVector,
    testing::Values(
        SenderVector{"plain", QByteArray(32, '\x11'), "ERERERERERERERERERERERERERERERERERERERERERE=",
                     "BAIX5hfwtkQ5KCePlpmeaaI6TywVK99tbN9m5bgCgtTtGUp968uXcS0t2jyoWqh2Wlb0X8dYWZZS8ol8ZTBuV5Q=",
                     "fjiCrhPgN36LfouQ7saXhZVVGabfgc1L8lb8g7vGpOs=", "qGvyHE1XNsNWrPap4iuQwuxc3hlH6MWVnCKfo9QSroU=",
                     "Zy9mUjSzdOhuUabDNYTW7F5qbguhWg=="},
        SenderVector{"compacted", QByteArray(32, '\x55'), "qqqqqaqqqquqqqqqqqqqqmeRpVhRwkkvnmR1bacNz/w=",
                     "BFfpd/bbfjPD/nrPKELtmHAJyvVtRYaC/KRHt9PXYqs0OlTIjkWoxCEKvr+am/AEpMuSBXwhOySylxoKYzuOPRM=",
                     "lwNeUIDW4EsL2KmwBm0UlDf+0Yk2i/BHivOZOAzRB3U=", "zMJwbSw7llB2cx9PNANDJLkDWRaK7wJ2mFpiZf3gerI=",
                     "wL9rDPpFvGkr4zOJe4RFosItozBSZQ=="}),
    [](const testing::TestParamInfo<SenderVector> &info) { return std::string(info.param.name); });

TEST(E2EVectors, GeneratedKeysAreCompactAndConsistent)
{
    const QByteArray p = QByteArray::fromHex("ffffffff00000001000000000000000000000000ffffffffffffffffffffffff");
    for (int i = 0; i < 16; ++i) {
        const Crypto::KeyPair pair = Crypto::generateP256(Crypto::systemRandom());
        ASSERT_EQ(pair.priv.size(), 32);
        ASSERT_EQ(pair.pub.size(), 65);
        EXPECT_EQ(Crypto::publicKeyOf(pair.priv), pair.pub);
        // y <= p - y  <=>  2y <= p; compare as big-endian numbers via their doubled value's sign.
        const QByteArray y = pair.pub.sliced(33);
        QByteArray negY(32, 0);
        int borrow = 0;
        for (int k = 31; k >= 0; --k) {
            int d = quint8(p[k]) - quint8(y[k]) - borrow;
            borrow = d < 0;
            negY[k] = char(d + (borrow ? 256 : 0));
        }
        EXPECT_LE(y, negY);
    }
}

TEST(E2EVectors, AesGcmIsCiphertextThenTag)
{
    // AES-256 GCM test case 14 (McGrew and Viega): zero key, zero nonce, 16 zero bytes.
    const QString key = Crypto::toBase64(QByteArray(32, 0));
    const QString iv = Crypto::toBase64(QByteArray(12, 0));
    const QString ct = Crypto::toBase64(
        QByteArray::fromHex("cea7403d4d606b6e074ec5d3baf39d18d0d1c8a799996bf0265b98b5d48ab919"));
    EXPECT_EQ(E2E2::aesDec(key, iv, ct, ""), QString(16, QChar(0)));
}

TEST(E2EVectors, CallKeyIsTheSameOnBothSides)
{
    const QString expected = "LM++LZN7JVcM4Tdsy2GkUEkNx88vZ+nACSDO7JxcvlY=";
    EXPECT_EQ(E2E::deriveCallKey(kAlicePriv, kBobPub, "alice", "bob", "room-1"), expected);
    EXPECT_EQ(E2E::deriveCallKey(kBobPriv, kAlicePub, "bob", "alice", "room-1"), expected);
    EXPECT_NE(E2E::deriveCallKey(kAlicePriv, kBobPub, "alice", "bob", "room-2"), expected);
    EXPECT_EQ(E2E::deriveCallKey(kAlicePriv, "not a key", "alice", "bob", "room-1"), std::nullopt);
}

TEST(E2EVectors, SafetyCodeFormatting)
{
    QByteArray digest = QByteArray::fromHex("0000002a000f4241") + QByteArray(24, 0);
    EXPECT_EQ(E2E::formatSafetyCode(digest), "000042 000001");
    // Duplicates removed, sorted, joined with "|": SHA-256("a|b").
    EXPECT_EQ(E2E::safetyCodeOf({"b", "a", "b"}), "123018 070644");
}

TEST(E2EVectors, LegacyEnvelopeOpensWithTheV1Derivation)
{
    ServerDirectory directory;
    Installation bob(directory, "bob");
    bob.store.setText(E2E::kPrivKey, kBobPriv);
    bob.store.setText(E2E::kPubKey, kBobPub);
    directory.entries["alice"] = {{"legacy", kAlicePub}};
    const QString envelope = R"({"mireloType":"secret","iv":"AAECAwQFBgcICQoL","ct":"kKlx5UtwmVEqGJ/tVZ1Kf6vtwodvx+K8ojSXiQ=="})";
    EXPECT_EQ(bob.open("alice", envelope, "alice"), QString::fromUtf8("hello v1 ✓"));
    // A version that is neither 2 nor 3 is read the same way.
    QJsonObject o = QJsonDocument::fromJson(envelope.toUtf8()).object();
    o.insert("v", 1);
    EXPECT_EQ(bob.open("alice", QString::fromUtf8(QJsonDocument(o).toJson()), "alice"), QString::fromUtf8("hello v1 ✓"));
    o.insert("ct", "AAAA");
    EXPECT_EQ(bob.open("alice", QString::fromUtf8(QJsonDocument(o).toJson()), "alice"), std::nullopt);
}

// Base64 is read as Qt's strict decoder reads it (unpadded text included), only faster.
TEST(E2EVectors, Base64AcceptsWhatTheStrictDecoderAccepts)
{
    auto strict = [](const QString &text) {
        auto r = QByteArray::fromBase64Encoding(text.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
        return r ? r.decoded : QByteArray();
    };
    QStringList inputs{"QQ==", "QQ", "QUI=", "QUJ=", "QUJD", "QQ=", "Q===", "====", "QQ=A", "=QQQ", "QU JD",
                       "QUJD\n", "QU-_", QString::fromUtf8("QUJ\xC3\xA9"), "QQ==QQ==", "AAAA", "+/+/"};
    for (int len = 0; len < 40; ++len)
        inputs.append(Crypto::toBase64(Crypto::systemRandom().bytes(len)));
    for (const QString &in : inputs)
        EXPECT_EQ(Crypto::fromBase64(in), strict(in)) << in.toStdString();
    const QByteArray bytes = Crypto::systemRandom().bytes(100);
    EXPECT_EQ(Crypto::toBase64(bytes), QString::fromLatin1(bytes.toBase64()));
    EXPECT_EQ(Crypto::fromBase64(Crypto::toBase64(bytes)), bytes);
}

struct BadKeyCase {
    const char *name;
    QString priv;
    QString pub;
};

class RejectedKeys : public testing::TestWithParam<BadKeyCase> {};

TEST_P(RejectedKeys, FailWithoutNamingTheKey)
{
    const BadKeyCase &c = GetParam();
    try {
        E2E2::rootSecret(c.priv, c.pub, "alice", "bob");
        FAIL() << "accepted";
    } catch (const Error &e) {
        EXPECT_EQ(e.message(), "invalid key");
    }
}

QString flipLastByte(const QString &b64)
{
    QByteArray raw = Crypto::fromBase64(b64);
    raw[raw.size() - 1] = char(raw[raw.size() - 1] ^ 1);
    return Crypto::toBase64(raw);
}

INSTANTIATE_TEST_SUITE_P(
    E2EVectors, RejectedKeys,
    testing::Values(BadKeyCase{"offCurvePoint", kAlicePriv, flipLastByte(kBobPub)},
                    BadKeyCase{"compressedPoint", kAlicePriv, Crypto::toBase64(Crypto::fromBase64(kBobPub).first(33))},
                    BadKeyCase{"notBase64", kAlicePriv, "BNEt+1KJ*"},
                    BadKeyCase{"zeroScalar", Crypto::toBase64(QByteArray(32, 0)), kBobPub},
                    BadKeyCase{"scalarAtOrder",
                               Crypto::toBase64(QByteArray::fromHex(
                                   "ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551")),
                               kBobPub},
                    BadKeyCase{"shortScalar", Crypto::toBase64(QByteArray(31, 7)), kBobPub}),
    [](const testing::TestParamInfo<BadKeyCase> &info) { return std::string(info.param.name); });

} // namespace
