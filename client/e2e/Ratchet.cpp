#include "e2e/Ratchet.h"

#include "base/Error.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>

#include <cmath>

namespace E2E2 {

namespace {

const QByteArray kRootSalt = QByteArrayLiteral("mirelo-e2e-v2");
const QByteArray kRatchetInfo = QByteArrayLiteral("mirelo-e2e-v2-rk");
const QString kAdPrefix = QStringLiteral("mirelo-e2e-v2:");
const QString kRootInfoPrefix = QStringLiteral("rk:");

// Counters beyond this are treated as a corrupt state rather than risking overflow.
constexpr qint64 kMaxCounter = qint64(1) << 53;

enum ErrorCode { InvalidKey = 1, TooManySkipped = 2, DecryptFailed = 3 };

Error e2eError(ErrorCode code, const char *text)
{
    return Error(QStringLiteral("E2E"), code, QString::fromLatin1(text));
}

QByteArray b64(const QString &text)
{
    return Crypto::fromBase64(text);
}

template <typename Peer>
QByteArray ecdhBytes(const QByteArray &priv, const Peer &pub)
{
    std::optional<QByteArray> shared = Crypto::ecdh(priv, pub);
    if (!shared)
        throw e2eError(InvalidKey, "invalid key");
    return *shared;
}

// KDF_RK: (new root key, new chain key).
std::pair<QString, QString> kdfRk(const QString &rk, const QByteArray &dh)
{
    const QByteArray okm = Crypto::hkdfSha256(dh, b64(rk), kRatchetInfo, 64);
    return {Crypto::toBase64(okm.first(32)), Crypto::toBase64(okm.sliced(32))};
}

// Chain step: returns the message key and advances the chain key.
QByteArray chainStep(std::optional<QString> &ck)
{
    const QByteArray key = ck ? b64(*ck) : QByteArray();
    QByteArray mk = hmac(key, 0x01);
    ck = Crypto::toBase64(hmac(key, 0x02));
    return mk;
}

void storeSkipped(State &s, QString key, QString mk)
{
    s.skipped.removeIf([&](const SkippedKey &k) { return k.key == key; });
    s.skipped.append(SkippedKey{std::move(key), std::move(mk)});
}

QString aesDecBytes(const QByteArray &key, const QString &iv, const QString &ct, const QString &ad)
{
    const QByteArray sealed = b64(ct);
    if (sealed.size() < Crypto::kGcmTagSize)
        throw e2eError(DecryptFailed, "decryption failed");
    std::optional<QByteArray> plain = Crypto::aesGcmOpen(key, b64(iv), sealed, ad.toUtf8());
    if (!plain)
        throw e2eError(DecryptFailed, "decryption failed");
    return QString::fromUtf8(*plain);
}

std::pair<QString, QString> aesEncBytes(const QByteArray &key, const QString &plaintext, const QString &ad,
                                        Crypto::RandomSource &random)
{
    const QByteArray nonce = random.bytes(Crypto::kGcmNonceSize);
    if (key.size() != 32)
        throw e2eError(InvalidKey, "invalid key");
    const QByteArray sealed = Crypto::aesGcmSeal(key, nonce, plaintext.toUtf8(), ad.toUtf8());
    return {Crypto::toBase64(nonce), Crypto::toBase64(sealed)};
}

// --- JSON ---

void appendJsonString(QByteArray &out, const QString &s)
{
    out.append('"');
    const QByteArray utf8 = s.toUtf8();
    for (char c : utf8) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out.append('\\').append(c);
        } else if (u < 0x20) {
            static const char hex[] = "0123456789abcdef";
            out.append("\\u00").append(hex[u >> 4]).append(hex[u & 0xf]);
        } else {
            out.append(c);
        }
    }
    out.append('"');
}

void appendMember(QByteArray &out, const char *name, const QString &value)
{
    out.append('"').append(name).append("\":");
    appendJsonString(out, value);
    out.append(',');
}

void appendMember(QByteArray &out, const char *name, qint64 value)
{
    out.append('"').append(name).append("\":").append(QByteArray::number(value)).append(',');
}

