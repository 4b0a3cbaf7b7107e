#include "cuedeck.h"

#include "apptitle.h"
#include "boardjournal.h"
#include "boardview.h"
#include "cueplayer.h"
#include "datafolder.h"
#include "dialogs.h"
#include "engine.h"
#include "hotkeys.h"
#include "loudnesspage.h"
#include "outputdevicepage.h"
#include "padboard.h"
#include "panelserver.h"
#include "placement.h"
#include "remotecontrol.h"
#include "remotesettings.h"
#include "setlistslots.h"
#include "settings.h"
#include "settingsdialog.h"
#include "surfacesettings.h"
#include "viewscale.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QShortcut>
#include <QShowEvent>
#include <QStatusBar>
#include <QTimer>
#include <QUrl>
#include <QWindow>

#include <cmath>

Tfcuedeck::Tfcuedeck(media::Engine& engine, QWidget* parent)
    : Tfcuedeck(engine, ProgramFolder(), parent) {}

Tfcuedeck::Tfcuedeck(media::Engine& engine, const QString& programFolder, QWidget* parent)
    : QMainWindow(parent), m_engine(engine), m_programFolder(programFolder) {
    setObjectName(QStringLiteral("fcuedeck"));
    setWindowTitle(QStringLiteral("CUEDECK"));
    setWindowIcon(QIcon(QStringLiteral(":/logo.png")));

    ui = buildMainLayout(this);
    m_board = new PadBoard(engine, ui.Panel1, this);
    // The window's startup field says what the model's loading state says.
    connect(&m_board->model(), &PadModel::loadingChanged, this,
            [this](bool loading) { startup = loading ? 1 : 0; });
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
    connect(ui.ButtonStopAll, &QPushButton::clicked, this, [this] { m_board->model().stopAll(); });
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
    const QString server = rememberedOutputServer(settingsFile());
    if (server.toStdString() != m_engine.deviceState().server)
        m_engine.chooseOutputServer(server.toStdString());
    // The monitor output follows the board's sound server; it is off unless one was chosen.
    CuePlayer& cue = m_board->model().cue();
    cue.chooseServer(server.toStdString());
    connect(&cue, &CuePlayer::availabilityChanged, this, [this] { updateDeviceStatus(); });
    cue.setDevice(rememberedCueDevice(settingsFile()));
    m_slots = new SetListSlots(m_board->model(), m_board->OpenDialog1, DataFolder, ui.statusSlot,
                               ui.statusPath, this, this);
    m_journal = new BoardJournal(m_board->model(), *m_slots, DataFolder, this);
    wireSetListButtons();
    wireRemote();

    // Esc stops every pad, as the stop-all button does; while a dialog is open it is the
    // dialog's. A held key stops once: only a second press cuts the fades short.
    auto* stopAll = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    stopAll->setObjectName(QStringLiteral("stopAllKey"));
    stopAll->setContext(Qt::WindowShortcut);
    stopAll->setAutoRepeat(false);
    connect(stopAll, &QShortcut::activated, this, [this] { m_board->model().stopAll(); });

    setAcceptDrops(true);

    // Every control exists now, at design size: the scale applies to all of them.
    m_scaler = std::make_unique<ViewScaler>(this);
    applyViewScale();
}

Tfcuedeck::~Tfcuedeck() {
    // The inputs stop before the board they act on goes.
    delete m_hotkeys;
    delete m_panel;
    delete m_remote; // with the board view it owns
}

void Tfcuedeck::wireRemote() {
    m_remote = new remote::RemoteControl(m_board->model(), *m_slots, DataFolder, this);
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
    connect(m_remote, &remote::RemoteControl::notice, this, &Tfcuedeck::showRemoteNotice);
    connect(m_journal, &BoardJournal::writeFailed, this, &Tfcuedeck::showRemoteNotice);
    // The phone panel and the hotkeys: off until the operator turns them on (in showEvent).
    // They see the board through the remote control's view: one look at the board for all.
    m_boardView = &m_remote->view();
    m_panel = new remote::PanelServer(*m_boardView, this);
    m_panel->setBusyCheck(modalDialogHoldsWindow);
    connect(m_panel, &remote::PanelServer::notice, this, &Tfcuedeck::showRemoteNotice);
    m_hotkeys = new remote::Hotkeys(*m_boardView, nullptr, this);
    m_hotkeys->setBusyCheck(modalDialogHoldsWindow);
    connect(m_hotkeys, &remote::Hotkeys::notice, this, &Tfcuedeck::showRemoteNotice);
    QAction* learn = m_board->PopupMenu1->addAction(QStringLiteral("MIDI 割り当て…"));
    learn->setObjectName(QStringLiteral("N3"));
    connect(learn, &QAction::triggered, this,
            [this] { dialogs::guarded([this] { learnMidiForPad(m_board->popupPad()); }); });
}

