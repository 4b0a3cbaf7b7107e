#pragma once
// The settings page "出力デバイス": where the board's sound goes. It lists "既定のデバイス"
// (the system's default output) and the sound server's outputs by their readable names. A
// choice applies at once, without a click, and pads that sound go on sounding on the new
// output; it is remembered in "conf/settings.ini" under "output/device" (absent = the
// default). A test tone checks the output. The list follows the sound server while the page is
// open: an output plugged in or removed appears or goes.

#include <QString>
#include <QWidget>

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
    // `settingsFile`: the settings file the choice is remembered in.
    OutputDevicePage(media::Engine& engine, QString settingsFile, QWidget* parent = nullptr);

    QListWidget* deviceList() const { return m_list; }
    QPushButton* testToneButton() const { return m_test; }
    QLabel* stateLabel() const { return m_state; }

    // The list's name for the system default.
    static QString defaultDeviceText();

private:
    void refresh();
    void choose(QListWidgetItem* item);

    media::Engine& m_engine;
    QString m_settingsFile;
    QListWidget* m_list;
    QPushButton* m_test;
    QLabel* m_state;
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
// The status bar's text for a remembered device that is not there.
QString missingOutputDeviceText(const QString& device);
