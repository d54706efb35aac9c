#include "e2e/Crypto.h"

#include "base/Error.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/obj_mac.h>
#include <openssl/rand.h>

#include <memory>

namespace Crypto {

namespace {

constexpr qsizetype kScalarSize = 32;
constexpr qsizetype kPointSize = 65;

// Rejected input leaves entries on OpenSSL's per-thread error queue; drop them so they never
// surface in an unrelated later call on the same thread.
template <typename T>
T rejected(T value)
{
    ERR_clear_error();
    return value;
}

[[noreturn]] void fail(const char *what)
{
    ERR_clear_error();
    // Only the operation's name: never inputs, which may be key material.
    throw Error(QStringLiteral("E2E"), -1, QStringLiteral("crypto failure: %1").arg(QLatin1StringView(what)));
}

template <auto Free>
struct Deleter {
    template <typename T>
    void operator()(T *p) const { Free(p); }
};
using PKey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using PKeyCtx = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX_free>>;
using MacCtx = std::unique_ptr<EVP_MAC_CTX, Deleter<EVP_MAC_CTX_free>>;
using KdfCtx = std::unique_ptr<EVP_KDF_CTX, Deleter<EVP_KDF_CTX_free>>;
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, Deleter<EVP_CIPHER_CTX_free>>;
using Bn = std::unique_ptr<BIGNUM, Deleter<BN_clear_free>>;
using BnCtx = std::unique_ptr<BN_CTX, Deleter<BN_CTX_free>>;
using Point = std::unique_ptr<EC_POINT, Deleter<EC_POINT_free>>;

const unsigned char *u8(QByteArrayView v)
{
    return reinterpret_cast<const unsigned char *>(v.data());
}

// Fetched once: fetching per call costs more than the primitive itself on short inputs.
struct Algorithms {
    EVP_MAC *hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    EVP_MAC_CTX *hmacSha256 = nullptr;   // digest chosen once; copies only take a key
    EVP_KDF *hkdf = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
    EVP_CIPHER *gcm = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
    EVP_PKEY *p256Params = nullptr;   // group parameters only; public keys are set on copies
    EC_GROUP *group = EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1);
    BIGNUM *p = BN_new();

    Algorithms()
    {
        PKeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
        OSSL_PARAM params[] = {
            OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, const_cast<char *>("prime256v1"), 0),
            OSSL_PARAM_construct_end()};
        if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1
            || EVP_PKEY_fromdata(ctx.get(), &p256Params, EVP_PKEY_KEY_PARAMETERS, params) != 1)
            p256Params = nullptr;
        OSSL_PARAM macParams[] = {
            OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, const_cast<char *>("SHA256"), 0),
            OSSL_PARAM_construct_end()};
        if (hmac && (hmacSha256 = EVP_MAC_CTX_new(hmac)) && EVP_MAC_CTX_set_params(hmacSha256, macParams) != 1) {
            EVP_MAC_CTX_free(hmacSha256);
            hmacSha256 = nullptr;
        }
        if (group && p && EC_GROUP_get_curve(group, p, nullptr, nullptr, nullptr) != 1)
            BN_free(std::exchange(p, nullptr));
    }

    static const Algorithms &get()
    {
        static const Algorithms *a = new Algorithms;   // process lifetime
        return *a;
    }
};

// OpenSSL's DRBG, drawn in blocks: every RAND_bytes call costs a system call (its fork check),
// which would otherwise dominate a message's nonce. Bytes are wiped from the block once handed
// out. The client never forks a child that goes on running this code.
class SystemRandom final : public RandomSource {
public:
    QByteArray bytes(qsizetype n) override
    {
        QByteArray out(n, Qt::Uninitialized);
        auto *o = reinterpret_cast<unsigned char *>(out.data());
        if (n > kBlock) {
            if (RAND_bytes(o, int(n)) != 1)
                fail("random");
            return out;
        }
        thread_local Block block;
        if (block.used + n > kBlock) {
            if (RAND_bytes(block.data, kBlock) != 1)
                fail("random");
            block.used = 0;
        }
        memcpy(o, block.data + block.used, size_t(n));
        OPENSSL_cleanse(block.data + block.used, size_t(n));
        block.used += int(n);
        return out;
    }

private:
    static constexpr int kBlock = 1024;
    struct Block {
        unsigned char data[kBlock];
        int used = kBlock;
        ~Block() { OPENSSL_cleanse(data, sizeof data); }
    };
};

