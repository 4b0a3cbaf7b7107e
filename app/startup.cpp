#include "startup.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>
#include <cstring>

PlatformEnvironment PlatformEnvironment::current(int argc, char** argv) {
    PlatformEnvironment env;
    env.qpaPlatform = qgetenv("QT_QPA_PLATFORM");
    env.sessionType = qgetenv("XDG_SESSION_TYPE");
    env.waylandDisplay = qgetenv("WAYLAND_DISPLAY");
    env.display = qgetenv("DISPLAY");
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0)
            env.platformArgument = true;
    }
    return env;
}

bool preferX11(const PlatformEnvironment& env) {
    if (env.platformArgument || !env.qpaPlatform.isEmpty())
        return false;
    const bool wayland = env.sessionType == "wayland" || !env.waylandDisplay.isEmpty();
    return wayland && !env.display.isEmpty();
}

bool installQtTranslation(QCoreApplication& app) {
    auto* translator = new QTranslator(&app);
    if (!translator->load(QStringLiteral("qtbase_ja"),
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath)) ||
        !QCoreApplication::installTranslator(translator)) {
        delete translator;
        return false;
    }
    return true;
}
