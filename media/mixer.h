#pragma once
// The eight-voice mixer, run by the audio thread: it takes the control thread's commands,
// reads every playing voice from its clip's head and its read-ahead ring, applies volume
// ramps and fades, and passes the sum through the safety limiter and the output's master
// ramp (which fades the whole output across a device switch). It never locks, allocates,
// logs or touches the disk.

#include "envelope.h"
#include "limiter.h"
#include "readahead.h"

#include <array>
#include <memory>
#include <vector>

namespace media::detail {

// The longest interrupted tail a voice keeps, in frames.
constexpr int kMaxFadeFrames = 1024;

class Mixer {
public:
    Mixer(Channels& channels, std::array<Ring, kVoices>& rings, int rate);

    // Mixes `frames` interleaved stereo frames into `out`.
    void mix(float* out, int frames);
    // The output's callback: mix() and the count of late callbacks.
    static void callback(void* mixer, float* out, int frames);

    int lookahead() const { return m_limiter.lookahead(); }

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
    };

    void mixChunk(float* out, int frames, std::int64_t blockNs, bool wantHold);
    void failAll();
    void processCommands();
    void mixTail(int v, float* out, int frames);
    int mixPlayback(int v, float* out, int frames, std::int64_t blockNs);
    int addVoice(Voice& r, const float* src, float* out, int frames);
    void mixTone(float* out, int frames);
    void beginFade(int v);
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
    // The settings page's test tone.
    std::int64_t m_toneLeft = 0;
    std::int64_t m_toneTotal;
    std::int64_t m_toneEdge;
    double m_tonePhase = 0.0;
    double m_toneStep;
    std::vector<float> m_scratch;
};

} // namespace media::detail
