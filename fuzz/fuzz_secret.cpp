// Secret messages as a peer sends them: envelopes (v1, v2, v3) opened by a signed-in E2E with
// fixed keys, ratchet headers against a fixed receiving session, and stored ratchet state.
#include "FuzzSupport.h"
#include "base/Error.h"
#include "base/Json.h"
#include "e2e/E2E.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <mutex>

namespace {

// Keys and nonces from a counter, so that the keys and the seed corpus stay the same.
class CountingRandom : public Crypto::RandomSource {
public:
    QByteArray bytes(qsizetype n) override
    {
        std::lock_guard lock(m_mutex);
        QByteArray out;
        while (out.size() < n)
            out += Crypto::sha256(QByteArray::number(m_counter++));
        return out.left(n);
    }

private:
    std::mutex m_mutex;
    quint64 m_counter = 0;
};

const QString kSender = QStringLiteral("u1");
const QString kReceiver = QStringLiteral("u2");
const QString kSenderDevice = QStringLiteral("aaaaaaaaaaaaaaaaaaaaaaaa");
const QString kReceiverDevice = QStringLiteral("bbbbbbbbbbbbbbbbbbbbbbbb");

struct Fixture {
    CountingRandom random;
    QString senderPriv, senderPub, receiverPriv, receiverPub;
    FixedKeyDirectory directory;
    MemoryStore receiverStore; // the receiver's keys; copied for every input
    E2E2::State receiving;     // a session that opened the sender's first message
    QList<QByteArray> seeds;

    Fixture()
    {
        const Crypto::KeyPair sender = Crypto::generateP256(random);
        const Crypto::KeyPair receiver = Crypto::generateP256(random);
        senderPriv = Crypto::toBase64(sender.priv);
        senderPub = Crypto::toBase64(sender.pub);
        receiverPriv = Crypto::toBase64(receiver.priv);
        receiverPub = Crypto::toBase64(receiver.pub);
        directory.entries.insert(kSender, {KeyDirectory::Device{kSenderDevice, senderPub}});
        directory.entries.insert(kReceiver, {KeyDirectory::Device{kReceiverDevice, receiverPub}});
        receiverStore.setText(E2E::kPrivKey, receiverPriv);
        receiverStore.setText(E2E::kPubKey, receiverPub);
        receiverStore.setText(E2E::kDeviceIDKey, kReceiverDevice);

        // The sender's first two messages, as v2 and v3 envelopes and as bare headers.
        const QString sk = E2E2::rootSecret(senderPriv, receiverPub, kSender, kReceiver);
        E2E2::State sending = E2E2::initSender(sk, receiverPub, random);
        const QString ad = E2E2::ad(kSender, kReceiver);
        const E2E2::Sealed first = E2E2::encrypt(sending, QStringLiteral("hello"), ad, random);
        const E2E2::Sealed second = E2E2::encrypt(sending, QStringLiteral("again"), ad, random);
        receiving = E2E2::initReceiver(E2E2::rootSecret(receiverPriv, senderPub, kReceiver, kSender), receiverPriv, receiverPub);
        (void)E2E2::decrypt(receiving, first.header, first.iv, first.ct, E2E2::ad(kReceiver, kSender), random);

        QJsonObject v2 = sealedMembers(first);
        v2.insert(QStringLiteral("mireloType"), QStringLiteral("secret"));
        v2.insert(QStringLiteral("v"), 2);
        QJsonObject entry = sealedMembers(first);
        entry.insert(QStringLiteral("to"), kReceiverDevice);
        const QJsonObject v3{{QStringLiteral("mireloType"), QStringLiteral("secret")},
                             {QStringLiteral("v"), 3},
                             {QStringLiteral("from"), kSenderDevice},
                             {QStringLiteral("msgs"), QJsonArray{entry}}};
        const QJsonObject v1{{QStringLiteral("mireloType"), QStringLiteral("secret")},
                             {QStringLiteral("iv"), first.iv},
                             {QStringLiteral("ct"), first.ct}};
        seeds = {'\0' + Json::compact(v2), '\0' + Json::compact(v3), '\0' + Json::compact(v1),
                 '\1' + E2E2::toJson(receiving), '\1' + E2E2::toJson(sending),
                 '\2' + Json::compact(sealedMembers(second)), '\2' + Json::compact(sealedMembers(first))};
    }

