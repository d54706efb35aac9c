#pragma once

#include "base/Preferences.h"

#include <QSettings>
#include <QTemporaryDir>

// Points every QSettings of the process (the preferences store included) at a fresh temporary directory
// for the life of this object, so tests never read or write a real user's preferences.
class TestSettings {
public:
    TestSettings()
    {
        for (QSettings::Format format : {QSettings::NativeFormat, QSettings::IniFormat}) {
            QSettings::setPath(format, QSettings::UserScope, m_dir.filePath("user"));
            QSettings::setPath(format, QSettings::SystemScope, m_dir.filePath("system"));
        }
    }

    void clear()
    {
        auto settings = Preferences::open();
        settings->clear();
        Preferences::commit(*settings);
    }

private:
    QTemporaryDir m_dir;
};