// The scalar when it is 32 bytes and 1 <= d < n.
Bn scalarOf(QByteArrayView priv)
{
    if (priv.size() != kScalarSize)
        return nullptr;
    Bn d(BN_secure_new());
    if (!d || !BN_bin2bn(u8(priv), int(priv.size()), d.get()))
        return nullptr;
    const BIGNUM *order = EC_GROUP_get0_order(Algorithms::get().group);
    if (BN_is_zero(d.get()) || !order || BN_cmp(d.get(), order) >= 0)
        return nullptr;
    return d;
}

PKey importPrivate(QByteArrayView priv)
{
    Bn d = scalarOf(priv);
    if (!d)
        return nullptr;
    // OSSL_PARAM integers are native-endian.
    unsigned char native[kScalarSize];
    if (BN_bn2nativepad(d.get(), native, sizeof native) != int(sizeof native))
        return nullptr;
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, const_cast<char *>("prime256v1"), 0),
        OSSL_PARAM_construct_BN(OSSL_PKEY_PARAM_PRIV_KEY, native, sizeof native),
        OSSL_PARAM_construct_end()};
    PKeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY *key = nullptr;
    const bool ok = ctx && EVP_PKEY_fromdata_init(ctx.get()) == 1
        && EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_KEYPAIR, params) == 1;
    OPENSSL_cleanse(native, sizeof native);
    return ok ? PKey(key) : rejected(PKey());
}

// Setting the point checks that it lies on the curve.
PKey importPublic(QByteArrayView pub)
{
    if (pub.size() != kPointSize || pub[0] != 0x04)
        return nullptr;
    const EVP_PKEY *params = Algorithms::get().p256Params;
    if (!params)
        fail("p256");
    PKey key(EVP_PKEY_dup(const_cast<EVP_PKEY *>(params)));
    if (!key || EVP_PKEY_set_octet_string_param(key.get(), OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, u8(pub), size_t(pub.size())) != 1)
        return rejected(PKey());
    return key;
}

QByteArray bnBytes(const BIGNUM *bn, qsizetype size)
{
    QByteArray out(size, Qt::Uninitialized);
    if (BN_bn2binpad(bn, reinterpret_cast<unsigned char *>(out.data()), int(size)) != int(size))
        fail("bignum");
    return out;
}

} // namespace

RandomSource &systemRandom()
{
    static SystemRandom *r = new SystemRandom;
    return *r;
}

QString toBase64(QByteArrayView bytes)
{
    if (bytes.isEmpty())
        return {};
    QByteArray out((bytes.size() + 2) / 3 * 4 + 1, Qt::Uninitialized);
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()), u8(bytes), int(bytes.size()));
    return QString::fromLatin1(out.constData(), n);
}

QByteArray fromBase64(QStringView text)
{
    const qsizetype n = text.size();
    if (n == 0)
        return {};
    // Fast path for the usual padded text; EVP_DecodeBlock itself would take '=' anywhere, so the
    // alphabet and the padding are checked here first.
    if (n % 4 == 0 && n < (qsizetype(1) << 30)) {
        const qsizetype pad = text[n - 1] == u'=' ? (text[n - 2] == u'=' ? 2 : 1) : 0;
        QByteArray ascii(n, Qt::Uninitialized);
        bool valid = true;
        for (qsizetype i = 0; i < n && valid; ++i) {
            const char16_t c = text[i].unicode();
            valid = (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') || c == u'+'
                || c == u'/' || (c == u'=' && i >= n - pad);
            ascii[i] = char(c);
        }
        if (valid) {
            QByteArray out(n / 4 * 3, Qt::Uninitialized);
            if (EVP_DecodeBlock(reinterpret_cast<unsigned char *>(out.data()), u8(ascii), int(n)) == out.size()) {
                out.chop(pad);
                return out;
            }
        }
    }
    // Everything else (unpadded text included) is judged by Qt's strict decoder.
    auto result = QByteArray::fromBase64Encoding(text.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    return result ? std::move(result.decoded) : QByteArray();
}

QByteArray sha256(QByteArrayView data)
{
    QByteArray out(32, Qt::Uninitialized);
    unsigned int len = 0;
    if (EVP_Digest(data.data(), size_t(data.size()), reinterpret_cast<unsigned char *>(out.data()), &len,
                   EVP_sha256(), nullptr) != 1 || len != 32)
        fail("sha256");
    return out;
}

QByteArray hmacSha256(QByteArrayView key, QByteArrayView message)
{
    const Algorithms &alg = Algorithms::get();
    MacCtx ctx(alg.hmacSha256 ? EVP_MAC_CTX_dup(alg.hmacSha256) : nullptr);
    // A zero-length key is valid HMAC input (an absent chain key); the pointer must not be null.
    static const unsigned char empty = 0;
    const unsigned char *k = key.isEmpty() ? &empty : u8(key);
    QByteArray out(32, Qt::Uninitialized);
    size_t len = 0;
    if (!ctx || EVP_MAC_init(ctx.get(), k, size_t(key.size()), nullptr) != 1
        || EVP_MAC_update(ctx.get(), u8(message), size_t(message.size())) != 1
        || EVP_MAC_final(ctx.get(), reinterpret_cast<unsigned char *>(out.data()), &len, size_t(out.size())) != 1
        || len != 32)
        fail("hmac");
    return out;
}

QByteArray hkdfSha256(QByteArrayView ikm, QByteArrayView salt, QByteArrayView info, qsizetype length)
{
    const Algorithms &alg = Algorithms::get();
    KdfCtx ctx(alg.hkdf ? EVP_KDF_CTX_new(alg.hkdf) : nullptr);
    OSSL_PARAM params[5];
    int i = 0;
    params[i++] = OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, const_cast<char *>("SHA256"), 0);
    params[i++] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<char *>(ikm.data()), size_t(ikm.size()));
    // An empty salt is the same as no salt (HMAC pads keys with zeros).
    if (!salt.isEmpty())
        params[i++] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<char *>(salt.data()), size_t(salt.size()));
    params[i++] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, const_cast<char *>(info.data()), size_t(info.size()));
    params[i] = OSSL_PARAM_construct_end();
    QByteArray out(length, Qt::Uninitialized);
    if (!ctx || ikm.isEmpty()
        || EVP_KDF_derive(ctx.get(), reinterpret_cast<unsigned char *>(out.data()), size_t(length), params) != 1)
        fail("hkdf");
    return out;
}

