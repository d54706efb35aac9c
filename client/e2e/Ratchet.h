#pragma once

#include "e2e/Crypto.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <optional>
#include <utility>

// The double-ratchet engine behind secret chat. Stateless: every operation works on a State that
// the caller loads, passes in and stores back. Keys, points and byte strings are standard base64.
namespace E2E2 {

// Message keys kept for messages not received yet, oldest first. Key: peer ratchet key + "|" + n.
struct SkippedKey {
    QString key;
    QString mk;
    friend bool operator==(const SkippedKey &, const SkippedKey &) = default;
};

struct State {
    QString rk;
    std::optional<QString> cks;
    std::optional<QString> ckr;
    QString dhPriv;
    QString dhPub;
    std::optional<QString> peerDh;
    qint64 ns = 0;
    qint64 nr = 0;
    qint64 pn = 0;
    QList<SkippedKey> skipped;

    const QString *findSkipped(const QString &key) const;
    friend bool operator==(const State &, const State &) = default;
};

struct Header {
    QString dh;
    qint64 pn = 0;
    qint64 n = 0;
};

struct Sealed {
    Header header;
    QString iv;
    QString ct;
};

constexpr int kMaxSkip = 64;
constexpr int kSkippedCutAt = 129;
constexpr int kSkippedKeep = 64;

QString ad(const QString &myID, const QString &peerID);
// Fails when a key does not decode.
QString rootSecret(const QString &myPrivRaw, const QString &peerStaticPubB64, const QString &myID,
                   const QString &peerID);
State initSender(const QString &sk, const QString &peerStaticPubB64,
                 Crypto::RandomSource &random = Crypto::systemRandom());
State initReceiver(const QString &sk, const QString &myStaticPriv, const QString &myStaticPub);
Sealed encrypt(State &state, const QString &plaintext, const QString &ad,
               Crypto::RandomSource &random = Crypto::systemRandom());
// On failure throws and leaves `state` as it was.
QString decrypt(State &state, const Header &header, const QString &iv, const QString &ct, const QString &ad,
                Crypto::RandomSource &random = Crypto::systemRandom());
// Fails with "too many skipped".
void skipKeys(State &state, qint64 until);

QByteArray hmac(const QByteArray &key, quint8 c);
QByteArray ecdh(const QString &privRaw, const QString &peerPubB64);
std::pair<QString, QString> aesEnc(const QString &key, const QString &plaintext, const QString &ad,
                                   Crypto::RandomSource &random = Crypto::systemRandom());
QString aesDec(const QString &key, const QString &iv, const QString &ct, const QString &ad);

// The persisted form: a JSON object with exactly rk, cks?, ckr?, dhPriv, dhPub, peerDh?, ns, nr, pn,
// skipped. The skipped keys are written oldest first and read back in text order, so the cut keeps
// the most recently stored keys across restarts.
QByteArray toJson(const State &state);
std::optional<State> fromJson(QByteArrayView json);
QJsonObject toJsonObject(const State &state);
std::optional<State> fromJsonObject(const QJsonObject &o);

} // namespace E2E2
