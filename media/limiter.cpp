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

Limiter::Limiter(int sampleRate, int maxBlock)
    : m_lookahead(std::max(1, static_cast<int>(std::lround(kLookaheadSeconds * sampleRate)))),
      m_maxBlock(std::max(1, maxBlock)),
      m_keep(static_cast<float>(std::exp(-1.0 / (kReleaseSeconds * sampleRate)))),
      m_bus(static_cast<std::size_t>(2 * (m_lookahead + m_maxBlock)), 0.0f),
      m_peak(static_cast<std::size_t>(m_lookahead + m_maxBlock), 0.0f),
      m_gains(static_cast<std::size_t>(m_maxBlock), 1.0f) {}

void Limiter::beginBlock(int frames) {
    frames = std::clamp(frames, 0, m_maxBlock);
    std::fill_n(m_bus.data() + 2 * m_lookahead, 2 * frames, 0.0f);
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
    } else {
        float* peak = m_peak.data();
        for (int j = 0; j < total; ++j)
            peak[j] = std::max(std::fabs(bus[2 * j]), std::fabs(bus[2 * j + 1]));
        const float steps = static_cast<float>(ahead + 1);
        for (int i = 0; i < frames; ++i) {
            // Every frame in sight that is too loud asks for a gain that falls along a line
            // from 1, when it comes into sight, to ceiling / peak, when it leaves.
            float bound = 1.0f;
            const int last = std::min(ahead, total - 1 - i);
            for (int k = 0; k <= last; ++k) {
                const float p = peak[i + k];
                if (p > kCeiling) {
                    const float r = kCeiling / p;
                    bound = std::min(bound, r + (1.0f - r) * static_cast<float>(k) / steps);
                }
            }
            float reduction = std::max(1.0f - bound, m_reduction * m_keep);
            if (reduction < kUnityGap)
                reduction = 0.0f;
            m_reduction = reduction;
            const float g = 1.0f - reduction;
            m_gains[static_cast<std::size_t>(i)] = g;
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
    std::memmove(bus, bus + 2 * frames, sizeof(float) * 2 * static_cast<std::size_t>(ahead));
}

} // namespace media
