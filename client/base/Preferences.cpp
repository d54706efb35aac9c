#include "base/Preferences.h"

#include "base/Profile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace Preferences {

static constexpr QFileDevice::Permissions kOwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

std::unique_ptr<QSettings> open()
{
    auto settings = std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                                QStringLiteral("Sarvo"), Profile::settingsName());
    const QString path = settings->fileName();
    if (!QFileInfo::exists(path)) {
        // Created owner-only before anything is written; later saves keep the permissions.
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            file.setPermissions(kOwnerOnly);
    }
    return settings;
}

void commit(QSettings &settings)
{
    settings.sync();
    QFile file(settings.fileName());
    constexpr QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup
        | QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;
    if (file.exists() && (file.permissions() & others))
        file.setPermissions(kOwnerOnly);
}

} // namespace Preferences
