#pragma once
// The settings page "出力デバイス": where the board's sound goes. It lists "既定のデバイス"
// (the system's default output) and the sound server's outputs by their readable names. A
// choice applies at once, without a click, and pads that sound go on sounding on the new
// output; it is remembered in "conf/settings.ini" under "output/device" (absent = the
// default). A test tone checks the output. The list follows the sound server while the page is
// open: an output plugged in or removed appears or goes. Below the list the sound server can be
// forced ("output/backend", absent = the first that answers), and the page counts the
// dropouts the server reported. Last, "モニター出力": the output a cue plays on (headphones),
// "オフ" by default; chosen at once, and remembered under "output/cue".

#include <QString>
#include <QWidget>

class CuePlayer;
class QComboBox;
class QLabel;
class QListWidget;
class QListWidgetItem;
class QPushButton;
class QTimer;

namespace media {
class Engine;
}

class OutputDevicePage : public QWidget {
    Q_OBJECT
public:
    // `settingsFile`: the settings file the choice is remembered in. Without `cue` the page
    // has no monitor output choice.
    OutputDevicePage(media::Engine& engine, QString settingsFile, CuePlayer* cue = nullptr,
                     QWidget* parent = nullptr);

    QListWidget* deviceList() const { return m_list; }
    QPushButton* testToneButton() const { return m_test; }
    QLabel* stateLabel() const { return m_state; }
    QComboBox* serverBox() const { return m_server; }
    QLabel* dropoutLabel() const { return m_dropouts; }
    QComboBox* monitorBox() const { return m_monitor; }
    QLabel* monitorState() const { return m_monitorState; }

    // The list's name for the system default.
    static QString defaultDeviceText();
    // The monitor list's entry for no monitor output.
    static QString monitorOffText();

private:
    void refresh();
    void choose(QListWidgetItem* item);
    void chooseServer(int index);
    void refreshMonitor(const QStringList& devices);
    void chooseMonitor(int index);

    media::Engine& m_engine;
    QString m_settingsFile;
    QListWidget* m_list;
    QPushButton* m_test;
    QLabel* m_state;
    QComboBox* m_server;
    QLabel* m_dropouts;
    CuePlayer* m_cue;
    QComboBox* m_monitor = nullptr;
    QLabel* m_monitorState = nullptr;
    QStringList m_monitorShown; // the monitor list's devices, with the choice
    QTimer* m_timer;
    QStringList m_shown; // the outputs the list shows, with the choice
    bool m_filling = false;
};

// The settings key of the chosen output device.
QString outputDeviceKey();
// The output device remembered in `settingsFile`; "" (the system default) when none is, or
// when the file cannot be read.
QString rememberedOutputDevice(const QString& settingsFile);
// Remembers `device` ("" = the system default) in `settingsFile`, keeping its other keys.
// Throws EInOutError when the file cannot be read or written.
void rememberOutputDevice(const QString& settingsFile, const QString& device);
// The monitor output remembered in `settingsFile`; "" (none) when none is or the file cannot
// be read.
QString rememberedCueDevice(const QString& settingsFile);
// The sound server remembered in `settingsFile`: one of media::kServerNames, "auto" when none
// is (or the file cannot be read).
QString rememberedOutputServer(const QString& settingsFile);
// The status bar's words when repeated dropouts made the output's buffer deeper.
QString deepenedOutputText();
// The status bar's text for a remembered device that is not there.
QString missingOutputDeviceText(const QString& device);
