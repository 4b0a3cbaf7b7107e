#include "cuedeck.h"
#include "theme.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    applyGlowTheme(app);
    Tfcuedeck window;
    window.show();
    return app.exec();
}
