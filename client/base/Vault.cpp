#include "base/Vault.h"

#include "base/Preferences.h"
#include "base/Profile.h"
#include "base/SecretBackend.h"

#include <QLoggingCategory>
#include <QSettings>
#include <openssl/evp.h>
#include <openssl/rand.h>

namespace {

Q_LOGGING_CATEGORY(lcVault, "sarvo.vault")

constexpr qsizetype kKeySize = 32;
constexpr qsizetype kNonceSize = 12;
constexpr qsizetype kTagSize = 16;
const QString kSealedPrefix = QStringLiteral("sealed1:");

using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

std::optional<QByteArray> gcm(bool encrypt, const QByteArray &key, const QByteArray &nonce, const QByteArray &input,
                              const QByteArray &ad, QByteArray *tag)
{
    CipherCtx ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    if (!ctx)
        return std::nullopt;
    const auto *k = reinterpret_cast<const unsigned char *>(key.constData());
    const auto *iv = reinterpret_cast<const unsigned char *>(nonce.constData());
    if (EVP_CipherInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, k, iv, encrypt ? 1 : 0) != 1)
        return std::nullopt;
    int len = 0;
    if (EVP_CipherUpdate(ctx.get(), nullptr, &len, reinterpret_cast<const unsigned char *>(ad.constData()),
                         static_cast<int>(ad.size())) != 1)
        return std::nullopt;
    QByteArray out(input.size() + kTagSize, Qt::Uninitialized);
    auto *o = reinterpret_cast<unsigned char *>(out.data());
    if (EVP_CipherUpdate(ctx.get(), o, &len, reinterpret_cast<const unsigned char *>(input.constData()),
                         static_cast<int>(input.size())) != 1)
        return std::nullopt;
    int total = len;
    if (!encrypt && EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kTagSize, tag->data()) != 1)
        return std::nullopt;
    if (EVP_CipherFinal_ex(ctx.get(), o + total, &len) != 1)
        return std::nullopt;
    total += len;
    if (encrypt && EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kTagSize, tag->data()) != 1)
        return std::nullopt;
    out.truncate(total);
    return out;
}

QByteArray randomBytes(qsizetype n)
{
    QByteArray out(n, Qt::Uninitialized);
    if (RAND_bytes(reinterpret_cast<unsigned char *>(out.data()), static_cast<int>(n)) != 1)
        return {};
    return out;
}

QString holderName(Vault::Holder holder)
{
    switch (holder) {
    case Vault::Holder::Keyring:
        return QStringLiteral("keyring");
    case Vault::Holder::File:
        return QStringLiteral("file");
    case Vault::Holder::None:
        break;
    }
    return {};
}

Vault::Holder holderFrom(const QString &name)
{
    if (name == QLatin1String("keyring"))
        return Vault::Holder::Keyring;
    if (name == QLatin1String("file"))
        return Vault::Holder::File;
    return Vault::Holder::None;
}

} // namespace

const QString Vault::kHolderKey = QStringLiteral("mirelo_vault");

Vault &Vault::shared()
{
    static Vault *const vault = new Vault;
    return *vault;
}

bool Vault::isSecretKey(const QString &key)
{
    // The public key is not secret, but it goes with the private one: a locked vault must never
    // store a new public key next to an old private key it could not read.
    return key == QLatin1String("mirelo_session") || key == QLatin1String("mirelo_e2e_priv")
        || key == QLatin1String("mirelo_e2e_pub") || key == QLatin1String("mirelo_e2e2_pt")
        || key.startsWith(QLatin1String("mirelo_e2e2_sess:"));
}

QString Vault::itemName()
{
    const QString profile = Profile::current();
    return QStringLiteral("storage-key-%1").arg(profile.isEmpty() ? QStringLiteral("default") : profile);
}

bool Vault::isSealed(const QVariant &stored)
{
    return stored.typeId() == QMetaType::QString && stored.toString().startsWith(kSealedPrefix);
}

QCoro::Task<std::optional<QByteArray>> Vault::findKey(SecretBackend &backend, bool *failed)
{
    const SecretBackend::Read found = co_await backend.read(itemName());
    if (found.status == SecretBackend::Status::Failed)
        *failed = true;
    if (found.status == SecretBackend::Status::Found) {
        const QByteArray key = QByteArray::fromBase64(found.value.trimmed());
        if (key.size() == kKeySize)
            co_return key;
        qCWarning(lcVault) << "stored storage key has the wrong size";
    }
    co_return std::nullopt;
}

