#pragma once
// What the gradient panel's tests share: rendering a panel, reading its pixels, a crisp font and
// the side panel of the main window.

#include "errors.h"
#include "gradpan.h"

#include <QApplication>
#include <QFontMetrics>
#include <QMetaEnum>
#include <QMouseEvent>
#include <QPainter>
#include <QTest>
#include <gtest/gtest.h>

using colorvalue::TColor;

namespace gradpantest {

inline QImage render(TGradPan& panel) {
    return panel.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// The colour value (0x00BBGGRR) of one pixel.
inline TColor at(const QImage& image, int x, int y) {
    return colorvalue::fromQColor(image.pixelColor(x, y));
}

// Bounding box of the pixels of exactly one colour.
inline QRect inkOf(const QImage& image, TColor color) {
    int l = INT_MAX, t = INT_MAX, r = INT_MIN, b = INT_MIN;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (at(image, x, y) == color) {
                l = std::min(l, x);
                t = std::min(t, y);
                r = std::max(r, x);
                b = std::max(b, y);
            }
    return l == INT_MAX ? QRect() : QRect(QPoint(l, t), QPoint(r, b));
}

inline int countOf(const QImage& image, TColor color) {
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            n += at(image, x, y) == color;
    return n;
}

// A crisp font, so that text pixels carry their exact colours.
inline QFont crispFont(int pixelSize) {
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setPixelSize(pixelSize);
    f.setBold(true);
    f.setStyleStrategy(QFont::NoAntialias);
    return f;
}

// Counts the paints a widget receives.
struct PaintCounter : QObject {
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

// The side panel of the main window, set up by property name as the window does.
inline void setUpSidePanel(TGradPan& p) {
    p.setProperty("Width", 209);
    p.setProperty("Height", 849);
    p.setProperty("BevelOuter", QVariant::fromValue(TGradPan::bvNone));
    p.setProperty("BackGroundEffect", QVariant::fromValue(TGradPan::bdDown));
    p.setProperty("ColorEnd", 12615808u);
    p.setProperty("ColorStart", 0u);
    p.setProperty("ColorShadow", 11776947u);
    p.setProperty("Color", 11776947u);
    p.setProperty("Caption", QString());
}

inline const TColor kWhite = 0xFFFFFF, kGrey = 0x808080;

// A picture with one marker pixel at its top-left corner.
inline QImage markedPicture(int w, int h, QRgb fill, QRgb marker) {
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(fill);
    img.setPixel(0, 0, marker);
    return img;
}

} // namespace gradpantest
