#pragma once
// The remote triggers' faces in the window: the "MIDI" and "OSC" pages of the settings dialog,
// the learn dialog of the pad menu's "MIDI 割り当て…", and the check that tells remote
// commands when a dialog holds the window.

#include "midimapping.h"
#include "oscserver.h"

#include <QDialog>
#include <QWidget>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTableWidget;
class QTimer;

namespace remote {
class RemoteControl;
}

// Dialogs that leave the board free for remote commands carry this property (true): the
// settings dialog and the learn dialog.
inline constexpr const char* kRemoteSafeProperty = "remoteSafe";
// True while a modal dialog other than those holds the window.
bool modalDialogHoldsWindow();

// Every target with its binding; a learn button and a clear button per row, and a reset of the
// whole mapping to the default.
class MidiSettingsPage : public QWidget {
    Q_OBJECT
public:
    explicit MidiSettingsPage(remote::RemoteControl& remote, QWidget* parent = nullptr);
    ~MidiSettingsPage() override;

    QTableWidget* table() const { return m_table; }
    QPushButton* learnButton(int row) const;
    QPushButton* clearButton(int row) const;
    QPushButton* resetButton() const { return m_reset; }
    QComboBox* feedbackBox() const { return m_profile; }
    QCheckBox* connectAllBox() const { return m_connectAll; }

private:
    void refresh();
    void refreshInputs();
    void learnRow(int row);
    void clearRow(int row);
    void reset();

    remote::RemoteControl& m_remote;
    QLabel* m_inputs;
    QTableWidget* m_table;
    QPushButton* m_reset;
    QComboBox* m_profile = nullptr;
    QCheckBox* m_connectAll = nullptr;
    QTimer* m_inputsTimer;
    int m_learningRow = -1;
};

// Listening on the local network, its allow-list and the port; applied with a button, reset to
// the default listening on this machine only.
class OscSettingsPage : public QWidget {
    Q_OBJECT
public:
    explicit OscSettingsPage(remote::RemoteControl& remote, QWidget* parent = nullptr);

    QCheckBox* networkBox() const { return m_network; }
    QSpinBox* portBox() const { return m_port; }
    QLineEdit* allowEdit() const { return m_allow; }
    QPushButton* resetButton() const { return m_reset; }
    QLabel* stateLabel() const { return m_state; }
    QLabel* errorLabel() const { return m_error; }

    // Applies what the page shows; false (with the reason on the page) when it cannot.
    bool apply();

private:
    void showConfig(const remote::OscConfig& config);
    void reset();

    remote::RemoteControl& m_remote;
    QLabel* m_state;
    QCheckBox* m_network;
    QSpinBox* m_port;
    QLineEdit* m_allow;
    QLabel* m_error;
    QPushButton* m_apply;
    QPushButton* m_reset;
};

// "MIDI 割り当て…" of the pad menu: waits for the next note or controller and binds it to the
// pad's play, or (when chosen) a controller to its volume slider. Closes itself once bound.
class MidiLearnDialog : public QDialog {
    Q_OBJECT
public:
    MidiLearnDialog(remote::RemoteControl& remote, int pad, QWidget* parent = nullptr);
    ~MidiLearnDialog() override;

    QPushButton* playChoice() const { return m_play; }
    QPushButton* volumeChoice() const { return m_volume; }

private:
    void choose(remote::midi::Action action);

    remote::RemoteControl& m_remote;
    int m_pad;
    QPushButton* m_play;
    QPushButton* m_volume;
    QLabel* m_prompt;
};
