#include "accounts/Passwords.h"

#include "core/Secure.h"

#include <QStringList>
#include <openssl/evp.h>

#include <stdexcept>

namespace Passwords {

namespace {
constexpr int kSaltBytes = 16;
constexpr int kHashBytes = 32;

QByteArray derive(const QByteArray &secret, const QByteArray &salt, int iterations)
{
    QByteArray out(kHashBytes, Qt::Uninitialized);
    if (PKCS5_PBKDF2_HMAC(secret.constData(), static_cast<int>(secret.size()), reinterpret_cast<const unsigned char *>(salt.constData()),
                          static_cast<int>(salt.size()), iterations, EVP_sha256(), kHashBytes,
                          reinterpret_cast<unsigned char *>(out.data()))
        != 1)
        throw std::runtime_error("PBKDF2 failed");
    return out;
}
} // namespace

QString hash(const QString &secret, int iterations)
{
    const QByteArray salt = Secure::randomBytes(kSaltBytes);
    const QByteArray derived = derive(secret.toUtf8(), salt, iterations);
    return QStringLiteral("pbkdf2-sha256$%1$%2$%3")
        .arg(iterations)
        .arg(QString::fromLatin1(salt.toBase64()), QString::fromLatin1(derived.toBase64()));
}

bool verify(const QString &secret, const QString &stored)
{
    const QStringList fields = stored.split(QLatin1Char('$'));
    if (fields.size() != 4 || fields[0] != QLatin1String("pbkdf2-sha256"))
        return false;
    bool ok = false;
    const int iterations = fields[1].toInt(&ok);
    if (!ok || iterations < 1 || iterations > 100000000)
        return false;
    const QByteArray salt = QByteArray::fromBase64(fields[2].toLatin1());
    const QByteArray expected = QByteArray::fromBase64(fields[3].toLatin1());
    return Secure::equal(derive(secret.toUtf8(), salt, iterations), expected);
}

bool isMd5Hex(const QString &text)
{
    if (text.size() != 32)
        return false;
    for (QChar c : text)
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9')) || (c >= QLatin1Char('a') && c <= QLatin1Char('f'))))
            return false;
    return true;
}

} // namespace Passwords
