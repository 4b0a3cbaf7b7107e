#pragma once
// The main window fcuedeck: the pad board, the set list and system buttons, the status bar.

#include <QMainWindow>
#include <QString>

class QCloseEvent;
class QShowEvent;

class Tfcuedeck : public QMainWindow {
    Q_OBJECT
public:
    // The window that seeds its data folder from the executable's folder.
    explicit Tfcuedeck(QWidget* parent = nullptr);
    // The window that seeds its data folder from `programFolder` (with a trailing "/").
    explicit Tfcuedeck(const QString& programFolder, QWidget* parent = nullptr);

    // The four moments of the window's life. Each does its work in a fixed order and lets
    // errors escape; the event handlers that call them show those errors in the error box.
    // Creation: prepares the data folder, then applies the stored window placement.
    void FormCreate();
    // First showing.
    void FormShow();
    // Close request: returns whether the close goes ahead. Saves the window placement
    // whatever the answer.
    bool FormCloseQuery();
    // Close.
    void FormClose();

    // While 1, volume slider changes are not passed on to the clip players.
    int startup = 0;
    // The data folder, without trailing "/"; every working file is DataFolder + "/...".
    QString DataFolder;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void applyPlacement();

    QString m_programFolder;
    bool m_shown = false;
};
