#pragma once
// Start-up helpers of the entry: the platform choice and Qt's own Japanese texts.

#include <QByteArray>

class QCoreApplication;

// The environment that decides the windowing platform.
struct PlatformEnvironment {
    QByteArray qpaPlatform;        // QT_QPA_PLATFORM
    QByteArray sessionType;        // XDG_SESSION_TYPE
    QByteArray waylandDisplay;     // WAYLAND_DISPLAY
    QByteArray display;            // DISPLAY
    bool platformArgument = false; // "-platform" given on the command line

    static PlatformEnvironment current(int argc, char** argv);
};

// True when the program should run on X11 (XWayland) although the session is Wayland: a
// Wayland compositor does not let a program place its own window, and the window reopens
// where it was closed. An explicit choice of platform by the user is left alone.
bool preferX11(const PlatformEnvironment& env);

// Installs Qt's own Japanese translation (standard buttons and dialog labels). Returns false
// when it is not installed; the texts then stay in English.
bool installQtTranslation(QCoreApplication& app);
