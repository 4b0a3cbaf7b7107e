#pragma once
// The master safety limiter: a look-ahead peak limiter on the stereo sum of all voices, so
// that stacked pads never hard-clip.
//
// The mixer writes the sum into the limiter's bus lookahead() frames ahead of what leaves it.
// Every frame is therefore seen that long before it leaves, and the gain is lowered in time
// along a straight line, so that no frame leaves louder than the ceiling. A sound that starts
// now is written into the frames that leave first, so a key press gains no latency from the
// look-ahead; if that new sound takes the sum over the ceiling at once, the gain drops at once
// for it. While nothing reaches the ceiling the gain is exactly 1 and the samples leave
// bit-exact. After a peak the gain recovers smoothly (exponential release). Samples that are
// not finite leave as silence.
//
// It keeps the latest frames that left it, with the gain they left with, so that the frames an
// output has queued but not played can leave again from a changed sum: again() derives their
// gain anew from the gain before the first of them, as though the change had come in time.
//
// Used by the audio thread only: no lock, no allocation after construction.

#include <cstdint>
#include <vector>

namespace media {

class Limiter {
public:
    // About -0.9 dBFS: a clip normalised to -1 dBFS passes untouched, also after rounding to
    // 16 bits.
    static constexpr float kCeiling = 0.9f;

    // `maxBlock`: the most frames process() is asked for at once; `history`: frames that left
    // kept for again() (0, or a power of two above maxBlock).
    Limiter(int sampleRate, int maxBlock, int history = 0);

    int lookahead() const { return m_lookahead; }

    // Interleaved stereo frames: [0, lookahead()) hold what earlier blocks wrote ahead, and the
    // caller adds the next block's sum at [lookahead(), lookahead() + frames) after
    // beginBlock(frames) has cleared that part.
    float* bus() { return m_bus.data(); }
    void beginBlock(int frames);

    // Moves `frames` frames from the front of the bus to `out` (interleaved stereo) with the
    // limiting gain applied; the frames written ahead move to the front.
    void process(float* out, int frames);

    float gain() const { return 1.0f - m_reduction; }
    // The gain each frame of the latest process() left with; null when every one left at 1.
    const float* gains() const { return m_unity ? nullptr : m_gains.data(); }
    // Frames that left with a gain below 1 since construction.
    std::uint64_t limitedFrames() const { return m_limited; }

    // Frames that left so far.
    std::int64_t frame() const { return m_frame; }
    // The sum (stereo, before the gain) that left as frame `frame`, one of the latest
    // `history` - lookahead() - maxBlock; a caller may change it, then call again().
    float* kept(std::int64_t frame) { return m_keptSum.data() + slot(frame) * 2; }
    // The frames [from, frame()) leave again from their kept sums and the frames written
    // ahead, with the gain derived anew from the one frame `from` - 1 left with. Writes to
    // `change` (interleaved stereo, frame() - from frames) what each of them leaves with now
    // less what it left with, and goes on from the last of them. Returns the frames from `from`
    // up to the last one that changed.
    int again(std::int64_t from, float* change);

private:
    std::size_t slot(std::int64_t frame) const {
        return static_cast<std::size_t>(frame & (m_history - 1));
    }
    // The reduction a frame leaves with, from the one before it and the peaks of the frame and
    // of the lookahead() frames after it, which are in sight.
    float step(float reduction, const float* peaks) const;
    // Keeps what frames [m_frame, m_frame + frames) left with.
    void keep(const float* sum, const float* out, int frames);

    int m_lookahead;
    int m_maxBlock;
    float m_keep; // share of the gain reduction that stays from one frame to the next
    // 1 - gain, kept as it is: near 1 a float gain could not take the small steps of the
    // release, and would stall just below 1.
    float m_reduction = 0.0f;
    std::uint64_t m_limited = 0;
    std::vector<float> m_bus;
    std::vector<float> m_peak; // per-frame peak of the bus, for the slow path
    std::vector<float> m_gains;
    bool m_unity = true;
    std::int64_t m_frame = 0;
    std::int64_t m_history;
    std::vector<float> m_keptSum, m_keptOut, m_keptReduction;
};

} // namespace media
