#pragma once
// The eight pads without their widgets: what each holds and the rules of the board. A pad
// holds a clip (file name and the clip player that has it open), a caption on its play
// button (always ending with the pad's accelerator suffix), a picture (path and decoded
// image), a volume 0..1000, a loop flag, whether its play button and its transport strip can
// be pressed, and the extension fields of padfields.h. Every change is announced by a signal
// with the pad's number; the views show the state and hand the user's actions back here.
//
// While the model is loading (a Loading scope is alive, or the window has closed), volume
// changes are kept but do not reach the players; the set list code then hands the levels
// over once the load is done.

#include "board.h"
#include "padfields.h"
#include "padtimes.h"

#include <QImage>
#include <QObject>
#include <QString>

#include <array>
#include <functional>
#include <initializer_list>
#include <span>
#include <utility>

class ClipPlayer;
struct ClipPreparation;
class CuePlayer;
class QThreadPool;

namespace media {
class Engine;
}

class PadModel : public QObject {
    Q_OBJECT
public:
    static constexpr int kPads = board::kPads;
    static constexpr int kPadFadeMs = 1500;    // Shift with the pad's letter
    static constexpr int kStopAllFadeMs = 300; // Esc and the stop-all button
    // A toggle pad's second press, a hold pad's release and a group's cross-fade last the
    // pad's fade-out, or this long when it has none.
    static constexpr int kModeFadeMs = 300;

    explicit PadModel(media::Engine& engine, QObject* parent = nullptr);
    ~PadModel() override;

    // A set list being loaded: volume changes stay in the model until it ends. Scopes nest.
    class Loading {
    public:
        explicit Loading(PadModel& model);
        ~Loading();
        Loading(const Loading&) = delete;
        Loading& operator=(const Loading&) = delete;

    private:
        PadModel& m_model;
    };
    bool loading() const { return m_loading > 0 || m_closed; }
    // The window's close step: loading for good.
    void holdLoadingForGood();

    // State of pad 1..8. A pad number out of range throws ECueError.
    ClipPlayer* player(int pad) const;
    QString fileName(int pad) const;
    QString caption(int pad) const;
    QString picturePath(int pad) const;
    QImage picture(int pad) const; // null while none is shown
    int volume(int pad) const;
    bool loop(int pad) const;
    bool playEnabled(int pad) const;
    bool stripEnabled(int pad) const;
    PadTimes times(int pad) const; // what the engine publishes now
    int extension(int pad, int field) const;
    static QString suffix(int pad); // "(&Q)" ... "(&F)"
    static QString initialCaption(int pad) { return QStringLiteral("PLAY SOUND") + suffix(pad); }
    static QString captionWithoutSuffix(const QString& caption, int pad);

    // Plain setters, as the set list code fills a board.
    void setFileName(int pad, const QString& fileName); // the name only
    void setCaption(int pad, const QString& caption);
    void setPicturePath(int pad, const QString& path); // the path only; the picture stays
    void setPlayEnabled(int pad, bool on);
    void setStripEnabled(int pad, bool on);
    void setExtension(int pad, int field, int value); // clamped to the field's range
    // Several fields of one pad, each clamped, as one change: the player and the ducking take
    // them together and the board announces one change (one journal write, one redraw).
    void setExtensions(int pad, std::initializer_list<std::pair<int, int>> fieldValues) {
        setExtensions(pad, std::span<const std::pair<int, int>>(fieldValues));
    }
    void setExtensions(int pad, std::span<const std::pair<int, int>> fieldValues);
    // The size a picture is decoded at for `pad`, and the device pixel ratio it is shown at;
    // the view tells. 290 x 199 at ratio 1 until then.
    void setPictureTarget(std::function<std::pair<QSize, qreal>(int pad)> target);

