#include "l10n/MTheme.h"

#include <QEvent>
#include <QGuiApplication>
#include <QPalette>

bool MTheme::isDark(const QPalette &palette)
{
    return palette.color(QPalette::WindowText).lightness() > palette.color(QPalette::Window).lightness();
}

bool MTheme::isDark()
{
    return qobject_cast<QGuiApplication *>(QCoreApplication::instance()) && isDark(QGuiApplication::palette());
}

QColor ThemeColor::color() const
{
    return resolved(MTheme::isDark());
}

ThemeWatcher::ThemeWatcher(QObject *parent) : QObject(parent), m_dark(MTheme::isDark())
{
    if (QCoreApplication *app = QCoreApplication::instance())
        app->installEventFilter(this);
}

bool ThemeWatcher::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::ApplicationPaletteChange && watched == QCoreApplication::instance()) {
        const bool dark = MTheme::isDark();
        if (dark != m_dark) {
            m_dark = dark;
            emit appearanceChanged(dark);
        }
    }
    return QObject::eventFilter(watched, event);
}
