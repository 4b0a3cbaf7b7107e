#pragma once
// The main window fcuedeck: the gradient side panel, the set list and system buttons, the
// eight pads and the status bar. It owns the pad board and the set list slots and hands the
// events of its controls to them; its four moments (creation, first showing, close request,
// close) run the work of each part in a fixed order.

#include "filedrop.h"
#include "mainlayout.h"

#include <QMainWindow>
#include <QString>

#include <memory>

class BoardJournal;
class PadBoard;
class QCloseEvent;
class QLabel;
class QTimer;
class QShowEvent;
class SetListSlots;
class ViewScaler;

namespace media {
class Engine;
}
namespace remote {
class BoardView;
class Hotkeys;
class PanelServer;
class RemoteControl;
} // namespace remote

class Tfcuedeck : public QMainWindow {
    Q_OBJECT
public:
    // The window that seeds its data folder from the executable's folder.
    explicit Tfcuedeck(media::Engine& engine, QWidget* parent = nullptr);
    // The window that seeds its data folder from `programFolder` (with a trailing "/").
    Tfcuedeck(media::Engine& engine, const QString& programFolder, QWidget* parent = nullptr);
    ~Tfcuedeck() override;

    // The four moments of the window's life. Each does its work in a fixed order and lets
    // errors escape; the event handlers that call them show those errors in the error box.
    // Creation: prepares the data folder, then applies the stored window placement.
    void FormCreate();
    // First showing: the sliders take their players' volumes, then set list 1 is loaded; a
    // board the last session left in the crash journal is offered, and journaling starts.
    void FormShow();
    // Close request: returns whether the close goes ahead. Saves the window placement
    // whatever the answer.
    bool FormCloseQuery();
    // Close: every pad released, the board written to "conf/def.conf". The crash journal goes
    // once the close is done.
    void FormClose();

    // Set lists, as the handlers use them.
    void SaveSetList(const QString& path);
    void LoadSetList(const QString& path);
    bool SetListModified();

    // Help: the manual of the program folder ("help/index.html") in the desktop's viewer.
    void Button11Click();
    // The manual's path; nothing happens when it is missing.
    QString helpFile() const;
    // Settings (output device, MIDI, OSC) in a modal dialog.
    void openSettings();
    // "conf/settings.ini" of the data folder.
    QString settingsFile() const;
    // The status bar's device section: "サウンドデバイスがありません" while no device plays,
    // a notice while a remembered device is missing and the default plays, nothing otherwise.
    // Runs a few times a second.
    void updateDeviceStatus();
    static constexpr int kDeviceWatchMs = 250;
    static constexpr int kDeepenedMessageMs = 10000;

    // The board's scale: 1 at design size; below 1 when the window is smaller (a screen too
    // small for the design size, or the user's choice), above when it is larger.
    qreal viewScale() const;
    // Fits the window inside the free area of its screen, scaling the board down, when it
    // does not fit there as it is.
    void fitToScreen();
    // Takes a dropped file as the drop `drop` on the pad `pad` (0: none) says.
    void takeDrop(const FileDrop& drop, int pad);

    PadBoard& board() const { return *m_board; }
    SetListSlots& setLists() const { return *m_slots; }
    // The crash journal of the board, "conf/board.journal".
    BoardJournal& journal() const { return *m_journal; }
    // MIDI and OSC triggers; they start listening once the window has been shown.
    remote::RemoteControl& remoteControl() const { return *m_remote; }
    // The status bar section for the remote triggers' notices (cleared after a few seconds).
    QLabel* remoteNotice() const { return m_remoteNotice; }
    remote::PanelServer& panel() const { return *m_panel; }
    remote::Hotkeys& hotkeys() const { return *m_hotkeys; }
    // "MIDI 割り当て…" of the pad menu.
    void learnMidiForPad(int pad);
    const MainLayout& controls() const { return ui; }

    // While 1, volume slider changes are not passed on to the clip players.
    int startup = 0;
    // The data folder, without trailing "/"; every working file is DataFolder + "/...".
    QString DataFolder;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void applyPlacement();
    void wireSetListButtons();
    void wireRemote();
    void showRemoteNotice(const QString& text);
    void applyViewScale();
    int padUnder(const QPoint& pos) const;

    media::Engine& m_engine;
    QString m_programFolder;
    MainLayout ui;
    PadBoard* m_board = nullptr;
    SetListSlots* m_slots = nullptr;
    BoardJournal* m_journal = nullptr;
    remote::RemoteControl* m_remote = nullptr;
    remote::BoardView* m_boardView = nullptr;
    remote::PanelServer* m_panel = nullptr;
    remote::Hotkeys* m_hotkeys = nullptr;
    QLabel* m_remoteNotice = nullptr;
    QTimer* m_remoteNoticeTimer = nullptr;
    QTimer* m_deviceWatch = nullptr;
    int m_deepenedSaid = 0; // the output's buffer steps the status bar has told of
    bool m_shown = false;
    std::unique_ptr<ViewScaler> m_scaler;
    QString m_scaledSheet; // the theme at the board's scale, on the client area
    FileDrop m_drag;       // what the drag over the window holds
};
