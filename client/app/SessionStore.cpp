#include "app/SessionStore.h"

#include "base/Preferences.h"
#include "base/Vault.h"

namespace SessionStore {

void save(const Credentials &credentials)
{
    const QByteArray json = credentials.toJson();
    if (json.isEmpty())
        return;
    auto settings = Preferences::open();
    Vault::shared().write(*settings, QLatin1String(kKey), json);
    Preferences::commit(*settings);
}

std::optional<Credentials> load()
{
    auto settings = Preferences::open();
    const std::optional<QVariant> value = Vault::shared().read(*settings, QLatin1String(kKey));
    if (!value)
        return std::nullopt;
    return Credentials::fromJson(value->toByteArray());
}

void remove()
{
    auto settings = Preferences::open();
    settings->remove(QLatin1String(kKey));
    Preferences::commit(*settings);
}

} // namespace SessionStore
