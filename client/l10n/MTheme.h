#pragma once

#include <QColor>
#include <QObject>

class QPalette;

// One palette role: its light-appearance and dark-appearance value (0xRRGGBB, opaque).
class ThemeColor {
public:
    constexpr ThemeColor(QRgb light, QRgb dark) : m_light(light), m_dark(dark) {}

    QColor light() const { return QColor(m_light); }
    QColor dark() const { return QColor(m_dark); }
    QColor resolved(bool dark) const { return dark ? this->dark() : light(); }
    // The value for the application's appearance now; ask again at every paint.
    QColor color() const;
    operator QColor() const { return color(); }

private:
    QRgb m_light;
    QRgb m_dark;
};

// The named palette every screen draws from.
namespace MTheme {

// Dark when the palette's window text is lighter than its window, the rule Qt itself uses for
// its colour scheme; Qt 6.4 has no colour-scheme hint to ask.
bool isDark(const QPalette &palette);
// The application palette's appearance (light without a GUI application).
bool isDark();

inline constexpr ThemeColor brand{0x7C6CF6, 0x8B7CF8};
inline constexpr ThemeColor brandDark{0x6A59EA, 0x9D90FA};
inline constexpr ThemeColor brandLight{0xEFECFF, 0x241F3D};
inline constexpr ThemeColor ink{0x1A1A1E, 0xEAEAF0};
inline constexpr ThemeColor inkSoft{0x6B6B75, 0x9A9AA5};
inline constexpr ThemeColor line{0xECECF1, 0x26262E};
inline constexpr ThemeColor bg{0xFAFAFC, 0x101014};
inline constexpr ThemeColor surface{0xFFFFFF, 0x17171D};
inline constexpr ThemeColor bubbleMine{0x7C6CF6, 0x6A5AE0};
inline constexpr ThemeColor bubbleMineTop{0x7C6CFF, 0x7C6CF0};
inline constexpr ThemeColor bubbleMineBottom{0x6C5CE7, 0x5D4ED2};
inline constexpr ThemeColor bubbleMineText{0xFFFFFF, 0xFFFFFF};
inline constexpr ThemeColor bubbleOther{0xFFFFFF, 0x1E2230};
inline constexpr ThemeColor danger{0xFF3B30, 0xEF4444};

// Moments screens.
inline constexpr ThemeColor brandBlue{0x576B95, 0x7D8BB0};
inline constexpr ThemeColor momentsBG{0xFFFFFF, 0x111114};
inline constexpr ThemeColor grayBox{0xF7F7F7, 0x1E1E22};
inline constexpr ThemeColor hairline{0xE5E5E5, 0x2A2A2E};

// The ambient backdrop's tints, the same in both appearances.
inline const QColor ambientCool = QColor::fromRgbF(0.486f, 0.424f, 1.0f);
inline const QColor ambientWarm = QColor::fromRgbF(1.0f, 0.62f, 0.73f);

} // namespace MTheme

// Tells when the application switches between light and dark, for anything that keeps
// resolved colours (style sheets, cached pixmaps). Widgets that resolve at paint time repaint
// on their own when the palette changes.
class ThemeWatcher : public QObject {
    Q_OBJECT

public:
    // Watches the running application; create after it (main thread).
    explicit ThemeWatcher(QObject *parent = nullptr);

    bool isDark() const { return m_dark; }

signals:
    void appearanceChanged(bool dark);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    bool m_dark;
};
