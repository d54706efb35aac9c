#include "im/ImSdkLibrary.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLibrary>

namespace ImSdkLibrary {

static const char kFileName[] = "libimsdk.so";

QString defaultPath()
{
    const QString env = qEnvironmentVariable("SARVO_IMSDK");
    if (!env.isEmpty())
        return env;
    if (QCoreApplication::instance()) {
        const QString beside = QDir(QCoreApplication::applicationDirPath()).filePath(QLatin1String(kFileName));
        if (QFileInfo::exists(beside))
            return beside;
    }
    return QLatin1String(kFileName);
}

std::optional<ImSdkApi> load(const QString &path, QString *error)
{
    QLibrary lib(path);
    // Never unloaded: the SDK's threads and our callbacks outlive any one caller.
    lib.setLoadHints(QLibrary::ResolveAllSymbolsHint);
    if (!lib.load()) {
        if (error)
            *error = QStringLiteral("cannot load %1: %2").arg(path, lib.errorString());
        return std::nullopt;
    }
    ImSdkApi api;
    QStringList missing;
#define SARVO_IMSDK_BIND(name)                                                                     \
    api.name = reinterpret_cast<decltype(api.name)>(lib.resolve(#name));                           \
    if (!api.name)                                                                                 \
        missing << QStringLiteral(#name);
    IMSDK_FUNCTIONS(SARVO_IMSDK_BIND)
#undef SARVO_IMSDK_BIND
    if (!missing.isEmpty()) {
        if (error)
            *error = QStringLiteral("%1 lacks %2").arg(path, missing.join(QLatin1String(", ")));
        return std::nullopt;
    }
    return api;
}

} // namespace ImSdkLibrary
