#pragma once
// The main window fcuedeck: the pad board, the set list and system buttons, the status bar.

#include <QMainWindow>

class Tfcuedeck : public QMainWindow {
    Q_OBJECT
public:
    explicit Tfcuedeck(QWidget* parent = nullptr);

    // While 1, volume slider changes are not passed on to the clip players.
    int startup = 0;
};
