#pragma once
// The pad board: eight pads, each a frame holding a picture, the transport strip of its clip
// player, a LOOP switch, a FILE button, a volume slider and a large play button. Every command
// a user gives on a pad lives here: play (restarting a playing clip), loop, end of clip,
// volume, choosing a clip or a picture, delete and rename, plus releasing a pad for the set
// list code and the window's close step.
//
// The state of pad n is kept in its widgets and its player:
//   clip file name  player(n)->FileName()       ("" = empty pad)
//   caption         playButton(n)->text()       (ends with suffix(n))
//   picture path    imagePath(n)                ("" = none)
//   volume          trackBar(n)->value()        (0..1000)
//   loop flag       loopSwitch(n)->isChecked()
//   play enabled    playButton(n)->isEnabled()
//
// Handlers shared by the eight pads take the element that raised the event and find their
// pad from its "tag" property. Each handler body runs inside dialogs::guarded, so errors end
// in the error box and never reach Qt.
//
// While a pad sounds, its frame is lit and its clock (beside the LOOP switch) and progress
// line (on the picture's lower edge) show the time played and the time left. One timer for
// the whole board refreshes them from the positions the engine publishes, and runs only
// while some pad sounds; every command that may start or end a playback refreshes at once.

#include "board.h"
#include "paddisplay.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <array>

class ClipPlayer;
class QAction;
class QCheckBox;
class QFileDialog;
class QFrame;
class QImage;
class QLabel;
class QMenu;
class QPoint;
class QPushButton;
class QShortcut;
class QSize;
class QSlider;
class QThreadPool;
class QTimer;
class QWidget;
class TransportBar;

namespace media {
class Engine;
}

class PadBoard : public QObject {
    Q_OBJECT
public:
    static constexpr int kPads = board::kPads;

    // Creates the eight pads as children of `padParent` at their places. `startup` points at
    // the main window's startup field (nullptr counts as 0).
    PadBoard(media::Engine& engine, QWidget* padParent, int* startup, QObject* parent = nullptr);
    ~PadBoard() override;

    // The data folder (no trailing "/"): the clip dialog starts in its "/sound", the picture
    // dialog in its "/image".
    void setDataFolder(const QString& folder);
    QString dataFolder() const { return m_dataFolder; }
    // The window that owns the file dialogs.
    void setDialogOwner(QWidget* owner);

    // Elements. element() finds one by base name plus number, ignoring letter case:
    // ("playbtn", 3) gives playbtn3, ("Panel", 6) the frame of pad 3.
    QWidget* element(const QString& baseName, int number) const;
    QFrame* frame(int pad) const;
    QFrame* pictureFrame(int pad) const;
    QLabel* image(int pad) const;
    TransportBar* transportBar(int pad) const;
    ClipPlayer* player(int pad) const;
    QCheckBox* loopSwitch(int pad) const;
    QPushButton* fileButton(int pad) const;
    QSlider* trackBar(int pad) const; // volume 0..1000 = slider position
    QPushButton* playButton(int pad) const;
    PadClock* clock(int pad) const;
    PadProgress* progress(int pad) const;

    // Pad state.
    static QString suffix(int pad); // "(&Q)" ... "(&F)"
    static QString initialCaption(int pad) { return QStringLiteral("PLAY SOUND") + suffix(pad); }
    QString caption(int pad) const;
    // Always set captions here, not with playButton()->setText(): the button must not take
    // its "&" letter as a shortcut of its own, which would clash with the pad's keys.
    void setCaption(int pad, const QString& caption);
    // `caption` without any occurrence of the pad's suffix: the text offered for editing.
    static QString captionWithoutSuffix(const QString& caption, int pad);
    QString fileName(int pad) const;
    void setFileName(int pad, const QString& fileName); // stores the name only
    QString imagePath(int pad) const;
    void setImagePath(int pad, const QString& path); // the path only; the picture stays
    // Sets the picture path to `path` and shows the picture stretched over the picture frame
    // once a worker has decoded it (pictureFinished follows). Throws ECueError at once when
    // the file is not a regular file or not a picture, or its name holds a line break; a
    // picture that fails to decode later goes to the error box. Either way the pad's picture
    // is then unchanged, and so is its path, unless `keepPathOnFailure` (a set list naming the
    // picture) keeps `path` after a failed decode.
    void loadPicture(int pad, const QString& path, bool keepPathOnFailure = false);
    void clearPicture(int pad); // picture and path cleared
    // Reads the picture at `path` as loadPicture does (same checks, same size limit), scaled
    // down to fit `box` with its proportions kept. Throws ECueError. Safe on any thread.
    static QImage readPictureWithin(const QString& path, const QSize& box);

    // Commands for the set list code and the window.
    void releasePad(int pad); // stop if playing, close, forget the clip file name
    // The program turns the loop switch off: runs the loop handler when the switch was on;
    // on a pad whose player holds no open clip the stop and rewind are skipped.
    void switchLoopOff(int pad);
    // Sets the clip file name and opens it (a name holding a line break is refused before
    // anything changes); on success enables the transport bar and the play
    // button (while the loop switch is off: a looping pad plays by its switch) and sends the
    // slider level to the player. Throws on failure (file name kept, play button and
    // transport bar untouched).
    void openClip(int pad, const QString& fileName);
    void applyVolume(int pad); // sends the slider level to an open player
    // First showing of the window: each slider takes the volume its (closed) player reports.
    void takePlayerVolumes();
    // The window's close step (after startup was set to 1): disables every play button and
    // releases every pad.
    void releaseAllPads();

