#include "tls/DevCa.h"

#include "core/Log.h"

#include <QDir>
#include <QFile>
#include <QSslCertificate>
#include <QSslKey>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <ctime>
#include <functional>
#include <memory>
#include <stdexcept>

namespace Tls {

namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Cert = std::unique_ptr<X509, decltype(&X509_free)>;
using Bio = std::unique_ptr<BIO, decltype(&BIO_free)>;

constexpr long kDay = 24 * 3600;

[[noreturn]] void fail(const char *what) { throw std::runtime_error(std::string("TLS setup: ") + what); }

Key newKey()
{
    Key key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    if (!key)
        fail("key generation failed");
    return key;
}

void addExtension(X509 *cert, X509 *issuer, int nid, const char *value)
{
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION *ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (!ext || !X509_add_ext(cert, ext, -1))
        fail("certificate extension");
    X509_EXTENSION_free(ext);
}

Cert makeCert(EVP_PKEY *key, const char *commonName, X509 *issuer, EVP_PKEY *issuerKey, long days)
{
    Cert cert(X509_new(), X509_free);
    X509_set_version(cert.get(), 2);
    unsigned char serial[16];
    RAND_bytes(serial, sizeof serial);
    serial[0] &= 0x7f;
    BIGNUM *bn = BN_bin2bn(serial, sizeof serial, nullptr);
    BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get()));
    BN_free(bn);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -kDay);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), days * kDay);
    X509_set_pubkey(cert.get(), key);
    X509_NAME *name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char *>("Sarvo development"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>(commonName), -1, -1, 0);
    X509 *signer = issuer ? issuer : cert.get();
    X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
    if (!issuer) {
        addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE,pathlen:0");
        addExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
        addExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
    } else {
        addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
        addExtension(cert.get(), signer, NID_key_usage, "critical,digitalSignature");
        addExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
        addExtension(cert.get(), signer, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1,IP:::1");
        addExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
        addExtension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
    }
    if (!X509_sign(cert.get(), issuerKey ? issuerKey : key, EVP_sha256()))
        fail("signing failed");
    return cert;
}

void writePem(const QString &path, bool secret, const std::function<int(BIO *)> &write)
{
    Bio bio(BIO_new(BIO_s_mem()), BIO_free);
    if (!write(bio.get()))
        fail("PEM encoding failed");
    char *data = nullptr;
    const long len = BIO_get_mem_data(bio.get(), &data);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        fail("cannot write certificate files");
    if (secret)
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    file.write(data, len);
}

Key readKey(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Key(nullptr, EVP_PKEY_free);
    const QByteArray pem = file.readAll();
    Bio bio(BIO_new_mem_buf(pem.constData(), static_cast<int>(pem.size())), BIO_free);
    return Key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr), EVP_PKEY_free);
}

Cert readCert(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Cert(nullptr, X509_free);
    const QByteArray pem = file.readAll();
    Bio bio(BIO_new_mem_buf(pem.constData(), static_cast<int>(pem.size())), BIO_free);
    return Cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr), X509_free);
}

bool expiresWithin(X509 *cert, long days)
{
    time_t limit = time(nullptr) + days * kDay;
    return X509_cmp_time(X509_get0_notAfter(cert), &limit) <= 0;
}

} // namespace

Paths ensureDevCertificates(const QString &dir)
{
    if (!QDir().mkpath(dir))
        fail("cannot create the TLS directory");
    const QDir d(dir);
    Paths paths{d.filePath(QStringLiteral("ca.pem")), d.filePath(QStringLiteral("server.pem")), d.filePath(QStringLiteral("server.key"))};
    const QString caKeyPath = d.filePath(QStringLiteral("ca.key"));

    Key caKey = readKey(caKeyPath);
    Cert ca = readCert(paths.caCert);
    if (!caKey || !ca || expiresWithin(ca.get(), 30)) {
        caKey = newKey();
        ca = makeCert(caKey.get(), "Sarvo development CA", nullptr, nullptr, 3650);
        writePem(caKeyPath, true, [&](BIO *b) { return PEM_write_bio_PrivateKey(b, caKey.get(), nullptr, nullptr, 0, nullptr, nullptr); });
        writePem(paths.caCert, false, [&](BIO *b) { return PEM_write_bio_X509(b, ca.get()); });
        QFile::remove(paths.serverCert);
        Log::info("tls_ca_created", {{"path", paths.caCert}});
    }
    Cert leaf = readCert(paths.serverCert);
    Key leafKey = readKey(paths.serverKey);
    if (!leaf || !leafKey || expiresWithin(leaf.get(), 30) || X509_check_issued(ca.get(), leaf.get()) != X509_V_OK) {
        leafKey = newKey();
        leaf = makeCert(leafKey.get(), "localhost", ca.get(), caKey.get(), 397);
        writePem(paths.serverKey, true, [&](BIO *b) { return PEM_write_bio_PrivateKey(b, leafKey.get(), nullptr, nullptr, 0, nullptr, nullptr); });
        writePem(paths.serverCert, false, [&](BIO *b) { return PEM_write_bio_X509(b, leaf.get()) && PEM_write_bio_X509(b, ca.get()); });
        Log::info("tls_certificate_created", {{"path", paths.serverCert}});
    }
    return paths;
}

std::optional<QSslConfiguration> serverConfiguration(const QString &certPath, const QString &keyPath, QString *error)
{
    const QList<QSslCertificate> chain = QSslCertificate::fromPath(certPath, QSsl::Pem);
    if (chain.isEmpty()) {
        *error = QStringLiteral("no PEM certificate in %1").arg(certPath);
        return std::nullopt;
    }
    QFile keyFile(keyPath);
    if (!keyFile.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1").arg(keyPath);
        return std::nullopt;
    }
    const QByteArray pem = keyFile.readAll();
    QSslKey key(pem, QSsl::Ec, QSsl::Pem);
    if (key.isNull())
        key = QSslKey(pem, QSsl::Rsa, QSsl::Pem);
    if (key.isNull()) {
        *error = QStringLiteral("no usable private key in %1").arg(keyPath);
        return std::nullopt;
    }
    QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
    conf.setLocalCertificate(chain.first());
    conf.setLocalCertificateChain(chain);
    conf.setPrivateKey(key);
    conf.setProtocol(QSsl::TlsV1_2OrLater);
    conf.setPeerVerifyMode(QSslSocket::VerifyNone); // no client certificates
    return conf;
}

} // namespace Tls
