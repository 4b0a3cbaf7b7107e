#pragma once
// The audio engine: one output stream for the whole board and an eight-voice mixer.
//
// Threads:
//  - the control thread (the UI thread) calls everything below except render();
//  - the audio thread runs the mixer (the output's callback, or the caller of render() when
//    the engine runs without a device); it never locks, allocates, logs or touches the disk;
//  - one worker thread decodes ahead of every playing voice into its read-ahead ring and
//    delivers end-of-clip events to the listeners;
//  - one thread watches the output device: a device that fails is replaced by the chosen one,
//    the system default or the silent driver, and while the engine runs silent it looks for a
//    device again every few hundred milliseconds. A device that is slow to open holds up only
//    this thread;
//  - a small pool of threads prepares the start ("head") of every opened clip, in parallel,
//    so that opening never waits for decoding.
// Commands reach the mixer through a lock-free queue; events come back the same way.
// Positions and lengths are output frames (stereo, at sampleRate()).
//
// The sum of the voices passes a look-ahead safety limiter (limiter.h) that keeps it below
// full scale; a sum that stays below its ceiling passes bit-exact. A playback starts in the
// very next output block: it is written into the frames that leave first, so the limiter's
// look-ahead adds no latency to a key press; stops, fades and volume changes take effect
// behind the look-ahead (about 1.5 ms later). An output that keeps a deep queue at its server
// (PulseAudio) has both take effect in the part of the queue not played yet.

#include "board.h"
#include "clip.h"
#include "output.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace media {

constexpr int kVoices = board::kPads;

enum class EndKind : std::uint8_t {
    Finished, // the playback reached the end of its clip
    Failed,   // the output device failed while it played
    Faded     // a fade-out ended it; the voice stands stopped at 0
};

class Engine {
public:
    enum class Output : std::uint8_t {
        Device, // a sound device; SDL's silent dummy driver while none opens
        Dummy,  // SDL's dummy driver: silent, on a real-time clock (GUI tests)
        None    // no device: the caller pulls blocks with render() (deterministic tests)
    };
    struct Options {
        Output output = Output::Device;
        int sampleRate = 48000; // asked of the first device, which may choose another
        int periodFrames = 128; // asked of the device
        // The output device to use, by its readable name; "" = the system default. A device
        // that cannot be opened leaves the engine on the default (deviceState().chosenMissing).
        std::string device{};
        // Where the output goes (Output::Device only); null = the sound server `server` names
        // (one of kServerNames, "auto" = the first that answers). Tests pass their own.
        std::shared_ptr<OutputBackend> backend{};
        std::string server = "auto";
        // Prepares every clip's head inside openClip, on the calling thread, as the engine
        // once did; for figures that compare the two.
        bool prepareOnOpen = false;
        // Plays on the chosen device and nowhere else: while it is missing the engine has no
        // output at all (no system default, no silent driver) and looks for it again every few
        // hundred milliseconds. For a monitor output, which must never sound on the audience's
        // output in its place, nor hold the sound system with a silent driver. Such an engine
        // opens its device on the device thread, at `sampleRate`: the constructor returns at
        // once even when the sound server hangs (deviceState().opening until the first try).
        bool chosenOnly = false;
        // Non-empty: what the output does (opened, lost, why none opens) goes to stderr, one
        // line per change, tagged with this name.
        std::string logName{};
    };

    // What the output is doing, for the status bar and the settings page.
    struct DeviceState {
        Output output = Output::None; // Device while a sound device plays
        std::string device;           // the device that plays, "" = the system default
        std::string chosen;           // the operator's choice, "" = the system default
        std::string server;           // the sound server chosen, "auto" = the first that answers
        bool chosenMissing = false;   // a chosen device is not there: the default plays
        bool opening = false;         // a chosen-only engine's first open is under way
        std::string driver;
        std::vector<std::string> devices; // the sound system's outputs, as last seen
        std::uint64_t losses = 0;         // devices that failed while in use
        std::uint64_t dropouts = 0;       // underruns the sound server reported, all outputs
        int deepened = 0; // times repeated dropouts made the output's buffer one step deeper
    };

    explicit Engine(Options options);
    Engine() : Engine(Options{}) {}
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    Output output() const;
    // False while the engine runs on the dummy driver or without a device.
    bool hasSoundDevice() const;
    // True while a real device is wanted and none could be opened.
    bool fellBackToDummy() const;
    std::string driverName() const;
    // Fixed for the engine's life: every clip is converted to it, and a later device is
    // opened at this rate (SDL converts where the hardware cannot).
    int sampleRate() const;
    // Frames a period of the output that plays: what it opened or deepened at, or on PipeWire
    // the graph's quantum now in effect.
    int periodFrames() const;
    DeviceState deviceState() const;
    // Moves the output to the device `name` ("" = the system default), without a click:
    // the output fades out, the new device opens, and sounding voices go on where they were.
    // Returns at once; the worker does the switch. Remembered for device returns.
    void chooseOutputDevice(const std::string& name);
    // Moves the output to the sound server `server` (one of kServerNames, "auto" = the first
    // that answers), as chooseOutputDevice() moves it to a device; returns at once.
    void chooseOutputServer(const std::string& server);
    // A short test tone (1 kHz, -12 dBFS, 0.6 s) on the current output.
    void playTestTone();

    // Output::None only: mixes `frames` interleaved stereo frames into `out`.
    void render(float* out, int frames);

    // Opens a clip for this engine's rate (may throw OpenError). Returns once the format and
    // length are known; the head is prepared on the pool. play() and restart() prepare a head
    // that still waits for the pool themselves; a head under way on the pool makes the voice
    // start as soon as it is ready, from its first sample. `headFrom`: the frame the head
    // starts at, the in point the clip's voice will be given (setWindow()).
    std::shared_ptr<Clip> openClip(const std::string& path, std::int64_t headFrom = 0) const;