// Reads the order of the members of one top-level object member. The text has already been
// accepted by QJsonDocument; the scanner still never reads past its end.
class MemberOrder {
public:
    explicit MemberOrder(QByteArrayView text) : m_p(text.data()), m_end(text.data() + text.size()) {}

    QStringList keysOf(QLatin1StringView member)
    {
        ws();
        if (!take('{'))
            return {};
        while (true) {
            ws();
            QByteArrayView raw;
            if (!string(&raw))
                return {};
            ws();
            if (!take(':'))
                return {};
            ws();
            if (decode(raw) == member && peek() == '{')
                return objectKeys();
            skipValue();
            ws();
            if (!take(','))
                return {};
        }
    }

private:
    QStringList objectKeys()
    {
        QStringList keys;
        take('{');
        while (true) {
            ws();
            QByteArrayView raw;
            if (!string(&raw))
                return keys;
            keys.append(decode(raw));
            ws();
            if (!take(':'))
                return keys;
            ws();
            skipValue();
            ws();
            if (!take(','))
                return keys;
        }
    }

    char peek() const { return m_p < m_end ? *m_p : '\0'; }
    bool take(char c)
    {
        if (peek() != c)
            return false;
        ++m_p;
        return true;
    }
    void ws()
    {
        while (m_p < m_end && (*m_p == ' ' || *m_p == '\t' || *m_p == '\n' || *m_p == '\r'))
            ++m_p;
    }
    bool string(QByteArrayView *raw)
    {
        if (!take('"'))
            return false;
        const char *start = m_p;
        while (m_p < m_end && *m_p != '"')
            m_p += (*m_p == '\\') ? 2 : 1;
        if (m_p >= m_end)
            return false;
        *raw = QByteArrayView(start, m_p - start);
        ++m_p;
        return true;
    }
    void skipValue()
    {
        int depth = 0;
        while (m_p < m_end) {
            const char c = *m_p;
            if (c == '"') {
                QByteArrayView ignored;
                if (!string(&ignored) || depth == 0)
                    return;
                continue;
            }
            if (c == '{' || c == '[') {
                ++depth;
            } else if (c == '}' || c == ']') {
                if (depth == 0)
                    return;
                ++m_p;
                if (--depth == 0)
                    return;
                continue;
            } else if (c == ',' && depth == 0) {
                return;
            }
            ++m_p;
        }
    }
    static QString decode(QByteArrayView raw)
    {
        if (!raw.contains('\\'))
            return QString::fromUtf8(raw);
        QByteArray wrapped = "[\"" + raw.toByteArray() + "\"]";
        return QJsonDocument::fromJson(wrapped).array().at(0).toString();
    }

    const char *m_p;
    const char *m_end;
};

bool readCounter(const QJsonObject &o, QLatin1StringView key, qint64 *out)
{
    const QJsonValue v = o.value(key);
    if (!v.isDouble())
        return false;
    const double d = v.toDouble();
    if (!(d >= 0 && d <= double(kMaxCounter)) || d != std::floor(d))
        return false;
    *out = qint64(d);
    return true;
}

bool readOptional(const QJsonObject &o, QLatin1StringView key, std::optional<QString> *out)
{
    const QJsonValue v = o.value(key);
    if (v.isUndefined() || v.isNull()) {
        out->reset();
        return true;
    }
    if (!v.isString())
        return false;
    *out = v.toString();
    return true;
}

