#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>
#include <optional>
#include <qcoro/qcorotask.h>

class QSettings;
class SecretBackend;

// Secrets in the preferences store (the session tokens, the device private key, the ratchet
// sessions and the plaintext cache of secret messages) are kept sealed with AES-256-GCM under a
// storage key that lives outside the store: in the desktop keyring, or, when no keyring runs, in
// an owner-only file of the profile. The ratchet sessions change with every message, so only the
// key goes to the keyring and the sealed values stay synchronous and local.
//
// Until the vault is opened (tests, tools) secrets are stored as they are.
class Vault {
public:
    enum class State {
        Unopened,     // not opened in this process: secrets read and written as they are
        Open,         // the storage key is known: secrets are sealed
        Locked,       // sealed secrets exist but their key cannot be read now: they read as absent
        Unavailable,  // no key could be stored anywhere: secrets stay as they are
    };
    enum class Holder { None, Keyring, File };

    static Vault &shared();

    // Preference keys whose values are sealed.
    static bool isSecretKey(const QString &key);
    // The per-profile item name of the storage key, in the keyring and as the fallback file name.
    static QString itemName();
    // The preference that records where the storage key lives ("keyring" or "file").
    static const QString kHolderKey;

    // Finds the storage key where the preferences say it lives, or creates one (keyring first,
    // then the file), then seals every secret still stored in clear text. A secret is only
    // rewritten once its key is stored durably.
    QCoro::Task<State> open(SecretBackend &keyring, SecretBackend &file);

    State state() const { return m_state; }
    Holder holder() const { return m_holder; }

    // A stored preference value with sealing undone: none when absent, or sealed and not openable.
    std::optional<QVariant> read(const QSettings &settings, const QString &key) const;
    // Stores `value`, sealed when the key is secret and the vault is open. Dropped while locked,
    // so an unreadable sealed secret is never replaced behind the user's back.
    void write(QSettings &settings, const QString &key, const QVariant &value) const;

    // Back to Unopened (tests).
    void reset();

    static bool isSealed(const QVariant &stored);

private:
    QCoro::Task<std::optional<QByteArray>> findKey(SecretBackend &backend, bool *failed);
    void migrate(QSettings &settings) const;
    QString seal(const QString &key, const QByteArray &plain) const;
    std::optional<QByteArray> unseal(const QString &key, const QString &sealed) const;

    State m_state = State::Unopened;
    Holder m_holder = Holder::None;
    QByteArray m_key;
};
