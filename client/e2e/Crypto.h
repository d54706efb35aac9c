#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <memory>
#include <optional>

// Thin wrappers over OpenSSL 3 (libcrypto) for the secret-chat formats. Raw bytes in and out;
// nothing here logs or reports key material.
namespace Crypto {

// Source of randomness for keys and nonces; tests inject a deterministic one.
class RandomSource {
public:
    virtual ~RandomSource() = default;
    virtual QByteArray bytes(qsizetype n) = 0;
};

// OpenSSL's CSPRNG.
RandomSource &systemRandom();

// Standard base64 with padding. Anything that is not strict base64 decodes to zero bytes.
QString toBase64(QByteArrayView bytes);
QByteArray fromBase64(QStringView text);

QByteArray sha256(QByteArrayView data);
QByteArray hmacSha256(QByteArrayView key, QByteArrayView message);
QByteArray hkdfSha256(QByteArrayView ikm, QByteArrayView salt, QByteArrayView info, qsizetype length);

constexpr qsizetype kGcmNonceSize = 12;
constexpr qsizetype kGcmTagSize = 16;

// AES-256-GCM: ciphertext with the 16-byte tag appended. Key 32 bytes, nonce 12 bytes.
QByteArray aesGcmSeal(QByteArrayView key, QByteArrayView nonce, QByteArrayView plaintext, QByteArrayView ad);
// None when the key or nonce has the wrong size, the input is shorter than a tag, or the tag fails.
std::optional<QByteArray> aesGcmOpen(QByteArrayView key, QByteArrayView nonce, QByteArrayView sealed,
                                     QByteArrayView ad);

// P-256 key agreement. Private keys are the raw 32-byte big-endian scalar, public keys the
// 65-byte uncompressed X9.63 point.
struct KeyPair {
    QByteArray priv;
    QByteArray pub;
};

// A fresh compact-representable pair: y is the smaller of y and p - y (else d becomes n - d).
KeyPair generateP256(RandomSource &random);
// The public point of a valid private scalar (as stored, not re-normalised); none when invalid.
std::optional<QByteArray> publicKeyOf(QByteArrayView priv);
bool isValidPrivateKey(QByteArrayView priv);
bool isValidPublicKey(QByteArrayView pub);
// A decoded public point, for using one peer key in several agreements.
class PublicKey {
public:
    // None unless 65 bytes, uncompressed and on the curve.
    static std::optional<PublicKey> fromX963(QByteArrayView pub);
    PublicKey(PublicKey &&) noexcept;
    PublicKey &operator=(PublicKey &&) noexcept;
    ~PublicKey();

private:
    struct Key;
    explicit PublicKey(std::unique_ptr<Key> key);
    std::unique_ptr<Key> m_key;
    friend std::optional<QByteArray> ecdh(QByteArrayView priv, const PublicKey &peer);
};

// The 32-byte shared X coordinate; none when either key does not decode.
std::optional<QByteArray> ecdh(QByteArrayView priv, QByteArrayView peerPub);
std::optional<QByteArray> ecdh(QByteArrayView priv, const PublicKey &peer);

// Ids in ascending code-point order joined by ':' (both sides of a pair compute the same text).
QString sortedPair(const QString &a, const QString &b);
// Code-point order of two texts (UTF-8 byte order is code-point order).
bool codePointLess(const QString &a, const QString &b);

} // namespace Crypto
