#pragma once
// The eight-voice mixer, run by the audio thread: it takes the control thread's commands,
// reads every playing voice from its clip's head and its read-ahead ring, applies volume
// ramps and fades, and passes the sum through the safety limiter and the output's master
// ramp (which fades the whole output across a device switch). It never locks, allocates,
// logs or touches the disk.

#include "ducking.h"
#include "envelope.h"
#include "limiter.h"
#include "output.h"
#include "readahead.h"

#include <array>
#include <cmath>
#include <memory>
#include <numbers>
#include <vector>

namespace media::detail {

// The longest interrupted tail a voice keeps, in frames.
constexpr int kMaxFadeFrames = 1024;
// Output frames a voice's contribution is remembered for (a power of two): more than the
// deepest late window (kMaxLateFrames), a mixer block and the limiter's look-ahead.
constexpr int kTraceFrames = 16384;
static_assert(kTraceFrames >= kMaxLateFrames + 2048);
// Where a voice's trace keeps output frame `frame`.
inline std::size_t traceSlot(std::int64_t frame) {
    return static_cast<std::size_t>(frame & (kTraceFrames - 1));
}

// The equal-power curve of a cross-fade: x runs 0..1, and sin^2 + cos^2 keeps the power.
inline float quarterSine(float x) {
    return std::sin(x * static_cast<float>(std::numbers::pi / 2));
}

class Mixer {
public:
    Mixer(Channels& channels, std::array<Ring, kVoices>& rings, int rate);

    // Mixes `frames` interleaved stereo frames into `out`.
    void mix(float* out, int frames);
    // The output's callback: mix() and the count of late callbacks.
    static void callback(void* mixer, float* out, int frames);

    int lookahead() const { return m_limiter.lookahead(); }

    // Playbacks started since the last mix() begin in `late`: `frames` frames the output has
    // queued but the server has not played yet, the last of them just before the next mix()'s
    // first frame. Stops, fades and volume changes taken with them take effect there too, and
    // the limiter's gain over those frames is derived again: what is added to `late` (a
    // negative amount where it falls) changes each frame to what it would have been had the
    // command come in time for it. Returns the frames touched, 0 when nothing changed there.
    // Called by the audio thread, before mix().
    int lateStart(float* late, int frames);
    static int lateCallback(void* mixer, float* late, int frames);

private:
    // Voice state owned by the audio thread.
    struct Voice {
        Clip* clip = nullptr;
        bool playing = false;
        std::int64_t pos = 0; // the next frame the voice mixes (ahead of what is heard by `lead`)
        std::uint32_t stamp = 0;
        float gain = 1.0f;
        float target = 1.0f;
        int fadeInLeft = 0;
        bool loop = false;
        bool needPrime = false;  // the clip's head is not ready: no fill asked, no playing yet
        bool startAhead = false; // the playback has not sounded yet: it starts in the look-ahead
        int lead = 0;            // frames mixed ahead of the output
        bool sounding = false;   // the playback has produced sound
        bool starved = false;    // its read-ahead ran dry: silent until the worker caught up
        // Ring frames of the passes a looping playback has finished in its current segment.
        std::int64_t passOffset = 0;
        // The segment asked for holds the clip repeated through the converter: passes after
        // the first come whole from the ring, none from the head.
        bool continuous = false;
        // A fade-out command's envelope: the level falls by dimStep per frame; at 0 it ends.
        float dimLevel = 1.0f;
        float dimStep = 0.0f;
        // A cross-fade: the fade-out follows a quarter cosine instead of a straight line, and
        // the playback that replaces it swells in along a quarter sine (swell 0..1).
        bool dimPower = false;
        float swell = 1.0f;
        float swellStep = 0.0f;
        // The pad's preparation. The window asked for (clip frames, out 0 = the clip's end)
        // applies whenever the voice is not playing, so that a playback keeps the window it
        // started with; `pos` counts from the applied window's in point.
        std::int64_t wantIn = 0;
        std::int64_t wantOut = 0;
        const WindowHead* wantHead = nullptr;
        std::int64_t winIn = 0;
        std::int64_t winOut = 0;
        const WindowHead* extraHead = nullptr;
        // The head the playback takes from memory, from the window's in point.
        const float* headData = nullptr;
        std::int64_t headLen = 0;
        Envelope env;
        float volume = 1.0f;
        float trim = 1.0f;
        bool laterPass = false; // a looping playback is past its first pass: no fade-in
        // The ring segment this voice expects.
        std::uint32_t fillSeq = 0;
        std::int64_t fillFrame = -1;
        bool fillTouched = false;
        bool requestPending = false;
        FillRequest pending;
        bool eventPending = false;
        Event pendingEvent;
        // Tail of an interrupted playback, already faded and scaled, mixed over the next blocks.
        std::array<float, kMaxFadeFrames * 2> fade{};
        std::array<float, kMaxFadeFrames * 2> fadeTmp{};
        int fadeLen = 0;
        int fadePos = 0;
        bool awaitingFirst = false;
        std::int64_t startNs = 0;
        bool dirty = true;
        bool ended = false;  // the playback `stamp` is over: at the end, by a failure or a fade
        bool failed = false; // ... by a device failure
        bool faded = false;  // ... by a fade-out
        // The output frame the latest start or change of the playback took effect at: a
        // later command never takes effect before it.
        std::int64_t settledAt = 0;
    };

