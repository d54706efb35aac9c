// Secret-message envelopes, their ratchet sessions and the plaintext cache.
#include "e2e/E2E.h"

#include "base/Error.h"
#include "base/Json.h"
#include "e2e/Worker.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>

#include <algorithm>
#include <list>

namespace {

const QString kSecret = QStringLiteral("secret");

E2E2::Header headerOf(const QJsonObject &o)
{
    return E2E2::Header{Json::text(o.value(QLatin1StringView("dh"))), Json::integer(o, QLatin1StringView("pn")),
                        Json::integer(o, QLatin1StringView("n"))};
}

// The root secret needs both keys to decode; checking first keeps the failure semantics of
// deriving it up front without paying for the ECDH when a stored session does the work.
bool keysDecode(const QString &myPriv, const QString &peerPub)
{
    return Crypto::isValidPrivateKey(Crypto::fromBase64(myPriv)) && Crypto::isValidPublicKey(Crypto::fromBase64(peerPub));
}

Error invalidKey()
{
    return Error(QStringLiteral("E2E"), 1, QStringLiteral("invalid key"));
}

QJsonObject headerMembers(const E2E2::Sealed &sealed, QJsonObject o)
{
    o.insert(QStringLiteral("dh"), sealed.header.dh);
    o.insert(QStringLiteral("pn"), sealed.header.pn);
    o.insert(QStringLiteral("n"), sealed.header.n);
    o.insert(QStringLiteral("iv"), sealed.iv);
    o.insert(QStringLiteral("ct"), sealed.ct);
    return o;
}

// A session may only be rebuilt from the root secret for a chain it is not already receiving: a
// peer starting over always sends a fresh ratchet key, so a message on the current chain that the
// stored session cannot open is a replay or too old, and rebuilding would throw the session away.
bool mayRebuild(const std::optional<E2E2::State> &stored, const E2E2::Header &header)
{
    return !stored || !stored->peerDh || *stored->peerDh != header.dh;
}

// One incoming message and the session that opened it (to be stored in place of the old one).
struct Opened {
    E2E2::State state;
    QString plaintext;
};

// Opens `sealed` with a copy of `state`; none when it does not open. Crypto: run on a worker.
std::optional<Opened> openWith(E2E2::State state, const E2E2::Sealed &sealed, const QString &ad, Crypto::RandomSource &random)
{
    try {
        QString plaintext = E2E2::decrypt(state, sealed.header, sealed.iv, sealed.ct, ad, random);
        return Opened{std::move(state), std::move(plaintext)};
    } catch (const Error &) {
        return std::nullopt;
    }
}

// Opens `sealed` with a new receiving session rooted in the sender's key `senderPub`.
std::optional<Opened> openFresh(const QString &myPriv, const QString &myPub, const QString &senderPub, const QString &myUserID,
                                const QString &senderID, const E2E2::Sealed &sealed, const QString &ad, Crypto::RandomSource &random)
{
    try {
        const QString sk = E2E2::rootSecret(myPriv, senderPub, myUserID, senderID);
        return openWith(E2E2::initReceiver(sk, myPriv, myPub), sealed, ad, random);
    } catch (const Error &) {
        return std::nullopt;
    }
}

} // namespace

struct E2E::Target {
    QString user;
    DeviceKey device;
    QString sessionKey;
};

// --- plaintext cache ---

E2E::PtCache E2E::PtCache::fromJsonObject(const QJsonObject &o)
{
    PtCache cache;
    const QJsonObject map = Json::obj(o, QLatin1StringView("map"));
    for (auto it = map.begin(); it != map.end(); ++it) {
        if (it.value().isString())
            cache.map.insert(it.key(), it.value().toString());
    }
    QSet<QString> ordered;
    QStringList order;
    for (const QJsonValue &v : Json::arr(o, QLatin1StringView("order"))) {
        const QString id = v.toString();
        if (v.isString() && cache.map.contains(id) && !ordered.contains(id)) {
            ordered.insert(id);
            order.append(id);
        }
    }
    // Entries missing from the order count as the oldest, so they are evicted first.
    QStringList unordered;
    for (auto it = cache.map.cbegin(); it != cache.map.cend(); ++it) {
        if (!ordered.contains(it.key()))
            unordered.append(it.key());
    }
    std::sort(unordered.begin(), unordered.end());
    cache.order = unordered + order;
    return cache;
}

E2E::PtCache E2E::PtCache::fromJson(QByteArrayView json)
{
    return fromJsonObject(Json::parseObject(json.toByteArray()));
}

