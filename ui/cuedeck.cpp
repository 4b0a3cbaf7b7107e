#include "cuedeck.h"

#include "apptitle.h"
#include "datafolder.h"
#include "dialogs.h"
#include "engine.h"
#include "outputdevicepage.h"
#include "padboard.h"
#include "placement.h"
#include "setlistslots.h"
#include "settingsdialog.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QTimer>
#include <QUrl>

Tfcuedeck::Tfcuedeck(media::Engine& engine, QWidget* parent)
    : Tfcuedeck(engine, ProgramFolder(), parent) {}

Tfcuedeck::Tfcuedeck(media::Engine& engine, const QString& programFolder, QWidget* parent)
    : QMainWindow(parent), m_engine(engine), m_programFolder(programFolder) {
    setObjectName(QStringLiteral("fcuedeck"));
    setWindowTitle(QStringLiteral("CUEDECK"));
    setWindowIcon(QIcon(QStringLiteral(":/logo.png")));

    ui = buildMainLayout(this);
    m_board = new PadBoard(engine, ui.Panel1, &startup, this);
    m_board->setDialogOwner(this);
    markPadRoles(*m_board);
    // An operator who hears nothing should know why, at once and for as long as it lasts: the
    // engine's device may go and come back at any time.
    updateDeviceStatus();
    m_deviceWatch = new QTimer(this);
    connect(m_deviceWatch, &QTimer::timeout, this, [this] { updateDeviceStatus(); });
    m_deviceWatch->start(kDeviceWatchMs);

    connect(ui.Button11, &QPushButton::clicked, this,
            [this] { dialogs::guarded([this] { Button11Click(); }); });
    connect(ui.FileExit1, &QAction::triggered, this, &QWidget::close);
    connect(ui.ButtonStopAll, &QPushButton::clicked, this, [this] { m_board->stopAll(); });
    connect(ui.ButtonSettings, &QPushButton::clicked, this,
            [this] { dialogs::guarded([this] { openSettings(); }); });

    // The controls are built above this point; the creation handler runs last. An error in it
    // skips the rest of the creation work; the window is created all the same.
    dialogs::guarded([this] { FormCreate(); });

    // The data folder is known even when its preparation failed part way.
    m_board->setDataFolder(DataFolder);
    // The output the operator chose last time; the engine takes the default while it is
    // missing, and the status bar says so.
    const QString device = rememberedOutputDevice(settingsFile());
    if (!device.isEmpty())
        m_engine.chooseOutputDevice(device.toStdString());
    m_slots =
        new SetListSlots(*m_board, &startup, DataFolder, ui.statusSlot, ui.statusPath, this, this);
    wireSetListButtons();
}

Tfcuedeck::~Tfcuedeck() = default;

void Tfcuedeck::wireSetListButtons() {
    auto handle = [this](QPushButton* button, auto handler) {
        connect(button, &QPushButton::clicked, this,
                [this, handler] { dialogs::guarded([this, handler] { handler(*m_slots); }); });
    };
    for (QPushButton* button : ui.setlist) {
        connect(button, &QPushButton::clicked, this, [this, button] {
            dialogs::guarded([this, button] { m_slots->setlist1Click(button); });
        });
    }
    handle(ui.Button22, [](SetListSlots& s) { s.Button22Click(); });
    handle(ui.Button10, [](SetListSlots& s) { s.Button10Click(); });
    handle(ui.Button16, [](SetListSlots& s) { s.Button16Click(); });
    handle(ui.Button21, [](SetListSlots& s) { s.Button21Click(); });
    handle(ui.Button2, [](SetListSlots& s) { s.Button2Click(); });
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

void Tfcuedeck::FormShow() {
    m_board->takePlayerVolumes();
    m_slots->FormShow();
}

bool Tfcuedeck::FormCloseQuery() {
    const bool canClose = m_slots->FormCloseQuery();
    SaveWindowPlacement(DataFolder, applicationTitle(), pos().y(), pos().x(), width(), height());
    return canClose;
}

void Tfcuedeck::FormClose() {
    m_slots->FormClose();
}

void Tfcuedeck::SaveSetList(const QString& path) {
    m_slots->SaveSetList(path);
}

void Tfcuedeck::LoadSetList(const QString& path) {
    m_slots->LoadSetList(path);
}

bool Tfcuedeck::SetListModified() {
    return m_slots->SetListModified();
}

QString Tfcuedeck::helpFile() const {
    return QCoreApplication::applicationDirPath() + QStringLiteral("/help/index.html");
}

void Tfcuedeck::Button11Click() {
    const QString manual = helpFile();
    // A missing manual or viewer leaves the program as it is.
    if (QFileInfo(manual).isFile())
        QDesktopServices::openUrl(QUrl::fromLocalFile(manual));
}

void Tfcuedeck::openSettings() {
    SettingsDialog dialog(this);
    dialog.addPage(new OutputDevicePage(m_engine, settingsFile()), QStringLiteral("出力デバイス"));
    dialog.exec();
}

QString Tfcuedeck::settingsFile() const {
    return DataFolder + QStringLiteral("/conf/settings.ini");
}

void Tfcuedeck::updateDeviceStatus() {
    const media::Engine::DeviceState state = m_engine.deviceState();
    QString text;
    if (state.output != media::Engine::Output::Device)
        text = noSoundDeviceText();
    else if (state.chosenMissing)
        text = missingOutputDeviceText(QString::fromStdString(state.chosen));
    if (ui.statusNoDevice->text() != text)
        ui.statusNoDevice->setText(text);
    ui.statusNoDevice->setVisible(!text.isEmpty());
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