    // What a voice added to each of the latest kTraceFrames output frames, by output frame
    // modulo kTraceFrames: the samples before its gain and fade-out (`unit`, stereo; with the
    // ducker's gain when it lowered them, as they went into the limiter), the gain times
    // fade-out it added them at (`scale`), the gain and fade-out level it entered the frame
    // with (gainIn < 0: it added nothing there), and the ducker's gain (0: not lowered).
    struct Trace {
        std::vector<float> unit, scale, gainIn, dimIn, duck;
        explicit Trace(std::size_t frames)
            : unit(frames * 2, 0.0f), scale(frames, 0.0f), gainIn(frames, -1.0f),
              dimIn(frames, 1.0f), duck(frames, 0.0f) {}
    };

    void takeCommands();
    void mixChunk(float* out, int frames, std::int64_t blockNs, bool wantHold);
    void failAll();
    void processCommands();
    void mixTail(int v, float* out, int frames);
    int mixPlayback(int v, float* out, int frames, std::int64_t blockNs, std::int64_t at);
    int addVoice(int v, const float* src, float* out, int frames, std::int64_t at);
    void mixTone(float* out, int frames);
    void beginFade(int v, int skip = 0);
    void interrupt(int v);
    std::int64_t lateFrame(const Voice& r) const;
    std::int64_t writeFrame() const { return m_outFrame + m_limiter.lookahead(); }
    // The limiter's count of an output frame (the output counts on while it holds).
    std::int64_t limiterFrame(std::int64_t frame) const {
        return frame - m_outFrame + m_limiter.frame();
    }
    float* queued(std::int64_t frame);
    int startInQueue(float* late, int frames, std::int64_t blockNs);
    float dimAt(int v, std::int64_t frame) const;
    void replay(int v, std::int64_t from);
    void forget(int v, std::int64_t from);
    void traceGains(const float* gains, std::uint32_t voices, std::int64_t from, int frames);
    void crossfade(int v, std::uint8_t others, std::int64_t frames);
    void releaseDuck(std::uint32_t stopped);
    std::uint32_t playingVoices() const {
        std::uint32_t playing = 0;
        for (int v = 0; v < kVoices; ++v)
            playing |= m_voices[static_cast<std::size_t>(v)].playing ? 1u << v : 0u;
        return playing;
    }
    void end(int v, EndKind kind);
    std::int64_t heardPos(const Voice& r) const;
    Window window(const Voice& r) const;
    std::int64_t winLen(const Voice& r) const { return window(r).length(); }
    bool endKnown(const Voice& r) const;
    void applyWindow(Voice& r);
    bool latchHead(Voice& r);
    void handlePreparation(Voice& r, const Command& c);
    void request(int v, Clip* clip, std::int64_t frame, std::uint64_t cmdSeq);
    void prime(int v, std::uint64_t cmdSeq);
    bool wantsContinuous(const Voice& r) const;
    bool segmentFits(const Voice& r, std::int64_t want) const;
    std::int64_t nextPass(const Voice& r) const;
    bool fromHead(const Voice& r, std::int64_t pos, std::int64_t passOffset) const;
    std::int64_t headPart(const Voice& r, bool continuous) const;
    std::int64_t available(int v, std::int64_t pos, std::int64_t passOffset) const;
    int readStream(int v, std::int64_t pos, std::int64_t passOffset, float* dst, int frames);
    void publish(int v);
    void postEvent(int v, const Event& e);

    Channels& m_ch;
    std::array<Ring, kVoices>& m_rings;
    const int m_rate;
    std::array<Voice, kVoices> m_voices;
    std::uint32_t m_failuresSeen = 0;
    bool m_holding = false; // voices stand still, the output is silent
    float m_master = 1.0f;  // the output's fade for switches
    float m_masterStep;
    int m_fadeOutFrames;
    int m_fadeInFrames;
    float m_gainStep;
    Limiter m_limiter;
    Ducker<kVoices> m_ducker;
    // The settings page's test tone.
    std::int64_t m_toneLeft = 0;
    std::int64_t m_toneTotal;
    std::int64_t m_toneEdge;
    double m_tonePhase = 0.0;
    double m_toneStep;
    std::vector<float> m_scratch;
    std::vector<Trace> m_traces;
    std::vector<float> m_duckGains; // the ducker's gain by output frame, as the traces keep it
    std::vector<float> m_lateGains; // the ducker's gains over a late window and the look-ahead
    std::int64_t m_outFrame = 0;    // output frames mixed so far
    std::int64_t m_fullFrom = 0;    // the output has not been faded since this output frame
    // While lateStart() takes commands: its frames, the output frame of the first, and how
    // many of them a command changed.
    float* m_late = nullptr;
    std::int64_t m_lateFrom = 0;
    int m_lateTouched = 0;
};

} // namespace media::detail
