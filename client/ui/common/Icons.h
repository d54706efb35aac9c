#pragma once

#include "l10n/MTheme.h"

#include <QIcon>

class QPainter;

// The interface's glyphs, drawn as vector paths so they stay sharp at every size and pixel
// ratio, in a palette colour resolved when they are painted.
namespace Icons {

enum class Glyph {
    chats,       // two speech bubbles, filled
    chatsOutline, // the same, outlined (empty chat pane)
    contacts,    // two people
    moments,     // 2 × 2 dots
    me,          // a person in a circle
    refresh,     // clockwise arrow
    compose,     // square and pencil
    search,      // magnifying glass
    clear,       // x in a filled circle
    pin,         // push pin
    bellSlash,   // muted bell
    more,        // three dots
    message,     // one bubble
    app,         // the application's mark
};

// Paints `glyph` into `rect` (square) in `color`.
void paint(QPainter &painter, const QRectF &rect, Glyph glyph, const QColor &color);
// An icon that paints the glyph at any size; the colour is resolved at every paint, so a
// switch between light and dark recolours it.
QIcon icon(Glyph glyph, const ThemeColor &color);
QIcon icon(Glyph glyph, const QColor &color);
// The application icon: the mark on a brand-coloured rounded square.
QIcon appIcon();

} // namespace Icons