    // Operator commands that keys, the stop-all button and remote triggers share; each does
    // what its key does.
    static constexpr int kPadFadeMs = 1500;    // Shift with the pad's letter
    static constexpr int kStopAllFadeMs = 300; // Esc and the stop-all button
    // The pad's key: presses its play button (nothing while the button is disabled).
    void pressPad(int pad);
    // Fades a sounding pad out over `ms`, then stops and rewinds it; a silent pad is left
    // as it is. A looping pad that fades ends too: its loop switch goes off without cutting
    // the fade.
    void fadePad(int pad, int ms = kPadFadeMs);
    // Turns every loop switch off and fades every sounding pad out over kStopAllFadeMs; each
    // then ends stopped and rewound, as does a paused pad, at once. A call while fades run
    // (a second Esc) stops the fading pads at once.
    void stopAll();
    // The Stop button of the pad's strip, as a click on it: the clip stops where it is.
    // Nothing while the strip or its Stop button cannot be pressed.
    void stopPad(int pad);
    // Moves the volume slider as the user does: the level reaches the clip (unless a set
    // list is loading) and the set list counts as changed.
    void moveVolume(int pad, int level);

    // The playing display: reads every pad's player and updates its frame, clock and
    // progress line. While a pad sounds, the board's one display timer calls this again when
    // the next digit or pixel is due: at least every kDisplayMaxMs (ten times a second), at
    // most every kDisplayMinMs. With no pad sounding the timer rests.
    void refreshDisplays();
    PadTimes timesOf(int pad) const;
    const QTimer* displayTimer() const { return m_displayTimer; }
    static constexpr int kDisplayMinMs = 50;
    static constexpr int kDisplayMaxMs = 100;

    // Drops: the pad whose frame holds `pos` (in the coordinates of the pads' parent), 0 for
    // none; the pad that shows it will take a dropped file (0: none does).
    int padAt(const QPoint& pos) const;
    void showDropTarget(int pad);
    int dropTarget() const { return m_dropTarget; }

    // What choosing a clip or a picture for `pad` does once the file is known, whether it
    // came from the FILE button's dialog, the picture dialog or a drop. Throws on failure; a
    // name holding a line break is refused before anything changes.
    void chooseClip(int pad, const QString& file);
    void choosePicture(int pad, const QString& path);

    // The pad whose frame last opened the pad menu (0 = none).
    int popupPad() const;
    // Opens the pad menu for `pad` at `globalPos`.
    void popupFor(int pad, const QPoint& globalPos);

    // Handlers shared by the eight pads; `sender` is the element that raised the event.
    void playbtn1Click(QObject* sender);
    void loop4Click(QObject* sender);
    void VarnelPlayer1Notify(QObject* sender);
    void TrackBar1Change(QObject* sender);
    void filesel1Click(QObject* sender);
    void Image1DblClick(QObject* sender);
    void N1Click(QObject* sender); // 削除
    void N2Click(QObject* sender); // 名称変更

    QFileDialog* OpenDialog1 = nullptr;
    QFileDialog* OpenPictureDialog1 = nullptr;
    QMenu* PopupMenu1 = nullptr;
    QAction* N1 = nullptr;
    QAction* N2 = nullptr;

signals:
    // A picture that loadPicture handed to the decoder is shown (ok) or was refused.
    void pictureFinished(int pad, bool ok);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Pad {
        QPointer<QFrame> frame; // the widgets may go with their window before the board
        QFrame* pictureFrame = nullptr;
        QLabel* image = nullptr;
        TransportBar* bar = nullptr;
        ClipPlayer* player = nullptr;
        QCheckBox* loop = nullptr;
        QPushButton* filesel = nullptr;
        QSlider* trackBar = nullptr;
        QPushButton* play = nullptr;
        PadClock* clock = nullptr;
        PadProgress* progress = nullptr;
        QString shownState; // the frame's "playstate" as last styled
        QString imagePath;
        quint64 pictureJob = 0; // the decode whose result the pad still waits for
    };

    void buildPad(int n, media::Engine& engine, QWidget* padParent);
    void addShortcuts(int n, QWidget* padParent);
    void pressFromKeyboard(int n);
    void fadeFromKeyboard(int n);
    void setFrameProperty(int n, const char* name, const QString& value);
    // The loop switch of a pad that fades out goes off without its handler's stop, which
    // would cut the fade; the pad then ends as the fade leaves it.
    void loopOffForFade(int n);
    void loopToggled(QCheckBox* loop);
    const Pad& pad(int n) const;
    Pad& pad(int n);
    int padOf(QObject* sender) const;
    int padOfImage(QObject* sender) const;
    void pictureDecoded(int pad, quint64 job, const QImage& image, qreal ratio,
                        const QString& error, const QString& previousPath);
    int startupValue() const { return m_startup ? *m_startup : 0; }

    std::array<Pad, kPads> m_pads;
    int* m_startup;
    QThreadPool* m_pictureThreads;
    QString m_dataFolder;
    QPointer<QWidget> m_popupFrame;
    QPointer<QFileDialog> m_openDialog;
    QPointer<QFileDialog> m_pictureDialog;
    bool m_programTurnsLoopOff = false;
    bool m_fadeTurnsLoopOff = false;
    QTimer* m_displayTimer = nullptr;
    int m_dropTarget = 0;
};
