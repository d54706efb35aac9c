#include "core/Secure.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <stdexcept>

namespace Secure {

QByteArray randomBytes(int count)
{
    QByteArray out(count, Qt::Uninitialized);
    if (count > 0 && RAND_bytes(reinterpret_cast<unsigned char *>(out.data()), count) != 1)
        throw std::runtime_error("RAND_bytes failed");
    return out;
}

QString newToken() { return randomHex(32); }

QString randomHex(int bytes) { return QString::fromLatin1(randomBytes(bytes).toHex()); }

static QByteArray digest(const EVP_MD *md, QByteArrayView data)
{
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(data.data(), static_cast<size_t>(data.size()), out, &len, md, nullptr) != 1)
        throw std::runtime_error("EVP_Digest failed");
    return QByteArray(reinterpret_cast<const char *>(out), static_cast<int>(len));
}

QByteArray sha256(QByteArrayView data) { return digest(EVP_sha256(), data); }
QByteArray md5(QByteArrayView data) { return digest(EVP_md5(), data); }
QString md5Hex(QByteArrayView data) { return QString::fromLatin1(md5(data).toHex()); }

QByteArray hmacSha256(QByteArrayView key, QByteArrayView data)
{
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char *>(data.data()),
              static_cast<size_t>(data.size()), out, &len))
        throw std::runtime_error("HMAC failed");
    return QByteArray(reinterpret_cast<const char *>(out), static_cast<int>(len));
}

bool equal(QByteArrayView a, QByteArrayView b)
{
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), static_cast<size_t>(a.size())) == 0;
}

QByteArray base64Url(QByteArrayView data)
{
    return data.toByteArray().toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

struct Md5::Ctx {
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
};

Md5::Md5() : m_ctx(new Ctx)
{
    if (!m_ctx->ctx || EVP_DigestInit_ex(m_ctx->ctx, EVP_md5(), nullptr) != 1)
        throw std::runtime_error("MD5 init failed");
}

Md5::~Md5()
{
    EVP_MD_CTX_free(m_ctx->ctx);
    delete m_ctx;
}

void Md5::add(QByteArrayView data)
{
    EVP_DigestUpdate(m_ctx->ctx, data.data(), static_cast<size_t>(data.size()));
}

QString Md5::hex()
{
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_DigestFinal_ex(m_ctx->ctx, out, &len);
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(out), static_cast<int>(len)).toHex());
}

} // namespace Secure