std::optional<State> fromObject(const QJsonObject &o, const QStringList &skippedOrder)
{
    State s;
    const QJsonValue rk = o.value(QLatin1StringView("rk"));
    const QJsonValue dhPriv = o.value(QLatin1StringView("dhPriv"));
    const QJsonValue dhPub = o.value(QLatin1StringView("dhPub"));
    const QJsonValue skipped = o.value(QLatin1StringView("skipped"));
    if (!rk.isString() || !dhPriv.isString() || !dhPub.isString() || !skipped.isObject())
        return std::nullopt;
    s.rk = rk.toString();
    s.dhPriv = dhPriv.toString();
    s.dhPub = dhPub.toString();
    if (!readOptional(o, QLatin1StringView("cks"), &s.cks) || !readOptional(o, QLatin1StringView("ckr"), &s.ckr)
        || !readOptional(o, QLatin1StringView("peerDh"), &s.peerDh))
        return std::nullopt;
    if (!readCounter(o, QLatin1StringView("ns"), &s.ns) || !readCounter(o, QLatin1StringView("nr"), &s.nr)
        || !readCounter(o, QLatin1StringView("pn"), &s.pn))
        return std::nullopt;

    const QJsonObject map = skipped.toObject();
    for (auto it = map.begin(); it != map.end(); ++it) {
        if (!it.value().isString())
            return std::nullopt;
    }
    // Keys whose order is unknown count as the oldest, in key order.
    QSet<QString> placed;
    QList<SkippedKey> ordered;
    for (const QString &key : skippedOrder) {
        if (map.contains(key) && !placed.contains(key)) {
            placed.insert(key);
            ordered.append(SkippedKey{key, map.value(key).toString()});
        }
    }
    for (auto it = map.begin(); it != map.end(); ++it) {
        if (!placed.contains(it.key()))
            s.skipped.append(SkippedKey{it.key(), it.value().toString()});
    }
    s.skipped.append(ordered);
    return s;
}

} // namespace

const QString *State::findSkipped(const QString &key) const
{
    for (const SkippedKey &k : skipped) {
        if (k.key == key)
            return &k.mk;
    }
    return nullptr;
}

QString ad(const QString &myID, const QString &peerID)
{
    return kAdPrefix + Crypto::sortedPair(myID, peerID);
}

QString rootSecret(const QString &myPrivRaw, const QString &peerStaticPubB64, const QString &myID,
                   const QString &peerID)
{
    const QByteArray shared = ecdhBytes(b64(myPrivRaw), b64(peerStaticPubB64));
    const QByteArray info = (kRootInfoPrefix + Crypto::sortedPair(myID, peerID)).toUtf8();
    return Crypto::toBase64(Crypto::hkdfSha256(shared, kRootSalt, info, 32));
}

State initSender(const QString &sk, const QString &peerStaticPubB64, Crypto::RandomSource &random)
{
    const Crypto::KeyPair pair = Crypto::generateP256(random);
    const QByteArray dh = ecdhBytes(pair.priv, b64(peerStaticPubB64));
    State s;
    std::tie(s.rk, s.cks) = kdfRk(sk, dh);
    s.dhPriv = Crypto::toBase64(pair.priv);
    s.dhPub = Crypto::toBase64(pair.pub);
    s.peerDh = peerStaticPubB64;
    return s;
}

State initReceiver(const QString &sk, const QString &myStaticPriv, const QString &myStaticPub)
{
    State s;
    s.rk = sk;
    s.dhPriv = myStaticPriv;
    s.dhPub = myStaticPub;
    return s;
}

Sealed encrypt(State &state, const QString &plaintext, const QString &ad, Crypto::RandomSource &random)
{
    State s = state;
    const QByteArray mk = chainStep(s.cks);
    const qint64 n = s.ns;
    s.ns = n + 1;
    Sealed out;
    std::tie(out.iv, out.ct) = aesEncBytes(mk, plaintext, ad, random);
    out.header = Header{s.dhPub, s.pn, n};
    state = std::move(s);
    return out;
}