QJsonObject E2E::PtCache::toJsonObject() const
{
    QJsonObject map;
    for (auto it = this->map.cbegin(); it != this->map.cend(); ++it)
        map.insert(it.key(), it.value());
    return QJsonObject{{QStringLiteral("order"), QJsonArray::fromStringList(order)}, {QStringLiteral("map"), map}};
}

QByteArray E2E::PtCache::toJson() const
{
    return Json::compact(toJsonObject());
}

E2E::PtCache &E2E::ptCacheLocked()
{
    // Only this object writes the cache, so one read at first use suffices.
    if (!m_pt)
        m_pt = PtCache::fromJson(m_store.bytes(kPtCacheKey).value_or(QByteArray()));
    return *m_pt;
}

E2E::PtCache E2E::ptLoad()
{
    std::lock_guard guard(m_ptMutex);
    return ptCacheLocked();
}

void E2E::ptPut(const QString &id, const QString &text)
{
    if (id.isEmpty())
        return;
    std::lock_guard guard(m_ptMutex);
    PtCache &cache = ptCacheLocked();
    if (!cache.map.contains(id))
        cache.order.append(id);
    cache.map.insert(id, text);
    while (cache.order.size() > kPtCacheLimit)
        cache.map.remove(cache.order.takeFirst());
    m_store.setBytes(kPtCacheKey, cache.toJson());
}

std::optional<QString> E2E::cachedPlaintext(const QString &clientMsgID)
{
    if (clientMsgID.isEmpty())
        return std::nullopt;
    std::lock_guard guard(m_ptMutex);
    const PtCache &cache = ptCacheLocked();
    auto it = cache.map.constFind(clientMsgID);
    if (it == cache.map.cend())
        return std::nullopt;
    return *it;
}

// --- sessions ---

std::optional<E2E2::State> E2E::loadSess(const QString &key)
{
    const std::optional<QByteArray> bytes = m_store.bytes(kSessionPrefix + key);
    if (!bytes)
        return std::nullopt;
    return E2E2::fromJson(*bytes);
}

void E2E::saveSess(const QString &key, const E2E2::State &state)
{
    m_store.setBytes(kSessionPrefix + key, E2E2::toJson(state));
}

// --- sending ---

QCoro::Task<std::optional<QString>> E2E::buildSecretEnvelope(QString imToken, QString myUserID, QString peerID,
                                                             QJsonObject envelope)
{
    const QString text = QString::fromUtf8(Json::compact(envelope));
    std::optional<QString> result = co_await buildSecret(imToken, myUserID, peerID, text);
    co_return result;
}

QCoro::Task<std::optional<QString>> E2E::buildSecret(QString imToken, QString myUserID, QString peerID, QString text)
{
    const KeyPairTexts keys = co_await ensureKeyPair(imToken, myUserID);
    const QString myDevice = deviceID();
    const QList<DeviceKey> peerDevices = co_await fetchDevices(imToken, myUserID, peerID, false);
    if (peerDevices.isEmpty())
        co_return std::nullopt;
    QList<DeviceKey> myDevices = co_await fetchDevices(imToken, myUserID, myUserID, false);
    myDevices.removeIf([&](const DeviceKey &d) { return d.deviceID == myDevice; });

    QList<Target> targets;
    for (const DeviceKey &d : peerDevices)
        targets.append(Target{peerID, d, {}});
    for (const DeviceKey &d : myDevices)
        targets.append(Target{myUserID, d, {}});
    const bool v2 = targets.size() == 1;
    QStringList lockKeys;
    for (Target &t : targets) {
        t.sessionKey = v2 ? peerID : t.user + u'#' + t.device.deviceID;
        lockKeys.append(t.sessionKey);
    }
    // All sessions of this message at once, in one global order so that senders cannot deadlock.
    lockKeys.removeDuplicates();
    std::sort(lockKeys.begin(), lockKeys.end());
    std::list<KeyedLock::Guard> guards;
    for (const QString &key : lockKeys) {
        guards.emplace_back(m_sessionLocks, key);
        co_await guards.back().acquire();
    }

    QHash<QString, std::optional<E2E2::State>> sessions;
    for (const QString &key : lockKeys)
        sessions.insert(key, loadSess(key));

    struct Output {
        QString sessionKey;
        E2E2::State state;
        E2E2::Sealed sealed;
    };
    QList<Output> outputs;
    Crypto::RandomSource &random = *m_random;
    auto work = [&] {
        for (const Target &t : targets) {
            if (!keysDecode(keys.priv, t.device.pubKey))
                throw invalidKey();
            std::optional<E2E2::State> &slot = sessions[t.sessionKey];
            E2E2::State state;
            if (slot && slot->cks) {
                state = *slot;
            } else {
                const QString sk = E2E2::rootSecret(keys.priv, t.device.pubKey, myUserID, t.user);
                state = E2E2::initSender(sk, t.device.pubKey, random);
            }
            E2E2::Sealed sealed = E2E2::encrypt(state, text, E2E2::ad(myUserID, t.user), random);
            slot = state;
            outputs.append(Output{t.sessionKey, std::move(state), std::move(sealed)});
        }
    };
    std::exception_ptr failure;
    try {
        co_await onWorker(work);
    } catch (...) {
        failure = std::current_exception();
    }
    // Sessions advanced for earlier targets stay advanced even when a later one fails.
    for (const Output &o : outputs)
        saveSess(o.sessionKey, o.state);
    if (failure)
        std::rethrow_exception(failure);

    QJsonObject envelope{{QStringLiteral("mireloType"), kSecret}};
    if (v2) {
        envelope.insert(QStringLiteral("v"), 2);
        envelope = headerMembers(outputs.first().sealed, envelope);
    } else {
        QJsonArray msgs;
        for (qsizetype i = 0; i < outputs.size(); ++i)
            msgs.append(headerMembers(outputs[i].sealed, QJsonObject{{QStringLiteral("to"), targets[i].device.deviceID}}));
        envelope.insert(QStringLiteral("v"), 3);
        envelope.insert(QStringLiteral("from"), myDevice);
        envelope.insert(QStringLiteral("msgs"), msgs);
    }
    co_return QString::fromUtf8(Json::compact(envelope));
}

