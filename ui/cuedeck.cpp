#include "cuedeck.h"

Tfcuedeck::Tfcuedeck(QWidget* parent) : QMainWindow(parent) {
    setObjectName(QStringLiteral("fcuedeck"));
    setWindowTitle(QStringLiteral("CUEDECK"));
    resize(1747, 880);
}
