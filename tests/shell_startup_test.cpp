#include "startup.h"

#include <QCoreApplication>
#include <QTranslator>

#include <gtest/gtest.h>

TEST(PlatformChoice, X11OnlyForAWaylandSessionWithXWaylandAndNoExplicitChoice) {
    PlatformEnvironment wayland;
    wayland.sessionType = "wayland";
    wayland.waylandDisplay = "wayland-0";
    wayland.display = ":0";
    EXPECT_TRUE(preferX11(wayland));

    PlatformEnvironment byDisplayOnly = wayland; // no session type, a Wayland socket
    byDisplayOnly.sessionType.clear();
    EXPECT_TRUE(preferX11(byDisplayOnly));

    PlatformEnvironment noXWayland = wayland;
    noXWayland.display.clear();
    EXPECT_FALSE(preferX11(noXWayland));

    PlatformEnvironment chosenByVariable = wayland;
    chosenByVariable.qpaPlatform = "wayland";
    EXPECT_FALSE(preferX11(chosenByVariable));

    PlatformEnvironment chosenByArgument = wayland;
    chosenByArgument.platformArgument = true;
    EXPECT_FALSE(preferX11(chosenByArgument));

    PlatformEnvironment x11;
    x11.sessionType = "x11";
    x11.display = ":0";
    EXPECT_FALSE(preferX11(x11));
}

TEST(PlatformChoice, ReadsThePlatformArgument) {
    char program[] = "cuedeck";
    char option[] = "-platform";
    char value[] = "wayland";
    char* withOption[] = {program, option, value, nullptr};
    char* without[] = {program, nullptr};
    EXPECT_TRUE(PlatformEnvironment::current(3, withOption).platformArgument);
    EXPECT_FALSE(PlatformEnvironment::current(1, without).platformArgument);
}

TEST(QtTranslation, StandardButtonsSpeakJapanese) {
    ASSERT_TRUE(installQtTranslation(*QCoreApplication::instance()))
        << "qtbase_ja.qm not found (package qt6-translations-l10n)";
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel").toStdString(), "キャンセル");
}
