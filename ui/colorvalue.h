#pragma once
// Colour values as the program stores them: 0x00BBGGRR for explicit colours (red in the low
// byte), and system colours with 0xFF in the high byte and a system colour index in the low
// byte (the button face is 0xFF00000F). A system colour means "whatever the current look uses
// for that part", so it is translated to the RGB of the matching palette role each time it is
// drawn with.

#include <QColor>
#include <QPalette>
#include <cstdint>

namespace colorvalue {

using TColor = std::uint32_t;

// Explicit colours.
inline constexpr TColor clBlack = 0x000000;
inline constexpr TColor clWhite = 0xFFFFFF;
inline constexpr TColor clGray = 0x808080;
inline constexpr TColor clTeal = 0x808000;

// System colours (index in the low byte).
inline constexpr TColor clScrollBar = 0xFF000000;
inline constexpr TColor clBackground = 0xFF000001;
inline constexpr TColor clActiveCaption = 0xFF000002;
inline constexpr TColor clInactiveCaption = 0xFF000003;
inline constexpr TColor clMenu = 0xFF000004;
inline constexpr TColor clWindow = 0xFF000005;
inline constexpr TColor clWindowFrame = 0xFF000006;
inline constexpr TColor clMenuText = 0xFF000007;
inline constexpr TColor clWindowText = 0xFF000008;
inline constexpr TColor clCaptionText = 0xFF000009;
inline constexpr TColor clActiveBorder = 0xFF00000A;
inline constexpr TColor clInactiveBorder = 0xFF00000B;
inline constexpr TColor clAppWorkSpace = 0xFF00000C;
inline constexpr TColor clHighlight = 0xFF00000D;
inline constexpr TColor clHighlightText = 0xFF00000E;
inline constexpr TColor clBtnFace = 0xFF00000F;
inline constexpr TColor clBtnShadow = 0xFF000010;
inline constexpr TColor clGrayText = 0xFF000011;
inline constexpr TColor clBtnText = 0xFF000012;
inline constexpr TColor clInactiveCaptionText = 0xFF000013;
inline constexpr TColor clBtnHighlight = 0xFF000014;
inline constexpr TColor cl3DDkShadow = 0xFF000015;
inline constexpr TColor cl3DLight = 0xFF000016;
inline constexpr TColor clInfoText = 0xFF000017;
inline constexpr TColor clInfoBk = 0xFF000018;
inline constexpr TColor clHotLight = 0xFF00001A;
inline constexpr TColor clGradientActiveCaption = 0xFF00001B;
inline constexpr TColor clGradientInactiveCaption = 0xFF00001C;
inline constexpr TColor clMenuHighlight = 0xFF00001D;
inline constexpr TColor clMenuBar = 0xFF00001E;

constexpr bool isSystemColor(TColor c) {
    return (c >> 24) == 0xFF;
}
constexpr int redOf(TColor c) {
    return int(c & 0xFF);
}
constexpr int greenOf(TColor c) {
    return int((c >> 8) & 0xFF);
}
constexpr int blueOf(TColor c) {
    return int((c >> 16) & 0xFF);
}
// Channels outside 0..255 are cut to their low byte.
constexpr TColor rgb(int red, int green, int blue) {
    return TColor(red & 0xFF) | TColor(green & 0xFF) << 8 | TColor(blue & 0xFF) << 16;
}

// The explicit RGB value (high byte 0) of `c`: a system colour is looked up in `palette`, an
// unknown system index gives black; any other high byte is dropped.
TColor toRGB(TColor c, const QPalette& palette);
// The same with the application's current palette.
TColor toRGB(TColor c);

QColor toQColor(TColor c, const QPalette& palette);
QColor toQColor(TColor c);

// The explicit colour value of an opaque Qt colour (alpha is dropped).
TColor fromQColor(const QColor& color);

} // namespace colorvalue
