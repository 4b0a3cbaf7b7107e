#pragma once
// The pages of 設定… for the remote surfaces: "リモートパネル" (the phone and tablet panel:
// on or off, loopback or the LAN, the port and the PIN) and "ホットキー" (hotkeys from
// anywhere: on or off, and the key of each pad and of stop all). Each is applied with its
// button and saved in a file of its own.

#include "hotkeys.h"
#include "panelserver.h"

#include <QWidget>

#include <array>

class QCheckBox;
class QKeySequenceEdit;
class QLabel;
class QPushButton;
class QSpinBox;

// Reads "conf/panel.ini" and starts the panel when it is on (a PIN is made and saved the
// first time). Returns "" or a notice for the status bar.
QString startPanelFromFile(remote::PanelServer& server, const QString& file);
// Reads "conf/hotkeys.ini" and binds the keys when they are on. Returns "" or a notice.
QString startHotkeysFromFile(remote::Hotkeys& hotkeys, const QString& file);

class RemotePanelPage : public QWidget {
    Q_OBJECT
public:
    RemotePanelPage(remote::PanelServer& server, QString file, QWidget* parent = nullptr);

    QCheckBox* enabledBox() const { return m_enabled; }
    QCheckBox* networkBox() const { return m_network; }
    QSpinBox* portBox() const { return m_port; }
    QLabel* pinLabel() const { return m_pin; }
    QLabel* stateLabel() const { return m_state; }
    QLabel* errorLabel() const { return m_error; }
    QPushButton* newPinButton() const { return m_newPin; }

    // Saves and applies what the page shows; false (with the reason on the page) when the
    // port cannot be opened. A file that cannot be written throws EInOutError.
    bool apply();

private:
    void showState();

    remote::PanelServer& m_server;
    QString m_file;
    QLabel* m_state;
    QCheckBox* m_enabled;
    QCheckBox* m_network;
    QSpinBox* m_port;
    QLabel* m_pin;
    QPushButton* m_newPin;
    QLabel* m_error;
};

class HotkeyPage : public QWidget {
    Q_OBJECT
public:
    HotkeyPage(remote::Hotkeys& hotkeys, QString file, QWidget* parent = nullptr);

    QCheckBox* enabledBox() const { return m_enabled; }
    QKeySequenceEdit* keyEdit(int index) const { return m_keys[index]; }
    QLabel* stateLabel() const { return m_state; }
    QLabel* errorLabel() const { return m_error; }

    // Saves and binds what the page shows; false (with the reason on the page) when two
    // actions share a key or a key has no Ctrl, Alt or Super (F1..F24 excepted). A file that
    // cannot be written throws EInOutError.
    bool apply();

private:
    void showConfig(const remote::HotkeyConfig& config);
    void showState();

    remote::Hotkeys& m_hotkeys;
    QString m_file;
    QLabel* m_state;
    QLabel* m_problems;
    QCheckBox* m_enabled;
    std::array<QKeySequenceEdit*, remote::HotkeyConfig::kKeys> m_keys{};
    QLabel* m_error;
};
