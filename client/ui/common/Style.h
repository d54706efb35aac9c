#pragma once

#include "l10n/MTheme.h"

#include <QDBusVariant>
#include <QFont>
#include <QObject>
#include <QString>

class QAbstractItemDelegate;
class QAbstractItemModel;
class QApplication;
class QListView;
class QWidget;

// The application's look: the Fusion style under a palette and a style sheet made from MTheme,
// and fonts that carry Chinese and emoji in every language.
namespace Style {

// Colours the palette does not name.
inline constexpr ThemeColor statusOrange{0xFF9500, 0xFF9F0A};
inline constexpr ThemeColor statusGreen{0x34C759, 0x30D158};
// The muted badge, a subdued grey.
inline constexpr ThemeColor mutedBadge{0xB4B4BE, 0x55555F};
inline constexpr ThemeColor hover{0xF2F2F6, 0x1D1D24};

// Installs style, palette, style sheet and font for the given appearance and language.
void install(QApplication &app, bool dark);
// Switches palette and style sheet; widgets that paint from MTheme follow on their own.
void applyAppearance(bool dark);
// The interface font for a language: Noto Sans CJK in the script's variant, emoji as fallback.
QFont uiFont(const QString &lang);
void applyLanguage(const QString &lang);
QString styleSheet(bool dark);

// One watcher of light and dark for the whole interface.
ThemeWatcher &themeWatcher();

// A font derived from the application font with a pixel size and weight.
QFont font(int pixelSize, QFont::Weight weight = QFont::Normal);

// A frameless list whose rows a painted delegate draws: hover tracking, pixel scrolling, no
// horizontal scroll bar.
QListView *paintedList(QAbstractItemModel *model, QAbstractItemDelegate *delegate, QWidget *parent);

} // namespace Style

// Follows the desktop's light or dark preference (the freedesktop appearance setting through
// the desktop portal) and applies it. SARVO_APPEARANCE=dark|light pins it instead.
class DesktopAppearance : public QObject {
    Q_OBJECT

public:
    explicit DesktopAppearance(QObject *parent = nullptr);

    // What to start with before the desktop has answered.
    static bool initialDark();
    // The portal's "color-scheme" value: 1 prefers dark, anything else light.
    static bool darkFromScheme(uint scheme) { return scheme == 1; }

private slots:
    void onSettingChanged(const QString &group, const QString &key, const QDBusVariant &value);

private:
    void apply(bool dark);
    bool m_pinned = false;
};