    static QJsonObject sealedMembers(const E2E2::Sealed &s)
    {
        return {{QStringLiteral("dh"), s.header.dh}, {QStringLiteral("pn"), s.header.pn}, {QStringLiteral("n"), s.header.n},
                {QStringLiteral("iv"), s.iv}, {QStringLiteral("ct"), s.ct}};
    }
};

Fixture *fixture;

void openEnvelope(const QByteArray &text)
{
    MemoryStore store = fixture->receiverStore;
    E2E e2e(fixture->directory, store);
    e2e.setRandom(fixture->random);
    const std::optional<QString> plain =
        QCoro::waitFor(e2e.decrypt(QStringLiteral("tok"), kReceiver, kSender, QString::fromUtf8(text), kSender, QStringLiteral("m1")));
    const QJsonValue version = Json::parseObject(text).value(QLatin1String("v"));
    if (plain && Json::isInteger(version) && (version.toDouble() == 2 || version.toDouble() == 3))
        Fuzz::check(e2e.ptLoad().map.value(QStringLiteral("m1")) == *plain, "an opened message is in the plaintext cache");
    for (const QString &key : store.keys())
        if (key.startsWith(E2E::kSessionPrefix))
            Fuzz::check(E2E2::fromJson(*store.bytes(key)).has_value(), "a stored session reads back");
}

void readState(const QByteArray &text)
{
    const std::optional<E2E2::State> state = E2E2::fromJson(text);
    (void)E2E::PtCache::fromJson(text);
    if (!state)
        return;
    const QByteArray written = E2E2::toJson(*state);
    const std::optional<E2E2::State> again = E2E2::fromJson(written);
    Fuzz::check(again && *again == *state, "a state reads back as it was written");
}

void openHeader(const QByteArray &text)
{
    const QJsonObject o = Json::parseObject(text);
    const E2E2::Header header{Json::text(o.value(QLatin1String("dh"))), Json::integer(o, QLatin1String("pn")),
                              Json::integer(o, QLatin1String("n"))};
    E2E2::State state = fixture->receiving;
    const E2E2::State before = state;
    try {
        (void)E2E2::decrypt(state, header, Json::text(o.value(QLatin1String("iv"))), Json::text(o.value(QLatin1String("ct"))),
                            E2E2::ad(kReceiver, kSender), fixture->random);
        Fuzz::check(E2E2::fromJson(E2E2::toJson(state)).has_value(), "the advanced session can be stored");
    } catch (const Error &) {
        Fuzz::check(state == before, "a failed decryption leaves the session as it was");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Fuzz::app();
    fixture = new Fixture;
    // SARVO_FUZZ_SEEDS=<dir> writes the seed inputs made from the fixed keys (fuzz/corpus/fuzz_secret).
    if (const QByteArray dir = qgetenv("SARVO_FUZZ_SEEDS"); !dir.isEmpty()) {
        QDir().mkpath(QString::fromLocal8Bit(dir));
        for (qsizetype i = 0; i < fixture->seeds.size(); ++i) {
            QFile f(QDir(QString::fromLocal8Bit(dir)).filePath(QStringLiteral("seed-%1").arg(i)));
            if (f.open(QIODevice::WriteOnly))
                f.write(fixture->seeds[i]);
        }
    }
    return 0;
}

// First byte: what the rest is (0 envelope, 1 stored state, 2 sealed header and body).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray rest = Fuzz::bytes(data + 1, size - 1);
    switch (data[0] % 3) {
    case 0: openEnvelope(rest); break;
    case 1: readState(rest); break;
    default: openHeader(rest); break;
    }
    return 0;
}
