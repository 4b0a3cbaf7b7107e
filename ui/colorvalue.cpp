#include "colorvalue.h"

#include <QGuiApplication>

namespace colorvalue {

namespace {

struct RoleOf {
    QPalette::ColorGroup group;
    QPalette::ColorRole role;
};

// The palette role that plays the part of each system colour index, or none for an index
// that names no colour.
bool systemRole(int index, RoleOf& out) {
    using P = QPalette;
    static const RoleOf table[] = {
        {P::Active, P::Midlight},          // 0 scroll bar
        {P::Active, P::Window},            // 1 desktop background
        {P::Active, P::Highlight},         // 2 active caption
        {P::Inactive, P::Highlight},       // 3 inactive caption
        {P::Active, P::Window},            // 4 menu
        {P::Active, P::Base},              // 5 window
        {P::Active, P::Shadow},            // 6 window frame
        {P::Active, P::WindowText},        // 7 menu text
        {P::Active, P::Text},              // 8 window text
        {P::Active, P::HighlightedText},   // 9 caption text
        {P::Active, P::Window},            // 10 active border
        {P::Inactive, P::Window},          // 11 inactive border
        {P::Active, P::Dark},              // 12 application work space
        {P::Active, P::Highlight},         // 13 highlight
        {P::Active, P::HighlightedText},   // 14 highlight text
        {P::Active, P::Button},            // 15 button face
        {P::Active, P::Dark},              // 16 button shadow
        {P::Disabled, P::Text},            // 17 grey text
        {P::Active, P::ButtonText},        // 18 button text
        {P::Inactive, P::HighlightedText}, // 19 inactive caption text
        {P::Active, P::Light},             // 20 button highlight
        {P::Active, P::Shadow},            // 21 3D dark shadow
        {P::Active, P::Midlight},          // 22 3D light
        {P::Active, P::ToolTipText},       // 23 tooltip text
        {P::Active, P::ToolTipBase},       // 24 tooltip background
        {P::NColorGroups, P::NoRole},      // 25 unused
        {P::Active, P::Link},              // 26 hot-tracked item
        {P::Active, P::Highlight},         // 27 active caption gradient
        {P::Inactive, P::Highlight},       // 28 inactive caption gradient
        {P::Active, P::Highlight},         // 29 highlighted menu item
        {P::Active, P::Window},            // 30 menu bar
    };
    if (index < 0 || index >= int(std::size(table)) || table[index].role == P::NoRole)
        return false;
    out = table[index];
    return true;
}

} // namespace

TColor toRGB(TColor c, const QPalette& palette) {
    if (!isSystemColor(c))
        return c & 0xFFFFFF;
    RoleOf r;
    if (!systemRole(int(c & 0xFF), r))
        return clBlack;
    return fromQColor(palette.color(r.group, r.role));
}

TColor toRGB(TColor c) {
    return toRGB(c, QGuiApplication::palette());
}

QColor toQColor(TColor c, const QPalette& palette) {
    const TColor v = toRGB(c, palette);
    return QColor(redOf(v), greenOf(v), blueOf(v));
}

QColor toQColor(TColor c) {
    return toQColor(c, QGuiApplication::palette());
}

TColor fromQColor(const QColor& color) {
    const QColor c = color.toRgb();
    return rgb(c.red(), c.green(), c.blue());
}

} // namespace colorvalue
