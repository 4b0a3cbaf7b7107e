#pragma once
// Every voice's read-ahead: a ring of decoded frames the worker thread fills ahead of the
// mixer, and the worker, which also hands the mixer's end events to the listeners. The worker
// never touches the output device, so that a slow device cannot starve a sounding pad.

#include "messages.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace media::detail {

// Read-ahead per voice: about 1.4 s at 48 kHz.
constexpr std::int64_t kRingFrames = 1 << 16;

// Single-producer (worker) single-consumer (audio) ring of stereo frames. A fill request
// starts a segment at the current write index; the frames before it are stale and the audio
// thread skips them once it sees the segment's sequence number. A looping voice's segment
// goes on past the clip's end with the part after the head, pass after pass.
struct Ring {
    std::unique_ptr<float[]> data{new float[kRingFrames * 2]()};
    std::atomic<std::uint64_t> writeIndex{0};
    std::atomic<std::uint64_t> readIndex{0};
    std::atomic<std::uint32_t> seq{0};
    std::atomic<std::uint64_t> segStart{0};
    std::atomic<std::int64_t> segFrame{0};

    // --- audio thread
    // Frames of the segment `want` held without a gap from clip frame `pos` (`passOffset`:
    // ring frames of the looping passes before it); their ring index goes to `index`.
    std::int64_t readable(std::uint32_t want, std::int64_t pos, std::int64_t passOffset,
                          std::uint64_t& index) const;
    // Copies `frames` frames from `index` (as readable() gave it) and lets them go.
    void take(std::uint64_t index, float* dst, std::int64_t frames);
    // Lets go of the frames before the segment `want`, once the worker has started it.
    void skipStale(std::uint32_t want);
};

class ReadAhead {
public:
    explicit ReadAhead(Channels& channels);
    ~ReadAhead();
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    std::array<Ring, kVoices>& rings() { return m_rings; }

    void setListener(int voice, Engine::Listener listener);
    // Waits until a round that started after this call has run to its end: every request
    // queued before it is taken, and no ring can take more.
    bool waitIdle(std::chrono::steady_clock::time_point until);

private:
    // Voice state owned by the worker.
    struct Voice {
        Clip* clip = nullptr;
        bool done = true;
        bool atEnd = false; // done because the clip ended: a looping voice goes on from its start
        bool continuous = false;    // the segment is the clip repeated through the converter
        std::int64_t streamPos = 0; // ... and the frame of that stream it has reached
        // The window the segment plays (clip frames, out 0 = the clip's end), the head the
        // mixer takes from memory at its in point, and the clip frame read next.
        std::int64_t in = 0;
        std::int64_t out = 0;
        std::int64_t headFrames = 0;
        std::int64_t clipPos = 0;
    };

    void run();
    void takeRequests(bool& progress);
    void deliverEvents();
    bool fillOnce(int v);
    bool fillOn(int v);

    Channels& m_ch;
    std::array<Ring, kVoices> m_rings;
    std::array<Voice, kVoices> m_voices;
    std::vector<float> m_scratch;
    std::mutex m_listenerMutex;
    std::array<Engine::Listener, kVoices> m_listeners;
    std::mutex m_idleMutex;
    std::condition_variable m_idleCv;
    std::uint64_t m_roundsStarted = 0;
    std::uint64_t m_lastCompleted = 0; // number of the last round that ran to its end
    std::atomic<bool> m_quit{false};
    std::thread m_thread;
};

} // namespace media::detail
