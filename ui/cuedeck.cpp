#include "cuedeck.h"

#include "apptitle.h"
#include "datafolder.h"
#include "dialogs.h"
#include "placement.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QShowEvent>

Tfcuedeck::Tfcuedeck(QWidget* parent) : Tfcuedeck(ProgramFolder(), parent) {}

Tfcuedeck::Tfcuedeck(const QString& programFolder, QWidget* parent)
    : QMainWindow(parent), m_programFolder(programFolder) {
    setObjectName(QStringLiteral("fcuedeck"));
    setWindowTitle(QStringLiteral("CUEDECK"));
    // The layout size; the stored placement replaces it in FormCreate.
    resize(kDefaultPlacement.Width, kDefaultPlacement.Height);

    // The controls are built above this point; the creation handler runs last. An error in it
    // skips the rest of the creation work; the window is created all the same.
    dialogs::guarded([this] { FormCreate(); });
}

void Tfcuedeck::FormCreate() {
    DataFolder = dataFolderPath();
    PrepareDataFolder(DataFolder, m_programFolder,
                      [](const QString& text) { dialogs::plainMessage(text); });
    applyPlacement();
}

void Tfcuedeck::applyPlacement() {
    QList<QRect> screens;
    for (const QScreen* screen : QGuiApplication::screens())
        screens.append(screen->geometry());
    const WindowPlacement p =
        placementToApply(LoadWindowPlacement(DataFolder, applicationTitle()), screens);
    move(p.Left, p.Top);
    resize(p.Width, p.Height);
}

void Tfcuedeck::FormShow() {}

bool Tfcuedeck::FormCloseQuery() {
    const bool canClose = true;
    SaveWindowPlacement(DataFolder, applicationTitle(), pos().y(), pos().x(), width(), height());
    return canClose;
}

void Tfcuedeck::FormClose() {
    startup = 1;
}

void Tfcuedeck::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (m_shown || event->spontaneous())
        return;
    m_shown = true;
    dialogs::guarded([this] { FormShow(); });
}

void Tfcuedeck::closeEvent(QCloseEvent* event) {
    // Nothing below may leave the window half closed: refuse first, accept once the close
    // request has been granted.
    event->ignore();
    bool canClose = false;
    dialogs::guarded([&] { canClose = FormCloseQuery(); });
    if (!canClose)
        return;
    event->accept();
    // A failure while closing is shown, but does not keep the user from quitting.
    dialogs::guarded([this] { FormClose(); });
}