QByteArray aesGcmSeal(QByteArrayView key, QByteArrayView nonce, QByteArrayView plaintext, QByteArrayView ad)
{
    const Algorithms &alg = Algorithms::get();
    if (key.size() != 32 || nonce.size() != kGcmNonceSize)
        fail("aes-gcm key or nonce size");
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    QByteArray out(plaintext.size() + kGcmTagSize, Qt::Uninitialized);
    auto *o = reinterpret_cast<unsigned char *>(out.data());
    int len = 0;
    int total = 0;
    if (!ctx || !alg.gcm || EVP_EncryptInit_ex2(ctx.get(), alg.gcm, u8(key), u8(nonce), nullptr) != 1
        || (!ad.isEmpty() && EVP_EncryptUpdate(ctx.get(), nullptr, &len, u8(ad), int(ad.size())) != 1)
        || EVP_EncryptUpdate(ctx.get(), o, &len, u8(plaintext), int(plaintext.size())) != 1)
        fail("aes-gcm seal");
    total = len;
    if (EVP_EncryptFinal_ex(ctx.get(), o + total, &len) != 1)
        fail("aes-gcm seal");
    total += len;
    if (total != plaintext.size()
        || EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, int(kGcmTagSize), o + total) != 1)
        fail("aes-gcm tag");
    return out;
}

std::optional<QByteArray> aesGcmOpen(QByteArrayView key, QByteArrayView nonce, QByteArrayView sealed, QByteArrayView ad)
{
    const Algorithms &alg = Algorithms::get();
    if (key.size() != 32 || nonce.size() != kGcmNonceSize || sealed.size() < kGcmTagSize)
        return std::nullopt;
    const qsizetype ctLen = sealed.size() - kGcmTagSize;
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    QByteArray out(ctLen, Qt::Uninitialized);
    auto *o = reinterpret_cast<unsigned char *>(out.data());
    unsigned char tag[kGcmTagSize];
    memcpy(tag, sealed.data() + ctLen, kGcmTagSize);
    int len = 0;
    if (!ctx || !alg.gcm || EVP_DecryptInit_ex2(ctx.get(), alg.gcm, u8(key), u8(nonce), nullptr) != 1
        || (!ad.isEmpty() && EVP_DecryptUpdate(ctx.get(), nullptr, &len, u8(ad), int(ad.size())) != 1)
        || EVP_DecryptUpdate(ctx.get(), o, &len, u8(sealed), int(ctLen)) != 1
        || EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, int(kGcmTagSize), tag) != 1)
        return rejected(std::optional<QByteArray>());
    int fin = 0;
    if (EVP_DecryptFinal_ex(ctx.get(), o + len, &fin) != 1 || len + fin != ctLen)
        return rejected(std::optional<QByteArray>());
    return out;
}