void Tfcuedeck::showRemoteNotice(const QString& text) {
    m_remoteNotice->setText(text);
    m_remoteNotice->setToolTip(text);
    m_remoteNotice->show();
    m_remoteNoticeTimer->start();
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
    fitToScreen();
}

namespace {

// The screen that holds most of `rect`; the primary screen when none does.
QScreen* screenOf(const QRect& rect) {
    QScreen* best = QGuiApplication::primaryScreen();
    qint64 bestArea = 0;
    for (QScreen* screen : QGuiApplication::screens()) {
        const QRect common = screen->geometry() & rect;
        const qint64 area = qint64(common.width()) * common.height();
        if (!common.isEmpty() && area > bestArea) {
            best = screen;
            bestArea = area;
        }
    }
    return best;
}

// Every length of the theme, in pixels, times `scale` (at least one pixel).
QString scaledSheet(const QString& sheet, qreal scale) {
    static const QRegularExpression length(QStringLiteral("(\\d+)px"));
    QString result;
    qsizetype from = 0;
    for (auto it = length.globalMatch(sheet); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        const int design = m.captured(1).toInt();
        const long px = design == 0 ? 0 : std::max(1L, std::lround(design * scale));
        result += QStringView(sheet).mid(from, m.capturedStart() - from);
        result += QString::number(px) + QStringLiteral("px");
        from = m.capturedEnd();
    }
    result += QStringView(sheet).mid(from);
    return result;
}

} // namespace

void Tfcuedeck::fitToScreen() {
    // Before the window manager has framed the window, its frame is not known: the next
    // fit, once the window is shown, takes it into account.
    const QRect frame = frameGeometry();
    const QMargins margins(geometry().left() - frame.left(), geometry().top() - frame.top(),
                           frame.right() - geometry().right(),
                           frame.bottom() - geometry().bottom());
    const QRect wanted(pos(), size());
    QScreen* screen = screenOf(QRect(wanted.topLeft(), wanted.size().grownBy(margins)));
    if (!screen)
        return;
    const QRect fitted = fitWindow(wanted, screen->availableGeometry(), margins,
                                   QSize(MainLayout::kClientWidth, MainLayout::kClientHeight));
    if (fitted == wanted)
        return;
    move(fitted.topLeft());
    resize(fitted.size());
}

qreal Tfcuedeck::viewScale() const {
    return m_scaler ? m_scaler->scale() : 1.0;
}

// The one place the board's scale is decided: from the window's size, which the user or the
// screen gives it.
void Tfcuedeck::applyViewScale() {
    if (!m_scaler)
        return;
    const qreal scale =
        ViewScaler::factorFor(size(), QSize(MainLayout::kClientWidth, MainLayout::kClientHeight));
    // The theme's lengths (paddings, borders, the check box's box) scale with the board. The
    // style sheet goes first: setting it gives the widgets back the fonts they had before.
    QString sheet;
    if (scale != 1.0 && qApp->property("cuedeckTheme").toString() == QLatin1String("Glow"))
        sheet = scaledSheet(qobject_cast<QApplication*>(qApp)->styleSheet(), scale);
    const bool newSheet = sheet != m_scaledSheet;
    if (newSheet) {
        m_scaledSheet = sheet;
        ui.client->setStyleSheet(sheet);
    }
    if (scale != m_scaler->scale() || newSheet)
        m_scaler->apply(scale);
}

void Tfcuedeck::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    applyViewScale();
}

void Tfcuedeck::FormShow() {
    m_board->model().takePlayerVolumes();
    m_slots->FormShow();
    m_journal->offerRestore();
    m_journal->start();
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
    dialog.addPage(new OutputDevicePage(m_engine, settingsFile(), &m_board->model().cue()),
                   QStringLiteral("出力デバイス"));
    dialog.setProperty(kRemoteSafeProperty, true); // holds nothing of the board
    dialog.addPage(new MidiSettingsPage(*m_remote), QStringLiteral("MIDI"));
    dialog.addPage(new OscSettingsPage(*m_remote), QStringLiteral("OSC"));
    dialog.addPage(new RemotePanelPage(*m_panel, DataFolder + QStringLiteral("/conf/panel.ini")),
                   QStringLiteral("リモートパネル"));
    dialog.addPage(new HotkeyPage(*m_hotkeys, DataFolder + QStringLiteral("/conf/hotkeys.ini")),
                   QStringLiteral("ホットキー"));
    dialog.addPage(new LoudnessPage(settingsFile()), QStringLiteral("ラウドネス"));
    dialog.exec();
}

