#include "theme.h"

#include <QApplication>
#include <QFile>

bool applyGlowTheme(QApplication& app) {
    QFile file(QStringLiteral(":/glow.qss"));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QString sheet = QString::fromUtf8(file.readAll());
    if (sheet.isEmpty())
        return false;
    app.setStyleSheet(sheet);
    app.setProperty("cuedeckTheme", QStringLiteral("Glow"));
    return true;
}
