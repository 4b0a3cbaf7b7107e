#pragma once
// The monitor output's commands on the board: Ctrl with a pad's key and the pad menu's
// "モニターで試聴" play the pad's clip on the monitor output alone (a second press stops the
// cue), and the clip dialog's "試聴" button plays the file under the dialog's cursor there.
// While no monitor output plays, the commands are disabled and their tooltips say why.

#include "board.h"

#include <QObject>
#include <QPointer>
#include <QPushButton>
#include <QString>

#include <array>

class CuePlayer;
class PadBoard;
class QAction;
class QFileDialog;
class QShortcut;
class QWidget;

class CueCommands : public QObject {
    Q_OBJECT
public:
    CueCommands(PadBoard& board, QWidget* padParent);

    QShortcut* shortcut(int pad) const { return m_keys.at(size_t(pad - 1)); }
    QAction* menuAction() const { return m_menu; }
    QPushButton* dialogButton() const { return m_dialogButton; }

    // Cues `pad`, or stops its cue when it sounds on the monitor; a pad without a clip is left
    // alone. Errors go to the error box.
    void toggle(int pad);

private:
    void showAvailability();
    void showDialogCue();
    void cueUnderCursor();
    int dialogPad() const;

    PadBoard& m_board;
    CuePlayer& m_cue;
    std::array<QShortcut*, board::kPads> m_keys{};
    QAction* m_menu = nullptr;
    QPointer<QFileDialog> m_dialog;
    QPointer<QPushButton> m_dialogButton; // goes with the dialog
    QString m_underCursor; // the dialog's file under the cursor ("" for none or a folder)
    int m_dialogCue = 0;   // the pad whose voice the dialog's cue plays on (0: none sounds)
};
