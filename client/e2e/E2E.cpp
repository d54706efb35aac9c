#include "e2e/E2E.h"

#include "base/Broadcast.h"
#include "base/Error.h"
#include "base/Json.h"
#include "e2e/BridgeKeyDirectory.h"
#include "e2e/Worker.h"

#include <QJsonDocument>
#include <QSet>
#include <QtEndian>

#include <algorithm>
#include <chrono>

const QString E2E::kPrivKey = QStringLiteral("mirelo_e2e_priv");
const QString E2E::kPubKey = QStringLiteral("mirelo_e2e_pub");
const QString E2E::kDeviceIDKey = QStringLiteral("mirelo_e2e_devid");
const QString E2E::kPinPrefix = QStringLiteral("mirelo_e2e_pin:");
const QString E2E::kWarnPrefix = QStringLiteral("mirelo_e2e_warn:");
const QString E2E::kSessionPrefix = QStringLiteral("mirelo_e2e2_sess:");
const QString E2E::kPtCacheKey = QStringLiteral("mirelo_e2e2_pt");

namespace {

qint64 steadyMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// The pins of one contact, or none when missing or not an object of strings.
std::optional<QHash<QString, QString>> parsePins(const std::optional<QString> &text)
{
    if (!text)
        return std::nullopt;
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(text->toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    QHash<QString, QString> pins;
    const QJsonObject o = doc.object();
    for (auto it = o.begin(); it != o.end(); ++it) {
        if (!it.value().isString())
            return std::nullopt;
        pins.insert(it.key(), it.value().toString());
    }
    return pins;
}

QString pinsText(const QHash<QString, QString> &pins)
{
    QJsonObject o;
    for (auto it = pins.begin(); it != pins.end(); ++it)
        o.insert(it.key(), it.value());
    return QString::fromUtf8(Json::compact(o));
}

} // namespace

E2E &E2E::shared()
{
    static E2E *instance = [] {
        auto *e2e = new E2E(*new BridgeKeyDirectory, *new SettingsStore);
        // The app hears of changed contact keys through the process-wide announcements.
        QObject::connect(e2e, &E2E::keyChangedNotification, e2e,
                         [](const QVariantMap &info) { Broadcast::post(QLatin1String(kKeyChangedEvent), info); });
        return e2e;
    }();
    return *instance;
}

E2E::E2E(KeyDirectory &directory, PrefsStore &store, QObject *parent)
    : QObject(parent), m_directory(directory), m_store(store), m_clock(steadyMs), m_random(&Crypto::systemRandom())
{
}

void E2E::setClock(Clock clock)
{
    m_clock = clock ? std::move(clock) : Clock(steadyMs);
}

void E2E::setRandom(Crypto::RandomSource &random)
{
    m_random = &random;
}

QString E2E::deviceID()
{
    // Shares the key pair's lock: two first calls must not create two ids.
    std::lock_guard guard(m_keyMutex);
    if (std::optional<QString> stored = m_store.text(kDeviceIDKey); stored && !stored->isEmpty())
        return *stored;
    const QString id = QString::fromLatin1(m_random->bytes(12).toHex());
    m_store.setText(kDeviceIDKey, id);
    return id;
}

E2E::KeyPairTexts E2E::loadOrGenerateKeys()
{
    // Held across the whole load-or-generate step, so concurrent first calls agree on one pair.
    std::lock_guard guard(m_keyMutex);
    if (m_keys)
        return *m_keys;
    const std::optional<QString> priv = m_store.text(kPrivKey);
    const std::optional<QString> pub = m_store.text(kPubKey);
    if (priv && pub) {
        m_keys = KeyPairTexts{*priv, *pub};
        return *m_keys;
    }
    Crypto::KeyPair pair;
    try {
        pair = Crypto::generateP256(*m_random);
    } catch (const Error &) {
        return {};   // nothing to publish; operations needing the key fail later
    }
    KeyPairTexts keys{Crypto::toBase64(pair.priv), Crypto::toBase64(pair.pub)};
    m_store.setText(kPrivKey, keys.priv);
    m_store.setText(kPubKey, keys.pub);
    m_keys = keys;
    return keys;
}

QCoro::Task<E2E::KeyPairTexts> E2E::ensureKeyPair(QString imToken, QString userID)
{
    const KeyPairTexts keys = loadOrGenerateKeys();
    if (!keys.pub.isEmpty()) {
        const QString device = deviceID();
        try {
            co_await m_directory.publish(imToken, userID, keys.pub, device);
        } catch (...) {
            // The next call publishes again.
        }
    }
    co_return keys;
}

QCoro::Task<QString> E2E::ensureKeys(QString imToken, QString userID)
{
    const KeyPairTexts keys = co_await ensureKeyPair(imToken, userID);
    co_return keys.pub;
}

std::optional<QList<E2E::DeviceKey>> E2E::freshDevices(const QString &userID)
{
    std::lock_guard guard(m_deviceMutex);
    auto it = m_devices.constFind(userID);
    if (it == m_devices.cend() || m_clock() - it->fetchedAt >= kDeviceCacheMs)
        return std::nullopt;
    return it->devices;
}

void E2E::cacheDevices(const QString &userID, const QList<DeviceKey> &devices)
{
    std::lock_guard guard(m_deviceMutex);
    m_devices.insert(userID, CachedDevices{m_clock(), devices});
}

QCoro::Task<QList<E2E::DeviceKey>> E2E::fetchDevices(QString imToken, QString myUserID, QString userID, bool force)
{
    if (!force) {
        if (std::optional<QList<DeviceKey>> cached = freshDevices(userID))
            co_return *cached;
    }
    QList<DeviceKey> devices;
    const QStringList ids{userID};
    try {
        const QHash<QString, QList<DeviceKey>> answer = co_await m_directory.devices(imToken, myUserID, ids);
        devices = answer.value(userID);
    } catch (...) {
        // Cached empty like a contact without secret chat.
    }
    cacheDevices(userID, devices);
    if (userID != myUserID)
        tofuCheck(userID, devices);
    co_return devices;
}

void E2E::tofuCheck(const QString &userID, const QList<DeviceKey> &devices)
{
    if (devices.isEmpty())
        return;
    bool changed = false;
    {
        std::lock_guard guard(m_pinMutex);
        const QString pinKey = kPinPrefix + userID;
        std::optional<QHash<QString, QString>> pins = parsePins(m_store.text(pinKey));
        if (!pins) {
            // First contact. With a device id listed twice, its first key is pinned.
            QHash<QString, QString> first;
            for (const DeviceKey &d : devices) {
                if (!first.contains(d.deviceID))
                    first.insert(d.deviceID, d.pubKey);
            }
            m_store.setText(pinKey, pinsText(first));
            return;
        }
        bool added = false;
        for (const DeviceKey &d : devices) {
            auto it = pins->constFind(d.deviceID);
            if (it == pins->cend()) {
                pins->insert(d.deviceID, d.pubKey);
                added = true;
            } else if (*it != d.pubKey) {
                changed = true;
            }
        }
        if (!changed) {
            if (added)
                m_store.setText(pinKey, pinsText(*pins));
            return;
        }
        // Changed: the old pins stay, new devices are not pinned, and the warning is given once.
        const QString warnKey = kWarnPrefix + userID;
        if (m_store.text(warnKey) == QStringLiteral("1"))
            return;
        m_store.setText(warnKey, QStringLiteral("1"));
    }
    emit keyChangedNotification(QVariantMap{{QStringLiteral("userID"), userID}});
}

QCoro::Task<QString> E2E::rotateKeys(QString imToken, QString userID)
{
    {
        std::lock_guard guard(m_keyMutex);
        m_store.remove(kPrivKey);
        m_store.remove(kPubKey);
        m_store.removeWithPrefix(kSessionPrefix);
        m_keys.reset();
    }
    {
        std::lock_guard guard(m_deviceMutex);
        m_devices.clear();
    }
    const QString pub = co_await ensureKeys(imToken, userID);
    co_return pub;
}

QString E2E::formatSafetyCode(const QByteArray &digest)
{
    if (digest.size() < 8)
        return {};
    const quint32 a = qFromBigEndian<quint32>(digest.constData());
    const quint32 b = qFromBigEndian<quint32>(digest.constData() + 4);
    return QStringLiteral("%1 %2").arg(a % 1000000u, 6, 10, QChar(u'0')).arg(b % 1000000u, 6, 10, QChar(u'0'));
}

QString E2E::safetyCodeOf(QStringList publicKeys)
{
    publicKeys.removeDuplicates();
    std::sort(publicKeys.begin(), publicKeys.end(), Crypto::codePointLess);
    return formatSafetyCode(Crypto::sha256(publicKeys.join(u'|').toUtf8()));
}

QCoro::Task<std::optional<QString>> E2E::safetyCode(QString imToken, QString myUserID, QString peerID)
{
    const QString myPub = co_await ensureKeys(imToken, myUserID);
    // Always from the directory, never the cache: the code is what users compare right now.
    const QList<DeviceKey> peer = co_await fetchDevices(imToken, myUserID, peerID, true);
    if (peer.isEmpty())
        co_return std::nullopt;
    const QList<DeviceKey> mine = co_await fetchDevices(imToken, myUserID, myUserID, true);
    QStringList keys{myPub};
    for (const DeviceKey &d : mine)
        keys.append(d.pubKey);
    for (const DeviceKey &d : peer)
        keys.append(d.pubKey);
    co_return safetyCodeOf(keys);
}

std::optional<QString> E2E::deriveCallKey(const QString &myPriv, const QString &peerPub, const QString &myUserID,
                                          const QString &peerID, const QString &roomID)
{
    const std::optional<QByteArray> shared = Crypto::ecdh(Crypto::fromBase64(myPriv), Crypto::fromBase64(peerPub));
    if (!shared)
        return std::nullopt;
    const QByteArray info = (QStringLiteral("call:") + Crypto::sortedPair(myUserID, peerID) + u':' + roomID).toUtf8();
    return Crypto::toBase64(Crypto::hkdfSha256(*shared, QByteArrayLiteral("mirelo-call-e2ee-v1"), info, 32));
}

QCoro::Task<std::optional<QString>> E2E::callKey(QString imToken, QString myUserID, QString peerID, QString roomID)
{
    const KeyPairTexts keys = co_await ensureKeyPair(imToken, myUserID);
    if (!Crypto::isValidPrivateKey(Crypto::fromBase64(keys.priv)))
        co_return std::nullopt;
    const QList<DeviceKey> devices = co_await fetchDevices(imToken, myUserID, peerID, false);
    if (devices.isEmpty())
        co_return std::nullopt;
    const QString peerPub = devices.first().pubKey;
    std::optional<QString> key;
    auto work = [&] { key = deriveCallKey(keys.priv, peerPub, myUserID, peerID, roomID); };
    try {
        co_await onWorker(work);
    } catch (...) {
        co_return std::nullopt;
    }
    co_return key;
}