// --- receiving ---

QCoro::Task<std::optional<QString>> E2E::decrypt(QString imToken, QString myUserID, QString peerID,
                                                 QString customData, QString senderID, QString clientMsgID)
{
    const QJsonObject envelope = Json::parseObject(customData.toUtf8());
    if (Json::str(envelope, QLatin1StringView("mireloType")) != kSecret)
        co_return std::nullopt;
    const QJsonValue v = envelope.value(QLatin1StringView("v"));
    const bool integral = Json::isInteger(v);
    try {
        if (integral && v.toDouble() == 2) {
            if (std::optional<QString> cached = cachedPlaintext(clientMsgID))
                co_return cached;
            if (senderID == myUserID)
                co_return std::nullopt;
            std::optional<QString> plain = co_await decryptV2(imToken, myUserID, peerID, envelope, clientMsgID);
            co_return plain;
        }
        if (integral && v.toDouble() == 3) {
            if (std::optional<QString> cached = cachedPlaintext(clientMsgID))
                co_return cached;
            std::optional<QString> plain = co_await decryptV3(imToken, myUserID, envelope, senderID, clientMsgID);
            co_return plain;
        }
        std::optional<QString> plain = co_await decryptV1(imToken, myUserID, peerID, envelope);
        co_return plain;
    } catch (...) {
        // Every failure is a message that cannot be shown.
    }
    co_return std::nullopt;
}

// Stores the session that opened a message and remembers the message's text; the text.
QString E2E::keepOpened(const QString &sessionKey, const QString &clientMsgID, const E2E2::State &state, const QString &plaintext)
{
    saveSess(sessionKey, state);
    ptPut(clientMsgID, plaintext);
    return plaintext;
}

QCoro::Task<std::optional<QString>> E2E::decryptV2(QString imToken, QString myUserID, QString peerID,
                                                   QJsonObject envelope, QString clientMsgID)
{
    const KeyPairTexts keys = co_await ensureKeyPair(imToken, myUserID);
    const QList<DeviceKey> devices = co_await fetchDevices(imToken, myUserID, peerID, false);
    if (devices.isEmpty())
        co_return std::nullopt;
    const QString rootPub = devices.first().pubKey;
    const E2E2::Sealed sealed{headerOf(envelope), Json::text(envelope.value(QLatin1StringView("iv"))),
                              Json::text(envelope.value(QLatin1StringView("ct")))};
    const QString ad = E2E2::ad(myUserID, peerID);

    KeyedLock::Guard guard(m_sessionLocks, peerID);
    co_await guard.acquire();
    // A copy of this message may have been opened while this one waited for the session.
    if (std::optional<QString> cached = cachedPlaintext(clientMsgID))
        co_return cached;
    const std::optional<E2E2::State> stored = loadSess(peerID);

    std::optional<Opened> opened;
    Crypto::RandomSource &random = *m_random;
    auto work = [&] {
        if (!keysDecode(keys.priv, rootPub))
            return;
        if (stored)
            opened = openWith(*stored, sealed, ad, random);
        if (!opened && mayRebuild(stored, sealed.header))
            opened = openFresh(keys.priv, keys.pub, rootPub, myUserID, peerID, sealed, ad, random);
    };
    co_await onWorker(work);
    if (!opened)
        co_return std::nullopt;
    co_return keepOpened(peerID, clientMsgID, opened->state, opened->plaintext);
}

