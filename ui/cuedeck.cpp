#include "cuedeck.h"

#include "apptitle.h"
#include "datafolder.h"
#include "dialogs.h"
#include "engine.h"
#include "padboard.h"
#include "placement.h"
#include "remotecontrol.h"
#include "remotesettings.h"
#include "setlistslots.h"
#include "settingsdialog.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QStatusBar>
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
    // An operator who hears nothing should know why.
    ui.statusNoDevice->setVisible(!engine.hasSoundDevice());

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
    m_slots =
        new SetListSlots(*m_board, &startup, DataFolder, ui.statusSlot, ui.statusPath, this, this);
    wireSetListButtons();
    wireRemote();
}

Tfcuedeck::~Tfcuedeck() {
    // The inputs stop before the board they act on goes.
    delete m_remote;
}

void Tfcuedeck::wireRemote() {
    m_remote = new remote::RemoteControl(*m_board, *m_slots, DataFolder, this);
    m_remote->setBusyCheck(modalDialogHoldsWindow);
    m_remoteNotice = new QLabel(ui.StatusBar1);
    m_remoteNotice->setObjectName(QStringLiteral("remoteNotice"));
    m_remoteNotice->hide();
    // A long notice must not widen the window: it takes what room the bar has left.
    m_remoteNotice->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    ui.StatusBar1->addPermanentWidget(m_remoteNotice, 1);
    m_remoteNoticeTimer = new QTimer(this);
    m_remoteNoticeTimer->setSingleShot(true);
    m_remoteNoticeTimer->setInterval(8000);
    connect(m_remoteNoticeTimer, &QTimer::timeout, this, [this] {
        m_remoteNotice->clear();
        m_remoteNotice->hide();
    });
    connect(m_remote, &remote::RemoteControl::notice, this, [this](const QString& text) {
        m_remoteNotice->setText(text);
        m_remoteNotice->setToolTip(text);
        m_remoteNotice->show();
        m_remoteNoticeTimer->start();
    });
    QAction* learn = m_board->PopupMenu1->addAction(QStringLiteral("MIDI 割り当て…"));
    learn->setObjectName(QStringLiteral("N3"));
    connect(learn, &QAction::triggered, this,
            [this] { dialogs::guarded([this] { learnMidiForPad(m_board->popupPad()); }); });
}

void Tfcuedeck::learnMidiForPad(int pad) {
    if (pad < 1 || pad > PadBoard::kPads)
        return;
    MidiLearnDialog dialog(*m_remote, pad, this);
    dialog.exec();
}

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
    return m_programFolder + QStringLiteral("help/index.html");
}

void Tfcuedeck::Button11Click() {
    const QString manual = helpFile();
    // A missing manual or viewer leaves the program as it is.
    if (QFileInfo(manual).isFile())
        QDesktopServices::openUrl(QUrl::fromLocalFile(manual));
}

void Tfcuedeck::openSettings() {
    SettingsDialog dialog(this);
    dialog.setProperty(kRemoteSafeProperty, true); // holds nothing of the board
    dialog.addPage(new MidiSettingsPage(*m_remote), QStringLiteral("MIDI"));
    dialog.addPage(new OscSettingsPage(*m_remote), QStringLiteral("OSC"));
    dialog.exec();
}

void Tfcuedeck::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (m_shown || event->spontaneous())
        return;
    m_shown = true;
    dialogs::guarded([this] { FormShow(); });
    // Remote commands act on the loaded board only.
    m_remote->start();
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
    m_remote->shutdown(); // nothing remote reaches the pads while they are released
    // A failure while closing is shown, but does not keep the user from quitting.
    dialogs::guarded([this] { FormClose(); });
}
