#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <memory>
#include <optional>

class QSettings;

// The per-user preferences store as the encryption code sees it: texts (keys, ids, pins) and
// byte values (sessions, the plaintext cache) under "mirelo_" keys. Used from one thread.
class PrefsStore {
public:
    virtual ~PrefsStore() = default;

    virtual std::optional<QString> text(const QString &key) const = 0;
    virtual std::optional<QByteArray> bytes(const QString &key) const = 0;
    virtual void setText(const QString &key, const QString &value) = 0;
    virtual void setBytes(const QString &key, const QByteArray &value) = 0;
    virtual void remove(const QString &key) = 0;
    virtual QStringList keys() const = 0;

    void removeWithPrefix(const QString &prefix);
};

// The app's store: QSettings (the user's owner-only preferences, or a given scope in tests).
// Every change is written through at once, keeping the file readable by the user only; secrets
// (private key, sessions, plaintext cache) are sealed by the Vault.
class SettingsStore : public PrefsStore {
public:
    SettingsStore();   // the user's preferences
    explicit SettingsStore(std::unique_ptr<QSettings> settings);
    ~SettingsStore() override;

    std::optional<QString> text(const QString &key) const override;
    std::optional<QByteArray> bytes(const QString &key) const override;
    void setText(const QString &key, const QString &value) override;
    void setBytes(const QString &key, const QByteArray &value) override;
    void remove(const QString &key) override;
    QStringList keys() const override;

private:
    void commit();

    std::unique_ptr<QSettings> m_settings;
};

// A store held in memory (the interop tool, tests).
class MemoryStore : public PrefsStore {
public:
    std::optional<QString> text(const QString &key) const override;
    std::optional<QByteArray> bytes(const QString &key) const override;
    void setText(const QString &key, const QString &value) override;
    void setBytes(const QString &key, const QByteArray &value) override;
    void remove(const QString &key) override;
    QStringList keys() const override;

private:
    QHash<QString, QVariant> m_values;
};