QCoro::Task<std::optional<QString>> E2E::decryptV3(QString imToken, QString myUserID, QJsonObject envelope,
                                                   QString senderID, QString clientMsgID)
{
    const KeyPairTexts keys = co_await ensureKeyPair(imToken, myUserID);
    const QString myDevice = deviceID();
    const QString from = Json::text(envelope.value(QLatin1StringView("from")));
    if (senderID == myUserID && from == myDevice)
        co_return std::nullopt;   // this device's own copy: only the plaintext cache can show it
    bool isList = false;
    const QList<QJsonObject> msgs = Json::objectList(envelope.value(QLatin1StringView("msgs")), &isList);
    if (!isList)
        co_return std::nullopt;
    auto entry = std::find_if(msgs.cbegin(), msgs.cend(), [&](const QJsonObject &m) {
        return Json::text(m.value(QLatin1StringView("to"))) == myDevice;
    });
    if (entry == msgs.cend())
        co_return std::nullopt;
    const QString sessionKey = senderID + u'#' + from;
    const QString ad = E2E2::ad(myUserID, senderID);
    const E2E2::Sealed sealed{headerOf(*entry), Json::text(entry->value(QLatin1StringView("iv"))),
                              Json::text(entry->value(QLatin1StringView("ct")))};

    KeyedLock::Guard guard(m_sessionLocks, sessionKey);
    co_await guard.acquire();
    if (std::optional<QString> cached = cachedPlaintext(clientMsgID))
        co_return cached;
    const std::optional<E2E2::State> stored = loadSess(sessionKey);

    std::optional<Opened> opened;
    Crypto::RandomSource &random = *m_random;
    if (stored) {
        auto work = [&] { opened = openWith(*stored, sealed, ad, random); };
        co_await onWorker(work);
    }
    if (!opened && mayRebuild(stored, sealed.header)) {
        // The sender's device key: the cache when fresh, else the directory; then always the directory.
        QString tried;
        for (int attempt = 0; attempt < 2 && !opened; ++attempt) {
            const QList<DeviceKey> devices = co_await fetchDevices(imToken, myUserID, senderID, attempt == 1);
            auto device = std::find_if(devices.cbegin(), devices.cend(),
                                       [&](const DeviceKey &d) { return d.deviceID == from; });
            if (device == devices.cend() || device->pubKey == tried)
                continue;   // the same key would fail the same way
            tried = device->pubKey;
            auto work = [&] {
                if (keysDecode(keys.priv, tried))
                    opened = openFresh(keys.priv, keys.pub, tried, myUserID, senderID, sealed, ad, random);
            };
            co_await onWorker(work);
        }
    }
    if (!opened)
        co_return std::nullopt;
    co_return keepOpened(sessionKey, clientMsgID, opened->state, opened->plaintext);
}

QCoro::Task<std::optional<QString>> E2E::decryptV1(QString imToken, QString myUserID, QString peerID,
                                                   QJsonObject envelope)
{
    const KeyPairTexts keys = co_await ensureKeyPair(imToken, myUserID);
    const QList<DeviceKey> devices = co_await fetchDevices(imToken, myUserID, peerID, false);
    if (devices.isEmpty())
        co_return std::nullopt;
    const QString rootPub = devices.first().pubKey;
    const QByteArray sealed = Crypto::fromBase64(Json::text(envelope.value(QLatin1StringView("ct"))));
    const QByteArray nonce = Crypto::fromBase64(Json::text(envelope.value(QLatin1StringView("iv"))));
    if (sealed.size() < Crypto::kGcmTagSize)
        co_return std::nullopt;
    std::optional<QString> plaintext;
    auto work = [&] {
        const std::optional<QByteArray> shared = Crypto::ecdh(Crypto::fromBase64(keys.priv), Crypto::fromBase64(rootPub));
        if (!shared)
            return;
        const QByteArray info = (QStringLiteral("e2e:") + Crypto::sortedPair(myUserID, peerID)).toUtf8();
        const QByteArray key = Crypto::hkdfSha256(*shared, QByteArrayLiteral("mirelo-e2e-v1"), info, 32);
        if (std::optional<QByteArray> plain = Crypto::aesGcmOpen(key, nonce, sealed, {}))
            plaintext = QString::fromUtf8(*plain);
    };
    co_await onWorker(work);
    co_return plaintext;
}
