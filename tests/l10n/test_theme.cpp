#include "l10n/MTheme.h"

#include <QGuiApplication>
#include <QPalette>
#include <gtest/gtest.h>

namespace {

QPalette paletteWith(QColor window, QColor text)
{
    QPalette palette;
    palette.setColor(QPalette::Window, window);
    palette.setColor(QPalette::WindowText, text);
    return palette;
}

// Restores the application palette whatever a test leaves behind.
struct PaletteGuard {
    QPalette saved = QGuiApplication::palette();
    ~PaletteGuard() { QGuiApplication::setPalette(saved); }
};

} // namespace

TEST(MTheme, EntriesResolveAgainstTheApplicationPalette)
{
    PaletteGuard guard;
    const struct {
        QColor window, text;
        QRgb bg, brandLight;
    } cases[] = {
        {QColor("#f0f0f0"), Qt::black, 0xFAFAFC, 0xEFECFF},
        {QColor("#1e1e1e"), QColor("#eeeeee"), 0x101014, 0x241F3D},
        {Qt::white, Qt::black, 0xFAFAFC, 0xEFECFF},
    };
    for (const auto &c : cases) {
        QGuiApplication::setPalette(paletteWith(c.window, c.text));
        EXPECT_EQ(MTheme::bg.color(), QColor(c.bg)) << c.window.name().toStdString();
        EXPECT_EQ(QColor(MTheme::brandLight), QColor(c.brandLight)) << c.window.name().toStdString();
    }
}

TEST(MTheme, WatcherReportsOnlyAppearanceFlips)
{
    PaletteGuard guard;
    QGuiApplication::setPalette(paletteWith(Qt::white, Qt::black));
    ThemeWatcher watcher;
    QList<bool> flips;
    QObject::connect(&watcher, &ThemeWatcher::appearanceChanged, [&](bool dark) { flips << dark; });

    QGuiApplication::setPalette(paletteWith(QColor("#eeeeee"), Qt::black)); // still light
    QGuiApplication::setPalette(paletteWith(Qt::black, Qt::white));
    QGuiApplication::setPalette(paletteWith(QColor("#202020"), Qt::white)); // still dark
    QGuiApplication::setPalette(paletteWith(Qt::white, Qt::black));

    EXPECT_EQ(flips, QList<bool>({true, false}));
}