QString decrypt(State &state, const Header &header, const QString &iv, const QString &ct, const QString &ad,
                Crypto::RandomSource &random)
{
    // Work on a copy: a failure anywhere leaves the caller's state untouched.
    State s = state;
    QByteArray mk;
    const QString skippedKey = s.skipped.isEmpty() ? QString() : header.dh + u'|' + QString::number(header.n);
    if (const QString *stored = skippedKey.isEmpty() ? nullptr : s.findSkipped(skippedKey)) {
        mk = b64(*stored);
        s.skipped.removeIf([&](const SkippedKey &k) { return k.key == skippedKey; });
    } else {
        if (!s.peerDh || *s.peerDh != header.dh) {
            skipKeys(s, header.pn);
            const std::optional<Crypto::PublicKey> peer = Crypto::PublicKey::fromX963(b64(header.dh));
            if (!peer)
                throw e2eError(InvalidKey, "invalid key");
            std::tie(s.rk, s.ckr) = kdfRk(s.rk, ecdhBytes(b64(s.dhPriv), *peer));
            s.peerDh = header.dh;
            s.pn = s.ns;
            s.ns = 0;
            s.nr = 0;
            const Crypto::KeyPair pair = Crypto::generateP256(random);
            std::tie(s.rk, s.cks) = kdfRk(s.rk, ecdhBytes(pair.priv, *peer));
            s.dhPriv = Crypto::toBase64(pair.priv);
            s.dhPub = Crypto::toBase64(pair.pub);
        }
        skipKeys(s, header.n);
        mk = chainStep(s.ckr);
        s.nr += 1;
    }
    QString plaintext = aesDecBytes(mk, iv, ct, ad);
    state = std::move(s);
    return plaintext;
}

void skipKeys(State &state, qint64 until)
{
    if (!state.ckr)
        return;
    // 128-bit so that hostile header numbers cannot overflow the comparison.
    if (static_cast<__int128>(until) > static_cast<__int128>(state.nr) + kMaxSkip)
        throw e2eError(TooManySkipped, "too many skipped");
    const QString prefix = state.peerDh.value_or(QString()) + u'|';
    while (state.nr < until) {
        const QByteArray mk = chainStep(state.ckr);
        storeSkipped(state, prefix + QString::number(state.nr), Crypto::toBase64(mk));
        state.nr += 1;
    }
    if (state.skipped.size() >= kSkippedCutAt)
        state.skipped.remove(0, state.skipped.size() - kSkippedKeep);
}

QByteArray hmac(const QByteArray &key, quint8 c)
{
    const char byte = char(c);
    return Crypto::hmacSha256(key, QByteArrayView(&byte, 1));
}

QByteArray ecdh(const QString &privRaw, const QString &peerPubB64)
{
    return ecdhBytes(b64(privRaw), b64(peerPubB64));
}

std::pair<QString, QString> aesEnc(const QString &key, const QString &plaintext, const QString &ad,
                                   Crypto::RandomSource &random)
{
    return aesEncBytes(b64(key), plaintext, ad, random);
}

QString aesDec(const QString &key, const QString &iv, const QString &ct, const QString &ad)
{
    return aesDecBytes(b64(key), iv, ct, ad);
}

QByteArray toJson(const State &state)
{
    QByteArray out;
    out.reserve(512 + state.skipped.size() * 110);
    out.append('{');
    appendMember(out, "rk", state.rk);
    if (state.cks)
        appendMember(out, "cks", *state.cks);
    if (state.ckr)
        appendMember(out, "ckr", *state.ckr);
    appendMember(out, "dhPriv", state.dhPriv);
    appendMember(out, "dhPub", state.dhPub);
    if (state.peerDh)
        appendMember(out, "peerDh", *state.peerDh);
    appendMember(out, "ns", state.ns);
    appendMember(out, "nr", state.nr);
    appendMember(out, "pn", state.pn);
    out.append("\"skipped\":{");
    bool first = true;
    for (const SkippedKey &k : state.skipped) {
        if (!std::exchange(first, false))
            out.append(',');
        appendJsonString(out, k.key);
        out.append(':');
        appendJsonString(out, k.mk);
    }
    out.append("}}");
    return out;
}

std::optional<State> fromJson(QByteArrayView json)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(json.toByteArray(), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    return fromObject(doc.object(), MemberOrder(json).keysOf(QLatin1StringView("skipped")));
}

QJsonObject toJsonObject(const State &state)
{
    return QJsonDocument::fromJson(toJson(state)).object();
}

std::optional<State> fromJsonObject(const QJsonObject &o)
{
    return fromObject(o, {});
}

} // namespace E2E2
