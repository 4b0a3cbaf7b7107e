// The entry: one copy per machine, the theme, the main window, the event loop.

#include "cuedeck.h"
#include "dialogs.h"
#include "engine.h"
#include "instancelock.h"
#include "startup.h"
#include "theme.h"

#include <QApplication>
#include <vector>

int main(int argc, char* argv[]) {
    // Taken before anything can write a file, held until the process ends.
    const InstanceLock lock;

    // On a Wayland session run through XWayland (falling back to Wayland when X11 cannot be
    // reached), so the window can be placed where it was last closed.
    static char platformOption[] = "-platform";
    static char platformChoice[] = "xcb;wayland";
    std::vector<char*> args(argv, argv + argc);
    if (preferX11(PlatformEnvironment::current(argc, argv))) {
        args.push_back(platformOption);
        args.push_back(platformChoice);
    }
    args.push_back(nullptr);
    int qtArgc = int(args.size()) - 1;

    QApplication app(qtArgc, args.data());
    installQtTranslation(app);

    if (lock.state() == InstanceLock::State::HeldElsewhere) {
        dialogs::plainMessage(QStringLiteral("すでに起動しています。"));
        return 0;
    }
    // A lock that cannot be taken for any other reason (an unusable temp folder) does not
    // keep the user from working.

    applyGlowTheme(app); // the default look stays when the theme cannot be applied

    // One output stream for all pads; without a sound card it runs silently on a real-time
    // clock, and the window says so. What the output does goes to stderr.
    media::Engine::Options options;
    options.logName = "board";
    media::Engine engine(options);
    Tfcuedeck fcuedeck(engine);
    fcuedeck.show();
    return app.exec();
}