    // ---- rules ----
    // The pad's key or a remote press: plays when the play button can be pressed.
    void press(int pad);
    // The play button, as the pad's play mode says. 再スタート (and the first press of the
    // others): a playing clip starts again from the beginning, any other plays from where it
    // stands. トグル: a press on a sounding pad fades it out, the next starts it again.
    // ホールド: it sounds until release(). A pad of an exclusive group that starts cross-fades
    // with every sounding pad of its group, which fade out over this pad's fade-out.
    void play(int pad);
    // The key, MIDI note or OSC argument of a ホールド pad let go: it fades out over its
    // fade-out. Pads of the other modes ignore it.
    void release(int pad);
    int playMode(int pad) const { return extension(pad, padfields::Mode); }
    // The length of the fades of the play modes and groups for `pad`, in ms.
    int modeFadeMs(int pad) const;
    // The user's loop switch: on plays the clip repeating and locks the play button; off
    // stops and rewinds it.
    void setLoop(int pad, bool on);
    // The program turns the loop off (before a set list load): as the user's switch, but a
    // pad whose clip is already closed has nothing to stop.
    void switchLoopOff(int pad);
    // End of a playback: rewinds, and plays again while looping. Stale notices are dropped.
    void endOfClip(int pad);
    // Fades a sounding pad out over `ms`, then it ends stopped and rewound; its loop goes
    // off without cutting the fade. A silent pad is left as it is.
    void fade(int pad, int ms = kPadFadeMs);
    // Loops off, every sounding pad fades out over kStopAllFadeMs, a paused one stops at
    // once. A second call while the fades run stops the fading pads at once.
    void stopAll();
    // The Stop button of the pad's strip: the clip stops where it stands. Nothing while the
    // strip or its Stop button cannot be pressed.
    void stopPad(int pad);
    // Volume 0..1000 (clamped): reaches the clip unless the model is loading.
    void setVolume(int pad, int level);
    void applyVolume(int pad); // sends the stored level to an open clip
    // First showing of the window: each pad takes the volume its (closed) player reports.
    void takePlayerVolumes();
    // Stop if playing, close, forget the clip file name.
    void releasePad(int pad);
    // The window's close step: every play button off, every pad released.
    void releaseAllPads();
    // Sets the file name and opens the clip (a name holding a line break is refused first);
    // on success the strip and the play button (unless looping) can be pressed and the clip
    // gets the pad's level. Throws on failure with the name kept.
    void openClip(int pad, const QString& fileName);
    // The user chose `file` for `pad` (dialog or drop). A file another pad holds is refused
    // with a warning and that pad's number returned; otherwise the old clip closes, the user
    // is asked for a caption and the new clip opens (0 returned; a failure to open throws
    // with name and play button set).
    int chooseClip(int pad, const QString& file);
    // Checks that `path` is a picture, then decodes it off this thread; pictureChanged and
    // pictureFinished(pad, true) follow once it is ready. Throws ECueError at once for a file
    // that is not a regular picture file or a name with a line break, leaving all as it was.
    // A failure to decode goes to the error box and restores the old path, unless
    // `keepPathOnFailure` (a set list naming the picture) keeps `path`.
    void loadPicture(int pad, const QString& path, bool keepPathOnFailure = false);
    void choosePicture(int pad, const QString& path) { loadPicture(pad, path); }
    void clearPicture(int pad);
    // The pad menu's 削除: the pad becomes empty.
    void deletePad(int pad);
    // The pad menu's 名称変更: the caption becomes `name` with the pad's suffix.
    void rename(int pad, const QString& name);

    // The monitor output (cueplayer.h), and the pad's clip on it alone: from its start or from
    // `fromMs`. False for a pad without an open clip; throws ECueError when the monitor output
    // is not available or the clip cannot be opened there.
    CuePlayer& cue() const { return *m_cue; }
    bool cuePad(int pad, qint32 fromMs = 0);

    // How a picture meets the size it is decoded for: stretched over it (a pad's picture) or
    // scaled down into it with its proportions kept (a preview).
    enum class PictureFit { Stretch, Within };
    // A decoded picture, or the text the error box shows when there is none.
    struct DecodedPicture {
        QImage image;
        QString error; // empty when the picture was read
    };
    // Decodes the picture at `path` with loadPicture's checks, fitted to `size` as `fit`
    // says, for showing at device pixel ratio `ratio`. Never throws; safe on any thread.
    static DecodedPicture decodePicture(const QString& path, const QSize& size, PictureFit fit,
                                        qreal ratio);

signals:
    void clipChanged(int pad);
    void captionChanged(int pad);
    void pictureChanged(int pad);
    void volumeChanged(int pad);
    void loopChanged(int pad);
    void enabledChanged(int pad);
    void extensionChanged(int pad);
    void playStateChanged(int pad);
    void pressed(int pad);
    void playbackEnded(int pad);
    // A picture that loadPicture handed to the decoder is shown (ok) or was refused.
    void pictureFinished(int pad, bool ok);
    // Something a set list file keeps changed (clip, caption, picture, volume, extension).
    void boardChanged();
    void loadingChanged(bool loading);

private:
    struct Pad {
        ClipPlayer* player = nullptr;
        QString caption;
        QString picturePath;
        QImage picture;
        quint64 pictureJob = 0; // the decode whose result the pad still waits for
        int volume = 0;         // a fresh slider stands at 0 until the first showing
        bool loop = false;
        bool playEnabled = false;
        bool stripEnabled = true;
        std::array<int, padfields::kCount> extensions{};
    };
    static ClipPreparation preparationOf(const Pad& p);
    const Pad& pad(int n) const;
    Pad& pad(int n);
    void loopOff(int n, bool byFade);
    void pictureDecoded(int n, quint64 job, const QImage& image, const QString& error,
                        const QString& previousPath);
    void setLoading(int depth);
    bool playByMode(int n);
    void applyDucking(int n);

    media::Engine& m_engine;
    std::array<Pad, kPads> m_pads;
    QThreadPool* m_pictureThreads;
    CuePlayer* m_cue;
    std::function<std::pair<QSize, qreal>(int)> m_pictureTarget;
    int m_loading = 0;
    bool m_closed = false;
};
