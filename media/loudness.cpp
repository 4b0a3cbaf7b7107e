#include "loudness.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#if defined(__SSE__)
#include <xmmintrin.h>
#endif

// The hot loops come twice: for any machine, on registers of 128 bits, and for machines with
// AVX2 and fused multiply-add, on registers of 256 bits, chosen when first used. The file is
// built to contract a * b + c into one instruction where the machine has it.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define WIDE_LOOP __attribute__((target("avx2,fma")))
#else
#define WIDE_LOOP
#endif

namespace media {

namespace {

// Both channels of a frame at once, and of both filters.
typedef double Pair __attribute__((vector_size(16)));
typedef double Quad __attribute__((vector_size(32)));
// Four samples of interleaved frames, and the masks comparing them gives.
typedef float Four __attribute__((vector_size(16)));
typedef int FourMask __attribute__((vector_size(16)));
// Eight of them. Vectors of 256 bits go to and from functions by reference only: by value
// their passing would depend on the machine.
typedef float Eight __attribute__((vector_size(32)));
typedef int EightMask __attribute__((vector_size(32)));

Pair pairOf(const double (&v)[2]) {
    return Pair{v[0], v[1]};
}

void store(double (&to)[2], Pair v) {
    to[0] = v[0];
    to[1] = v[1];
}

bool wideMachine() {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    static const bool wide = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return wide;
#else
    return false;
#endif
}

template <typename V> [[gnu::always_inline]] inline void load(V& v, const float* p) {
    std::memcpy(&v, p, sizeof v);
}

template <typename V, typename Mask> [[gnu::always_inline]] inline void makeMagnitude(V& v) {
    v = reinterpret_cast<V>(reinterpret_cast<Mask>(v) & 0x7fffffff);
}

[[gnu::always_inline]] inline float largest(const Four& v) {
    const Four swapped = __builtin_shufflevector(v, v, 2, 3, 0, 1);
    const Four most = v > swapped ? v : swapped;
    const Four next = __builtin_shufflevector(most, most, 1, 0, 3, 2);
    return std::max(most[0], next[0]);
}

// One bit a lane of a mask, the first lane lowest.
[[gnu::always_inline]] inline unsigned bitsOf(const FourMask& m) {
#if defined(__SSE__)
    return static_cast<unsigned>(_mm_movemask_ps(reinterpret_cast<__m128>(m)));
#else
    return (m[0] & 1u) | (m[1] & 2u) | (m[2] & 4u) | (m[3] & 8u);
#endif
}

[[gnu::always_inline]] inline unsigned bitsOf(const EightMask& m) {
    return bitsOf(FourMask(__builtin_shufflevector(m, m, 0, 1, 2, 3))) |
           bitsOf(FourMask(__builtin_shufflevector(m, m, 4, 5, 6, 7))) << 4;
}

[[gnu::always_inline]] inline float largest(const Eight& v) {
    const Four low = __builtin_shufflevector(v, v, 0, 1, 2, 3);
    const Four high = __builtin_shufflevector(v, v, 4, 5, 6, 7);
    return largest(low > high ? low : high);
}

// Mean squares of the gate: -70 LUFS, and 10 LU.
constexpr double kAbsoluteGate = 1.1724653045822963e-7; // 10^((-70 + 0.691) / 10)
constexpr double kRelativeGate = 0.1;

double lufsOf(double meanSquare) {
    return -0.691 + 10.0 * std::log10(meanSquare);
}

} // namespace

LoudnessMeter::LoudnessMeter(int rate, MeterLoops loops) {
    // The two stages of the K-weighting, from their analogue prototypes by the bilinear
    // transform, so that any rate gets the response the 48 kHz coefficients of BS.1770 have.
    // A rate too low for a corner keeps it just below half the rate.
    const double fs = std::max(rate, 1);
    auto warp = [fs](double f0) { return std::tan(M_PI * std::min(f0, 0.49 * fs) / fs); };
    {
        const double gainDb = 3.999843853973347, q = 0.7071752369554196;
        const double k = warp(1681.974450955533);
        const double vh = std::pow(10.0, gainDb / 20.0);
        const double vb = std::pow(vh, 0.4996667741545416);
        const double a0 = 1.0 + k / q + k * k;
        m_shelf = {(vh + vb * k / q + k * k) / a0, 2.0 * (k * k - vh) / a0,
                   (vh - vb * k / q + k * k) / a0, 2.0 * (k * k - 1.0) / a0,
                   (1.0 - k / q + k * k) / a0};
    }
    {
        const double q = 0.5003270373238773;
        const double k = warp(38.13547087602444);
        const double a0 = 1.0 + k / q + k * k;
        m_highPass = {1.0, -2.0, 1.0, 2.0 * (k * k - 1.0) / a0, (1.0 - k / q + k * k) / a0};
    }
    m_stepFrames = std::max<std::int64_t>((std::int64_t{rate} + 5) / 10, kLag + 1);
    m_wide = loops == MeterLoops::Fastest && wideMachine();
}

void LoudnessMeter::add(const float* frames, std::int64_t n) {
    if (m_wide)
        addWide(frames, n);
    else
        addNarrow(frames, n);
}

void LoudnessMeter::addNarrow(const float* frames, std::int64_t n) {
    const Pair b0 = Pair{1, 1} * m_shelf.b0, b1 = Pair{1, 1} * m_shelf.b1,
               b2 = Pair{1, 1} * m_shelf.b2, a1 = Pair{1, 1} * m_shelf.a1,
               a2 = Pair{1, 1} * m_shelf.a2;
    const Pair c1 = Pair{1, 1} * m_highPass.a1, c2 = Pair{1, 1} * m_highPass.a2;
    Pair x1 = pairOf(m_x1), x2 = pairOf(m_x2), y1 = pairOf(m_y1), y2 = pairOf(m_y2),
         z1 = pairOf(m_z1), z2 = pairOf(m_z2), energy = pairOf(m_sum);
    for (std::int64_t i = 0; i < n;) {
        const std::int64_t end = std::min(n, i + m_stepFrames - m_inStep);
        m_inStep += end - i;
        for (; i < end; ++i) {
            const Pair x = {frames[2 * i], frames[2 * i + 1]};
            // Direct form I, each sum ordered so that only the last product waits for the
            // frame before: the filters' recursion is what takes the time.
            const Pair y = (b0 * x + b1 * x1 + b2 * x2 - a2 * y2) - a1 * y1;
            const Pair z = ((y - y1 - y1) + y2 - c2 * z2) - c1 * z1;
            energy += z * z;
            x2 = x1;
            x1 = x;
            y2 = y1;
            y1 = y;
            z2 = z1;
            z1 = z;
        }
        if (m_inStep == m_stepFrames) {
            m_steps.push_back(energy[0] + energy[1]);
            energy = Pair{0, 0};
            m_inStep = 0;
        }
    }
    store(m_x1, x1);
    store(m_x2, x2);
    store(m_y1, y1);
    store(m_y2, y2);
    store(m_z1, z1);
    store(m_z2, z2);
    store(m_sum, energy);
}

WIDE_LOOP void LoudnessMeter::addWide(const float* frames, std::int64_t n) {
    // One recursion of four lanes: lanes 0 and 1 run the shelf on frame i, lanes 2 and 3 the
    // high-pass on the shelf's output of frame i - kLag, which has long been ready: no lane
    // then waits on another within a frame.
    const Quad b0 = {m_shelf.b0, m_shelf.b0, 1.0, 1.0}, b1 = {m_shelf.b1, m_shelf.b1, -2.0, -2.0},
               b2 = {m_shelf.b2, m_shelf.b2, 1.0, 1.0},
               a1 = {m_shelf.a1, m_shelf.a1, m_highPass.a1, m_highPass.a1},
               a2 = {m_shelf.a2, m_shelf.a2, m_highPass.a2, m_highPass.a2};
    Quad in1, in2, out1, out2, out3, out4, energy;
    std::memcpy(&in1, m_in[0], sizeof in1);
    std::memcpy(&in2, m_in[1], sizeof in2);
    std::memcpy(&out1, m_out[0], sizeof out1);
    std::memcpy(&out2, m_out[1], sizeof out2);
    std::memcpy(&out3, m_out[2], sizeof out3);
    std::memcpy(&out4, m_out[3], sizeof out4);
    std::memcpy(&energy, m_energy, sizeof energy);
    int due = m_due;
    for (std::int64_t i = 0; i < n;) {
        const std::int64_t end = std::min(n, i + m_stepFrames - m_inStep);
        m_inStep += end - i;
        for (; i < end; ++i) {
            const Quad x = {frames[2 * i], frames[2 * i + 1], 0.0, 0.0};
            const Quad in0 = __builtin_shufflevector(x, out4, 0, 1, 4, 5);
            // Direct form I, the sum ordered by how recently what it waits for was made: the
            // shelf's output of frame i - kLag first, then that of frame i - 2, then that of
            // frame i - 1.
            const Quad out0 = ((b1 * in1 + b2 * in2 + b0 * in0) - a2 * out2) - a1 * out1;
            energy += out0 * out0;
            in2 = in1;
            in1 = in0;
            out4 = out3;
            out3 = out2;
            out2 = out1;
            out1 = out0;
            if (due > 0 && --due == 0) {
                // The last frame of the step before has just been weighted.
                m_steps.push_back(energy[2] + energy[3]);
                energy = Quad{0, 0, 0, 0};
            }
        }
        if (m_inStep == m_stepFrames) {
            due = kLag;
            m_inStep = 0;
        }
    }
    m_due = due;
    std::memcpy(m_in[0], &in1, sizeof in1);
    std::memcpy(m_in[1], &in2, sizeof in2);
    std::memcpy(m_out[0], &out1, sizeof out1);
    std::memcpy(m_out[1], &out2, sizeof out2);
    std::memcpy(m_out[2], &out3, sizeof out3);
    std::memcpy(m_out[3], &out4, sizeof out4);
    std::memcpy(m_energy, &energy, sizeof energy);
}

double LoudnessMeter::integratedLufs() const {
    // The high-pass runs kLag frames behind: as many frames more of anything bring out the
    // last whole step's last outputs; they fall in the step after, which stays short of whole.
    std::vector<double> steps;
    if (m_due > 0) {
        LoudnessMeter rest = *this;
        const float nothing[2 * kLag] = {};
        rest.add(nothing, m_due);
        steps = std::move(rest.m_steps);
    } else {
        steps = m_steps;
    }
    // The mean square of each 400 ms block, the four steps that end with it.
    std::vector<double> blocks;
    if (steps.size() >= 4) {
        blocks.reserve(steps.size() - 3);
        const double frames = 4.0 * static_cast<double>(m_stepFrames);
        for (std::size_t j = 3; j < steps.size(); ++j)
            blocks.push_back((steps[j - 3] + steps[j - 2] + steps[j - 1] + steps[j]) / frames);
    }
    auto meanAbove = [&](double gate) {
        double sum = 0.0;
        std::size_t count = 0;
        for (double b : blocks)
            if (b >= gate) {
                sum += b;
                ++count;
            }
        return count > 0 ? sum / static_cast<double>(count) : 0.0;
    };
    const double ungated = meanAbove(kAbsoluteGate);
    if (ungated <= 0.0)
        return -HUGE_VAL;
    const double gated = meanAbove(std::max(kAbsoluteGate, ungated * kRelativeGate));
    // A broken file's infinite samples give no figure rather than an infinite one.
    return gated > 0.0 && std::isfinite(gated) ? lufsOf(gated) : -HUGE_VAL;
}

TruePeakMeter::TruePeakMeter(MeterLoops loops)
    : m_wide(loops == MeterLoops::Fastest && wideMachine()) {
    for (int p = 1; p < kPhases; ++p) {
        float sum = 0.0f;
        for (int k = 0; k < kTaps; ++k) {
            const double u = (k - kBefore) - static_cast<double>(p) / kPhases;
            const double sinc = u == 0.0 ? 1.0 : std::sin(M_PI * u) / (M_PI * u);
            const double window = 0.5 * (1.0 + std::cos(M_PI * u / (kTaps / 2 + 0.5)));
            const auto tap = static_cast<float>(sinc * window);
            // Before the sample: the filter over frames 0 to kTaps - 1 of the window; after
            // it: over frames 1 to kTaps.
            m_taps[k][p - 1] = tap;
            m_taps[k + 1][kPhases + p - 1] = tap;
            sum += std::fabs(tap);
        }
        m_bound = std::max(m_bound, sum);
    }
}

// The wave on both sides of sample `sample` of `x`, when it could raise the peak: the window
// of kTaps + 1 frames in the sample's channel, kBefore + 1 of them before it, the phases
// before and after the sample side by side in vectors of V, summed in four parts, so that the
// sums do not wait on one another.
template <typename V, typename Mask>
[[gnu::always_inline]] inline void TruePeakMeter::around(const float* x, std::size_t sample) {
    const float a = std::fabs(x[sample]);
    if (a * m_bound <= m_peak || a < std::fabs(x[sample - 2]) || a < std::fabs(x[sample + 2]))
        return;
    constexpr int kLanes = sizeof(V) / sizeof(float);
    constexpr int kParts = 2 * kPhases / kLanes;
    const float* at = x + sample - 2 * (kBefore + 1);
    V sum[kParts][4]{};
#pragma GCC unroll 13
    for (int k = 0; k <= kTaps; ++k)
        for (int part = 0; part < kParts; ++part) {
            V taps;
            load(taps, m_taps[k] + part * kLanes);
            sum[part][k % 4] += at[2 * k] * taps;
        }
    for (int part = 0; part < kParts; ++part) {
        V all = (sum[part][0] + sum[part][1]) + (sum[part][2] + sum[part][3]);
        makeMagnitude<V, Mask>(all);
        m_peak = std::max(m_peak, largest(all));
    }
}

// Samples [from, to) of interleaved frames `x`, sixteen at a time: each counts itself, and
// those that are peaks of their neighbourhood in their channel and could raise the peak have
// the wave around them interpolated. Which those are depends on the peak so far, but none
// left out could have raised the peak as it is at the end. Where they lie in music is not to
// be foreseen: they are found by bits rather than by a branch a sample, a stretch at a time,
// and interpolated after each stretch, which keeps the search's values in registers.
template <typename V, typename Mask>
[[gnu::always_inline]] inline void TruePeakMeter::scan(const float* x, std::size_t from,
                                                       std::size_t to) {
    constexpr std::size_t kLanes = sizeof(V) / sizeof(float);
    constexpr std::size_t kGroup = 16;
    constexpr std::size_t kStretch = 64 * kGroup;
    std::uint32_t found[kStretch];
    V most{};
    std::size_t s = from;
    while (s + kGroup <= to) {
        const std::size_t end = std::min(to, s + kStretch);
        const V bound = V{} + m_bound, peak = V{} + m_peak;
        std::size_t count = 0;
        for (; s + kGroup <= end; s += kGroup) {
            unsigned bits = 0;
            for (std::size_t g = 0; g < kGroup / kLanes; ++g) {
                const float* at = x + s + kLanes * g;
                V a, before, after;
                load(a, at);
                load(before, at - 2);
                load(after, at + 2);
                makeMagnitude<V, Mask>(a);
                makeMagnitude<V, Mask>(before);
                makeMagnitude<V, Mask>(after);
                most = a > most ? a : most;
                const Mask high = (a * bound > peak) & (a >= before) & (a >= after);
                bits |= bitsOf(high) << (kLanes * g);
            }
            for (; bits != 0; bits &= bits - 1)
                found[count++] = static_cast<std::uint32_t>(s - from) +
                                 static_cast<std::uint32_t>(__builtin_ctz(bits));
        }
        for (std::size_t i = 0; i < count; ++i)
            around<V, Mask>(x, from + found[i]);
    }
    m_peak = std::max(m_peak, largest(most));
    for (; s < to; ++s) {
        m_peak = std::max(m_peak, std::fabs(x[s]));
        around<V, Mask>(x, s);
    }
}

void TruePeakMeter::scanNarrow(const float* x, std::size_t from, std::size_t to) {
    scan<Four, FourMask>(x, from, to);
}

WIDE_LOOP void TruePeakMeter::scanWide(const float* x, std::size_t from, std::size_t to) {
    scan<Eight, EightMask>(x, from, to);
}

void TruePeakMeter::scanAny(const float* x, std::size_t from, std::size_t to) {
    if (m_wide)
        scanWide(x, from, to);
    else
        scanNarrow(x, from, to);
}

void TruePeakMeter::add(const float* frames, std::int64_t n) {
    if (n <= 0)
        return;
    const std::size_t count = static_cast<std::size_t>(n);
    // Where this call meets the one before: the frames kept from it and the first new ones.
    const std::size_t joined = std::min<std::size_t>(count, kTaps);
    std::copy(frames, frames + 2 * joined, m_joint + 2 * m_kept);
    const std::size_t jointFrames = m_kept + joined;
    // The samples of the joint count themselves, the first of the clip among them, which have
    // no whole filter of frames before them.
    for (std::size_t s = 0; s < 2 * jointFrames; ++s)
        m_peak = std::max(m_peak, std::fabs(m_joint[s]));
    // The frames with a whole filter of frames on both sides: those of the joint, then those
    // of the new frames that follow.
    constexpr std::size_t kEdge = kBefore + 1;
    if (jointFrames > 2 * kEdge)
        scanAny(m_joint, 2 * kEdge, 2 * (jointFrames - kEdge));
    if (count > 2 * kEdge)
        scanAny(frames, 2 * kEdge, 2 * (count - kEdge));

    // The last frames stay for the filter of the next call's first ones.
    const std::size_t keep = std::min<std::size_t>(jointFrames, kTaps);
    if (count >= kTaps)
        std::copy(frames + 2 * (count - keep), frames + 2 * count, m_joint);
    else
        std::copy(m_joint + 2 * (jointFrames - keep), m_joint + 2 * jointFrames, m_joint);
    m_kept = keep;
    // Those count themselves now: they may be the clip's last, with no frames after them.
    for (std::size_t s = 0; s < 2 * keep; ++s)
        m_peak = std::max(m_peak, std::fabs(m_joint[s]));
}

} // namespace media
