#pragma once
// What the engine's threads tell each other: the commands of the control thread to the mixer,
// the mixer's fill requests to the read-ahead worker, its end events back to the listeners,
// and every voice's state packed into one word that the control thread reads.

#include "engine.h"
#include "spscqueue.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <semaphore>

namespace media::detail {

constexpr std::size_t kCommandCapacity = 1024;
constexpr std::size_t kRequestCapacity = 256;
constexpr std::size_t kEventCapacity = 256;

// The published state of a voice, one 64-bit word: position (39 bits), ended, playing,
// failed and faded flags and the low 21 bits of the playback stamp.
constexpr std::uint64_t kPosMask = (std::uint64_t{1} << 39) - 1;
constexpr std::uint64_t kEndedBit = std::uint64_t{1} << 39;
constexpr std::uint64_t kPlayingBit = std::uint64_t{1} << 40;
constexpr std::uint64_t kFailedBit = std::uint64_t{1} << 41;
constexpr std::uint64_t kFadedBit = std::uint64_t{1} << 42;
constexpr int kStampShift = 43;
constexpr std::uint32_t kStampMask = (1u << 21) - 1;

inline std::uint64_t pack(std::uint32_t stamp, bool playing, bool ended, bool failed, bool faded,
                          std::int64_t pos) {
    return (std::uint64_t{stamp & kStampMask} << kStampShift) | (playing ? kPlayingBit : 0) |
           (ended ? kEndedBit : 0) | (failed ? kFailedBit : 0) | (faded ? kFadedBit : 0) |
           (static_cast<std::uint64_t>(pos) & kPosMask);
}
inline std::uint32_t stampOf(std::uint64_t s) {
    return static_cast<std::uint32_t>(s >> kStampShift);
}
inline std::int64_t posOf(std::uint64_t s) {
    return static_cast<std::int64_t>(s & kPosMask);
}

inline std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The head of a voice's clip from a trimmed in point that the clip's own head does not start
// at: a second decoder of the same file prepares it on the pool, and the mixer takes it once
// `ready`. Lives until the mixer and the worker have seen the command that replaced it.
struct WindowHead {
    std::int64_t start = 0;     // the in point it starts at
    std::shared_ptr<Clip> clip; // null when the file could not be opened again
    std::atomic<bool> ready{false};
    const Clip* usable() const {
        return ready.load(std::memory_order_acquire) && clip && clip->headReady() ? clip.get()
                                                                                  : nullptr;
    }
};

struct Command {
    enum Type : std::uint8_t {
        Load,
        Unload,
        Play,
        Stop,
        Seek,
        Gain,
        Loop,
        Fade,
        Tone,
        Window,   // frame..until: the window a playback plays; head: its head
        Fades,    // frame, until: fade-in and fade-out lengths
        TrimGain, // gain: the pad's gain, on top of the volume
    };
    Type type = Gain;
    std::uint8_t voice = 0;
    bool resume = false; // Play: a playing voice goes on where it is
    bool flag = false;   // Loop: on
    std::uint32_t stamp = 0;
    std::int64_t frame = 0; // Play, Stop, Seek: the position; Fade: its length
    std::int64_t until = 0;
    float gain = 1.0f;
    Clip* clip = nullptr;
    const WindowHead* head = nullptr;
    std::uint64_t seq = 0;
    std::int64_t timeNs = 0;
};

// A fill request that only hands the worker a clip whose head is not ready yet.
constexpr std::int64_t kNoFill = -1;

// Asks the worker to fill a voice's ring from `frame` of `clip` (none: let go of the clip).
struct FillRequest {
    std::uint8_t voice = 0;
    Clip* clip = nullptr;
    std::int64_t frame = 0;
    std::uint32_t seq = 0;
    std::uint64_t cmdSeq = 0;
    // A loop through the rate converter: every pass after the first is in the ring, whole,
    // as the converter made it from the clip repeated (Clip::readOn).
    bool continuous = false;
    // The window the frames are counted in (clip frames; `frame` counts from `in`), and the
    // frames of it the mixer takes from a head in memory.
    std::int64_t in = 0;
    std::int64_t out = 0;
    std::int64_t headFrames = 0;
};

struct Event {
    std::uint8_t voice = 0;
    std::uint32_t stamp = 0;
    EndKind kind = EndKind::Finished;
};

// The queues, flags and figures the control thread, the mixer, the read-ahead worker and the
// device watcher share. Everything here is lock-free.
struct Channels {
    moodycamel::ReaderWriterQueue<Command> commands{kCommandCapacity};
    moodycamel::ReaderWriterQueue<FillRequest> requests{kRequestCapacity};
    moodycamel::ReaderWriterQueue<Event> events{kEventCapacity};

    // Written by the mixer, read by the control thread.
    std::array<std::atomic<std::uint64_t>, kVoices> published{};
    // The latest command of each voice the worker has taken a fill request for: the clips
    // replaced before it may go.
    std::array<std::atomic<std::uint64_t>, kVoices> workerAck{};
    // The mixer's loop switches, for the worker that decodes the next pass.
    std::array<std::atomic<bool>, kVoices> loopFlags{};

    // Device failures: the device watcher counts them, the mixer ends every playback it sees
    // one in.
    std::atomic<std::uint32_t> failures{0};
    // A device switch: the watcher asks the mixer to fade the output out and stand still
    // (holdRequest); the mixer says when it does (held).
    std::atomic<bool> holdRequest{false};
    std::atomic<bool> held{false};

    std::atomic<std::uint64_t> underruns{0};
    std::atomic<std::uint64_t> late{0};
    std::atomic<std::int64_t> startLatency{-1};
    std::atomic<std::uint64_t> limited{0};

    // Wakes the read-ahead worker; the mixer posts at most one wake-up until the worker took it.
    std::counting_semaphore<1> wake{0};
    std::atomic<bool> wakePosted{false};
    void wakeWorker() {
        if (!wakePosted.exchange(true, std::memory_order_acq_rel))
            wake.release();
    }
};

} // namespace media::detail
