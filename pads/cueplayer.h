#pragma once
// The monitor output ("モニター出力"): a second output, for headphones, on which the operator
// hears a clip before the audience does. It is a second audio engine on the same sound server
// as the board's, playing on the chosen monitor device only: while that device is missing
// nothing plays there (never the audience's output in its place), and the engine's own
// device watch brings it back when the device returns. With no monitor device chosen (the
// default) there is no second engine, and every cue command is refused with the reason.
//
// A cued pad plays its clip on the monitor engine, on the voice of the same number, from its
// start or from a given point; the board's engine never carries it. Opening the clip is the
// engine's usual quick open (format and length), its head is prepared off this thread.
// Opening and closing the monitor device never holds up this thread, since a sound server that
// hangs may take seconds to answer: the engine opens it on its device thread, and an engine that
// goes is closed on a thread of its own.
// Lives on the UI thread; end events arrive as queued calls.

#include "board.h"
#include "clipplayer.h"
#include "padtimes.h"

#include <QObject>
#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <vector>

class QTimer;

namespace media {
class Engine;
enum class EndKind : std::uint8_t;
} // namespace media

class CuePlayer : public QObject {
    Q_OBJECT
public:
    static constexpr int kPads = board::kPads;
    static constexpr int kWatchMs = 250; // how often the monitor device's state is looked at

    // Makes the monitor engine for `device` on the sound server `server`. Tests give their own
    // (an engine on a stand-in server, or one they pull samples from).
    using EngineFactory = std::function<std::unique_ptr<media::Engine>(
        const std::string& device, const std::string& server, int sampleRate)>;
    static void setEngineFactory(EngineFactory factory); // null: the real sound server

    // `board`: the board's engine, whose sound server the monitor follows.
    explicit CuePlayer(media::Engine& board, QObject* parent = nullptr);
    ~CuePlayer() override;

    // The monitor device by its readable name; "" turns the monitor output off. Takes effect
    // at once: sounding cues stop, and a new engine opens on the new device.
    void setDevice(const QString& device);
    QString device() const { return m_device; }
    // Moves the monitor to the sound server `server` with the board's output.
    void chooseServer(const std::string& server);
    // The monitor engine; null while the monitor output is off.
    media::Engine* engine() const { return m_engine.get(); }

    // Off: no monitor device chosen; Opening: the chosen device's first open is under way;
    // Plays: it plays; Missing: it is not there (or went), and is looked for again.
    enum class Status : std::uint8_t { Off, Opening, Plays, Missing };
    Status status() const { return m_status; }
    // True while a monitor device is chosen and plays; otherwise unavailableReason() says why,
    // in the words a disabled cue command shows in its tooltip.
    bool available() const { return m_status == Status::Plays; }
    QString unavailableReason() const;
    static QString noMonitorText();
    // What the status bar says while the chosen monitor device is missing.
    static QString missingText(const QString& device);

    // Plays `file` on the monitor on the voice of `pad`, from `fromMs` of the clip (clamped to
    // it), replacing what that voice cued before; `preparation` trims, fades and sets the gain
    // as on the board (the clip editor's previews). Throws ECueError when the monitor output is
    // not available or the file cannot be opened; the cue of `pad` has stopped then.
    void cue(int pad, const QString& file, qint32 fromMs = 0,
             const ClipPreparation& preparation = {});
    void stopCue(int pad);
    void stopAll();
    bool cueing(int pad) const;
    // The cue's playback as a pad's clock shows it (PadTimes::cue set); Empty while none.
    PadTimes times(int pad) const;

signals:
    // The cue of `pad` started or stopped (also at its end, or when the monitor went).
    void cueChanged(int pad);
    // The monitor output came, went, or its device went missing or returned (status()).
    void availabilityChanged();

private:
    Status engineStatus() const;
    void watch();
    void ended(int pad, std::uint32_t stamp, quint64 generation);
    void dropEngine();
    int voiceOf(int pad) const;
    std::int64_t framesOf(qint64 ms) const;

    media::Engine& m_board;
    std::unique_ptr<media::Engine> m_engine;
    QString m_device;
    std::string m_server;
    Status m_status = Status::Off;
    std::vector<std::future<void>> m_closing; // engines being closed
    // The playback each voice cues; 0 while none.
    std::array<std::uint32_t, kPads> m_stamps{};
    quint64 m_generation = 0; // bumped for every monitor engine
    QTimer* m_watch;
};
