#pragma once
// The pad board: eight pads, each a frame holding a picture, the transport strip of its clip
// player, a LOOP switch, a FILE button, a volume slider and a large play button. The board is
// the view of the pad model (padmodel.h): its widgets show what the model holds and its
// handlers hand the user's actions to the model, which keeps the state and the rules.
//
// Handlers shared by the eight pads take the element that raised the event and find their
// pad from its "tag" property. Each handler body runs inside dialogs::guarded, so errors end
// in the error box and never reach Qt.
//
// While a pad sounds, its frame is lit and its clock (beside the LOOP switch) and progress
// line (on the picture's lower edge) show the time played and the time left; while only the
// monitor output plays it, they show the cue's times in the cue's colour and the frame stays
// dark. One timer for
// the whole board refreshes them from the positions the engine publishes, and runs only
// while some pad sounds; every change of a pad's play state refreshes at once.

#include "board.h"
#include "paddisplay.h"
#include "padmodel.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <array>

class ClipAnalyser;
class ClipEditor;
class ClipPlayer;
class CueCommands;
class QAction;
class QCheckBox;
class QFileDialog;
class QFrame;
class QImage;
class QKeyEvent;
class QLabel;
class QMenu;
class QPoint;
class QPushButton;
class QShortcut;
class QSize;
class QSlider;
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

    // Creates the pad model and the eight pads as children of `padParent` at their places.
    PadBoard(media::Engine& engine, QWidget* padParent, QObject* parent = nullptr);
    ~PadBoard() override; // the pads' widgets go with their board

    PadModel& model() { return *m_model; }
    const PadModel& model() const { return *m_model; }

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

    // The model's state and commands, for callers that hold the board.
    static QString suffix(int pad) { return PadModel::suffix(pad); }
    static QString initialCaption(int pad) { return PadModel::initialCaption(pad); }
    static QString captionWithoutSuffix(const QString& caption, int pad) {
        return PadModel::captionWithoutSuffix(caption, pad);
    }
    QString caption(int pad) const { return m_model->caption(pad); }
    void setCaption(int pad, const QString& caption) { m_model->setCaption(pad, caption); }
    QString fileName(int pad) const { return m_model->fileName(pad); }
    void setFileName(int pad, const QString& name) { m_model->setFileName(pad, name); }
    QString imagePath(int pad) const { return m_model->picturePath(pad); }
    void loadPicture(int pad, const QString& path, bool keepPathOnFailure = false) {
        m_model->loadPicture(pad, path, keepPathOnFailure);
    }
    void clearPicture(int pad) { m_model->clearPicture(pad); }
    void releasePad(int pad) { m_model->releasePad(pad); }
    void switchLoopOff(int pad) { m_model->switchLoopOff(pad); }
    void openClip(int pad, const QString& fileName) { m_model->openClip(pad, fileName); }
    void applyVolume(int pad) { m_model->applyVolume(pad); }
    void takePlayerVolumes() { m_model->takePlayerVolumes(); }
    void releaseAllPads() { m_model->releaseAllPads(); }
    static constexpr int kPadFadeMs = PadModel::kPadFadeMs;
    static constexpr int kStopAllFadeMs = PadModel::kStopAllFadeMs;
    // The pad's key: clicks its play button (nothing while the button is disabled).
    void pressPad(int pad);
    // The monitor output's commands: Ctrl with the pad's key, the pad menu's and the clip
    // dialog's (cuecommands.h).
    CueCommands& cueCommands() const { return *m_cueCommands; }
    // True while the keyboard focus is in a field that takes typed text: the pads' keys are
    // the field's then.
    static bool typingInField();
    void fadePad(int pad, int ms = kPadFadeMs) { m_model->fade(pad, ms); }
    void stopAll() { m_model->stopAll(); }
    void stopPad(int pad) { m_model->stopPad(pad); }
    // Moves the volume as the user's slider does.
    void moveVolume(int pad, int level) { m_model->setVolume(pad, level); }
    void chooseClip(int pad, const QString& file) { m_model->chooseClip(pad, file); }
    void choosePicture(int pad, const QString& path) { m_model->choosePicture(pad, path); }
    PadTimes timesOf(int pad) const { return m_model->times(pad); }

    // The playing display: reads every pad's player and updates its frame, clock and
    // progress line. While a pad sounds, the board's one display timer calls this again when
    // the next digit or pixel is due: at least every kDisplayMaxMs (ten times a second), at
    // most every kDisplayMinMs. With no pad sounding the timer rests.
    void refreshDisplays();
    const QTimer* displayTimer() const { return m_displayTimer; }
    static constexpr int kDisplayMinMs = 50;
    static constexpr int kDisplayMaxMs = 100;

    // Drops: the pad whose frame holds `pos` (in the coordinates of the pads' parent), 0 for
    // none; the pad that shows it will take a dropped file (0: none does).
    int padAt(const QPoint& pos) const;
    void showDropTarget(int pad);
    int dropTarget() const { return m_dropTarget; }

    // The pad whose frame last opened the pad menu (0 = none).
    int popupPad() const;
    // Opens the pad menu for `pad` at `globalPos`.
    void popupFor(int pad, const QPoint& globalPos);

    // Handlers shared by the eight pads; `sender` is the element that raised the event. The
    // model takes the players' notices itself; VarnelPlayer1Notify hands it one more.
    void playbtn1Click(QObject* sender);
    void loop4Click(QObject* sender);
    void VarnelPlayer1Notify(QObject* sender);
    void TrackBar1Change(QObject* sender);
    void filesel1Click(QObject* sender);
    void Image1DblClick(QObject* sender);
    void N1Click(QObject* sender); // 削除
    void N2Click(QObject* sender); // 名称変更
    void N4Click(QObject* sender); // クリップ編集…

    // The clip editor of `pad` (Ctrl+double-click on its picture, or the pad menu), opened
    // beside the window; nothing for a pad without an open clip. One editor at a time.
    void openClipEditor(int pad);
    ClipEditor* clipEditor() const;
    ClipAnalyser& analyser() const { return *m_analyser; }

    // A ホールド pad's play button pressed and let go (its click does nothing more).
    void playbtn1Down(QObject* sender);
    void playbtn1Up(QObject* sender);
    // The pad menu's play items for the pad that opened it: its play mode, its group, and
    // the ducking dialog.
    void setModeOfPopupPad(int mode);
    void setGroupOfPopupPad(int group);
    void editDuckingOfPopupPad();

    QFileDialog* OpenDialog1 = nullptr;
    QFileDialog* OpenPictureDialog1 = nullptr;
    QMenu* PopupMenu1 = nullptr;
    QAction* N1 = nullptr;
    QAction* N2 = nullptr;
    QMenu* ModeMenu = nullptr;   // 再生モード
    QMenu* GroupMenu = nullptr;  // グループ
    QAction* DuckItem = nullptr; // ダッキング…
    QAction* N4 = nullptr;       // クリップ編集…

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
        QCheckBox* loop = nullptr;
        QPushButton* filesel = nullptr;
        QSlider* trackBar = nullptr;
        QPushButton* play = nullptr;
        PadClock* clock = nullptr;
        PadProgress* progress = nullptr;
        QString shownState;               // the frame's "playstate" as last styled
        qint64 shownPicture = 0;          // the model's picture on the label
        std::array<QShortcut*, 2> keys{}; // the letter and Alt with it
        bool keyHeld = false;             // a ホールド pad's key started it and is down
    };

    void buildPad(int n, QWidget* padParent);
    void addShortcuts(int n, QWidget* padParent);
    void showCaption(int n);
    void showPicture(int n);
    void showVolume(int n);
    void showLoop(int n);
    void showEnabled(int n);
    void pressFromKeyboard(int n);
    void fadeFromKeyboard(int n);
    void addPlayItems();
    void showPlayItems();
    void followMode(int n);
    void keyLetGo(QObject* watched, const QKeyEvent* event);
    void letGoHeldKeys();
    void setFrameProperty(int n, const char* name, const QString& value);
    const Pad& pad(int n) const;
    Pad& pad(int n);
    int padOf(QObject* sender) const;
    int padOfImage(QObject* sender) const;

    media::Engine& m_engine;
    PadModel* m_model;
    CueCommands* m_cueCommands = nullptr;
    ClipAnalyser* m_analyser;
    QPointer<ClipEditor> m_editor;
    std::array<Pad, kPads> m_pads;
    QString m_dataFolder;
    QPointer<QWidget> m_popupFrame;
    QPointer<QFileDialog> m_openDialog;
    QPointer<QFileDialog> m_pictureDialog;
    bool m_showing = false; // the view follows the model: its own signals are no user's
    QTimer* m_displayTimer = nullptr;
    int m_dropTarget = 0;
};
