#include "e2e/PrefsStore.h"

#include "base/Preferences.h"
#include "base/Vault.h"

#include <QSettings>

void PrefsStore::removeWithPrefix(const QString &prefix)
{
    const QStringList all = keys();
    for (const QString &key : all) {
        if (key.startsWith(prefix))
            remove(key);
    }
}

SettingsStore::SettingsStore() : m_settings(Preferences::open()) {}

SettingsStore::SettingsStore(std::unique_ptr<QSettings> settings) : m_settings(std::move(settings)) {}

SettingsStore::~SettingsStore() = default;

std::optional<QString> SettingsStore::text(const QString &key) const
{
    const std::optional<QVariant> v = Vault::shared().read(*m_settings, key);
    if (!v)
        return std::nullopt;
    return v->toString();
}

std::optional<QByteArray> SettingsStore::bytes(const QString &key) const
{
    const std::optional<QVariant> v = Vault::shared().read(*m_settings, key);
    if (!v)
        return std::nullopt;
    return v->toByteArray();
}

void SettingsStore::commit()
{
    // The store holds the private key: never leave a write pending under other permissions.
    Preferences::commit(*m_settings);
}

void SettingsStore::setText(const QString &key, const QString &value)
{
    Vault::shared().write(*m_settings, key, value);
    commit();
}

void SettingsStore::setBytes(const QString &key, const QByteArray &value)
{
    Vault::shared().write(*m_settings, key, value);
    commit();
}

void SettingsStore::remove(const QString &key)
{
    m_settings->remove(key);
    commit();
}

QStringList SettingsStore::keys() const
{
    return m_settings->allKeys();
}

std::optional<QString> MemoryStore::text(const QString &key) const
{
    auto it = m_values.constFind(key);
    if (it == m_values.cend())
        return std::nullopt;
    return it->toString();
}

std::optional<QByteArray> MemoryStore::bytes(const QString &key) const
{
    auto it = m_values.constFind(key);
    if (it == m_values.cend())
        return std::nullopt;
    return it->toByteArray();
}

void MemoryStore::setText(const QString &key, const QString &value)
{
    m_values.insert(key, value);
}

void MemoryStore::setBytes(const QString &key, const QByteArray &value)
{
    m_values.insert(key, value);
}

void MemoryStore::remove(const QString &key)
{
    m_values.remove(key);
}

QStringList MemoryStore::keys() const
{
    return m_values.keys();
}