QCoro::Task<Vault::State> Vault::open(SecretBackend &keyring, SecretBackend &file)
{
    Holder holder = holderFrom(Preferences::open()->value(kHolderKey).toString());
    bool hasSealed = false;
    {
        auto settings = Preferences::open();
        for (const QString &key : settings->allKeys())
            hasSealed = hasSealed || (isSecretKey(key) && isSealed(settings->value(key)));
    }

    std::optional<QByteArray> key;
    bool keyringFailed = false;
    bool fileFailed = false;
    if (holder != Holder::File) {
        key = co_await findKey(keyring, &keyringFailed);
        if (key)
            holder = Holder::Keyring;
    }
    if (!key && holder != Holder::Keyring) {
        key = co_await findKey(file, &fileFailed);
        if (key)
            holder = Holder::File;
    }

    if (!key && hasSealed) {
        // The secrets were sealed under a key we cannot reach now (keyring locked or gone): keep
        // them untouched for a later start rather than starting over.
        qCWarning(lcVault) << "storage key unavailable; stored secrets stay sealed";
        m_state = State::Locked;
        m_holder = holder;
        co_return m_state;
    }

    if (!key) {
        const QByteArray fresh = randomBytes(kKeySize);
        if (fresh.size() == kKeySize && !keyringFailed && co_await keyring.write(itemName(), fresh.toBase64())) {
            holder = Holder::Keyring;
            key = fresh;
        } else if (fresh.size() == kKeySize && !fileFailed && co_await file.write(itemName(), fresh.toBase64())) {
            holder = Holder::File;
            key = fresh;
        } else {
            qCWarning(lcVault) << "no place to keep the storage key; secrets stay in the preferences file";
            m_state = State::Unavailable;
            m_holder = Holder::None;
            co_return m_state;
        }
    }

    m_key = *key;
    m_holder = holder;
    m_state = State::Open;
    auto settings = Preferences::open();
    settings->setValue(kHolderKey, holderName(holder));
    migrate(*settings);
    Preferences::commit(*settings);
    co_return m_state;
}

void Vault::migrate(QSettings &settings) const
{
    for (const QString &key : settings.allKeys()) {
        if (!isSecretKey(key))
            continue;
        const QVariant stored = settings.value(key);
        if (!isSealed(stored))
            settings.setValue(key, seal(key, stored.toByteArray()));
    }
}

QString Vault::seal(const QString &key, const QByteArray &plain) const
{
    const QByteArray nonce = randomBytes(kNonceSize);
    QByteArray tag(kTagSize, Qt::Uninitialized);
    const std::optional<QByteArray> ct = gcm(true, m_key, nonce, plain, key.toUtf8(), &tag);
    if (nonce.size() != kNonceSize || !ct)
        return {};
    return kSealedPrefix + QString::fromLatin1((nonce + *ct + tag).toBase64());
}

std::optional<QByteArray> Vault::unseal(const QString &key, const QString &sealed) const
{
    const QByteArray raw = QByteArray::fromBase64(sealed.mid(kSealedPrefix.size()).toLatin1());
    if (raw.size() < kNonceSize + kTagSize)
        return std::nullopt;
    QByteArray tag = raw.right(kTagSize);
    return gcm(false, m_key, raw.left(kNonceSize), raw.mid(kNonceSize, raw.size() - kNonceSize - kTagSize),
               key.toUtf8(), &tag);
}

std::optional<QVariant> Vault::read(const QSettings &settings, const QString &key) const
{
    const QVariant stored = settings.value(key);
    if (!stored.isValid())
        return std::nullopt;
    if (!isSecretKey(key) || !isSealed(stored))
        return stored;
    if (m_state != State::Open)
        return std::nullopt;
    const std::optional<QByteArray> plain = unseal(key, stored.toString());
    if (!plain)
        return std::nullopt;
    return QVariant(*plain);
}

void Vault::write(QSettings &settings, const QString &key, const QVariant &value) const
{
    if (!isSecretKey(key)) {
        settings.setValue(key, value);
        return;
    }
    switch (m_state) {
    case State::Open:
        if (const QString sealed = seal(key, value.toByteArray()); !sealed.isEmpty())
            settings.setValue(key, sealed);
        return;
    case State::Locked:
        qCWarning(lcVault) << "vault locked; not storing" << key;
        return;
    case State::Unopened:
    case State::Unavailable:
        settings.setValue(key, value);
        return;
    }
}

void Vault::reset()
{
    m_state = State::Unopened;
    m_holder = Holder::None;
    m_key.clear();
}
