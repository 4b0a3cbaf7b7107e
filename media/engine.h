#pragma once
// The audio engine: one output stream for the whole board and an eight-voice mixer.
//
// Threads:
//  - the control thread (the UI thread) calls everything below except render();
//  - the audio thread runs the mixer (SDL's callback, or the caller of render() when the
//    engine runs without a device); it never locks, allocates, logs or touches the disk;
//  - one worker thread decodes ahead of every playing voice into its read-ahead ring and
//    delivers end-of-clip events to the listeners.
// Commands reach the mixer through a lock-free queue; events come back the same way.
// Positions and lengths are output frames (stereo, at sampleRate()).

#include "clip.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace media {

constexpr int kVoices = 8;

enum class EndKind : std::uint8_t {
    Finished, // the playback reached the end of its clip
    Failed    // the output device failed while it played
};

class Engine {
public:
    enum class Output : std::uint8_t {
        Device, // the system's default device; SDL's silent dummy driver when none opens
        Dummy,  // SDL's dummy driver: silent, on a real-time clock (GUI tests)
        None    // no device: the caller pulls blocks with render() (deterministic tests)
    };
    struct Options {
        Output output = Output::Device;
        int sampleRate = 48000; // asked of the device; the device may choose another
        int periodFrames = 128; // asked of the device
    };

    explicit Engine(Options options);
    Engine() : Engine(Options{}) {}
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    Output output() const;
    // False when the engine runs on the dummy driver or without a device.
    bool hasSoundDevice() const;
    // True when a real device was asked for and none could be opened.
    bool fellBackToDummy() const;
    std::string driverName() const;
    int sampleRate() const;
    int periodFrames() const;

    // Output::None only: mixes `frames` interleaved stereo frames into `out`.
    void render(float* out, int frames);

    // Opens a clip for this engine's rate (may throw OpenError).
    std::shared_ptr<Clip> openClip(const std::string& path) const;

    // --- control thread ---
    // Puts `clip` on `voice`, stopped at 0 with gain 1, replacing (fading out) what was there.
    void load(int voice, std::shared_ptr<Clip> clip);
    void unload(int voice);
    // Plays from the current position to the end. A playing voice goes on from where it is.
    // Returns the playback's stamp (never 0), which its end event carries.
    std::uint32_t play(int voice);
    // Stops; the position stays where the playback was.
    void stop(int voice);
    // Stops a playback and moves the position (clamped to 0..length).
    void seek(int voice, std::int64_t frame);
    void setGain(int voice, float gain);
    bool loaded(int voice) const;
    bool isPlaying(int voice) const;
    // How the latest play() of `voice` ended, once the mixer has ended it (its end event may
    // still be on its way); nothing while it plays or after a later stop, seek or load.
    std::optional<EndKind> endedAs(int voice) const;
    std::int64_t position(int voice) const;
    std::int64_t length(int voice) const;

    // Called on the worker thread for each end event of `voice`; replacing or clearing the
    // listener waits for a call in progress to return.
    using Listener = std::function<void(std::uint32_t playStamp, EndKind kind)>;
    void setListener(int voice, Listener listener);

    // Ends every playback with EndKind::Failed (at the mixer's next block), each voice keeping
    // its position. The device watchdog calls this when the output device fails.
    void reportDeviceFailure();

    // --- figures and test support ---
    // Times a playing voice had no decoded audio at its position.
    std::uint64_t underruns() const;
    // Audio callbacks that took longer than their period.
    std::uint64_t lateCallbacks() const;
    // Nanoseconds from the latest play() to the start of the output block that carried its
    // first frame, or -1 when none was measured yet.
    std::int64_t lastStartLatencyNs() const;
    // Waits until the worker has nothing left to do (rings full or at the end of their clips).
    bool waitIdle(std::chrono::milliseconds timeout);
    // Bytes of the voices' read-ahead rings.
    std::size_t ringBytes() const;

    struct Impl;

private:
    std::unique_ptr<Impl> d;
};

} // namespace media
