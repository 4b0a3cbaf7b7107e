// Colour values: explicit BGR values and system colours looked up in the palette.

#include "colorvalue.h"

#include <QGuiApplication>
#include <gtest/gtest.h>

using namespace colorvalue;

TEST(ColorValue, ExplicitColoursHoldRedInTheLowByte) {
    EXPECT_EQ(toQColor(0x0000FF), QColor(255, 0, 0));
    EXPECT_EQ(toQColor(0xC08080), QColor(128, 128, 192));
    EXPECT_EQ(fromQColor(QColor(1, 2, 3)), 0x030201u);
    EXPECT_EQ(rgb(1, 2, 3), 0x030201u);
    EXPECT_EQ(toRGB(0x02345678), 0x345678u); // only 0xFF in the high byte marks a system colour
    EXPECT_FALSE(isSystemColor(0x7F00000F));
    EXPECT_TRUE(isSystemColor(clBtnFace));
}

TEST(ColorValue, SystemColoursFollowThePalette) {
    QPalette pal;
    pal.setColor(QPalette::Button, QColor(10, 20, 30));
    pal.setColor(QPalette::Text, QColor(1, 2, 3));
    pal.setColor(QPalette::Light, QColor(250, 240, 230));
    pal.setColor(QPalette::Dark, QColor(60, 50, 40));
    pal.setColor(QPalette::Highlight, QColor(0, 0, 200));
    pal.setColor(QPalette::Disabled, QPalette::Text, QColor(99, 99, 99));
    EXPECT_EQ(toRGB(clBtnFace, pal), rgb(10, 20, 30));
    EXPECT_EQ(toQColor(clBtnFace, pal), QColor(10, 20, 30));
    EXPECT_EQ(toRGB(clWindowText, pal), rgb(1, 2, 3));
    EXPECT_EQ(toRGB(clBtnHighlight, pal), rgb(250, 240, 230));
    EXPECT_EQ(toRGB(clBtnShadow, pal), rgb(60, 50, 40));
    EXPECT_EQ(toRGB(clHighlight, pal), rgb(0, 0, 200));
    EXPECT_EQ(toRGB(clGrayText, pal), rgb(99, 99, 99));
    // Indexes that name no colour give black rather than garbage.
    EXPECT_EQ(toRGB(0xFF000019, pal), clBlack);
    EXPECT_EQ(toRGB(0xFF0000FF, pal), clBlack);

    // Without a palette the application's current one counts.
    const QPalette saved = QGuiApplication::palette();
    QGuiApplication::setPalette(pal);
    EXPECT_EQ(toRGB(clBtnFace), rgb(10, 20, 30));
    QGuiApplication::setPalette(saved);
    EXPECT_NE(toRGB(clBtnFace), rgb(10, 20, 30));
}