QString Tfcuedeck::settingsFile() const {
    return settings::path(DataFolder);
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
    // A monitor device that is missing: cues are refused until it returns.
    const CuePlayer& cue = m_board->model().cue();
    const QString monitor = cue.status() == CuePlayer::Status::Missing
                                ? CuePlayer::missingText(cue.device())
                                : QString();
    if (ui.statusNoMonitor->text() != monitor)
        ui.statusNoMonitor->setText(monitor);
    ui.statusNoMonitor->setVisible(!monitor.isEmpty());
    // Once for every step the output's buffer went deeper.
    if (state.deepened > m_deepenedSaid) {
        m_deepenedSaid = state.deepened;
        statusBar()->showMessage(deepenedOutputText(), kDeepenedMessageMs);
    }
}

void Tfcuedeck::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (m_shown || event->spontaneous())
        return;
    m_shown = true;
    // Framed and on its screen now: fit again with the frame known.
    QTimer::singleShot(0, this, &Tfcuedeck::fitToScreen);
    // Moved to a screen too small for it: shrunk to fit. A window that fits is left where the
    // user is putting it.
    if (QWindow* handle = windowHandle())
        connect(handle, &QWindow::screenChanged, this, [this](QScreen* screen) {
            if (!screen)
                return;
            const QSize room = screen->availableGeometry().size();
            const QSize outer = frameGeometry().size();
            if (outer.width() > room.width() || outer.height() > room.height())
                fitToScreen();
        });
    dialogs::guarded([this] { FormShow(); });
    // Remote commands act on the loaded board only.
    m_remote->start();
    QStringList notices{
        startPanelFromFile(*m_panel, DataFolder + QStringLiteral("/conf/panel.ini")),
        startHotkeysFromFile(*m_hotkeys, DataFolder + QStringLiteral("/conf/hotkeys.ini"))};
    notices.removeAll(QString());
    if (!notices.isEmpty())
        showRemoteNotice(notices.join(QStringLiteral(" / ")));
}

// ---- drops --------------------------------------------------------------------------------

int Tfcuedeck::padUnder(const QPoint& pos) const {
    return m_board->padAt(ui.Panel1->mapFrom(this, pos));
}

void Tfcuedeck::dragEnterEvent(QDragEnterEvent* event) {
    m_drag = readFileDrop(event->mimeData());
    if (m_drag.kind == FileDrop::Kind::None)
        return; // not a file: not for this window
    // Every file drag is taken, so that one the board cannot use gets its message.
    event->acceptProposedAction();
    m_board->showDropTarget(m_drag.forPad() ? padUnder(event->position().toPoint()) : 0);
}

void Tfcuedeck::dragMoveEvent(QDragMoveEvent* event) {
    event->acceptProposedAction();
    m_board->showDropTarget(m_drag.forPad() ? padUnder(event->position().toPoint()) : 0);
}

void Tfcuedeck::dragLeaveEvent(QDragLeaveEvent*) {
    m_board->showDropTarget(0);
}

void Tfcuedeck::dropEvent(QDropEvent* event) {
    m_board->showDropTarget(0);
    const FileDrop drop = readFileDrop(event->mimeData());
    const int pad = padUnder(event->position().toPoint());
    event->acceptProposedAction();
    // The file manager waits for the drop to end: questions and dialogs come after it.
    QMetaObject::invokeMethod(
        this, [this, drop, pad] { dialogs::guarded([&] { takeDrop(drop, pad); }); },
        Qt::QueuedConnection);
}

void Tfcuedeck::takeDrop(const FileDrop& drop, int pad) {
    const QString refusal = refusalOf(drop, pad);
    if (!refusal.isEmpty()) {
        dialogs::messageDlg(refusal, dialogs::MsgKind::Warning, dialogs::mbOK);
        return;
    }
    switch (drop.kind) {
    case FileDrop::Kind::Clip:
        m_board->model().chooseClip(pad, drop.path);
        break;
    case FileDrop::Kind::Picture:
        m_board->model().choosePicture(pad, drop.path);
        break;
    case FileDrop::Kind::SetList:
        m_slots->loadChosenFile(drop.path);
        break;
    default:
        break;
    }
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
    m_panel->stop();
    m_hotkeys->apply({});
    // A failure while closing is shown, but does not keep the user from quitting.
    dialogs::guarded([this] { FormClose(); });
    m_journal->finish(); // a clean exit leaves no journal
}
