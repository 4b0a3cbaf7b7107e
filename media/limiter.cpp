#include "limiter.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>

namespace media {

namespace {

// How far ahead the limiter sees: the time over which it lowers the gain before a peak.
constexpr double kLookaheadSeconds = 0.0015;
// Time constant of the gain's recovery after a peak.
constexpr double kReleaseSeconds = 0.08;
// A gain this close to 1 is 1 (-100 dB): the recovery ends, and samples leave bit-exact again.
constexpr float kUnityGap = 1e-5f;

} // namespace

Limiter::Limiter(int sampleRate, int maxBlock, int history)
    : m_lookahead(std::max(1, static_cast<int>(std::lround(kLookaheadSeconds * sampleRate)))),
      m_maxBlock(std::max(1, maxBlock)),
      m_keep(static_cast<float>(std::exp(-1.0 / (kReleaseSeconds * sampleRate)))),
      m_bus(static_cast<std::size_t>(2 * (m_lookahead + m_maxBlock)), 0.0f),
      m_peak(static_cast<std::size_t>(m_lookahead + std::max(m_maxBlock, history)), 0.0f),
      m_gains(static_cast<std::size_t>(m_maxBlock), 1.0f), m_history(history),
      m_keptSum(static_cast<std::size_t>(2 * history), 0.0f),
      m_keptOut(static_cast<std::size_t>(2 * history), 0.0f),
      m_keptReduction(static_cast<std::size_t>(history), 0.0f) {}

void Limiter::beginBlock(int frames) {
    frames = std::clamp(frames, 0, m_maxBlock);
    std::fill_n(m_bus.data() + 2 * m_lookahead, 2 * frames, 0.0f);
}

float Limiter::step(float reduction, const float* peaks) const {
    // Every frame in sight that is too loud asks for a gain that falls along a line from 1,
    // when it comes into sight, to ceiling / peak, when it leaves.
    const float steps = static_cast<float>(m_lookahead + 1);
    float bound = 1.0f;
    for (int k = 0; k <= m_lookahead; ++k) {
        const float p = peaks[k];
        if (p > kCeiling) {
            const float r = kCeiling / p;
            bound = std::min(bound, r + (1.0f - r) * static_cast<float>(k) / steps);
        }
    }
    reduction = std::max(1.0f - bound, reduction * m_keep);
    return reduction < kUnityGap ? 0.0f : reduction;
}

void Limiter::process(float* out, int frames) {
    frames = std::clamp(frames, 0, m_maxBlock);
    const int ahead = m_lookahead;
    const int total = ahead + frames;
    float* bus = m_bus.data();

    // Silence for what is not a number (NaN fails every comparison, infinity the bound), and
    // the loudest sample in sight.
    float loudest = 0.0f;
    for (int i = 0; i < 2 * total; ++i) {
        const float a = std::fabs(bus[i]);
        if (!(a <= FLT_MAX))
            bus[i] = 0.0f;
        else if (a > loudest)
            loudest = a;
    }

    m_unity = loudest <= kCeiling && m_reduction == 0.0f;
    if (m_unity) {
        std::memcpy(out, bus, sizeof(float) * 2 * static_cast<std::size_t>(frames));
        if (m_history > 0)
            for (int i = 0; i < frames; ++i)
                m_keptReduction[slot(m_frame + i)] = 0.0f;
    } else {
        float* peak = m_peak.data();
        for (int j = 0; j < total; ++j)
            peak[j] = std::max(std::fabs(bus[2 * j]), std::fabs(bus[2 * j + 1]));
        for (int i = 0; i < frames; ++i) {
            const float reduction = step(m_reduction, peak + i);
            m_reduction = reduction;
            const float g = 1.0f - reduction;
            m_gains[static_cast<std::size_t>(i)] = g;
            if (m_history > 0)
                m_keptReduction[slot(m_frame + i)] = reduction;
            if (reduction > 0.0f) {
                ++m_limited;
                out[2 * i] = bus[2 * i] * g;
                out[2 * i + 1] = bus[2 * i + 1] * g;
            } else {
                out[2 * i] = bus[2 * i];
                out[2 * i + 1] = bus[2 * i + 1];
            }
        }
    }
    if (m_history > 0)
        keep(bus, out, frames);
    m_frame += frames;
    std::memmove(bus, bus + 2 * frames, sizeof(float) * 2 * static_cast<std::size_t>(ahead));
}

void Limiter::keep(const float* sum, const float* out, int frames) {
    for (int i = 0; i < frames; ++i) {
        const std::size_t k = slot(m_frame + i) * 2;
        m_keptSum[k] = sum[2 * i];
        m_keptSum[k + 1] = sum[2 * i + 1];
        m_keptOut[k] = out[2 * i];
        m_keptOut[k + 1] = out[2 * i + 1];
    }
}

int Limiter::again(std::int64_t from, float* change) {
    const std::int64_t span = m_frame - from;
    if (m_history == 0 || span <= 0 || span > m_history - m_lookahead - m_maxBlock)
        return 0;
    const int n = static_cast<int>(span);
    const int ahead = m_lookahead;
    // The peaks of the kept sums and of the frames written ahead, as process() takes them.
    float* peak = m_peak.data();
    float loudest = 0.0f;
    for (int j = 0; j < n + ahead; ++j) {
        float* s = j < n ? kept(from + j) : m_bus.data() + 2 * (j - n);
        for (int c = 0; c < 2; ++c)
            if (!(std::fabs(s[c]) <= FLT_MAX))
                s[c] = 0.0f;
        peak[j] = std::max(std::fabs(s[0]), std::fabs(s[1]));
        loudest = std::max(loudest, peak[j]);
    }
    float reduction = from > 0 ? m_keptReduction[slot(from - 1)] : 0.0f;
    int changed = 0;
    for (int j = 0; j < n; ++j) {
        // Nothing in sight reaches the ceiling: the gain only recovers, as in step().
        if (loudest > kCeiling)
            reduction = step(reduction, peak + j);
        else if (reduction > 0.0f && (reduction *= m_keep) < kUnityGap)
            reduction = 0.0f;
        const std::size_t k = slot(from + j);
        float& was = m_keptReduction[k];
        m_limited += reduction > 0.0f;
        m_limited -= was > 0.0f;
        was = reduction;
        const float g = 1.0f - reduction;
        const float* s = m_keptSum.data() + 2 * k;
        float* o = m_keptOut.data() + 2 * k;
        for (int c = 0; c < 2; ++c) {
            const float now = reduction > 0.0f ? s[c] * g : s[c];
            change[2 * j + c] = now - o[c];
            if (now != o[c])
                changed = j + 1;
            o[c] = now;
        }
    }
    m_reduction = reduction;
    return changed;
}

} // namespace media
