#pragma once

#include <QTemporaryDir>

// Points the user's config, data and cache directories of a test process at a throw-away
// directory, so preferences and SDK data never touch the real user's. Call before the
// application object exists; keep the returned directory alive for the whole run.
inline void isolateUserDirectories(const QTemporaryDir &home)
{
    qputenv("XDG_CONFIG_HOME", home.filePath("config").toUtf8());
    qputenv("XDG_DATA_HOME", home.filePath("data").toUtf8());
    qputenv("XDG_CACHE_HOME", home.filePath("cache").toUtf8());
    if (qgetenv("QT_QPA_PLATFORM").isEmpty())
        qputenv("QT_QPA_PLATFORM", "offscreen");
}
