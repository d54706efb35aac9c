#pragma once

#include "e2e/Crypto.h"
#include "e2e/KeyDirectory.h"
#include "e2e/KeyedLock.h"
#include "e2e/PrefsStore.h"
#include "e2e/Ratchet.h"

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <qcoro/qcorotask.h>

#include <functional>
#include <mutex>
#include <optional>

// End-to-end encryption: this device's key pair and id, the key directory with its short-lived
// cache, trust on first use, secret-message envelopes with their ratchet sessions and the
// plaintext cache, and the call media key.
//
// Lives on the main thread; its coroutines resume there. The ratchet work of one message runs on
// the thread pool. Operations on one session key are serialised; the key pair, the device cache,
// the pins and the plaintext cache are each guarded by their own mutex.
class E2E : public QObject {
    Q_OBJECT

public:
    using DeviceKey = KeyDirectory::Device;
    // Monotonic milliseconds; only differences matter.
    using Clock = std::function<qint64()>;

    // Plaintexts of secret messages by message id, oldest first.
    struct PtCache {
        QStringList order;
        QHash<QString, QString> map;

        // Unreadable input gives an empty cache; order and map are kept consistent.
        static PtCache fromJsonObject(const QJsonObject &o);
        static PtCache fromJson(QByteArrayView json);
        QJsonObject toJsonObject() const;
        QByteArray toJson() const;
    };

    static constexpr const char *kKeyChangedEvent = "mireloE2EKeyChanged";
    static constexpr qint64 kDeviceCacheMs = 300'000;
    static constexpr qsizetype kPtCacheLimit = 800;

    // Store keys.
    static const QString kPrivKey;
    static const QString kPubKey;
    static const QString kDeviceIDKey;
    static const QString kPinPrefix;
    static const QString kWarnPrefix;
    static const QString kSessionPrefix;
    static const QString kPtCacheKey;

    // The app's instance over the bridge's key directory and the user's preferences; created on
    // first use (on the main thread) and never destroyed.
    static E2E &shared();

    // `directory` and `store` must outlive this object.
    E2E(KeyDirectory &directory, PrefsStore &store, QObject *parent = nullptr);

    void setClock(Clock clock);
    // Used for keys, nonces and the device id; must be safe to call from the thread pool.
    void setRandom(Crypto::RandomSource &random);

    // --- device keys, directory, trust ---

    QString deviceID();
    // Loads or creates the key pair, publishes it (failures ignored) and returns the public key.
    QCoro::Task<QString> ensureKeys(QString imToken, QString userID);
    QCoro::Task<QList<DeviceKey>> fetchDevices(QString imToken, QString myUserID, QString userID, bool force);
    void tofuCheck(const QString &userID, const QList<DeviceKey> &devices);
    QCoro::Task<QString> rotateKeys(QString imToken, QString userID);
    QCoro::Task<std::optional<QString>> safetyCode(QString imToken, QString myUserID, QString peerID);

    // --- secret messages ---

    // None when the peer has no device key; fails (Error) when a key does not decode.
    QCoro::Task<std::optional<QString>> buildSecretEnvelope(QString imToken, QString myUserID, QString peerID,
                                                            QJsonObject envelope);
    QCoro::Task<std::optional<QString>> buildSecret(QString imToken, QString myUserID, QString peerID, QString text);
    // The plaintext, or none when the message cannot be shown. Never fails.
    QCoro::Task<std::optional<QString>> decrypt(QString imToken, QString myUserID, QString peerID,
                                                QString customData, QString senderID, QString clientMsgID);
    PtCache ptLoad();
    void ptPut(const QString &id, const QString &text);
    std::optional<E2E2::State> loadSess(const QString &key);
    void saveSess(const QString &key, const E2E2::State &state);

    // --- call media key ---

    QCoro::Task<std::optional<QString>> callKey(QString imToken, QString myUserID, QString peerID, QString roomID);

    // --- pure derivations, shared with the interop tool ---

    // Dedupe, sort, join with "|", SHA-256, "%06d %06d".
    static QString safetyCodeOf(QStringList publicKeys);
    static QString formatSafetyCode(const QByteArray &digest);
    static std::optional<QString> deriveCallKey(const QString &myPriv, const QString &peerPub,
                                                const QString &myUserID, const QString &peerID,
                                                const QString &roomID);

signals:
    // The key-changed event, user info {"userID": id}; posted once per contact.
    void keyChangedNotification(const QVariantMap &userInfo);

private:
    struct KeyPairTexts {
        QString priv;
        QString pub;
    };
    struct CachedDevices {
        qint64 fetchedAt = 0;
        QList<DeviceKey> devices;
    };
    struct Target;

    KeyPairTexts loadOrGenerateKeys();
    QCoro::Task<KeyPairTexts> ensureKeyPair(QString imToken, QString userID);
    std::optional<QList<DeviceKey>> freshDevices(const QString &userID);
    void cacheDevices(const QString &userID, const QList<DeviceKey> &devices);
    PtCache &ptCacheLocked();

    QCoro::Task<std::optional<QString>> decryptV2(QString imToken, QString myUserID, QString peerID,
                                                  QJsonObject envelope, QString clientMsgID);
    // Stores the session that opened a message and remembers its text; returns the text.
    QString keepOpened(const QString &sessionKey, const QString &clientMsgID, const E2E2::State &state, const QString &plaintext);
    QCoro::Task<std::optional<QString>> decryptV3(QString imToken, QString myUserID, QJsonObject envelope,
                                                  QString senderID, QString clientMsgID);
    QCoro::Task<std::optional<QString>> decryptV1(QString imToken, QString myUserID, QString peerID,
                                                  QJsonObject envelope);
    std::optional<QString> cachedPlaintext(const QString &clientMsgID);

    KeyDirectory &m_directory;
    PrefsStore &m_store;
    Clock m_clock;
    Crypto::RandomSource *m_random;

    std::mutex m_keyMutex;
    std::optional<KeyPairTexts> m_keys;
    std::mutex m_deviceMutex;
    QHash<QString, CachedDevices> m_devices;
    std::mutex m_pinMutex;
    std::mutex m_ptMutex;
    std::optional<PtCache> m_pt;
    KeyedLock m_sessionLocks;
};
