#pragma once
// The main window fcuedeck: the gradient side panel, the set list and system buttons, the
// eight pads and the status bar. It owns the pad board and the set list slots and hands the
// events of its controls to them; its four moments (creation, first showing, close request,
// close) run the work of each part in a fixed order.

#include "mainlayout.h"

#include <QMainWindow>
#include <QString>

class PadBoard;
class QCloseEvent;
class QTimer;
class QShowEvent;
class SetListSlots;

namespace media {
class Engine;
}

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
    // First showing: the sliders take their players' volumes, then set list 1 is loaded.
    void FormShow();
    // Close request: returns whether the close goes ahead. Saves the window placement
    // whatever the answer.
    bool FormCloseQuery();
    // Close: every pad released, the board written to "conf/def.conf".
    void FormClose();

    // Set lists, as the handlers use them.
    void SaveSetList(const QString& path);
    void LoadSetList(const QString& path);
    bool SetListModified();

    // Help: the manual beside the program ("help/index.html") in the desktop's viewer.
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

    PadBoard& board() const { return *m_board; }
    SetListSlots& setLists() const { return *m_slots; }
    const MainLayout& controls() const { return ui; }

    // While 1, volume slider changes are not passed on to the clip players.
    int startup = 0;
    // The data folder, without trailing "/"; every working file is DataFolder + "/...".
    QString DataFolder;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void applyPlacement();
    void wireSetListButtons();

    media::Engine& m_engine;
    QString m_programFolder;
    MainLayout ui;
    PadBoard* m_board = nullptr;
    SetListSlots* m_slots = nullptr;
    QTimer* m_deviceWatch = nullptr;
    bool m_shown = false;
};