KeyPair generateP256(RandomSource &random)
{
    const Algorithms &alg = Algorithms::get();
    if (!alg.group || !alg.p)
        fail("p256");
    const BIGNUM *order = EC_GROUP_get0_order(alg.group);
    BnCtx bctx(BN_CTX_secure_new());
    Point q(EC_POINT_new(alg.group));
    Bn x(BN_new());
    Bn y(BN_new());
    if (!bctx || !q || !x || !y || !order)
        fail("p256 keygen");
    // Rejection sampling keeps the scalar uniform in [1, n).
    for (int attempt = 0; attempt < 64; ++attempt) {
        QByteArray raw = random.bytes(kScalarSize);
        if (raw.size() != kScalarSize)
            fail("random");
        Bn d = scalarOf(raw);
        OPENSSL_cleanse(raw.data(), size_t(raw.size()));
        if (!d)
            continue;
        if (EC_POINT_mul(alg.group, q.get(), d.get(), nullptr, nullptr, bctx.get()) != 1
            || EC_POINT_get_affine_coordinates(alg.group, q.get(), x.get(), y.get(), bctx.get()) != 1)
            fail("p256 keygen");
        // Compact representation: keep the point whose y is the smaller of y and p - y.
        Bn negY(BN_new());
        if (!negY || BN_sub(negY.get(), alg.p, y.get()) != 1)
            fail("p256 keygen");
        if (BN_cmp(y.get(), negY.get()) > 0) {
            if (BN_sub(d.get(), order, d.get()) != 1)
                fail("p256 keygen");
            y = std::move(negY);
        }
        KeyPair pair;
        pair.priv = bnBytes(d.get(), kScalarSize);
        pair.pub.reserve(kPointSize);
        pair.pub.append('\x04').append(bnBytes(x.get(), 32)).append(bnBytes(y.get(), 32));
        return pair;
    }
    fail("p256 keygen");
}

std::optional<QByteArray> publicKeyOf(QByteArrayView priv)
{
    const Algorithms &alg = Algorithms::get();
    Bn d = scalarOf(priv);
    if (!d)
        return std::nullopt;
    BnCtx bctx(BN_CTX_secure_new());
    Point q(EC_POINT_new(alg.group));
    QByteArray out(kPointSize, Qt::Uninitialized);
    if (!bctx || !q || EC_POINT_mul(alg.group, q.get(), d.get(), nullptr, nullptr, bctx.get()) != 1
        || EC_POINT_point2oct(alg.group, q.get(), POINT_CONVERSION_UNCOMPRESSED,
                              reinterpret_cast<unsigned char *>(out.data()), size_t(out.size()), bctx.get())
            != size_t(kPointSize))
        return std::nullopt;
    return out;
}

bool isValidPrivateKey(QByteArrayView priv)
{
    return scalarOf(priv) != nullptr;
}

bool isValidPublicKey(QByteArrayView pub)
{
    return importPublic(pub) != nullptr;
}

struct PublicKey::Key : PKey {
    using PKey::PKey;
};

PublicKey::PublicKey(std::unique_ptr<Key> key) : m_key(std::move(key)) {}
PublicKey::PublicKey(PublicKey &&) noexcept = default;
PublicKey &PublicKey::operator=(PublicKey &&) noexcept = default;
PublicKey::~PublicKey() = default;

std::optional<PublicKey> PublicKey::fromX963(QByteArrayView pub)
{
    PKey key = importPublic(pub);
    if (!key)
        return std::nullopt;
    return PublicKey(std::make_unique<Key>(key.release()));
}

std::optional<QByteArray> ecdh(QByteArrayView priv, const PublicKey &peer)
{
    PKey mine = importPrivate(priv);
    if (!mine)
        return std::nullopt;
    PKeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, mine.get(), nullptr));
    QByteArray out(32, Qt::Uninitialized);
    size_t len = size_t(out.size());
    // The peer point was checked when it was set; validating again would cost a second multiplication.
    if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1
        || EVP_PKEY_derive_set_peer_ex(ctx.get(), peer.m_key->get(), 0) != 1
        || EVP_PKEY_derive(ctx.get(), reinterpret_cast<unsigned char *>(out.data()), &len) != 1 || len != 32)
        return rejected(std::optional<QByteArray>());
    return out;
}

std::optional<QByteArray> ecdh(QByteArrayView priv, QByteArrayView peerPub)
{
    std::optional<PublicKey> peer = PublicKey::fromX963(peerPub);
    if (!peer)
        return std::nullopt;
    return ecdh(priv, *peer);
}

bool codePointLess(const QString &a, const QString &b)
{
    return a.toUtf8() < b.toUtf8();
}

QString sortedPair(const QString &a, const QString &b)
{
    return codePointLess(b, a) ? b + u':' + a : a + u':' + b;
}

} // namespace Crypto
