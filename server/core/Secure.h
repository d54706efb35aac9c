#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// Small wrappers over OpenSSL's libcrypto.
namespace Secure {

QByteArray randomBytes(int count);
// 256 random bits as 64 lower-case hex digits: session tokens and ids that must not be guessed.
QString newToken();
// `bytes` random bytes as lower-case hex.
QString randomHex(int bytes);
QByteArray sha256(QByteArrayView data);
QByteArray md5(QByteArrayView data);
QString md5Hex(QByteArrayView data);
QByteArray hmacSha256(QByteArrayView key, QByteArrayView data);
// Constant-time equality for secrets (tokens, signatures, codes).
bool equal(QByteArrayView a, QByteArrayView b);
QByteArray base64Url(QByteArrayView data);

// Incremental MD5 for bodies that arrive in pieces.
class Md5 {
public:
    Md5();
    ~Md5();
    Md5(const Md5 &) = delete;
    Md5 &operator=(const Md5 &) = delete;
    void add(QByteArrayView data);
    QString hex();

private:
    struct Ctx;
    Ctx *m_ctx;
};

} // namespace Secure
