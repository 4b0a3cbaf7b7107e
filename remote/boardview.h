#pragma once
// What the remote surfaces see of the board and what they may ask of it: each pad's caption,
// whether a clip is open, whether it plays, pauses or is in its last seconds, the time left;
// and the operator commands the keys share. MIDI feedback, OSC pushes and the phone panel read
// the board only through this object.
//
// padChanged(n) is emitted when pad n's caption, clip, cue or play state (a fade included) changes
// (not for the clock running on: ask timeLeftMs while a pad sounds). The model's own change signals
// are followed at once; the last-seconds boundary and the end of a fade, which the model does
// not signal, are caught by a look every kPollMs on the UI thread.

#include <QObject>
#include <QString>

#include <array>
#include <cstdint>

class PadModel;
class QTimer;

namespace remote {

class BoardView : public QObject {
    Q_OBJECT
public:
    static constexpr int kPollMs = 20;

    enum class PadState : std::uint8_t {
        Empty,   // no clip open
        Loaded,  // a clip is open and silent
        Playing, // sounding (also while it fades out)
        Ending,  // sounding, in the last five seconds of a playback that will end
        Paused,
    };

    explicit BoardView(PadModel& model, QObject* parent = nullptr);
    ~BoardView() override;

    int pads() const;
    // The caption as the play button shows it, without its key suffix.
    QString caption(int pad) const;
    bool loaded(int pad) const;
    PadState state(int pad) const;
    bool sounding(int pad) const {
        const PadState s = state(pad);
        return s == PadState::Playing || s == PadState::Ending;
    }
    bool fading(int pad) const;
    int timeLeftMs(int pad) const; // 0 for an empty pad
    int volume(int pad) const;     // 0..1000
    bool holds(int pad) const;     // a ホールド pad: it sounds while held

    // Operator commands, as the pad's key, Shift with it, the Stop button of its strip, the
    // stop-all button and its volume slider do them. A pad out of range is ignored.
    void press(int pad);
    void release(int pad); // a hold pad's key, note, argument or panel pad let go
    void fade(int pad);
    void stopPad(int pad);
    void stopAll();
    void setVolume(int pad, int level);
    // The pad on the monitor output alone (on) or its cue stopped (off). Throws ECueError with
    // the reason while no monitor output plays.
    void cue(int pad, bool on);
    bool cueing(int pad) const;

    // Compares the board with what was last seen and emits padChanged for each difference.
    void poll();

    // "empty", "stopped", "playing", "ending", "paused".
    static const char* stateName(PadState state);

signals:
    void padChanged(int pad);

private:
    struct Seen {
        PadState state = PadState::Empty;
        bool fading = false;
        bool cue = false;
        QString caption;
        QString clip;
        bool hold = false;
        bool operator==(const Seen&) const = default;
    };
    Seen look(int pad) const;
    bool valid(int pad) const;

    PadModel& m_model;
    QTimer* m_timer = nullptr;
    std::array<Seen, 8> m_seen{};
};

} // namespace remote
