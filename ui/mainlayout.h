#pragma once
// The main window's controls, their places, captions and fonts, at 96 DPI logical pixels:
// the gradient side panel with the title, the column of set list and system buttons, the area
// that holds the eight pad frames, and the status bar.

#include "board.h"

#include <QString>
#include <array>

class CategoryPanel;
class CategoryPanelGroup;
class PadBoard;
class QAction;
class QLabel;
class QMainWindow;
class QPushButton;
class QStatusBar;
class QWidget;
class TGradPan;

struct MainLayout {
    static constexpr int kClientWidth = 1747;
    static constexpr int kClientHeight = 880;
    static constexpr int kSlots = board::kSetLists;

    QWidget* client = nullptr;

    TGradPan* GradPan9 = nullptr;
    QLabel* Image33 = nullptr;
    QLabel* Ver3 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label14 = nullptr;
    QLabel* Label12 = nullptr;

    QWidget* Panel1 = nullptr; // holds the side column and the pad frames
    QWidget* SplitView1 = nullptr;
    CategoryPanelGroup* CategoryPanelGroup1 = nullptr;
    CategoryPanel* CategoryPanel1 = nullptr;
    CategoryPanel* CategoryPanel3 = nullptr;
    std::array<QPushButton*, kSlots> setlist{}; // setlist1 .. setlist10, tags 1..10
    QPushButton* Button11 = nullptr;            // help
    QPushButton* Button22 = nullptr;            // save set list
    QPushButton* Button10 = nullptr;            // copy set list
    QPushButton* Button16 = nullptr;            // paste set list
    QPushButton* Button21 = nullptr;            // load file
    QPushButton* Button2 = nullptr;             // save file
    QPushButton* Button13 = nullptr;            // exit, bound to FileExit1
    QAction* FileExit1 = nullptr;
    QPushButton* ButtonSettings = nullptr; // output device, MIDI and OSC settings
    QPushButton* ButtonStopAll = nullptr;  // fades every sounding pad out (also Esc)

    QWidget* Panel3 = nullptr; // the bottom bar
    QStatusBar* StatusBar1 = nullptr;
    QLabel* statusSlot = nullptr;      // panel 0: the current set list number
    QLabel* statusPath = nullptr;      // panel 1: the current set list file
    QLabel* statusNoDevice = nullptr;  // shown when the engine has no sound device
    QLabel* statusNoMonitor = nullptr; // shown while the chosen monitor device is missing
};

// Builds the controls as the window's central widget and sets the window's font and client
// size. The pad board places its frames in `Panel1` afterwards.
MainLayout buildMainLayout(QMainWindow* window);

// Gives the pad frames, their picture frames and play buttons the roles the style sheet knows.
void markPadRoles(const PadBoard& board);

// The status bar's third section, shown once when the engine runs without a sound device.
QString noSoundDeviceText();
