#pragma once
// The meters behind a clip's loudness figures (clipanalysis.h), fed interleaved stereo float
// frames in pieces of any size. Both are made to cost little beside decoding the clip, which
// for AAC takes little itself.

#include <cstdint>
#include <vector>

namespace media {

// Which hot loops a meter runs: the fastest this machine has, or the 128-bit ones every
// machine runs (the ones a machine without AVX2 gets).
enum class MeterLoops { Fastest, Portable };

// Integrated loudness after ITU-R BS.1770 and EBU R128: both channels K-weighted (a high
// shelf of about +4 dB above 2 kHz, then a high-pass at 38 Hz), the mean square of every
// 400 ms block, blocks starting every 100 ms, gated at -70 LUFS and then at 10 LU below the
// mean of the blocks that passed. A part shorter than 400 ms, and the last part of a clip
// short of a whole 100 ms, are not blocks.
class LoudnessMeter {
public:
    explicit LoudnessMeter(int rate, MeterLoops loops = MeterLoops::Fastest);

    void add(const float* frames, std::int64_t n);
    // LUFS; -inf when no block passes the absolute gate (silence, or too short) or when the
    // blocks give no finite figure. From a sample that is not finite on (a broken file), the
    // filters hold no number and the rest of the clip gives no blocks.
    double integratedLufs() const;

private:
    void addNarrow(const float* frames, std::int64_t n);
    void addWide(const float* frames, std::int64_t n);

    struct Biquad {
        double b0, b1, b2, a1, a2;
    };
    Biquad m_shelf{};
    Biquad m_highPass{};           // its numerator is 1, -2, 1
    bool m_wide = false;           // the machine has AVX2 and FMA
    std::int64_t m_stepFrames = 1; // 100 ms (and at least kLag + 1 frames)
    // The history of the 128-bit recursion (addNarrow()), left and right: the shelf's input (x)
    // and output (y), the high-pass's output (z), one and two frames back; the energy of the
    // 100 ms in the making.
    double m_x1[2]{}, m_x2[2]{}, m_y1[2]{}, m_y2[2]{}, m_z1[2]{}, m_z2[2]{}, m_sum[2]{};
    // The 256-bit recursion's (addWide()): lanes 0 and 1 for the shelf, left and right, lanes
    // 2 and 3 for the high-pass, kLag frames behind; inputs one and two frames back, outputs
    // one to kLag frames back.
    static constexpr int kLag = 4;
    double m_in[2][4]{}, m_out[kLag][4]{};
    double m_energy[4]{};        // of the 100 ms in the making, in lanes 2 and 3
    int m_due = 0;               // frames until the last whole 100 ms has all its high-pass outputs
    std::int64_t m_inStep = 0;   // frames of it so far
    std::vector<double> m_steps; // summed energy of both channels, per whole 100 ms
};

// The true peak: the highest level of the signal between samples too, over both channels,
// found by interpolating it to four times its rate with a windowed sinc of 12 taps a phase.
// Only around samples that are peaks of their neighbourhood (where the wave between samples
// rises above them) and that could raise the peak found so far, even by the most the
// interpolation can add; the rest is passed over. The first and last six frames count with
// their samples only.
class TruePeakMeter {
public:
    explicit TruePeakMeter(MeterLoops loops = MeterLoops::Fastest);

    void add(const float* frames, std::int64_t n);
    // Linear; 0 for silence.
    double peak() const { return m_peak; }

private:
    static constexpr int kTaps = 12;
    static constexpr int kBefore = kTaps / 2 - 1; // taps before the sample interpolated after
    static constexpr int kPhases = 4;

    void scanAny(const float* x, std::size_t from, std::size_t to);
    void scanNarrow(const float* x, std::size_t from, std::size_t to);
    void scanWide(const float* x, std::size_t from, std::size_t to);
    template <typename V, typename Mask>
    void scan(const float* x, std::size_t from, std::size_t to);
    template <typename V, typename Mask> void around(const float* x, std::size_t sample);

    // The interpolated values between a sample and the frames on either side, all phases at
    // once: tap k of the window of kTaps + 1 frames, for the three phases before the sample
    // (0 to 2), then for the three after it (4 to 6); 3 and 7 stay 0.
    float m_taps[kTaps + 1][2 * kPhases]{};
    float m_bound = 1.0f; // the most a phase can give for samples of 1: the sum of its |taps|
    float m_peak = 0.0f;
    bool m_wide = false; // the machine has AVX2 and FMA
    // The last kTaps frames of the call before (m_kept of them), then the first new ones.
    float m_joint[4 * kTaps]{};
    std::size_t m_kept = 0;
};

} // namespace media