    // --- control thread ---
    // Puts `clip` on `voice`, stopped at 0 with gain 1, replacing (fading out) what was there;
    // the voice plays the whole clip, without fades, at trim gain 1.
    void load(int voice, std::shared_ptr<Clip> clip);
    void unload(int voice);
    // Plays from the current position to the end. A playing voice goes on from where it is;
    // a fading one starts again as restart() does. Returns the playback's stamp (never 0),
    // which its end event carries.
    std::uint32_t play(int voice);
    // One command: the sounding playback (if any) fades out within a few milliseconds while a
    // new one starts from the first sample in the same output block. Returns its stamp.
    std::uint32_t restart(int voice);
    // Stops; the position stays where the playback was.
    void stop(int voice);
    // Stops a playback and moves the position (clamped to 0..length).
    void seek(int voice, std::int64_t frame);
    void setGain(int voice, float gain);
    // While on, a playback that reaches the end of its clip goes on from its first sample in
    // the same output block, sample-continuous, with no end event. Off at every load().
    void setLooping(int voice, bool on);
    // Fades a sounding playback out over `ms` milliseconds; it then ends (EndKind::Faded)
    // stopped at position 0. A silent voice is left alone. 0 ms cuts it with the usual
    // short anti-click fade. A stop, seek, play, restart or load during the fade cuts it.
    void fadeOut(int voice, int ms);
    // True from fadeOut() until the fade (or anything else) has ended the playback.
    bool fading(int voice) const;
    // A new playback of `voice` that replaces the others of its group in one command: it
    // starts from the first sample (`fromStart`, or where play() would start), every
    // sounding voice of `others` (a bit per voice) fades out over `ms` and ends as fadeOut()
    // ends it, and the new playback fades in over the same time, both on equal-power curves
    // so that the sum keeps its loudness. With none of `others` sounding it simply starts.
    // Returns the playback's stamp.
    std::uint32_t playReplacing(int voice, bool fromStart, unsigned others, int ms);
    // Ducking: while `voice` plays, every voice that does not duck itself is lowered by
    // `levelDb` (below 0), reached over `attackMs` and left over `releaseMs` along a straight
    // line in dB. Several ducking voices lower the others once, by the deepest amount.
    struct Ducking {
        bool on = false;
        int levelDb = -12;
        int attackMs = 50;
        int releaseMs = 500;
    };
    void setDucking(int voice, const Ducking& ducking);

    // A pad's preparation. The voice plays the window [inFrame, outFrame) of its clip (frames
    // from the clip's start; outFrame 0 = the clip's end): a press starts at the in point, a
    // playback ends at the out point, a loop repeats from the in point to the out point, and
    // position() and length() count within the window (0 = the in point). An in point at or
    // past the clip's end is left out; an out point past the end or not after the in point
    // stands for the end. The stored values stay as given and apply to the clip's length as it
    // is. A sounding playback keeps the window it started with; a stopped voice moves to the
    // new in point. The head from a new in point is prepared on the pool; until it is ready
    // a press there streams (sounding as soon as the worker has read the first frames).
    void setWindow(int voice, std::int64_t inFrame, std::int64_t outFrame);
    // Fades of every playback: from silence at the in point over `inFrames` (the first pass
    // of a loop only), and to silence at the out point over `outFrames` (not while looping).
    // Straight lines in amplitude; they take effect at once.
    void setFades(int voice, std::int64_t inFrames, std::int64_t outFrames);
    // The pad's gain (0 = silent .. 4, about +12 dB), multiplying the volume, before the
    // safety limiter; changes ramp as volume changes do.
    void setTrimGain(int voice, float gain);
    bool loaded(int voice) const;
    bool isPlaying(int voice) const;
    // How the latest play() of `voice` ended, once the mixer has ended it (its end event may
    // still be on its way); nothing while it plays or after a later stop, seek or load.
    std::optional<EndKind> endedAs(int voice) const;
    // The position being heard (for a looping voice, within the current pass).
    std::int64_t position(int voice) const;
    std::int64_t length(int voice) const;

    // Called on the worker thread for each end event of `voice`; replacing or clearing the
    // listener waits for a call in progress to return.
    using Listener = std::function<void(std::uint32_t playStamp, EndKind kind)>;
    void setListener(int voice, Listener listener);

    // Ends every playback with EndKind::Failed (at the mixer's next block), each voice keeping
    // its position, as a failing output device does; for an output failure the engine cannot
    // see by itself.
    void reportDeviceFailure();

    // --- figures and test support ---
    // Times a sounding voice's read-ahead ran dry: it faded out, and fades in again once the
    // worker has caught up.
    std::uint64_t underruns() const;
    // Audio callbacks that took longer than their period.
    std::uint64_t lateCallbacks() const;
    // Nanoseconds from the latest play() to the start of the output block that carried its
    // first frame, or -1 when none was measured yet.
    std::int64_t lastStartLatencyNs() const;
    // Waits until every opened clip's head is ready and the worker has nothing left to do
    // (rings full or at the end of their clips).
    bool waitIdle(std::chrono::milliseconds timeout);
    // Frames the safety limiter has turned down since the engine started.
    std::uint64_t limitedFrames() const;
    // The limiter's look-ahead in frames: how much later than its command a stop, fade or
    // volume change is heard. A new playback is not delayed by it.
    int lookaheadFrames() const;

    struct Impl;

private:
    std::unique_ptr<Impl> d;
};

} // namespace media
